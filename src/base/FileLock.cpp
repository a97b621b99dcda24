#include "base/FileLock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace text {

namespace {

// /proc/locks names a lock's file as "MAJOR:MINOR:INODE" (hex, hex, decimal)
// and its owner by PID; waiters are the lines with "->".
long HolderPid(const struct stat& st) {
  std::ifstream locks("/proc/locks");
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos || line.find("FLOCK") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (!(fields >> number >> kind >> mode >> access >> pid >> file)) continue;
    if (file == wanted && pid > 0 && pid != ::getpid()) return pid;
  }
  return 0;
}

} // namespace

std::string LockHolder(int fd) {
  struct stat st {};
  const long pid = ::fstat(fd, &st) == 0 ? HolderPid(st) : 0;
  if (pid <= 0) return "другой процесс";
  std::string name;
  std::ifstream(("/proc/" + std::to_string(pid) + "/comm").c_str()) >> name;
  return "PID " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

bool TryLockExclusive(int fd, std::string& holder) {
  int r;
  do {
    r = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return true;
  holder = errno == EWOULDBLOCK ? LockHolder(fd) : "flock: ошибка " + std::to_string(errno);
  return false;
}

} // namespace text
