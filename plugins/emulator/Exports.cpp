// The card of this library, behind the nine card exports, and the test
// controls that only the Emulator has.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "CardExports.h"
#include "EmulatorCard.h"
#include "EmulatorControl.h"

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

cardplugin::TCard& cardplugin::ThisCard() { return Card(); }

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
