// The progress the dialog shows: the two messages the update worker sends it, the stage they are
// mapped into, and the report handed down to the command paths and discovery.
#pragma once
#include <cstdint>

#include "platform/messages.h"

// What the update worker tells the dialog: its result once at the end, and the progress of the
// current stage.
constexpr uint32_t WM_UPDATE_RESULT = platform::MSG_APP + 37;    // lParam: result, 1 = success
constexpr uint32_t WM_UPDATE_PROGRESS = platform::MSG_APP + 48;  // lParam: percent of the stage
static_assert(WM_UPDATE_RESULT == 0x8025 && WM_UPDATE_PROGRESS == 0x8030);

// Makes from..to the stage and sends (waiting for the dialog) the percent of it.
void SetProgressStage(int from, int to, int percent);
// Waits, posting the share of the wait that has passed once a second and sending 100 at its end.
void WaitWithProgress(uint32_t milliseconds);
// Posts a percentage of the current stage (a ProgressReport for the layers below).
void PostProgress(int percent);
