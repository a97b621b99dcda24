#pragma once
// The built program run as a separate process, as a user or a service
// manager starts it: its output goes to files, signals end it, and every
// wait is bounded.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace programtest {

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TProgram {
 public:
  // Starts `program` with `args`; standard output and error go to files in
  // `folder`, or standard output to `outFd` when one is given.
  TProgram(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
           int outFd = -1)
      : out_(folder + "/stdout.txt"), err_(folder + "/stderr.txt") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
      posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
      posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~TProgram() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  std::string Output() const { return ReadWhole(out_); }
  std::string Errors() const { return ReadWhole(err_); }

  // Waits until standard output holds `text`, or the program ends.
  bool WaitForOutput(const std::string& text, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (Output().find(text) != std::string::npos) return true;
      if (Exited(0)) return Output().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void Signal(int signal) {
    if (pid_ > 0 && !exited_) ::kill(pid_, signal);
  }
  // Waits for the end; the exit status, or -1 (killed by a signal, or still
  // running after the time; it is then killed).
  int Wait(int timeoutMs) {
    if (!Exited(timeoutMs)) {
      ::kill(pid_, SIGKILL);
      Exited(5000);
      return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  bool Exited(int timeoutMs) {
    if (exited_ || pid_ <= 0) return true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        exited_ = true;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }

  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

}  // namespace programtest
