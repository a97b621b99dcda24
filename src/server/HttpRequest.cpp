#include "server/HttpRequest.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "server/AudioServer.h"
#include "base/Cp1251.h"

TRequestHeadReader::TState TRequestHeadReader::AppendLine() {
  if (lines_.size() >= MaxLines) return TState::TooLarge;
  lines_.push_back(std::move(current_));
  current_.clear();
  return TState::More;
}

TRequestHeadReader::TState TRequestHeadReader::Put(char byte) {
  if (++bytes_ > MaxHeadBytes) return TState::TooLarge;
  if (byte == '\n') {
    if (current_.empty()) return TState::Complete;
    return AppendLine();
  }
  if (byte == '\r') return TState::More;
  current_ += byte;
  if (current_.size() > MaxLineLength) {
    const TState s = AppendLine();
    return s == TState::TooLarge ? s : TState::Complete;
  }
  return TState::More;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (text.size() - i < 3) return {};
      if (text[i + 1] == '%') {
        out += '%';
        i += 1;
        continue;
      }
      const int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return {};
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '+') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string StreamAddress(const std::string& channelName, uint16_t port) {
  // A name with a byte that has no letter in CP1251 goes as its raw bytes,
  // which the server looks up first.
  std::string utf8 = text::Cp1251ToUtf8(channelName);
  if (text::Utf8ToCp1251(utf8) != channelName) utf8 = channelName;
  const bool onlyDots = utf8.find_first_not_of('.') == std::string::npos;
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "http://127.0.0.1:" + std::to_string(port) + "/";
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '~' || (c == '.' && !onlyDots);
    if (plain) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

void ParseRequestLine(const std::string& line, std::string& method, std::string& path) {
  method.clear();
  path.clear();
  const size_t p = line.find(' ');
  if (p == std::string::npos || p < 3) return;  // no space, or a method under three characters
  method = UpperAscii(line.substr(0, p));
  const std::string rest = line.substr(p + 1);
  const size_t q = rest.find(' ');
  if (q == std::string::npos || q == 0) return;  // no version, or two spaces in a row
  path = rest[0] == '/' ? UrlDecode(std::string_view(rest).substr(1, q - 1))
                        : UrlDecode(std::string_view(rest).substr(0, q));
}

bool AsksForTitles(const std::vector<std::string>& headLines) {
  static const std::string kName = "ICY-METADATA";
  for (size_t i = 1; i < headLines.size(); ++i) {
    const std::string& line = headLines[i];
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    if (UpperAscii(name) != kName) continue;
    const size_t from = line.find_first_not_of(" \t", colon + 1);
    const size_t to = line.find_last_not_of(" \t");
    return from != std::string::npos && line.compare(from, to - from + 1, "1") == 0;
  }
  return false;
}

bool ReadRequest(TClient& client) {
  client.Method.clear();
  client.Path.clear();
  client.WantsTitles = false;
  TRequestHeadReader reader;
  // One deadline for the whole head: a client that drips a byte now and then
  // must not hold a request thread for longer than a silent one.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(client.Server->HeaderTimeout, 0));
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return true;  // out of time: nothing is parsed
    if (WaitReadable(client.Socket, static_cast<int32_t>(left)) <= 0) return true;
    char byte;
    const ssize_t r = ::recv(client.Socket, &byte, 1, 0);
    if (r <= 0) break;
    const auto state = reader.Put(byte);
    if (state == TRequestHeadReader::TState::TooLarge) return false;
    if (state == TRequestHeadReader::TState::Complete) break;
  }
  if (!reader.Lines().empty()) ParseRequestLine(reader.Lines().front(), client.Method, client.Path);
  client.WantsTitles = AsksForTitles(reader.Lines());
  return true;
}

namespace {

std::string RefusalText(const char* status, const std::string& message) {
  return std::string("HTTP/1.0 ") + status + "\r\nContent-Type: text/html\r\n\r\n<b>" + message + "</b>\r\n";
}

int32_t SendRefusal(TClient& client, const char* status, const std::string& message) {
  return client.SendText(RefusalText(status, message));
}

const char* const kServerFullMessage = "The server is already full. Try again later.";

// Steps up to the 200 head; the source to attach the client to, or null when
// the connection is to be closed.
std::shared_ptr<TSource> AnswerRequest(TClient& client, bool& reserved) {
  TAudioServer& server = *client.Server;
  SetSocketNonBlocking(client.Socket, false);
  if (!ReadRequest(client)) return nullptr;
  if (client.Method != "GET") return nullptr;
  if (IsAddressBanned(client.PeerAddress)) {
    SendForbidden(client, "Access Denied. IP " + client.PeerAddress + " banned.");
    return nullptr;
  }
  if (client.Path.empty() || client.Path == "/") return nullptr;

  // Found once and held: a source removed meanwhile cannot vanish under us.
  std::shared_ptr<TSource> source = server.FindSourceObject(client.Path);
  // Players send the name percent-encoded in UTF-8; channel names are CP1251.
  if (!source && text::IsValidUtf8(client.Path)) {
    const std::string cp1251 = text::Utf8ToCp1251(client.Path);
    if (cp1251 != client.Path) source = server.FindSourceObject(cp1251);
  }
  if (!source) {
    SendNotFound(client, "The source you requested could not be found.");
    return nullptr;
  }
  if (!server.ReserveClientSlot()) {
    SendServerFull(client, kServerFullMessage);
    return nullptr;
  }
  reserved = true;
  SendOkHeader(client, "video/mpeg");
  client.SendText("icy-name: " + source->StreamName() + "\r\n");
  if (client.WantsTitles) client.SendText("icy-metaint: " + std::to_string(icy::kInterval) + "\r\n");
  client.SendText("\r\n");
  return source;
}

}  // namespace

int32_t SendOkHeader(TClient& client, const std::string& contentType) {
  return client.SendText("HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: " + contentType + "\r\n");
}

int32_t SendNotFound(TClient& client, const std::string& message) {
  return SendRefusal(client, "404 File Not Found", message);
}

std::string ServerFullAnswer() { return RefusalText("504 Server Full", kServerFullMessage); }

int32_t SendServerFull(TClient& client, const std::string& message) {
  return SendRefusal(client, "504 Server Full", message);
}

int32_t SendForbidden(TClient& client, const std::string& message) {
  return SendRefusal(client, "403 Forbidden", message);
}

bool IsAddressBanned(const std::string&) { return false; }

void HandleRequest(std::unique_ptr<TClient> client) {
  std::shared_ptr<TSource> source;
  bool reserved = false;  // a listener slot is held for this client
  try {
    source = AnswerRequest(*client, reserved);
  } catch (...) {
    source = nullptr;  // e.g. out of memory while reading the head: just close
  }
  TAudioServer& server = *client->Server;
  struct TSlotRelease {
    TAudioServer& server;
    bool held;
    ~TSlotRelease() {
      if (held) server.ReleaseClientSlot();
    }
  } release{server, reserved};
  // From here on the stopping server no longer reaches this socket.
  client->Server->ForgetRequestClient(client.get());
  if (!source) return;  // the client closes as it goes
  SetSocketNonBlocking(client->Socket, true);
  const int on = 1;
  (void)::setsockopt(client->Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Attached, the listener holds the reserved slot itself.
  if (source->AddClient(std::move(client))) release.held = false;
}
