#pragma once
// Section objects: one per table and PID, started on a PID, fed by the card's
// filter callback with 184-byte packet payloads until every section of its
// table is in, then read by the scan. Broadcast data is untrusted: every
// length is checked against the section and every table has a fixed size.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "device/DvbPluginApi.h"

inline constexpr int kSectionBufferSize = 4096;  // pointer field + section
inline constexpr int kPayloadSize = 184;         // one packet's payload
inline constexpr int kMaxTableEntries = 100;     // programs, streams, services

class TDVBSection {
 public:
  TDVBSection() = default;
  TDVBSection(const TDVBSection&) = delete;
  TDVBSection& operator=(const TDVBSection&) = delete;
  virtual ~TDVBSection();

  int32_t Pid = 0;
  std::chrono::steady_clock::time_point Deadline{};  // set and used by the scan
  int32_t Count = 0;         // programs of a PAT, services of an SDT
  int32_t Handle = 0;        // what DVBAddFilter returned
  const TDevicePlugin* Card = nullptr;  // the card of the running filter
  int32_t NextSection = 0;   // section_number expected next
  std::atomic<bool> Active{false};  // filter registered and data wanted
  int32_t Collected = 0;     // bytes of the current section gathered
  int32_t SectionLength = 0; // section_length of the current section
  uint8_t Buffer[kSectionBufferSize] = {};  // [0] is the pointer field

  // Stops the filter if one runs, then zeroes the state and the table.
  virtual void Reset();

  // Registers a filter on pid with the card. False when the card refuses;
  // nothing else changes then.
  bool StartFilter(const TDevicePlugin& card, int32_t pid);
  // Removes the filter if one is registered. When it returns, no delivery to
  // this object is running any more (unless called from that delivery).
  void StopFilter();

  // Takes a run of payloads in 184-byte steps while the object stays Active.
  void Feed(const uint8_t* data, int32_t length);
  // One payload; a short last piece of a run is taken with its real size.
  void FeedChunk(const uint8_t* chunk, int32_t size);

  // Whether a payload may open a section of this table; chunk holds at least
  // six bytes.
  virtual bool AcceptHeader(const uint8_t* chunk);
  // Decodes the completed, CRC-checked section in Buffer; false refuses it.
  virtual bool ParseSection();

 protected:
  // Section byte n (Buffer[0] is the pointer field).
  const uint8_t* Section() const { return Buffer + 1; }
  // Offset one past the last data byte (the CRC follows).
  int32_t DataEnd() const { return SectionLength - 1; }
  void ResetBase();
  // Stops the filter and waits out any delivery still inside this object;
  // each final class's destructor calls it before its own fields go.
  void Detach();
};

class TPATSection final : public TDVBSection {
 public:
  ~TPATSection() override { Detach(); }
  int32_t NitPid = 0;
  int32_t TransportStreamId = 0;
  std::array<int32_t, kMaxTableEntries> ProgramNumbers{};  // [k-1]: k-th program
  std::array<int32_t, kMaxTableEntries> PmtPids{};

  void Reset() override;
  bool AcceptHeader(const uint8_t* chunk) override;
  bool ParseSection() override;
};

class TPMTSection final : public TDVBSection {
 public:
  ~TPMTSection() override { Detach(); }
  int32_t ProgramNumber = 0;  // the program wanted; set before the start
  int32_t VideoPid = 0;
  int32_t TeletextPid = 0;
  int32_t PcrPid = 0;
  int32_t AudioCount = 0;
  std::array<uint16_t, kMaxTableEntries> AudioPids{};
  std::array<std::array<char, 3>, kMaxTableEntries> AudioLanguages{};  // "   " when absent
  int32_t Ac3Pid = 0;
  int32_t CaCount = 0;
  std::array<int32_t, kMaxTableEntries> CaSystemIds{};
  std::array<int32_t, kMaxTableEntries> CaPids{};
  int32_t IsH264 = 0;

  TPMTSection() { Reset(); }
  void Reset() override;
  bool AcceptHeader(const uint8_t* chunk) override;
  bool ParseSection() override;

 private:
  // Walks the descriptors in [from, to) for a stream of type streamType
  // (-1: the program's own descriptors); audioStored tells whether this
  // stream took an AudioPids entry.
  void DecodeDescriptors(int32_t from, int32_t to, int32_t streamType, int32_t pid, bool audioStored);
};

class TSDTSection final : public TDVBSection {
 public:
  ~TSDTSection() override { Detach(); }
  int32_t TransportStreamId = 0;  // the stream wanted; set before the start
  int32_t OriginalNetworkId = 0;
  std::array<int32_t, kMaxTableEntries> ServiceIds{};
  std::array<uint8_t, kMaxTableEntries> FreeCaModes{};
  std::array<std::string, kMaxTableEntries> ProviderNames{};
  std::array<std::string, kMaxTableEntries> ServiceNames{};

  void Reset() override;
  bool AcceptHeader(const uint8_t* chunk) override;
  bool ParseSection() override;

 private:
  void AddService(int32_t serviceId, uint8_t freeCa, std::string provider, std::string name);
};

// Started section objects, in start order, and the lock the filter callback
// holds while it feeds one of them. Recursive: a completed table stops its
// own filter from inside the callback.
extern std::vector<TDVBSection*> ActiveSections;
extern std::recursive_mutex SectionLock;

// The card's filter callback for payload delivery: hands the data to the
// first started object whose Handle matches; other data is dropped.
extern "C" void SectionCallback(const uint8_t* data, int32_t length, int32_t handle);
