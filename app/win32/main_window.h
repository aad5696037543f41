// The real window: runs the main dialog modally with the seam's Win32 pieces installed.
#pragma once
#include "platform/platform.h"

// Installs the services (the given system, or the Win32 one when null; the Win32 dialog; the
// given device I/O, tree and clock), prepares AppState and runs IDD_MAIN. Returns 0 when the
// dialog has ended.
int RunMainWindow(platform::DeviceIo* io, platform::DeviceTree* tree, platform::Clock* clock,
                  platform::System* system = nullptr);
