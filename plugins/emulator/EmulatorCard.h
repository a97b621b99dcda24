#pragma once
// The Emulator card: replays Device/Emulator/<MHz><V|H>.ts on a delivery
// thread as if it came from a tuner, dispatching each packet by PID to the
// registered filters.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CardExports.h"
#include "HandleTable.h"

namespace emulator {

class TEmulatorCard final : public cardplugin::TCard {
 public:
  static constexpr int kDefaultFilterLimit = 256;

  // dataFolder: the folder holding the transponder files.
  explicit TEmulatorCard(std::string dataFolder);
  ~TEmulatorCard();
  TEmulatorCard(const TEmulatorCard&) = delete;
  TEmulatorCard& operator=(const TEmulatorCard&) = delete;

  int32_t Open() override;
  void Close() override;
  int32_t SendDiSEqC(int32_t port) override;
  int32_t SetTuner(const TTunerParams& params) override;
  int32_t GetTunerStatus(uint8_t* level, uint8_t* quality) override;
  int32_t AddFilter(int32_t pid, TFilterCallback callback) override;
  void DelFilter(int32_t handle) override;
  void SetCount(int32_t mode) override;

  // Test controls (see EmulatorControl.h).
  int32_t SetReplaySpeed(double factor);
  int32_t SetFilterLimit(int32_t limit);
  int32_t Hold(bool on);
  int32_t BeginReplayOnce();
  int32_t WaitReplayEnd(int32_t timeoutMs);
  int64_t PacketsDelivered() const { return delivered_.load(std::memory_order_relaxed); }
  int64_t PacketsReplayed() const { return replayed_.load(std::memory_order_relaxed); }
  int32_t FilterCount();
  int32_t LastDiSEqC();

 private:
  struct TFilter {
    uint64_t serial = 0;  // 0: slot free; unique per registration otherwise
    uint16_t pid = 0;
    TFilterCallback callback = nullptr;
    int32_t handle = 0;
    bool wholePackets = false;
  };
  struct TTarget {
    uint32_t slot;
    uint64_t serial;
    TFilterCallback callback;
    int32_t handle;
    bool wholePackets;
  };

  void Run();
  void StopThread();
  bool OnDeliveryThread() const { return std::this_thread::get_id() == threadId_.load(); }
  // Makes the thread look at the control state again, and (unless called on
  // the delivery thread) waits up to a short time until it has.
  void Poke(std::unique_lock<std::mutex>& lock);
  void Dispatch(const uint8_t* packet, std::vector<TTarget>& targets);

  const std::string folder_;

  std::mutex mutex_;
  std::condition_variable wake_;      // delivery thread: controls changed
  std::condition_variable changed_;   // callers: acknowledgements, deliveries ended
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};

  // Control state, under mutex_; controlSerial_ changes whenever it does.
  std::atomic<uint64_t> controlSerial_{0};
  uint64_t seenSerial_ = 0;  // last control serial the thread acted on
  bool open_ = false;
  bool stop_ = false;
  bool held_ = false;
  std::string tunedPath_;
  uint64_t tuneSerial_ = 0;
  bool restartOnce_ = false;
  uint64_t onceRequested_ = 0, onceFinished_ = 0;
  double speed_ = 1.0;
  int32_t diseqc_ = 0;
  uint32_t noise_ = 0x9E3779B9u;

  // Filters, under mutex_; filtersOnPid_ lets the delivery thread skip PIDs
  // nobody asked for without the lock.
  std::vector<TFilter> slots_;
  std::array<std::vector<uint32_t>, 8192> byPid_;
  std::array<std::atomic<uint16_t>, 8192> filtersOnPid_{};
  cardplugin::THandleTable handles_{kDefaultFilterLimit};  // each names a slot
  uint64_t nextSerial_ = 1;
  uint64_t inFlight_ = 0;  // serial of the filter whose callback runs now
  int deleteWaiters_ = 0;

  std::atomic<int64_t> delivered_{0};
  std::atomic<int64_t> replayed_{0};
};

} // namespace emulator
