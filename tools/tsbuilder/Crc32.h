#pragma once
// CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, initial 0xFFFFFFFF, no
// reflection, no final xor): a whole section including its CRC sums to 0.
#include <cstddef>
#include <cstdint>

namespace tsb {

uint32_t Crc32Mpeg(const uint8_t* data, size_t size);

} // namespace tsb
