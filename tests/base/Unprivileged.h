#pragma once
// Permission cases must behave as for a user even where the tests run as
// root: the check runs in a child process that has given up root for
// "nobody". The child cannot report through gtest, so the check returns a
// small number (0 for success) that comes back as the child's exit code.
#include <cerrno>
#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

constexpr int kNotRun = 250;

inline int RunUnprivileged(const std::function<int()>& check) {
  const pid_t pid = ::fork();
  if (pid < 0) return kNotRun;
  if (pid == 0) {
    int code = kNotRun;
    if (::geteuid() != 0 ||
        (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0)) {
      try {
        code = check();
      } catch (...) {
        code = kNotRun + 1;
      }
    }
    ::_exit(code);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return kNotRun;
  return WIFEXITED(status) ? WEXITSTATUS(status) : kNotRun;
}

} // namespace testing_support
