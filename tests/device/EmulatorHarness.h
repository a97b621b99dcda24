#pragma once
// Loading an Emulator.so (the built one, or a copy) with its nine exports and
// test controls, plus helpers for reading transport-stream files.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "EmulatorControl.h"
#include "device/DvbPluginApi.h"

struct TEmulatorLibrary {
  void* handle = nullptr;
  TDevicePlugin dvb;
  TEmulatorSetReplaySpeed SetReplaySpeed = nullptr;
  TEmulatorSetFilterLimit SetFilterLimit = nullptr;
  TEmulatorHold Hold = nullptr;
  TEmulatorBeginReplayOnce BeginReplayOnce = nullptr;
  TEmulatorWaitReplayEnd WaitReplayEnd = nullptr;
  TEmulatorReplayOnce ReplayOnce = nullptr;
  TEmulatorPacketsDelivered PacketsDelivered = nullptr;
  TEmulatorPacketsReplayed PacketsReplayed = nullptr;
  TEmulatorFilterCount FilterCount = nullptr;
  TEmulatorLastDiSEqC LastDiSEqC = nullptr;

  // Resolves everything from an already loaded library handle; false when a
  // symbol is missing.
  bool Resolve(void* library);
  // dlopen + Resolve; false (and nothing loaded) on failure.
  bool Load(const std::filesystem::path& path);
  void Unload();
};

// Tunes like the settings window: DiSEqC, then the record for <mhz> V/H.
int32_t Tune(const TDevicePlugin& dvb, uint32_t mhz, bool vertical);

std::filesystem::path BuiltEmulator();      // <bin>/Device/Emulator.so
std::filesystem::path EmulatorDataFolder();  // <bin>/Device/Emulator

// The built card copied to <root>/Device/Emulator.so, with <root>/Device/Emulator/
// holding `files` (name: contents): a card whose files no other test sees.
// Returns the copy's path.
std::filesystem::path CopyEmulator(const std::filesystem::path& root,
                                   const std::map<std::string, std::vector<uint8_t>>& files);

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path);

// The concatenated packets (or, with payloadOnly, their 184 bytes after the
// header) of one PID in a transport-stream image, in file order.
std::vector<uint8_t> PacketsOfPid(const std::vector<uint8_t>& ts, uint16_t pid, bool payloadOnly);
