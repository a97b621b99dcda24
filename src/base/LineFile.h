#pragma once
// The line format shared by the three settings files: lines end at LF or
// CR LF, a lone CR is dropped, byte 0x1A ends the file, no length limit.
// Lines are written with CR LF.
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Splits file content into lines. A last line without LF counts when it holds
// any byte (even a lone CR), as a text-file reader would return it.
std::vector<std::string> SplitLines(std::string_view content);

// Reads and splits a whole file; throws EInOutError.
std::vector<std::string> ReadLineFile(const std::string& path);

// Writes every line followed by CR LF. The content goes to a temporary file
// beside the target, which is then renamed over it, so a failure half way
// leaves the old file intact. A symbolic link is followed and its target
// replaced; an existing file keeps its mode and, where allowed, its owner
// and group, and is refused when it is read-only (for root: has no write
// bit). In a folder that takes no new files an existing list is rewritten
// in place. Throws EInOutError.
void WriteLineFile(const std::string& path, const std::vector<std::string>& lines);

// Same, for content already formed.
void WriteFileAtomically(const std::string& path, std::string_view content);

} // namespace text
