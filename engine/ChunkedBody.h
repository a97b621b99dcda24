#pragma once
// The body of an answer sent with "Transfer-Encoding: chunked": the chunk
// framing taken off, the audio left. Nothing is assumed of the server: every
// size line and every trailer is bounded, a size that does not fit is refused.
#include <cstddef>
#include <cstdint>
#include <string>

namespace xa {

class ChunkedBody {
 public:
  // The longest size line (with its extensions) and the most trailer bytes.
  static constexpr size_t kMaxLine = 4096;
  static constexpr size_t kMaxTrailers = 16384;

  enum class Result { More, End, Bad };
  // Takes `size` bytes of the body as they came and moves the audio in them
  // to the front of `data` (it never grows); `audio` is set to its length.
  // End once the last chunk and its trailers are through; Bad with error().
  Result Take(char* data, size_t size, size_t& audio);
  const std::string& error() const { return error_; }

 private:
  enum class Part { Size, Extension, SizeLineEnd, Audio, AudioEnd, AudioLineEnd, Trailer, Done, Failed };
  Result Fail(std::string why);
  Part part_ = Part::Size;
  uint64_t left_ = 0;  // of the current chunk, or its size while reading it
  bool sawDigit_ = false;
  int significant_ = 0;  // digits of the size after its leading zeros
  size_t line_ = 0;      // bytes of the current size line
  size_t trailers_ = 0;  // bytes of trailers so far
  size_t trailerLine_ = 0;
  std::string error_;
};

}  // namespace xa
