#include "app/completion.h"

#include "app/events.h"
#include "app/update_lock.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "core/trace.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "resources/resource.h"

using namespace platform;

namespace {

// The restart or power-off the user asked for, and a box when Windows did not start it: the
// firmware waits for that restart, so the user must know it did not happen and why.
void ShutdownAsAsked(WindowHandle window, uint32_t flags) {
  ShutdownResult r = ShutdownSystem(flags);
  if (r.privilegeEnabled && r.accepted) return;
  char16_t text[TEXT_LONG];
  FormatText(text, TEXT_LONG,
             u"Windows did not %s the computer: %s (error %u).\r\nRestart the computer to finish the firmware update.",
             flags == EXITWIN_POWEROFF ? u"power off" : u"restart",
             r.privilegeEnabled ? u"it refused the request" : u"the shutdown privilege could not be enabled", r.error);
  Ui().ShowMessageBox(window, text, AppStateGet().title, BOX_OK | BOX_ICONWARNING);
}

}  // namespace

void OnUpdateResult(WindowHandle window, int result) {
  AppState& s = AppStateGet();
  // The update has ended: another may start.
  ReleaseUpdateLock();
  ReportUpdateResult(result);
  if (result != UPDATE_OK) {
    Ui().ShowMessageBox(window, u"Update FW Fail !", s.title, BOX_OK);
  } else if (s.afterMessage[0] != 0) {
    switch (s.powerCtrl) {
      case 0:
        Ui().ShowMessageBox(window, s.afterMessage, s.title, BOX_OK);
        break;
      case 1:
        if (Ui().ShowMessageBox(window, s.afterMessage, s.title, BOX_OKCANCEL | BOX_ICONINFORMATION) == ID_OK)
          ShutdownAsAsked(window, EXITWIN_POWEROFF);
        break;
      case 2:
        if (Ui().ShowMessageBox(window, s.afterMessage, s.title, BOX_OKCANCEL | BOX_ICONINFORMATION) == ID_OK)
          ShutdownAsAsked(window, EXITWIN_REBOOT);
        break;
      default:
        break;
    }
  }
  Ui().EnableItem(window, ID_OK, true);
  Ui().EnableItem(window, IDC_DRIVE_LIST, true);
}

ShutdownResult ShutdownSystem(uint32_t flags) {
  ShutdownResult r = Sys().Shutdown(flags, SHUTDOWN_REASON_INSTALLATION);
  ReportShutdown(flags, r);
  if (!r.privilegeEnabled)
    DebugTraceAlways(u"ShutdownSystem: the shutdown privilege could not be enabled (error %u)", r.error);
  else if (!r.accepted)
    DebugTraceAlways(u"ShutdownSystem: Windows refused the request (error %u)", r.error);
  return r;
}
