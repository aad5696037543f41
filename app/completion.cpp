#include "app/completion.h"

#include "app/update_lock.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "core/trace.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "resources/resource.h"

using namespace platform;

void OnUpdateResult(WindowHandle window, int result) {
  AppState& s = AppStateGet();
  // The update has ended: another may start.
  ReleaseUpdateLock();
  if (result != UPDATE_OK) {
    Ui().ShowMessageBox(window, u"Update FW Fail !", s.title, BOX_OK);
  } else if (s.afterMessage[0] != 0) {
    switch (s.powerCtrl) {
      case 0:
        Ui().ShowMessageBox(window, s.afterMessage, s.title, BOX_OK);
        break;
      case 1:
        if (Ui().ShowMessageBox(window, s.afterMessage, s.title, BOX_OKCANCEL | BOX_ICONINFORMATION) == ID_OK)
          ShutdownSystem(EXITWIN_POWEROFF);
        break;
      case 2:
        if (Ui().ShowMessageBox(window, s.afterMessage, s.title, BOX_OKCANCEL | BOX_ICONINFORMATION) == ID_OK)
          ShutdownSystem(EXITWIN_REBOOT);
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
  if (!r.privilegeEnabled)
    DebugTraceAlways(u"ShutdownSystem: the shutdown privilege could not be enabled (error %u)", r.error);
  else if (!r.accepted)
    DebugTraceAlways(u"ShutdownSystem: Windows refused the request (error %u)", r.error);
  return r;
}
