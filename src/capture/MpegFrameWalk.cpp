#include "capture/MpegFrameWalk.h"

#include <cstring>

#include "base/MpegAudioHeader.h"

namespace {

// Version, layer and sample rate: what stays the same from frame to frame.
bool SameStream(const uint8_t* a, const uint8_t* b) {
  return (a[1] & 0x1E) == (b[1] & 0x1E) && (a[2] & 0x0C) == (b[2] & 0x0C);
}

} // namespace

void TMpegFrameWalk::Reset() {
  synced_ = false;
  ahead_ = 0;
  partialBytes_ = 0;
}

bool TMpegFrameWalk::Continues(const uint8_t* h) const {
  return mpeg::IsValidHeader(h) && mpeg::FrameLength(h) > 0 && SameStream(h, header_);
}

void TMpegFrameWalk::Accept(const uint8_t* h) {
  std::memcpy(header_, h, 4);
  synced_ = true;
}

size_t TMpegFrameWalk::Search(const uint8_t* data, size_t n, size_t at) {
  for (size_t i = at; i + 4 <= n; ++i) {
    if (!mpeg::IsValidHeader(data + i)) continue;
    const auto length = static_cast<size_t>(mpeg::FrameLength(data + i));
    if (length == 0) continue;
    // A header whose successor lies beyond these bytes is taken on trust;
    // the next piece confirms it or the walk searches again.
    if (i + length + 4 > n) return i;
    const uint8_t* next = data + i + length;
    if (mpeg::IsValidHeader(next) && SameStream(next, data + i)) return i;
  }
  return kNone;
}

size_t TMpegFrameWalk::Walk(const uint8_t* data, size_t n, size_t from) {
  size_t cut = kNone;
  size_t i = 0;
  if (synced_ && partialBytes_ > 0) {
    // The header the last piece ended inside: it begins no frame of these bytes.
    uint8_t h[4];
    std::memcpy(h, partial_, partialBytes_);
    const size_t rest = 4 - partialBytes_;
    if (n < rest) {
      std::memcpy(partial_ + partialBytes_, data, n);
      partialBytes_ += n;
      return kNone;
    }
    std::memcpy(h + partialBytes_, data, rest);
    partialBytes_ = 0;
    if (Continues(h)) {
      Accept(h);
      i = static_cast<size_t>(mpeg::FrameLength(h)) - (4 - rest);
      if (i >= n) {
        ahead_ = i - n;
        return kNone;
      }
    } else {
      synced_ = false;
    }
  } else if (synced_) {
    if (ahead_ >= n) {
      ahead_ -= n;
      return kNone;
    }
    i = ahead_;
  }
  for (;;) {
    // A frame found by searching whose successor lies beyond these bytes
    // starts no file: it is only taken on trust.
    bool confirmed = true;
    if (!synced_) {
      i = Search(data, n, i);
      if (i == kNone) return cut;
      Accept(data + i);
      confirmed = i + static_cast<size_t>(mpeg::FrameLength(header_)) + 4 <= n;
    } else if (i + 4 > n) {
      std::memcpy(partial_, data + i, n - i);
      partialBytes_ = n - i;
      return cut;
    } else if (Continues(data + i)) {
      Accept(data + i);
    } else {
      synced_ = false;  // a gap or damage: look for the stream again from here
      continue;
    }
    if (cut == kNone && from != kNone && i >= from && confirmed) cut = i;
    const auto length = static_cast<size_t>(mpeg::FrameLength(header_));
    if (i + length >= n) {
      ahead_ = i + length - n;
      return cut;
    }
    i += length;
  }
}
