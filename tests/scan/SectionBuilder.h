#pragma once
// Hand-built PSI sections with a correct CRC, and their packet payloads, for
// the section and scan tests.
#include <cstdint>
#include <string>
#include <vector>

#include "scan/Crc32.h"

namespace scantest {

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Rewrites the last four bytes with the CRC of the rest.
inline void FixCrc(Bytes& section) {
  const uint32_t crc = scan::SectionCrc32(section.data(), section.size() - 4);
  for (int i = 0; i < 4; ++i) section[section.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

// table_id, section_length, the 16-bit extension, version 0 current,
// number/last, then body and CRC.
inline Bytes Section(uint8_t tableId, uint16_t ext, const Bytes& body, uint8_t number = 0, uint8_t last = 0) {
  const size_t length = 5 + body.size() + 4;
  Bytes s = {tableId, static_cast<uint8_t>(0xB0 | ((length >> 8) & 0x0F)), static_cast<uint8_t>(length),
             static_cast<uint8_t>(ext >> 8), static_cast<uint8_t>(ext), 0xC1, number, last};
  s.insert(s.end(), body.begin(), body.end());
  s.resize(s.size() + 4);
  FixCrc(s);
  return s;
}

struct Program {
  uint16_t Number;
  uint16_t Pid;
};

inline Bytes Pat(uint16_t tsid, const std::vector<Program>& programs, uint8_t number = 0, uint8_t last = 0) {
  Bytes body;
  for (const auto& p : programs)
    body.insert(body.end(), {static_cast<uint8_t>(p.Number >> 8), static_cast<uint8_t>(p.Number),
                             static_cast<uint8_t>(0xE0 | (p.Pid >> 8)), static_cast<uint8_t>(p.Pid)});
  return Section(0x00, tsid, body, number, last);
}

struct Stream {
  uint8_t Type;
  uint16_t Pid;
  Bytes Descriptors;
};

inline Bytes Descriptor(uint8_t tag, const Bytes& body) {
  Bytes d = {tag, static_cast<uint8_t>(body.size())};
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

inline Bytes Pmt(uint16_t program, uint16_t pcr, const std::vector<Stream>& streams, const Bytes& programInfo = {}) {
  Bytes body = {static_cast<uint8_t>(0xE0 | (pcr >> 8)), static_cast<uint8_t>(pcr),
                static_cast<uint8_t>(0xF0 | (programInfo.size() >> 8)), static_cast<uint8_t>(programInfo.size())};
  body.insert(body.end(), programInfo.begin(), programInfo.end());
  for (const auto& s : streams) {
    body.insert(body.end(), {s.Type, static_cast<uint8_t>(0xE0 | (s.Pid >> 8)), static_cast<uint8_t>(s.Pid),
                             static_cast<uint8_t>(0xF0 | (s.Descriptors.size() >> 8)),
                             static_cast<uint8_t>(s.Descriptors.size())});
    body.insert(body.end(), s.Descriptors.begin(), s.Descriptors.end());
  }
  return Section(0x02, program, body);
}

// Service descriptor: type 0x02 (radio), provider and name fields as given
// (selector bytes included).
inline Bytes ServiceDescriptor(const Bytes& provider, const Bytes& name, uint8_t type = 0x02) {
  Bytes body = {type, static_cast<uint8_t>(provider.size())};
  body.insert(body.end(), provider.begin(), provider.end());
  body.push_back(static_cast<uint8_t>(name.size()));
  body.insert(body.end(), name.begin(), name.end());
  return Descriptor(0x48, body);
}

struct Service {
  uint16_t Id;
  Bytes Descriptors;
  bool FreeCa = false;
};

inline Bytes Sdt(uint16_t tsid, uint16_t onid, const std::vector<Service>& services, uint8_t number = 0,
                 uint8_t last = 0) {
  Bytes body = {static_cast<uint8_t>(onid >> 8), static_cast<uint8_t>(onid), 0xFF};
  for (const auto& s : services) {
    const size_t n = s.Descriptors.size();
    body.insert(body.end(), {static_cast<uint8_t>(s.Id >> 8), static_cast<uint8_t>(s.Id), 0xFC,
                             static_cast<uint8_t>(0x80 | (s.FreeCa ? 0x10 : 0) | (n >> 8)), static_cast<uint8_t>(n)});
    body.insert(body.end(), s.Descriptors.begin(), s.Descriptors.end());
  }
  return Section(0x42, tsid, body, number, last);
}

// The payloads that carry a section: pointer field 0, then the section,
// padded with 0xFF to whole 184-byte payloads.
inline Bytes Payloads(const Bytes& section) {
  Bytes out = {0x00};
  out.insert(out.end(), section.begin(), section.end());
  out.resize((out.size() + 183) / 184 * 184, 0xFF);
  return out;
}

} // namespace scantest
