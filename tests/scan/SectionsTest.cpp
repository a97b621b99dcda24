#include "scan/Sections.h"

#include <gtest/gtest.h>

#include <thread>

#include "FakeCard.h"
#include "scan/Crc32.h"
#include "tsbuilder/PsiTables.h"
#include "tsbuilder/TsPacketizer.h"

using namespace scantest;
using namespace tsb;

namespace {

void Send(const TDVBSection& s, const Bytes& section) {
  const Bytes p = SectionPayloads(section);
  SectionCallback(p.data(), static_cast<int32_t>(p.size()), s.Handle);
}

class SectionTest : public ::testing::Test {
 protected:
  FakeCard card;
};

} // namespace

TEST(SectionCrc, MatchesTheKnownCheckValueAndVerifiesAWholeSection) {
  const std::string check = "123456789";
  EXPECT_EQ(scan::SectionCrc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x0376E6E7u);
  const Bytes s = PatSection(1, {{1, 0x100}});
  EXPECT_EQ(scan::SectionCrc32(s.data(), s.size()), 0u);
}

TEST_F(SectionTest, PatWithOneProgramAndTheNetworkEntry) {
  TPATSection pat;
  pat.Reset();
  ASSERT_TRUE(pat.StartFilter(Dvb, 0));
  EXPECT_EQ(ActiveSections.size(), 1u);
  const Bytes one = PatSection(0x0FF1, {{7, 0x1234 & 0x1FFF}});
  ASSERT_EQ(((one[1] & 0x0F) << 8) | one[2], 13);
  Send(pat, one);
  EXPECT_FALSE(pat.Active);
  EXPECT_EQ(pat.Count, 1);
  EXPECT_EQ(pat.TransportStreamId, 0x0FF1);
  EXPECT_EQ(pat.ProgramNumbers[0], 7);
  EXPECT_EQ(pat.PmtPids[0], 0x1234 & 0x1FFF);
  EXPECT_TRUE(ActiveSections.empty());
  EXPECT_EQ(card.OpenFilters(), 0u);

  TPATSection nit;
  nit.Reset();
  ASSERT_TRUE(nit.StartFilter(Dvb, 0));
  Send(nit, PatSection(1, {{0, 0x10}}));
  EXPECT_EQ(nit.Count, 0);
  EXPECT_EQ(nit.NitPid, 0x10);

  // Bytes after the last whole entry are no program: they and the CRC's
  // first byte must not make a phantom one with a PMT to wait for.
  for (const Bytes& stray : {Bytes{0x00, 0x09}, Bytes{0x00, 0x09, 0xE1}}) {
    SCOPED_TRACE(stray.size());
    Bytes s = PatSection(1, {{7, 0x100}});
    s.insert(s.end() - 4, stray.begin(), stray.end());
    ResealSection(s);
    TPATSection odd;
    odd.Reset();
    ASSERT_TRUE(odd.StartFilter(Dvb, 0));
    Send(odd, s);
    EXPECT_FALSE(odd.Active);
    EXPECT_EQ(odd.Count, 1);
  }
}

TEST_F(SectionTest, MultiSectionPatAccumulatesAndNeedsSectionsInOrder) {
  TPATSection pat;
  pat.Reset();
  ASSERT_TRUE(pat.StartFilter(Dvb, 0));
  Send(pat, PatSection(1, {{3, 0x300}}, 0, 1, 1));  // out of order: dropped
  EXPECT_EQ(pat.Count, 0);
  Send(pat, PatSection(1, {{1, 0x100}, {2, 0x200}}, 0, 0, 1));
  EXPECT_TRUE(pat.Active);
  Send(pat, PatSection(1, {{1, 0x100}, {2, 0x200}}, 0, 0, 1));  // repetition of 0: dropped
  Send(pat, PatSection(1, {{3, 0x300}}, 0, 1, 1));
  EXPECT_FALSE(pat.Active);
  ASSERT_EQ(pat.Count, 3);
  EXPECT_EQ(pat.PmtPids[2], 0x300);
}

TEST_F(SectionTest, CorruptSectionIsDroppedAndTakenAtItsNextRepetition) {
  TPATSection pat;
  pat.Reset();
  ASSERT_TRUE(pat.StartFilter(Dvb, 0));
  Bytes bad = PatSection(1, {{1, 0x100}});
  bad[10] ^= 0x04;  // bit error in the PMT PID
  Send(pat, bad);
  EXPECT_TRUE(pat.Active);
  EXPECT_EQ(pat.Count, 0);
  Send(pat, PatSection(1, {{1, 0x100}}));
  EXPECT_FALSE(pat.Active);
  EXPECT_EQ(pat.PmtPids[0], 0x100);
}

TEST_F(SectionTest, PmtDecodesStreamsAndDescriptors) {
  TPMTSection pmt;
  pmt.Reset();
  pmt.ProgramNumber = 5;
  ASSERT_TRUE(pmt.StartFilter(Dvb, 0x105));
  Send(pmt, PmtSection(5, 0x200, CaDescriptor(0x0500, 0x0111),
                       {{0x1B, 0x201, {}},
                        {0x03, 0x202, Iso639Descriptor("rus")},
                        {0x04, 0x203, {}},
                        {0x06, 0x204, TeletextDescriptor("rus", 1, 1, 0x00)},
                        {0x06, 0x205, Ac3Descriptor()},
                        {0x81, 0x206, CaDescriptor(0x0B00, 0x0777)}}));
  EXPECT_FALSE(pmt.Active);
  EXPECT_EQ(pmt.PcrPid, 0x200);
  EXPECT_EQ(pmt.VideoPid, 0x201);
  EXPECT_EQ(pmt.IsH264, 1);
  ASSERT_EQ(pmt.AudioCount, 2);
  EXPECT_EQ(pmt.AudioPids[0], 0x202);
  EXPECT_EQ(std::string(pmt.AudioLanguages[0].data(), 3), "rus");
  EXPECT_EQ(pmt.AudioPids[1], 0x203);
  EXPECT_EQ(std::string(pmt.AudioLanguages[1].data(), 3), "   ");
  EXPECT_EQ(pmt.TeletextPid, 0x204);
  EXPECT_EQ(pmt.Ac3Pid, 0x205);
  ASSERT_EQ(pmt.CaCount, 2);
  EXPECT_EQ(pmt.CaSystemIds[0], 0x0500);
  EXPECT_EQ(pmt.CaPids[0], 0x111);
  EXPECT_EQ(pmt.CaSystemIds[1], 0x0B00);
  EXPECT_EQ(pmt.CaPids[1], 0x777);
}

TEST_F(SectionTest, EveryVideoCodingMakesATelevisionService) {
  struct Case {
    uint8_t Type;
    bool Video;
  };
  // MPEG-1, MPEG-4 Part 2, JPEG 2000, HEVC, VVC, AVS; then audio and data types.
  for (const Case c : {Case{0x01, true}, {0x10, true}, {0x21, true}, {0x24, true}, {0x33, true}, {0x42, true},
                       {0x06, false}, {0x0F, false}, {0x11, false}, {0x05, false}, {0x86, false}}) {
    TPMTSection pmt;
    pmt.Reset();
    pmt.ProgramNumber = 5;
    ASSERT_TRUE(pmt.StartFilter(Dvb, 0x105));
    Send(pmt, PmtSection(5, 0x200, {}, {{c.Type, 0x201, {}}, {0x03, 0x202, {}}}));
    EXPECT_EQ(pmt.VideoPid, c.Video ? 0x201 : 0) << "stream type " << int(c.Type);
    EXPECT_EQ(pmt.IsH264, 0);
    EXPECT_EQ(pmt.AudioCount, 1);
  }
}

TEST_F(SectionTest, PmtOfAnotherProgramOnTheSamePidLeavesTheObjectRunning) {
  TPMTSection pmt;
  pmt.Reset();
  pmt.ProgramNumber = 2;
  ASSERT_TRUE(pmt.StartFilter(Dvb, 0x100));
  Send(pmt, PmtSection(1, 0x101, {}, {{0x03, 0x102, {}}}));
  EXPECT_TRUE(pmt.Active);
  EXPECT_EQ(pmt.PcrPid, 0);
  EXPECT_EQ(pmt.AudioCount, 0);
  EXPECT_EQ(pmt.NextSection, 0);
  Send(pmt, PmtSection(2, 0x111, {}, {{0x03, 0x112, {}}}));
  EXPECT_FALSE(pmt.Active);
  EXPECT_EQ(pmt.AudioPids[0], 0x112);
}

TEST_F(SectionTest, PmtLongerThanOnePayloadIsGatheredAcrossPayloads) {
  std::vector<TPmtStream> streams;
  for (int i = 0; i < 80; ++i) streams.push_back({0x03, static_cast<uint16_t>(0x300 + i), {}});
  const Bytes section = PmtSection(9, 0x300, {}, streams);
  ASSERT_GT(section.size(), 2u * 184);
  TPMTSection pmt;
  pmt.Reset();
  pmt.ProgramNumber = 9;
  ASSERT_TRUE(pmt.StartFilter(Dvb, 0x40));
  // One payload per callback, as a card with small runs delivers them.
  const Bytes p = SectionPayloads(section);
  for (size_t off = 0; off < p.size(); off += 184) SectionCallback(p.data() + off, 184, pmt.Handle);
  EXPECT_FALSE(pmt.Active);
  ASSERT_EQ(pmt.AudioCount, 80);
  EXPECT_EQ(pmt.AudioPids[79], 0x300 + 79);
}

TEST_F(SectionTest, SdtSectionOneBeforeZeroIsTakenOnItsRepetition) {
  TSDTSection sdt;
  sdt.Reset();
  sdt.TransportStreamId = 0x0440;
  ASSERT_TRUE(sdt.StartFilter(Dvb, 0x11));
  const Bytes s0 = SdtSection(
      0x0440, 0x0055, {{1, ServiceDescriptor(kServiceRadio, DvbTextLatin("Prov"), DvbTextLatin("Radio A"))}}, 0, 0, 1);
  const Bytes s1 = SdtSection(
      0x0440, 0x0055, {{2, ServiceDescriptor(kServiceRadio, DvbTextLatin("Prov"), DvbTextLatin("Radio B")), true}}, 0,
      1, 1);
  // Another transport stream's.
  Send(sdt, SdtSection(0x0441, 0x0055, {{9, ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("other stream"))}}));
  Send(sdt, s1);
  Send(sdt, s0);
  EXPECT_EQ(sdt.Count, 1);
  EXPECT_TRUE(sdt.Active);
  Send(sdt, s1);
  EXPECT_FALSE(sdt.Active);
  ASSERT_EQ(sdt.Count, 2);
  EXPECT_EQ(sdt.OriginalNetworkId, 0x55);
  EXPECT_EQ(sdt.ServiceIds[0], 1);
  EXPECT_EQ(sdt.ServiceNames[0], "Radio A");
  EXPECT_EQ(sdt.ProviderNames[0], "Prov");
  EXPECT_EQ(sdt.FreeCaModes[0], 0);
  EXPECT_EQ(sdt.ServiceIds[1], 2);
  EXPECT_EQ(sdt.ServiceNames[1], "Radio B");
  EXPECT_EQ(sdt.FreeCaModes[1], 1);
}

TEST_F(SectionTest, SdtTimeShiftedAndUndescribedServices) {
  TSDTSection sdt;
  sdt.Reset();
  sdt.TransportStreamId = 1;
  ASSERT_TRUE(sdt.StartFilter(Dvb, 0x11));
  Send(sdt, SdtSection(1, 2,
                       {{10, TimeShiftedServiceDescriptor(1025)},
                        {11, Descriptor(0x5F, {0, 0, 0, 1})},  // no name: not recorded
                        {12, ServiceDescriptor(kServiceRadio, {}, {})}}));
  ASSERT_EQ(sdt.Count, 2);
  EXPECT_EQ(sdt.ServiceNames[0], "Time-shifted 1025");
  EXPECT_EQ(sdt.ProviderNames[0], "");
  EXPECT_EQ(sdt.ServiceIds[1], 12);
  EXPECT_EQ(sdt.ServiceNames[1], "");
}

TEST_F(SectionTest, CallbackDispatchesByHandleAndStopRemovesTheFilter) {
  TPATSection a, b;
  a.Reset();
  b.Reset();
  ASSERT_TRUE(a.StartFilter(Dvb, 0));
  ASSERT_TRUE(b.StartFilter(Dvb, 0));
  EXPECT_EQ(card.OpenFilters(), 2u);
  Send(b, PatSection(2, {{1, 0x100}}));
  EXPECT_TRUE(a.Active);
  EXPECT_EQ(a.Count, 0);
  EXPECT_EQ(b.Count, 1);
  const Bytes p = SectionPayloads(PatSection(3, {{1, 0x100}}));
  SectionCallback(p.data(), static_cast<int32_t>(p.size()), 999);  // no such filter
  EXPECT_EQ(a.Count, 0);
  a.StopFilter();
  a.StopFilter();
  EXPECT_TRUE(ActiveSections.empty());
  EXPECT_EQ(card.OpenFilters(), 0u);
  {
    TSDTSection gone;
    ASSERT_TRUE(gone.StartFilter(Dvb, 0x11));
    EXPECT_EQ(card.OpenFilters(), 1u);
  }
  EXPECT_EQ(card.OpenFilters(), 0u);
  EXPECT_TRUE(ActiveSections.empty());
}

TEST_F(SectionTest, RefusedFilterChangesNothingAndNoPluginMeansRefused) {
  TPATSection pat;
  pat.Reset();
  card.RefuseAll = true;
  EXPECT_FALSE(pat.StartFilter(Dvb, 0));
  EXPECT_FALSE(pat.Active);
  EXPECT_TRUE(ActiveSections.empty());
  Dvb = TDevicePlugin{};
  EXPECT_FALSE(pat.StartFilter(Dvb, 0));
}

// ---- hostile input -------------------------------------------------------

TEST_F(SectionTest, SectionLongerThanTheBufferIsNeverOpened) {
  TPATSection pat;
  pat.Reset();
  ASSERT_TRUE(pat.StartFilter(Dvb, 0));
  // section_length 4093 and 4095: four bytes more than the buffer holds, and
  // the largest the field can say. 30 payloads of it follow.
  for (int length : {4093, 4095}) {
    Bytes run(184 * 30, 0xAB);
    run[0] = 0;
    run[1] = 0x00;
    run[2] = static_cast<uint8_t>(0xB0 | (length >> 8));
    run[3] = static_cast<uint8_t>(length);
    SectionCallback(run.data(), static_cast<int32_t>(run.size()), pat.Handle);
    EXPECT_EQ(pat.Collected, 0);
  }
  // The largest section that fits is taken.
  std::vector<TPatEntry> many;
  for (int i = 0; i < 1020; ++i) many.push_back({static_cast<uint16_t>(i + 1), 0x100});
  const Bytes big = PatSection(1, many, 0, 0, 0, kMaxLongSectionBytes);
  ASSERT_EQ(big.size() + 1, 4093u);
  Send(pat, big);
  EXPECT_FALSE(pat.Active);
  EXPECT_EQ(pat.Count, kMaxTableEntries);  // the rest is ignored
  EXPECT_EQ(pat.ProgramNumbers[kMaxTableEntries - 1], kMaxTableEntries);
}

TEST_F(SectionTest, ShortOrTruncatedPayloadsAreSafe) {
  TPMTSection pmt;
  pmt.Reset();
  pmt.ProgramNumber = 1;
  ASSERT_TRUE(pmt.StartFilter(Dvb, 0x20));
  // A section_length too small for the header and CRC, then runs that stop
  // inside a payload.
  const uint8_t tiny[] = {0, 0x02, 0xB0, 0x03, 0, 1, 0xC1};
  SectionCallback(tiny, sizeof tiny, pmt.Handle);
  EXPECT_EQ(pmt.Collected, 0);
  const Bytes p = SectionPayloads(PmtSection(1, 0x21, {}, {{0x03, 0x22, {}}}));
  SectionCallback(p.data(), 3, pmt.Handle);
  EXPECT_EQ(pmt.Collected, 0);  // too short to show a header
  SectionCallback(p.data(), 10, pmt.Handle);
  EXPECT_EQ(pmt.Collected, 10);
  SectionCallback(p.data() + 10, 184, pmt.Handle);  // the rest, as a new payload
  EXPECT_FALSE(pmt.Active);
  EXPECT_EQ(pmt.AudioPids[0], 0x22);
  SectionCallback(nullptr, 184, pmt.Handle);
}

// Before each hostile section the object's buffer is filled with a long map
// of another program, so a walk that ran past the section's end would find
// its streams and count them.
TEST_F(SectionTest, OverrunningLengthsEndTheirWalk) {
  struct Case {
    const char* what;
    Bytes section;
    int audioCount;
    int caCount;
  };
  auto patch = [](Bytes s, size_t at, uint8_t value) {
    s[at] = value;
    ResealSection(s);
    return s;
  };
  std::vector<TPmtStream> stale;
  for (int i = 0; i < 100; ++i) stale.push_back({0x03, 0x500, Descriptor(0x09, {1, 2, 3, 4})});
  const Bytes filler = PmtSection(2, 0x21, {}, stale, 0, kMaxLongSectionBytes);
  // Section bytes 10-11: program_info_length; 12: first stream; 15-16 its
  // ES_info_length; 17-22 its CA descriptor; 23 the second stream.
  const Bytes base = PmtSection(1, 0x21, {}, {{0x03, 0x22, Descriptor(0x09, {1, 2, 3, 4})}, {0x03, 0x23, {}}});
  const std::vector<Case> cases = {
      {"program_info_length", patch(base, 11, 0xF0), 0, 0},
      {"ES_info_length", patch(base, 16, 0x40), 1, 1},
      {"descriptor length", patch(base, 18, 0x30), 2, 0},
      {"CA descriptor too short", PmtSection(1, 0x21, {}, {{0x03, 0x22, Descriptor(0x09, {1, 2})}}), 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TPMTSection pmt;
    pmt.Reset();
    pmt.ProgramNumber = 1;
    ASSERT_TRUE(pmt.StartFilter(Dvb, 0x20));
    Send(pmt, filler);
    ASSERT_TRUE(pmt.Active);
    Send(pmt, c.section);
    EXPECT_FALSE(pmt.Active);
    EXPECT_EQ(pmt.AudioCount, c.audioCount);
    EXPECT_EQ(pmt.CaCount, c.caCount);
  }
}

TEST_F(SectionTest, SdtLengthsThatOverrunAreCutAtTheirContainer) {
  TSDTSection sdt;
  sdt.Reset();
  sdt.TransportStreamId = 1;
  ASSERT_TRUE(sdt.StartFilter(Dvb, 0x11));
  // Section 0 is long and leaves valid-looking services in the buffer behind
  // the shorter section 1, whose last service claims 4095 descriptor bytes.
  std::vector<TSdtService> first;
  for (int i = 0; i < 40; ++i)
    first.push_back({static_cast<uint16_t>(i + 1), ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("Filler"))});
  // Name length 200 inside a descriptor that holds 4 name bytes: cut to 4.
  Bytes d = ServiceDescriptor(kServiceRadio, DvbTextLatin("P"), DvbTextLatin("Name"));
  d[2 + 3] = 200;
  first.push_back({41, d});
  Bytes second = SdtSection(1, 2,
                            {{50, ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("One"))},
                             {51, ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("Two"))}},
                            0, 1, 1);
  const size_t entry = 11 + 5 + ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("One")).size();
  second[entry + 3] = 0x8F;
  second[entry + 4] = 0xFF;
  ResealSection(second);
  Send(sdt, SdtSection(1, 2, first, 0, 0, 1));
  Send(sdt, second);
  EXPECT_FALSE(sdt.Active);
  ASSERT_EQ(sdt.Count, 43);
  EXPECT_EQ(sdt.ServiceNames[40], "Name");
  EXPECT_EQ(sdt.ServiceNames[41], "One");
  EXPECT_EQ(sdt.ServiceNames[42], "Two");
}

TEST_F(SectionTest, TablesStopAtTheirCapacity) {
  std::vector<TPmtStream> streams;
  for (int i = 0; i < 130; ++i)
    streams.push_back({0x04, static_cast<uint16_t>(0x100 + i), Iso639Descriptor("ab" + std::to_string(i % 10))});
  std::vector<TPmtStream> ca;
  for (int i = 0; i < 130; ++i) ca.push_back({0x06, 0x50, CaDescriptor(static_cast<uint16_t>(i), 1)});
  TPMTSection audio, cas;
  for (auto* p : {&audio, &cas}) {
    p->Reset();
    p->ProgramNumber = 1;
    ASSERT_TRUE(p->StartFilter(Dvb, 0x20));
  }
  Send(audio, PmtSection(1, 0x21, {}, streams, 0, kMaxLongSectionBytes));
  Send(cas, PmtSection(1, 0x21, {}, ca, 0, kMaxLongSectionBytes));
  ASSERT_EQ(audio.AudioCount, kMaxTableEntries);
  EXPECT_EQ(audio.AudioPids[99], 0x100 + 99);
  EXPECT_EQ(std::string(audio.AudioLanguages[99].data(), 3), "ab9");  // not overwritten by stream 130
  EXPECT_EQ(cas.CaCount, kMaxTableEntries);
  EXPECT_EQ(cas.CaSystemIds[99], 99);

  std::vector<TSdtService> services;
  for (int i = 0; i < 150; ++i) services.push_back({static_cast<uint16_t>(i + 1), TimeShiftedServiceDescriptor(1)});
  TSDTSection sdt;
  sdt.Reset();
  sdt.TransportStreamId = 1;
  ASSERT_TRUE(sdt.StartFilter(Dvb, 0x11));
  Send(sdt, SdtSection(1, 1, services, 0, 0, 0, kMaxLongSectionBytes));
  EXPECT_FALSE(sdt.Active);
  EXPECT_EQ(sdt.Count, kMaxTableEntries);
  EXPECT_EQ(sdt.ServiceIds[99], 100);
}

// Objects started, fed from another thread and destroyed while deliveries
// run: no delivery may reach a destroyed object (TSan and ASan watch this).
TEST_F(SectionTest, DeliveriesRaceWithStartStopAndDestruction) {
  const Bytes pmt = SectionPayloads(PmtSection(1, 0x21, {}, {{0x03, 0x22, {}}}));
  const Bytes other = SectionPayloads(PmtSection(2, 0x21, {}, {{0x03, 0x22, {}}}));
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    while (!stop)
      for (int32_t h = 1; h < 400; ++h) {
        const Bytes& p = (h % 3) ? other : pmt;
        SectionCallback(p.data(), static_cast<int32_t>(p.size()), h);
      }
  });
  for (int i = 0; i < 300; ++i) {
    auto a = std::make_unique<TPMTSection>();
    a->ProgramNumber = 1;
    ASSERT_TRUE(a->StartFilter(Dvb, 0x20));
    if (i % 2) a->StopFilter();
    if (!a->Active) {
      EXPECT_TRUE(a->PcrPid == 0 || a->PcrPid == 0x21);
    }
  }
  stop = true;
  feeder.join();
  EXPECT_TRUE(ActiveSections.empty());
  EXPECT_EQ(card.OpenFilters(), 0u);
}
