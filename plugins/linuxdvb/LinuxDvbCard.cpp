#include "LinuxDvbCard.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace linuxdvb {
namespace {

constexpr size_t kPacketSize = 188;
constexpr int kMaxAdapters = 16;
constexpr int kBusPauseMs = 15;      // DiSEqC: at least 15 ms after a voltage change and a command
constexpr int kLnbPowerUpMs = 200;   // a switched-off LNB and its switches start before they listen
constexpr int kLockPollMs = 50;
constexpr int kLockPolls = 40;       // 2 s per attempt, as dvbv5-zap and szap-s2 wait
constexpr int kPollTimeoutMs = 50;   // bounds how long Close waits for the thread
// Some seconds of a 320 kbit/s channel behind a slow callback; for 250
// filters that is 64 MiB of kernel memory, not the 256 MiB a megabyte each
// would ask for.
constexpr unsigned long kDemuxBufferBytes = 256 * 1024;
constexpr unsigned long kSmallestDemuxBuffer = 64 * 1024;
constexpr size_t kReadBytes = 256 * kPacketSize;

void* Value(unsigned long v) { return reinterpret_cast<void*>(v); }

uint8_t Clamp100(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 100.0) + 0.5); }

// The meters' scales. Level: -85 dBm and below reads 0, -25 dBm and above
// 100. Quality: C/N 0..15 dB, the span between no picture and a very good
// dish for QPSK/8PSK.
uint8_t LevelOfDbm(double dbm) { return Clamp100((dbm + 85.0) * 100.0 / 60.0); }
uint8_t QualityOfDb(double db) { return Clamp100(db * 100.0 / 15.0); }

// A statistic in 0..100, or -1 when the frontend does not offer it. Of the
// layers a driver may give, one in dB is preferred to a relative one.
int ScaleStat(const dtv_property& p, bool signal) {
  const dtv_stats* relative = nullptr;
  for (uint32_t i = 0; i < p.u.st.len && i < MAX_DTV_STATS; ++i) {
    const dtv_stats& s = p.u.st.stat[i];
    if (s.scale == FE_SCALE_DECIBEL) {
      const double db = double(s.svalue) / 1000.0;
      return signal ? LevelOfDbm(db) : QualityOfDb(db);
    }
    if (s.scale == FE_SCALE_RELATIVE && !relative) relative = &s;
  }
  return relative ? Clamp100(double(relative->uvalue) * 100.0 / 65535.0) : -1;
}

int32_t ReasonOfOpen(int error) {
  switch (error) {
    case EBUSY: return kReasonBusy;
    case EACCES:
    case EPERM: return kReasonPermission;
    default: return kReasonNoCard;
  }
}

} // namespace

bool ParseDeviceChoice(const std::string& text, TDeviceChoice& choice) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    for (char& c : line)
      if (c == '=' || c == '\r' || c == '\t') c = ' ';
    char name[16];
    int value = 0;
    char rest = 0;
    const int got = std::sscanf(line.c_str(), " %15s %d %c", name, &value, &rest);
    if (got <= 0) continue;  // blank or comment
    if (got != 2 || value < 0) return false;
    if (std::strcmp(name, "adapter") == 0)
      choice.adapter = value;
    else if (std::strcmp(name, "frontend") == 0)
      choice.frontend = value;
    else if (std::strcmp(name, "demux") == 0)
      choice.demux = value;
    else
      return false;
  }
  return true;
}

TLinuxDvbCard::TLinuxDvbCard(TKernelApi& kernel, std::string configPath)
    : kernel_(kernel), configPath_(std::move(configPath)) {}

TLinuxDvbCard::~TLinuxDvbCard() {
  Close();
  if (thread_.joinable()) thread_.join();  // a Close made from a callback left it to us
}

TLinuxDvbCard::TDriverRules TLinuxDvbCard::RulesFor(const char* frontendName) {
  std::string name = frontendName ? frontendName : "";
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  TDriverRules rules;
  // cx24116 and cx24117 check DVB-S2 code rate and roll-off against tables
  // without the AUTO values.
  rules.explicitS2 = name.find("cx24116") != std::string::npos || name.find("cx24117") != std::string::npos;
  rules.stb0899Units = name.find("stb0899") != std::string::npos;
  return rules;
}

int TLinuxDvbCard::FindFrontend(const TDeviceChoice& choice, int& adapter, int& frontend) {
  const int first = choice.adapter >= 0 ? choice.adapter : 0;
  const int last = choice.adapter >= 0 ? choice.adapter : kMaxAdapters - 1;
  int32_t reason = kReasonNoCard;
  for (int a = first; a <= last; ++a) {
    char path[64];
    std::snprintf(path, sizeof path, "/dev/dvb/adapter%d/frontend%d", a, choice.frontend);
    const int fd = kernel_.Open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
      // A busy or forbidden adapter says more than the missing ones after it.
      const int32_t why = ReasonOfOpen(errno);
      if (why == kReasonBusy || (why == kReasonPermission && reason == kReasonNoCard)) reason = why;
      continue;
    }
    bool dvbS = false, dvbS2 = false;
    dvb_frontend_info info{};
    const bool haveInfo = kernel_.Ioctl(fd, FE_GET_INFO, &info) == 0;
    dtv_property p{};
    p.cmd = DTV_ENUM_DELSYS;
    dtv_properties list{1, &p};
    if (kernel_.Ioctl(fd, FE_GET_PROPERTY, &list) == 0 && p.u.buffer.len > 0) {
      for (uint32_t i = 0; i < p.u.buffer.len && i < sizeof p.u.buffer.data; ++i) {
        dvbS |= p.u.buffer.data[i] == SYS_DVBS;
        dvbS2 |= p.u.buffer.data[i] == SYS_DVBS2;
      }
    } else if (haveInfo && info.type == FE_QPSK) {
      dvbS = true;  // a driver from before the property interface
      dvbS2 = (info.caps & FE_CAN_2G_MODULATION) != 0;
    }
    if (dvbS || dvbS2) {
      canDvbS2_ = dvbS2;
      info.name[sizeof info.name - 1] = 0;
      rules_ = RulesFor(haveInfo ? info.name : "");
      adapter = a;
      frontend = choice.frontend;
      return fd;
    }
    kernel_.Close(fd);
  }
  reason_ = reason;
  return -1;
}

int32_t TLinuxDvbCard::Open() {
  std::lock_guard tune(tuneMutex_);
  std::unique_lock lock(mutex_);
  if (open_) return 1;
  reason_ = kReasonNone;
  TDeviceChoice choice;
  if (std::FILE* f = configPath_.empty() ? nullptr : std::fopen(configPath_.c_str(), "r")) {
    std::string text;
    char chunk[512];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
    if (!ParseDeviceChoice(text, choice)) {  // better no card than the wrong one
      reason_ = kReasonNoCard;
      return 0;
    }
  }
  int adapter = 0, frontend = 0;
  const int fd = FindFrontend(choice, adapter, frontend);
  if (fd < 0) return 0;
  if (thread_.joinable()) {  // closed from inside a callback: finish that thread first
    std::thread old = std::move(thread_);
    lock.unlock();
    old.join();
    lock.lock();
  }
  char path[64];
  std::snprintf(path, sizeof path, "/dev/dvb/adapter%d/demux%d", adapter,
                choice.demux >= 0 ? choice.demux : frontend);
  // A card that tunes but cannot deliver is no card for recording.
  const int demux = kernel_.Open(path, O_RDWR | O_NONBLOCK);
  if (demux < 0) {
    kernel_.Close(fd);
    reason_ = errno == EBUSY || errno == EACCES || errno == EPERM ? ReasonOfOpen(errno) : kReasonNoDemux;
    return 0;
  }
  kernel_.Close(demux);
  demuxPath_ = path;
  frontendFd_ = fd;
  lnbPowered_ = false;
  lost_ = false;
  open_ = true;
  stop_ = false;
  thread_ = std::thread(&TLinuxDvbCard::Run, this);
  return 1;
}

void TLinuxDvbCard::Close() {
  std::lock_guard tune(tuneMutex_);
  std::unique_lock lock(mutex_);
  if (frontendFd_ >= 0) kernel_.Close(frontendFd_);
  frontendFd_ = -1;
  open_ = false;
  lost_ = false;
  stop_ = true;
  for (const auto& [serial, f] : filters_)
    if (f.fd >= 0) pendingClose_.push_back(f.fd);
  filters_.clear();
  handles_.Clear();
  ++filtersSerial_;
  wake_.notify_all();
  if (OnDeliveryThread()) return;  // the thread closes the files as it ends; Open or the destructor joins it
  if (thread_.joinable()) {
    std::thread t = std::move(thread_);
    lock.unlock();
    t.join();
    lock.lock();
  }
  ClosePending();
}

int32_t TLinuxDvbCard::SendDiSEqC(int32_t port) {
  std::lock_guard tune(tuneMutex_);
  diseqcPort_ = port >= 1 && port <= 8 ? port : 0;
  return diseqcPort_ != 0 ? 1 : 0;
}

int32_t TLinuxDvbCard::SetTuner(const TTunerParams& params) {
  std::lock_guard tune(tuneMutex_);
  if (lost_ && frontendFd_ >= 0) LoseDevice(true);
  if (frontendFd_ < 0) return 0;
  if (params.Voltage != 13 && params.Voltage != 18) return 0;  // no polarisation to select
  const bool horizontal = params.Voltage == 18;
  const bool toneOn = params.Tone != 0;
  const int fd = frontendFd_;

  // The tone must be off while the bus carries the DiSEqC command.
  kernel_.Ioctl(fd, FE_SET_TONE, Value(SEC_TONE_OFF));
  kernel_.Ioctl(fd, FE_SET_VOLTAGE, Value(horizontal ? SEC_VOLTAGE_18 : SEC_VOLTAGE_13));
  kernel_.Sleep(lnbPowered_ ? kBusPauseMs : kLnbPowerUpMs);
  lnbPowered_ = true;
  if (diseqcPort_ != 0) {
    // Committed switch: the port picks one of four inputs; polarisation and
    // band travel with it, as the switch decides them for the chosen LNB.
    const int input = (diseqcPort_ - 1) & 3;
    const auto committed = static_cast<uint8_t>(0xF0 | (input << 2) | (horizontal ? 2 : 0) | (toneOn ? 1 : 0));
    if (diseqcPort_ <= 4) {
      SendDiseqcCommand(0xE0, 0x38, committed);
    } else {
      // Ports 5 to 8: input 1 to 4 of an uncommitted (DiSEqC 1.1) switch,
      // which an 8-input switch reads alone and a cascade reads in front of
      // the committed one. A switch behind another hears the bus only once
      // the first has switched, hence the repeat.
      const auto uncommitted = static_cast<uint8_t>(0xF0 | (diseqcPort_ - 5));
      SendDiseqcCommand(0xE0, 0x38, committed);
      SendDiseqcCommand(0xE0, 0x39, uncommitted);
      SendDiseqcCommand(0xE1, 0x38, committed);  // 0xE1: a repeated transmission
      SendDiseqcCommand(0xE1, 0x39, uncommitted);
    }
    // Simple A/B (tone burst) switches hear only this.
    kernel_.Ioctl(fd, FE_DISEQC_SEND_BURST, Value((diseqcPort_ - 1) % 2 == 0 ? SEC_MINI_A : SEC_MINI_B));
    kernel_.Sleep(kBusPauseMs);
  }
  kernel_.Ioctl(fd, FE_SET_TONE, Value(toneOn ? SEC_TONE_ON : SEC_TONE_OFF));

  // C band has the oscillator above the transponder, Ku band below it.
  const int64_t difference = int64_t(params.Frequency) - int64_t(params.LocalOscillator);
  const auto intermediate = static_cast<uint32_t>(difference < 0 ? -difference : difference);
  // DVB-S is always QPSK, and strict drivers refuse anything else. For
  // DVB-S2 the explicit values tuning tools use, 8PSK first as radio
  // transponders mostly are. A driver that takes no FEC_AUTO there is given
  // a code rate to pass its check: the demodulator reads the real one from
  // each frame's header. Three attempts of 2 s bound the whole tuning.
  const uint32_t s2Fec8psk = rules_.explicitS2 ? FEC_3_4 : FEC_AUTO;
  const uint32_t s2FecQpsk = rules_.explicitS2 ? FEC_3_4 : FEC_AUTO;
  const TAttempt attempts[] = {
      {SYS_DVBS, QPSK, FEC_AUTO, ROLLOFF_35},
      {SYS_DVBS2, PSK_8, s2Fec8psk, ROLLOFF_35},
      {SYS_DVBS2, QPSK, s2FecQpsk, ROLLOFF_35},
  };
  for (const TAttempt& a : attempts) {
    if (a.system == SYS_DVBS2 && !canDvbS2_) break;
    if (Tune(a, intermediate, params.SymbolRate) && WaitForLock()) return 1;
    if (lost_) {
      LoseDevice(true);
      return 0;
    }
  }
  return 0;
}

void TLinuxDvbCard::SendDiseqcCommand(uint8_t framing, uint8_t command, uint8_t data) {
  dvb_diseqc_master_cmd cmd{};
  cmd.msg[0] = framing;  // from the master, no reply wanted
  cmd.msg[1] = 0x10;     // to any LNB or switch
  cmd.msg[2] = command;
  cmd.msg[3] = data;
  cmd.msg_len = 4;
  kernel_.Ioctl(frontendFd_, FE_DISEQC_SEND_MASTER_CMD, &cmd);
  kernel_.Sleep(kBusPauseMs);
}

bool TLinuxDvbCard::Tune(const TAttempt& attempt, uint32_t intermediateKHz, uint32_t symbolRate) {
  dtv_property p[10]{};
  uint32_t n = 0;
  auto set = [&](uint32_t cmd, uint32_t data) {
    p[n].cmd = cmd;
    p[n++].u.data = data;
  };
  set(DTV_CLEAR, 0);
  set(DTV_DELIVERY_SYSTEM, attempt.system);
  set(DTV_FREQUENCY, intermediateKHz);
  set(DTV_SYMBOL_RATE, symbolRate);
  set(DTV_INNER_FEC, attempt.fec);
  set(DTV_MODULATION, attempt.modulation);
  set(DTV_INVERSION, INVERSION_AUTO);
  if (attempt.system == SYS_DVBS2) {
    set(DTV_PILOT, PILOT_AUTO);
    set(DTV_ROLLOFF, attempt.rolloff);
  }
  set(DTV_TUNE, 0);
  dtv_properties list{n, p};
  if (kernel_.Ioctl(frontendFd_, FE_SET_PROPERTY, &list) == 0) return true;
  if (errno == ENODEV) lost_ = true;
  return false;
}

bool TLinuxDvbCard::WaitForLock() {
  for (int i = 0; i < kLockPolls; ++i) {
    fe_status_t status{};
    if (kernel_.Ioctl(frontendFd_, FE_READ_STATUS, &status) == 0) {
      if (status & FE_HAS_LOCK) return true;
    } else if (errno == ENODEV) {
      lost_ = true;
      return false;
    }
    kernel_.Sleep(kLockPollMs);
  }
  return false;
}

void TLinuxDvbCard::ReadMeters(bool locked, int& level, int& quality) {
  dtv_property p[2]{};
  p[0].cmd = DTV_STAT_SIGNAL_STRENGTH;
  p[1].cmd = DTV_STAT_CNR;
  dtv_properties list{2, p};
  level = quality = -1;
  if (kernel_.Ioctl(frontendFd_, FE_GET_PROPERTY, &list) == 0) {
    level = ScaleStat(p[0], true);
    quality = ScaleStat(p[1], false);
  }
  // Older drivers give only the legacy readings, in units of their own:
  // 0..65535 by convention, or stb0899's.
  uint16_t raw = 0;
  if (level < 0 && kernel_.Ioctl(frontendFd_, FE_READ_SIGNAL_STRENGTH, &raw) == 0)
    level = rules_.stb0899Units ? LevelOfDbm((int16_t(raw) - 750) / 10.0) : Clamp100(raw / 655.35);
  raw = 0;
  if (quality < 0 && kernel_.Ioctl(frontendFd_, FE_READ_SNR, &raw) == 0)
    quality = rules_.stb0899Units ? QualityOfDb(int16_t(raw) / 10.0) : Clamp100(raw / 655.35);
  level = std::max(level, 0);
  // A C/N before lock measures noise, not the transponder.
  quality = locked ? std::max(quality, 0) : 0;
}

int32_t TLinuxDvbCard::GetTunerStatus(uint8_t* level, uint8_t* quality) {
  std::lock_guard tune(tuneMutex_);
  int lv = 0, q = 0;
  bool locked = false;
  if (!lost_ && frontendFd_ >= 0) {
    fe_status_t status{};
    if (kernel_.Ioctl(frontendFd_, FE_READ_STATUS, &status) == 0) {
      locked = (status & FE_HAS_LOCK) != 0;
      // The level shows before lock: it is what the user aims the dish by.
      ReadMeters(locked, lv, q);
    } else if (errno == ENODEV) {
      lost_ = true;
    }
  }
  if (lost_) {
    if (frontendFd_ >= 0) LoseDevice(true);
    lv = q = 0;
  }
  if (level) *level = static_cast<uint8_t>(lv);
  if (quality) *quality = static_cast<uint8_t>(q);
  return lost_ ? kTunerStatusLost : locked ? 1 : 0;
}

int TLinuxDvbCard::OpenDemux(uint16_t pid) {
  const int fd = kernel_.Open(demuxPath_.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) return -1;
  // A smaller buffer than asked for still works: no reason to refuse the
  // filter, but the kernel's 8 KiB default loses packets behind any slow
  // callback, so a refusal of every size is told.
  unsigned long size = kDemuxBufferBytes;
  while (kernel_.Ioctl(fd, DMX_SET_BUFFER_SIZE, Value(size)) != 0) {
    if (size <= kSmallestDemuxBuffer) {
      reason_ = kReasonBufferRefused;
      break;
    }
    size /= 2;
  }
  dmx_pes_filter_params filter{};
  filter.pid = pid;
  filter.input = DMX_IN_FRONTEND;
  filter.output = DMX_OUT_TSDEMUX_TAP;  // whole packets of this PID, read from this file
  filter.pes_type = DMX_PES_OTHER;
  filter.flags = DMX_IMMEDIATE_START;
  if (kernel_.Ioctl(fd, DMX_SET_PES_FILTER, &filter) != 0) {
    kernel_.Close(fd);
    return -1;
  }
  return fd;
}

int32_t TLinuxDvbCard::AddFilter(int32_t pid, TFilterCallback callback) {
  std::unique_lock lock(mutex_);
  if (!open_ || lost_) return 0;
  int fd = -1;
  const bool acceptable = pid >= 0 && pid <= 0x1FFF && callback && !handles_.Full();
  if (acceptable) fd = OpenDemux(static_cast<uint16_t>(pid));
  if (fd < 0 && acceptable && !pendingClose_.empty() && !OnDeliveryThread()) {
    // The adapter may be short of the filters just removed, whose files the
    // delivery thread has yet to close: let it, then try once more.
    changed_.wait_for(lock, std::chrono::seconds(1), [&] { return pendingClose_.empty() || stop_; });
    if (!stop_) fd = OpenDemux(static_cast<uint16_t>(pid));
  }
  if (fd < 0) {
    handles_.Refuse();
    return 0;
  }
  const uint64_t serial = nextSerial_++;
  // Refused only when other callers filled the table during the wait above;
  // the file never reached the delivery thread, so it is closed here.
  const int32_t handle = handles_.Add(serial);
  if (handle == 0) {
    kernel_.Close(fd);
    return 0;
  }
  filters_[serial] = TFilter{static_cast<uint16_t>(pid), callback, handle, handles_.WholePackets(), fd, false};
  ++filtersSerial_;
  wake_.notify_all();
  return handle;
}

void TLinuxDvbCard::DelFilter(int32_t handle) {
  std::unique_lock lock(mutex_);
  const auto entry = handles_.Remove(handle);
  if (!entry) return;
  const uint64_t serial = *entry;
  const auto f = filters_.find(serial);
  if (f->second.fd >= 0) {
    kernel_.Ioctl(f->second.fd, DMX_STOP, nullptr);  // frees the adapter's filter now
    pendingClose_.push_back(f->second.fd);
  }
  filters_.erase(f);
  ++filtersSerial_;
  wake_.notify_all();
  // The delivery thread runs one callback at a time, so on it no delivery to
  // this filter can be under way unless this is its own callback.
  if (OnDeliveryThread()) return;
  ++deleteWaiters_;
  changed_.wait(lock, [&] { return inFlight_ != serial; });
  --deleteWaiters_;
}

int64_t TLinuxDvbCard::FilterOverflows(int32_t handle) {
  std::lock_guard lock(mutex_);
  const auto serial = handles_.Find(handle);
  if (!serial) return -1;
  const auto it = filters_.find(*serial);
  return it == filters_.end() ? -1 : it->second.overflows;
}

void TLinuxDvbCard::SetCount(int32_t mode) {
  std::lock_guard lock(mutex_);
  handles_.SetCount(mode);
}

void TLinuxDvbCard::ClosePending() {
  if (pendingClose_.empty()) return;
  for (const int fd : pendingClose_) kernel_.Close(fd);
  pendingClose_.clear();
  changed_.notify_all();
}

void TLinuxDvbCard::LoseDevice(bool holdingTune) {
  lost_ = true;
  // The kernel finishes an unplugged adapter only once every file of it is
  // closed; until then a replugged card cannot come back.
  std::unique_lock tune(tuneMutex_, std::defer_lock);
  if (!holdingTune) tune.try_lock();  // a tuning under way closes the frontend itself
  std::lock_guard lock(mutex_);
  // Only the delivery thread closes demux files: it may be polling them.
  for (auto& [serial, f] : filters_) {
    if (f.fd >= 0) pendingClose_.push_back(f.fd);
    f.fd = -1;
    f.dead = true;
  }
  ++filtersSerial_;
  wake_.notify_all();
  if (OnDeliveryThread()) ClosePending();
  if ((holdingTune || tune.owns_lock()) && frontendFd_ >= 0) {
    kernel_.Close(frontendFd_);
    frontendFd_ = -1;
  }
}

bool TLinuxDvbCard::VanishedOn(uint64_t serial) {
  std::lock_guard lock(mutex_);
  // A filter removed since the poll was stopped, which also reads as an
  // error: only a filter still running tells of the device.
  const auto it = filters_.find(serial);
  return !stop_ && it != filters_.end() && !it->second.dead;
}

void TLinuxDvbCard::MarkDead(uint64_t serial) {
  std::lock_guard lock(mutex_);
  if (const auto it = filters_.find(serial); it != filters_.end()) it->second.dead = true;
  ++filtersSerial_;
}

bool TLinuxDvbCard::Deliver(uint64_t serial, const uint8_t* packet) {
  std::unique_lock lock(mutex_);
  const auto it = filters_.find(serial);
  if (stop_ || it == filters_.end()) return false;  // removed by an earlier callback or another thread
  const TFilter f = it->second;
  inFlight_ = serial;
  lock.unlock();
  if (f.wholePackets)
    f.callback(packet, static_cast<int32_t>(kPacketSize), f.handle);
  else
    f.callback(packet + 4, static_cast<int32_t>(kPacketSize - 4), f.handle);
  lock.lock();
  inFlight_ = 0;
  if (deleteWaiters_ > 0) changed_.notify_all();
  return true;
}

bool TLinuxDvbCard::ReadFilter(uint64_t serial, int fd, bool pollError, std::vector<uint8_t>& carry,
                               std::vector<uint8_t>& buffer) {
  const size_t kept = carry.size();
  if (kept != 0) std::memcpy(buffer.data(), carry.data(), kept);
  const ssize_t n = kernel_.Read(fd, buffer.data() + kept, buffer.size() - kept);
  if (n < 0) {
    const int error = errno;
    if (error == EOVERFLOW) {  // the kernel dropped what did not fit; what follows is good
      overflows_.fetch_add(1, std::memory_order_relaxed);
      std::lock_guard lock(mutex_);
      if (const auto it = filters_.find(serial); it != filters_.end()) ++it->second.overflows;
      carry.clear();
    } else if (error == ENODEV || (pollError && (error == EAGAIN || error == EWOULDBLOCK))) {
      // An unplugged adapter's demux polls as an error and reads as empty.
      if (VanishedOn(serial)) return false;
    } else if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR && error != ETIMEDOUT) {
      MarkDead(serial);  // the device failed: stop polling it
    }
    return true;
  }
  if (n == 0) {  // a demux file with no running filter behind it
    MarkDead(serial);
    return true;
  }
  const size_t len = kept + static_cast<size_t>(n);
  size_t pos = 0;
  while (len - pos >= kPacketSize) {
    const uint8_t* p = buffer.data() + pos;
    if (p[0] != 0x47) {  // lost sync: skip to the next sync byte
      const void* next = std::memchr(p + 1, 0x47, len - pos - 1);
      pos = next ? static_cast<size_t>(static_cast<const uint8_t*>(next) - buffer.data()) : len;
      continue;
    }
    if (!Deliver(serial, p)) {
      carry.clear();
      return true;
    }
    pos += kPacketSize;
  }
  carry.assign(buffer.begin() + static_cast<ptrdiff_t>(pos), buffer.begin() + static_cast<ptrdiff_t>(len));
  return true;
}

void TLinuxDvbCard::Run() {
  threadId_.store(std::this_thread::get_id());
  std::vector<uint8_t> buffer(kReadBytes + kPacketSize);
  std::vector<TWatch> watches;
  std::vector<pollfd> fds;
  std::map<uint64_t, std::vector<uint8_t>> carries;  // partial packets, by filter serial
  uint64_t seen = ~uint64_t{0};
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      for (;;) {
        ClosePending();
        if (stop_) {
          threadId_.store(std::thread::id());
          return;
        }
        if (seen != filtersSerial_) {
          seen = filtersSerial_;
          watches.clear();
          for (const auto& [serial, f] : filters_)
            if (!f.dead) watches.push_back({serial, f.fd});
        }
        if (!watches.empty()) break;
        wake_.wait(lock, [&] { return stop_ || seen != filtersSerial_ || !pendingClose_.empty(); });
      }
    }
    for (auto it = carries.begin(); it != carries.end();) {
      const bool watched = std::any_of(watches.begin(), watches.end(),
                                       [&](const TWatch& w) { return w.serial == it->first; });
      it = watched ? std::next(it) : carries.erase(it);
    }
    fds.clear();
    for (const TWatch& w : watches) fds.push_back({w.fd, POLLIN | POLLPRI, 0});
    const int ready = kernel_.Poll(fds.data(), fds.size(), kPollTimeoutMs);
    if (ready < 0) {
      if (errno != EINTR) {  // must not spin on a poll that keeps failing
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(kPollTimeoutMs), [&] { return stop_; });
      }
      continue;
    }
    for (size_t i = 0; i < fds.size() && ready > 0; ++i) {
      if (fds[i].revents & POLLNVAL) {
        MarkDead(watches[i].serial);
      } else if (fds[i].revents != 0 &&
                 !ReadFilter(watches[i].serial, watches[i].fd, (fds[i].revents & POLLERR) != 0,
                             carries[watches[i].serial], buffer)) {
        LoseDevice(false);
        break;  // every file just watched is closed
      }
    }
  }
}

} // namespace linuxdvb
