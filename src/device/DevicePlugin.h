#pragma once
// Loading the card plug-in Device/<card>.so into the process-wide table.
#include <atomic>
#include <string>

#include "device/DvbPluginApi.h"

// The nine operations of the loaded plug-in; all null while none is loaded.
extern TDevicePlugin Dvb;

// Set when the card check's DVBOpen succeeded; the close calls DVBClose only then.
extern std::atomic<bool> CardOpen;

// Loads Device/<card>.so, looked up below the working directory first and then
// beside the executable, and resolves the nine exports into Dvb. Returns 0 on
// success, -1 when no library loads or one lacks an export (it is unloaded
// again). A successful load replaces the one before; a failed one leaves Dvb
// empty.
int LoadDevicePlugin(const std::string& card);

// Clears Dvb and unloads the library. The caller has closed the card first.
void UnloadDevicePlugin();

// True while a plug-in is loaded.
bool DevicePluginLoaded();

// The path a load would try for a card, or empty when neither place has it.
std::string FindDevicePlugin(const std::string& card);
