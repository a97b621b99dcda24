#pragma once
// The titles a station sent during a recording, beside it: "NAME.txt" for
// "NAME.mp3", one line "HH:MM:SS  Title" (UTF-8) a change, the time being
// how much audio the recording held when the title came. Each line goes out
// in one write of its own, so the file is complete whenever the run ends.
#include <cstdint>
#include <string>

// "NAME.txt" for "NAME.mp3" (any other name gets ".txt" added).
std::string TitleLogName(const std::string& recordingName);

// "HH:MM:SS  Title\n"; hours keep counting past 99.
std::string TitleLogLine(double seconds, const std::string& utf8Title);

// Makes way for this run's log before the recording starts, following the
// recording's own rule: `keepEarlier` moves a non-empty log aside (to the
// name its recording went to, `recordingAside`, with ".txt", when that was
// moved and the name is free), otherwise an existing log is emptied. 0 or
// errno; a log that is not there is fine.
int PrepareTitleLog(const std::string& logName, bool keepEarlier, const std::string& recordingAside);

class TTitleLog {
 public:
  TTitleLog() = default;
  ~TTitleLog() { Close(); }
  TTitleLog(const TTitleLog&) = delete;
  TTitleLog& operator=(const TTitleLog&) = delete;

  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& Name() const { return name_; }
  // Opens (creates) the file at the first line, so a station that never
  // sends a title leaves none. 0 or errno.
  int Append(double seconds, const std::string& utf8Title);
  void Close();

 private:
  std::string name_;
  int fd_ = -1;
};
