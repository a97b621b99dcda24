// The player engine's HTTP client on arbitrary answers: the head's end found
// in the bytes as they arrive, the head parsed; and the input as a stream
// address, split and its path encoded; and as a chunked body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "HttpStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t body = xa::AnswerBodyStart(bytes);
  if (body != std::string::npos && body > bytes.size()) __builtin_trap();
  const xa::AnswerHead head = xa::ParseAnswerHead(body == std::string::npos ? bytes : bytes.substr(0, body));
  if (head.Status.size() > size || head.MimeType.size() > size) __builtin_trap();

  xa::HttpAddress address;
  if (xa::ParseHttpAddress(bytes, address) && (address.Host.empty() || address.Port == 0)) __builtin_trap();
  const std::string encoded = xa::EncodePath(bytes);
  if (xa::EncodePath(encoded) != encoded) __builtin_trap();  // an encoded path goes out unchanged

  // The same bytes as a chunked body, taken in two pieces: the audio never
  // outgrows what came.
  std::string piece = bytes;
  xa::ChunkedBody chunked;
  const size_t half = size / 2;
  size_t first = 0, second = 0;
  if (chunked.Take(piece.data(), half, first) != xa::ChunkedBody::Result::Bad) {
    if (first > half) __builtin_trap();
    chunked.Take(piece.data() + half, size - half, second);
    if (second > size - half) __builtin_trap();
  }
  return 0;
}
