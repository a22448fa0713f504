#include "shell/qt/TrayIndicator.h"

#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

namespace quillbox {
namespace {

TEST(TrayIndicatorTest, FramesFollowTheConnectionCount) {
  long long connections = 0;
  TTrayIndicator indicator([&] { return connections; });
  indicator.Add();
  // The images are embedded in a static library: they must have survived the link.
  ASSERT_EQ(indicator.TrayIcon().icon().availableSizes(), QList<QSize>{QSize(16, 16)});
  struct Tick {
    long long connections;
    int frame;
  };
  const Tick ticks[] = {{0, 0}, {1, 1}, {1, 2}, {2, 3},  {1, 4},
                        {1, 1}, {1, 2}, {0, 0}, {-1, 0}, {1, 1}};
  for (const Tick& tick : ticks) {
    connections = tick.connections;
    indicator.TimerConnectionCheckTimer();
    EXPECT_EQ(indicator.TrayIconIndex(), tick.frame) << "connections " << tick.connections;
    EXPECT_EQ(indicator.TrayIcon().icon().pixmap(16, 16).toImage(),
              QImage(QString(":/tray/%1.png").arg(tick.frame))
                  .convertToFormat(QImage::Format_ARGB32_Premultiplied))
        << "connections " << tick.connections;
    EXPECT_TRUE(indicator.TimerEnabled());
  }
}

TEST(TrayIndicatorTest, TimerStaysOffUntilAConnectionThreadEnablesIt) {
  std::atomic<long long> connections{0};
  TTrayIndicator indicator([&] { return connections.load(); });
  indicator.Add();
  QTest::qWait(50);
  EXPECT_FALSE(indicator.TimerEnabled());

  connections = 1;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] { indicator.EnableTimer(); });
  for (std::thread& t : threads)
    t.join();
  // The threads' requests reach the user-interface thread as events; on a busy machine a tick
  // of the 500 ms timer may come late, so the waits are for the condition, not for a time.
  EXPECT_TRUE(QTest::qWaitFor([&] { return indicator.TimerEnabled(); }, 5000));
  EXPECT_EQ(indicator.TrayIconIndex(), 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return indicator.TrayIconIndex() == 2; }, 5000));

  connections = 0;
  EXPECT_TRUE(QTest::qWaitFor([&] { return indicator.TrayIconIndex() == 0; }, 5000));
}

TEST(TrayIndicatorTest, TipAndNoTickAfterDelete) {
  TTrayIndicator indicator([] { return 1LL; });
  indicator.Add();
  EXPECT_EQ(indicator.TrayIcon().toolTip(), "Quillbox");
  indicator.EnableTimer();
  QTest::qWait(10);
  indicator.Delete();
  EXPECT_FALSE(indicator.TimerEnabled());
  EXPECT_FALSE(indicator.TrayIcon().isVisible());
}

}  // namespace
}  // namespace quillbox
