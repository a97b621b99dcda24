#pragma once
// "Now playing" of one channel: the programme service name and radiotext that
// a station sends in its MPEG audio frames. A frame whose last byte is 0xFD
// carries, before it, a count n and n bytes of the encoder protocol stream
// stored back to front; the runs of consecutive frames join into that stream.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "radiotext/UecpFrames.h"

namespace radiotext {

class TRadioTextReader {
 public:
  TRadioTextReader();

  // The channel's audio bytes, in pieces of any size. True when the name or
  // the text changed.
  bool Feed(const uint8_t* data, size_t n);

  // Trimmed of padding; empty until the station sends one.
  const std::u32string& ProgrammeService() const { return ps_; }
  const std::u32string& Text() const { return text_; }
  // How often the text changed since the start: a new title, or a clear.
  uint64_t TextChanges() const { return textChanges_; }
  const TUecpFrames& Frames() const { return uecp_; }
  // The bit rate of the frames in step (kbit/s); 0 before the first.
  int32_t BitrateKbps() const;

 private:
  // Largest MPEG audio frame (Layer II at 160 kbit/s and 8 kHz) and the
  // header after it.
  static constexpr size_t kMaxFrame = 2880 + 4;

  // Frames from the start of p; where it stopped.
  size_t Walk(const uint8_t* p, size_t n);
  void Frame(const uint8_t* frame, size_t length);
  void Message(const uint8_t* m, size_t n);

  std::vector<uint8_t> pending_;  // a frame cut by the end of a piece
  bool locked_ = false;           // the last frame was followed by a header
  uint8_t lockedHeader_[4] = {};
  TUecpFrames uecp_;
  std::u32string ps_, text_;
  uint64_t textChanges_ = 0;
  bool changed_ = false;
};

} // namespace radiotext
