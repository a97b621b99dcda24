#include "server/SocketsStartup.h"

#include <csignal>

void SocketsStartup() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGPIPE, &action, nullptr) != 0) throw ESocketError("WSAStartup");
  // A recording that reaches the file-size limit must fail its write (EFBIG)
  // and stop that one channel, not end the whole process.
  if (sigaction(SIGXFSZ, &action, nullptr) != 0) throw ESocketError("WSAStartup");
}

void SocketsCleanup() {}
