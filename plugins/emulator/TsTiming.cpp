#include "TsTiming.h"

namespace emulator {

std::optional<uint64_t> PacketPcr(const uint8_t* p) {
  if (p[0] != 0x47 || !(p[3] & 0x20)) return std::nullopt;
  const uint8_t afLength = p[4];
  if (afLength < 7 || afLength > 183 || !(p[5] & 0x10)) return std::nullopt;
  const uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) |
                        (uint64_t(p[9]) << 1) | (p[10] >> 7);
  const uint64_t ext = (uint64_t(p[10] & 0x01) << 8) | p[11];
  return base * 300 + ext;
}

std::optional<uint64_t> PacketPts(const uint8_t* p) {
  if (p[0] != 0x47 || !(p[1] & 0x40) || !(p[3] & 0x10)) return std::nullopt;
  size_t offset = 4;
  if (p[3] & 0x20) offset += 1 + size_t(p[4]);
  if (offset + 14 > kPacketSize) return std::nullopt;
  const uint8_t* h = p + offset;
  if (h[0] != 0 || h[1] != 0 || h[2] != 1 || (h[6] & 0xC0) != 0x80 || !(h[7] & 0x80))
    return std::nullopt;
  const uint8_t* t = h + 9;
  return (uint64_t(t[0] & 0x0E) << 29) | (uint64_t(t[1]) << 22) | (uint64_t(t[2] & 0xFE) << 14) |
         (uint64_t(t[3]) << 7) | (t[4] >> 1);
}

namespace {

// Rate from the first and last stamp of one PID within the data; `hz` is the
// stamp clock. Stamps that go backwards end the measurement.
template <typename Read>
double RateFrom(const uint8_t* data, size_t size, uint64_t hz, Read read) {
  int pid = -1;
  uint64_t first = 0, last = 0;
  size_t firstAt = 0, lastAt = 0;
  for (size_t at = 0; at + kPacketSize <= size; at += kPacketSize) {
    const uint8_t* p = data + at;
    if (pid >= 0 && PacketPid(p) != pid) continue;
    const auto stamp = read(p);
    if (!stamp) continue;
    if (pid < 0) {
      pid = PacketPid(p);
      first = last = *stamp;
      firstAt = lastAt = at;
    } else if (*stamp > last) {
      last = *stamp;
      lastAt = at;
    } else {
      break;
    }
  }
  if (pid < 0 || last == first) return 0;
  return double(lastAt - firstAt) * double(hz) / double(last - first);
}

} // namespace

double EstimateByteRate(const uint8_t* data, size_t size) {
  const double byPcr = RateFrom(data, size, kPcrHz, PacketPcr);
  if (byPcr > 0) return byPcr;
  return RateFrom(data, size, 90000, PacketPts);
}

} // namespace emulator
