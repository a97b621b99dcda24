// The player engine's HTTP client on arbitrary answers: the head's end found
// in the bytes as they arrive, the head parsed; and the input as a stream
// address, split and its path encoded.
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
  return 0;
}
