#include "soak/SoakChecks.h"

#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace soak {

bool IsLoopedRunOf(const Bytes& file, const Bytes& es) {
  if (file.empty() || es.empty()) return false;
  // Look for where the file starts, wrapping: the stream followed by its own
  // first bytes holds every starting point with enough after it.
  const size_t probe = std::min<size_t>({file.size(), es.size(), 4096});
  Bytes wrapped(es);
  wrapped.insert(wrapped.end(), es.begin(), es.begin() + static_cast<std::ptrdiff_t>(probe));
  for (auto at = wrapped.begin();;) {
    at = std::search(at, wrapped.end(), file.begin(), file.begin() + static_cast<std::ptrdiff_t>(probe));
    if (at == wrapped.end()) return false;
    size_t start = static_cast<size_t>(at - wrapped.begin());
    if (start >= es.size()) return false;
    // Compare the rest stretch by stretch, each up to the stream's end.
    bool same = true;
    for (size_t done = 0, from = start; done < file.size() && same;) {
      const size_t n = std::min(file.size() - done, es.size() - from);
      same = std::memcmp(file.data() + done, es.data() + from, n) == 0;
      done += n;
      from = 0;
    }
    if (same) return true;
    ++at;
  }
}

TMp3Decoding DecodeMp3(const Bytes& file) {
  TMp3Decoding result;
  int error = MPG123_OK;
  std::unique_ptr<mpg123_handle, void (*)(mpg123_handle*)> handle(mpg123_new(nullptr, &error), mpg123_delete);
  if (!handle) {
    result.error = "mpg123_new failed";
    return result;
  }
  mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  if (mpg123_open_feed(handle.get()) != MPG123_OK) {
    result.error = "mpg123_open_feed failed";
    return result;
  }
  std::vector<unsigned char> pcm(1 << 16);
  size_t fed = 0;
  bool ended = false;
  while (!ended) {
    size_t got = 0;
    const int status = mpg123_read(handle.get(), pcm.data(), pcm.size(), &got);
    if (got > 0) result.samples += static_cast<int64_t>(got / 2);
    switch (status) {
      case MPG123_OK:
        break;
      case MPG123_NEW_FORMAT: {
        int encoding = 0;
        mpg123_getformat(handle.get(), &result.rate, &result.channels, &encoding);
        break;
      }
      case MPG123_NEED_MORE:
        if (fed == file.size()) {
          ended = true;
          break;
        }
        {
          const size_t n = std::min<size_t>(file.size() - fed, 1 << 16);
          mpg123_feed(handle.get(), file.data() + fed, n);
          fed += n;
        }
        break;
      case MPG123_DONE:
        ended = true;
        break;
      default:
        result.error = mpg123_strerror(handle.get());
        return result;
    }
  }
  result.ok = result.samples > 0;
  if (!result.ok) result.error = "no audio decoded";
  return result;
}

TProcessUse ProcessUse() {
  TProcessUse use;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "VmRSS:") fields >> use.rssKiB;
    if (key == "Threads:") fields >> use.threads;
  }
  for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) ++use.openFiles;
  return use;
}

Bytes ReadFile(const std::string& path) {
  // In one read: the files of a full-speed run are large.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  Bytes bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

} // namespace soak
