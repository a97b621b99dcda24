#pragma once
// Time stamps read from transport packets, for pacing a replay.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace emulator {

constexpr size_t kPacketSize = 188;
constexpr uint64_t kPcrHz = 27000000;

inline uint16_t PacketPid(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

// The PCR (27 MHz) of a 188-byte packet, when its adaptation field has one.
std::optional<uint64_t> PacketPcr(const uint8_t* p);

// The PTS (90 kHz) of the PES packet a 188-byte packet opens, if any.
std::optional<uint64_t> PacketPts(const uint8_t* p);

// Bytes per second of a stream judged from its first bytes: the PCRs of the
// first PID carrying them, else the PTSs of the first PID carrying them.
// 0 when neither gives two distinct values.
double EstimateByteRate(const uint8_t* data, size_t size);

} // namespace emulator
