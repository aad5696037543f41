// The main dialog's logic: the procedure that dispatches every message, its start-up, the close
// rule, the progress mapping and the device-change debounce. It works on the window only through
// the dialog seam, so the same code runs in the real window and in the headless one.
#pragma once
#include <cstdint>

#include "platform/types.h"

constexpr uintptr_t IDT_DEVICE_CHANGE = 1000;
constexpr uint32_t DEVICE_CHANGE_DELAY_MS = 2000;

// Returns 1 (TRUE) only for an accepted close; 0 (FALSE) for everything else.
intptr_t MainDialogProc(platform::WindowHandle window, uint32_t message, uintptr_t wParam,
                        intptr_t lParam);

void OnInitDialog(platform::WindowHandle window);
void CenterWindow(platform::WindowHandle window);
bool IsUpdateRunning();
int MapProgress(int percent);

// The status-line layout rule of the start, as pure arithmetic. status and dialog are window
// rectangles in screen pixels; returns the dialog's new height.
int FittedDialogHeight(const platform::Rect& status, const platform::Rect& dialog);
