#include "shell/MemoQueue.h"

#include <atomic>
#include <map>
#include <thread>

#include <gtest/gtest.h>

namespace quillbox {
namespace {

using std::chrono::milliseconds;

TEST(TMemoQueueTest, KeepsTheOrderOfEachThreadsCallsAcrossThreads) {
  TMemoQueue queue;
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&queue, t] {
      for (int i = 0; i < kLines; ++i)
        queue.AddToMemo(std::to_string(t) + " " + std::to_string(i));
    });
  }
  std::map<int, int> next;
  int received = 0;
  while (received < kThreads * kLines) {
    std::vector<std::string> lines;
    ASSERT_TRUE(queue.WaitAndTakeAll(lines, milliseconds(5000)));
    ASSERT_FALSE(lines.empty()) << "timed out after " << received << " lines";
    for (const std::string& line : lines) {
      const int thread = std::stoi(line.substr(0, line.find(' ')));
      const int number = std::stoi(line.substr(line.find(' ') + 1));
      ASSERT_EQ(number, next[thread]) << "thread " << thread;
      ++next[thread];
      ++received;
    }
  }
  for (auto& writer : writers)
    writer.join();
}

TEST(TMemoQueueTest, AStalledReaderNeitherBlocksTheWriterNorGrowsWithoutBound) {
  TMemoQueue queue(3);
  std::atomic<bool> done{false};
  // Nobody reads: the writer must still finish at once.
  std::thread writer([&] {
    for (int i = 0; i < 10; ++i)
      queue.AddToMemo("line " + std::to_string(i));
    done = true;
  });
  writer.join();
  EXPECT_TRUE(done);
  const std::vector<std::string> expected = {
      "   P    7 log lines were dropped because the log display fell behind.", "line 7", "line 8",
      "line 9"};
  EXPECT_EQ(queue.TakeAll(), expected);
  EXPECT_TRUE(queue.TakeAll().empty());
}

TEST(TMemoQueueTest, WakesTheReaderOnlyWhenTheQueueStopsBeingEmpty) {
  TMemoQueue queue;
  int wakeups = 0;
  queue.SetOnLinesAvailable([&] { ++wakeups; });
  queue.AddToMemo("a");
  queue.AddToMemo("b");
  EXPECT_EQ(wakeups, 1);
  EXPECT_EQ(queue.TakeAll().size(), 2u);
  queue.AddToMemo("c");
  EXPECT_EQ(wakeups, 2);
}

TEST(TMemoQueueTest, ClosingReleasesAWaitingReader) {
  TMemoQueue queue;
  std::vector<std::string> lines;
  std::thread reader([&] { EXPECT_FALSE(queue.WaitAndTakeAll(lines, milliseconds(10000))); });
  std::this_thread::sleep_for(milliseconds(20));
  queue.Close();
  reader.join();
}

TEST(TMemoQueueTest, LinesPendingOrHandedOverAfterClosingAreDropped) {
  TMemoQueue queue;
  queue.AddToMemo("pending");
  queue.Close();
  queue.AddToMemo("late");
  EXPECT_TRUE(queue.Closed());
  EXPECT_TRUE(queue.TakeAll().empty());
  std::vector<std::string> lines;
  EXPECT_FALSE(queue.WaitAndTakeAll(lines, milliseconds(10)));
}

TEST(TMemoQueueTest, WaitReturnsEmptyAfterTheTimeout) {
  TMemoQueue queue;
  std::vector<std::string> lines{"stale"};
  EXPECT_TRUE(queue.WaitAndTakeAll(lines, milliseconds(10)));
  EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace quillbox
