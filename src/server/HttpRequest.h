#pragma once
// The stream protocol: a minimal HTTP/1.0 subset. A player sends
// "GET /<channel name>"; it gets the 200 head and then the live audio, or a
// 404/504 answer, or nothing at all for anything else.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/StreamPort.h"

class TClient;
class TSource;

// Collects the lines of a request head byte by byte. A line longer than 512
// bytes is cut there and ends the head. The head as a whole is bounded too:
// more than 8 KiB or 64 lines and it is refused, so a client cannot make the
// server hold an unbounded list of lines.
class TRequestHeadReader {
 public:
  static constexpr size_t MaxLineLength = 512;
  static constexpr size_t MaxHeadBytes = 8192;
  static constexpr size_t MaxLines = 64;
  enum class TState { More, Complete, TooLarge };

  TState Put(char byte);
  // The peer closed: keep the lines gathered so far.
  void Finish() {}
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  TState AppendLine();
  std::vector<std::string> lines_;
  std::string current_;
  size_t bytes_ = 0;
};

// Splits the request line into the upper-cased method and the decoded path
// without its leading "/". Either stays empty when the line is malformed.
void ParseRequestLine(const std::string& line, std::string& method, std::string& path);

// A header line "Icy-MetaData: 1" (name in any case) after the request line:
// the player wants titles inside the stream.
bool AsksForTitles(const std::vector<std::string>& headLines);

// Reads the head from the client's socket (the whole head within the
// server's HeaderTimeout) and fills Method, Path and WantsTitles. Returns false when the head was
// refused for its size; Method and Path are then empty.
bool ReadRequest(TClient& client);

// Percent and plus decoding; a broken escape makes the whole result empty.
std::string UrlDecode(std::string_view text);

// The address a player asks for a channel by: the CP1251 name as UTF-8,
// percent-encoded but for letters, digits and "-._~" (a name of dots alone
// is encoded too, so no client takes it for a folder step).
std::string StreamAddress(const std::string& channelName, uint16_t port = kStreamPort);

int32_t SendOkHeader(TClient& client, const std::string& contentType);
int32_t SendNotFound(TClient& client, const std::string& message);
int32_t SendServerFull(TClient& client, const std::string& message);
// The whole 504 answer with the server's own message.
std::string ServerFullAnswer();
int32_t SendForbidden(TClient& client, const std::string& message);

// The server keeps no ban list: every address passes.
bool IsAddressBanned(const std::string& peerAddress);

// Request thread body: answers the head and hands the client to its source,
// or closes it.
void HandleRequest(std::unique_ptr<TClient> client);
