#pragma once
// The program without windows: scan, list and record from the command line,
// on the same settings files, card check, tuning and recording run as the
// windows use. Texts go to standard output (errors to standard error) as
// UTF-8.
#include "app/CommandLine.h"
#include "device/DvbPluginApi.h"

// Runs one action of the command line on the card table `card` (loaded by the
// card check, emptied at the end); the process's exit status.
int RunHeadless(const TCommandLine& commandLine, TDevicePlugin& card);

// The rows as a table, CP1251 names shown as UTF-8.
void PrintRows(const char* title, const TChannelList& list);
