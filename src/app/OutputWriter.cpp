#include "app/OutputWriter.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

// JOURNAL_STREAM is "DEVICE:INODE" of the stream journald connected; it is
// inherited by children whose output goes elsewhere, so it counts only when
// it names our standard output.
bool OutputIsJournal(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long dev = 0, ino = 0;
  char tail = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &dev, &ino, &tail) != 2) return false;
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

const char* const kClearLine = "\r\033[K";

} // namespace

TOutputWriter::TMode TOutputWriter::DetectMode() {
  TMode mode;
  mode.Terminal = ::isatty(STDOUT_FILENO) == 1;
  mode.Stamp = !mode.Terminal && !OutputIsJournal(STDOUT_FILENO);
  return mode;
}

TOutputWriter::TOutputWriter(int outFd, int errFd, TMode mode) : outFd_(outFd), errFd_(errFd), mode_(mode) {
  std::thread([this] { Run(); }).detach();
}

std::string TOutputWriter::Stamped(const std::string& text) const {
  if (!mode_.Stamp) return text;
  const std::time_t now = std::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
  return stamp + text;
}

void TOutputWriter::Push(TKind kind, std::string text) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (queuedBytes_ + text.size() > kQueueBytes) {
      ++droppedLines_;
      return;
    }
    queuedBytes_ += text.size();
    queue_.push_back({kind, std::move(text)});
  }
  wake_.notify_one();
}

void TOutputWriter::Line(const std::string& text) { Push(TKind::Out, text + "\n"); }
void TOutputWriter::Error(const std::string& text) { Push(TKind::Err, Stamped(text) + "\n"); }
void TOutputWriter::EndStatus() { Push(TKind::EndStatus, {}); }

void TOutputWriter::Status(const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (status_) ++droppedStatus_;
    status_ = Stamped(text);
  }
  wake_.notify_one();
}

bool TOutputWriter::Drain(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> guard(lock_);
  return idle_.wait_for(guard, bound, [&] { return queue_.empty() && !status_ && !busy_; });
}

uint64_t TOutputWriter::DroppedStatusLines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return droppedStatus_;
}

uint64_t TOutputWriter::DroppedLines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return droppedLines_;
}

void TOutputWriter::WriteAll(int fd, const std::string& bytes) {
  bool& broken = fd == outFd_ ? outBroken_ : errBroken_;
  size_t done = 0;
  while (!broken && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR && errno != EAGAIN) broken = true;  // a closed pipe: nobody reads any more
  }
}

void TOutputWriter::Run() {
  // Stop signals are for the thread that waits for them; the default action
  // here would end the process without the clean stop.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  std::string shownStatus;  // on a terminal: the line currently drawn
  for (;;) {
    std::unique_lock<std::mutex> guard(lock_);
    busy_ = false;
    idle_.notify_all();
    wake_.wait(guard, [&] { return !queue_.empty() || status_; });
    busy_ = true;
    std::optional<TItem> item;
    std::string status;
    if (!queue_.empty()) {
      item = std::move(queue_.front());
      queue_.pop_front();
      queuedBytes_ -= item->Text.size();
    } else {
      status = std::move(*status_);
      status_.reset();
      if (droppedStatus_ > droppedStatusTold_ && !mode_.Terminal) {
        status += " | пропущено строк состояния: " + std::to_string(droppedStatus_ - droppedStatusTold_);
        droppedStatusTold_ = droppedStatus_;
      }
    }
    guard.unlock();

    if (!item) {
      if (mode_.Terminal) {
        WriteAll(outFd_, kClearLine + status);
        shownStatus = status;
      } else {
        WriteAll(outFd_, status + "\n");
      }
      continue;
    }
    if (item->Kind == TKind::EndStatus) {
      if (!shownStatus.empty()) WriteAll(outFd_, "\n");
      shownStatus.clear();
      continue;
    }
    // On a terminal the line goes where the status line stood, which is then
    // drawn again below it.
    if (!shownStatus.empty()) WriteAll(outFd_, kClearLine);
    WriteAll(item->Kind == TKind::Err ? errFd_ : outFd_, item->Text);
    if (!shownStatus.empty()) WriteAll(outFd_, shownStatus);
  }
}

TOutputWriter& HeadlessOutput() {
  static TOutputWriter& writer = *new TOutputWriter(STDOUT_FILENO, STDERR_FILENO, TOutputWriter::DetectMode());
  return writer;
}
