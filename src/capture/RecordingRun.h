#pragma once
// A recording run: the start ("Старт"), the stop ("Стоп ") and the close
// check, Qt-free. The main window's handlers call it and show what the hooks
// report.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channels/ChannelList.h"
#include "capture/CaptureSession.h"
#include "capture/RecordingOptions.h"
#include "device/DvbPluginApi.h"

class TAudioServer;

struct RecordingHooks {
  std::function<void()> StopPlayback;
  // Toolbar and menu state: true when a run begins, false when it ends.
  std::function<void(bool running)> RunStateChanged;
  std::function<void(bool shown)> TickBoxesShown;
  // From the delivery thread: hand over and return at once.
  std::function<void(size_t row, const std::string& sizeText)> SizeText;
  // A message for the user (UTF-8). From the delivery thread for a failed
  // append, so it too must hand over and return at once.
  std::function<void(const std::string& message)> Message;
};

extern const char* const kCloseWhileRecordingMessage;

// Record folder text + channel name + ".mp3", nothing inserted (CP1251).
std::string OutputFileName(const std::string& folder, const std::string& channelName);

class TRecordingRun {
 public:
  TRecordingRun(TChannelList& list, RecordingOptions& options, const TDevicePlugin& device,
                RecordingHooks hooks, uint16_t port = 3587);
  ~TRecordingRun();  // stops a run still going
  TRecordingRun(const TRecordingRun&) = delete;
  TRecordingRun& operator=(const TRecordingRun&) = delete;

  // Starts a run over every row. False when nothing was started: an empty
  // list, or a start that failed part way and was rolled back (reported).
  bool Start();
  void Stop();
  bool Running() const { return running_; }

  // The main window's close check: refused while recording; otherwise saves
  // the list (a failure is reported and refuses the close) and closes the
  // card when it was opened.
  bool CloseQuery(const std::string& listPath);

  TAudioServer* Server() { return server_.get(); }

 private:
  void RollBack(int filtersAdded);
  void ReportAppendFailure(size_t row, const std::string& reason);

  TChannelList& list_;
  RecordingOptions& options_;
  const TDevicePlugin& device_;
  RecordingHooks hooks_;
  uint16_t port_;
  bool running_ = false;
  std::unique_ptr<TAudioServer> server_;
  TSessions sessions_;
  CaptureTarget target_;
};
