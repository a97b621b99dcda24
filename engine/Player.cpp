// One player: a thread that owns the decoder, the input and the output, and
// works through a queue of commands between frames. Everything it reports is
// posted to the sink as a stored notification that the receiving side
// collects with control_win32_params_to_message.
#include <mpg123.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Decoder.h"
#include "HttpStream.h"
#include "Output.h"
#include "xaudio.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHttpTimeoutMs = 5000;
// A live stream that sends nothing for this long is taken as lost.
constexpr int kStallLimitMs = 30000;
// A stream that gives no frame in this many bytes (some twenty of the largest
// frames) carries no MPEG audio.
constexpr size_t kNoAudioBytes = 64 * 1024;
constexpr auto kReportEvery = std::chrono::milliseconds(250);
constexpr uint32_t kDefaultPositionRange = 400;
constexpr size_t kMaxPendingNotes = 4096;
enum : uint8_t { kSourceInput = 1, kSourceOutput = 2, kSourceCodec = 3 };

struct Command {
  int Code = 0;
  int Ints[4] = {0, 0, 0, 0};
  std::string Str[2];
  std::vector<uint8_t> Blob;
};

// A notification with the storage its message points into.
struct Note {
  XA_Message Msg{};
  std::string Text[2];
  XA_EqualizerInfo Equalizer{};
};

}  // namespace

struct XA_Player {
  XA_NotificationSink Sink{};
  std::thread Thread;
  std::atomic<int> Priority{3};

  std::mutex QueueLock;
  std::condition_variable QueueWake;
  std::deque<Command> Queue;
  bool Exit = false;                    // under QueueLock
  std::atomic<uint64_t> Interrupts{0};  // commands that cut a blocking open short
  uint64_t interruptsSeen_ = 0;         // engine thread: the count when the open began

  std::mutex NotesLock;
  std::map<uint64_t, std::unique_ptr<Note>> Pending;
  std::unique_ptr<Note> Current;  // what the last decoded message points into
  uint64_t NextSeq = 1;

  // Engine thread only from here on.
  uint32_t NotifyMask = XA_NOTIFY_MASK_ALL;
  mpg123_handle* Decoder = nullptr;
  std::unique_ptr<xa::HttpStream> Http;
  std::string InputName;
  bool InputIsFile = false;
  bool InputEnded = false;
  int State = XA_PLAYER_STATE_STOPPED;
  std::string OutputName = "default";
  std::unique_ptr<xa::Output> Out;
  bool OutputStarted = false;
  long Rate = 0;
  int Channels = 0;
  off_t Length = 0;  // samples per channel, 0 when unknown
  off_t FileBytes = 0;  // the file's size when Length was last taken
  off_t PlayedSamples = 0;  // the decoder's count, for position and seeks
  // Time played, kept as time: each stretch of one output rate adds its own
  // samples at its own rate.
  uint64_t EarlierStretchesUs = 0;
  uint64_t StretchSamples = 0;
  xa::StreamParameters Shown{};  // what the last parameters notification said
  uint64_t ShownAt = 0;          // hundredths played then
  Clock::time_point LastReport{};
  Clock::time_point LastData{};
  size_t BytesSinceFrame = 0;  // fed to the decoder since its last frame
  bool AnyFrame = false;       // the input has given a frame
  uint32_t PositionRange = kDefaultPositionRange;
  XA_EqualizerInfo Equalizer{};
  int Master = 100, Pcm = 100, Balance = 50;
  bool Muted = false;
  std::vector<int16_t> Scaled;
  std::vector<uint8_t> ReadBuffer = std::vector<uint8_t>(16384);

  void Run();
  void Execute(Command& c);
  void DecodeStep();

  void Post(std::unique_ptr<Note> note, uint32_t maskBit);
  void Ack(int command);
  void Nack(int command, int code);
  void Error(uint8_t source, int code, const std::string& message);
  void NotifyState();
  void NotifyInputState(int state);
  void NotifyVolume();
  void NotifyEqualizer();
  void ReportProgress(bool force);
  void NotifyParameters();
  void RestartTime(off_t samples);
  uint64_t PlayedHundredths() const;
  void RefreshLength();

  bool OpenInput(const std::string& name);
  void CloseInput(bool notify);
  bool EnsureOutput();
  void FinishOutput(bool drain);
  void ApplyEqualizer();
  void SetState(int state);
  void EndOfInput(const char* why);
};

namespace {

std::unique_ptr<Note> MakeNote(int code) {
  auto n = std::make_unique<Note>();
  n->Msg.code = code;
  return n;
}

std::once_flag gMpg123Init;

}  // namespace

void XA_Player::Post(std::unique_ptr<Note> note, uint32_t maskBit) {
  if (maskBit && !(NotifyMask & maskBit)) return;
  const uint32_t msg = XA_MSG_BASE + static_cast<uint32_t>(note->Msg.code);
  uint64_t seq;
  {
    std::lock_guard<std::mutex> g(NotesLock);
    seq = NextSeq++;
    // A receiver that stopped collecting must not make the engine grow.
    if (Pending.size() >= kMaxPendingNotes) Pending.erase(Pending.begin());
    Pending.emplace(seq, std::move(note));
  }
  Sink.post(Sink.context, msg, static_cast<uintptr_t>(seq), reinterpret_cast<intptr_t>(this));
}

void XA_Player::Ack(int command) {
  auto n = MakeNote(XA_MSG_NOTIFY_ACK);
  n->Msg.data.ack = static_cast<uint8_t>(command);
  Post(std::move(n), XA_NOTIFY_MASK_ACK);
}

void XA_Player::Nack(int command, int code) {
  auto n = MakeNote(XA_MSG_NOTIFY_NACK);
  n->Msg.data.nack.command = static_cast<uint8_t>(command);
  n->Msg.data.nack.code = static_cast<int16_t>(code);
  Post(std::move(n), XA_NOTIFY_MASK_NACK);
}

void XA_Player::Error(uint8_t source, int code, const std::string& message) {
  auto n = MakeNote(XA_MSG_NOTIFY_ERROR);
  n->Text[0] = message;
  n->Msg.data.error.source = source;
  n->Msg.data.error.code = static_cast<int16_t>(code);
  n->Msg.data.error.message = n->Text[0].c_str();
  Post(std::move(n), XA_NOTIFY_MASK_ERROR);
}

void XA_Player::SetState(int state) {
  if (State == state) return;
  State = state;
  NotifyState();
}

void XA_Player::NotifyState() {
  auto n = MakeNote(XA_MSG_NOTIFY_PLAYER_STATE);
  n->Msg.data.state = State;
  Post(std::move(n), XA_NOTIFY_MASK_PLAYER_STATE);
}

void XA_Player::NotifyInputState(int state) {
  auto n = MakeNote(XA_MSG_NOTIFY_INPUT_STATE);
  n->Msg.data.state = state;
  Post(std::move(n), XA_NOTIFY_MASK_INPUT_STATE);
}

void XA_Player::NotifyVolume() {
  auto n = MakeNote(XA_MSG_NOTIFY_OUTPUT_VOLUME);
  n->Msg.data.volume.master_level = static_cast<uint8_t>(Master);
  n->Msg.data.volume.pcm_level = static_cast<uint8_t>(Pcm);
  n->Msg.data.volume.balance = static_cast<uint8_t>(Balance);
  Post(std::move(n), XA_NOTIFY_MASK_OUTPUT_VOLUME);
}

void XA_Player::NotifyEqualizer() {
  auto n = MakeNote(XA_MSG_NOTIFY_CODEC_EQUALIZER);
  n->Equalizer = Equalizer;
  n->Msg.data.equalizer = &n->Equalizer;
  Post(std::move(n), XA_NOTIFY_MASK_CODEC_EQUALIZER);
}

void XA_Player::ReportProgress(bool force) {
  const auto now = Clock::now();
  if (!force && now - LastReport < kReportEvery) return;
  LastReport = now;
  if (Rate <= 0) return;
  const uint64_t hundredths = PlayedHundredths();
  auto t = MakeNote(XA_MSG_NOTIFY_INPUT_TIMECODE);
  t->Msg.data.timecode.h = static_cast<uint8_t>(std::min<uint64_t>(hundredths / 360000, 255));
  t->Msg.data.timecode.m = static_cast<uint8_t>(hundredths / 6000 % 60);
  t->Msg.data.timecode.s = static_cast<uint8_t>(hundredths / 100 % 60);
  t->Msg.data.timecode.f = static_cast<uint8_t>(hundredths % 100);
  Post(std::move(t), XA_NOTIFY_MASK_INPUT_TIMECODE);
  if (InputIsFile) RefreshLength();
  if (InputIsFile && Length > 0) {
    auto p = MakeNote(XA_MSG_NOTIFY_INPUT_POSITION);
    const off_t at = std::min(PlayedSamples, Length);
    p->Msg.data.position.offset = static_cast<uint32_t>(static_cast<uint64_t>(at) * PositionRange / Length);
    p->Msg.data.position.range = PositionRange;
    Post(std::move(p), XA_NOTIFY_MASK_INPUT_POSITION);
  }
}

uint64_t XA_Player::PlayedHundredths() const {
  const uint64_t stretchUs = Rate > 0 ? StretchSamples * 1000000 / static_cast<uint64_t>(Rate) : 0;
  return (EarlierStretchesUs + stretchUs) / 10000;
}

// Playback goes on from `samples` into the input (a seek, a start from the top).
void XA_Player::RestartTime(off_t samples) {
  PlayedSamples = samples;
  EarlierStretchesUs = 0;
  StretchSamples = static_cast<uint64_t>(samples);
}

// Told whenever the stream's rate, mode or bit rate changes; a bit rate that
// changes from frame to frame (VBR) is told at most once per report period
// of audio, however fast the output takes it.
void XA_Player::NotifyParameters() {
  const xa::StreamParameters now = xa::CurrentParameters(Decoder);
  if (now == Shown || now.Rate <= 0) return;
  const bool formatChanged = now.Rate != Shown.Rate || now.Channels != Shown.Channels;
  const uint64_t played = PlayedHundredths();
  if (!formatChanged && played - ShownAt < static_cast<uint64_t>(kReportEvery.count() / 10)) return;
  Shown = now;
  ShownAt = played;
  auto n = MakeNote(XA_MSG_NOTIFY_STREAM_PARAMETERS);
  n->Msg.data.stream_parameters.frequency = static_cast<uint32_t>(now.Rate);
  n->Msg.data.stream_parameters.bitrate = static_cast<int16_t>(now.Bitrate);
  n->Msg.data.stream_parameters.nb_channels = static_cast<uint8_t>(now.Channels);
  Post(std::move(n), XA_NOTIFY_MASK_STREAM_PARAMETERS);
}

// A file that is still being recorded grows while it plays: its length is
// taken again whenever its size has changed.
void XA_Player::RefreshLength() {
  struct stat st {};
  if (InputName.empty() || ::stat(InputName.c_str(), &st) != 0 || st.st_size == FileBytes) return;
  FileBytes = st.st_size;
  mpg123_set_filesize(Decoder, FileBytes);
  const off_t length = mpg123_length(Decoder);
  if (length > 0) Length = length;
}

void XA_Player::ApplyEqualizer() {
  if (Decoder) xa::SetEqualizer(Decoder, Equalizer);
}

void XA_Player::CloseInput(bool notify) {
  const bool had = Decoder != nullptr;
  FinishOutput(false);
  if (Decoder) {
    mpg123_close(Decoder);
    mpg123_delete(Decoder);
    Decoder = nullptr;
  }
  Http.reset();
  InputName.clear();
  Rate = 0;
  Channels = 0;
  Length = 0;
  FileBytes = 0;
  RestartTime(0);
  Shown = {};
  if (had && notify) NotifyInputState(XA_INPUT_STATE_CLOSED);
}

bool XA_Player::OpenInput(const std::string& name) {
  Decoder = xa::NewDecoder();
  if (!Decoder) {
    Error(kSourceCodec, XA_ERROR_OUT_OF_MEMORY, "cannot create the decoder");
    return false;
  }
  ApplyEqualizer();

  xa::HttpAddress address;
  if (name.size() > 7 && strncasecmp(name.c_str(), "http://", 7) == 0) {
    if (!xa::ParseHttpAddress(name, address)) {
      Error(kSourceInput, XA_ERROR_INVALID_PARAMETERS, "not a valid address: " + name);
      CloseInput(false);
      return false;
    }
    Http = std::make_unique<xa::HttpStream>();
    // Cut short by a stop or another input, whether it came while connecting
    // or was already queued behind this open.
    const auto superseded = [&] {
      if (Interrupts.load() != interruptsSeen_) return true;
      std::lock_guard<std::mutex> g(QueueLock);
      return Exit || std::any_of(Queue.begin(), Queue.end(), [](const Command& q) {
               return q.Code == XA_MSG_COMMAND_STOP || q.Code == XA_MSG_COMMAND_INPUT_OPEN ||
                      q.Code == XA_MSG_COMMAND_INPUT_CLOSE;
             });
    };
    interruptsSeen_ = Interrupts.load();
    if (!Http->Open(address, kHttpTimeoutMs, superseded)) {
      Error(kSourceInput, Http->code(), Http->error());
      CloseInput(false);
      return false;
    }
    if (mpg123_open_feed(Decoder) != MPG123_OK) {
      Error(kSourceCodec, XA_ERROR_DECODE, mpg123_strerror(Decoder));
      CloseInput(false);
      return false;
    }
    InputIsFile = false;
    if (!Http->mimeType().empty()) {
      auto n = MakeNote(XA_MSG_NOTIFY_STREAM_MIME_TYPE);
      n->Text[0] = Http->mimeType();
      n->Msg.data.mime_type = n->Text[0].c_str();
      Post(std::move(n), 0);
    }
    LastData = Clock::now();
  } else {
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      Error(kSourceInput, XA_ERROR_OPEN_FAILED, "cannot open " + name + ": it is a folder");
      CloseInput(false);
      return false;
    }
    if (mpg123_open(Decoder, name.c_str()) != MPG123_OK) {
      Error(kSourceInput, XA_ERROR_OPEN_FAILED, "cannot open " + name + ": " + mpg123_strerror(Decoder));
      CloseInput(false);
      return false;
    }
    InputIsFile = true;
  }
  InputName = name;
  InputEnded = false;
  AnyFrame = false;
  BytesSinceFrame = 0;
  NotifyInputState(XA_INPUT_STATE_OPEN);
  auto n = MakeNote(XA_MSG_NOTIFY_INPUT_NAME);
  n->Text[0] = name;
  n->Msg.data.name = n->Text[0].c_str();
  Post(std::move(n), XA_NOTIFY_MASK_INPUT_NAME);
  return true;
}

bool XA_Player::EnsureOutput() {
  if (!Out) {
    std::string why;
    Out = xa::MakeOutput(OutputName, why);
    if (!Out) {
      Error(kSourceOutput, XA_ERROR_OUTPUT, why);
      return false;
    }
  }
  if (!OutputStarted && Rate > 0) {
    if (!Out->Start(Rate, Channels)) {
      Error(kSourceOutput, XA_ERROR_OUTPUT, Out->error());
      Out.reset();
      return false;
    }
    OutputStarted = true;
    if (Out->KeepsFirstFormat()) xa::HoldFormat(Decoder, Rate, Channels);
  }
  return true;
}

void XA_Player::FinishOutput(bool drain) {
  if (!Out) return;
  if (OutputStarted) {
    // A stop never waits for the device to play out what it holds.
    if (drain)
      Out->Finish();
    else
      Out->Abort();
  }
  OutputStarted = false;
}

void XA_Player::EndOfInput(const char* why) {
  ReportProgress(true);
  FinishOutput(true);
  // An ended stream is not played again: its server slot goes now.
  if (Http) Http->Close();
  InputEnded = true;
  if (why) Error(kSourceInput, XA_ERROR_STREAM_ENDED, why);
  SetState(XA_PLAYER_STATE_EOS);
  SetState(XA_PLAYER_STATE_STOPPED);
}

void XA_Player::DecodeStep() {
  const xa::DecodedFrame frame = xa::DecodeFrame(Decoder);
  const int r = frame.Result;
  const size_t bytes = frame.Bytes;
  if (r == MPG123_NEW_FORMAT) {
    if (OutputStarted && (frame.Rate != Rate || frame.Channels != Channels)) {
      // A file output is started again rather than finished: it keeps what
      // it holds and refuses a format it cannot go on in.
      if (Out->KeepsFirstFormat())
        OutputStarted = false;
      else
        FinishOutput(true);
    }
    if (frame.Rate != Rate && Rate > 0) {
      EarlierStretchesUs += StretchSamples * 1000000 / static_cast<uint64_t>(Rate);
      StretchSamples = 0;
    }
    Rate = frame.Rate;
    Channels = frame.Channels;
    NotifyParameters();
    if (InputIsFile) {
      FileBytes = 0;
      RefreshLength();
      if (Length > 0) {
        auto d = MakeNote(XA_MSG_NOTIFY_STREAM_DURATION);
        d->Msg.data.duration = static_cast<uint32_t>(static_cast<uint64_t>(Length) * 1000 / static_cast<uint64_t>(Rate));
        Post(std::move(d), XA_NOTIFY_MASK_INPUT_DURATION);
      }
    }
    if (!EnsureOutput()) SetState(XA_PLAYER_STATE_STOPPED);
    return;
  }
  if (r == MPG123_OK && bytes > 0) {
    AnyFrame = true;
    BytesSinceFrame = 0;
    if (!OutputStarted && !EnsureOutput()) {
      SetState(XA_PLAYER_STATE_STOPPED);
      return;
    }
    const double gain = Muted ? 0.0 : Master / 100.0 * Pcm / 100.0;
    const double left = gain * std::min(1.0, (100 - Balance) / 50.0);
    const double right = gain * std::min(1.0, Balance / 50.0);
    const void* data = frame.Audio;
    if (left != 1.0 || right != 1.0) {
      // Scaled on a copy: the decoder's buffer is its own.
      const size_t samples = bytes / 2;
      Scaled.resize(samples);
      const auto* in = reinterpret_cast<const int16_t*>(frame.Audio);
      const double g[2] = {left, Channels == 2 ? right : std::max(left, right)};
      for (size_t i = 0; i < samples; ++i)
        Scaled[i] = static_cast<int16_t>(std::lrint(in[i] * g[Channels == 2 ? (i & 1) : 0]));
      data = Scaled.data();
    }
    if (!Out->Write(data, bytes)) {
      Error(kSourceOutput, XA_ERROR_OUTPUT, Out->error().empty() ? "the audio output refused the samples" : Out->error());
      FinishOutput(false);
      SetState(XA_PLAYER_STATE_STOPPED);
      return;
    }
    const size_t perChannel = bytes / 2 / static_cast<size_t>(std::max(Channels, 1));
    PlayedSamples += static_cast<off_t>(perChannel);
    StretchSamples += perChannel;
    NotifyParameters();
    ReportProgress(false);
    return;
  }
  if (r == MPG123_NEED_MORE && Http) {
    const long n = Http->Read(ReadBuffer.data(), ReadBuffer.size(), 50);
    if (n > 0) {
      LastData = Clock::now();
      BytesSinceFrame += static_cast<size_t>(n);
      if (BytesSinceFrame > kNoAudioBytes) {
        Error(kSourceCodec, XA_ERROR_DECODE, AnyFrame ? "the stream carries no MPEG audio any more" : "no MPEG audio found in the stream");
        EndOfInput(nullptr);
        return;
      }
      mpg123_feed(Decoder, ReadBuffer.data(), static_cast<size_t>(n));
    } else if (n == -2) {
      // A stall of the server is waited out; the output refills once the data comes.
      if (Clock::now() - LastData > std::chrono::milliseconds(kStallLimitMs))
        EndOfInput("the stream sent nothing for too long");
    } else {
      const std::string why = n == 0 ? "the stream ended" : Http->error().empty() ? "the stream connection failed" : Http->error();
      EndOfInput(why.c_str());
    }
    return;
  }
  if (r == MPG123_DONE || r == MPG123_NEED_MORE) {
    // An empty file or one without a single frame is an error, not an end.
    if (!AnyFrame) Error(kSourceCodec, XA_ERROR_DECODE, "no MPEG audio found in " + InputName);
    EndOfInput(nullptr);
    return;
  }
  if (r == MPG123_OK) return;
  // The decoder's own account (its handle knows more than the code).
  Error(kSourceCodec, XA_ERROR_DECODE, mpg123_strerror(Decoder));
  EndOfInput(nullptr);
}

void XA_Player::Execute(Command& c) {
  switch (c.Code) {
    case XA_MSG_COMMAND_SYNC:
      Ack(c.Code);
      return;
    case XA_MSG_COMMAND_PING: {
      auto n = MakeNote(XA_MSG_NOTIFY_PONG);
      n->Msg.data.tag = static_cast<uint32_t>(c.Ints[0]);
      Post(std::move(n), 0);
      return;
    }
    case XA_MSG_COMMAND_INPUT_OPEN:
      // A new input replaces the one playing; no stop is needed first.
      CloseInput(true);
      SetState(XA_PLAYER_STATE_STOPPED);
      if (OpenInput(c.Str[0]))
        Ack(c.Code);
      else
        Nack(c.Code, XA_ERROR_OPEN_FAILED);
      return;
    case XA_MSG_COMMAND_INPUT_CLOSE:
      CloseInput(true);
      SetState(XA_PLAYER_STATE_STOPPED);
      Ack(c.Code);
      return;
    case XA_MSG_COMMAND_PLAY:
      if (!Decoder || InputEnded) {
        if (Decoder && InputIsFile) {
          // Played to the end: a new Play starts again from the top.
          mpg123_seek(Decoder, 0, SEEK_SET);
          RestartTime(0);
          InputEnded = false;
        } else {
          Nack(c.Code, XA_ERROR_NO_INPUT);
          return;
        }
      }
      // The window clears the parameters at a start: they are told again.
      if (State != XA_PLAYER_STATE_PLAYING) Shown = {};
      SetState(XA_PLAYER_STATE_PLAYING);
      Ack(c.Code);
      return;
    case XA_MSG_COMMAND_PAUSE:
      if (State != XA_PLAYER_STATE_PLAYING) {
        Nack(c.Code, XA_FAILURE);
        return;
      }
      SetState(XA_PLAYER_STATE_PAUSED);
      Ack(c.Code);
      return;
    case XA_MSG_COMMAND_STOP:
      if (Decoder && !InputIsFile) {
        // A live stream cannot be resumed where it stopped: let the server go.
        CloseInput(true);
      } else if (Decoder) {
        FinishOutput(false);
        mpg123_seek(Decoder, 0, SEEK_SET);
        RestartTime(0);
        InputEnded = false;
      }
      SetState(XA_PLAYER_STATE_STOPPED);
      Ack(c.Code);
      return;
    case XA_MSG_COMMAND_INPUT_SEEK: {
      const int offset = c.Ints[0], range = c.Ints[1];
      if (!Decoder || !InputIsFile) {
        Nack(c.Code, Decoder ? XA_ERROR_NOT_SEEKABLE : XA_ERROR_NO_INPUT);
        return;
      }
      if (range <= 0 || offset < 0) {
        Nack(c.Code, XA_ERROR_INVALID_PARAMETERS);
        return;
      }
      RefreshLength();
      if (Length <= 0) Length = mpg123_length(Decoder);
      if (Length <= 0) {
        Nack(c.Code, XA_ERROR_NOT_SEEKABLE);
        return;
      }
      const off_t target =
          static_cast<off_t>(static_cast<uint64_t>(std::min(offset, range)) * static_cast<uint64_t>(Length) / range);
      const off_t at = mpg123_seek(Decoder, target, SEEK_SET);
      if (at < 0) {
        Nack(c.Code, XA_ERROR_NOT_SEEKABLE);
        return;
      }
      if (Out && OutputStarted) Out->Drop();
      RestartTime(at);
      InputEnded = false;
      ReportProgress(true);
      Ack(c.Code);
      return;
    }
    case XA_MSG_COMMAND_OUTPUT_OPEN: {
      std::string why;
      auto out = xa::MakeOutput(c.Str[0], why);
      if (!out) {
        Error(kSourceOutput, XA_ERROR_OUTPUT, why);
        Nack(c.Code, XA_ERROR_OUTPUT);
        return;
      }
      FinishOutput(true);
      OutputName = c.Str[0];
      Out = std::move(out);
      Ack(c.Code);
      return;
    }
    case XA_MSG_COMMAND_OUTPUT_CLOSE:
      FinishOutput(true);
      Out.reset();
      Ack(c.Code);
      return;
    case XA_MSG_COMMAND_OUTPUT_MUTE:
    case XA_MSG_COMMAND_OUTPUT_UNMUTE:
      Muted = c.Code == XA_MSG_COMMAND_OUTPUT_MUTE;
      Ack(c.Code);
      return;
    case XA_MSG_SET_OUTPUT_VOLUME: {
      // -1 leaves a value as it is; the rest is held to 0..100.
      int* slots[3] = {&Master, &Pcm, &Balance};
      for (int i = 0; i < 3; ++i)
        if (c.Ints[i] != -1) *slots[i] = std::clamp(c.Ints[i], 0, 100);
      Ack(c.Code);
      NotifyVolume();
      return;
    }
    case XA_MSG_GET_OUTPUT_VOLUME:
      NotifyVolume();
      return;
    case XA_MSG_SET_CODEC_EQUALIZER:
      if (c.Blob.size() != sizeof(XA_EqualizerInfo)) {
        Nack(c.Code, XA_ERROR_INVALID_PARAMETERS);
        return;
      }
      std::memcpy(&Equalizer, c.Blob.data(), sizeof Equalizer);
      ApplyEqualizer();
      Ack(c.Code);
      return;
    case XA_MSG_GET_CODEC_EQUALIZER:
      NotifyEqualizer();
      return;
    case XA_MSG_SET_INPUT_POSITION_RANGE:
      if (c.Ints[0] <= 0) {
        Nack(c.Code, XA_ERROR_INVALID_PARAMETERS);
        return;
      }
      PositionRange = static_cast<uint32_t>(c.Ints[0]);
      Ack(c.Code);
      return;
    case XA_MSG_GET_INPUT_POSITION_RANGE: {
      auto n = MakeNote(XA_MSG_NOTIFY_INPUT_POSITION_RANGE);
      n->Msg.data.range = static_cast<int32_t>(PositionRange);
      Post(std::move(n), XA_NOTIFY_MASK_INPUT_POSITION_RANGE);
      return;
    }
    case XA_MSG_SET_NOTIFICATION_MASK:
      NotifyMask = static_cast<uint32_t>(c.Ints[0]);
      Ack(c.Code);
      return;
    case XA_MSG_GET_NOTIFICATION_MASK: {
      auto n = MakeNote(XA_MSG_NOTIFY_NOTIFICATION_MASK);
      n->Msg.data.notification_mask = NotifyMask;
      Post(std::move(n), 0);
      return;
    }
    case XA_MSG_COMMAND_GET_PLAYER_MODE: {
      auto n = MakeNote(XA_MSG_NOTIFY_PLAYER_MODE);
      n->Msg.data.mode = 0;
      Post(std::move(n), 0);
      return;
    }
    default:
      Nack(c.Code, XA_ERROR_NOT_IMPLEMENTED);
      return;
  }
}

void XA_Player::Run() {
  Post(MakeNote(XA_MSG_NOTIFY_READY), 0);
  for (;;) {
    Command c;
    {
      std::unique_lock<std::mutex> g(QueueLock);
      const bool busy = State == XA_PLAYER_STATE_PLAYING && Decoder;
      if (!busy) QueueWake.wait(g, [&] { return Exit || !Queue.empty(); });
      if (Exit) break;
      if (!Queue.empty()) {
        c = std::move(Queue.front());
        Queue.pop_front();
      }
    }
    if (c.Code != 0) {
      Execute(c);
      continue;
    }
    DecodeStep();
  }
  CloseInput(false);
  Out.reset();
  Post(MakeNote(XA_MSG_NOTIFY_EXITED), 0);
}

namespace {

int Queue(XA_Player* p, Command c) {
  if (!p) return XA_ERROR_INVALID_PARAMETERS;
  if (c.Code == XA_MSG_COMMAND_STOP || c.Code == XA_MSG_COMMAND_INPUT_OPEN || c.Code == XA_MSG_COMMAND_INPUT_CLOSE)
    p->Interrupts.fetch_add(1);
  {
    std::lock_guard<std::mutex> g(p->QueueLock);
    p->Queue.push_back(std::move(c));
  }
  p->QueueWake.notify_one();
  return XA_SUCCESS;
}

Command Cmd(int code) {
  Command c;
  c.Code = code;
  return c;
}

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

extern "C" {

XA_EXPORT int player_new(XA_Player** player, void* sink) {
  if (!player) return XA_ERROR_INVALID_PARAMETERS;
  *player = nullptr;
  const auto* s = static_cast<const XA_NotificationSink*>(sink);
  if (!s || !s->post) return XA_ERROR_INVALID_PARAMETERS;
  std::call_once(gMpg123Init, [] { mpg123_init(); });
  auto p = std::make_unique<XA_Player>();
  p->Sink = *s;
  try {
    p->Thread = std::thread([raw = p.get()] { raw->Run(); });
  } catch (...) {
    return XA_FAILURE;
  }
  *player = p.release();
  return XA_SUCCESS;
}

XA_EXPORT int player_delete(XA_Player* player) {
  if (!player) return XA_ERROR_INVALID_PARAMETERS;
  {
    std::lock_guard<std::mutex> g(player->QueueLock);
    player->Exit = true;
  }
  player->Interrupts.fetch_add(1);
  player->QueueWake.notify_one();
  if (player->Thread.joinable()) player->Thread.join();
  delete player;
  return XA_SUCCESS;
}

XA_EXPORT int player_set_priority(XA_Player* player, int priority) {
  if (!player) return XA_ERROR_INVALID_PARAMETERS;
  player->Priority.store(priority);
  return XA_SUCCESS;
}

XA_EXPORT int player_get_priority(XA_Player* player) { return player ? player->Priority.load() : 0; }

XA_EXPORT const char* xaudio_error_string(int code) {
  switch (code) {
    case XA_SUCCESS: return "success";
    case XA_FAILURE: return "failure";
    case XA_ERROR_OUT_OF_MEMORY: return "out of memory";
    case XA_ERROR_INVALID_PARAMETERS: return "invalid parameters";
    case XA_ERROR_NOT_IMPLEMENTED: return "not implemented";
    case XA_ERROR_NO_INPUT: return "no input";
    case XA_ERROR_OPEN_FAILED: return "cannot open input";
    case XA_ERROR_CONNECT_FAILED: return "cannot connect";
    case XA_ERROR_TIMEOUT: return "timed out";
    case XA_ERROR_HTTP_STATUS: return "server refused the request";
    case XA_ERROR_DECODE: return "decoding failed";
    case XA_ERROR_OUTPUT: return "audio output failed";
    case XA_ERROR_NOT_SEEKABLE: return "input not seekable";
    case XA_ERROR_STREAM_ENDED: return "stream ended";
    default: return "unknown error";
  }
}

XA_EXPORT unsigned long xaudio_get_version(int) {
  return (static_cast<unsigned long>(XA_API_MAJOR) << 16) | (static_cast<unsigned long>(XA_API_MINOR) << 8);
}

XA_EXPORT int control_message_send_N(XA_Player* player, int code) { return Queue(player, Cmd(code)); }

XA_EXPORT int control_message_send_P(XA_Player* player, int code, const void* ptr) {
  Command c = Cmd(code);
  // The only pointer command carries an equaliser; it is copied now, the
  // caller's record need not outlive the call.
  if (code == XA_MSG_SET_CODEC_EQUALIZER && ptr) {
    const auto* b = static_cast<const uint8_t*>(ptr);
    c.Blob.assign(b, b + sizeof(XA_EqualizerInfo));
  }
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_S(XA_Player* player, int code, const char* s) {
  Command c = Cmd(code);
  c.Str[0] = Text(s);
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_SS(XA_Player* player, int code, const char* s1, const char* s2) {
  Command c = Cmd(code);
  c.Str[0] = Text(s1);
  c.Str[1] = Text(s2);
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_SI(XA_Player* player, int code, const char* s, int i) {
  Command c = Cmd(code);
  c.Str[0] = Text(s);
  c.Ints[0] = i;
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_IPI(XA_Player* player, int code, unsigned short i1, const void* ptr, unsigned int i2) {
  Command c = Cmd(code);
  c.Ints[0] = i1;
  c.Ints[1] = static_cast<int>(i2);
  if (ptr && i2 > 0 && i2 <= (1u << 20)) {
    const auto* b = static_cast<const uint8_t*>(ptr);
    c.Blob.assign(b, b + i2);
  }
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_I(XA_Player* player, int code, int i) {
  Command c = Cmd(code);
  c.Ints[0] = i;
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_II(XA_Player* player, int code, int i1, int i2) {
  Command c = Cmd(code);
  c.Ints[0] = i1;
  c.Ints[1] = i2;
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_III(XA_Player* player, int code, int i1, int i2, int i3) {
  Command c = Cmd(code);
  c.Ints[0] = i1;
  c.Ints[1] = i2;
  c.Ints[2] = i3;
  return Queue(player, std::move(c));
}

XA_EXPORT int control_message_send_IIII(XA_Player* player, int code, int i1, int i2, int i3, int i4) {
  Command c = Cmd(code);
  c.Ints[0] = i1;
  c.Ints[1] = i2;
  c.Ints[2] = i3;
  c.Ints[3] = i4;
  return Queue(player, std::move(c));
}

XA_EXPORT int control_win32_params_to_message(XA_Player* player, XA_Message* message, uint32_t msg, uintptr_t wparam,
                                              intptr_t lparam) {
  if (!player || !message) return XA_ERROR_INVALID_PARAMETERS;
  if (msg < XA_MSG_BASE + XA_MSG_NOTIFY_READY || msg > XA_MSG_BASE + XA_MSG_NOTIFY_ERROR) return XA_FAILURE;
  if (lparam != reinterpret_cast<intptr_t>(player)) return XA_FAILURE;
  std::lock_guard<std::mutex> g(player->NotesLock);
  auto it = player->Pending.find(static_cast<uint64_t>(wparam));
  if (it == player->Pending.end() || static_cast<uint32_t>(it->second->Msg.code) + XA_MSG_BASE != msg) return XA_FAILURE;
  player->Current = std::move(it->second);
  player->Pending.erase(it);
  *message = player->Current->Msg;
  return XA_SUCCESS;
}

}  // extern "C"
