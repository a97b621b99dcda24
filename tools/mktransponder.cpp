// Writes the emulator card's sample transponders into a folder: for each,
// <stem>.ts, the manifest <stem>.txt and the audio elementary streams
// <stem>.es/<service id>.mp2 that the recordings are compared with.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "tsbuilder/SampleTransponders.h"

namespace {

void WriteFile(const std::filesystem::path& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void Write(const std::filesystem::path& folder, const tsb::TTransponderSpec& plan) {
  const tsb::TBuiltTransponder t = tsb::BuildTransponder(plan);
  const std::string manifest = tsb::Manifest(t);
  const std::filesystem::path esFolder = folder / (plan.fileStem + ".es");
  std::filesystem::create_directories(esFolder);
  for (const tsb::TBuiltService& s : t.services)
    if (!s.audioEs.empty())
      WriteFile(esFolder / (std::to_string(s.plan.serviceId) + ".mp2"), s.audioEs.data(),
                s.audioEs.size());
  WriteFile(folder / (plan.fileStem + ".txt"), manifest.data(), manifest.size());
  // The stream last, so its time stamp tells the build everything is there.
  WriteFile(folder / (plan.fileStem + ".ts"), t.ts.data(), t.ts.size());
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  try {
    const std::filesystem::path folder(argv[1]);
    std::filesystem::create_directories(folder);
    Write(folder, tsb::TestTransponder());
    Write(folder, tsb::DemoTransponder());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mktransponder: %s\n", e.what());
    return 1;
  }
  return 0;
}
