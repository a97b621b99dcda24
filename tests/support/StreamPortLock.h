#pragma once
// The program always streams on its one fixed port, so tests that start it
// (or hold that port) take turns through a lock file shared by every test run
// on the machine, not only within one ctest run.
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

class TStreamPortLock {
 public:
  TStreamPortLock() {
    // O_CLOEXEC: a started program must not hold the turn after the test.
    fd_ = ::open("/tmp/mellowcaster-stream-port.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      ::fchmod(fd_, 0666);  // another user's test run takes its turn too
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~TStreamPortLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  TStreamPortLock(const TStreamPortLock&) = delete;
  TStreamPortLock& operator=(const TStreamPortLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace testsupport
