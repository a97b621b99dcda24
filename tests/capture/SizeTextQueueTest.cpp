// Size texts from a delivery thread to a reader: one drain asked per batch,
// nothing lost, the newest text of a row last.
#include "capture/SizeTextQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace {

TEST(SizeTextQueue, OneDrainIsAskedPerBatchAndTakesItInOrder) {
  TSizeTextQueue q;
  EXPECT_TRUE(q.Post(0, "1,0"));
  EXPECT_FALSE(q.Post(1, "2,0"));
  EXPECT_FALSE(q.Post(0, "1,5"));
  const auto batch = q.Take();
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[0], (TSizeTextQueue::TEntry{0, "1,0"}));
  EXPECT_EQ(batch[2], (TSizeTextQueue::TEntry{0, "1,5"}));
  EXPECT_TRUE(q.Take().empty());
  EXPECT_TRUE(q.Post(2, "3,0")) << "the next text after a drain asks again";
}

TEST(SizeTextQueue, ReaderOnAnotherThreadEndsWithEveryRowsNewestText) {
  constexpr int kRows = 50, kRounds = 200;
  TSizeTextQueue q;
  std::atomic<int> drainsAsked{0};
  std::atomic<bool> done{false};
  std::map<size_t, std::string> shown;
  std::thread reader([&] {
    // Drains whenever asked, as a window would on its own thread.
    int drained = 0;
    while (!done || drained < drainsAsked) {
      if (drained < drainsAsked) {
        ++drained;
        for (const auto& [row, text] : q.Take()) shown[row] = text;
      } else {
        std::this_thread::yield();
      }
    }
  });
  for (int round = 0; round < kRounds; ++round)
    for (size_t row = 0; row < kRows; ++row)
      if (q.Post(row, std::to_string(round))) ++drainsAsked;
  done = true;
  reader.join();
  ASSERT_EQ(shown.size(), static_cast<size_t>(kRows));
  for (const auto& [row, text] : shown) EXPECT_EQ(text, std::to_string(kRounds - 1)) << "row " << row;
}

} // namespace
