// 250 rows whose size texts arrive from another thread ten times faster than
// a recording delivers them: every row ends with its newest text, and the
// window thread's busy share is reported (not asserted: machines differ).
#include <QEventLoop>
#include <QTimer>
#include <QTreeWidget>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "ui/GuiFixture.h"

namespace {

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

TEST_F(WindowsTest, TwoHundredFiftyRowsGetTheirNewestSizeTextsWithoutHoldingTheWindow) {
  constexpr int kRows = 250;
  constexpr int kRounds = 30;  // one round every 100 ms: each row ten texts a second
  std::vector<std::pair<std::string, std::string>> rows;
  for (int r = 0; r < kRows; ++r) rows.emplace_back("Channel_" + std::to_string(r), std::to_string(1000 + r));
  WriteList(rows);
  TProgramWindows& w = Start();
  auto* list = w.Form1.findChild<QTreeWidget*>("ListView1");
  ASSERT_EQ(list->topLevelItemCount(), kRows);

  std::atomic<bool> fed{false};
  const double cpuBefore = ThreadCpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  std::thread delivery([&] {
    for (int round = 1; round <= kRounds; ++round) {
      for (int r = 0; r < kRows; ++r) {
        char text[32];
        std::snprintf(text, sizeof text, "%5.1f mb", round * 0.1 + r * 0.001);
        w.Form1.QueueSizeText(static_cast<size_t>(r), text);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    fed = true;
  });
  char last[32];
  std::snprintf(last, sizeof last, "%5.1f mb", kRounds * 0.1 + (kRows - 1) * 0.001);
  // The window thread sleeps in its event loop and wakes only for the updates
  // (and a completion check five times a second).
  QEventLoop loop;
  QTimer check;
  check.setInterval(200);
  bool arrived = false;
  QObject::connect(&check, &QTimer::timeout, [&] {
    arrived = fed.load() && list->topLevelItem(kRows - 1)->text(3) == QString::fromLatin1(last);
    if (arrived) loop.quit();
  });
  QTimer::singleShot(30000, &loop, &QEventLoop::quit);
  check.start();
  loop.exec();
  delivery.join();
  const double busy = (ThreadCpuSeconds() - cpuBefore) /
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  ASSERT_TRUE(arrived);
  for (int r = 0; r < kRows; ++r) {
    char want[32];
    std::snprintf(want, sizeof want, "%5.1f mb", kRounds * 0.1 + r * 0.001);
    EXPECT_EQ(list->topLevelItem(r)->text(3), QString::fromLatin1(want)) << r;
  }
  std::printf("window thread busy while 250 rows update: %.1f%% of one core\n", busy * 100);
}
