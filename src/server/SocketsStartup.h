#pragma once
// Process-wide start and end of the socket layer. On POSIX there is no library
// to start; what matters is that a write to a closed connection never kills
// the process with SIGPIPE.
#include <stdexcept>
#include <string>

class ESocketError : public std::runtime_error {
 public:
  explicit ESocketError(const std::string& message) : std::runtime_error(message) {}
};

// Ignores SIGPIPE for the whole process; raises ESocketError("WSAStartup")
// when the signal disposition cannot be changed. Safe to call more than once.
void SocketsStartup();

// Counterpart of SocketsStartup, run once at exit. SIGPIPE stays ignored:
// other code may still be writing to sockets or pipes while the process ends.
void SocketsCleanup();
