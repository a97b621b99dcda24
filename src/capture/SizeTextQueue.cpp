#include "capture/SizeTextQueue.h"

bool TSizeTextQueue::Post(size_t row, const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    texts_.emplace_back(row, text);
  }
  return !drainAsked_.exchange(true);
}

std::vector<TSizeTextQueue::TEntry> TSizeTextQueue::Take() {
  // Cleared before the swap: a text posted meanwhile asks for the next drain.
  drainAsked_ = false;
  std::vector<TEntry> texts;
  std::lock_guard<std::mutex> guard(lock_);
  texts.swap(texts_);
  return texts;
}
