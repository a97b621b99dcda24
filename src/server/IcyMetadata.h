#pragma once
// Stream titles inside the audio for players that ask for them with
// "Icy-MetaData: 1": after every kIcyInterval audio bytes a block, a length
// byte n and 16*n bytes of "StreamTitle='...';" padded with NULs, or a lone 0
// when the title is the one this listener got last.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace icy {

constexpr int32_t kInterval = 16000;
// What fits between "StreamTitle='" and "';" in the largest block.
constexpr size_t kMaxTitleBytes = 255 * 16 - 15;

// The title as it may stand between the quotes. Players end the value at
// "';" (some at the first "'"), so each "'" becomes the typographic
// apostrophe U+2019; control characters, a NUL above all, become spaces; a
// longer title is cut before the first whole character that does not fit.
std::string SafeTitle(std::string_view utf8);
// The whole block for a title (made safe here).
std::string MetadataBlock(std::string_view utf8Title);

// A source's title as its listeners get it: Version counts the changes, 0
// and no block while the station has sent none.
struct TTitle {
  uint64_t Version = 0;
  std::shared_ptr<const std::string> Block;
};

// One listener's place in the interleaved stream. Audio the socket does not
// take is lost, as for every listener, but a block once begun is finished
// before any more audio, so the count of audio bytes between blocks holds.
class TMetadataStream {
 public:
  // send(data, n): bytes taken, -2 when the socket takes nothing now, -1 on
  // an error. Returns the audio bytes taken, or send's -2 / -1 when nothing
  // at all went out.
  template <class Send>
  int32_t Write(const uint8_t* audio, int32_t count, const TTitle& title, Send&& send) {
    int32_t taken = 0;
    bool moved = false;
    for (;;) {
      if (!pending_.empty()) {
        const int32_t left = static_cast<int32_t>(pending_.size() - pendingAt_);
        const int32_t r = send(pending_.data() + pendingAt_, left);
        if (r < 0) return moved ? taken : r;
        moved = moved || r > 0;
        pendingAt_ += static_cast<size_t>(r);
        if (r < left) return taken;
        pending_.clear();
        pendingAt_ = 0;
      }
      if (taken >= count) return taken;
      const int32_t part = std::min(count - taken, untilBlock_);
      const int32_t r = send(audio + taken, part);
      if (r < 0) return moved ? taken : r;
      moved = moved || r > 0;
      taken += r;
      untilBlock_ -= r;
      if (untilBlock_ == 0) StartBlock(title);
      if (r < part) return taken;
    }
  }

 private:
  void StartBlock(const TTitle& title);

  int32_t untilBlock_ = kInterval;
  std::string pending_;  // the block on its way
  size_t pendingAt_ = 0;
  uint64_t sentVersion_ = 0;
};

} // namespace icy
