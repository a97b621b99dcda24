#include "radiotext/UecpFrames.h"

namespace radiotext {

uint16_t UecpCrc(const uint8_t* data, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return static_cast<uint16_t>(~crc);
}

bool TUecpFrames::Feed(uint8_t byte) {
  if (byte == 0xFE) {  // a start always begins afresh, whatever came before
    if (inFrame_) ++malformed_;
    inFrame_ = true;
    escaped_ = false;
    size_ = 0;
    return false;
  }
  if (!inFrame_) return false;
  if (byte == 0xFF) {
    inFrame_ = false;
    if (escaped_) {
      ++malformed_;
      return false;
    }
    return Finish();
  }
  if (escaped_) {
    escaped_ = false;
    if (byte > 0x02) {
      ++malformed_;
      inFrame_ = false;
      return false;
    }
    byte = static_cast<uint8_t>(0xFD + byte);
  } else if (byte == 0xFD) {
    escaped_ = true;
    return false;
  }
  if (size_ == kMaxFrame) {  // longer than any frame: drop it, wait for a start
    ++malformed_;
    inFrame_ = false;
    return false;
  }
  frame_[size_++] = byte;
  return false;
}

bool TUecpFrames::Finish() {
  if (size_ < 6 || size_ != 4 + static_cast<size_t>(frame_[3]) + 2) {
    ++malformed_;
    return false;
  }
  const size_t covered = size_ - 2;
  const uint16_t sent = static_cast<uint16_t>(frame_[covered] << 8 | frame_[covered + 1]);
  if (UecpCrc(frame_, covered) != sent) {
    ++crcFailures_;
    return false;
  }
  return true;
}

} // namespace radiotext
