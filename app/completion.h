// Completion of an update, and the system restart or power-off it may offer.
#pragma once
#include <cstdint>

#include "platform/system.h"
#include "platform/types.h"

void OnUpdateResult(platform::WindowHandle window, int result);
// Asks for a planned restart or power-off (flags EXITWIN_*) for a software installation. The
// result says whether the shutdown privilege was enabled and Windows accepted the request.
platform::ShutdownResult ShutdownSystem(uint32_t flags);
