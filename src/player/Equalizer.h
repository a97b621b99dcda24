#pragma once
// The equaliser as the player keeps it: ten band positions and a volume
// position, stored in eq.ini (eleven lines), and the engine's 32-entry
// equaliser record the band positions map to.
#include <array>
#include <functional>
#include <string>

#include "xaudio.h"

inline constexpr int kEqualizerBands = 10;
inline constexpr int kEqualizerBandDefault = 12;
inline constexpr int kVolumeDefault = 58;

using TBandPositions = std::array<int, kEqualizerBands>;

// The engine's equaliser record for the ten band positions (-100 at the top
// of a bar gives +100); left and right alike.
XA_EqualizerInfo EqualizerOf(const TBandPositions& positions);

// Reads eq.ini and hands each value to `take` in file order: index 0..9 the
// bands, 10 the volume. Throws text::EInOutError when the file cannot be read
// (nothing taken) and text::EConvertError at the first line that is no number
// or is missing (the values before it taken).
void ReadEqualizerFile(const std::string& path, const std::function<void(int index, int value)>& take);

// Writes the eleven lines; throws text::EInOutError.
void WriteEqualizerFile(const std::string& path, const TBandPositions& bands, int volume);
