#include "EmulatorCard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TsTiming.h"

namespace emulator {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlockPackets = 512;
constexpr size_t kProbeBytes = 2 * 1024 * 1024;
constexpr double kFallbackByteRate = 250000;  // 2 Mbit/s when the file has no time stamps
constexpr auto kAckTimeout = std::chrono::seconds(2);
constexpr uint64_t kPcrJump = 5 * kPcrHz;  // a larger step is a discontinuity
constexpr auto kMaxLag = std::chrono::seconds(1);
constexpr const char* kSpeedVariable = "MELLOWCASTER_EMULATOR_SPEED";
constexpr double kMaxSpeed = 1000;

// MELLOWCASTER_EMULATOR_SPEED replays faster than real time (a factor, 0 = as
// fast as the capture takes it), so long runs can be tried in minutes. Unset
// or unreadable: real time, and an unreadable value says so once.
double SpeedFromEnvironment() {
  const char* text = std::getenv(kSpeedVariable);
  if (!text || !*text) return 1.0;
  char* end = nullptr;
  errno = 0;
  const double factor = std::strtod(text, &end);
  if (errno == 0 && end && *end == '\0' && factor >= 0 && factor <= kMaxSpeed) return factor;
  std::fprintf(stderr, "Emulator: %s=%s ignored (0 to %g); replaying in real time\n", kSpeedVariable,
               text, kMaxSpeed);
  return 1.0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads until the buffer is full or the file ends; -1 on a read error.
ssize_t ReadFully(int fd, uint8_t* to, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, to + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// How the replay keeps real time: by the PCR of one PID, or by a byte rate.
struct TPacer {
  int pcrPid = -1;
  double byteRate = kFallbackByteRate;
  bool haveBase = false;
  uint64_t pcrBase = 0, lastPcr = 0;
  uint64_t bytesSinceBase = 0;
  Clock::time_point wallBase;

  // Finds the PCR PID or byte rate from the start of the file.
  void Probe(int fd) {
    std::vector<uint8_t> head(kProbeBytes);
    const ssize_t n = ::pread(fd, head.data(), head.size(), 0);
    pcrPid = -1;
    byteRate = kFallbackByteRate;
    if (n <= 0) return;
    size_t start = 0;
    while (start < static_cast<size_t>(n) && head[start] != 0x47) ++start;
    for (size_t at = start; at + kPacketSize <= static_cast<size_t>(n); at += kPacketSize) {
      if (PacketPcr(head.data() + at)) {
        pcrPid = PacketPid(head.data() + at);
        break;
      }
    }
    const double rate = EstimateByteRate(head.data() + start, static_cast<size_t>(n) - start);
    if (rate > 0) byteRate = rate;
  }
  void Rebase() { haveBase = false; }

  // When the packet should go out at `speed`, or nullopt for "now".
  std::optional<Clock::time_point> Due(const uint8_t* p, double speed) {
    if (speed <= 0) return std::nullopt;
    const auto now = Clock::now();
    if (pcrPid >= 0) {
      if (PacketPid(p) != pcrPid) return std::nullopt;
      const auto pcr = PacketPcr(p);
      if (!pcr) return std::nullopt;
      const bool jump = *pcr < lastPcr || *pcr - lastPcr > kPcrJump;
      lastPcr = *pcr;
      if (!haveBase || jump) {
        haveBase = true;
        pcrBase = *pcr;
        wallBase = now;
        return std::nullopt;
      }
      const auto due = wallBase + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                      double(*pcr - pcrBase) / kPcrHz / speed));
      if (now - due > kMaxLag) {  // far behind (slow callbacks): do not burst to catch up
        pcrBase = *pcr;
        wallBase = now;
        return std::nullopt;
      }
      return due;
    }
    if (!haveBase) {
      haveBase = true;
      bytesSinceBase = 0;
      wallBase = now;
    }
    bytesSinceBase += kPacketSize;
    if (bytesSinceBase % (64 * kPacketSize) != 0) return std::nullopt;
    return wallBase + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(double(bytesSinceBase) / byteRate / speed));
  }
};

} // namespace

TEmulatorCard::TEmulatorCard(std::string dataFolder)
    : folder_(std::move(dataFolder)), speed_(SpeedFromEnvironment()) {}

TEmulatorCard::~TEmulatorCard() { Close(); }

int32_t TEmulatorCard::Open() {
  std::unique_lock lock(mutex_);
  if (open_) return 1;
  if (!IsDirectory(folder_)) return 0;
  if (thread_.joinable()) {  // closed from inside a callback: finish that thread first
    std::thread old = std::move(thread_);
    lock.unlock();
    old.join();
    lock.lock();
  }
  open_ = true;
  stop_ = false;
  held_ = false;
  tunedPath_.clear();
  ++tuneSerial_;
  delivered_ = 0;
  replayed_ = 0;
  thread_ = std::thread(&TEmulatorCard::Run, this);
  return 1;
}

void TEmulatorCard::Close() {
  std::unique_lock lock(mutex_);
  open_ = false;
  stop_ = true;
  tunedPath_.clear();
  held_ = false;
  for (auto& list : byPid_) list.clear();
  for (auto& count : filtersOnPid_) count.store(0, std::memory_order_relaxed);
  slots_.clear();
  handles_.Clear();
  ++controlSerial_;
  wake_.notify_all();
  if (OnDeliveryThread() || !thread_.joinable()) return;  // a callback's Close is joined by Open or the destructor
  std::thread t = std::move(thread_);
  lock.unlock();
  t.join();
}

int32_t TEmulatorCard::SendDiSEqC(int32_t port) {
  std::lock_guard lock(mutex_);
  diseqc_ = port;
  return 1;
}

int32_t TEmulatorCard::SetTuner(const TTunerParams& params) {
  std::unique_lock lock(mutex_);
  if (!open_) return 0;
  const char polarisation = params.Voltage == 13 ? 'V' : params.Voltage == 18 ? 'H' : 0;
  // Plain snprintf: std::to_string would pull in a GNU-unique symbol, and such
  // a library can never be unloaded.
  char name[32];
  std::snprintf(name, sizeof name, "/%u%c.ts", params.Frequency / 1000, polarisation);
  const std::string path = folder_ + name;
  const bool found = polarisation != 0 && IsRegularFile(path);
  tunedPath_ = found ? path : std::string();
  ++tuneSerial_;
  held_ = false;
  restartOnce_ = false;
  Poke(lock);
  return found ? 1 : 0;
}

int32_t TEmulatorCard::GetTunerStatus(uint8_t* level, uint8_t* quality) {
  std::lock_guard lock(mutex_);
  const bool locked = open_ && !tunedPath_.empty();
  // A little wander, as a real meter shows.
  noise_ ^= noise_ << 13;
  noise_ ^= noise_ >> 17;
  noise_ ^= noise_ << 5;
  if (level) *level = locked ? static_cast<uint8_t>(70 + noise_ % 16) : 0;
  if (quality) *quality = locked ? static_cast<uint8_t>(80 + (noise_ >> 8) % 16) : 0;
  return locked ? 1 : 0;
}

int32_t TEmulatorCard::AddFilter(int32_t pid, TFilterCallback callback) {
  std::lock_guard lock(mutex_);
  if (!open_) return 0;
  if (pid < 0 || pid > 0x1FFF || !callback) {
    handles_.Refuse();
    return 0;
  }
  uint32_t slot = 0;
  while (slot < slots_.size() && slots_[slot].serial != 0) ++slot;
  const int32_t handle = handles_.Add(slot);
  if (handle == 0) return 0;
  if (slot == slots_.size()) slots_.emplace_back();
  slots_[slot] = TFilter{nextSerial_++, static_cast<uint16_t>(pid), callback, handle, handles_.WholePackets()};
  byPid_[pid].push_back(slot);
  filtersOnPid_[pid].fetch_add(1, std::memory_order_relaxed);
  return handle;
}

void TEmulatorCard::DelFilter(int32_t handle) {
  std::unique_lock lock(mutex_);
  const auto entry = handles_.Remove(handle);
  if (!entry) return;
  const auto slot = static_cast<uint32_t>(*entry);
  const TFilter filter = slots_[slot];
  auto& list = byPid_[filter.pid];
  list.erase(std::find(list.begin(), list.end(), slot));
  filtersOnPid_[filter.pid].fetch_sub(1, std::memory_order_relaxed);
  slots_[slot] = TFilter{};
  // The delivery thread runs one callback at a time, so on it no delivery to
  // this filter can be under way unless this is its own callback.
  if (OnDeliveryThread()) return;
  ++deleteWaiters_;
  changed_.wait(lock, [&] { return inFlight_ != filter.serial; });
  --deleteWaiters_;
}

void TEmulatorCard::SetCount(int32_t mode) {
  std::lock_guard lock(mutex_);
  handles_.SetCount(mode);
}

int32_t TEmulatorCard::SetReplaySpeed(double factor) {
  if (!(factor >= 0) || std::isinf(factor)) return 0;
  std::unique_lock lock(mutex_);
  speed_ = factor;
  ++controlSerial_;
  wake_.notify_all();
  return 1;
}

int32_t TEmulatorCard::SetFilterLimit(int32_t limit) {
  std::lock_guard lock(mutex_);
  return handles_.SetLimit(limit);
}

int32_t TEmulatorCard::Hold(bool on) {
  std::unique_lock lock(mutex_);
  held_ = on;
  Poke(lock);
  return 1;
}

int32_t TEmulatorCard::BeginReplayOnce() {
  std::unique_lock lock(mutex_);
  if (!open_ || tunedPath_.empty()) return 0;
  restartOnce_ = true;
  held_ = false;
  ++onceRequested_;
  ++controlSerial_;
  wake_.notify_all();
  return 1;
}

int32_t TEmulatorCard::WaitReplayEnd(int32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (onceRequested_ == 0) return 0;
  const uint64_t wanted = onceRequested_;
  return changed_.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)),
                           [&] { return onceFinished_ >= wanted; })
             ? 1
             : 0;
}

int32_t TEmulatorCard::FilterCount() {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(handles_.Size());
}

int32_t TEmulatorCard::LastDiSEqC() {
  std::lock_guard lock(mutex_);
  return diseqc_;
}

void TEmulatorCard::Poke(std::unique_lock<std::mutex>& lock) {
  const uint64_t serial = ++controlSerial_;
  wake_.notify_all();
  if (OnDeliveryThread() || !thread_.joinable()) return;
  changed_.wait_for(lock, kAckTimeout, [&] { return seenSerial_ >= serial || stop_; });
}

void TEmulatorCard::Dispatch(const uint8_t* packet, std::vector<TTarget>& targets) {
  const uint16_t pid = PacketPid(packet);
  if (filtersOnPid_[pid].load(std::memory_order_relaxed) == 0) return;
  std::unique_lock lock(mutex_);
  targets.clear();
  for (const uint32_t slot : byPid_[pid]) {
    const TFilter& f = slots_[slot];
    targets.push_back({slot, f.serial, f.callback, f.handle, f.wholePackets});
  }
  for (const TTarget& t : targets) {
    if (!lock.owns_lock()) lock.lock();
    // An earlier callback, or another thread, may have removed this one.
    if (t.slot >= slots_.size() || slots_[t.slot].serial != t.serial) continue;
    inFlight_ = t.serial;
    lock.unlock();
    if (t.wholePackets)
      t.callback(packet, static_cast<int32_t>(kPacketSize), t.handle);
    else
      t.callback(packet + 4, static_cast<int32_t>(kPacketSize - 4), t.handle);
    delivered_.fetch_add(1, std::memory_order_relaxed);
    lock.lock();
    inFlight_ = 0;
    if (deleteWaiters_ > 0) changed_.notify_all();
  }
}

void TEmulatorCard::Run() {
  threadId_.store(std::this_thread::get_id());
  std::vector<uint8_t> buffer(kBlockPackets * kPacketSize);
  std::vector<TTarget> targets;
  size_t pos = 0, len = 0;
  int fd = -1;
  uint64_t openedTune = 0;
  uint64_t onceInProgress = 0;  // request number of the single replay under way, 0: looping
  uint64_t seen = 0;
  uint64_t pacedSerial = ~uint64_t{0};  // control serial the pacer's time base belongs to
  double speed = 1.0;
  size_t passPackets = 0;  // packets read since the file was last (re)started
  TPacer pacer;

  for (;;) {
    {  // Act on the controls; idle while there is nothing to replay.
      std::unique_lock lock(mutex_);
      for (;;) {
        seen = controlSerial_.load();
        if (stop_) {
          if (fd >= 0) ::close(fd);
          seenSerial_ = seen;
          threadId_.store(std::thread::id());
          changed_.notify_all();
          return;
        }
        if (tuneSerial_ != openedTune) {
          if (fd >= 0) ::close(fd);
          fd = tunedPath_.empty() ? -1 : ::open(tunedPath_.c_str(), O_RDONLY | O_CLOEXEC);
          openedTune = tuneSerial_;
          pos = len = 0;
          passPackets = 0;
          onceInProgress = 0;
          if (fd >= 0) pacer.Probe(fd);
        }
        if (restartOnce_) {
          restartOnce_ = false;
          if (fd >= 0) ::lseek(fd, 0, SEEK_SET);
          pos = len = 0;
          passPackets = 0;
          onceInProgress = onceRequested_;
        }
        speed = speed_;
        // Only a control change restarts the timing; a plain refill of the
        // read buffer must not, or a stream whose PCRs lie further apart than
        // one buffer would never be held back.
        if (seen != pacedSerial) {
          pacer.Rebase();
          pacedSerial = seen;
        }
        seenSerial_ = seen;
        changed_.notify_all();
        if (fd >= 0 && !held_) break;
        wake_.wait(lock, [&] { return controlSerial_.load() != seen; });
      }
    }

    if (len - pos < kPacketSize) {  // refill, keeping a partial packet
      std::memmove(buffer.data(), buffer.data() + pos, len - pos);
      len -= pos;
      pos = 0;
      const ssize_t got = ReadFully(fd, buffer.data() + len, buffer.size() - len);
      if (got > 0) len += static_cast<size_t>(got);
      if (len < kPacketSize) {  // end of file (or unreadable)
        pos = len = 0;
        std::unique_lock lock(mutex_);
        if (onceInProgress != 0) {
          onceFinished_ = onceInProgress;
          onceInProgress = 0;
          held_ = true;
          changed_.notify_all();
        } else {
          ::lseek(fd, 0, SEEK_SET);
          pacer.Rebase();
          // A file without a single packet must not spin.
          if (passPackets == 0)
            wake_.wait_for(lock, std::chrono::milliseconds(100),
                           [&] { return controlSerial_.load() != seen; });
          passPackets = 0;
        }
        continue;
      }
    }

    while (len - pos >= kPacketSize) {
      if (controlSerial_.load(std::memory_order_relaxed) != seen) break;
      const uint8_t* p = buffer.data() + pos;
      if (p[0] != 0x47) {  // lost sync: skip to the next sync byte
        const void* next = std::memchr(p + 1, 0x47, len - pos - 1);
        pos = next ? static_cast<size_t>(static_cast<const uint8_t*>(next) - buffer.data()) : len;
        continue;
      }
      if (const auto due = pacer.Due(p, speed); due && *due > Clock::now()) {
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, *due, [&] { return controlSerial_.load() != seen; })) break;
      }
      replayed_.fetch_add(1, std::memory_order_relaxed);
      ++passPackets;
      Dispatch(p, targets);
      pos += kPacketSize;
    }
  }
}

} // namespace emulator
