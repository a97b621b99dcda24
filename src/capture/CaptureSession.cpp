#include "capture/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "server/AudioServer.h"
#include "base/Cp1251.h"
#include "base/FileLock.h"
#include "base/InOutError.h"

std::atomic<bool> Recording{false};

namespace {

std::atomic<CaptureTarget*> g_target{nullptr};
std::atomic<int> g_deliveriesInside{0};
std::atomic<uint64_t> g_delivered{0};

// Writes the newest title into the log, at the time the file has reached,
// before the bytes that came with it.
void LogTitle(CaptureTarget& target, CaptureSession& s, size_t row) {
  if (!s.LatestTitle || s.LatestTitle == s.LoggedTitle || s.TitleLogStopped) return;
  // Stations repeat their text every few seconds: the first one heard that
  // early was already on when the recording began.
  constexpr double kLeadInSeconds = 5.0;
  const double at = !s.LoggedTitle && s.FileSeconds < kLeadInSeconds ? 0.0 : s.FileSeconds;
  s.LoggedTitle = s.LatestTitle;
  if (const int err = s.TitleLog.Append(at, *s.LatestTitle)) {
    s.TitleLogStopped = true;
    s.TitleLog.Close();
    if (target.TitleLogFailed) target.TitleLogFailed(row, s.TitleLog.Name(), text::InOutErrorMessage(err));
  }
}

// Appends all bytes in one write; a short write counts as failed and is cut
// off again, so the file ends on the last whole chunk it took. `kbps` is the
// bit rate of what is written (0: not known).
bool AppendChunk(CaptureSession& s, const uint8_t* data, int32_t count, int32_t kbps, int& err) {
  ssize_t n;
  do {
    n = ::write(s.OutputFile, data, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  if (n == count) {
    s.FileBytes += count;
    if (kbps > 0) s.FileSeconds += static_cast<double>(count) * 8.0 / (kbps * 1000.0);
    return true;
  }
  err = n < 0 ? errno : ENOSPC;
  if (n > 0 && ::ftruncate(s.OutputFile, s.FileBytes) != 0) {
    // The part stays; the run still reports the channel as stopped.
  }
  return false;
}

// Hands m audio bytes to the channel's stream and, when it is recorded (the
// chunk came while recording was on and the row is ticked), to its file.
// True when they were appended.
bool PassOn(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* out, int32_t m, int32_t kbps,
            bool recorded) {
  if (target.Server && s.FeedsSource) target.Server->FeedSource(s.ChannelName, out, m);
  if (!recorded || !s.Ticked || s.AppendStopped || s.OutputFile < 0) return false;
  LogTitle(target, s, row);
  int err = 0;
  if (!AppendChunk(s, out, m, kbps, err)) {
    // This channel stops recording; what the file already holds stays intact
    // and streaming and the other channels go on.
    s.AppendStopped = true;
    s.CloseOutputFile();
    if (target.AppendFailed) target.AppendFailed(row, text::InOutErrorMessage(err));
    return false;
  }
  return true;
}

// The row's count goes by the broadcast bytes a recorded chunk held.
void Counted(CaptureTarget& target, CaptureSession& s, size_t row, int32_t n) {
  s.BytesRecorded += n;
  if (target.SizeText) target.SizeText(row, SizeText(s.BytesRecorded));
}

// Audio at a low rate can encode to more than one buffer: what the decoder
// still holds is fetched at once, so nothing piles up there.
void Reencode(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n, bool restart,
              bool recorded) {
  if (restart) s.Encoder.CloseEncoder();  // held frames belong to audio long gone
  bool appended = false;
  for (int32_t r = s.Encoder.Recode(chunk, n, s.Encoded, kEncodedCapacity); r > 0;
       r = s.Encoder.Recode(nullptr, 0, s.Encoded, kEncodedCapacity)) {
    const auto kbps = static_cast<int32_t>(s.Encoder.Config().format.LHV1.dwBitrate);
    appended = PassOn(target, s, row, s.Encoded, r, kbps, recorded) || appended;
    if (!s.Encoder.HoldsMore()) break;
  }
  if (appended) Counted(target, s, row, n);
}

void PassThrough(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n,
                 bool recorded) {
  if (PassOn(target, s, row, chunk, n, s.BroadcastKbps.load(std::memory_order_relaxed), recorded))
    Counted(target, s, row, n);
}

// Reads the chunk for "now playing"; on a change tells the front end and the
// channel's listeners, and returns a new title for the log (null otherwise).
std::shared_ptr<const std::string> ReadTitles(CaptureTarget& target, CaptureSession& s, size_t row,
                                              int32_t n) {
  const bool changed = s.Titles.Feed(s.Chunk, static_cast<size_t>(n));
  if (const int32_t kbps = s.Titles.BitrateKbps(); kbps > 0) s.BroadcastKbps.store(kbps, std::memory_order_relaxed);
  if (!changed) return nullptr;
  const std::string title = text::CodePointsToUtf8(s.Titles.Text());
  if (target.TitleChanged) target.TitleChanged(row, text::CodePointsToUtf8(s.Titles.ProgrammeService()), title);
  if (target.Server && s.FeedsSource)
    if (const auto source = target.Server->FindSourceObject(s.ChannelName)) source->SetTitle(title);
  if (s.Titles.TextChanges() == s.TextChangesSeen) return nullptr;  // the name alone changed
  s.TextChangesSeen = s.Titles.TextChanges();
  if (title.empty() || !s.Ticked) return nullptr;  // a clear ends nothing in the log
  return std::make_shared<const std::string>(title);
}

void Deliver(CaptureTarget& target, const uint8_t* data, int32_t number) {
  TSessions& sessions = *target.Sessions;
  if (number < 1 || static_cast<size_t>(number) > sessions.Count()) return;
  const size_t row = static_cast<size_t>(number) - 1;
  CaptureSession& s = sessions[row];
  if (s.NoAudio) return;

  const int off = PayloadOffset(data);
  if (off < kPacketLength) s.Ring.Write(data + off, kPacketLength - off);
  if (s.Ring.Count() <= kChunkBytes) return;
  const int32_t n = s.Ring.Read(s.Chunk, kChunkBytes);
  std::shared_ptr<const std::string> title;
  if (target.ReadTitles && n > 0) title = ReadTitles(target, s, row, n);

  const bool mp3 = target.Format && target.Format->load(std::memory_order_relaxed) == RecordFormat::Mp3;
  const bool restart = mp3 && !s.LastChunkMp3;
  s.LastChunkMp3 = mp3;
  const bool recorded = Recording.load(std::memory_order_acquire);
  TEncoderPool* pool = target.Encoders;
  if (!mp3) {
    // Behind re-encoded chunks still on their way, a broadcast chunk waits
    // its turn, or the file would get them out of order.
    if (pool && !pool->Idle(row)) {
      pool->Submit(row, s.Chunk, n, TChunkKind::PassThrough, recorded, std::move(title));
    } else {
      if (title) s.LatestTitle = std::move(title);
      PassThrough(target, s, row, s.Chunk, n, recorded);
    }
    return;
  }
  if (!s.Encoder.Ready() || n <= 0) return;
  const TChunkKind kind = restart ? TChunkKind::RestartAndReencode : TChunkKind::Reencode;
  if (pool) {
    pool->Submit(row, s.Chunk, n, kind, recorded, std::move(title));
  } else {
    if (title) s.LatestTitle = std::move(title);
    Reencode(target, s, row, s.Chunk, n, restart, recorded);
  }
}

} // namespace

CaptureSession::CaptureSession() {
  Encoder.OutSampleRate = 0;
  Encoder.ChannelMode = 2;
  Encoder.Bitrate = 320;
  Encoder.Preset = 2;
}

CaptureSession::~CaptureSession() { CloseOutputFile(); }

int CaptureSession::CloseOutputFile() {
  if (OutputFile < 0) return 0;
  // The descriptor is gone whatever close says; EINTR must not be retried.
  const int r = ::close(OutputFile);
  OutputFile = -1;
  return r == 0 || errno == EINTR ? 0 : errno;
}

TPreparedFile& TPreparedFile::operator=(TPreparedFile&& other) noexcept {
  if (this != &other) {
    if (Fd >= 0) ::close(Fd);
    Fd = std::exchange(other.Fd, -1);
    Created = std::exchange(other.Created, false);
    KeepEarlier = std::exchange(other.KeepEarlier, false);
    OsName = std::move(other.OsName);
  }
  return *this;
}

TPreparedFile::~TPreparedFile() {
  if (Fd >= 0) ::close(Fd);
}

void TPreparedFile::Abandon() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
  if (Created) ::unlink(OsName.c_str());
  Created = false;
}

namespace {

// Open for recording, without following a symbolic link in the last place.
int OpenRecording(const std::string& osName, int extraFlags) {
  return ::open(osName.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | extraFlags, 0644);
}

void LockOrThrow(TPreparedFile& file) {
  std::string holder;
  if (text::TryLockExclusive(file.Fd, holder)) return;
  file.Abandon();
  throw EFileLocked(holder);
}

// Renames the file to its aside name without replacing anything; 0 or errno.
int MoveAside(const std::string& osName, time_t modified, std::string& aside) {
  for (int attempt = 1; attempt <= 100; ++attempt) {
    aside = AsideFileName(osName, modified, attempt);
    if (::renameat2(AT_FDCWD, osName.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno == EEXIST) continue;
    if (errno != EINVAL) return errno;
    // A file system without the no-replace rename: a link fails on a taken name too.
    if (::link(osName.c_str(), aside.c_str()) == 0) return ::unlink(osName.c_str()) == 0 ? 0 : errno;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// Moves what the locked file holds aside (to `aside`) and puts a new, locked,
// empty file under its name in `fd`'s place; 0 or errno, the file left as it
// was.
int StartAfresh(int& fd, const std::string& osName, std::string& aside) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if (st.st_size == 0) return 0;
  if (const int err = MoveAside(osName, st.st_mtime, aside)) {
    aside.clear();
    return err;
  }
  const int fresh = OpenRecording(osName, O_CREAT | O_EXCL);
  if (fresh < 0) return errno;
  std::string holder;
  if (!text::TryLockExclusive(fresh, holder)) {
    ::close(fresh);
    return EBUSY;
  }
  ::close(fd);
  fd = fresh;
  return 0;
}

} // namespace

std::string AsideFileName(const std::string& fileName, time_t modified, int attempt) {
  static const std::string kExtension = ".mp3";
  std::string base = fileName;
  if (base.size() >= kExtension.size() && base.compare(base.size() - kExtension.size(), kExtension.size(), kExtension) == 0)
    base.resize(base.size() - kExtension.size());
  struct tm local {};
  ::localtime_r(&modified, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H-%M-%S", &local);
  return base + " (" + stamp + (attempt > 1 ? ", " + std::to_string(attempt) : "") + ")" + kExtension;
}

TPreparedFile PrepareOutputFile(const std::string& fileName, bool keepEarlier) {
  TPreparedFile file;
  file.OsName = fileName;
  file.KeepEarlier = keepEarlier;
  file.Fd = OpenRecording(file.OsName, O_CREAT | O_EXCL);
  if (file.Fd >= 0) {
    file.Created = true;
    LockOrThrow(file);
    return file;
  }
  if (errno != EEXIST) throw text::EInOutError(errno);
  file.Fd = OpenRecording(file.OsName, 0);
  if (file.Fd < 0) throw text::EInOutError(errno);
  LockOrThrow(file);
  return file;
}

void TSessions::AddSession(const std::string& fileName, const std::string& channelName, bool ticked) {
  TPreparedFile file;
  if (ticked) file = PrepareOutputFile(fileName);
  if (const int err = AddSession(fileName, channelName, ticked, std::move(file))) throw text::EInOutError(err);
}

int TSessions::AddSession(const std::string& fileName, const std::string& channelName, bool ticked,
                          TPreparedFile file) {
  auto s = std::make_unique<CaptureSession>();
  s->ChannelName = channelName;
  s->FileName = fileName;
  s->Ticked = ticked;
  int err = 0;
  if (ticked) {
    s->OutputFile = file.Fd;
    file.Fd = -1;
    std::string aside;
    err = file.KeepEarlier ? StartAfresh(s->OutputFile, file.OsName, aside) : 0;
    if (err == 0 && ::ftruncate(s->OutputFile, 0) != 0) err = errno;
    // The log of the earlier recording goes with it; a log that cannot be
    // made way for shows up at its first line instead.
    s->TitleLog.SetName(TitleLogName(file.OsName.empty() ? fileName : file.OsName));
    if (err == 0) (void)PrepareTitleLog(s->TitleLog.Name(), file.KeepEarlier, aside);
    if (err != 0) {
      s->CloseOutputFile();
      s->AppendStopped = true;
    }
  } else {
    file.Abandon();
  }
  sessions_.push_back(std::move(s));
  return err;
}

std::vector<TCloseFailure> TSessions::CloseFiles() {
  std::vector<TCloseFailure> failed;
  for (size_t r = 0; r < sessions_.size(); ++r) {
    CaptureSession& s = *sessions_[r];
    if (!s.Ticked) continue;
    s.TitleLog.Close();
    if (const int err = s.CloseOutputFile()) failed.push_back({r, s.ChannelName, s.FileName, err});
  }
  return failed;
}

void TSessions::RemoveAll() {
  while (!sessions_.empty()) sessions_.pop_back();
}

void ProcessPooledChunk(CaptureTarget& target, size_t row, const TPoolChunk& chunk) {
  if (!target.Sessions || row >= target.Sessions->Count()) return;
  CaptureSession& s = (*target.Sessions)[row];
  if (chunk.Title) s.LatestTitle = chunk.Title;
  if (chunk.Kind == TChunkKind::PassThrough)
    PassThrough(target, s, row, chunk.Bytes.data(), chunk.Size, chunk.Recorded);
  else
    Reencode(target, s, row, chunk.Bytes.data(), chunk.Size, chunk.Kind == TChunkKind::RestartAndReencode,
             chunk.Recorded);
}

void AttachCapture(CaptureTarget* target) { g_target.store(target, std::memory_order_seq_cst); }

void DetachCapture() {
  g_target.store(nullptr, std::memory_order_seq_cst);
  // A delivery that entered before the store may still use the target; one
  // that enters after it sees none.
  while (g_deliveriesInside.load(std::memory_order_seq_cst) != 0) ::usleep(1000);
}

uint64_t DeliveredPackets() { return g_delivered.load(std::memory_order_relaxed); }

int PayloadOffset(const uint8_t* p) {
  int off = 4;
  if (p[3] & 0x20) off = 5 + p[4];
  if ((p[1] & 0x40) && off + 3 < kPacketLength && p[off] == 0 && p[off + 1] == 0 && p[off + 2] == 1) {
    const uint8_t id = p[off + 3];
    if (id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 || id == 0xF8)
      off += 6;
    else if (off + 8 < kPacketLength)
      off += 9 + p[off + 8];
  }
  return off;
}

void OnTsPacket(const uint8_t* data, int32_t length, int32_t number) {
  if (length != kPacketLength || !data || data[0] != 0x47) return;
  g_deliveriesInside.fetch_add(1, std::memory_order_seq_cst);
  try {
    if (CaptureTarget* target = g_target.load(std::memory_order_seq_cst)) {
      g_delivered.fetch_add(1, std::memory_order_relaxed);
      Deliver(*target, data, number);
    }
  } catch (...) {
    // Nothing may escape onto the card's thread.
  }
  g_deliveriesInside.fetch_sub(1, std::memory_order_seq_cst);
}

std::string SizeText(int64_t bytes) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%5.1f mb", static_cast<double>(bytes) / 1024.0 / 1024.0);
  return buf;
}
