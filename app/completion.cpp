// Placeholder bodies: completion follows the update worker.
#include "app/completion.h"

#include "platform/platform.h"

void OnUpdateResult(platform::WindowHandle, int) {}
void ShutdownSystem(uint32_t flags) { platform::Sys().Shutdown(flags); }
