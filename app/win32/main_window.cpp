#include "app/win32/main_window.h"

#include <windows.h>
#include <commctrl.h>

#include "app/entry.h"
#include "app/fleet_dialog.h"
#include "app/main_dialog.h"
#include "platform/win32/win32_platform.h"
#include "resources/resource.h"

namespace {

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return static_cast<INT_PTR>(RecordingDialogProc(window, message, wParam, lParam));
}

}  // namespace

int RunMainWindow(platform::DeviceIo* io, platform::DeviceTree* tree, platform::Clock* clock,
                  platform::System* system) {
  static platform::Win32System win32System;
  static platform::Win32Dialog dialog;
  platform::Services services;
  services.io = io;
  services.tree = tree;
  services.system = system != nullptr ? system : &win32System;
  services.clock = clock;
  services.dialog = &dialog;
  platform::Install(services);
  platform::EnterSystemFolder();

  ::InitCommonControls();
  PrepareAppState();
  ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, DialogProcedure, 0);
  return 0;
}
