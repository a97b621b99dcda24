#include "app/ProcessWide.h"

TDevicePlugin Dvb;
