#include "device/TunerSignal.h"

std::optional<TTunerSignal> ReadTunerSignal(const TDevicePlugin& card) {
  if (!card.DVBGetTunerStatus) return std::nullopt;
  TTunerSignal s;
  s.Lost = card.DVBGetTunerStatus(&s.Level, &s.Quality) == kTunerStatusLost;
  if (s.Lost) s.Level = s.Quality = 0;
  return s;
}
