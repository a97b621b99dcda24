#include "tsbuilder/PsiTables.h"

#include <algorithm>
#include <stdexcept>

#include "scan/Crc32.h"

namespace tsb {
namespace {

void Put16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

// 12-bit length field with the four reserved bits above it set as given.
void Put12(Bytes& out, uint8_t highBits, size_t length) {
  if (length > 0x0FFF) throw std::length_error("descriptor loop too long");
  out.push_back(static_cast<uint8_t>((highBits << 4) | (length >> 8)));
  out.push_back(static_cast<uint8_t>(length));
}

Bytes Language(const std::string& language) {
  if (language.size() != 3) throw std::invalid_argument("ISO 639 code must have 3 letters");
  return Bytes(language.begin(), language.end());
}

// Next code point of a UTF-8 string; throws on malformed input.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s.at(k)); };
  const uint8_t c = b(i);
  if (c < 0x80) { ++i; return c; }
  const int extra = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0) throw std::invalid_argument("bad UTF-8");
  uint32_t cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    if (i + k >= s.size() || (b(i + k) & 0xC0) != 0x80) throw std::invalid_argument("bad UTF-8");
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  i += extra + 1;
  return cp;
}

uint8_t ToIso8859_5(uint32_t cp) {
  if (cp < 0xA1) return static_cast<uint8_t>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<uint8_t>(cp - 0x0410 + 0xB0);
  if (cp >= 0x0401 && cp <= 0x040F && cp != 0x040D) return static_cast<uint8_t>(cp - 0x0400 + 0xA0);
  if (cp >= 0x0451 && cp <= 0x045F && cp != 0x045D) return static_cast<uint8_t>(cp - 0x0450 + 0xF0);
  if (cp == 0x2116) return 0xF0;
  if (cp == 0x00A7) return 0xFD;
  if (cp == 0x00AD) return 0xAD;
  throw std::invalid_argument("character not in ISO 8859-5");
}

// An SDT service loop entry.
Bytes SdtEntry(const TSdtService& sv) {
  Bytes entry;
  Put16(entry, sv.serviceId);
  entry.push_back(0xFC);  // reserved, no EIT schedule / present-following
  const uint8_t high = static_cast<uint8_t>((sv.runningStatus << 1) | (sv.freeCa ? 1 : 0));
  Put12(entry, high, sv.descriptors.size());
  entry.insert(entry.end(), sv.descriptors.begin(), sv.descriptors.end());
  return entry;
}

// The SDT body up to its service loop: original_network_id, reserved.
Bytes SdtBodyStart(uint16_t originalNetworkId) {
  Bytes body;
  Put16(body, originalNetworkId);
  body.push_back(0xFF);
  return body;
}

} // namespace

Bytes LongSection(uint8_t tableId, uint16_t idExtension, uint8_t version, uint8_t sectionNumber,
                  uint8_t lastSectionNumber, const Bytes& body, size_t maxSectionBytes) {
  if (maxSectionBytes > kMaxLongSectionBytes) throw std::length_error("section limit past the length field");
  // section_length counts the 5 header bytes after it, the body and the CRC.
  const size_t sectionLength = 5 + body.size() + 4;
  if (sectionLength + 3 > maxSectionBytes) throw std::length_error("section too long");
  Bytes s;
  s.reserve(sectionLength + 3);
  s.push_back(tableId);
  // section_syntax_indicator 1, '0' (private bit; DVB SDT sets it to 1), reserved '11';
  // the length below them is written with the CRC.
  s.push_back(tableId == kTableSdtActual ? 0xF0 : 0xB0);
  s.push_back(0);
  Put16(s, idExtension);
  s.push_back(static_cast<uint8_t>(0xC1 | ((version & 0x1F) << 1)));
  s.push_back(sectionNumber);
  s.push_back(lastSectionNumber);
  s.insert(s.end(), body.begin(), body.end());
  s.resize(s.size() + 4);
  ResealSection(s);
  return s;
}

void ResealSection(Bytes& section) {
  // At least the three bytes up to section_length's end and the CRC.
  if (section.size() < 7 || section.size() - 3 > 0x0FFF) throw std::length_error("no section length fits");
  const size_t length = section.size() - 3;
  section[1] = static_cast<uint8_t>((section[1] & 0xF0) | (length >> 8));
  section[2] = static_cast<uint8_t>(length);
  const size_t crcAt = section.size() - 4;
  const uint32_t crc = scan::SectionCrc32(section.data(), crcAt);
  for (size_t i = 0; i < 4; ++i) section[crcAt + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

Bytes PatSection(uint16_t transportStreamId, const std::vector<TPatEntry>& programs,
                 uint8_t version, uint8_t sectionNumber, uint8_t lastSectionNumber,
                 size_t maxSectionBytes) {
  Bytes body;
  for (const TPatEntry& p : programs) {
    Put16(body, p.programNumber);
    Put16(body, static_cast<uint16_t>(0xE000 | (p.pid & 0x1FFF)));
  }
  return LongSection(kTablePat, transportStreamId, version, sectionNumber, lastSectionNumber, body,
                     maxSectionBytes);
}

Bytes PmtSection(uint16_t programNumber, uint16_t pcrPid, const Bytes& programDescriptors,
                 const std::vector<TPmtStream>& streams, uint8_t version, size_t maxSectionBytes) {
  Bytes body;
  Put16(body, static_cast<uint16_t>(0xE000 | (pcrPid & 0x1FFF)));
  Put12(body, 0xF, programDescriptors.size());
  body.insert(body.end(), programDescriptors.begin(), programDescriptors.end());
  for (const TPmtStream& st : streams) {
    body.push_back(st.streamType);
    Put16(body, static_cast<uint16_t>(0xE000 | (st.pid & 0x1FFF)));
    Put12(body, 0xF, st.descriptors.size());
    body.insert(body.end(), st.descriptors.begin(), st.descriptors.end());
  }
  return LongSection(kTablePmt, programNumber, version, 0, 0, body, maxSectionBytes);
}

Bytes SdtSection(uint16_t transportStreamId, uint16_t originalNetworkId,
                 const std::vector<TSdtService>& services, uint8_t version, uint8_t sectionNumber,
                 uint8_t lastSectionNumber, size_t maxSectionBytes) {
  Bytes body = SdtBodyStart(originalNetworkId);
  for (const TSdtService& sv : services) {
    const Bytes entry = SdtEntry(sv);
    body.insert(body.end(), entry.begin(), entry.end());
  }
  return LongSection(kTableSdtActual, transportStreamId, version, sectionNumber, lastSectionNumber, body,
                     maxSectionBytes);
}

std::vector<Bytes> SdtSections(uint16_t transportStreamId, uint16_t originalNetworkId,
                               const std::vector<TSdtService>& services, uint8_t version,
                               size_t maxSectionBytes) {
  // Fixed part: 8 header bytes, 3 SDT bytes (network id, reserved), 4 CRC.
  constexpr size_t kOverhead = 8 + 3 + 4;
  if (maxSectionBytes > kMaxSectionBytes || maxSectionBytes < kOverhead + 5)
    throw std::length_error("bad SDT section size");
  std::vector<Bytes> bodies;
  Bytes body = SdtBodyStart(originalNetworkId);
  for (const TSdtService& sv : services) {
    const Bytes entry = SdtEntry(sv);
    if (kOverhead + entry.size() > maxSectionBytes) throw std::length_error("service entry too long");
    if (8 + body.size() + entry.size() + 4 > maxSectionBytes) {
      bodies.push_back(body);
      body = SdtBodyStart(originalNetworkId);
    }
    body.insert(body.end(), entry.begin(), entry.end());
  }
  bodies.push_back(body);
  if (bodies.size() > 256) throw std::length_error("SDT needs more than 256 sections");
  std::vector<Bytes> sections;
  const auto last = static_cast<uint8_t>(bodies.size() - 1);
  for (size_t i = 0; i < bodies.size(); ++i)
    sections.push_back(LongSection(kTableSdtActual, transportStreamId, version,
                                   static_cast<uint8_t>(i), last, bodies[i]));
  return sections;
}

Bytes Descriptor(uint8_t tag, const Bytes& body) {
  if (body.size() > 255) throw std::length_error("descriptor too long");
  Bytes d{tag, static_cast<uint8_t>(body.size())};
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

Bytes Iso639Descriptor(const std::string& language, uint8_t audioType) {
  Bytes body = Language(language);
  body.push_back(audioType);
  return Descriptor(0x0A, body);
}

Bytes CaDescriptor(uint16_t caSystemId, uint16_t caPid) {
  Bytes body;
  Put16(body, caSystemId);
  Put16(body, static_cast<uint16_t>(0xE000 | (caPid & 0x1FFF)));
  return Descriptor(0x09, body);
}

Bytes Ac3Descriptor() { return Descriptor(0x6A, Bytes{0x00}); }

Bytes TeletextDescriptor(const std::string& language, uint8_t type, uint8_t magazine,
                         uint8_t page) {
  Bytes body = Language(language);
  body.push_back(static_cast<uint8_t>((type << 3) | (magazine & 0x07)));
  body.push_back(page);
  return Descriptor(0x56, body);
}

Bytes ServiceDescriptor(uint8_t serviceType, const Bytes& provider, const Bytes& name) {
  Bytes body{serviceType};
  AppendLengthPrefixed(body, provider);
  AppendLengthPrefixed(body, name);
  return Descriptor(0x48, body);
}

Bytes TimeShiftedServiceDescriptor(uint16_t referenceServiceId) {
  Bytes body;
  Put16(body, referenceServiceId);
  return Descriptor(0x4C, body);
}

Bytes DvbTextLatin(const std::string& text) {
  if (!text.empty() && static_cast<uint8_t>(text[0]) < 0x20)
    throw std::invalid_argument("plain text must not begin with a table selector");
  return Bytes(text.begin(), text.end());
}

Bytes DvbTextIso8859_5(const std::string& utf8) {
  Bytes out{0x01};
  for (size_t i = 0; i < utf8.size();) out.push_back(ToIso8859_5(NextCodePoint(utf8, i)));
  return out;
}

Bytes DvbTextUtf8(const std::string& utf8) {
  Bytes out(utf8.size() + 1);
  out[0] = 0x15;
  std::copy(utf8.begin(), utf8.end(), out.begin() + 1);
  return out;
}

void AppendLengthPrefixed(Bytes& out, const Bytes& field) {
  if (field.size() > 255) throw std::length_error("text field too long");
  out.push_back(static_cast<uint8_t>(field.size()));
  out.insert(out.end(), field.begin(), field.end());
}

} // namespace tsb
