#pragma once
// A recording run: the start ("Старт"), the stop ("Стоп ") and the close
// check, Qt-free. The main window's handlers call it and show what the hooks
// report.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "channels/ChannelList.h"
#include "capture/CaptureSession.h"
#include "capture/RecordingOptions.h"
#include "device/DvbPluginApi.h"
#include "server/StreamPort.h"

class TAudioServer;

struct RecordingHooks {
  std::function<void()> StopPlayback;
  // "Старт", "Стоп " and "Настройки транспондера": true once the server is
  // up at the start, false as the stop begins.
  std::function<void(bool running)> ToolbarChanged;
  // The list's menu ("Удалить канал", "Прослушать канал", "Прослушать
  // Фаил"): true once recording is on, false after the sessions are gone.
  std::function<void(bool running)> ListMenuChanged;
  std::function<void(bool shown)> TickBoxesShown;
  // From the delivery thread: hand over and return at once.
  std::function<void(size_t row, const std::string& sizeText)> SizeText;
  // A message for the user (UTF-8). From the delivery thread for a failed
  // append, so it too must hand over and return at once.
  std::function<void(const std::string& message)> Message;
  // Something the user should know that is no failure of the recording
  // (UTF-8): what the archive's retention removed or could not remove.
  std::function<void(const std::string& message)> Notice;
  // From the delivery thread too: row `row` records no more in this run
  // (told after its Message).
  std::function<void(size_t row)> RecordingStopped;
  // Asked between the rows of a start: true ends the start before any file
  // is emptied, as a refusal without a message.
  std::function<bool()> StopAsked;
  // From the delivery thread, like SizeText: the channel's station name or
  // "now playing" text changed (UTF-8; an empty title was cleared).
  std::function<void(size_t row, const std::string& stationName, const std::string& title)> TitleChanged;
};

// Why the last start was refused.
enum class TStartRefusal {
  None,
  Settings,  // the list itself: a row without a number PID, two rows on one file
  Files,     // a file could not be opened: a missing folder, no rights, a link
  Locked,    // another process holds a file
  Stopped,   // StopAsked
};

extern const char* const kCloseWhileRecordingMessage;

// Record folder text (the system's bytes) + channel name (CP1251, converted)
// + ".mp3", nothing inserted; the system's name, UTF-8. A "/" in the name
// becomes "_" here only, so that "Jazz_24/7" is a file in the record folder;
// the name itself, and the stream path, keep it.
std::string OutputFileName(const std::string& folder, const std::string& channelName);

// A PID no card carries: the filter call for a row without audio is refused
// and uses its number up, so the rows after it keep theirs.
constexpr int32_t kNoAudioFilterPid = 0x2000;

class TRecordingRun {
 public:
  TRecordingRun(TChannelList& list, RecordingOptions& options, const TDevicePlugin& device,
                RecordingHooks hooks, uint16_t port = kStreamPort);
  ~TRecordingRun();  // stops a run still going
  TRecordingRun(const TRecordingRun&) = delete;
  TRecordingRun& operator=(const TRecordingRun&) = delete;

  // Starts a run over every row. False when nothing was started: an empty
  // list, or a start refused (reported) before anything changed on disk.
  bool Start();
  // Ends the run. False when a recording could not be closed cleanly; each
  // such file is reported by name once the stop is complete.
  bool Stop();
  bool Running() const { return running_; }
  TStartRefusal LastRefusal() const { return refusal_; }

  // The main window's close check: refused while recording; otherwise saves
  // the list (a failure is reported and refuses the close) and closes the
  // card when it was opened.
  bool CloseQuery(const std::string& listPath);

  // The archive's part of the run, called about once a second by the thread
  // that runs it: closes the files of channels silent for kArchiveQuiet, so
  // that their audio resumes in a new file, and makes room in the archive at
  // the start and after each cut. Nothing without an archive.
  void WatchArchive(std::chrono::steady_clock::time_point now);
  static constexpr std::chrono::seconds kArchiveQuiet{5};
  // The archive files being written, for the retention to leave alone.
  std::vector<std::string> ArchiveFilesInUse();

  TAudioServer* Server() { return server_.get(); }
  // Re-encode chunks the encoders could not take in time, in this run.
  uint64_t DroppedChunks() const;

 private:
  void RollBack(int filtersAdded);
  // Checks every row and opens the ticked rows' files; throws the refusal.
  std::vector<TPreparedFile> PrepareRows(std::vector<int32_t>& pids);
  // The ticked rows' archive folders, made and locked, in archives_.
  void PrepareArchive();
  // Deletes what the retention asks for, outside the in-use files.
  void MakeRoomInArchive();
  void ReportAppendFailure(size_t row, const std::string& reason);
  void ReportDrops(size_t row, uint64_t dropped);
  // Ends the delivery and then the encoders, in that order: a delivery may
  // still hand a chunk to the pool, and a worker may still use a session.
  void DetachAndStopEncoders();

  TChannelList& list_;
  RecordingOptions& options_;
  const TDevicePlugin& device_;
  RecordingHooks hooks_;
  uint16_t port_;
  bool running_ = false;
  TStartRefusal refusal_ = TStartRefusal::None;
  std::unique_ptr<TAudioServer> server_;
  TSessions sessions_;
  CaptureTarget target_;
  // Kept, stopped, after a run for its count; replaced at the next start.
  std::unique_ptr<TEncoderPool> encoders_;
  // Per row, until its session takes it over.
  std::vector<std::unique_ptr<TArchiveChannel>> archives_;
  struct TArchiveWatch {
    uint64_t Packets = 0;
    uint64_t Files = 0;
    std::chrono::steady_clock::time_point Since{};
  };
  std::vector<TArchiveWatch> archiveWatch_;
  bool archiveRoomMade_ = false;  // at the start
  bool archiveShortTold_ = false;  // the free space stays under the floor
};
