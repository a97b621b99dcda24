#pragma once
// Extra exports of the Emulator card for tests and benchmarks. The program
// never calls them; callers resolve them with dlsym from the loaded library
// (the TEmulator* types below) and link nothing from it.
#include <cstdint>

extern "C" {

// Replay rate as a factor of real time (2 = twice as fast); 0 replays as fast
// as possible. Negative values are refused (result 0).
typedef int32_t (*TEmulatorSetReplaySpeed)(double factor);

// Most filters registered at once (default 256); DVBAddFilter beyond it
// returns 0. Filters already registered stay. Returns the previous limit.
typedef int32_t (*TEmulatorSetFilterLimit)(int32_t limit);

// on = 1: pause the replay; returns once no callback is running and none will
// start until the hold is released. on = 0: resume. DVBSetTuner also resumes.
typedef int32_t (*TEmulatorHold)(int32_t on);

// Restart the tuned file at its first packet, replay it once without looping
// and hold at its end. Returns 0 when nothing is tuned.
typedef int32_t (*TEmulatorBeginReplayOnce)();

// Wait for the replay started by the last TEmulatorBeginReplayOnce to reach
// the end of the file: 1 when it did within timeoutMs, 0 otherwise.
typedef int32_t (*TEmulatorWaitReplayEnd)(int32_t timeoutMs);

// Both of the above: the whole tuned file once, from its first packet.
typedef int32_t (*TEmulatorReplayOnce)(int32_t timeoutMs);

// Counters since DVBOpen: callback calls made, transport packets read.
typedef int64_t (*TEmulatorPacketsDelivered)();
typedef int64_t (*TEmulatorPacketsReplayed)();

// Filters registered now; the port of the last DVBSendDiSEqC (0: none).
typedef int32_t (*TEmulatorFilterCount)();
typedef int32_t (*TEmulatorLastDiSEqC)();

} // extern "C"

// Export names, for dlsym.
namespace emulator_exports {
constexpr const char* kSetReplaySpeed = "EmulatorSetReplaySpeed";
constexpr const char* kSetFilterLimit = "EmulatorSetFilterLimit";
constexpr const char* kHold = "EmulatorHold";
constexpr const char* kBeginReplayOnce = "EmulatorBeginReplayOnce";
constexpr const char* kWaitReplayEnd = "EmulatorWaitReplayEnd";
constexpr const char* kReplayOnce = "EmulatorReplayOnce";
constexpr const char* kPacketsDelivered = "EmulatorPacketsDelivered";
constexpr const char* kPacketsReplayed = "EmulatorPacketsReplayed";
constexpr const char* kFilterCount = "EmulatorFilterCount";
constexpr const char* kLastDiSEqC = "EmulatorLastDiSEqC";
} // namespace emulator_exports
