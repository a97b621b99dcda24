#include "device/EmulatorHarness.h"

#include <dlfcn.h>

#include <fstream>
#include <iterator>

namespace {

template <typename Fn>
bool Sym(void* lib, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(::dlsym(lib, name));
  return slot != nullptr;
}

} // namespace

bool TEmulatorLibrary::Resolve(void* lib) {
  namespace e = emulator_exports;
  handle = lib;
  return Sym(lib, "DVBOpen", dvb.DVBOpen) && Sym(lib, "DVBClose", dvb.DVBClose) &&
         Sym(lib, "DVBGetInfo", dvb.DVBGetInfo) && Sym(lib, "DVBSendDiSEqC", dvb.DVBSendDiSEqC) &&
         Sym(lib, "DVBSetTuner", dvb.DVBSetTuner) &&
         Sym(lib, "DVBGetTunerStatus", dvb.DVBGetTunerStatus) &&
         Sym(lib, "DVBAddFilter", dvb.DVBAddFilter) && Sym(lib, "DVBDelFilter", dvb.DVBDelFilter) &&
         Sym(lib, "DVBSETCOUNT", dvb.DVBSETCOUNT) && Sym(lib, e::kSetReplaySpeed, SetReplaySpeed) &&
         Sym(lib, e::kSetFilterLimit, SetFilterLimit) && Sym(lib, e::kHold, Hold) &&
         Sym(lib, e::kBeginReplayOnce, BeginReplayOnce) &&
         Sym(lib, e::kWaitReplayEnd, WaitReplayEnd) && Sym(lib, e::kReplayOnce, ReplayOnce) &&
         Sym(lib, e::kPacketsDelivered, PacketsDelivered) &&
         Sym(lib, e::kPacketsReplayed, PacketsReplayed) &&
         Sym(lib, e::kFilterCount, FilterCount) && Sym(lib, e::kLastDiSEqC, LastDiSEqC);
}

bool TEmulatorLibrary::Load(const std::filesystem::path& path) {
  void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  if (!Resolve(lib)) {
    ::dlclose(lib);
    handle = nullptr;
    return false;
  }
  return true;
}

void TEmulatorLibrary::Unload() {
  if (handle) ::dlclose(handle);
  *this = TEmulatorLibrary{};
}

int32_t Tune(const TDevicePlugin& dvb, uint32_t mhz, bool vertical) {
  dvb.DVBSendDiSEqC(1);
  TTunerParams params{};
  params.Frequency = mhz * 1000;
  params.Constant2 = 2;
  params.SymbolRate = 27500000;
  params.LocalOscillator = 5150000;
  params.Voltage = vertical ? 13 : 18;
  return dvb.DVBSetTuner(params);
}

std::filesystem::path BuiltEmulator() { return std::filesystem::path(MC_BIN_DIR) / "Device" / "Emulator.so"; }
std::filesystem::path EmulatorDataFolder() { return std::filesystem::path(MC_BIN_DIR) / "Device" / "Emulator"; }

std::filesystem::path CopyEmulator(const std::filesystem::path& root,
                                   const std::map<std::string, std::vector<uint8_t>>& files) {
  const std::filesystem::path device = root / "Device";
  std::filesystem::create_directories(device / "Emulator");
  std::filesystem::copy_file(BuiltEmulator(), device / "Emulator.so");
  for (const auto& [name, bytes] : files)
    std::ofstream(device / "Emulator" / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return device / "Emulator.so";
}

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> PacketsOfPid(const std::vector<uint8_t>& ts, uint16_t pid, bool payloadOnly) {
  std::vector<uint8_t> out;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    const uint8_t* p = ts.data() + at;
    if ((((p[1] & 0x1F) << 8) | p[2]) != pid) continue;
    out.insert(out.end(), p + (payloadOnly ? 4 : 0), p + 188);
  }
  return out;
}
