#include "app/win32/main_window.h"

#include <windows.h>
#include <commctrl.h>

#include "app/entry.h"
#include "app/events.h"
#include "app/fleet_dialog.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "platform/win32/win32_platform.h"
#include "resources/resource.h"

namespace {

// The bar's position assistive technology was last told of; -1 before the first.
int g_announcedPosition = -1;

// Tells assistive technology that the progress bar moved (EVENT_OBJECT_VALUECHANGE), once per new
// position, so that a screen reader speaks the update's progress under the bar's name (the hidden
// label before it). The dialog's logic sets the bar through the seam; this glue watches it.
void AnnounceProgress(HWND window) {
  HWND bar = ::GetDlgItem(window, IDC_PROGRESS);
  if (bar == nullptr) return;
  int position = static_cast<int>(::SendMessageW(bar, PBM_GETPOS, 0, 0));
  if (position == g_announcedPosition) return;
  g_announcedPosition = position;
  ::NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, bar, OBJID_CLIENT, CHILDID_SELF);
}

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = static_cast<INT_PTR>(RecordingDialogProc(window, message, wParam, lParam));
  if (message == WM_INITDIALOG) {
    // The package is read: the run's start names its version.
    ReportRunStarted(u"(the dialog)");
    g_announcedPosition = static_cast<int>(::SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETPOS, 0, 0));
  } else if (message == WM_UPDATE_PROGRESS || message == WM_COMMAND) AnnounceProgress(window);
  return result;
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
  BeginEvents(u"QuorvelaFwUpdate");
  ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, DialogProcedure, 0);
  // The dialog program's exit code is 0 whatever its updates did; the end's type and tally say that.
  ReportRunEnded(0, "the window was closed");
  return 0;
}
