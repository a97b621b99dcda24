#pragma once
// Text fields of service descriptors (length byte, then bytes) turned into the
// program's CP1251 names.
#include <cstddef>
#include <cstdint>
#include <string>

namespace scan {

// Decodes the bytes of one text field (without its length byte). A first
// byte of 0x20 or above means the bytes are taken as they are; otherwise it
// selects a character table: 0x01 (ISO 8859-5, shifted into CP1251), 0x15
// (UTF-8) and 0x10 0x00 0x05 (ISO 8859-5) are converted to CP1251, with '?'
// for characters CP1251 lacks; other tables keep their bytes. The text ends
// at a NUL byte.
std::string DecodeDvbText(const uint8_t* bytes, size_t length);

} // namespace scan
