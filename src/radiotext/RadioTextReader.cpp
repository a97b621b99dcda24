#include "radiotext/RadioTextReader.h"

#include <algorithm>
#include <cstring>

#include "base/MpegAudioHeader.h"
#include "radiotext/RdsCharset.h"

namespace radiotext {
namespace {

constexpr uint8_t kRunMark = 0xFD;
constexpr uint8_t kProgrammeService = 0x02;
constexpr uint8_t kRadioText = 0x0A;
constexpr size_t kPsLength = 8;

// Frames of one stream keep version, layer and sample rate.
bool SameStream(const uint8_t* a, const uint8_t* b) {
  return mpeg::Version(a) == mpeg::Version(b) && mpeg::Layer(a) == mpeg::Layer(b) &&
         ((a[2] >> 2) & 3) == ((b[2] >> 2) & 3);
}

std::u32string Trimmed(std::u32string s) {
  while (!s.empty() && (s.back() == U' ' || s.back() == U'\r')) s.pop_back();
  size_t first = 0;
  while (first < s.size() && s[first] == U' ') ++first;
  return s.substr(first);
}

// Bytes a message element takes after its code, data set and programme
// service bytes, for the elements of fixed size: PI, PS, TA/TP, DI, MS, PIN,
// PTY, PTYN. 0: not one of them.
size_t FixedElementData(uint8_t code) {
  switch (code) {
    case 0x01: return 2;
    case 0x02: return kPsLength;
    case 0x03: case 0x04: case 0x05: case 0x07: return 1;
    case 0x06: return 2;
    case 0x3E: return 8;
    default: return 0;
  }
}

} // namespace

TRadioTextReader::TRadioTextReader() { pending_.reserve(kMaxFrame * 2); }

bool TRadioTextReader::Feed(const uint8_t* data, size_t n) {
  changed_ = false;
  // A piece is walked in place; only the frame that its end cuts off is kept
  // and joined with the start of the next piece.
  size_t from = 0;
  if (!pending_.empty()) {
    const size_t kept = pending_.size();
    pending_.insert(pending_.end(), data, data + std::min(n, kMaxFrame));
    const size_t stop = Walk(pending_.data(), pending_.size());
    if (stop < kept) {  // the piece was too short to finish the kept frame
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(stop));
      return changed_;
    }
    from = stop - kept;
    pending_.clear();
  }
  const size_t stop = from + Walk(data + from, n - from);
  pending_.assign(data + stop, data + n);
  return changed_;
}

int32_t TRadioTextReader::BitrateKbps() const { return locked_ ? mpeg::BitrateKbps(lockedHeader_) : 0; }

size_t TRadioTextReader::Walk(const uint8_t* p, size_t n) {
  // Out of step, a header counts only when another one follows it a frame
  // later; in step, each frame's header must keep the stream's format. It
  // stops where a frame (and, out of step, the next header) does not fit, so
  // less than the largest frame is ever left over.
  size_t i = 0;
  while (i + 4 <= n) {
    const uint8_t* h = p + i;
    const size_t length = mpeg::IsValidHeader(h) ? static_cast<size_t>(mpeg::FrameLength(h)) : 0;
    if (length < 4 || (locked_ && !SameStream(h, lockedHeader_))) {
      locked_ = false;
      ++i;
      continue;
    }
    if (!locked_) {
      if (i + length + 4 > n) break;
      if (!mpeg::IsValidHeader(h + length) || !SameStream(h, h + length)) {
        ++i;
        continue;
      }
    } else if (i + length > n) {
      break;
    }
    Frame(h, length);
    std::memcpy(lockedHeader_, h, 4);
    locked_ = true;
    i += length;
  }
  return i;
}

void TRadioTextReader::Frame(const uint8_t* frame, size_t length) {
  if (frame[length - 1] != kRunMark) return;
  const size_t count = frame[length - 2];
  if (count == 0 || count + 2 + 4 > length) return;  // never into the header
  // Stored back to front: the stream's next byte is the one before the count.
  for (size_t k = 0; k < count; ++k)
    if (uecp_.Feed(frame[length - 3 - k])) Message(uecp_.Message(), uecp_.MessageLength());
}

void TRadioTextReader::Message(const uint8_t* m, size_t n) {
  size_t at = 0;
  while (at + 3 <= n) {
    const uint8_t code = m[at];
    if (code == kRadioText) {
      if (at + 4 > n) return;
      const size_t length = m[at + 3];
      if (at + 4 + length > n) return;
      // A length of 0 clears the text; else a configuration byte (A/B flag,
      // repetitions) comes before the characters.
      std::u32string text = length == 0 ? std::u32string() : Trimmed(RdsToCodePoints(m + at + 5, length - 1));
      if (text != text_) {
        text_ = std::move(text);
        ++textChanges_;
        changed_ = true;
      }
      at += 4 + length;
      continue;
    }
    const size_t data = FixedElementData(code);
    if (data == 0 || at + 3 + data > n) return;  // an element whose size is not known ends the message
    if (code == kProgrammeService) {
      std::u32string ps = Trimmed(RdsToCodePoints(m + at + 3, kPsLength));
      if (ps != ps_) {
        ps_ = std::move(ps);
        changed_ = true;
      }
    }
    at += 3 + data;
  }
}

} // namespace radiotext
