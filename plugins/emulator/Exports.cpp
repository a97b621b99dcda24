// The plug-in's exports: the nine card operations and the test controls, all
// forwarding to the one card object of this library.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "EmulatorCard.h"
#include "EmulatorControl.h"

#define MC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The transponder files live in Emulator/ beside this library, wherever the
// program was started from.
std::string DataFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&DataFolder), &info) == 0 || !info.dli_fname)
    return "Emulator";
  char resolved[PATH_MAX];
  std::string path = ::realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
  const size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/Emulator";
}

// Destroyed when the library is unloaded; its destructor stops the thread.
emulator::TEmulatorCard& Card() {
  static emulator::TEmulatorCard card(DataFolder());
  return card;
}

} // namespace

MC_EXPORT int32_t DVBOpen(int32_t) { return Card().Open(); }
MC_EXPORT void DVBClose() { Card().Close(); }
MC_EXPORT int32_t DVBGetInfo(void*) { return 0; }
MC_EXPORT int32_t DVBSendDiSEqC(int32_t port) { return Card().SendDiSEqC(port); }
MC_EXPORT int32_t DVBSetTuner(TTunerParams params) { return Card().SetTuner(params); }
MC_EXPORT int32_t DVBGetTunerStatus(uint8_t* level, uint8_t* quality) {
  return Card().GetTunerStatus(level, quality);
}
MC_EXPORT int32_t DVBAddFilter(int32_t pid, TFilterCallback callback, int32_t, int32_t, int32_t,
                               int32_t) {
  return Card().AddFilter(pid, callback);
}
MC_EXPORT void DVBDelFilter(int32_t handle) { Card().DelFilter(handle); }
MC_EXPORT void DVBSETCOUNT(int32_t mode) { Card().SetCount(mode); }

MC_EXPORT int32_t EmulatorSetReplaySpeed(double factor) { return Card().SetReplaySpeed(factor); }
MC_EXPORT int32_t EmulatorSetFilterLimit(int32_t limit) { return Card().SetFilterLimit(limit); }
MC_EXPORT int32_t EmulatorHold(int32_t on) { return Card().Hold(on != 0); }
MC_EXPORT int32_t EmulatorBeginReplayOnce() { return Card().BeginReplayOnce(); }
MC_EXPORT int32_t EmulatorWaitReplayEnd(int32_t timeoutMs) { return Card().WaitReplayEnd(timeoutMs); }
MC_EXPORT int32_t EmulatorReplayOnce(int32_t timeoutMs) {
  return Card().BeginReplayOnce() ? Card().WaitReplayEnd(timeoutMs) : 0;
}
MC_EXPORT int64_t EmulatorPacketsDelivered() { return Card().PacketsDelivered(); }
MC_EXPORT int64_t EmulatorPacketsReplayed() { return Card().PacketsReplayed(); }
MC_EXPORT int32_t EmulatorFilterCount() { return Card().FilterCount(); }
MC_EXPORT int32_t EmulatorLastDiSEqC() { return Card().LastDiSEqC(); }
