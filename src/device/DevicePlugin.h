#pragma once
// Loading the card plug-in Device/<card>.so into a card table. One library is
// loaded at a time, process-wide; the program's own table is listed in
// app/ProcessWide.h and handed to whoever works on the card.
#include <atomic>
#include <string>

#include "device/DvbPluginApi.h"

// Set when the card check's DVBOpen succeeded; the close calls DVBClose only then.
extern std::atomic<bool> CardOpen;

// Loads Device/<card>.so, looked up below the working directory first, then
// beside the executable, then in an installed program's library folder, and resolves the nine exports into table. Returns 0
// on success, -1 when no library loads or one lacks an export (it is unloaded
// again). A successful load replaces the one before; a failed one leaves the
// table empty.
int LoadDevicePlugin(const std::string& card, TDevicePlugin& table);

// Why the last LoadDevicePlugin returned -1: no such file, the loader's own
// text (dlerror) or the missing export. Main thread, as the load.
const std::string& DevicePluginLoadError();

// Closes a card the check opened, clears the table and unloads the library.
void UnloadDevicePlugin(TDevicePlugin& table);

// True while a plug-in is loaded.
bool DevicePluginLoaded();

// The path a load would try for a card, or empty when neither place has it.
std::string FindDevicePlugin(const std::string& card);
