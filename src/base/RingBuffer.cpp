#include "base/RingBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

TCBuffer::TCBuffer(int32_t capacity) {
  if (capacity <= 0) return;
  storage_ = new (std::nothrow) uint8_t[static_cast<size_t>(capacity)];
  if (storage_) capacity_ = capacity;
}

TCBuffer::TCBuffer(int32_t capacity, Allocator allocate) : ownedByNew_(false) {
  if (capacity <= 0 || !allocate) return;
  storage_ = allocate(capacity);
  if (storage_) capacity_ = capacity;
}

TCBuffer::~TCBuffer() {
  if (ownedByNew_) delete[] storage_;
  else std::free(storage_);
}

int32_t TCBuffer::Write(const void* data, int32_t length) {
  if (!storage_ || length <= 0) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  if (full_) return 0;
  const int32_t held = writePos_ >= readPos_ ? writePos_ - readPos_ : writePos_ - readPos_ + capacity_;
  const int32_t n = std::min(length, capacity_ - held);
  const auto* src = static_cast<const uint8_t*>(data);
  const int32_t first = std::min(n, capacity_ - writePos_);
  std::memcpy(storage_ + writePos_, src, static_cast<size_t>(first));
  std::memcpy(storage_, src + first, static_cast<size_t>(n - first));
  writePos_ = (writePos_ + n) % capacity_;
  if (n > 0 && writePos_ == readPos_) full_ = true;
  return n;
}

int32_t TCBuffer::Read(void* destination, int32_t length) {
  if (!storage_ || length <= 0) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  int32_t held;
  if (full_) held = capacity_;
  else held = writePos_ >= readPos_ ? writePos_ - readPos_ : writePos_ - readPos_ + capacity_;
  const int32_t n = std::min(length, held);
  auto* dst = static_cast<uint8_t*>(destination);
  const int32_t first = std::min(n, capacity_ - readPos_);
  std::memcpy(dst, storage_ + readPos_, static_cast<size_t>(first));
  std::memcpy(dst + first, storage_, static_cast<size_t>(n - first));
  readPos_ = (readPos_ + n) % capacity_;
  if (n > 0) full_ = false;
  return n;
}

int32_t TCBuffer::Count() {
  if (!storage_) return -1;
  std::lock_guard<std::mutex> guard(lock_);
  if (full_) return capacity_;
  return writePos_ >= readPos_ ? writePos_ - readPos_ : writePos_ - readPos_ + capacity_;
}

void TCBuffer::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  full_ = false;
  writePos_ = 0;
  readPos_ = 0;
}
