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
int MapProgress(int percent);

// The pixel lengths of the start-up layout at 96 DPI (100 %). The template is in dialog units and
// scales with its font; these are scaled to the window's DPI (ScaleToDpi), so 96 DPI keeps them.
constexpr int LAYOUT_MARGIN_PX = 5;      // below the status line's own height
constexpr int PROGRESS_HEIGHT_PX = 5;    // the bar along the bottom edge
constexpr int LOGO_ICON_PX = 64;         // the icon beside the drive list
constexpr int BASE_DPI = 96;

// pixels at 96 DPI as pixels at dpi, rounded to the nearest.
int ScaleToDpi(int pixels, int dpi);

// The status-line layout rule of the start, as pure arithmetic. status and dialog are window
// rectangles in screen pixels; returns the dialog's new height at the window's dpi.
int FittedDialogHeight(const platform::Rect& status, const platform::Rect& dialog, int dpi = BASE_DPI);
