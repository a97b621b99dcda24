#pragma once
// Text fields of service descriptors (length byte, then bytes) turned into the
// program's CP1251 names.
#include <cstddef>
#include <cstdint>
#include <string>

namespace scan {

// Decodes the bytes of one text field (without its length byte). A first
// byte of 0x20 or above means the bytes are taken as they are (stations send
// CP1251 names that way). Otherwise it selects a character table (ISO 8859
// parts, two-byte Unicode, Korean and Chinese sets, UTF-8) whose text is
// converted to CP1251, with '?' for characters CP1251 lacks; DVB control codes
// are dropped (emphasis), turned into a space (line break) or into '_'. A
// reserved or unknown table keeps its bytes. The text ends at a NUL
// character.
std::string DecodeDvbText(const uint8_t* bytes, size_t length);

} // namespace scan
