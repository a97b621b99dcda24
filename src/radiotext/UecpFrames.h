#pragma once
// Frames of the RDS encoder protocol (UECP): 0xFE, address (2), sequence (1),
// message length (1), message, CRC (2), 0xFF; inside a frame 0xFD 0x00/0x01/
// 0x02 stand for 0xFD/0xFE/0xFF. The CRC is CCITT (0x1021, from 0xFFFF,
// inverted) over address to message end.
#include <cstddef>
#include <cstdint>

namespace radiotext {

uint16_t UecpCrc(const uint8_t* data, size_t n);

class TUecpFrames {
 public:
  // One byte of the stream; true when it ended a frame whose length and CRC
  // hold, whose message Message() then gives until the next call.
  bool Feed(uint8_t byte);
  const uint8_t* Message() const { return frame_ + 4; }
  size_t MessageLength() const { return frame_[3]; }

  uint64_t CrcFailures() const { return crcFailures_; }
  uint64_t Malformed() const { return malformed_; }

 private:
  // Address, sequence, length, 255 bytes of message at most, CRC.
  static constexpr size_t kMaxFrame = 2 + 1 + 1 + 255 + 2;

  bool Finish();

  uint8_t frame_[kMaxFrame] = {};
  size_t size_ = 0;
  bool inFrame_ = false;
  bool escaped_ = false;
  uint64_t crcFailures_ = 0;
  uint64_t malformed_ = 0;
};

} // namespace radiotext
