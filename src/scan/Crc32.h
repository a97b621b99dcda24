#pragma once
// CRC-32 of PSI sections (polynomial 0x04C11DB7, initial value all ones, no
// reflection, no final inversion). Run over a whole section including its
// trailing CRC field it gives 0.
#include <cstddef>
#include <cstdint>

namespace scan {

uint32_t SectionCrc32(const uint8_t* data, size_t length);

} // namespace scan
