#pragma once
// A DVB-S/S2 adapter driven through the Linux DVB API: the frontend tunes,
// one demux file per filter delivers that PID's packets, and one thread polls
// them all and runs the filter callbacks.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CardExports.h"
#include "HandleTable.h"
#include "KernelApi.h"

namespace linuxdvb {

// Which devices to use: /dev/dvb/adapterN/frontendM and demuxD.
struct TDeviceChoice {
  int adapter = -1;  // -1: the first adapter that receives satellites
  int frontend = 0;
  int demux = -1;  // -1: the same number as the frontend
};

// Reads "adapter N", "frontend M" and "demux D" lines ('=' may stand between
// name and number; '#' starts a comment). False on a line it cannot read.
bool ParseDeviceChoice(const std::string& text, TDeviceChoice& choice);

class TLinuxDvbCard final : public cardplugin::TCard {
 public:
  static constexpr int kFilterLimit = 256;
  static constexpr int32_t kFirstPayloadHandle = cardplugin::THandleTable::kFirstPayloadHandle;

  // configPath: the optional file naming the adapter; absent means "search".
  TLinuxDvbCard(TKernelApi& kernel, std::string configPath);
  ~TLinuxDvbCard();
  TLinuxDvbCard(const TLinuxDvbCard&) = delete;
  TLinuxDvbCard& operator=(const TLinuxDvbCard&) = delete;

  int32_t Open() override;
  void Close() override;
  int32_t SendDiSEqC(int32_t port) override;
  int32_t SetTuner(const TTunerParams& params) override;
  int32_t GetTunerStatus(uint8_t* level, uint8_t* quality) override;
  int32_t AddFilter(int32_t pid, TFilterCallback callback) override;
  void DelFilter(int32_t handle) override;
  void SetCount(int32_t mode) override;

  // Demux buffer overflows seen (packets were lost; reading went on).
  int64_t Overflows() const { return overflows_.load(std::memory_order_relaxed); }
  // Overflows of the filter with this handle; -1 when no filter has it.
  int64_t FilterOverflows(int32_t handle);
  // Why the last Open failed, or a later problem worth telling (TCardReason).
  int32_t Reason() const { return reason_.load(); }
  // The adapter went away (unplugged): its files are closed, nothing is
  // delivered, and the tuner status says so until Close.
  bool Lost() const { return lost_.load(); }

  // What the kernel's drivers differ in, told by the frontend's name.
  struct TDriverRules {
    bool explicitS2 = false;      // refuses FEC_AUTO and ROLLOFF_AUTO for DVB-S2
    bool stb0899Units = false;    // legacy C/N in 0.1 dB, strength in 0.1 dBm + 750
  };
  static TDriverRules RulesFor(const char* frontendName);

 private:
  struct TFilter {
    uint16_t pid = 0;
    TFilterCallback callback = nullptr;
    int32_t handle = 0;
    bool wholePackets = false;
    int fd = -1;
    bool dead = false;  // its device failed: no longer polled
    int64_t overflows = 0;
  };
  struct TWatch {
    uint64_t serial;
    int fd;
  };

  struct TAttempt {
    uint32_t system, modulation, fec, rolloff;
  };
  int FindFrontend(const TDeviceChoice& choice, int& adapter, int& frontend);
  bool Tune(const TAttempt& attempt, uint32_t intermediateKHz, uint32_t symbolRate);
  bool WaitForLock();
  void SendDiseqcCommand(uint8_t framing, uint8_t command, uint8_t data);
  void ReadMeters(bool locked, int& level, int& quality);
  // The device is gone: its files are closed and nothing more is delivered.
  // holdingTune: the caller holds tuneMutex_ (else the frontend is closed by
  // its next holder).
  void LoseDevice(bool holdingTune);
  bool VanishedOn(uint64_t serial);
  int OpenDemux(uint16_t pid);
  void Run();
  // False when the read shows that the device has gone.
  bool ReadFilter(uint64_t serial, int fd, bool pollError, std::vector<uint8_t>& carry,
                  std::vector<uint8_t>& buffer);
  bool Deliver(uint64_t serial, const uint8_t* packet);
  void MarkDead(uint64_t serial);
  void ClosePending();  // under mutex_
  bool OnDeliveryThread() const { return std::this_thread::get_id() == threadId_.load(); }

  TKernelApi& kernel_;
  const std::string configPath_;

  // Frontend state, under tuneMutex_ (taken before mutex_, never after): a
  // tuning waits for its lock without stalling the deliveries.
  std::mutex tuneMutex_;
  int frontendFd_ = -1;
  bool canDvbS2_ = false;
  TDriverRules rules_;
  bool lnbPowered_ = false;  // since Open: the first command waits for the LNB to start
  int32_t diseqcPort_ = 0;

  // Filters and the delivery thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;     // delivery thread: filters changed or stop
  std::condition_variable changed_;  // a callback has finished, or removed files were closed
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};
  bool open_ = false;
  bool stop_ = false;
  std::string demuxPath_;
  std::map<uint64_t, TFilter> filters_;  // by serial, unique per registration
  cardplugin::THandleTable handles_{kFilterLimit};  // each names a serial
  // Removed filters' demux files: the delivery thread may be polling them, so
  // only it (or Close after joining it) closes them.
  std::vector<int> pendingClose_;
  uint64_t nextSerial_ = 1;
  uint64_t filtersSerial_ = 0;  // changes whenever the set to poll does
  uint64_t inFlight_ = 0;       // serial of the filter whose callback runs now
  int deleteWaiters_ = 0;

  std::atomic<int64_t> overflows_{0};
  std::atomic<int32_t> reason_{0};
  std::atomic<bool> lost_{false};
};

} // namespace linuxdvb
