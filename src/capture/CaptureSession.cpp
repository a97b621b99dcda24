#include "capture/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <utility>

#include "capture/ArchiveChannel.h"
#include "server/AudioServer.h"
#include "base/MpegAudioHeader.h"
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

void Stream(CaptureTarget& target, CaptureSession& s, const uint8_t* out, int32_t m) {
  if (target.Server && s.FeedsSource) target.Server->FeedSource(s.ChannelName, out, m);
}

// Appends m bytes to the file being written, if there is one; true when they
// were appended.
bool Store(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* out, int32_t m, int32_t kbps) {
  if (m <= 0 || s.AppendStopped || s.OutputFile < 0) return false;
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

// Hands m audio bytes to the channel's stream and, when it is recorded (the
// chunk came while recording was on and the row is ticked), to its file.
// True when they were appended.
bool PassOn(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* out, int32_t m, int32_t kbps,
            bool recorded) {
  Stream(target, s, out, m);
  return recorded && s.Ticked && Store(target, s, row, out, m, kbps);
}

// The row's count goes by the broadcast bytes a recorded chunk held.
void Counted(CaptureTarget& target, CaptureSession& s, size_t row, int32_t n) {
  s.BytesRecorded += n;
  if (target.SizeText) target.SizeText(row, SizeText(s.BytesRecorded));
}

// Audio at a low rate can encode to more than one buffer: what the decoder
// still holds is fetched at once, so nothing piles up there. True when
// something was appended.
bool RecodeAndPassOn(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n,
                     bool recorded) {
  bool appended = false;
  for (int32_t r = s.Encoder.Recode(chunk, n, s.Encoded, kEncodedCapacity); r > 0;
       r = s.Encoder.Recode(nullptr, 0, s.Encoded, kEncodedCapacity)) {
    const auto kbps = static_cast<int32_t>(s.Encoder.Config().format.LHV1.dwBitrate);
    appended = PassOn(target, s, row, s.Encoded, r, kbps, recorded) || appended;
    if (!s.Encoder.HoldsMore()) break;
  }
  return appended;
}

// The archive's next file, for the bytes from a cut on, named by the time
// they came: the current file ends here. False when it could not be made; the
// channel then stops as after a failed append.
bool BeginArchiveFile(CaptureTarget& target, CaptureSession& s, size_t row, const std::string& extension,
                      std::chrono::steady_clock::time_point arrived) {
  s.TitleLog.Close();
  const std::string ended = s.OutputFile >= 0 ? s.FileName : std::string();
  if (const int err = s.CloseOutputFile(); err && target.FileNotice)
    target.FileNotice(row, "файл " + ended + " не закрыт (" + text::InOutErrorMessage(err) + ")");
  const auto late = std::chrono::steady_clock::now() - arrived;
  const auto wall =
      std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(late);
  TArchiveChannel::TOpened opened = s.Archive->OpenNext(extension, wall, arrived);
  if (opened.Fd < 0) {
    s.AppendStopped = true;
    if (target.AppendFailed)
      target.AppendFailed(row, "не удалось создать файл " + opened.Name + ": " + text::InOutErrorMessage(opened.Error));
    return false;
  }
  s.OutputFile = opened.Fd;
  s.FileName = opened.Name;
  s.FileBytes = 0;
  s.FileSeconds = 0;
  s.LoggedTitle.reset();  // the title on air is the new file's first line
  s.TitleLogStopped = false;
  s.TitleLog.SetName(opened.LogName);
  s.FilesBegun.fetch_add(1, std::memory_order_relaxed);
  if (opened.PlaylistError && target.FileNotice)
    target.FileNotice(row, "список файлов не пополнен файлом " + opened.Name + " (" +
                               text::InOutErrorMessage(opened.PlaylistError) + ")");
  return true;
}

// Layer III keeps its name; Layer II (and the Layer I nobody broadcasts) is
// what ".mp2" players expect.
std::string PassThroughExtension(const uint8_t* header) { return mpeg::Layer(header) == 1 ? "mp3" : "mp2"; }

// A broadcast chunk into the archive: the bytes up to the cut close the
// current file, the frame at the cut begins the next.
void PassThroughArchived(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n,
                         std::chrono::steady_clock::time_point arrived) {
  Stream(target, s, chunk, n);
  std::lock_guard<std::mutex> guard(s.ArchiveLock);
  if (s.AppendStopped) return;
  const int32_t kbps = s.BroadcastKbps.load(std::memory_order_relaxed);
  const size_t cut = s.Archive->CutIn(chunk, static_cast<size_t>(n), arrived, kbps);
  const auto before = cut == TArchiveChannel::kNoCut ? n : static_cast<int32_t>(cut);
  int32_t stored = Store(target, s, row, chunk, before, kbps) ? before : 0;
  if (cut != TArchiveChannel::kNoCut &&
      BeginArchiveFile(target, s, row, PassThroughExtension(chunk + cut), arrived) &&
      Store(target, s, row, chunk + cut, n - before, kbps))
    stored += n - before;
  if (stored > 0) Counted(target, s, row, stored);
}

// A chunk to re-encode into the archive: the part before the cut goes to the
// current file with what the encoder still holds, the rest starts a fresh
// frame sequence in the next file, the decoder going on across the cut.
void ReencodeArchived(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n,
                      std::chrono::steady_clock::time_point arrived) {
  std::lock_guard<std::mutex> guard(s.ArchiveLock);
  const size_t cut = s.AppendStopped ? TArchiveChannel::kNoCut
                                     : s.Archive->CutIn(chunk, static_cast<size_t>(n), arrived,
                                                        s.BroadcastKbps.load(std::memory_order_relaxed));
  const auto before = cut == TArchiveChannel::kNoCut ? n : static_cast<int32_t>(cut);
  bool appended = RecodeAndPassOn(target, s, row, chunk, before, true);
  if (cut != TArchiveChannel::kNoCut) {
    const auto kbps = static_cast<int32_t>(s.Encoder.Config().format.LHV1.dwBitrate);
    if (const int32_t r = s.Encoder.EndSequence(s.Encoded, kEncodedCapacity); r > 0)
      appended = PassOn(target, s, row, s.Encoded, r, kbps, true) || appended;
    if (BeginArchiveFile(target, s, row, "mp3", arrived))
      appended = RecodeAndPassOn(target, s, row, chunk + cut, n - before, true) || appended;
  }
  if (appended) Counted(target, s, row, n);
}

// Ends the archive file being written (ArchiveLock held) with what the
// encoder still holds of it: the file is then complete on its own.
void EndArchiveFile(CaptureTarget& target, CaptureSession& s, size_t row) {
  if (s.OutputFile < 0) return;
  if (const int32_t r = s.Encoder.EndSequence(s.Encoded, kEncodedCapacity); r > 0)
    Store(target, s, row, s.Encoded, r, static_cast<int32_t>(s.Encoder.Config().format.LHV1.dwBitrate));
  s.TitleLog.Close();
  if (const int err = s.CloseOutputFile(); err && target.FileNotice)
    target.FileNotice(row, "файл " + s.FileName + " не закрыт (" + text::InOutErrorMessage(err) + ")");
}

void Reencode(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n, bool restart,
              bool recorded, std::chrono::steady_clock::time_point arrived) {
  if (restart) s.Encoder.CloseEncoder();  // held frames belong to audio long gone
  if (s.Archive && recorded && s.Ticked) return ReencodeArchived(target, s, row, chunk, n, arrived);
  if (s.Archive && s.Ticked) {
    // Recording has ended and the stream's encoder goes on past the file's
    // last frame: its tail belongs in the file now, not at the close, when
    // it would follow frames the file never got.
    std::lock_guard<std::mutex> guard(s.ArchiveLock);
    EndArchiveFile(target, s, row);
  }
  if (RecodeAndPassOn(target, s, row, chunk, n, recorded)) Counted(target, s, row, n);
}

void PassThrough(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n,
                 bool recorded, std::chrono::steady_clock::time_point arrived) {
  if (s.Archive && recorded && s.Ticked) return PassThroughArchived(target, s, row, chunk, n, arrived);
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
  s.Packets.fetch_add(1, std::memory_order_relaxed);

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
  const auto arrived = s.Archive ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  TEncoderPool* pool = target.Encoders;
  if (!mp3) {
    // Behind re-encoded chunks still on their way, a broadcast chunk waits
    // its turn, or the file would get them out of order.
    if (pool && !pool->Idle(row)) {
      pool->Submit(row, s.Chunk, n, TChunkKind::PassThrough, recorded, std::move(title));
    } else {
      if (title) s.LatestTitle = std::move(title);
      PassThrough(target, s, row, s.Chunk, n, recorded, arrived);
    }
    return;
  }
  if (!s.Encoder.Ready() || n <= 0) return;
  const TChunkKind kind = restart ? TChunkKind::RestartAndReencode : TChunkKind::Reencode;
  if (pool) {
    pool->Submit(row, s.Chunk, n, kind, recorded, std::move(title));
  } else {
    if (title) s.LatestTitle = std::move(title);
    Reencode(target, s, row, s.Chunk, n, restart, recorded, arrived);
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
    // An archive file is complete on its own: it ends with what the encoder
    // still holds of it.
    if (const int32_t r = s.Archive && s.OutputFile >= 0 ? s.Encoder.EndSequence(s.Encoded, kEncodedCapacity) : 0;
        r > 0) {
      int err = 0;
      (void)AppendChunk(s, s.Encoded, r, 0, err);  // a tail that does not fit is cut off again
    }
    if (const int err = s.CloseOutputFile()) failed.push_back({r, s.ChannelName, s.FileName, err});
  }
  return failed;
}

void TSessions::AddArchivedSession(const std::string& channelName, std::unique_ptr<TArchiveChannel> archive) {
  auto s = std::make_unique<CaptureSession>();
  s->ChannelName = channelName;
  s->FileName = archive->Path();
  s->Ticked = true;
  s->Archive = std::move(archive);
  sessions_.push_back(std::move(s));
}

void TSessions::RemoveAll() {
  while (!sessions_.empty()) sessions_.pop_back();
}

void ProcessPooledChunk(CaptureTarget& target, size_t row, const TPoolChunk& chunk) {
  if (!target.Sessions || row >= target.Sessions->Count()) return;
  CaptureSession& s = (*target.Sessions)[row];
  if (chunk.Title) s.LatestTitle = chunk.Title;
  if (chunk.Kind == TChunkKind::PassThrough)
    PassThrough(target, s, row, chunk.Bytes.data(), chunk.Size, chunk.Recorded, chunk.Arrived);
  else
    Reencode(target, s, row, chunk.Bytes.data(), chunk.Size, chunk.Kind == TChunkKind::RestartAndReencode,
             chunk.Recorded, chunk.Arrived);
}

void InterruptArchive(CaptureTarget& target, size_t row, uint64_t packetsSeen) {
  if (!target.Sessions || row >= target.Sessions->Count()) return;
  CaptureSession& s = (*target.Sessions)[row];
  if (!s.Archive) return;
  std::lock_guard<std::mutex> guard(s.ArchiveLock);
  if (s.Packets.load(std::memory_order_relaxed) != packetsSeen || s.OutputFile < 0) return;
  EndArchiveFile(target, s, row);
  s.Archive->Interrupt();
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
