// The installed implementations of the seam. The entry point of each build installs its own
// (Win32, the emulated bench, or a test's fakes) before anything else runs.
#pragma once
#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/device_tree.h"
#include "platform/dialog.h"
#include "platform/system.h"

namespace platform {

struct Services {
  DeviceIo* io = nullptr;
  DeviceTree* tree = nullptr;
  System* system = nullptr;
  Clock* clock = nullptr;
  Dialog* dialog = nullptr;
};

// Replaces the whole set; returns the previous one so a test can put it back.
Services Install(const Services& services);
const Services& Installed();

DeviceIo& Io();
DeviceTree& Tree();
System& Sys();
Clock& Time();
Dialog& Ui();

}  // namespace platform
