#include "base/RingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <numeric>
#include <thread>
#include <vector>

namespace {

constexpr int32_t kCap = 65535;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

TEST(RingBuffer, FullAndEmptyUseTheWholeCapacity) {
  TCBuffer b(kCap);
  std::vector<uint8_t> out(100);
  EXPECT_EQ(b.Count(), 0);
  EXPECT_EQ(b.Read(out.data(), 100), 0);

  auto in = Pattern(70000);
  EXPECT_EQ(b.Write(in.data(), 70000), kCap);
  EXPECT_EQ(b.Count(), kCap);
  EXPECT_EQ(b.Write(in.data(), 1), 0) << "a full buffer refuses, never overwrites";

  uint8_t one = 0;
  EXPECT_EQ(b.Read(&one, 1), 1);
  EXPECT_EQ(one, in[0]);
  EXPECT_EQ(b.Count(), kCap - 1);
  EXPECT_EQ(b.Write(in.data() + kCap, 10), 1);
  EXPECT_EQ(b.Count(), kCap);

  std::vector<uint8_t> all(kCap);
  EXPECT_EQ(b.Read(all.data(), kCap + 100), kCap);
  EXPECT_TRUE(std::equal(all.begin(), all.end() - 1, in.begin() + 1));
  EXPECT_EQ(all.back(), in[kCap]);
  EXPECT_EQ(b.Count(), 0);
}

TEST(RingBuffer, WrapsRoundTheEndInOrder) {
  TCBuffer b(kCap);
  auto a = Pattern(60000, 1);
  std::vector<uint8_t> sink(60000);
  ASSERT_EQ(b.Write(a.data(), 60000), 60000);
  ASSERT_EQ(b.Read(sink.data(), 60000), 60000);
  auto c = Pattern(10000, 99);
  EXPECT_EQ(b.Write(c.data(), 10000), 10000);
  EXPECT_EQ(b.Count(), 10000);
  std::vector<uint8_t> out(20000);
  EXPECT_EQ(b.Read(out.data(), 20000), 10000) << "only what is held";
  out.resize(10000);
  EXPECT_EQ(out, c);
  EXPECT_EQ(b.Count(), 0);
}

TEST(RingBuffer, PartialWritesAndClear) {
  TCBuffer b(16);
  auto in = Pattern(12);
  EXPECT_EQ(b.Write(in.data(), 12), 12);
  EXPECT_EQ(b.Write(in.data(), 12), 4) << "stores what fits";
  EXPECT_EQ(b.Count(), 16);
  EXPECT_EQ(b.Write(nullptr, 0), 0);
  EXPECT_EQ(b.Read(nullptr, 0), 0);
  EXPECT_EQ(b.Read(nullptr, -5), 0);
  b.Clear();
  EXPECT_EQ(b.Count(), 0);
  auto big = Pattern(16, 5);
  EXPECT_EQ(b.Write(big.data(), 16), 16);
  std::vector<uint8_t> out(16);
  EXPECT_EQ(b.Read(out.data(), 16), 16);
  EXPECT_EQ(out, big);
}

TEST(RingBuffer, WithoutStorageNothingMoves) {
  TCBuffer b(kCap, [](int32_t) -> uint8_t* { return nullptr; });
  EXPECT_FALSE(b.HasStorage());
  uint8_t x[4] = {1, 2, 3, 4};
  EXPECT_EQ(b.Count(), -1);
  EXPECT_EQ(b.Write(x, 4), 0);
  EXPECT_EQ(b.Read(x, 4), 0);
  b.Clear();
  EXPECT_EQ(b.Count(), -1);

  TCBuffer fromAllocator(8, [](int32_t n) { return static_cast<uint8_t*>(std::malloc(n)); });
  EXPECT_EQ(fromAllocator.Write(x, 4), 4);
  EXPECT_EQ(fromAllocator.Count(), 4);
}

// One producer and one consumer: every byte arrives once, in order, and the
// counts add up even when the consumer reads more than a Count just showed.
TEST(RingBuffer, ProducerAndConsumerThreadsKeepOrderAndCount) {
  TCBuffer b(kCap);
  constexpr size_t kTotal = 8 * 1024 * 1024;
  std::atomic<bool> done{false};
  uint64_t refused = 0;
  std::thread producer([&] {
    std::vector<uint8_t> block(184);
    size_t sent = 0;
    while (sent < kTotal) {
      const size_t n = std::min(block.size(), kTotal - sent);
      for (size_t i = 0; i < n; ++i) block[i] = static_cast<uint8_t>((sent + i) % 251);
      size_t off = 0;
      while (off < n) {
        const int32_t w = b.Write(block.data() + off, static_cast<int32_t>(n - off));
        if (w == 0) { ++refused; std::this_thread::yield(); }
        off += static_cast<size_t>(w);
      }
      sent += n;
    }
    done = true;
  });
  size_t received = 0;
  bool inOrder = true;
  std::vector<uint8_t> chunk(32767);
  while (received < kTotal) {
    const int32_t seen = b.Count();
    ASSERT_GE(seen, 0);
    ASSERT_LE(seen, kCap);
    const int32_t r = b.Read(chunk.data(), static_cast<int32_t>(chunk.size()));
    for (int32_t i = 0; i < r; ++i)
      if (chunk[i] != static_cast<uint8_t>((received + i) % 251)) inOrder = false;
    received += static_cast<size_t>(r);
    if (r == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(done);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(received, kTotal);
  EXPECT_EQ(b.Count(), 0);
}

} // namespace
