#include "judge/JudgmentPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "support/Loopback.h"

namespace quillbox {
namespace {

// Every judgment ends, once: on a pool thread, on the waiting thread when the pool has none free
// (or could make none), or with EJudgmentCancelled when its connection ends before it started.
TEST(JudgmentPoolTest, EveryJudgmentEndsOnceRunOrCancelled) {
  const auto judged = [](TSenderStatus status, std::vector<std::string> lines = {}) {
    TJudged j;
    j.Verdict.Status = status;
    j.Lines = std::move(lines);
    return j;
  };
  TJudgmentPool none(0);
  std::thread::id ranOn;
  const auto inlined = none.Start(
      [&] {
        ranOn = std::this_thread::get_id();
        return TJudged{};
      },
      false);
  none.Wait(*inlined, nullptr);
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  TJudgmentPool one(1);
  std::atomic<bool> started = false, release = false;
  std::atomic<int> runs = 0;
  const auto busy = one.Start(
      [&] {
        started = true;
        // Bounded, so that a test that fails before the release cannot hang the pool's end.
        test::WaitFor([&] { return release.load(); }, 60000);
        return judged(TSenderStatus::kNormal);
      },
      false);
  // The pool's only thread must be taken before the next judgment comes, or it may take that one.
  ASSERT_TRUE(test::WaitFor([&] { return started.load(); }));
  const auto queued = one.Start(
      [&] {
        ++runs;
        return judged(TSenderStatus::kParanoidCheckFailure, {"line"});
      },
      false);
  int between = 0;
  const TJudged& result = one.Wait(*queued, [&] { return ++between < 3; });
  EXPECT_EQ(result.Verdict.Status, TSenderStatus::kParanoidCheckFailure);
  EXPECT_EQ(result.Lines, std::vector<std::string>{"line"});
  EXPECT_EQ(one.Wait(*queued, nullptr).Lines, result.Lines);
  EXPECT_EQ(runs, 1);
  const auto never = one.Start([&] { return ++runs, TJudged{}; }, false);
  one.Cancel();
  EXPECT_TRUE(one.Cancelled());
  EXPECT_THROW(one.Wait(*never, nullptr), EJudgmentCancelled);
  release = true;
  EXPECT_EQ(one.Wait(*busy, nullptr).Verdict.Status, TSenderStatus::kNormal);
  EXPECT_EQ(runs, 1);
}

// Many connections at once must not put more lookups on the wire than the gate lets through,
// and a connection that ends while it waits for a place must not wait on.
TEST(JudgmentPoolTest, GateHoldsJudgmentsOverItsLimitUntilOneEndsOrTheirConnectionDoes) {
  TJudgmentGate gate(2);
  const std::atomic<bool> going = false;
  std::optional<TJudgmentGate::TPass> first(gate.Enter(going));
  const TJudgmentGate::TPass second = gate.Enter(going);
  std::atomic<bool> entered = false;
  std::thread third([&] {
    const TJudgmentGate::TPass pass = gate.Enter(going);
    entered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(entered);
  first.reset();
  third.join();
  EXPECT_TRUE(entered);

  const TJudgmentGate::TPass again = gate.Enter(going);
  const std::atomic<bool> cancelled = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(gate.Enter(cancelled), EJudgmentCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace quillbox
