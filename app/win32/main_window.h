// The real window: runs the main dialog modally with the seam's Win32 pieces installed.
#pragma once
#include "platform/platform.h"

// Installs the services (the Win32 system, clock and dialog, with the given device I/O and
// tree), prepares AppState and runs IDD_MAIN. Returns the dialog's result.
int RunMainWindow(platform::DeviceIo* io, platform::DeviceTree* tree, platform::Clock* clock);
