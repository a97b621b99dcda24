// The engine's HTTP client against a loopback server that answers with the
// line ends real servers use: the body must start right after the first
// empty line, whatever bytes the audio holds.
#include <gtest/gtest.h>

#include <thread>

#include "HttpStream.h"
#include "server/ServerTestUtil.h"

namespace {

struct TAnswer {
  const char* what;
  std::string head;  // up to and with the empty line
  std::string body;
  const char* mimeType;
};

// Listens on a free loopback port, sends `answer` to the first request and closes.
class TOneAnswerServer {
 public:
  explicit TOneAnswerServer(std::string answer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    ::listen(listener_, 1);
    thread_ = std::thread([this, answer = std::move(answer)] {
      const int s = ::accept(listener_, nullptr, nullptr);
      if (s < 0) return;
      servertest::ReceiveHead(s);
      servertest::SendAll(s, answer);
      ::close(s);
    });
  }
  ~TOneAnswerServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST(EngineHttp, TheBodyStartsAfterTheFirstEmptyLineWhateverTheLineEnds) {
  // Audio that happens to hold the other kind of empty line.
  const std::string audio = std::string("\xFF\xFD\x90\x04", 4) + "\r\n\r\n" + "\n\n" + std::string(300, '\x55');
  const TAnswer answers[] = {
      {"CR LF", "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n", audio, "audio/mpeg"},
      {"LF", "HTTP/1.0 200 OK\nContent-Type: audio/mpeg\n\n", audio, "audio/mpeg"},
      {"CR LF then LF", "ICY 200 OK\r\nContent-Type: audio/mpeg\r\n\n", audio, "audio/mpeg"},
      {"LF then CR LF", "HTTP/1.1 200 OK\nContent-Type: video/mpeg\n\r\n", audio, "video/mpeg"},
      {"no type", "HTTP/1.0 200 OK\n\n", "\r\n\r\nContent-Type: text/html\r\n\r\n", ""},
  };
  for (const TAnswer& a : answers) {
    SCOPED_TRACE(a.what);
    TOneAnswerServer server(a.head + a.body);
    xa::HttpAddress address{"127.0.0.1", server.port(), "/Jazz"};
    xa::HttpStream stream;
    ASSERT_TRUE(stream.Open(address, 3000, [] { return false; })) << stream.error();
    EXPECT_EQ(stream.mimeType(), a.mimeType);
    std::string body;
    char buf[4096];
    for (long n; (n = stream.Read(buf, sizeof buf, 3000)) > 0;) body.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(body, a.body);
  }
}

}  // namespace
