#include "tsbuilder/TsPacketizer.h"

#include <algorithm>
#include <stdexcept>

namespace tsb {

void TTsPacketizer::AppendPacket(Bytes& out, bool unitStart, const uint8_t* payload, size_t size,
                                 size_t stuffing) {
  const size_t start = out.size();
  out.resize(start + kTsPacketSize, 0xFF);
  uint8_t* p = out.data() + start;
  p[0] = kTsSync;
  p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | ((pid_ >> 8) & 0x1F));
  p[2] = static_cast<uint8_t>(pid_);
  size_t offset = 4;
  if (stuffing > 0) {
    p[3] = static_cast<uint8_t>(0x30 | continuity_);
    p[4] = static_cast<uint8_t>(stuffing - 1);  // adaptation_field_length
    if (stuffing > 1) p[5] = 0x00;             // no flags; the rest stays 0xFF
    offset += stuffing;
  } else {
    p[3] = static_cast<uint8_t>(0x10 | continuity_);
  }
  for (size_t i = 0; i < size; ++i) p[offset + i] = payload[i];
  continuity_ = (continuity_ + 1) & 0x0F;
}

Bytes SectionPayloads(const Bytes& section) {
  Bytes payloads;
  payloads.reserve(section.size() + kTsPayloadSize);
  payloads.push_back(0x00);  // pointer field
  payloads.insert(payloads.end(), section.begin(), section.end());
  // Sections are filled with 0xFF after their end rather than stuffed, as
  // broadcasters do for PSI.
  payloads.resize((payloads.size() + kTsPayloadSize - 1) / kTsPayloadSize * kTsPayloadSize, 0xFF);
  return payloads;
}

void TTsPacketizer::PacketizeSection(const Bytes& section, Bytes& out) {
  const Bytes payloads = SectionPayloads(section);
  for (size_t pos = 0; pos < payloads.size(); pos += kTsPayloadSize)
    AppendPacket(out, pos == 0, payloads.data() + pos, kTsPayloadSize, 0);
}

void TTsPacketizer::PacketizePes(const Bytes& pes, Bytes& out) {
  for (size_t pos = 0; pos < pes.size(); pos += 184) {
    const size_t n = std::min<size_t>(184, pes.size() - pos);
    AppendPacket(out, pos == 0, pes.data() + pos, n, 184 - n);
  }
}

Bytes PcrPacket(uint16_t pid, uint64_t pcr27MHz) {
  Bytes p(kTsPacketSize, 0xFF);
  p[0] = kTsSync;
  p[1] = static_cast<uint8_t>((pid >> 8) & 0x1F);
  p[2] = static_cast<uint8_t>(pid);
  p[3] = 0x20;  // adaptation field only
  p[4] = 183;
  p[5] = 0x10;  // PCR flag
  const uint64_t base = (pcr27MHz / 300) & ((1ull << 33) - 1);
  const uint64_t ext = pcr27MHz % 300;
  p[6] = static_cast<uint8_t>(base >> 25);
  p[7] = static_cast<uint8_t>(base >> 17);
  p[8] = static_cast<uint8_t>(base >> 9);
  p[9] = static_cast<uint8_t>(base >> 1);
  p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
  p[11] = static_cast<uint8_t>(ext);
  return p;
}

Bytes AudioPes(uint8_t streamId, uint64_t pts90kHz, const Bytes& payload) {
  const size_t length = 3 + 5 + payload.size();
  if (length > 0xFFFF) throw std::length_error("PES packet too long");
  Bytes pes{0x00, 0x00, 0x01, streamId, static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length),
            0x84,   // '10', data_alignment_indicator
            0x80,   // PTS only
            0x05};  // PES_header_data_length
  const uint64_t pts = pts90kHz & ((1ull << 33) - 1);
  pes.push_back(static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
  pes.push_back(static_cast<uint8_t>(pts >> 22));
  pes.push_back(static_cast<uint8_t>(0x01 | ((pts >> 14) & 0xFE)));
  pes.push_back(static_cast<uint8_t>(pts >> 7));
  pes.push_back(static_cast<uint8_t>(0x01 | ((pts << 1) & 0xFE)));
  pes.insert(pes.end(), payload.begin(), payload.end());
  return pes;
}

} // namespace tsb
