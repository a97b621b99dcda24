#pragma once
// Loopback helpers for the server tests. Every read has a time-out, so a
// fault in the server fails a test instead of hanging it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace servertest {

// A socket bound to a loopback port the kernel chose; its number in `port`.
inline int BindLoopback(uint16_t& port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return s;
}

// A port that was free a moment ago (bound to 0, then released).
inline uint16_t FreePort() {
  uint16_t port = 0;
  ::close(BindLoopback(port));
  return port;
}

// A listening socket on a free loopback port, for a test's own peer server.
inline int ListenOnLoopback(uint16_t& port, int backlog = 1) {
  const int s = BindLoopback(port);
  ::listen(s, backlog);
  return s;
}

// Connected socket, or -1. A receive buffer size above 0 is set before the
// connection so that the window stays small.
inline int Connect(uint16_t port, int receiveBuffer = 0) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer > 0) ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

inline void SendAll(int s, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t r = ::send(s, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (r <= 0) return;
    done += static_cast<size_t>(r);
  }
}

// Up to `count` bytes; stops early at end of stream or when nothing arrives
// for `timeoutMs`.
inline std::string Receive(int s, size_t count, int timeoutMs = 3000) {
  std::string out;
  char buf[16384];
  while (out.size() < count) {
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    const size_t want = std::min(sizeof buf, count - out.size());
    const ssize_t r = ::recv(s, buf, want, 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// Everything until the peer closes. `closed` tells whether it did close
// (false: nothing arrived for `timeoutMs`).
inline std::string ReceiveUntilClosed(int s, bool& closed, int timeoutMs = 3000) {
  std::string out;
  char buf[4096];
  closed = false;
  for (;;) {
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return out;
    const ssize_t r = ::recv(s, buf, sizeof buf, 0);
    if (r <= 0) {
      closed = true;
      return out;
    }
    out.append(buf, static_cast<size_t>(r));
  }
}

// A response head up to and including its blank line, read byte by byte so
// that no audio after it is taken.
inline std::string ReceiveHead(int s, int timeoutMs = 3000) {
  std::string out;
  while (out.size() < 4096 && (out.size() < 4 || out.compare(out.size() - 4, 4, "\r\n\r\n") != 0)) {
    const std::string byte = Receive(s, 1, timeoutMs);
    if (byte.empty()) break;
    out += byte;
  }
  return out;
}

// The bound only turns a fault into a failure instead of a hang: a loaded
// machine may take long to get there, so it is generous.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 30000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Bytes 0..n-1 of an endless test stream: position-dependent, so a lost,
// repeated or reordered byte shows.
inline std::string Pattern(size_t offset, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    const size_t k = offset + i;
    s[i] = static_cast<char>((k * 7 + (k >> 8) * 13) & 0xFF);
  }
  return s;
}

}  // namespace servertest
