// The scan of the demo transponder at real-time replay on the Emulator card,
// against the time in which every table the scan needs has been broadcast
// once: the longest wait, anywhere in the file, for any section of the PAT,
// of the PMTs it names, and of the SDT (computed from the file and its PCRs).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "channels/ChannelList.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "scan/TransponderScan.h"

namespace {

const std::string kDataFolder = std::string(MC_BIN_DIR) + "/Device/Emulator/";

struct TTableBound {
  double seconds = 0;  // every needed section has come round within this time
  int tables = 0;
};

// Seconds per byte from the first and last PCR of the first PCR-carrying PID.
double SecondsPerByte(const std::vector<uint8_t>& ts) {
  int pcrPid = -1;
  double first = -1, last = -1;
  size_t firstAt = 0, lastAt = 0;
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    const uint8_t* p = &ts[at];
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) continue;
    if (pcrPid == -1) pcrPid = pid;
    if (pid != pcrPid) continue;
    const uint64_t base = (uint64_t(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
    const double t = (base * 300 + (((p[10] & 1) << 8) | p[11])) / 27e6;
    if (first < 0) first = t, firstAt = at;
    last = t, lastAt = at;
  }
  return lastAt > firstAt ? (last - first) / double(lastAt - firstAt) : 0;
}

TTableBound TableBound(const std::vector<uint8_t>& ts) {
  const double spb = SecondsPerByte(ts);
  // Completion times of each section, keyed by (pid, table_id, extension, number).
  std::map<std::tuple<int, int, int, int>, std::vector<double>> done;
  std::map<int, std::vector<uint8_t>> open;  // section being gathered per PID
  std::set<int> pmtPids = {};
  int tsid = -1;
  auto complete = [&](int pid, const std::vector<uint8_t>& s, double t) {
    const int ext = (s[3] << 8) | s[4];
    done[{pid, s[0], ext, s[6]}].push_back(t);
    if (pid == 0 && s[0] == 0x00) {
      tsid = ext;
      const int length = ((s[1] & 0x0F) << 8) | s[2];
      for (int i = 8; i + 4 <= length - 1; i += 4)
        if (((s[i] << 8) | s[i + 1]) != 0) pmtPids.insert(((s[i + 2] & 0x1F) << 8) | s[i + 3]);
    }
  };
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    const uint8_t* p = &ts[at];
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    if (pid != 0 && pid != 0x11 && pid < 0x20) continue;
    size_t payload = 4;
    if (p[3] & 0x20) payload += 1 + p[4];
    if (!(p[3] & 0x10) || payload >= 188) continue;
    const uint8_t* d = p + payload;
    size_t n = 188 - payload;
    auto& s = open[pid];
    if (p[1] & 0x40) {
      const size_t pointer = d[0];
      if (pointer + 1 >= n) continue;
      s.assign(d + 1 + pointer, d + n);
    } else if (!s.empty()) {
      s.insert(s.end(), d, d + n);
    }
    if (s.size() >= 3 && s[0] != 0xFF) {
      const size_t total = 3 + (((s[1] & 0x0F) << 8) | s[2]);
      if (s.size() >= total) {
        complete(pid, s, double(at + 188) * spb);
        s.clear();
      }
    }
  }
  const double fileSeconds = double(ts.size()) * spb;
  TTableBound bound;
  for (const auto& [key, times] : done) {
    const auto [pid, table, ext, number] = key;
    const bool needed = (pid == 0 && table == 0x00) || (pmtPids.count(pid) && table == 0x02) ||
                        (pid == 0x11 && table == 0x42 && ext == tsid);
    if (!needed) continue;
    if (number == 0) ++bound.tables;
    // The replay loops: the wait after the last repetition runs into the first.
    double worst = times.front() + fileSeconds - times.back();
    for (size_t i = 1; i < times.size(); ++i) worst = std::max(worst, times[i] - times[i - 1]);
    bound.seconds = std::max(bound.seconds, worst);
  }
  return bound;
}

void BM_ScanDemoTransponderRealTime(benchmark::State& state) {
  std::ifstream in(kDataFolder + "4084H.ts", std::ios::binary);
  const std::vector<uint8_t> ts{std::istreambuf_iterator<char>(in), {}};
  const TTableBound bound = TableBound(ts);
  if (ts.empty() || bound.seconds <= 0) {
    state.SkipWithError("4084H.ts missing or without tables");
    return;
  }
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd) || ::chdir(MC_BIN_DIR) != 0 || LoadDevicePlugin("Emulator", Dvb) != 0 ||
      Dvb.DVBOpen(0) == 0) {
    state.SkipWithError("Emulator card not available");
    return;
  }
  if (::chdir(cwd) != 0) return;
  Dvb.DVBSendDiSEqC(1);
  TTunerParams params{};
  params.Frequency = 4084 * 1000;
  params.Constant2 = 2;
  params.Voltage = 18;
  Dvb.DVBSetTuner(params);

  double total = 0;
  size_t rows = 0;
  for (auto _ : state) {
    TChannelList list;
    const auto start = std::chrono::steady_clock::now();
    ScanAndFill(Dvb, list);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
    rows = list.Count();
  }
  Dvb.DVBClose();
  UnloadDevicePlugin(Dvb);
  const double mean = total / double(state.iterations());
  state.counters["rows"] = double(rows);
  state.counters["tables"] = bound.tables;
  state.counters["bound_ms"] = bound.seconds * 1000;
  state.counters["scan_ms"] = mean * 1000;
  state.counters["ratio"] = mean / bound.seconds;
}
BENCHMARK(BM_ScanDemoTransponderRealTime)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
