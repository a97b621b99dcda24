#include "linuxdvb/FakeKernel.h"

#include <linux/dvb/dmx.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
    s += b;
  }
  return s;
}

const char* SystemName(uint32_t s) { return s == SYS_DVBS ? "DVBS" : s == SYS_DVBS2 ? "DVBS2" : "?"; }

} // namespace

std::vector<uint8_t> Packet(uint16_t pid, uint8_t fill) {
  std::vector<uint8_t> p(188, fill);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>(pid >> 8);
  p[2] = static_cast<uint8_t>(pid);
  p[3] = 0x10;
  return p;
}

void TFakeKernel::AddFrontend(int adapter, std::vector<uint32_t> systems, bool legacyOnly) {
  std::lock_guard lock(mutex_);
  frontends_["/dev/dvb/adapter" + std::to_string(adapter) + "/frontend0"] = {std::move(systems), legacyOnly};
}

void TFakeKernel::Feed(uint16_t pid, std::vector<uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  for (auto& [fd, f] : files_)
    if (f.demux && f.pid == pid) f.queue.push_back(bytes);
  fed_.notify_all();
}

void TFakeKernel::FailNextRead(uint16_t pid, int error) {
  std::lock_guard lock(mutex_);
  for (auto& [fd, f] : files_)
    if (f.demux && f.pid == pid) f.errors.push_back(error);
  fed_.notify_all();
}

void TFakeKernel::Vanish() {
  std::lock_guard lock(mutex_);
  vanished_ = true;
  fed_.notify_all();
}

void TFakeKernel::Replug() {
  std::lock_guard lock(mutex_);
  vanished_ = false;
}

bool TFakeKernel::Locked() {
  std::lock_guard lock(mutex_);
  return !vanished_ && !refused_ && tunedSystem_ != 0 && lockOn.count(tunedSystem_) != 0;
}

int64_t TFakeKernel::Polls() {
  std::lock_guard lock(mutex_);
  return polls_;
}

std::vector<std::string> TFakeKernel::Log() { return LogSince(0); }
std::vector<std::string> TFakeKernel::LogSince(size_t from) {
  std::lock_guard lock(mutex_);
  return from < log_.size() ? std::vector<std::string>(log_.begin() + from, log_.end()) : std::vector<std::string>{};
}
std::vector<TFakeKernel::TTuning> TFakeKernel::Tunings() {
  std::lock_guard lock(mutex_);
  return tunings_;
}
std::vector<int> TFakeKernel::Pauses() {
  std::lock_guard lock(mutex_);
  return pauses_;
}
int TFakeKernel::OpenFiles() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(files_.size());
}
int64_t TFakeKernel::Reads() {
  std::lock_guard lock(mutex_);
  return reads_;
}
dmx_pes_filter_params TFakeKernel::LastPesFilter() {
  std::lock_guard lock(mutex_);
  return lastPes_;
}
void TFakeKernel::SetDemuxLimit(int limit) {
  std::lock_guard lock(mutex_);
  demuxLimit = limit;
}

unsigned long TFakeKernel::LastBufferSize() {
  std::lock_guard lock(mutex_);
  return lastBufferSize_;
}

int TFakeKernel::Open(const char* path, int) {
  std::lock_guard lock(mutex_);
  const std::string p = path;
  log_.push_back("open " + p);
  if (const auto e = openErrors.find(p); e != openErrors.end()) {
    errno = e->second;
    return -1;
  }
  if (vanished_) {
    errno = ENOENT;
    return -1;
  }
  const bool frontend = frontends_.count(p) != 0;
  const bool demux = p.find("/demux") != std::string::npos &&
                     frontends_.count(p.substr(0, p.find("/demux")) + "/frontend0") != 0;
  int demuxOpen = 0;
  for (const auto& [fd, f] : files_) demuxOpen += f.demux;
  if (!frontend && !demux) {
    errno = ENOENT;
    return -1;
  }
  if (demux && demuxOpen >= demuxLimit) {
    errno = EMFILE;
    return -1;
  }
  const int fd = nextFd_++;
  files_[fd].demux = demux;
  frontendPaths_[fd] = p;
  return fd;
}

int TFakeKernel::Ioctl(int fd, unsigned long request, void* arg) {
  std::lock_guard lock(mutex_);
  const auto file = files_.find(fd);
  if (file == files_.end()) {
    log_.push_back("ioctl on a closed file");
    errno = EBADF;
    return -1;
  }
  const auto value = reinterpret_cast<unsigned long>(arg);
  if (vanished_ && !file->second.demux) {
    log_.push_back("ioctl on a vanished frontend");
    errno = ENODEV;
    return -1;
  }
  switch (request) {
    case FE_DISEQC_SEND_BURST:
      log_.push_back(value == SEC_MINI_A ? "burst A" : "burst B");
      return 0;
    case FE_SET_TONE:
      log_.push_back(value == SEC_TONE_ON ? "tone on" : "tone off");
      return 0;
    case FE_SET_VOLTAGE:
      log_.push_back(value == SEC_VOLTAGE_13 ? "voltage 13" : value == SEC_VOLTAGE_18 ? "voltage 18" : "voltage ?");
      return 0;
    case FE_DISEQC_SEND_MASTER_CMD: {
      const auto* cmd = static_cast<dvb_diseqc_master_cmd*>(arg);
      log_.push_back("diseqc " + Hex(cmd->msg, cmd->msg_len));
      return 0;
    }
    case FE_SET_PROPERTY: {
      const auto* list = static_cast<dtv_properties*>(arg);
      TTuning t;
      bool tune = false;
      for (uint32_t i = 0; i < list->num; ++i) {
        const dtv_property& p = list->props[i];
        switch (p.cmd) {
          case DTV_DELIVERY_SYSTEM: t.deliverySystem = p.u.data; break;
          case DTV_FREQUENCY: t.frequency = p.u.data; break;
          case DTV_SYMBOL_RATE: t.symbolRate = p.u.data; break;
          case DTV_INNER_FEC: t.fec = p.u.data; break;
          case DTV_MODULATION: t.modulation = p.u.data; break;
          case DTV_ROLLOFF: t.rolloff = p.u.data; break;
          case DTV_PILOT: t.pilot = p.u.data; break;
          case DTV_TUNE: tune = true; break;
          default: break;
        }
      }
      log_.push_back(std::string("tune ") + SystemName(t.deliverySystem) + " " + std::to_string(t.frequency) + " " +
                     std::to_string(t.symbolRate) + (tune ? "" : " (no DTV_TUNE)"));
      tunings_.push_back(t);
      tunedSystem_ = t.deliverySystem;
      statusReads_ = 0;
      refused_ = (driver.strictQpsk && t.deliverySystem == SYS_DVBS && t.modulation != QPSK) ||
                 (driver.strictQpsk && t.deliverySystem == SYS_DVBS2 && t.modulation != QPSK &&
                  t.modulation != PSK_8) ||
                 (driver.explicitS2 && t.deliverySystem == SYS_DVBS2 &&
                  (t.fec == FEC_AUTO || t.rolloff == ROLLOFF_AUTO));
      if (refused_) log_.push_back("refused");
      return 0;
    }
    case FE_READ_STATUS:
      log_.push_back("status");
      *static_cast<fe_status_t*>(arg) =
          refused_ || !lockOn.count(tunedSystem_) ? fe_status_t(0)
          : ++statusReads_ > lockAfterReads        ? fe_status_t(FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_LOCK)
                                                   : fe_status_t(FE_HAS_SIGNAL);
      return 0;
    case FE_GET_PROPERTY: {
      log_.push_back("get property");
      const auto& fe = frontends_[frontendPaths_[fd]];
      auto* list = static_cast<dtv_properties*>(arg);
      for (uint32_t i = 0; i < list->num; ++i) {
        dtv_property& p = list->props[i];
        if (p.cmd == DTV_ENUM_DELSYS) {
          if (fe.legacyOnly) {
            errno = EINVAL;
            return -1;
          }
          p.u.buffer.len = static_cast<uint32_t>(fe.systems.size());
          for (size_t k = 0; k < fe.systems.size(); ++k) p.u.buffer.data[k] = static_cast<uint8_t>(fe.systems[k]);
        } else if (p.cmd == DTV_STAT_SIGNAL_STRENGTH || p.cmd == DTV_STAT_CNR) {
          const auto& stat = p.cmd == DTV_STAT_CNR ? cnrStat : signalStat;
          p.u.st.len = static_cast<uint8_t>(stat.size());
          for (size_t k = 0; k < stat.size(); ++k) p.u.st.stat[k] = stat[k];
        }
      }
      return 0;
    }
    case FE_GET_INFO: {
      log_.push_back("get info");
      const auto& fe = frontends_[frontendPaths_[fd]];
      auto* info = static_cast<dvb_frontend_info*>(arg);
      *info = {};
      std::snprintf(info->name, sizeof info->name, "%s", driver.name.c_str());
      for (const uint32_t s : fe.systems) {
        if (s == SYS_DVBS) info->type = FE_QPSK;
        if (s == SYS_DVBT) info->type = FE_OFDM;
        if (s == SYS_DVBS2) info->caps = fe_caps(info->caps | FE_CAN_2G_MODULATION);
      }
      return 0;
    }
    case FE_READ_SIGNAL_STRENGTH:
      *static_cast<uint16_t*>(arg) = legacySignal;
      return 0;
    case FE_READ_SNR:
      *static_cast<uint16_t*>(arg) = legacySnr;
      return 0;
    case DMX_SET_BUFFER_SIZE:
      if (value > largestBuffer) {
        errno = ENOMEM;
        return -1;
      }
      lastBufferSize_ = value;
      log_.push_back("demux buffer");
      return 0;
    case DMX_SET_PES_FILTER: {
      lastPes_ = *static_cast<dmx_pes_filter_params*>(arg);
      file->second.pid = lastPes_.pid;
      log_.push_back("demux filter " + std::to_string(lastPes_.pid));
      return 0;
    }
    case DMX_STOP:
      log_.push_back("demux stop");
      return 0;
    default:
      log_.push_back("ioctl ?");
      errno = ENOTTY;
      return -1;
  }
}

int TFakeKernel::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  auto ready = [&] {
    int n = 0;
    for (nfds_t i = 0; i < count; ++i) {
      const auto f = files_.find(fds[i].fd);
      fds[i].revents = f == files_.end() ? POLLNVAL
                       : vanished_        ? POLLERR
                       : Readable(f->second) ? (f->second.errors.empty() ? POLLIN : POLLERR)
                                             : 0;
      n += fds[i].revents != 0;
    }
    return n;
  };
  ++polls_;
  int n = 0;
  fed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return (n = ready()) > 0; });
  return n;
}

ssize_t TFakeKernel::Read(int fd, void* to, size_t size) {
  std::lock_guard lock(mutex_);
  ++reads_;
  const auto f = files_.find(fd);
  if (f == files_.end()) {
    log_.push_back("read on a closed file");
    errno = EBADF;
    return -1;
  }
  if (!f->second.errors.empty()) {
    errno = f->second.errors.front();
    f->second.errors.pop_front();
    return -1;
  }
  if (f->second.queue.empty()) {
    errno = EAGAIN;
    return -1;
  }
  auto& chunk = f->second.queue.front();
  const size_t n = std::min(size, chunk.size());
  std::memcpy(to, chunk.data(), n);
  chunk.erase(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(n));
  if (chunk.empty()) f->second.queue.pop_front();
  return static_cast<ssize_t>(n);
}

int TFakeKernel::Close(int fd) {
  std::lock_guard lock(mutex_);
  if (files_.erase(fd) == 0) {
    log_.push_back("close of a closed file");
    errno = EBADF;
    return -1;
  }
  frontendPaths_.erase(fd);
  log_.push_back("close");
  return 0;
}

void TFakeKernel::Sleep(int ms) {
  std::lock_guard lock(mutex_);
  pauses_.push_back(ms);
  log_.push_back("pause");
}
