#include "HttpStream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "xaudio.h"

namespace xa {
namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Waits for `events` in slices, so an abort request is seen within 50 ms.
// 1 ready, 0 timed out, -1 aborted or failed.
int WaitFor(int fd, short events, int timeoutMs, const std::function<bool()>& abort) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (abort && abort()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 50)));
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
  }
}

}  // namespace

bool ParseHttpAddress(const std::string& url, HttpAddress& out) {
  static const char kScheme[] = "http://";
  if (url.size() < 8 || strncasecmp(url.c_str(), kScheme, 7) != 0) return false;
  const std::string rest = url.substr(7);
  const auto slash = rest.find('/');
  const std::string hostPort = rest.substr(0, slash);
  out.Path = EncodePath(slash == std::string::npos ? "/" : rest.substr(slash));
  const auto colon = hostPort.rfind(':');
  out.Host = hostPort.substr(0, colon);
  out.Port = 80;
  if (colon != std::string::npos) {
    const std::string port = hostPort.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const long p = std::stol(port);
    if (p < 1 || p > 65535) return false;
    out.Port = static_cast<uint16_t>(p);
  }
  return !out.Host.empty();
}

std::string EncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    const bool encoded = c == '%' && i + 2 < path.size() && IsHex(path[i + 1]) && IsHex(path[i + 2]);
    // '+' is a space to the server; '?', '#' and '%' would end or change the path.
    const bool plain = (c > 0x20 && c < 0x7F && c != '%' && c != '+' && c != '?' && c != '#' && c != '"') || encoded;
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

HttpStream::~HttpStream() { Close(); }

void HttpStream::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
  chunked_.reset();
  ended_ = false;
}

bool HttpStream::Fail(int code, std::string message) {
  Close();
  code_ = code;
  error_ = std::move(message);
  return false;
}

bool HttpStream::Open(const HttpAddress& address, int timeoutMs, const std::function<bool()>& abort) {
  Close();
  error_.clear();
  code_ = 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.Host.c_str(), std::to_string(address.Port).c_str(), &hints, &found) != 0 || !found)
    return Fail(XA_ERROR_CONNECT_FAILED, "cannot resolve host " + address.Host);
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    ::freeaddrinfo(found);
    return Fail(XA_ERROR_CONNECT_FAILED, std::string("cannot create socket: ") + std::strerror(errno));
  }
  const int r = ::connect(fd_, found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  const std::string where = address.Host + ":" + std::to_string(address.Port);
  if (r != 0 && errno != EINPROGRESS) return Fail(XA_ERROR_CONNECT_FAILED, "cannot connect to " + where + ": " + std::strerror(errno));
  if (r != 0) {
    const int w = WaitFor(fd_, POLLOUT, timeoutMs, abort);
    if (w == 0) return Fail(XA_ERROR_TIMEOUT, "connection to " + where + " timed out");
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (w < 0 || err != 0)
      return Fail(XA_ERROR_CONNECT_FAILED, "cannot connect to " + where + ": " + std::strerror(err ? err : ECANCELED));
  }

  const std::string request = "GET " + address.Path + " HTTP/1.0\r\nHost: " + where + "\r\n\r\n";
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (WaitFor(fd_, POLLOUT, timeoutMs, abort) != 1) return Fail(XA_ERROR_TIMEOUT, "sending the request timed out");
    } else {
      return Fail(XA_ERROR_CONNECT_FAILED, std::string("cannot send the request: ") + std::strerror(errno));
    }
  }

  // The whole head must arrive within the time-out, not each piece of it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string head;
  size_t end = std::string::npos;
  while (end == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int w = left.count() > 0 ? WaitFor(fd_, POLLIN, static_cast<int>(left.count()), abort) : 0;
    if (w == 0) return Fail(XA_ERROR_TIMEOUT, "no answer from " + where);
    if (w < 0) return Fail(XA_ERROR_CONNECT_FAILED, "request to " + where + " cancelled");
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return Fail(XA_ERROR_HTTP_STATUS, "connection closed by " + where + " before an answer");
    head.append(buf, static_cast<size_t>(n));
    const size_t body = AnswerBodyStart(head);
    if (body != std::string::npos) {
      pending_ = head.substr(body);
      // The head's text stops before the empty line's line end and its own.
      end = body - (head[body - 2] == '\r' ? 3 : 2);
      if (end > 0 && head[end - 1] == '\r') --end;
    } else if (head.size() > 16384) {
      return Fail(XA_ERROR_HTTP_STATUS, "answer head too long");
    }
  }
  head.resize(end);
  const AnswerHead answer = ParseAnswerHead(head);
  if (!answer.Ok) {
    return Fail(XA_ERROR_HTTP_STATUS, "server answered: " + answer.Status);
  }
  if (!answer.OtherEncoding.empty())
    return Fail(XA_ERROR_HTTP_STATUS, "the server sends the stream as \"" + answer.OtherEncoding + "\", which is not played");
  if (answer.Chunked) chunked_ = std::make_unique<ChunkedBody>();
  mimeType_ = answer.MimeType;
  return true;
}

// The head ends at its first empty line, whichever line ends the server
// uses: a later CR LF CR LF may already be audio.
size_t AnswerBodyStart(const std::string& received) {
  for (size_t at = received.find('\n'); at != std::string::npos; at = received.find('\n', at + 1)) {
    if (received.compare(at + 1, 1, "\n") == 0) return at + 2;
    if (received.compare(at + 1, 2, "\r\n") == 0) return at + 3;
  }
  return std::string::npos;
}

AnswerHead ParseAnswerHead(const std::string& head) {
  AnswerHead a;
  a.Status = head.substr(0, head.find_first_of("\r\n"));
  const std::string& status = a.Status;
  // "HTTP/1.x 200" or the "ICY 200" of shoutcast-style servers.
  const auto sp = status.find(' ');
  a.Ok = sp != std::string::npos && (status.rfind("HTTP/", 0) == 0 || status.rfind("ICY", 0) == 0) &&
         status.compare(sp + 1, 3, "200") == 0 && (status.size() == sp + 4 || status[sp + 4] == ' ');
  if (!a.Ok) return a;
  for (size_t at = 0; (at = head.find('\n', at)) != std::string::npos;) {
    ++at;
    const auto value = [&](size_t nameLength) {
      const auto stop = head.find_first_of("\r\n", at);
      std::string v = head.substr(at + nameLength, stop == std::string::npos ? std::string::npos : stop - at - nameLength);
      v.erase(0, v.find_first_not_of(" \t"));
      v.erase(v.find_last_not_of(" \t") + 1);
      return v;
    };
    if (strncasecmp(head.c_str() + at, "Content-Type:", 13) == 0) {
      a.MimeType = value(13);
    } else if (strncasecmp(head.c_str() + at, "Transfer-Encoding:", 18) == 0) {
      const std::string coding = value(18);
      if (strcasecmp(coding.c_str(), "chunked") == 0)
        a.Chunked = true;
      else if (strcasecmp(coding.c_str(), "identity") != 0)
        a.OtherEncoding = coding;
    }
  }
  return a;
}

long HttpStream::Read(void* buffer, size_t size, int waitMs) {
  if (!chunked_) return ReadRaw(buffer, size, waitMs);
  if (ended_) return 0;
  if (!chunked_->error().empty()) return -1;
  // Framing alone gives no audio: read on until some comes. Each round
  // consumes bytes, and the framing per chunk is bounded.
  for (;;) {
    const long n = ReadRaw(buffer, size, waitMs);
    if (n <= 0) return n;
    size_t audio = 0;
    const ChunkedBody::Result r = chunked_->Take(static_cast<char*>(buffer), static_cast<size_t>(n), audio);
    // The audio before bad framing is still played; the next read fails.
    if (r == ChunkedBody::Result::Bad) error_ = chunked_->error();
    if (r == ChunkedBody::Result::Bad && audio == 0) return -1;
    if (r == ChunkedBody::Result::End) ended_ = true;
    if (audio > 0) return static_cast<long>(audio);
    if (ended_) return 0;
  }
}

long HttpStream::ReadRaw(void* buffer, size_t size, int waitMs) {
  if (!pending_.empty()) {
    const size_t n = std::min(size, pending_.size());
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    return static_cast<long>(n);
  }
  if (fd_ < 0) return -1;
  pollfd p{fd_, POLLIN, 0};
  const int r = ::poll(&p, 1, waitMs);
  if (r == 0 || (r < 0 && errno == EINTR)) return -2;
  if (r < 0) return -1;
  const ssize_t n = ::recv(fd_, buffer, size, 0);
  if (n < 0) return (errno == EAGAIN || errno == EINTR) ? -2 : -1;
  return static_cast<long>(n);
}

}  // namespace xa
