#pragma once

#include "driver/driver.h"

// Gives the emulated serial settings their defaults; run at device creation
// and on every open. Time-outs, special characters, handshake settings and
// statistics survive: applications expect them to persist across opens.
void InitializePortDefaults(PDEVICE_EXTENSION ext);
