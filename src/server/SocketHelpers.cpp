#include "server/SocketHelpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

void FdZero(TSocketSet& set) { set.Count = 0; }

void FdSet(TSocket socket, TSocketSet& set) {
  if (set.Count < SocketSetCapacity) set.Array[set.Count++] = socket;
}

bool FdIsSet(TSocket socket, const TSocketSet& set) {
  const uint32_t n = set.Count < SocketSetCapacity ? set.Count : SocketSetCapacity;
  for (uint32_t i = 0; i < n; ++i)
    if (set.Array[i] == socket) return true;
  return false;
}

int SelectReadable(TSocketSet& set, int32_t timeoutMs) {
  const uint32_t n = set.Count < SocketSetCapacity ? set.Count : SocketSetCapacity;
  pollfd fds[SocketSetCapacity];
  for (uint32_t i = 0; i < n; ++i) {
    // poll would skip a negative handle and, with nothing else to watch and
    // no time limit, wait for ever; select refuses it.
    if (set.Array[i] < 0) return -1;
    fds[i] = pollfd{set.Array[i], POLLIN, 0};
  }

  // A signal must not cut the wait short: retry with what is left of it.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  int r;
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    r = ::poll(fds, n, wait);
    if (r >= 0 || errno != EINTR) break;
  }
  if (r <= 0) return r;

  // A handle that names no open descriptor is an error, as select's EBADF.
  for (uint32_t i = 0; i < n; ++i)
    if (fds[i].revents & POLLNVAL) return -1;
  // Readable here includes a hang-up or error: the next read reports it.
  uint32_t kept = 0;
  for (uint32_t i = 0; i < n; ++i)
    if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) set.Array[kept++] = fds[i].fd;
  set.Count = kept;
  return static_cast<int>(kept);
}

int WaitReadable(TSocket socket, int32_t timeoutMs) {
  TSocketSet set;
  FdSet(socket, set);
  return SelectReadable(set, timeoutMs);
}

std::string AddressToText(uint32_t address) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
         std::to_string(b[3]);
}

TSocket CreateBoundSocket(const std::string& address, uint16_t port) {
  if (port == 0) return InvalidSocket;
  in_addr_t ip = htonl(INADDR_ANY);
  if (!address.empty()) {
    ip = ::inet_addr(address.c_str());
    if (ip == INADDR_NONE) return InvalidSocket;
  }
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return InvalidSocket;
  const int on = 1;
  (void)::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = ip;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(s);
    return InvalidSocket;
  }
  return s;
}

bool SetSocketNonBlocking(TSocket socket, bool nonBlocking) {
  const int flags = ::fcntl(socket, F_GETFL);
  if (flags < 0) return false;
  const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags || ::fcntl(socket, F_SETFL, wanted) == 0;
}

void CloseSocket(TSocket socket) {
  if (socket >= 0) ::close(socket);
}
