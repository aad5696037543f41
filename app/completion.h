// Completion of an update, and the system restart or power-off it may offer.
#pragma once
#include <cstdint>

#include "platform/types.h"

void OnUpdateResult(platform::WindowHandle window, int result);
void ShutdownSystem(uint32_t flags);
