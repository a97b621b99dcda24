#include "device/DevicePlugin.h"

#include <unistd.h>

#include "base/AppPaths.h"
#include "base/DynamicLibrary.h"
#include "base/ProgramLayout.h"

std::atomic<bool> CardOpen{false};

namespace {

// Never destroyed: a card still delivering while the process exits keeps its code.
text::TDynamicLibrary& g_library = *new text::TDynamicLibrary;
std::string g_loadError;

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
  // Installed, the plug-ins are in the program's library folder.
  const std::string installed = text::ProgramLayout().LibraryFolder + "/" + file;
  if (Exists(installed)) return installed;
  return {};
}

void UnloadDevicePlugin(TDevicePlugin& table) {
  // The library's delivery thread must not outlive its code.
  if (CardOpen.exchange(false) && table.DVBClose) table.DVBClose();
  table = TDevicePlugin{};
  g_library.Close();
}

bool DevicePluginLoaded() { return g_library.IsOpen(); }

const std::string& DevicePluginLoadError() { return g_loadError; }

int LoadDevicePlugin(const std::string& card, TDevicePlugin& table) {
  UnloadDevicePlugin(table);
  g_loadError.clear();
  const std::string path = FindDevicePlugin(card);
  if (path.empty()) {
    g_loadError = card.empty() ? "номер карты в настройках не называет карту"
                               : "Device/" + card + ".so не найден ни в рабочей папке, ни рядом с программой";
    return -1;
  }
  text::TDynamicLibrary lib;
  if (!lib.Open(path)) {
    g_loadError = lib.Error();
    return -1;
  }
  TDevicePlugin loaded;
  const bool all = lib.Resolve("DVBOpen", loaded.DVBOpen) &&
                   lib.Resolve("DVBClose", loaded.DVBClose) &&
                   lib.Resolve("DVBGetInfo", loaded.DVBGetInfo) &&
                   lib.Resolve("DVBSendDiSEqC", loaded.DVBSendDiSEqC) &&
                   lib.Resolve("DVBSetTuner", loaded.DVBSetTuner) &&
                   lib.Resolve("DVBGetTunerStatus", loaded.DVBGetTunerStatus) &&
                   lib.Resolve("DVBAddFilter", loaded.DVBAddFilter) &&
                   lib.Resolve("DVBDelFilter", loaded.DVBDelFilter) &&
                   lib.Resolve("DVBSETCOUNT", loaded.DVBSETCOUNT);
  if (!all) {
    g_loadError = path + ": " + lib.Error();
    return -1;
  }
  if (!lib.Resolve("DVBGetReason", loaded.DVBGetReason)) loaded.DVBGetReason = nullptr;
  if (!lib.Resolve("DVBGetOverflows", loaded.DVBGetOverflows)) loaded.DVBGetOverflows = nullptr;
  g_library = std::move(lib);
  table = loaded;
  return 0;
}
