#pragma once
// MPEG-2 / DVB service tables as complete sections (header, body, CRC-32), and
// the descriptors and DVB text fields that go into them.
#include <cstdint>
#include <string>
#include <vector>

namespace tsb {

using Bytes = std::vector<uint8_t>;

// Table ids of the sections built here.
constexpr uint8_t kTablePat = 0x00;
constexpr uint8_t kTablePmt = 0x02;
constexpr uint8_t kTableSdtActual = 0x42;

// Service types of the service descriptor.
constexpr uint8_t kServiceTv = 0x01;
constexpr uint8_t kServiceRadio = 0x02;

// Largest section the builders emit; PAT/PMT/SDT sections may not exceed it.
constexpr size_t kMaxSectionBytes = 1024;
// What a long-form section's 12-bit length can say at most (private
// sections). Only a test of a receiver asks for a PSI section that large.
constexpr size_t kMaxLongSectionBytes = 4096;

// A long-form section (section_syntax_indicator 1, current_next 1) with its
// CRC. Throws std::length_error when the section would exceed maxSectionBytes
// (itself at most kMaxLongSectionBytes).
Bytes LongSection(uint8_t tableId, uint16_t idExtension, uint8_t version, uint8_t sectionNumber,
                  uint8_t lastSectionNumber, const Bytes& body, size_t maxSectionBytes = kMaxSectionBytes);

// For a section changed after it was built (a test's deliberate damage):
// section_length set to the bytes as they stand and the last four bytes made
// their CRC. Throws std::length_error below 7 bytes or above the 12-bit length.
void ResealSection(Bytes& section);

struct TPatEntry {
  uint16_t programNumber = 0;  // 0 names the network PID
  uint16_t pid = 0;
};
Bytes PatSection(uint16_t transportStreamId, const std::vector<TPatEntry>& programs,
                 uint8_t version = 0, uint8_t sectionNumber = 0, uint8_t lastSectionNumber = 0,
                 size_t maxSectionBytes = kMaxSectionBytes);

struct TPmtStream {
  uint8_t streamType = 0;
  uint16_t pid = 0;
  Bytes descriptors;
};
Bytes PmtSection(uint16_t programNumber, uint16_t pcrPid, const Bytes& programDescriptors,
                 const std::vector<TPmtStream>& streams, uint8_t version = 0,
                 size_t maxSectionBytes = kMaxSectionBytes);

struct TSdtService {
  uint16_t serviceId = 0;
  Bytes descriptors;
  bool freeCa = false;
  uint8_t runningStatus = 4;  // running
};
// One SDT (actual transport stream) section holding all the services, at the
// place in its table given.
Bytes SdtSection(uint16_t transportStreamId, uint16_t originalNetworkId,
                 const std::vector<TSdtService>& services, uint8_t version = 0, uint8_t sectionNumber = 0,
                 uint8_t lastSectionNumber = 0, size_t maxSectionBytes = kMaxSectionBytes);
// The SDT split over as many sections as needed so that none exceeds
// maxSectionBytes (at most kMaxSectionBytes); section numbers count from 0.
std::vector<Bytes> SdtSections(uint16_t transportStreamId, uint16_t originalNetworkId,
                               const std::vector<TSdtService>& services, uint8_t version = 0,
                               size_t maxSectionBytes = kMaxSectionBytes);

// Descriptors. Throws std::length_error for a body above 255 bytes.
Bytes Descriptor(uint8_t tag, const Bytes& body);
Bytes Iso639Descriptor(const std::string& language, uint8_t audioType = 0);
Bytes CaDescriptor(uint16_t caSystemId, uint16_t caPid);
Bytes Ac3Descriptor();
Bytes TeletextDescriptor(const std::string& language, uint8_t type, uint8_t magazine,
                         uint8_t page);
// provider and name are complete DVB text fields (see the Dvb*Text helpers).
Bytes ServiceDescriptor(uint8_t serviceType, const Bytes& provider, const Bytes& name);
Bytes TimeShiftedServiceDescriptor(uint16_t referenceServiceId);

// DVB text fields, without the length byte. Latin: the bytes as given (no
// selector; the text must not start below 0x20). Iso8859_5: selector 0x01 and
// the UTF-8 text converted to ISO/IEC 8859-5 (throws std::invalid_argument for
// a character that table lacks). Utf8: selector 0x15 and the bytes.
Bytes DvbTextLatin(const std::string& text);
Bytes DvbTextIso8859_5(const std::string& utf8);
Bytes DvbTextUtf8(const std::string& utf8);

// Appends a descriptor list, a length byte followed by its bytes; throws
// std::length_error above 255 bytes.
void AppendLengthPrefixed(Bytes& out, const Bytes& field);

} // namespace tsb
