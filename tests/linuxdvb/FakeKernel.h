#pragma once
// A scripted Linux DVB adapter standing in for the kernel: it logs every call
// the card makes (frontend and demux set-up as readable lines, polls and
// reads counted) and serves packets that a test feeds per PID.
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "KernelApi.h"

class TFakeKernel final : public linuxdvb::TKernelApi {
 public:
  struct TTuning {
    uint32_t deliverySystem = 0, frequency = 0, symbolRate = 0, fec = 0, modulation = 0;
    uint32_t rolloff = ROLLOFF_AUTO, pilot = PILOT_AUTO;
  };
  // What the drivers of real frontends check. A refusal happens in the
  // kernel's frontend thread: FE_SET_PROPERTY still returns 0, the frontend
  // just never finds a signal.
  struct TDriverRules {
    std::string name = "Fake DVB-S/S2 frontend";  // FE_GET_INFO's name
    bool strictQpsk = false;  // cx24116, cx24117, gp8psk, tas2101: DVB-S only as QPSK
    bool explicitS2 = false;  // cx24116: DVB-S2 without FEC_AUTO, ROLLOFF_AUTO
  };

  // Set-up, before the card opens.
  void AddFrontend(int adapter, std::vector<uint32_t> deliverySystems, bool legacyOnly = false);
  std::set<uint32_t> lockOn{SYS_DVBS, SYS_DVBS2};  // delivery systems that find a signal
  int demuxLimit = 1000;                           // demux files the adapter allows at once
  std::vector<dtv_stats> signalStat, cnrStat;      // empty: not offered
  uint16_t legacySignal = 0, legacySnr = 0;
  TDriverRules driver;
  int lockAfterReads = 0;                    // FE_READ_STATUS calls after a tuning before the lock
  std::map<std::string, int> openErrors;     // path: errno its open fails with (EBUSY, EACCES...)
  unsigned long largestBuffer = ~0ul;        // DMX_SET_BUFFER_SIZE above this: ENOMEM

  // Queues data for every demux file filtering this PID; each feed is one read.
  void Feed(uint16_t pid, std::vector<uint8_t> bytes);
  // The next read of this PID's files fails with this errno (EOVERFLOW...).
  void FailNextRead(uint16_t pid, int error);
  // The adapter goes away as a USB one does under Linux: its demux files
  // poll as POLLERR and read EAGAIN once empty, the frontend answers ENODEV
  // and its device nodes are gone. The kernel finishes the removal only when
  // the card has closed every file (see OpenFiles).
  void Vanish();
  // The card is plugged in again.
  void Replug();
  // demuxLimit, changed while the card runs.
  void SetDemuxLimit(int limit);

  std::vector<std::string> Log();
  std::vector<std::string> LogSince(size_t from);
  std::vector<TTuning> Tunings();
  std::vector<int> Pauses();
  int OpenFiles();
  int64_t Reads();
  int64_t Polls();
  // Whether the last tuning found a signal (no data flows without one).
  bool Locked();
  dmx_pes_filter_params LastPesFilter();
  unsigned long LastBufferSize();

  int Open(const char* path, int flags) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  int Poll(pollfd* fds, nfds_t count, int timeoutMs) override;
  ssize_t Read(int fd, void* to, size_t size) override;
  int Close(int fd) override;
  void Sleep(int ms) override;

 private:
  struct TFrontend {
    std::vector<uint32_t> systems;
    bool legacyOnly = false;
  };
  struct TFile {
    bool demux = false;
    int pid = -1;
    std::deque<std::vector<uint8_t>> queue;
    std::deque<int> errors;
  };
  bool Readable(const TFile& f) const { return vanished_ || !f.queue.empty() || !f.errors.empty(); }

  std::mutex mutex_;
  std::condition_variable fed_;
  std::map<std::string, TFrontend> frontends_;
  std::map<int, TFile> files_;
  std::map<int, std::string> frontendPaths_;
  int nextFd_ = 100;
  uint32_t tunedSystem_ = 0;
  bool refused_ = false;
  int statusReads_ = 0;
  int64_t polls_ = 0;
  bool vanished_ = false;
  std::vector<std::string> log_;
  std::vector<TTuning> tunings_;
  std::vector<int> pauses_;
  int64_t reads_ = 0;
  dmx_pes_filter_params lastPes_{};
  unsigned long lastBufferSize_ = 0;
};

// One 188-byte packet of a PID whose payload bytes are all `fill`.
std::vector<uint8_t> Packet(uint16_t pid, uint8_t fill);
