#include "soak/SoakListeners.h"

#include "server/ServerTestUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

// Reads never hold a listener thread long, so Stop is prompt.
int Connect(uint16_t port) {
  const int fd = servertest::Connect(port);
  const timeval timeout{0, 300 * 1000};
  if (fd >= 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  return fd;
}

void ResetClose(int fd) {
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(fd);
}

} // namespace

const char* KindName(TListenerKind kind) {
  switch (kind) {
    case TListenerKind::FastReader: return "fast reader";
    case TListenerKind::SlowReader: return "slow reader";
    case TListenerKind::HalfClose: return "half-close";
    case TListenerKind::Reset: return "reset";
    case TListenerKind::LeaveAtOnce: return "leave at once";
    case TListenerKind::NeverRead: return "never reads";
    case TListenerKind::kCount: break;
  }
  return "?";
}

TListenerCrowd::TListenerCrowd(std::vector<std::string> paths, uint16_t port, TListenerTally& tally,
                               uint32_t seed)
    : paths_(std::move(paths)), port_(port), tally_(tally), seed_(seed) {}

TListenerCrowd::~TListenerCrowd() { Stop(); }

void TListenerCrowd::Start(int threads) {
  stop_ = false;
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this, i] { Run(seed_ + 7919u * i); });
}

void TListenerCrowd::Stop() {
  stop_ = true;
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void TListenerCrowd::Run(uint32_t seed) {
  std::mt19937 random(seed);
  auto upTo = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  std::vector<char> buffer(64 * 1024);
  while (!stop_) {
    const auto kind = static_cast<TListenerKind>(upTo(static_cast<int>(TListenerKind::kCount)));
    const int fd = Connect(port_);
    if (fd < 0) {
      ++tally_.refused;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    ++tally_.tried[static_cast<size_t>(kind)];
    const std::string request = "GET " + paths_[upTo(static_cast<int>(paths_.size()))] + " HTTP/1.0\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (kind == TListenerKind::LeaveAtOnce) {
      ::close(fd);
      continue;
    }
    if (kind == TListenerKind::HalfClose) ::shutdown(fd, SHUT_WR);
    const auto end = Clock::now() + std::chrono::milliseconds(200 + upTo(4000));
    bool headSeen = false;
    while (!stop_ && Clock::now() < end) {
      if (kind == TListenerKind::NeverRead) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      const size_t want = kind == TListenerKind::SlowReader ? 512 : buffer.size();
      const ssize_t got = ::recv(fd, buffer.data(), want, 0);
      if (got == 0) break;
      if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;
      }
      if (!headSeen && got >= 12) {
        headSeen = true;
        if (std::memcmp(buffer.data() + 9, "200", 3) == 0) ++tally_.answered200;
        else if (std::memcmp(buffer.data() + 9, "504", 3) == 0) ++tally_.answered504;
        else if (std::memcmp(buffer.data() + 9, "404", 3) == 0) ++tally_.answered404;
        else ++tally_.otherAnswer;
      }
      tally_.bytes += got;
      if (kind == TListenerKind::SlowReader) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (kind == TListenerKind::Reset) ResetClose(fd);
    else ::close(fd);
  }
}

} // namespace soak
