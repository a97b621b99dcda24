#include "device/DevicePlugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include "base/AppPaths.h"
#include "base/DynamicLibrary.h"

TDevicePlugin Dvb;
std::atomic<bool> CardOpen{false};

namespace {

void* g_library = nullptr;

bool Exists(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

} // namespace

std::string FindDevicePlugin(const std::string& card) {
  // A card name is a plain file name; anything with a path in it is refused.
  if (card.empty() || card.find('/') != std::string::npos || card == "." || card == "..")
    return {};
  const std::string file = "Device/" + card + ".so";
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd)) {
    const std::string below = std::string(cwd) + "/" + file;
    if (Exists(below)) return below;
  }
  const std::string beside = text::ExecutableFolder() + "/" + file;
  if (Exists(beside)) return beside;
  return {};
}

void UnloadDevicePlugin() {
  // The library's delivery thread must not outlive its code.
  if (CardOpen.exchange(false) && Dvb.DVBClose) Dvb.DVBClose();
  Dvb = TDevicePlugin{};
  if (g_library) {
    ::dlclose(g_library);
    g_library = nullptr;
  }
}

bool DevicePluginLoaded() { return g_library != nullptr; }

int LoadDevicePlugin(const std::string& card) {
  UnloadDevicePlugin();
  const std::string path = FindDevicePlugin(card);
  if (path.empty()) return -1;
  void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) return -1;
  TDevicePlugin table;
  const bool all = text::ResolveSymbol(lib, "DVBOpen", table.DVBOpen) &&
                   text::ResolveSymbol(lib, "DVBClose", table.DVBClose) &&
                   text::ResolveSymbol(lib, "DVBGetInfo", table.DVBGetInfo) &&
                   text::ResolveSymbol(lib, "DVBSendDiSEqC", table.DVBSendDiSEqC) &&
                   text::ResolveSymbol(lib, "DVBSetTuner", table.DVBSetTuner) &&
                   text::ResolveSymbol(lib, "DVBGetTunerStatus", table.DVBGetTunerStatus) &&
                   text::ResolveSymbol(lib, "DVBAddFilter", table.DVBAddFilter) &&
                   text::ResolveSymbol(lib, "DVBDelFilter", table.DVBDelFilter) &&
                   text::ResolveSymbol(lib, "DVBSETCOUNT", table.DVBSETCOUNT);
  if (!all) {
    ::dlclose(lib);
    return -1;
  }
  g_library = lib;
  Dvb = table;
  return 0;
}
