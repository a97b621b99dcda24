#include "capture/CaptureSession.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "server/AudioServer.h"
#include "text/Cp1251.h"
#include "text/InOutError.h"

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

void Deliver(CaptureTarget& target, const uint8_t* data, int32_t number) {
  TSessions& sessions = *target.Sessions;
  if (number < 1 || static_cast<size_t>(number) > sessions.Count()) return;
  const size_t row = static_cast<size_t>(number) - 1;
  CaptureSession& s = sessions[row];

  const int off = PayloadOffset(data);
  if (off < kPacketLength) s.Ring.Write(data + off, kPacketLength - off);
  if (s.Ring.Count() <= kChunkBytes) return;
  const int32_t n = s.Ring.Read(s.Chunk, kChunkBytes);

  const uint8_t* out = s.Chunk;
  int32_t m = n;
  const bool mp3 = target.Format && target.Format->load(std::memory_order_relaxed) == RecordFormat::Mp3;
  if (mp3 && !s.LastChunkMp3) s.Encoder.CloseEncoder();  // held frames belong to audio long gone
  s.LastChunkMp3 = mp3;
  if (mp3) {
    m = 0;
    if (s.Encoder.Ready() && n > 0) {
      const int32_t r = s.Encoder.Recode(s.Chunk, n, s.Encoded, kEncodedCapacity);
      if (r > 0) m = r;
    }
    out = s.Encoded;
  }
  if (m <= 0) return;
  if (target.Server && s.FeedsSource) target.Server->FeedSource(s.ChannelName, out, m);

  if (!Recording.load(std::memory_order_acquire) || !s.Ticked || s.AppendStopped || s.OutputFile < 0)
    return;
  int err = 0;
  if (!AppendChunk(s.OutputFile, out, m, err)) {
    // This channel stops recording; what the file already holds stays intact
    // and streaming and the other channels go on.
    s.AppendStopped = true;
    s.CloseOutputFile();
    if (target.AppendFailed) target.AppendFailed(row, text::InOutErrorMessage(err));
    return;
  }
  s.BytesRecorded += n;
  if (target.SizeText) target.SizeText(row, SizeText(s.BytesRecorded));
}

} // namespace

CaptureSession::CaptureSession() {
  Encoder.OutSampleRate = 0;
  Encoder.ChannelMode = 2;
  Encoder.Bitrate = 320;
  Encoder.Preset = 2;
}

CaptureSession::~CaptureSession() { CloseOutputFile(); }

void CaptureSession::CloseOutputFile() {
  if (OutputFile >= 0) {
    ::close(OutputFile);
    OutputFile = -1;
  }
}

void TSessions::AddSession(const std::string& fileName, const std::string& channelName, bool ticked) {
  auto s = std::make_unique<CaptureSession>();
  s->ChannelName = channelName;
  s->Ticked = ticked;
  if (ticked) {
    const std::string osName = text::Cp1251ToUtf8(fileName);
    s->OutputFile = ::open(osName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (s->OutputFile < 0) throw text::EInOutError(errno);
  }
  sessions_.push_back(std::move(s));
}

void TSessions::CloseFiles() {
  for (auto& s : sessions_)
    if (s->Ticked) s->CloseOutputFile();
}

void TSessions::RemoveAll() {
  while (!sessions_.empty()) sessions_.pop_back();
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
