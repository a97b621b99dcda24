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
  };

  // Set-up, before the card opens.
  void AddFrontend(int adapter, std::vector<uint32_t> deliverySystems, bool legacyOnly = false);
  std::set<uint32_t> lockOn{SYS_DVBS, SYS_DVBS2};  // delivery systems that find a signal
  int demuxLimit = 1000;                           // demux files the adapter allows at once
  std::vector<dtv_stats> signalStat, cnrStat;      // empty: not offered
  uint16_t legacySignal = 0, legacySnr = 0;

  // Queues data for every demux file filtering this PID; each feed is one read.
  void Feed(uint16_t pid, std::vector<uint8_t> bytes);
  // The next read of this PID's files fails with this errno (EOVERFLOW...).
  void FailNextRead(uint16_t pid, int error);
  // The adapter goes away: every demux file reports an error and reads fail.
  void Vanish();
  // demuxLimit, changed while the card runs.
  void SetDemuxLimit(int limit);

  std::vector<std::string> Log();
  std::vector<std::string> LogSince(size_t from);
  std::vector<TTuning> Tunings();
  std::vector<int> Pauses();
  int OpenFiles();
  int64_t Reads();
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
