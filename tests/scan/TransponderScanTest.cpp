#include "scan/TransponderScan.h"

#include <gtest/gtest.h>

#include <cstring>

#include "FakeCard.h"
#include "channels/ChannelList.h"
#include "scan/Sections.h"
#include "tsbuilder/PsiTables.h"

using namespace scantest;
using namespace tsb;
using namespace std::chrono_literals;

namespace {

ScanHooks FastHooks() {
  ScanHooks h;
  h.Timings.FilterStart = 300ms;
  h.Timings.Pat = 600ms;
  h.Timings.Sdt = 1500ms;
  h.Timings.PmtStart = 1500ms;
  h.Timings.Pmt = 500ms;
  return h;
}

// One TV service, two radio services (one of them only a PCR PID), two
// radio services sharing a PMT PID, a service whose PMT is never broadcast,
// and a service in the SDT that the PAT does not name.
void BroadcastSampleTransponder(FakeCard& card) {
  card.AddSection(0x00,
                  PatSection(0x0440, {{0, 0x10}, {1, 0x100}, {2, 0x200}, {3, 0x300}, {4, 0x400}, {5, 0x500}, {6, 0x500}}));
  card.AddSection(0x100, PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}, {0x03, 0x102, {}}}));
  card.AddSection(0x200,
                  PmtSection(2, 0x201, {}, {{0x03, 0x202, Iso639Descriptor("rus")}, {0x03, 0x203, {}}}));
  card.AddSection(0x300, PmtSection(3, 0x301, {}, {}));
  card.AddSection(0x500, PmtSection(5, 0x501, {}, {{0x04, 0x502, {}}}));
  card.AddSection(0x500, PmtSection(6, 0x601, {}, {{0x03, 0x602, {}}}));
  const std::vector<TSdtService> services = {
      {2, ServiceDescriptor(kServiceRadio, DvbTextLatin("Prov"), DvbTextLatin("Radio (Two)"))},
      {1, ServiceDescriptor(kServiceTv, DvbTextLatin("Prov"), DvbTextLatin("TV One"))},
      {99, ServiceDescriptor(kServiceRadio, DvbTextLatin("Prov"), DvbTextLatin("Not in PAT"))},
      {3, ServiceDescriptor(kServiceRadio, DvbTextLatin("Prov"), {0x15, 0xD0, 0xA0, 0xD0, 0xB0, ' ', '3'})},
      {4, ServiceDescriptor(kServiceRadio, DvbTextLatin("Prov"), DvbTextLatin("No PMT"))},
  };
  card.AddSection(0x11, SdtSection(0x0440, 0x0055, services, 0, 0, 1));
  card.AddSection(0x11, SdtSection(0x0440, 0x0055,
                                   {{6, ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("Six"))},
                                    {5, ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("Five"))}},
                                   0, 1, 1));
}

struct ExpectedRow {
  std::string Number, Name, Pid;
};

void ExpectRows(const TChannelList& list, const std::vector<ExpectedRow>& rows) {
  ASSERT_EQ(list.Count(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(list.Row(i).Number, rows[i].Number);
    EXPECT_EQ(list.Row(i).Name, rows[i].Name);
    EXPECT_EQ(list.Row(i).Pid, rows[i].Pid);
    EXPECT_EQ(list.Row(i).Recorded, "0");
    EXPECT_FALSE(list.Row(i).Ticked);
  }
}

const std::vector<ExpectedRow> kSampleRows = {
    {"1", "Radio__Two_", "514"}, {"2", "\xD0\xE0_3", "0"}, {"3", "Six", "1538"}, {"4", "Five", "1282"}};

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&ScanResult, 0, sizeof ScanResult); }
  FakeCard card;
  TChannelList list;
};

} // namespace

TEST_F(ScanTest, SampleTransponderGivesItsRadioServicesInSdtOrder) {
  BroadcastSampleTransponder(card);
  card.StartDelivery();
  list.AddChannelRow("old", "1", "0");
  int events = 0, begin = 0, end = 0;
  ScanHooks hooks = FastHooks();
  hooks.ProcessEvents = [&] { ++events; };
  hooks.BeginWait = [&] { ++begin; };
  hooks.EndWait = [&] {
    ++end;
    EXPECT_EQ(list.Count(), 1u);  // the list is emptied only after the scan
  };
  ScanAndFill(Dvb, list, hooks);
  ExpectRows(list, kSampleRows);
  EXPECT_EQ(card.SetCountMode, 0);
  EXPECT_GT(events, 0);
  EXPECT_EQ(begin, 1);
  EXPECT_EQ(end, 1);
  EXPECT_TRUE(ActiveSections.empty());
  EXPECT_EQ(card.OpenFilters(), 0u);

  // The result keeps the TV service and the details the rows leave out.
  ASSERT_EQ(ScanResult.Count, 5);
  EXPECT_EQ(ScanResult.TransportStreamId, 0x0440);
  EXPECT_EQ(ScanResult.OriginalNetworkId, 0x0055);
  const TScanService& radio = ScanResult.Services[0];
  EXPECT_EQ(radio.ServiceId, 2);
  EXPECT_EQ(radio.PmtPid, 0x200);
  EXPECT_EQ(radio.Kind, 2);
  EXPECT_STREQ(radio.Name, "Radio (Two)");
  EXPECT_STREQ(radio.Provider, "Prov");
  EXPECT_EQ(radio.AudioCount, 2);
  EXPECT_EQ(radio.AudioPids[1], 0x203);
  EXPECT_EQ(std::string(radio.AudioLanguages[0], 3), "rus");
  EXPECT_EQ(std::string(radio.AudioLanguages[1], 3), "   ");
  const TScanService& tv = ScanResult.Services[1];
  EXPECT_EQ(tv.ServiceId, 1);
  EXPECT_EQ(tv.Kind, 1);
  EXPECT_EQ(tv.VideoPid, 0x101);
  EXPECT_EQ(ScanResult.Services[2].Kind, 0);
  EXPECT_EQ(ScanResult.Services[2].PcrPid, 0x301);
}

TEST_F(ScanTest, FewFiltersGiveTheSameResultThroughPmtRetries) {
  BroadcastSampleTransponder(card);
  card.FilterLimit = 3;
  card.StartDelivery();
  ScanAndFill(Dvb, list, FastHooks());
  ExpectRows(list, kSampleRows);
  EXPECT_LE(card.MostFiltersAtOnce, 3);
}

TEST_F(ScanTest, EarlyEndsLeaveAnEmptyListWithinTheirDeadlines) {
  struct Case {
    const char* what;
    std::function<void(FakeCard&)> setUp;
    std::chrono::milliseconds bound;
  };
  const ScanHooks hooks = FastHooks();
  const auto& t = hooks.Timings;
  const std::vector<Case> cases = {
      {"no PAT", [](FakeCard&) {}, t.FilterStart + t.Pat},
      {"filters refused", [](FakeCard& c) { c.RefuseAll = true; }, t.FilterStart},
      {"no SDT",
       [](FakeCard& c) {
         c.AddSection(0, PatSection(1, {{1, 0x100}}));
         c.AddSection(0x100, PmtSection(1, 0x101, {}, {{0x03, 0x102, {}}}));
       },
       t.Sdt + t.Pat},
      {"SDT of another transport stream",
       [](FakeCard& c) {
         c.AddSection(0, PatSection(1, {{1, 0x100}}));
         c.AddSection(0x100, PmtSection(1, 0x101, {}, {{0x03, 0x102, {}}}));
         c.AddSection(0x11, SdtSection(2, 1, {{1, ServiceDescriptor(kServiceRadio, {}, DvbTextLatin("X"))}}));
       },
       t.Sdt + t.Pat},
      {"PMT filter refused too long",
       [](FakeCard& c) {
         c.FilterLimit = 1;  // the SDT holds the only filter and never completes
         c.AddSection(0, PatSection(1, {{1, 0x100}}));
       },
       t.Pat + t.PmtStart},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeCard fresh;
    c.setUp(fresh);
    fresh.StartDelivery();
    list.AddChannelRow("old", "1", "0");
    // Every pause sleeps at least one step: a scan that outlived its
    // deadlines pauses more often, a slow machine only less often.
    int pauses = 0;
    ScanHooks counted = hooks;
    counted.ProcessEvents = [&] { ++pauses; };
    ScanAndFill(Dvb, list, counted);
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(ScanResult.Count, 0);
    EXPECT_LE(pauses, c.bound / std::min(t.WaitStep, t.RetryStep) + 10);
    EXPECT_TRUE(ActiveSections.empty());
    EXPECT_EQ(fresh.OpenFilters(), 0u);
  }
}

TEST_F(ScanTest, CalledOffScanEndsAtItsNextStepWithEveryFilterStopped) {
  // Deadlines far beyond the test's bound: only calling it off ends these scans.
  ScanHooks hooks;
  hooks.Timings.FilterStart = hooks.Timings.Pat = hooks.Timings.Sdt = 120s;
  const struct {
    const char* what;
    std::function<void(FakeCard&)> setUp;
    int offAtPause;
  } cases[] = {
      {"waiting for the PAT", [](FakeCard&) {}, 1},
      {"PAT filter refused", [](FakeCard& c) { c.RefuseAll = true; }, 2},
      {"waiting for the SDT",
       [](FakeCard& c) {
         c.AddSection(0, PatSection(1, {{1, 0x100}}));
         c.AddSection(0x100, PmtSection(1, 0x101, {}, {{0x03, 0x102, {}}}));
       },
       5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeCard fresh;
    c.setUp(fresh);
    fresh.StartDelivery();
    int pauses = 0;
    hooks.ProcessEvents = [&] { ++pauses; };
    hooks.Cancelled = [&] { return pauses >= c.offAtPause; };
    TScanResult result;
    EXPECT_FALSE(ScanTransponder(Dvb, result, hooks));
    EXPECT_EQ(pauses, c.offAtPause);
    EXPECT_EQ(result.Count, 0);
    EXPECT_TRUE(ActiveSections.empty());
    EXPECT_EQ(fresh.OpenFilters(), 0u);
  }
}

TEST_F(ScanTest, NoPluginLoadedEndsAtOnceWithAnEmptyList) {
  Dvb = TDevicePlugin{};
  list.AddChannelRow("old", "1", "0");
  ScanResult.Count = 3;
  ScanAndFill(Dvb, list, FastHooks());
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(ScanResult.Count, 0);
}

TEST(FillChannelList, RowsForServicesWithoutVideoOnly) {
  std::memset(&ScanResult, 0, sizeof ScanResult);
  auto add = [](const char* name, uint16_t video, uint16_t audio) {
    TScanService& s = ScanResult.Services[ScanResult.Count++];
    std::strncpy(s.Name, name, sizeof s.Name);
    s.VideoPid = video;
    s.AudioPids[0] = audio;
  };
  add("Same", 0, 100);
  add("Video", 0x20, 101);
  add("Same", 0, 100);  // duplicates are kept
  TScanService& full = ScanResult.Services[ScanResult.Count++];
  std::memset(full.Name, 'A', sizeof full.Name);  // 64 bytes, no NUL
  full.AudioPids[0] = 4112;
  TChannelList list;
  FillChannelList(list);
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.Row(0).Name, "Same");
  EXPECT_EQ(list.Row(1).Number, "2");
  EXPECT_EQ(list.Row(1).Pid, "100");
  EXPECT_EQ(list.Row(2).Name, std::string(64, 'A'));
  EXPECT_EQ(list.Row(2).Pid, "4112");
}

TEST(MakeFileSafeName, ReplacesTheUnsafeCharactersKeepingTheLength) {
  const std::string unsafe = "*.+-?><,\\@!#$%^()=|\"\xB9;:{}[] &";
  ASSERT_EQ(unsafe.size(), 29u);
  EXPECT_EQ(MakeFileSafeName(unsafe), std::string(29, '_'));
  EXPECT_EQ(MakeFileSafeName("Radio (Moscow) 1"), "Radio__Moscow__1");
  const std::string kept = "AC/DC's_\xD0\xE0\xE4\xE8\xEE~`\xFF\xA8\x80";
  EXPECT_EQ(MakeFileSafeName(kept), kept);
  EXPECT_EQ(MakeFileSafeName(std::string("a\r\nb\x01\x1F\x7F", 7)), "a__b___");
  EXPECT_EQ(MakeFileSafeName(std::string("a\0b", 3)), std::string("a_b"));
  EXPECT_EQ(MakeFileSafeName(""), "");
}
