#include "judge/JudgmentScheduler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/Loopback.h"

namespace quillbox {
namespace {

constexpr auto kLong = std::chrono::milliseconds(test::kWaitMs);

size_t ThreadsOfProcess() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// Fake lookups: each job says when it started and then waits until the test lets it end (or it
// is cancelled), so the test decides what runs when.
class FakeLookups {
 public:
  // deaf: it does not hear the cancel flag, as a reverse lookup of the system resolver does not.
  TJudgment::TWork Job(std::string name, bool deaf = false) {
    return [this, name, deaf](const std::atomic<bool>& cancel) {
      {
        TMutexLock hold(lock_);
        started_.push_back(name);
      }
      test::WaitFor([&] { return (cancel && !deaf) || Released(name); }, test::kWaitMs * 4);
      TJudged judged;
      judged.Lines = {name, cancel ? "cancelled" : "answered"};
      return judged;
    };
  }
  void Release(const std::string& name) {
    TMutexLock hold(lock_);
    released_.push_back(name);
  }
  std::vector<std::string> Started() {
    TMutexLock hold(lock_);
    return started_;
  }
  bool StartedCount(size_t n) {
    return test::WaitFor([&] { return Started().size() >= n; }, test::kWaitMs);
  }

 private:
  bool Released(const std::string& name) EXCLUDES(lock_) {
    TMutexLock hold(lock_);
    return std::find(released_.begin(), released_.end(), name) != released_.end();
  }

  TMutex lock_;
  std::vector<std::string> started_ GUARDED_BY(lock_);
  std::vector<std::string> released_ GUARDED_BY(lock_);
};

constexpr auto kWaiting = TJudgmentUrgency::kWaiting;
constexpr auto kAhead = TJudgmentUrgency::kAhead;

// A client that waits for its verdict must not queue behind look-ahead jobs that came first,
// its own session's or another's, also when its job was queued as a look-ahead job itself.
TEST(JudgmentSchedulerTest, WaitingClientsJobStartsBeforeQueuedLookAhead) {
  FakeLookups lookups;
  TJudgmentScheduler scheduler(1);
  const auto busy = scheduler.Start(1, kAhead, lookups.Job("busy"));
  ASSERT_TRUE(lookups.StartedCount(1));
  std::vector<std::shared_ptr<TJudgment>> jobs;
  for (const auto& [session, urgency, name] :
       std::vector<std::tuple<uint64_t, TJudgmentUrgency, std::string>>{{1, kAhead, "ahead 1"},
                                                                        {2, kAhead, "ahead 2"},
                                                                        {1, kAhead, "hurried"},
                                                                        {2, kWaiting, "waiting 2"},
                                                                        {1, kWaiting, "waiting 1"}})
    jobs.push_back(scheduler.Start(session, urgency, lookups.Job(name)));
  scheduler.Hurry(*jobs[2]);
  for (const std::string name : {"busy", "waiting 2", "hurried", "waiting 1", "ahead 1"})
    lookups.Release(name);
  lookups.Release("ahead 2");
  for (const auto& job : jobs)
    ASSERT_TRUE(scheduler.WaitFor(*job, kLong));
  EXPECT_EQ(lookups.Started(), (std::vector<std::string>{"busy", "waiting 2", "waiting 1",
                                                         "hurried", "ahead 1", "ahead 2"}));
  EXPECT_EQ(jobs[3]->Result().Lines, (std::vector<std::string>{"waiting 2", "answered"}));
}

// One session reading a large mailbox ahead may use every thread while nobody else has work, but
// once another session queues, the first keeps at most half of them.
TEST(JudgmentSchedulerTest, OneSessionsLookAheadLeavesHalfTheThreadsToOthers) {
  FakeLookups lookups;
  TJudgmentScheduler scheduler(4);
  for (int i = 0; i < 6; ++i)
    scheduler.Start(1, kAhead, lookups.Job("one " + std::to_string(i)));
  ASSERT_TRUE(lookups.StartedCount(4));
  scheduler.Start(2, kAhead, lookups.Job("two 0"));
  scheduler.Start(2, kAhead, lookups.Job("two 1"));
  // With four of its jobs running, session 1 gets no thread back while session 2 queues.
  lookups.Release("one 0");
  ASSERT_TRUE(lookups.StartedCount(5));
  lookups.Release("one 1");
  ASSERT_TRUE(lookups.StartedCount(6));
  lookups.Release("one 2");
  ASSERT_TRUE(lookups.StartedCount(7));
  const std::vector<std::string> started = lookups.Started();
  EXPECT_EQ(std::vector<std::string>(started.begin() + 4, started.end()),
            (std::vector<std::string>{"two 0", "two 1", "one 4"}));
  for (const std::string name : {"one 3", "one 4", "one 5", "two 0", "two 1"})
    lookups.Release(name);
}

// A connection that ends must leave none of its judgments waiting for a thread: queued ones end
// at once without running, running ones are told to give up, and other sessions go on.
TEST(JudgmentSchedulerTest, EndedConnectionsJobsAreDroppedAtOnce) {
  FakeLookups lookups;
  TJudgmentScheduler scheduler(1);
  const auto running = scheduler.Start(1, kWaiting, lookups.Job("running"));
  ASSERT_TRUE(lookups.StartedCount(1));
  const auto queued = scheduler.Start(1, kAhead, lookups.Job("queued"));
  const auto other = scheduler.Start(2, kAhead, lookups.Job("other"));
  scheduler.Drop(1);
  EXPECT_TRUE(queued->Done());
  EXPECT_THROW(queued->Result(), EJudgmentCancelled);
  ASSERT_TRUE(scheduler.WaitFor(*running, kLong));
  EXPECT_EQ(running->Result().Lines, (std::vector<std::string>{"running", "cancelled"}));
  ASSERT_TRUE(lookups.StartedCount(2));
  EXPECT_FALSE(scheduler.WaitFor(*other, std::chrono::milliseconds(0)));
  lookups.Release("other");
  ASSERT_TRUE(scheduler.WaitFor(*other, kLong));
  EXPECT_EQ(other->Result().Lines, (std::vector<std::string>{"other", "answered"}));
  EXPECT_EQ(lookups.Started(), (std::vector<std::string>{"running", "other"}));
  EXPECT_EQ(scheduler.Queued() + scheduler.Running(), 0u);
}

// A dropped job that cannot be interrupted must not keep its thread from the sessions still
// there: a spare thread takes its place until it ends, and then goes too.
TEST(JudgmentSchedulerTest, DroppedJobStuckInALookupGetsASpareThreadInItsPlace) {
  FakeLookups lookups;
  const size_t before = ThreadsOfProcess();
  TJudgmentScheduler scheduler(1);
  scheduler.Start(1, kWaiting, lookups.Job("stuck", true));
  ASSERT_TRUE(lookups.StartedCount(1));
  const auto other = scheduler.Start(2, kWaiting, lookups.Job("other"));
  scheduler.Drop(1);
  ASSERT_TRUE(lookups.StartedCount(2));
  EXPECT_EQ(ThreadsOfProcess(), before + 2);
  lookups.Release("other");
  ASSERT_TRUE(scheduler.WaitFor(*other, kLong));
  lookups.Release("stuck");
  EXPECT_TRUE(test::WaitFor([&] { return scheduler.Running() == 0; }));
  // The spare's end is joined at the next drop.
  scheduler.Drop(3);
  EXPECT_TRUE(test::WaitFor([&] { return ThreadsOfProcess() == before + 1; }));
}

// The scheduler's threads are all it ever has, and its end leaves none of them behind, also with
// jobs running and queued; a job started after the end is cancelled instead of waited for.
TEST(JudgmentSchedulerTest, ShutdownLeavesNoThreadAndCancelsWhatIsLeft) {
  const size_t before = ThreadsOfProcess();
  FakeLookups lookups;
  std::shared_ptr<TJudgment> running, queued;
  {
    TJudgmentScheduler scheduler(3);
    EXPECT_EQ(ThreadsOfProcess(), before + 3);
    for (int i = 0; i < 3; ++i)
      running = scheduler.Start(uint64_t(i), kWaiting, lookups.Job("r" + std::to_string(i)));
    queued = scheduler.Start(9, kAhead, lookups.Job("queued"));
    ASSERT_TRUE(lookups.StartedCount(3));
    EXPECT_EQ(ThreadsOfProcess(), before + 3);
    scheduler.Shutdown();
    EXPECT_EQ(ThreadsOfProcess(), before);
    EXPECT_THROW(scheduler.Start(1, kWaiting, lookups.Job("late"))->Result(), EJudgmentCancelled);
  }
  EXPECT_EQ(running->Result().Lines[1], "cancelled");
  EXPECT_THROW(queued->Result(), EJudgmentCancelled);
  EXPECT_EQ(lookups.Started().size(), 3u);
  EXPECT_EQ(TJudgment::Done(TJudged{})->Result().Lines.size(), 0u);
}

}  // namespace
}  // namespace quillbox
