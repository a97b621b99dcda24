#pragma once
// The card plug-in ABI, shared by the program and every plug-in under
// plugins/. A plug-in is Device/<card>.so exporting the nine functions below
// with C linkage. Integers are 32-bit; TTunerParams travels by value.
#include <cstdint>

extern "C" {

// Filter callback, run on the plug-in's own delivery thread. After
// DVBSETCOUNT(0): a run of 184-byte payloads and the handle DVBAddFilter gave.
// After DVBSETCOUNT(1): one whole 188-byte packet per call and the number k of
// the k-th filter added since the switch. It may call DVBDelFilter on its own
// filter.
typedef void (*TFilterCallback)(const uint8_t* data, int32_t length, int32_t handle);

#pragma pack(push, 1)
struct TTunerParams {
  uint32_t Frequency;        // kHz
  uint32_t Constant2;        // always 2
  uint32_t SymbolRate;       // symbols per second
  uint32_t LocalOscillator;  // kHz
  uint32_t Tone;             // 22 kHz tone: 1 on, 0 off
  uint32_t Voltage;          // 13 (vertical) or 18 (horizontal)
  uint32_t Reserved1;
  uint8_t Reserved2;
  uint32_t Reserved3;
  uint32_t Reserved4;
};
#pragma pack(pop)
static_assert(sizeof(TTunerParams) == 37, "TTunerParams is a packed 37-byte record");

typedef int32_t (*TDVBOpen)(int32_t arg);                 // non-zero: card ready
typedef void (*TDVBClose)();
typedef int32_t (*TDVBGetInfo)(void* info);              // must exist, never called
typedef int32_t (*TDVBSendDiSEqC)(int32_t port);         // port 1..8, result ignored
typedef int32_t (*TDVBSetTuner)(TTunerParams params);    // non-zero: success
// Fills level and quality, 0..100 each. Returns 1 when locked, 0 when not,
// and kTunerStatusLost (both meters 0) once the card has gone away, e.g. a
// USB card unplugged: it stays so until DVBClose. A value in the existing
// call rather than a new export, so old plug-ins, which only ever answer 0
// or 1, read as cards that never vanish.
typedef int32_t (*TDVBGetTunerStatus)(uint8_t* level, uint8_t* quality);
typedef int32_t (*TDVBAddFilter)(int32_t pid, TFilterCallback callback, int32_t a,
                                 int32_t b, int32_t c, int32_t d);        // 0: refused
typedef void (*TDVBDelFilter)(int32_t handle);           // unknown handles ignored
typedef void (*TDVBSETCOUNT)(int32_t mode);              // 0: payloads, 1: whole packets

// Optional tenth export "DVBGetReason": why the last DVBOpen gave 0, or a
// later problem the card wants told (one of the TCardReason values). A
// plug-in without it is simply not asked.
typedef int32_t (*TDVBGetReason)();
// Optional export "DVBGetOverflows": how often the filter with this handle
// lost packets because its buffer was full; -1 for a handle naming none.
typedef int32_t (*TDVBGetOverflows)(int32_t handle);

} // extern "C"

constexpr int32_t kTunerStatusLost = -1;

enum TCardReason : int32_t {
  kReasonNone = 0,
  kReasonBusy = 1,            // another program holds the card
  kReasonPermission = 2,      // the user may not open the device
  kReasonNoCard = 3,          // no satellite adapter found
  kReasonNoDemux = 4,         // a frontend without its demux device
  kReasonBufferRefused = 5,   // the kernel refused a filter's buffer size
};

extern "C" {

} // extern "C"

// The nine operations of the loaded plug-in, process-wide.
struct TDevicePlugin {
  TDVBOpen DVBOpen = nullptr;
  TDVBClose DVBClose = nullptr;
  TDVBGetInfo DVBGetInfo = nullptr;
  TDVBSendDiSEqC DVBSendDiSEqC = nullptr;
  TDVBSetTuner DVBSetTuner = nullptr;
  TDVBGetTunerStatus DVBGetTunerStatus = nullptr;
  TDVBAddFilter DVBAddFilter = nullptr;
  TDVBDelFilter DVBDelFilter = nullptr;
  TDVBSETCOUNT DVBSETCOUNT = nullptr;
  TDVBGetReason DVBGetReason = nullptr;  // optional
  TDVBGetOverflows DVBGetOverflows = nullptr;  // optional
};
