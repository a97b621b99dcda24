// ffprobe, as a user's own tool, reads the sample transponders as built.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "support/Command.h"
#include "tsbuilder/SampleTransponders.h"

namespace {

// ffprobe's flat output as key -> value, quotes removed; empty when it fails.
std::map<std::string, std::string> Probe(const std::string& file) {
  const testsupport::TCommandResult probe =
      testsupport::RunCommand("ffprobe -v quiet -show_programs -of flat '" + file + "' 2>/dev/null");
  std::map<std::string, std::string> out;
  if (probe.exitStatus != 0) return out;
  std::istringstream lines(probe.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    out[line.substr(0, eq)] = value;
  }
  return out;
}

std::string Hex(uint16_t pid) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%x", pid);
  return b;
}

// Checks every service of the plan against ffprobe's programs.
void ExpectProgramsMatch(const tsb::TTransponderSpec& plan) {
  const std::string file = std::string(MC_BIN_DIR) + "/Device/Emulator/" + plan.fileStem + ".ts";
  ASSERT_TRUE(std::filesystem::exists(file)) << file;
  auto p = Probe(file);
  ASSERT_FALSE(p.empty()) << "ffprobe failed on " << file;
  std::map<int, std::string> programIndex;  // service id -> "programs.program.N."
  for (int i = 0; p.count("programs.program." + std::to_string(i) + ".program_id"); ++i)
    programIndex[std::stoi(p["programs.program." + std::to_string(i) + ".program_id"])] =
        "programs.program." + std::to_string(i) + ".";
  for (const tsb::TServiceSpec& s : plan.services) {
    SCOPED_TRACE("service " + std::to_string(s.serviceId));
    if (!s.inPat) {
      // ffprobe lists an SDT-only service with a service descriptor as a
      // program without PMT or streams.
      if (s.timeShiftedOf != 0) {
        EXPECT_EQ(programIndex.count(s.serviceId), 0u);
      } else if (programIndex.count(s.serviceId)) {
        const std::string pre = programIndex[s.serviceId];
        EXPECT_EQ(p[pre + "pmt_pid"], "0");
        EXPECT_EQ(p[pre + "nb_streams"], "0");
        EXPECT_EQ(p[pre + "tags.service_name"], s.name);
      }
      continue;
    }
    ASSERT_EQ(programIndex.count(s.serviceId), 1u);
    const std::string pre = programIndex[s.serviceId];
    EXPECT_EQ(p[pre + "pmt_pid"], std::to_string(s.pmtPid));
    EXPECT_EQ(p[pre + "pcr_pid"], std::to_string(plan.pcrPid));
    EXPECT_EQ(p[pre + "tags.service_name"], s.name);
    EXPECT_EQ(p[pre + "tags.service_provider"], s.provider);
    std::map<std::string, std::string> codecById;
    std::string audioPre;
    for (int k = 0; p.count(pre + "streams.stream." + std::to_string(k) + ".id"); ++k) {
      const std::string sp = pre + "streams.stream." + std::to_string(k) + ".";
      codecById[p[sp + "id"]] = p[sp + "codec_name"];
      if (p[sp + "id"] == Hex(s.audioPid)) audioPre = sp;
    }
    size_t expectedStreams = (s.audioPid != 0) + (s.videoPid != 0) + (s.ac3Pid != 0) + (s.teletextPid != 0);
    EXPECT_EQ(codecById.size(), expectedStreams);
    if (s.audioPid != 0) {
      ASSERT_FALSE(audioPre.empty());
      EXPECT_EQ(p[audioPre + "codec_name"], "mp2");
      EXPECT_EQ(p[audioPre + "sample_rate"], std::to_string(s.audio.sampleRate));
      EXPECT_EQ(p[audioPre + "channels"], s.audio.mode == tsb::TAudioMode::Mono ? "1" : "2");
      EXPECT_EQ(p[audioPre + "bit_rate"], std::to_string(s.audio.bitrateKbps * 1000));
      EXPECT_EQ(p[audioPre + "tags.language"], s.language);
    }
    if (s.videoPid != 0) {
      EXPECT_EQ(codecById[Hex(s.videoPid)], s.videoStreamType == 0x1B ? "h264" : "mpeg2video");
    }
    if (s.ac3Pid != 0) {
      EXPECT_EQ(codecById[Hex(s.ac3Pid)], "ac3");
    }
    if (s.teletextPid != 0) {
      EXPECT_EQ(codecById[Hex(s.teletextPid)], "dvb_teletext");
    }
  }
}

TEST(FfprobeInteropTest, DemoTransponderProgramsStreamsAndNames) {
  if (!testsupport::HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  ExpectProgramsMatch(tsb::DemoTransponder());
}

TEST(FfprobeInteropTest, TestTransponderProgramsStreamsAndNames) {
  if (!testsupport::HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  ExpectProgramsMatch(tsb::TestTransponder());
}

} // namespace
