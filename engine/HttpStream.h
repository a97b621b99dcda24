#pragma once
// The engine's own HTTP/1.0 client: one GET, a 200 head, then the body.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ChunkedBody.h"

namespace xa {

struct HttpAddress {
  std::string Host;
  uint16_t Port = 80;
  std::string Path;  // as sent: starts with '/', percent-encoded
};

// Splits "http://host[:port][/path]"; false for anything else.
bool ParseHttpAddress(const std::string& url, HttpAddress& out);
// Encodes the bytes a request line cannot carry; an existing "%XX" is kept,
// so an address that is already encoded goes out unchanged.
std::string EncodePath(const std::string& path);

// The answer head as the stream reads it. `received` is all read so far: the
// offset where the body starts once the blank line has arrived, else npos.
size_t AnswerBodyStart(const std::string& received);
struct AnswerHead {
  bool Ok = false;       // "HTTP/1.x 200" or "ICY 200"
  std::string Status;    // the status line
  std::string MimeType;  // the last Content-Type, blanks before it removed
  // Transfer-Encoding: "chunked", or what else it names (which is refused).
  bool Chunked = false;
  std::string OtherEncoding;
};
// `head` without the blank line that ends it.
AnswerHead ParseAnswerHead(const std::string& head);

class HttpStream {
 public:
  ~HttpStream();
  // Connects, sends the request and reads the head, each wait bounded by
  // timeoutMs. `abort` is polled while waiting. False with error()/code().
  bool Open(const HttpAddress& address, int timeoutMs, const std::function<bool()>& abort);
  // Body bytes taken over from the head read, consumed by the first Read.
  // Read: bytes of the body (a chunked one without its framing), 0 at the
  // end of the stream, -1 on error (a bad chunked body sets error()), -2 when
  // nothing came within waitMs.
  long Read(void* buffer, size_t size, int waitMs);
  void Close();
  const std::string& error() const { return error_; }
  int code() const { return code_; }
  const std::string& mimeType() const { return mimeType_; }

 private:
  bool Fail(int code, std::string message);
  long ReadRaw(void* buffer, size_t size, int waitMs);
  int fd_ = -1;
  std::unique_ptr<ChunkedBody> chunked_;  // null for a plain body
  bool ended_ = false;
  std::string pending_;
  std::string error_;
  std::string mimeType_;
  int code_ = 0;
};

}  // namespace xa
