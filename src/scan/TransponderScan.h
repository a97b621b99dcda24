#pragma once
// The transponder scan: reads PAT, SDT and the PMTs of the tuned transponder
// through section objects and turns the radio services into channel rows.
// It runs on the calling (window) thread and keeps the caller responsive
// through a hook called in every wait and retry step.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TChannelList;
struct TDevicePlugin;
class TPMTSection;

inline constexpr int kMaxScanServices = 128;
inline constexpr int kMaxScanAudioPids = 16;
inline constexpr int kMaxScanCaEntries = 64;
inline constexpr int kScanNameSize = 64;

struct TScanService {
  uint16_t ServiceId;
  uint16_t PmtPid;
  uint16_t Kind;        // 1: video; 2: no video, some audio; 0: neither
  uint16_t FreeCaMode;  // 0 or 1
  char Name[kScanNameSize];      // CP1251, NUL-terminated when shorter
  char Provider[kScanNameSize];
  uint16_t PcrPid;
  uint16_t VideoPid;    // 0: no video stream
  uint16_t AudioCount;  // entries used in AudioPids
  uint16_t AudioPids[kMaxScanAudioPids];
  char AudioLanguages[kMaxScanAudioPids][3];
  uint16_t Ac3Pid;
  uint16_t TeletextPid;
  uint16_t CaCount;     // entries used in CaSystemIds / CaPids
  uint16_t CaSystemIds[kMaxScanCaEntries];
  uint16_t CaPids[kMaxScanCaEntries];
  uint16_t IsH264;
};

struct TScanResult {
  int32_t Count;  // services stored, in SDT order
  TScanService Services[kMaxScanServices];
  uint16_t TransportStreamId;
  uint16_t OriginalNetworkId;
};

// The last scan's result; all zero at start-up.
extern TScanResult ScanResult;

// Time limits of the scan's steps; tests shorten them.
struct TScanTimings {
  std::chrono::milliseconds FilterStart{5000};  // PAT and SDT filter retries
  std::chrono::milliseconds Pat{10000};
  std::chrono::milliseconds Sdt{30000};
  std::chrono::milliseconds PmtStart{30000};    // a PMT filter refused this long ends the scan
  std::chrono::milliseconds Pmt{10000};
  std::chrono::milliseconds WaitStep{30};
  std::chrono::milliseconds RetryStep{50};
};

struct ScanHooks {
  std::function<void()> ProcessEvents;  // called after every wait and retry sleep
  std::function<void()> BeginWait;      // hourglass on
  std::function<void()> EndWait;        // hourglass off
  // Asked after every wait and retry step; true ends the scan as an early end.
  std::function<bool()> Cancelled;
  TScanTimings Timings{};
};

// Scans the tuned transponder into result (zeroed first). Returns false on an
// early end; result->Count is 0 then. The card must be in payload delivery.
bool ScanTransponder(const TDevicePlugin& card, TScanResult& result, const ScanHooks& hooks = {});

// Switches the card to payload delivery, scans into ScanResult, empties list
// and fills it with the services found.
void ScanAndFill(const TDevicePlugin& card, TChannelList& list, const ScanHooks& hooks = {});

// The first PMT object, in start order, whose ProgramNumber is programNumber;
// null when none.
TPMTSection* FindPmt(const std::vector<std::unique_ptr<TPMTSection>>& pmts, int32_t programNumber);

// Appends one row per service of ScanResult without video: cleaned name,
// first audio PID in decimal, "0".
void FillChannelList(TChannelList& list);

// Replaces every character that cannot stand in a file name or a list file
// record with '_'; the length stays.
std::string MakeFileSafeName(const std::string& name);
