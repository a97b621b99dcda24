#pragma once
// Size texts ("записано/Мб") on their way from the delivery thread to a front
// end's own thread. Post never waits for the reader, and only the first text
// after a Take asks for a drain, so at most one drain waits in the reader's
// queue however fast the texts come.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class TSizeTextQueue {
 public:
  using TEntry = std::pair<size_t, std::string>;  // row, text

  // Any thread. True when the caller must schedule one Take on the reader.
  bool Post(size_t row, const std::string& text);
  // The reader: every text posted since the last Take, oldest first, so the
  // newest text of a row is applied last.
  std::vector<TEntry> Take();

 private:
  std::mutex lock_;
  std::vector<TEntry> texts_;
  std::atomic<bool> drainAsked_{false};
};
