#include "scan/TransponderScan.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "channels/ChannelList.h"
#include "device/DvbPluginApi.h"
#include "scan/Sections.h"

TScanResult ScanResult{};

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kPatPid = 0x00;
constexpr int32_t kSdtPid = 0x11;

// Sleeps one step, then lets the caller handle its pending events. False
// once the caller has called the scan off.
bool Pause(const ScanHooks& hooks, std::chrono::milliseconds step) {
  std::this_thread::sleep_for(step);
  if (hooks.ProcessEvents) hooks.ProcessEvents();
  return !(hooks.Cancelled && hooks.Cancelled());
}

// Starts a PAT or SDT filter, retrying until the deadline; false when the
// card kept refusing.
bool StartWithRetries(const TDevicePlugin& card, TDVBSection& section, int32_t pid, const ScanHooks& hooks) {
  while (!section.StartFilter(card, pid)) {
    if (Clock::now() > section.Deadline || !Pause(hooks, hooks.Timings.RetryStep)) return false;
  }
  return true;
}

// False when the scan was called off meanwhile.
bool WaitWhileActive(TDVBSection& section, const ScanHooks& hooks) {
  while (section.Active && Clock::now() <= section.Deadline)
    if (!Pause(hooks, hooks.Timings.WaitStep)) return false;
  return true;
}

void CopyName(char (&to)[kScanNameSize], const std::string& from) {
  std::memcpy(to, from.data(), std::min<size_t>(from.size(), kScanNameSize));
}

void FillService(TScanService& out, const TSDTSection& sdt, int j, const TPMTSection& pmt) {
  out.ServiceId = static_cast<uint16_t>(sdt.ServiceIds[j]);
  out.PmtPid = static_cast<uint16_t>(pmt.Pid);
  out.Kind = pmt.VideoPid != 0 ? 1 : pmt.AudioCount > 0 ? 2 : 0;
  out.FreeCaMode = sdt.FreeCaModes[j];
  CopyName(out.Name, sdt.ServiceNames[j]);
  CopyName(out.Provider, sdt.ProviderNames[j]);
  out.PcrPid = static_cast<uint16_t>(pmt.PcrPid);
  out.VideoPid = static_cast<uint16_t>(pmt.VideoPid);
  out.AudioCount = static_cast<uint16_t>(std::min(pmt.AudioCount, kMaxScanAudioPids));
  for (int a = 0; a < out.AudioCount; ++a) {
    out.AudioPids[a] = pmt.AudioPids[a];
    std::memcpy(out.AudioLanguages[a], pmt.AudioLanguages[a].data(), 3);
  }
  out.Ac3Pid = static_cast<uint16_t>(pmt.Ac3Pid);
  out.TeletextPid = static_cast<uint16_t>(pmt.TeletextPid);
  out.CaCount = static_cast<uint16_t>(std::min(pmt.CaCount, kMaxScanCaEntries));
  for (int c = 0; c < out.CaCount; ++c) {
    out.CaSystemIds[c] = static_cast<uint16_t>(pmt.CaSystemIds[c]);
    out.CaPids[c] = static_cast<uint16_t>(pmt.CaPids[c]);
  }
  out.IsH264 = static_cast<uint16_t>(pmt.IsH264);
}

} // namespace

TPMTSection* FindPmt(const std::vector<std::unique_ptr<TPMTSection>>& pmts, int32_t programNumber) {
  for (const auto& pmt : pmts)
    if (pmt->ProgramNumber == programNumber) return pmt.get();
  return nullptr;
}

bool ScanTransponder(const TDevicePlugin& card, TScanResult& result, const ScanHooks& hooks) {
  std::memset(&result, 0, sizeof result);
  if (!card.DVBAddFilter || !card.DVBDelFilter) return false;  // no card plug-in loaded
  const TScanTimings& t = hooks.Timings;

  // Every way out frees these, and each stops its own filter on the way.
  TPATSection pat;
  TSDTSection sdt;
  std::vector<std::unique_ptr<TPMTSection>> pmts;

  pat.Reset();
  pat.Deadline = Clock::now() + t.FilterStart;
  if (!StartWithRetries(card, pat, kPatPid, hooks)) return false;
  pat.Deadline = Clock::now() + t.Pat;
  if (!WaitWhileActive(pat, hooks)) return false;
  if (pat.Active) {
    // A multi-section PAT cut short is still used for what it gave.
    pat.StopFilter();
    if (pat.Count == 0) return false;
  }
  result.TransportStreamId = static_cast<uint16_t>(pat.TransportStreamId);

  sdt.Reset();
  sdt.TransportStreamId = pat.TransportStreamId;
  sdt.Deadline = Clock::now() + t.FilterStart;
  if (!StartWithRetries(card, sdt, kSdtPid, hooks)) return false;
  sdt.Deadline = Clock::now() + t.Sdt;

  // All PMT filters run side by side; when the card has no filter left, the
  // ones past their time make room.
  for (int k = 0; k < pat.Count; ++k) {
    auto pmt = std::make_unique<TPMTSection>();
    pmt->Reset();
    pmt->ProgramNumber = pat.ProgramNumbers[k];
    pmt->Deadline = Clock::now() + t.PmtStart;
    while (!pmt->StartFilter(card, pat.PmtPids[k])) {
      if (Clock::now() > pmt->Deadline) return false;
      for (auto it = pmts.rbegin(); it != pmts.rend(); ++it)
        if ((*it)->Active && Clock::now() > (*it)->Deadline) (*it)->StopFilter();
      if (!Pause(hooks, t.RetryStep)) return false;
    }
    pmt->Deadline = Clock::now() + t.Pmt;
    pmts.push_back(std::move(pmt));
  }

  if (!WaitWhileActive(sdt, hooks)) return false;
  if (sdt.Active) {
    sdt.StopFilter();
    if (sdt.Count == 0) return false;
  }
  for (auto it = pmts.rbegin(); it != pmts.rend(); ++it) {
    if (!WaitWhileActive(**it, hooks)) return false;
    (*it)->StopFilter();
  }
  result.OriginalNetworkId = static_cast<uint16_t>(sdt.OriginalNetworkId);

  int filled = 0;
  for (int j = 0; j < sdt.Count && filled < kMaxScanServices; ++j) {
    const TPMTSection* pmt = FindPmt(pmts, sdt.ServiceIds[j]);
    // Not in the PAT, or its map never came.
    if (!pmt || (pmt->PcrPid == 0 && pmt->VideoPid == 0 && pmt->AudioCount == 0)) continue;
    FillService(result.Services[filled++], sdt, j, *pmt);
  }
  result.Count = filled;
  return true;
}

void ScanAndFill(const TDevicePlugin& card, TChannelList& list, const ScanHooks& hooks) {
  if (card.DVBSETCOUNT) card.DVBSETCOUNT(0);
  struct WaitCursor {
    const ScanHooks& hooks;
    explicit WaitCursor(const ScanHooks& h) : hooks(h) {
      if (hooks.BeginWait) hooks.BeginWait();
    }
    ~WaitCursor() {
      if (hooks.EndWait) hooks.EndWait();
    }
  };
  {
    WaitCursor cursor(hooks);
    ScanResult.Count = 0;
    auto fresh = std::make_unique<TScanResult>();  // 60 KB: kept off the stack
    ScanTransponder(card, *fresh, hooks);
    ScanResult = *fresh;
  }
  list.Clear();
  FillChannelList(list);
}

std::string MakeFileSafeName(const std::string& name) {
  // '\xB9' is the numero sign in CP1251.
  static constexpr std::string_view kUnsafe = "*.+-?><,\\@!#$%^()=|\"\xB9;:{}[] &";
  std::string out = name;
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    // Control bytes would split a list file record or a file name.
    if (b < 0x20 || b == 0x7F || kUnsafe.find(c) != std::string_view::npos) c = '_';
  }
  return out;
}

void FillChannelList(TChannelList& list) {
  const int count = std::clamp(ScanResult.Count, 0, kMaxScanServices);
  for (int i = 0; i < count; ++i) {
    const TScanService& service = ScanResult.Services[i];
    if (service.VideoPid != 0) continue;
    const std::string name(service.Name, strnlen(service.Name, kScanNameSize));
    list.AddChannelRow(MakeFileSafeName(name), std::to_string(service.AudioPids[0]), "0");
  }
}
