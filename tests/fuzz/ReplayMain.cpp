// Replays a fuzz target's saved inputs through its entry point, as libFuzzer
// does with a corpus, in builds made without libFuzzer: the plain and the
// sanitizer test passes keep every seed and every input once found to crash.
//   <target>_replay FILE_OR_FOLDER...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path p(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(p, error)) {
      for (const auto& e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) inputs.push_back(e.path());
    } else if (std::filesystem::is_regular_file(p, error)) {
      inputs.push_back(p);
    } else {
      std::fprintf(stderr, "%s: no such input\n", argv[i]);
      return 2;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  // libFuzzer starts with the empty input too.
  LLVMFuzzerTestOneInput(nullptr, 0);
  for (const auto& p : inputs) {
    const std::vector<uint8_t> bytes = ReadAll(p);
    std::printf("%s (%zu bytes)\n", p.filename().c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
