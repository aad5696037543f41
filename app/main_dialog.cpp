#include "app/main_dialog.h"

#include <atomic>
#include <initializer_list>

#include "app/completion.h"
#include "app/drive_list.h"
#include "app/eligibility.h"
#include "app/package_info.h"
#include "app/progress.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "resources/resource.h"

using namespace platform;

int MapProgress(int percent) {
  AppState& s = AppStateGet();
  // The worker changes the stage while posted percentages of the last one may still wait here.
  std::atomic_ref<int16_t> fromField(s.progressFrom), toField(s.progressTo);
  if (percent == 0) return fromField.load();
  if (toField.load() == 0) toField.store(100);
  int32_t from = fromField.load(), to = toField.load();
  return from + percent * (to - from) / 100;
}

int ScaleToDpi(int pixels, int dpi) {
  if (dpi <= 0) dpi = BASE_DPI;
  return (pixels * dpi + BASE_DPI / 2) / BASE_DPI;
}

int FittedDialogHeight(const Rect& status, const Rect& dialog, int dpi) {
  return (status.bottom - dialog.top) + (status.bottom - status.top) + ScaleToDpi(LAYOUT_MARGIN_PX, dpi);
}

void CenterWindow(WindowHandle window) {
  Dialog& ui = Ui();
  Rect r{};
  ui.GetWindowRect(window, 0, &r);
  int width = r.right - r.left, height = r.bottom - r.top;
  int x, y;
  WindowHandle parent = ui.GetParent(window);
  if (parent != nullptr) {
    Rect p{};
    ui.GetWindowRect(parent, 0, &p);
    x = p.left + ((p.right - p.left) - width) / 2;
    y = p.top + ((p.bottom - p.top) - height) / 2;
  } else {
    int sw = 0, sh = 0;
    ui.GetScreenSize(&sw, &sh);
    x = (sw - width) / 2;
    y = (sh - height) / 2;
  }
  ui.MoveWindow(window, 0, x, y, width, height);
}

void OnInitDialog(WindowHandle window) {
  AppState& s = AppStateGet();
  Dialog& ui = Ui();
  s.dialogWindow = window;

  for (int id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS})
    ui.SetItemText(window, id, u"");

  // The template scaled with the window's DPI; the lengths the layout sets in pixels follow it.
  int dpi = ui.GetDpi(window);
  Rect status{}, dialog{};
  ui.GetWindowRect(window, IDC_STATUS, &status);
  ui.GetWindowRect(window, 0, &dialog);
  ui.MoveWindow(window, 0, dialog.left, dialog.top, dialog.right - dialog.left,
                FittedDialogHeight(status, dialog, dpi));

  Rect client{};
  ui.GetClientRect(window, 0, &client);
  int bar = ScaleToDpi(PROGRESS_HEIGHT_PX, dpi);
  ui.MoveWindow(window, IDC_PROGRESS, 0, (client.bottom - client.top) - bar, client.right - client.left, bar);

  CenterWindow(window);
  int icon = ScaleToDpi(LOGO_ICON_PX, dpi);
  ui.ShowIcon(window, IDC_LOGO, IDI_MAIN, icon);

  CreatePackageFolder();
  ExtractPackage(u"FWPACKAGEZIP", IDR_FWPACKAGE, s.packageFolder);
  LoadPackageInfo();

  RefreshDriveList(window, true);
  OnDriveSelected(window);
}

namespace {

void OnClose(WindowHandle window) {
  AppState& s = AppStateGet();
  if (IsUpdateRunning()) {
    Ui().ShowMessageBox(window, u"Update FW Now!\nCan't Exit Program.", s.title, BOX_OK);
    return;
  }
  RemovePackageFolder();
  Ui().EndDialog(window, 0);
}

}  // namespace

intptr_t MainDialogProc(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  switch (message) {
    case MSG_INITDIALOG:
      OnInitDialog(window);
      return 0;
    case MSG_COMMAND: {
      uint16_t id = LowWord(wParam);
      if (id == ID_OK) {
        OnRun(window);
      } else if (id == ID_CANCEL) {
        if (!IsUpdateRunning()) {
          OnClose(window);
          return 1;
        }
        OnClose(window);
      } else if (id == IDC_DRIVE_LIST && HighWord(wParam) == NOTIFY_SELENDOK) {
        OnDriveSelected(window);
      }
      return 0;
    }
    case MSG_DEVICECHANGE:
      Ui().SetTimer(window, IDT_DEVICE_CHANGE, DEVICE_CHANGE_DELAY_MS);
      return 0;
    case MSG_TIMER:
      Ui().KillTimer(window, IDT_DEVICE_CHANGE);
      RefreshDriveList(window, false);
      return 0;
    case WM_UPDATE_RESULT:
      OnUpdateResult(window, static_cast<int>(lParam));
      return 0;
    case WM_UPDATE_PROGRESS:
      Ui().SetProgressPos(window, IDC_PROGRESS, MapProgress(static_cast<int>(lParam)));
      return 0;
    default:
      return 0;
  }
}
