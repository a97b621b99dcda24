// Arbitrary request heads, byte by byte through the head reader as the server
// reads them, then the request line split and decoded; the whole input also
// goes to UrlDecode.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/HttpRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = UrlDecode(text);
  if (decoded.size() > size) __builtin_trap();  // decoding never grows the text

  TRequestHeadReader reader;
  TRequestHeadReader::TState state = TRequestHeadReader::TState::More;
  size_t fed = 0;
  for (; fed < size && state == TRequestHeadReader::TState::More; ++fed) state = reader.Put(text[fed]);
  if (state == TRequestHeadReader::TState::More) reader.Finish();
  size_t held = 0;
  for (const std::string& line : reader.Lines()) held += line.size();
  if (reader.Lines().size() > TRequestHeadReader::MaxLines || held > TRequestHeadReader::MaxHeadBytes) __builtin_trap();
  if (state == TRequestHeadReader::TState::TooLarge || reader.Lines().empty()) return 0;
  std::string method, path;
  ParseRequestLine(reader.Lines().front(), method, path);
  return 0;
}
