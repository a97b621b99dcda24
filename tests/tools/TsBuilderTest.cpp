// Sections, descriptors, text fields, PES and packets of the stream builder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "scan/Crc32.h"
#include "tsbuilder/MpegAudio.h"
#include "tsbuilder/PsiTables.h"
#include "tsbuilder/TsPacketizer.h"

using namespace tsb;

namespace {

size_t SectionLength(const Bytes& s) { return ((s[1] & 0x0F) << 8) | s[2]; }

TEST(PsiTablesTest, SectionsAreSealedWithTheSectionCrc) {
  const Bytes pat = PatSection(7, {{1, 0x100}});
  EXPECT_EQ(scan::SectionCrc32(pat.data(), pat.size()), 0u) << "a section with its CRC sums to zero";
}

TEST(PsiTablesTest, PatWithOneProgramHasSectionLength13) {
  const Bytes pat = PatSection(0x1234, {{0x0065, 0x1065}});
  ASSERT_EQ(pat.size(), 16u);
  EXPECT_EQ(pat[0], 0x00);
  EXPECT_EQ(SectionLength(pat), 13u);
  EXPECT_EQ((pat[3] << 8) | pat[4], 0x1234);
  EXPECT_EQ(pat[5] & 0x01, 1) << "current";
  EXPECT_EQ((pat[8] << 8) | pat[9], 0x0065);
  EXPECT_EQ(((pat[10] & 0x1F) << 8) | pat[11], 0x1065);
}

TEST(PsiTablesTest, PmtListsStreamsWithTheirDescriptors) {
  const Bytes pmt = PmtSection(101, 0x1FF0, CaDescriptor(0x0B00, 0x0500),
                               {{0x03, 0x165, Iso639Descriptor("rus")}, {0x06, 0x300, Ac3Descriptor()}});
  EXPECT_EQ(pmt[0], kTablePmt);
  EXPECT_EQ((pmt[3] << 8) | pmt[4], 101);
  EXPECT_EQ(((pmt[8] & 0x1F) << 8) | pmt[9], 0x1FF0);
  const size_t programInfo = ((pmt[10] & 0x0F) << 8) | pmt[11];
  ASSERT_EQ(programInfo, 6u);
  EXPECT_EQ(pmt[12], 0x09);
  size_t at = 12 + programInfo;
  EXPECT_EQ(pmt[at], 0x03);
  EXPECT_EQ(((pmt[at + 1] & 0x1F) << 8) | pmt[at + 2], 0x165);
  EXPECT_EQ(pmt[at + 5], 0x0A);
  EXPECT_EQ(std::string(pmt.begin() + at + 7, pmt.begin() + at + 10), "rus");
  at += 5 + (((pmt[at + 3] & 0x0F) << 8) | pmt[at + 4]);
  EXPECT_EQ(pmt[at], 0x06);
  EXPECT_EQ(pmt[at + 5], 0x6A);
  EXPECT_EQ(at + 5 + 3 + 4, pmt.size()) << "then only the CRC";
}

TEST(PsiTablesTest, SdtSplitsIntoNumberedSectionsThatEachFit) {
  std::vector<TSdtService> services;
  for (uint16_t id = 1; id <= 12; ++id)
    services.push_back(
        {id, ServiceDescriptor(kServiceRadio, DvbTextLatin("P"), DvbTextLatin("Service " + std::to_string(id))), id == 3});
  const auto sections = SdtSections(9, 0x70, services, 0, 120);
  ASSERT_GT(sections.size(), 2u);
  std::vector<int> ids;
  for (size_t i = 0; i < sections.size(); ++i) {
    const Bytes& s = sections[i];
    EXPECT_LE(s.size(), 120u);
    EXPECT_EQ(SectionLength(s) + 3, s.size());
    EXPECT_EQ(s[6], i);
    EXPECT_EQ(s[7], sections.size() - 1);
    EXPECT_EQ(scan::SectionCrc32(s.data(), s.size()), 0u);
    for (size_t at = 11; at + 4 < s.size();) {
      ids.push_back((s[at] << 8) | s[at + 1]);
      if (ids.back() == 3) {
        EXPECT_TRUE(s[at + 3] & 0x10) << "free CA bit";
      }
      at += 5 + (((s[at + 3] & 0x0F) << 8) | s[at + 4]);
    }
  }
  EXPECT_EQ(ids, std::vector<int>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_THROW(SdtSections(9, 0x70, services, 0, 4096), std::length_error);
}

TEST(PsiTablesTest, SectionsPastThePsiLimitOnlyWhenAskedFor) {
  const std::vector<TPatEntry> many(300, TPatEntry{1, 0x100});
  EXPECT_THROW(PatSection(1, many), std::length_error);
  EXPECT_EQ(PatSection(1, many, 0, 0, 0, kMaxLongSectionBytes).size(), 8 + 4 * 300 + 4u);
  EXPECT_THROW(PatSection(1, std::vector<TPatEntry>(1022), 0, 0, 0, kMaxLongSectionBytes), std::length_error);
  EXPECT_THROW(PatSection(1, {}, 0, 0, 0, kMaxLongSectionBytes + 1), std::length_error);
}

TEST(PsiTablesTest, SectionsTakeTheirPlaceInTheTable) {
  const Bytes pat = PatSection(1, {{1, 0x100}}, 3, 1, 2);
  EXPECT_EQ(pat[5], 0xC1 | (3 << 1)) << "version 3, current";
  EXPECT_EQ(pat[6], 1);
  EXPECT_EQ(pat[7], 2);
  // One SDT section is what the split gives when everything fits.
  const std::vector<TSdtService> services = {
      {1, ServiceDescriptor(kServiceRadio, DvbTextLatin("P"), DvbTextLatin("One"))},
      {2, TimeShiftedServiceDescriptor(1), true, 1}};
  EXPECT_EQ(SdtSection(9, 0x70, services, 2), SdtSections(9, 0x70, services, 2).at(0));
  const Bytes last = SdtSection(9, 0x70, services, 0, 4, 4);
  EXPECT_EQ(last[6], 4);
  EXPECT_EQ(last[7], 4);
}

TEST(PsiTablesTest, ResealMakesLengthAndCrcMatchADamagedSection) {
  Bytes pat = PatSection(7, {{1, 0x100}});
  pat.insert(pat.end() - 4, {0xAA, 0xBB});
  pat[10] = 0x1F;
  ResealSection(pat);
  EXPECT_EQ(SectionLength(pat) + 3, pat.size());
  EXPECT_EQ(pat[1] & 0xF0, 0xB0) << "the flags above the length stay";
  EXPECT_EQ(pat[10], 0x1F);
  EXPECT_EQ(scan::SectionCrc32(pat.data(), pat.size()), 0u);
  for (size_t size : {size_t{6}, size_t{3 + 0x1000}}) {
    Bytes wrong(size, 0);
    EXPECT_THROW(ResealSection(wrong), std::length_error) << size;
  }
}

TEST(PsiTablesTest, ServiceAndTimeShiftedDescriptors) {
  const Bytes d = ServiceDescriptor(0x02, DvbTextLatin("AB"), DvbTextUtf8("Ж"));
  EXPECT_EQ(d, (Bytes{0x48, 8, 0x02, 2, 'A', 'B', 3, 0x15, 0xD0, 0x96}));
  EXPECT_EQ(TimeShiftedServiceDescriptor(1025), (Bytes{0x4C, 2, 0x04, 0x01}));
  EXPECT_EQ(TeletextDescriptor("rus", 1, 1, 0x00), (Bytes{0x56, 5, 'r', 'u', 's', 0x09, 0x00}));
}

TEST(DvbTextTest, Iso8859_5MapsCyrillicAndRefusesTheRest) {
  EXPECT_EQ(DvbTextIso8859_5("Маяк 1"), (Bytes{0x01, 0xBC, 0xD0, 0xEF, 0xDA, ' ', '1'}));
  EXPECT_EQ(DvbTextIso8859_5("АяЁё№"), (Bytes{0x01, 0xB0, 0xEF, 0xA1, 0xF1, 0xF0}));
  EXPECT_THROW(DvbTextIso8859_5("€"), std::invalid_argument);
  EXPECT_THROW(DvbTextIso8859_5(std::string("\xD0", 1)), std::invalid_argument) << "cut UTF-8";
  EXPECT_THROW(DvbTextLatin("\x05name"), std::invalid_argument);
  Bytes field;
  EXPECT_THROW(AppendLengthPrefixed(field, Bytes(256, 'x')), std::length_error);
}

uint64_t DecodePts(const uint8_t* t) {
  return (uint64_t(t[0] & 0x0E) << 29) | (uint64_t(t[1]) << 22) | (uint64_t(t[2] & 0xFE) << 14) |
         (uint64_t(t[3]) << 7) | (t[4] >> 1);
}

TEST(PesTest, AudioPesCarriesPtsWithMarkerBits) {
  const uint64_t pts = (1ull << 32) + 12345;  // exercises the top bit
  const Bytes pes = AudioPes(0xC0, pts, Bytes(100, 0xAB));
  ASSERT_EQ(pes.size(), 114u);
  EXPECT_EQ(Bytes(pes.begin(), pes.begin() + 4), (Bytes{0, 0, 1, 0xC0}));
  EXPECT_EQ((pes[4] << 8) | pes[5], 108) << "PES_packet_length counts what follows it";
  EXPECT_EQ(pes[8], 5) << "header data length";
  EXPECT_EQ(pes[9] & 0xF1, 0x21);
  EXPECT_EQ(pes[11] & 1, 1);
  EXPECT_EQ(pes[13] & 1, 1);
  EXPECT_EQ(DecodePts(&pes[9]), pts);
  EXPECT_THROW(AudioPes(0xC0, 0, Bytes(65535, 0)), std::length_error);
}

TEST(PacketizerTest, PesEndsWithAdaptationStuffingAndCountsContinuity) {
  TTsPacketizer out(0x165);
  Bytes pes(400);
  for (size_t i = 0; i < pes.size(); ++i) pes[i] = static_cast<uint8_t>(i);
  Bytes ts;
  out.PacketizePes(pes, ts);
  out.PacketizePes(Bytes(184, 7), ts);  // exactly one packet, no stuffing
  ASSERT_EQ(ts.size(), 4 * kTsPacketSize);
  Bytes payload;
  for (int k = 0; k < 3; ++k) {
    const uint8_t* p = &ts[k * kTsPacketSize];
    EXPECT_EQ(p[0], 0x47);
    EXPECT_EQ(((p[1] & 0x1F) << 8) | p[2], 0x165);
    EXPECT_EQ((p[1] & 0x40) != 0, k == 0) << "unit start on the first packet only";
    EXPECT_EQ(p[3] & 0x0F, k);
    size_t offset = 4;
    if (p[3] & 0x20) offset += 1 + p[4];
    payload.insert(payload.end(), p + offset, p + kTsPacketSize);
  }
  const uint8_t* last = &ts[2 * kTsPacketSize];
  EXPECT_EQ(last[3] & 0x30, 0x30);
  EXPECT_EQ(last[4], 183 - 32) << "32 payload bytes remain for the last packet";
  EXPECT_EQ(payload, pes);
  EXPECT_EQ(ts[3 * kTsPacketSize + 3], 0x13);
}

TEST(PacketizerTest, SectionsOpenPacketsWithPointerFieldZeroAndFillWithFF) {
  TTsPacketizer out(0x0011);
  const Bytes section(300, 0x42);
  Bytes ts;
  out.PacketizeSection(section, ts);
  ASSERT_EQ(ts.size(), 2 * kTsPacketSize);
  EXPECT_EQ(ts[1] & 0x40, 0x40);
  EXPECT_EQ(ts[4], 0x00);
  EXPECT_EQ(ts[5], 0x42);
  EXPECT_EQ(ts[kTsPacketSize + 1] & 0x40, 0);
  EXPECT_EQ(ts[kTsPacketSize + 4 + 300 - 183 - 1], 0x42);
  EXPECT_EQ(ts[kTsPacketSize + 4 + 300 - 183], 0xFF);
  EXPECT_EQ(ts.back(), 0xFF);
}

TEST(PacketizerTest, SectionPayloadsAreWholePayloadsAfterThePointerField) {
  for (size_t size : {size_t{8}, size_t{183}, size_t{184}, size_t{400}}) {
    SCOPED_TRACE(size);
    const Bytes section(size, 0x42);
    const Bytes p = SectionPayloads(section);
    ASSERT_EQ(p.size(), (size + 1 + 183) / 184 * 184);
    EXPECT_EQ(p[0], 0x00);
    EXPECT_EQ(Bytes(p.begin() + 1, p.begin() + 1 + static_cast<long>(size)), section);
    EXPECT_EQ(std::count(p.begin() + 1 + static_cast<long>(size), p.end(), 0xFF),
              static_cast<long>(p.size() - 1 - size));
  }
}

TEST(PacketizerTest, PcrPacketEncodesBaseAndExtension) {
  const uint64_t pcr = 27000000ull * 95000 + 299;  // past 2^32 of the 90 kHz base
  const Bytes p = PcrPacket(0x1FF0, pcr);
  ASSERT_EQ(p.size(), kTsPacketSize);
  EXPECT_EQ(p[3], 0x20);
  EXPECT_EQ(p[4], 183);
  EXPECT_EQ(p[5], 0x10);
  const uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) |
                        (uint64_t(p[9]) << 1) | (p[10] >> 7);
  const uint64_t ext = (uint64_t(p[10] & 1) << 8) | p[11];
  EXPECT_EQ(base * 300 + ext, pcr);
}

TEST(MpegAudioTest, HeaderGivesFrameLengths) {
  const uint8_t mpeg1[] = {0xFF, 0xFD, 0xA4, 0x00};  // Layer II, 192 kbit/s, 48 kHz
  auto h = ParseMpegAudioHeader(mpeg1, 4);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->bitrateKbps, 192);
  EXPECT_EQ(h->sampleRate, 48000);
  EXPECT_EQ(h->frameBytes, 576);
  const uint8_t lsf[] = {0xFF, 0xF5, 0x84, 0xC0};  // MPEG-2 Layer II, 64 kbit/s, 24 kHz, mono
  h = ParseMpegAudioHeader(lsf, 4);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->version, 2);
  EXPECT_EQ(h->sampleRate, 24000);
  EXPECT_EQ(h->frameBytes, 384);
  EXPECT_EQ(h->channelMode, 3);
  const uint8_t padded[] = {0xFF, 0xFD, 0x82, 0x00};  // 128 kbit/s, 44.1 kHz, padding
  EXPECT_EQ(ParseMpegAudioHeader(padded, 4)->frameBytes, 418);
  const uint8_t bad[] = {0xFF, 0xFD, 0xF4, 0x00};  // bit rate index 15
  EXPECT_FALSE(ParseMpegAudioHeader(bad, 4));
  EXPECT_FALSE(ParseMpegAudioHeader(mpeg1, 3));
}

TEST(MpegAudioTest, EncodedToneIsWholeFramesOfTheChosenFormat) {
  const Bytes es = EncodeTone({24000, 64, TAudioMode::Mono}, {}, 0.5);
  const auto frames = SplitFrames(es);
  ASSERT_FALSE(frames.empty());
  size_t total = 0;
  for (size_t f : frames) total += f;
  EXPECT_EQ(total, es.size());
  const auto h = ParseMpegAudioHeader(es.data(), es.size());
  ASSERT_TRUE(h);
  EXPECT_EQ(h->version, 2);
  EXPECT_EQ(h->sampleRate, 24000);
  EXPECT_EQ(h->channelMode, 3);
  EXPECT_EQ(frames.size(), 10u) << "0.5 s at 24 kHz is ten 1152-sample frames";
  EXPECT_THROW(EncodeTone({48000, 7, TAudioMode::Stereo}, {}, 0.1), std::runtime_error);
}

} // namespace
