// The dialog program's updates in the machine's log and history: its procedure is the dialog's
// own, watched as the console program watches it, so that an update made by hand leaves the same
// line in FwUpdate.log and the same record in FwHistory.jsonl, marked as the dialog's. (The drive
// state that decides is written by the update worker itself, for both programs.)
#pragma once
#include <cstdint>

#include "platform/types.h"

intptr_t RecordingDialogProc(platform::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
