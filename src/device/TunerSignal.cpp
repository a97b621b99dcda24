#include "device/TunerSignal.h"

std::optional<TTunerSignal> ReadTunerSignal(const TDevicePlugin& card) {
  if (!card.DVBGetTunerStatus) return std::nullopt;
  TTunerSignal s;
  s.Lost = card.DVBGetTunerStatus(&s.Level, &s.Quality) == kTunerStatusLost;
  if (s.Lost) s.Level = s.Quality = 0;
  return s;
}

std::vector<size_t> TOverflowNotices::Check(const std::vector<int64_t>& counts, TClock::time_point now) {
  if (told_.size() < counts.size()) {
    told_.resize(counts.size(), 0);
    when_.resize(counts.size());
  }
  std::vector<size_t> rows;
  for (size_t r = 0; r < counts.size(); ++r) {
    if (counts[r] <= told_[r]) continue;
    // Losses within the quiet minute wait for its end, so none go untold.
    if (when_[r] && now - *when_[r] < kQuietTime) continue;
    told_[r] = counts[r];
    when_[r] = now;
    rows.push_back(r);
  }
  return rows;
}
