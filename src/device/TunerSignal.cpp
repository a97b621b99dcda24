#include "device/TunerSignal.h"

std::optional<TTunerSignal> ReadTunerSignal(const TDevicePlugin& card) {
  if (!card.DVBGetTunerStatus) return std::nullopt;
  TTunerSignal s;
  card.DVBGetTunerStatus(&s.Level, &s.Quality);
  return s;
}
