// Whole transponders: demultiplexed again, they give back what was packed.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "scan/Crc32.h"
#include "tsbuilder/SampleTransponders.h"
#include "tsbuilder/TsPacketizer.h"

using namespace tsb;

namespace {

struct TPidStream {
  int packets = 0;
  int unitStarts = 0;
  int continuityErrors = 0;
  int lastContinuity = -1;
  Bytes pesPayload;  // PES payloads with their headers removed
  std::vector<uint64_t> pts;
  std::vector<uint64_t> pcr;
  std::vector<Bytes> sections;  // sections opening a packet (pointer field 0)
};

// A small demultiplexer, independent of the builder's code.
std::map<uint16_t, TPidStream> Demux(const Bytes& ts) {
  std::map<uint16_t, TPidStream> pids;
  EXPECT_EQ(ts.size() % kTsPacketSize, 0u);
  for (size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize) {
    const uint8_t* p = &ts[at];
    EXPECT_EQ(p[0], 0x47);
    TPidStream& s = pids[((p[1] & 0x1F) << 8) | p[2]];
    ++s.packets;
    size_t offset = 4;
    if (p[3] & 0x20) {
      if (p[4] >= 7 && (p[5] & 0x10)) {
        const uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) |
                              (uint64_t(p[8]) << 9) | (uint64_t(p[9]) << 1) | (p[10] >> 7);
        s.pcr.push_back(base * 300 + (((p[10] & 1) << 8) | p[11]));
      }
      offset += 1 + p[4];
    }
    if (!(p[3] & 0x10)) continue;
    const int cc = p[3] & 0x0F;
    if (s.lastContinuity >= 0 && cc != ((s.lastContinuity + 1) & 0x0F)) ++s.continuityErrors;
    s.lastContinuity = cc;
    const uint8_t* payload = p + offset;
    size_t size = kTsPacketSize - offset;
    if (p[1] & 0x40) {
      ++s.unitStarts;
      if (size >= 14 && payload[0] == 0 && payload[1] == 0 && payload[2] == 1) {
        const uint8_t* t = payload + 9;
        s.pts.push_back((uint64_t(t[0] & 0x0E) << 29) | (uint64_t(t[1]) << 22) |
                        (uint64_t(t[2] & 0xFE) << 14) | (uint64_t(t[3]) << 7) | (t[4] >> 1));
        const size_t header = 9 + payload[8];
        payload += header;
        size -= header;
      } else if (payload[0] == 0) {
        const size_t length = ((payload[2] & 0x0F) << 8) | payload[3];
        s.sections.emplace_back(payload + 1, payload + 1 + std::min(length + 3, size - 1));
        continue;
      }
    }
    if (!s.pts.empty()) s.pesPayload.insert(s.pesPayload.end(), payload, payload + size);
  }
  return pids;
}

TTransponderSpec SmallSpec() {
  TTransponderSpec plan;
  plan.fileStem = "0100V";
  plan.transportStreamId = 100;
  plan.seconds = 2.0;
  TServiceSpec a;
  a.serviceId = 11;
  a.name = "Один";
  a.nameCoding = TNameCoding::Iso8859_5;
  a.pmtPid = 0x111;
  a.audioPid = 0x211;
  a.audio = {48000, 192, TAudioMode::Stereo};
  TServiceSpec b = a;
  b.serviceId = 12;
  b.name = "Two (2)";
  b.nameCoding = TNameCoding::Latin;
  b.pmtPid = 0x112;
  b.audioPid = 0x212;
  b.audio = {24000, 64, TAudioMode::Mono};
  b.tone.rootHz = 330;
  TServiceSpec silent = a;
  silent.serviceId = 13;
  silent.pmtPid = 0x113;
  silent.audioPid = 0;
  plan.services = {a, b, silent};
  return plan;
}

TEST(TransponderTest, AudioPidsCarryExactlyTheElementaryStreamsInWholeFrames) {
  const TBuiltTransponder t = BuildTransponder(SmallSpec());
  auto pids = Demux(t.ts);
  ASSERT_EQ(t.services.size(), 3u);
  for (const TBuiltService& s : t.services) {
    if (s.plan.audioPid == 0) {
      EXPECT_TRUE(s.audioEs.empty());
      EXPECT_EQ(pids.count(0x213), 0u);
      continue;
    }
    const TPidStream& stream = pids[s.plan.audioPid];
    EXPECT_EQ(stream.pesPayload, s.audioEs) << "service " << s.plan.serviceId;
    EXPECT_EQ(stream.continuityErrors, 0);
    size_t total = 0;
    for (size_t f : SplitFrames(s.audioEs)) total += f;
    EXPECT_EQ(total, s.audioEs.size());
    // About two seconds of audio, several frames per PES, PTS rising evenly.
    const double seconds = double(SplitFrames(s.audioEs).size()) * 1152 / s.plan.audio.sampleRate;
    EXPECT_NEAR(seconds, 2.0, 0.2);
    ASSERT_GT(stream.pts.size(), 2u);
    EXPECT_EQ(stream.pts.size(), (SplitFrames(s.audioEs).size() + 3) / 4);
    for (size_t i = 1; i < stream.pts.size(); ++i)
      EXPECT_EQ(stream.pts[i] - stream.pts[i - 1], 4 * 1152 * 90000ull / s.plan.audio.sampleRate);
  }
}

TEST(TransponderTest, TablesRepeatAtBroadcastRatesWithValidCrc) {
  const TBuiltTransponder t = BuildTransponder(SmallSpec());
  auto pids = Demux(t.ts);
  EXPECT_EQ(pids[0x0000].sections.size(), 20u) << "PAT every 100 ms over 2 s";
  EXPECT_EQ(pids[0x0111].sections.size(), 20u);
  EXPECT_EQ(pids[0x0113].sections.size(), 20u) << "a PMT without audio still goes out";
  EXPECT_EQ(pids[0x0011].sections.size(), 1u) << "SDT every 2 s";
  for (uint16_t pid : {0x0000, 0x0011, 0x0111, 0x0112, 0x0113})
    for (const Bytes& s : pids[pid].sections) EXPECT_EQ(scan::SectionCrc32(s.data(), s.size()), 0u);
  const Bytes& pat = pids[0x0000].sections.front();
  EXPECT_EQ(((pat[1] & 0x0F) << 8) | pat[2], 5 + 3 * 4 + 4);
  const Bytes& silentPmt = pids[0x0113].sections.front();
  EXPECT_EQ(((silentPmt[1] & 0x0F) << 8) | silentPmt[2], 13) << "PCR PID only, no stream";
  // PCR every 40 ms, rising, and never behind the audio it paces.
  const auto& pcr = pids[0x1FF0].pcr;
  ASSERT_EQ(pcr.size(), 50u);
  for (size_t i = 1; i < pcr.size(); ++i) EXPECT_EQ(pcr[i] - pcr[i - 1], 40 * 27000ull);
  EXPECT_GT(pids[0x211].pts.front() * 300, pcr.front());
}

TEST(TransponderTest, SameSpecGivesTheSameBytes) {
  TTransponderSpec plan = SmallSpec();
  plan.seconds = 0.5;
  EXPECT_EQ(BuildTransponder(plan).ts, BuildTransponder(plan).ts);
}

TEST(TransponderTest, ClashingPidsAreRefused) {
  TTransponderSpec plan = SmallSpec();
  plan.services[1].audioPid = plan.services[0].audioPid;
  EXPECT_THROW(BuildTransponder(plan), std::invalid_argument);
  plan = SmallSpec();
  plan.services[0].pmtPid = 0x0011;
  EXPECT_THROW(BuildTransponder(plan), std::invalid_argument);
}

TEST(SampleTranspondersTest, DemoHasTheRequiredVariety) {
  const TTransponderSpec demo = DemoTransponder();
  EXPECT_EQ(demo.fileStem, "4084H");
  int radioWithSound = 0, tv = 0, pcrOnly = 0;
  std::set<TNameCoding> codings;
  bool stereo192 = false, mono64 = false, rate256 = false, lsf24 = false, spaced = false;
  for (const auto& s : demo.services) {
    codings.insert(s.nameCoding);
    if (s.kind == TServiceKind::Tv) ++tv;
    else if (s.audioPid == 0) ++pcrOnly;
    else ++radioWithSound;
    if (s.audioPid == 0) continue;
    stereo192 |= s.audio.mode == TAudioMode::Stereo && s.audio.bitrateKbps == 192 && s.audio.sampleRate == 48000;
    mono64 |= s.audio.mode == TAudioMode::Mono && s.audio.bitrateKbps == 64;
    rate256 |= s.audio.bitrateKbps == 256;
    lsf24 |= s.audio.sampleRate == 24000;
    spaced |= s.name.find(' ') != std::string::npos && s.name.find('(') != std::string::npos;
  }
  EXPECT_GE(radioWithSound, 6);
  EXPECT_EQ(tv, 1);
  EXPECT_EQ(pcrOnly, 1);
  EXPECT_EQ(codings.size(), 3u);
  EXPECT_TRUE(stereo192 && mono64 && rate256 && lsf24 && spaced);
  EXPECT_GE(demo.seconds, 50.0);
}

TEST(SampleTranspondersTest, TestTransponderHasTheScanCornerCases) {
  const TBuiltTransponder t = BuildTransponder(TestTransponder());
  EXPECT_EQ(t.sdtSections, 2u);
  auto pids = Demux(t.ts);
  std::set<int> inPat;
  const Bytes& pat = pids[0x0000].sections.front();
  for (size_t at = 8; at + 4 < pat.size(); at += 4) inPat.insert((pat[at] << 8) | pat[at + 1]);
  EXPECT_EQ(inPat, (std::set<int>{301, 302, 303}));
  std::set<int> inSdt;
  std::set<int> sectionNumbers;
  for (const Bytes& s : pids[0x0011].sections) {
    sectionNumbers.insert(s[6]);
    for (size_t at = 11; at + 4 < s.size();) {
      inSdt.insert((s[at] << 8) | s[at + 1]);
      if (s[at + 5] == 0x4C) {
        EXPECT_EQ((s[at + 7] << 8) | s[at + 8], 301);
      }
      at += 5 + (((s[at + 3] & 0x0F) << 8) | s[at + 4]);
    }
  }
  EXPECT_EQ(sectionNumbers, (std::set<int>{0, 1}));
  EXPECT_EQ(inSdt, (std::set<int>{301, 302, 303, 304, 305})) << "304 and 305 only in the SDT";
  const std::string manifest = Manifest(t);
  EXPECT_NE(manifest.find("304\tПризрак\t0\t0\tradio\t0\t0\tnone\t0\t1\n"), std::string::npos);
  EXPECT_NE(manifest.find("303\tTest TV HD\t4399\t559\ttv\t192\t48000\tjoint\t1\t1\n"), std::string::npos);
}

} // namespace
