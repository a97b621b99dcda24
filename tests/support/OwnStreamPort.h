#pragma once
// A loopback port of the test's own for the recorder's stream server, handed
// to every program the test starts through the environment, so that tests
// which start the program run side by side instead of queueing for the
// usual port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace testsupport {

class TOwnStreamPort {
 public:
  TOwnStreamPort() : port_(FreeLoopbackPort()) {
    ::setenv("MELLOWCASTER_STREAM_PORT", std::to_string(port_).c_str(), 1);
  }
  ~TOwnStreamPort() { ::unsetenv("MELLOWCASTER_STREAM_PORT"); }
  TOwnStreamPort(const TOwnStreamPort&) = delete;
  TOwnStreamPort& operator=(const TOwnStreamPort&) = delete;

  uint16_t Port() const { return port_; }
  std::string Address(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }

 private:
  static uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0)
      port = ntohs(sa.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
  }

  uint16_t port_;
};

} // namespace testsupport
