#pragma once
// The headless recorder's standard output and error, written by a thread of
// their own: a terminal stopped with Ctrl+S or a log pipe nobody reads blocks
// that thread alone, never the card's delivery thread or the signal wait.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

class TOutputWriter {
 public:
  struct TMode {
    bool Terminal = false;  // one status line, redrawn in place
    bool Stamp = false;     // status lines and errors get the local time in front
  };
  // How standard output is connected: a terminal, the journal (which stamps
  // lines itself, JOURNAL_STREAM naming standard output), or anything else.
  static TMode DetectMode();

  // Writes to the two descriptors; the thread is left running at exit, so the
  // object is never destroyed (see HeadlessOutput).
  TOutputWriter(int outFd, int errFd, TMode mode);
  TOutputWriter(const TOutputWriter&) = delete;
  TOutputWriter& operator=(const TOutputWriter&) = delete;

  const TMode& Mode() const { return mode_; }

  // Never wait for the writing. Lines and errors are kept in order up to a
  // bound, past which they are dropped and counted; a status line replaces
  // one not yet written, and the replaced one is counted.
  void Line(const std::string& text);
  void Error(const std::string& text);
  void Status(const std::string& text);
  // On a terminal: the status line shown stays as it is and the next line
  // goes below it.
  void EndStatus();

  // Waits until everything queued is written, up to `bound`; false when the
  // output is blocked.
  bool Drain(std::chrono::milliseconds bound);

  uint64_t DroppedStatusLines() const;
  uint64_t DroppedLines() const;

  // The text kept waiting, in bytes: a long channel list fits many times.
  static constexpr size_t kQueueBytes = size_t{1} << 20;

 private:
  enum class TKind { Out, Err, EndStatus };
  struct TItem {
    TKind Kind;
    std::string Text;
  };
  void Run();
  void WriteAll(int fd, const std::string& bytes);
  void Push(TKind kind, std::string text);
  std::string Stamped(const std::string& text) const;

  const int outFd_, errFd_;
  const TMode mode_;
  mutable std::mutex lock_;
  std::condition_variable wake_, idle_;
  std::deque<TItem> queue_;
  size_t queuedBytes_ = 0;
  std::optional<std::string> status_;
  bool busy_ = false;
  uint64_t droppedStatus_ = 0, droppedLines_ = 0;
  uint64_t droppedStatusTold_ = 0;
  bool outBroken_ = false, errBroken_ = false;
};

// The process's writer on standard output and error, made at first use.
TOutputWriter& HeadlessOutput();
