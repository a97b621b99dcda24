#include "capture/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "server/AudioServer.h"
#include "base/Cp1251.h"
#include "base/InOutError.h"

std::atomic<bool> Recording{false};

namespace {

std::atomic<CaptureTarget*> g_target{nullptr};
std::atomic<int> g_deliveriesInside{0};

// Appends all bytes in one write; a short write counts as failed.
bool AppendChunk(int fd, const uint8_t* data, int32_t count, int& err) {
  ssize_t n;
  do {
    n = ::write(fd, data, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  if (n == count) return true;
  err = n < 0 ? errno : ENOSPC;
  return false;
}

// Hands m audio bytes to the channel's stream and, when it is recorded (the
// chunk came while recording was on and the row is ticked), to its file.
// True when they were appended.
bool PassOn(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* out, int32_t m, bool recorded) {
  if (target.Server && s.FeedsSource) target.Server->FeedSource(s.ChannelName, out, m);
  if (!recorded || !s.Ticked || s.AppendStopped || s.OutputFile < 0) return false;
  int err = 0;
  if (!AppendChunk(s.OutputFile, out, m, err)) {
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
    appended = PassOn(target, s, row, s.Encoded, r, recorded) || appended;
    if (!s.Encoder.HoldsMore()) break;
  }
  if (appended) Counted(target, s, row, n);
}

void PassThrough(CaptureTarget& target, CaptureSession& s, size_t row, const uint8_t* chunk, int32_t n,
                 bool recorded) {
  if (PassOn(target, s, row, chunk, n, recorded)) Counted(target, s, row, n);
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

  const bool mp3 = target.Format && target.Format->load(std::memory_order_relaxed) == RecordFormat::Mp3;
  const bool restart = mp3 && !s.LastChunkMp3;
  s.LastChunkMp3 = mp3;
  const bool recorded = Recording.load(std::memory_order_acquire);
  TEncoderPool* pool = target.Encoders;
  if (!mp3) {
    // Behind re-encoded chunks still on their way, a broadcast chunk waits
    // its turn, or the file would get them out of order.
    if (pool && !pool->Idle(row)) pool->Submit(row, s.Chunk, n, TChunkKind::PassThrough, recorded);
    else PassThrough(target, s, row, s.Chunk, n, recorded);
    return;
  }
  if (!s.Encoder.Ready() || n <= 0) return;
  const TChunkKind kind = restart ? TChunkKind::RestartAndReencode : TChunkKind::Reencode;
  if (pool) pool->Submit(row, s.Chunk, n, kind, recorded);
  else Reencode(target, s, row, s.Chunk, n, restart, recorded);
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

TPreparedFile PrepareOutputFile(const std::string& fileName) {
  TPreparedFile file;
  file.OsName = text::Cp1251ToUtf8(fileName);
  file.Fd = ::open(file.OsName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (file.Fd >= 0) {
    file.Created = true;
    return file;
  }
  if (errno != EEXIST) throw text::EInOutError(errno);
  file.Fd = ::open(file.OsName.c_str(), O_RDWR | O_CLOEXEC);
  if (file.Fd < 0) throw text::EInOutError(errno);
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
    if (::ftruncate(s->OutputFile, 0) != 0) {
      err = errno;
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
    if (CaptureTarget* target = g_target.load(std::memory_order_seq_cst)) Deliver(*target, data, number);
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
