#include "soak/SoakChecks.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
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
