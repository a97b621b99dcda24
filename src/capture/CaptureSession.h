#pragma once
// Per-channel capture sessions and the transport-packet callback. The card's
// delivery thread calls OnTsPacket for every packet of every channel; the
// payload collects in the session's ring buffer and leaves in 32767-byte
// chunks, passed through or re-encoded, to the channel's server source and,
// for ticked rows, to the channel's file. With an encoder pool attached the
// re-encoding runs on the pool's workers, never on the delivery thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <ctime>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/RingBuffer.h"
#include "capture/EncoderPool.h"
#include "capture/MpegReencoder.h"
#include "capture/RecordingOptions.h"
#include "capture/TitleLog.h"
#include "radiotext/RadioTextReader.h"

class TAudioServer;
class TArchiveChannel;

constexpr int kPacketLength = 188;
constexpr int32_t kRingCapacity = 65535;
constexpr int32_t kChunkBytes = 32767;
constexpr int32_t kEncodedCapacity = 131070;

// True from the end of a successful start to the first step of the stop.
extern std::atomic<bool> Recording;

struct CaptureSession {
  CaptureSession();
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  int OutputFile = -1;            // open only for a ticked row
  TCBuffer Ring{kRingCapacity};
  uint8_t Chunk[kRingCapacity];
  uint8_t Encoded[kEncodedCapacity];
  TMPEGReEncode Encoder;
  int64_t BytesRecorded = 0;
  int64_t FileBytes = 0;          // what the file holds: a failed append is cut back to it
  // Copies of the row taken at the start; fixed for the run.
  std::string ChannelName;
  std::string FileName;           // the system's name (UTF-8), as the run formed it
  // A row without an audio stream: it gets no filter, and anything delivered
  // under its number is ignored.
  bool NoAudio = false;
  bool Ticked = false;
  // False for a row whose name an earlier row already streams under: the
  // server has one source per name, and two channels must not mix in it.
  bool FeedsSource = true;
  // The format of the last chunk pulled, so a return to " MP3" restarts the
  // encoder instead of joining audio that is not adjacent. Delivery thread.
  bool LastChunkMp3 = false;
  // Set where the chunk is passed on when an append failed: the file is
  // closed and this channel records no more in this run.
  bool AppendStopped = false;
  // "Now playing" read from every chunk the ring gives up. Delivery thread.
  radiotext::TRadioTextReader Titles;
  uint64_t TextChangesSeen = 0;
  // The broadcast's bit rate as the reader last saw it (kbit/s, 0 unknown),
  // for the time a pass-through chunk adds to the file.
  std::atomic<int32_t> BroadcastKbps{0};
  // Seconds of audio the file holds, by each append's own bit rate.
  double FileSeconds = 0;
  // The last title that came with a chunk, and the one the log has: a title
  // that came while nothing was recorded is logged at the next append.
  std::shared_ptr<const std::string> LatestTitle, LoggedTitle;
  TTitleLog TitleLog;
  bool TitleLogStopped = false;  // a line failed: the log takes no more
  // A ticked row of an archiving run: the archive names and cuts its files,
  // and OutputFile is the one being written (-1 before the first frame and
  // while the channel is silent).
  std::unique_ptr<TArchiveChannel> Archive;
  // Held while an archived chunk is passed on (over the encoder, the file and
  // the title log), and by the run's watch when it closes the file of a
  // channel gone silent: so those may be used from the watch too.
  std::mutex ArchiveLock;
  std::atomic<uint64_t> FilesBegun{0};  // archive files opened so far
  // Packets delivered under this row: the watch tells a silent channel by it.
  std::atomic<uint64_t> Packets{0};
  // Encoder, Encoded, OutputFile, AppendStopped, BytesRecorded, FileSeconds,
  // the titles and the log belong to whoever passes the session's chunks on:
  // the delivery thread while the session is idle in the encoder pool, else
  // the one worker holding it.

  // 0, or the errno of a close that failed (a delayed write error).
  int CloseOutputFile();
};

// A ticked row's file, opened before a run starts without touching what it
// holds, so that a start refused later leaves the disk as it was.
struct TPreparedFile {
  TPreparedFile() = default;
  TPreparedFile(TPreparedFile&& other) noexcept { *this = std::move(other); }
  TPreparedFile& operator=(TPreparedFile&& other) noexcept;
  ~TPreparedFile();  // closes a descriptor nobody took over
  // Closes it; a file it created is removed.
  void Abandon();

  int Fd = -1;
  bool Created = false;  // did not exist before: removed again when abandoned
  // Earlier recordings in the file are moved aside when the session takes it
  // over, instead of being emptied.
  bool KeepEarlier = false;
  std::string OsName;    // UTF-8
};

// Another run of the program holds the file: nothing was changed.
struct EFileLocked : std::runtime_error {
  explicit EFileLocked(const std::string& holder) : std::runtime_error(holder) {}
};

// Opens (creating when absent) for reading and writing and takes the
// exclusive lock that keeps a second run off it; a symbolic link is refused,
// so a recording never writes through one to somewhere else. Throws
// EFileLocked when another process holds the file, text::EInOutError when it
// cannot be opened.
TPreparedFile PrepareOutputFile(const std::string& fileName, bool keepEarlier = false);

// "NAME (YYYY-MM-DD HH-MM-SS).mp3" for "NAME.mp3" and a modification time
// (local time); `attempt` > 1 adds ", attempt" inside the brackets, for a
// name already taken.
std::string AsideFileName(const std::string& fileName, time_t modified, int attempt = 1);

// A file that could not be closed cleanly at the end of a run.
struct TCloseFailure {
  size_t Row;
  std::string ChannelName;  // CP1251
  std::string FileName;     // UTF-8
  int Error;             // errno
};

// The sessions of one run, in row order: session r belongs to row r and has
// the filter number r + 1. Filled before the first filter is registered and
// not resized until every filter is gone, so sessions never move under a
// delivery.
class TSessions {
 public:
  // Appends the session for the next row; for a ticked row creates (or
  // truncates) its file. The name goes to the operating system as UTF-8.
  // Throws text::EInOutError when the file cannot be created.
  void AddSession(const std::string& fileName, const std::string& channelName, bool ticked);
  // The same with a file already prepared (ticked rows); the session takes it
  // over and empties it, or, when the file keeps earlier recordings, moves a
  // non-empty one aside (AsideFileName) and starts a new one under the name.
  // 0, or the errno of the failed step, after which the session records
  // nothing.
  int AddSession(const std::string& fileName, const std::string& channelName, bool ticked, TPreparedFile file);
  // A ticked row written into its archive.
  void AddArchivedSession(const std::string& channelName, std::unique_ptr<TArchiveChannel> archive);
  size_t Count() const { return sessions_.size(); }
  CaptureSession& operator[](size_t r) { return *sessions_[r]; }
  // Closes every file and returns the ones whose close failed.
  std::vector<TCloseFailure> CloseFiles();
  // Removes the last session once per row.
  void RemoveAll();

 private:
  std::vector<std::unique_ptr<CaptureSession>> sessions_;
};

// What a run shares with the delivery thread. The callback has no context
// argument, so it reaches the running capture through this one process-wide
// attachment (AttachCapture / DetachCapture).
struct CaptureTarget {
  TSessions* Sessions = nullptr;
  TAudioServer* Server = nullptr;
  const std::atomic<RecordFormat>* Format = nullptr;
  // Where " MP3" chunks are re-encoded; none: on the delivery thread itself.
  // Its channel numbers are the rows, and its work is ProcessPooledChunk.
  TEncoderPool* Encoders = nullptr;
  // Called on the delivery thread or an encoder worker; must hand over and
  // return at once.
  std::function<void(size_t row, const std::string& sizeText)> SizeText;
  std::function<void(size_t row, const std::string& reason)> AppendFailed;
  // The row's title log could not be written; it takes no more lines.
  std::function<void(size_t row, const std::string& logName, const std::string& reason)> TitleLogFailed;
  // Something about a row's files the user should know, the recording going
  // on (an archive file that did not close cleanly, a playlist not updated).
  std::function<void(size_t row, const std::string& message)> FileNotice;
  // The station name or title of a row changed (UTF-8); delivery thread.
  std::function<void(size_t row, const std::string& stationName, const std::string& title)> TitleChanged;
  // Reads what the stations say they play; off only to measure its cost.
  bool ReadTitles = true;
};

// Makes deliveries reach this target from now on.
void AttachCapture(CaptureTarget* target);
// Detaches the target and returns only when no delivery is inside OnTsPacket.
void DetachCapture();

// Packets delivered to an attached capture since the program started; the
// headless recorder watches it to tell a run without signal.
uint64_t DeliveredPackets();

// Where the payload of a 188-byte packet begins; 188 or more: no payload.
int PayloadOffset(const uint8_t* packet);

// The capture filter callback: data, its length, the filter number (1-based
// session number). Never throws.
void OnTsPacket(const uint8_t* data, int32_t length, int32_t number);

// An encoder worker's part: re-encodes or passes on a chunk of the row that
// the delivery thread handed to target.Encoders.
void ProcessPooledChunk(CaptureTarget& target, size_t row, const TPoolChunk& chunk);

// Closes the archive file of a channel gone silent, unless packets came
// since the watch counted `packetsSeen`: what comes next begins a new file.
// Called by the run's watch, not from the chunk path.
void InterruptArchive(CaptureTarget& target, size_t row, uint64_t packetsSeen);

// "%5.1f mb" of a byte count.
std::string SizeText(int64_t bytes);
