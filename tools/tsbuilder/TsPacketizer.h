#pragma once
// Transport packets: sections and PES packets cut into 188-byte packets of one
// PID with a running continuity counter, and PCR-only packets.
#include <cstdint>
#include <vector>

#include "tsbuilder/PsiTables.h"

namespace tsb {

constexpr size_t kTsPacketSize = 188;
constexpr uint8_t kTsSync = 0x47;
constexpr uint16_t kNullPid = 0x1FFF;
constexpr size_t kTsPayloadSize = kTsPacketSize - 4;

// The packet payloads that carry one section: pointer field 0, the section,
// then 0xFF to the end of the last payload.
Bytes SectionPayloads(const Bytes& section);

class TTsPacketizer {
 public:
  explicit TTsPacketizer(uint16_t pid) : pid_(pid) {}
  uint16_t Pid() const { return pid_; }

  // One section: payload unit start, pointer field 0, the section, 0xFF fill.
  // Each section begins a packet of its own.
  void PacketizeSection(const Bytes& section, Bytes& out);

  // One PES packet; the last packet is padded with adaptation-field stuffing
  // so the payload ends exactly at the PES end.
  void PacketizePes(const Bytes& pes, Bytes& out);

 private:
  void AppendPacket(Bytes& out, bool unitStart, const uint8_t* payload, size_t size,
                    size_t stuffing);
  uint16_t pid_;
  uint8_t continuity_ = 0;
};

// An adaptation-field-only packet carrying a PCR (27 MHz clock value). Such
// packets have no payload, so their continuity counter stays at 0.
Bytes PcrPacket(uint16_t pid, uint64_t pcr27MHz);

// An MPEG audio PES packet: stream id (0xC0..0xDF), data alignment, PTS only
// (header data length 5), then the payload. Throws when it exceeds 65535.
Bytes AudioPes(uint8_t streamId, uint64_t pts90kHz, const Bytes& payload);

} // namespace tsb
