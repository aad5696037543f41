#include "platform/platform.h"

namespace platform {
namespace {
Services g_services;
}

Services Install(const Services& services) {
  Services previous = g_services;
  g_services = services;
  return previous;
}

const Services& Installed() { return g_services; }

DeviceIo& Io() { return *g_services.io; }
DeviceTree& Tree() { return *g_services.tree; }
System& Sys() { return *g_services.system; }
Clock& Time() { return *g_services.clock; }
Dialog& Ui() { return *g_services.dialog; }

}  // namespace platform
