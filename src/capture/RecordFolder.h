#pragma once
// The record folder checked before a run opens its files: the user's music
// folder, the one offered when nothing was chosen, is made when missing; a
// folder the user named is never made, so a typing slip cannot scatter
// recordings into a new tree.
#include <string>

// Empty when the folder the files of `folder` (the system's bytes, which
// channel names are glued to) land in can take them; otherwise the message for the user
// (UTF-8). That folder is created with its parents when it is the one of
// `defaultFolder`. A text without "/" (files beside the program) is not checked.
std::string PrepareRecordFolder(const std::string& folder, const std::string& defaultFolder);
