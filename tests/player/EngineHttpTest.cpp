// The engine's HTTP client against a loopback server that answers with the
// line ends real servers use: the body must start right after the first
// empty line, whatever bytes the audio holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "ChunkedBody.h"
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
    listener_ = servertest::ListenOnLoopback(port_);
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

// Everything a stream gives until it ends or fails; `failed` set on -1.
std::string ReadBody(xa::HttpStream& stream, bool& failed) {
  std::string body;
  char buf[4096];
  long n;
  while ((n = stream.Read(buf, sizeof buf, 3000)) > 0) body.append(buf, static_cast<size_t>(n));
  failed = n == -1;
  return body;
}

// A chunked body, as it comes and byte by byte: the audio without its
// framing, or a refusal for framing no server should send.
TEST(EngineHttp, AChunkedBodyIsDecodedAndHostileFramingRefused) {
  using R = xa::ChunkedBody::Result;
  const struct {
    const char* what;
    std::string body;
    R result;
    std::string audio;
  } cases[] = {
      {"extensions and trailers", "4\r\n\xFF\xFD\r\n\r\n3;name=\"a;b\"\r\nefg\r\nA\r\n0123456789\r\n0;last\r\nX-T: 1\r\n\r\n",
       R::End, "\xFF\xFD\r\nefg0123456789"},
      {"bare line feeds, upper case, leading zeros", "0000000000000000000B\nhello world\n0\n\n", R::End, "hello world"},
      {"bytes after the last chunk", "1\r\na\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n", R::End, "a"},
      {"not yet ended", "5\r\nab", R::More, "ab"},
      {"a size beyond any stream", "1000000000000000\r\nab", R::Bad, ""},
      {"no size", "\r\nab", R::Bad, ""},
      {"a size that is no number", "-4\r\nabcd\r\n", R::Bad, ""},
      {"a chunk longer than its size", "2\r\nabc\r\n0\r\n\r\n", R::Bad, "ab"},
      {"a size line that never ends", "4;" + std::string(xa::ChunkedBody::kMaxLine, 'x'), R::Bad, ""},
      {"trailers that never end", "0\r\n" + std::string(xa::ChunkedBody::kMaxTrailers + 1, 'x'), R::Bad, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const bool byByte : {false, true}) {
      xa::ChunkedBody body;
      std::string data = c.body, audio;
      R r = R::More;
      const size_t step = byByte ? 1 : data.size();
      for (size_t at = 0; at < data.size() && r == R::More; at += step) {
        size_t n = 0;
        const size_t piece = std::min(step, data.size() - at);
        r = body.Take(data.data() + at, piece, n);
        ASSERT_LE(n, piece);
        audio.append(data.data() + at, n);
      }
      EXPECT_EQ(r, c.result) << body.error();
      EXPECT_EQ(audio, c.audio);
      EXPECT_EQ(r == R::Bad, !body.error().empty());
    }
  }
}

// Through the stream: a chunked answer gives its audio and then an end; a
// bad one an error that says what; a coding the engine cannot undo is
// refused at the head rather than played as audio.
TEST(EngineHttp, ChunkedAnswersArePlayedAsTheirAudioAndOtherCodingsRefused) {
  const std::string audio = std::string("\xFF\xFD\x90\x04", 4) + std::string(10000, '\x55');
  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nContent-Type: audio/mpeg\r\n\r\n";
  for (size_t at = 0; at < audio.size(); at += 3000) {
    const std::string part = audio.substr(at, 3000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", part.size());
    chunked += size + std::string(";x=y\r\n") + part + "\r\n";
  }
  {
    TOneAnswerServer server(chunked + "0\r\n\r\n");
    xa::HttpStream stream;
    ASSERT_TRUE(stream.Open({"127.0.0.1", server.port(), "/Jazz"}, 3000, [] { return false; })) << stream.error();
    bool failed = false;
    EXPECT_EQ(ReadBody(stream, failed), audio);
    EXPECT_FALSE(failed) << stream.error();
  }
  {
    TOneAnswerServer server(chunked + "zz\r\n");
    xa::HttpStream stream;
    ASSERT_TRUE(stream.Open({"127.0.0.1", server.port(), "/Jazz"}, 3000, [] { return false; })) << stream.error();
    bool failed = false;
    EXPECT_EQ(ReadBody(stream, failed), audio);
    EXPECT_TRUE(failed);
    EXPECT_NE(stream.error().find("chunk"), std::string::npos) << stream.error();
  }
  {
    TOneAnswerServer server("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + audio);
    xa::HttpStream stream;
    EXPECT_FALSE(stream.Open({"127.0.0.1", server.port(), "/Jazz"}, 3000, [] { return false; }));
    EXPECT_NE(stream.error().find("gzip"), std::string::npos) << stream.error();
  }
}

}  // namespace
