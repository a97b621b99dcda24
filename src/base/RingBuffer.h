#pragma once
// Thread-safe byte ring buffer that never overwrites unread data: what does not
// fit is refused and the caller learns how much was taken from the result.
// One producer and one consumer may share it without further locking.
#include <cstdint>
#include <mutex>
#include <new>

class TCBuffer {
 public:
  explicit TCBuffer(int32_t capacity);
  // Lets a test stand in for the allocation; a null result means the
  // allocation failed and the buffer lives on without storage. Storage from
  // an allocator is released with std::free.
  using Allocator = uint8_t* (*)(int32_t capacity);
  TCBuffer(int32_t capacity, Allocator allocate);
  ~TCBuffer();
  TCBuffer(const TCBuffer&) = delete;
  TCBuffer& operator=(const TCBuffer&) = delete;

  int32_t Write(const void* data, int32_t length);   // bytes stored
  int32_t Read(void* destination, int32_t length);   // bytes copied
  int32_t Count();                                   // bytes held, -1 without storage
  void Clear();

  int32_t Capacity() const { return capacity_; }
  bool HasStorage() const { return storage_ != nullptr; }

 private:
  uint8_t* storage_ = nullptr;
  int32_t capacity_ = 0;
  int32_t writePos_ = 0;
  int32_t readPos_ = 0;
  bool full_ = false;
  bool ownedByNew_ = true;
  std::mutex lock_;
};
