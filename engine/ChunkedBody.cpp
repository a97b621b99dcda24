#include "ChunkedBody.h"

#include <algorithm>
#include <cstring>

namespace xa {
namespace {

// Fifteen hex digits are a chunk beyond any stream; more would overflow.
constexpr int kMaxSizeDigits = 15;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ChunkedBody::Result ChunkedBody::Fail(std::string why) {
  part_ = Part::Failed;
  error_ = "bad chunked answer: " + std::move(why);
  return Result::Bad;
}

ChunkedBody::Result ChunkedBody::Take(char* data, size_t size, size_t& audio) {
  audio = 0;
  if (part_ == Part::Failed) return Result::Bad;
  for (size_t at = 0; at < size;) {
    if (part_ == Part::Done) return Result::End;  // what follows the body is no audio
    if (part_ == Part::Audio) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left_, size - at));
      std::memmove(data + audio, data + at, n);
      audio += n;
      at += n;
      left_ -= n;
      if (left_ == 0) part_ = Part::AudioEnd;
      continue;
    }
    const char c = data[at++];
    switch (part_) {
      case Part::Size:
      case Part::Extension:
      case Part::SizeLineEnd: {
        if (++line_ > kMaxLine) return Fail("chunk size line too long");
        if (c == '\n') {
          if (!sawDigit_) return Fail("no chunk size");
          line_ = 0;
          sawDigit_ = false;
          significant_ = 0;
          part_ = left_ == 0 ? Part::Trailer : Part::Audio;
          trailerLine_ = 0;
        } else if (part_ == Part::SizeLineEnd) {
          return Fail("stray byte after the chunk size line's CR");
        } else if (c == '\r') {
          part_ = Part::SizeLineEnd;
        } else if (part_ == Part::Extension) {
          // Extensions are skipped, whatever they say.
        } else if (const int v = HexValue(c); v >= 0) {
          sawDigit_ = true;
          // Leading zeros add nothing to the size.
          if ((left_ != 0 || v != 0) && ++significant_ > kMaxSizeDigits) return Fail("chunk size too large");
          left_ = left_ * 16 + static_cast<uint64_t>(v);
        } else if (c == ';' || c == ' ' || c == '\t') {
          if (!sawDigit_) return Fail("no chunk size");
          part_ = Part::Extension;
        } else {
          return Fail("not a chunk size");
        }
        break;
      }
      case Part::AudioEnd:
        if (c == '\r') {
          part_ = Part::AudioLineEnd;
        } else if (c == '\n') {
          part_ = Part::Size;
        } else {
          return Fail("a chunk is longer than its size");
        }
        break;
      case Part::AudioLineEnd:
        if (c != '\n') return Fail("a chunk is longer than its size");
        part_ = Part::Size;
        break;
      case Part::Trailer:
        if (++trailers_ > kMaxTrailers) return Fail("trailers too long");
        if (c == '\n') {
          // An empty line ends the trailers, and the body with them.
          if (trailerLine_ == 0) part_ = Part::Done;
          trailerLine_ = 0;
        } else if (c != '\r') {
          ++trailerLine_;
        }
        break;
      default:
        break;
    }
  }
  return part_ == Part::Done ? Result::End : Result::More;
}

}  // namespace xa
