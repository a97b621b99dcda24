#pragma once
// The RDS (EBU) character table of programme service names and radiotext.
#include <cstddef>
#include <cstdint>
#include <string>

namespace radiotext {

// Code point of one RDS character. 0x20 to 0x7E are taken as ASCII, as
// encoders fed from ASCII systems mean them; control bytes and unused codes
// become a space.
char32_t RdsCodePoint(uint8_t c);

std::u32string RdsToCodePoints(const uint8_t* text, size_t n);

} // namespace radiotext
