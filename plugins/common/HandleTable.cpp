#include "HandleTable.h"

#include <algorithm>

namespace cardplugin {

void THandleTable::SetCount(int32_t mode) {
  wholePackets_ = mode != 0;
  if (wholePackets_) nextPacketHandle_ = 1;
}

int32_t THandleTable::SetLimit(int32_t limit) {
  const int32_t previous = limit_;
  limit_ = std::max<int32_t>(0, limit);
  return previous;
}

void THandleTable::Refuse() {
  if (wholePackets_) nextPacketHandle_ = nextPacketHandle_ == INT32_MAX ? 1 : nextPacketHandle_ + 1;
}

int32_t THandleTable::Add(uint64_t entry) {
  if (Full()) {
    Refuse();
    return 0;
  }
  int32_t& next = wholePackets_ ? nextPacketHandle_ : nextPayloadHandle_;
  const int32_t wrapTo = wholePackets_ ? 1 : kFirstPayloadHandle;
  int32_t handle;
  do {
    handle = next;
    next = next == INT32_MAX ? wrapTo : next + 1;
  } while (entries_.count(handle) != 0);
  entries_[handle] = entry;
  return handle;
}

std::optional<uint64_t> THandleTable::Remove(int32_t handle) {
  const auto it = entries_.find(handle);
  if (it == entries_.end()) return std::nullopt;
  const uint64_t entry = it->second;
  entries_.erase(it);
  return entry;
}

} // namespace cardplugin
