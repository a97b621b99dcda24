#pragma once
// The filter handles of one card: what DVBAddFilter answers and DVBDelFilter
// is given, each naming the card's own record of that filter.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace cardplugin {

// Not locked: the card's own lock guards it together with its filters.
class THandleTable {
 public:
  // Payload filters are numbered from here up and whole-packet filters from 1,
  // so the two kinds never collide while both are registered.
  static constexpr int32_t kFirstPayloadHandle = 0x10000;

  explicit THandleTable(int32_t limit) : limit_(limit) {}

  // DVBSETCOUNT: after mode 1 the k-th registration from now reports k.
  void SetCount(int32_t mode);
  bool WholePackets() const { return wholePackets_; }

  // Most filters registered at once (below 0 counts as 0); filters beyond a
  // lowered limit stay. Returns the previous limit.
  int32_t SetLimit(int32_t limit);
  bool Full() const { return static_cast<int64_t>(entries_.size()) >= limit_; }

  // A refused registration uses its number up, so the filters after it keep
  // the numbers the k-th rule gives them.
  void Refuse();
  // A handle naming the card's record `entry`: never 0 and never one in use.
  // When full, a refusal: 0.
  int32_t Add(uint64_t entry);
  // The record the handle named, which it no longer names; nothing for a
  // handle not in use.
  std::optional<uint64_t> Remove(int32_t handle);
  // Every handle forgotten (the card closed); the numbering goes on.
  void Clear() { entries_.clear(); }
  size_t Size() const { return entries_.size(); }
  // The record a handle in use names.
  std::optional<uint64_t> Find(int32_t handle) const {
    const auto it = entries_.find(handle);
    return it == entries_.end() ? std::nullopt : std::optional(it->second);
  }

 private:
  std::map<int32_t, uint64_t> entries_;
  int32_t limit_;
  bool wholePackets_ = false;
  int32_t nextPacketHandle_ = 1;
  int32_t nextPayloadHandle_ = kFirstPayloadHandle;
};

} // namespace cardplugin
