#pragma once
// Shell commands run from tests (curl, ffmpeg, ffprobe, helper scripts): their
// standard output and exit status, and whether a tool is installed at all.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

struct TCommandResult {
  std::string output;   // standard output; standard error is left to the command line
  int exitStatus = -1;  // -1: not started, or ended by a signal
};

inline TCommandResult RunCommand(const std::string& command) {
  TCommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

// Standard output alone, for callers that judge the command by what it says.
inline std::string CommandOutput(const std::string& command) { return RunCommand(command).output; }

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace testsupport
