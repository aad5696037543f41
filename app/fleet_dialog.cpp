#include "app/fleet_dialog.h"

#include <string>

#include "app/events.h"
#include "app/fleet_private.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "app/update_worker.h"
#include "core/guards.h"
#include "platform/messages.h"
#include "platform/platform.h"

namespace fleet {
namespace {

// The update the dialog runs (its drive is the one RUN checked: UpdatingDrive).
struct DialogRun {
  bool running = false;  // RUN was pressed and its result is not recorded yet
  uint64_t start = 0;    // the tick RUN was pressed at
};
DialogRun g_run;

// The log and the history are opened for each record and let go at once: the dialog stays open
// for as long as its user likes, and holds nothing of the log folder meanwhile. Neither decides
// anything, so one that cannot be written costs only the record, which the Event Log says (1121)
// as the console program's run does.
void RecordResult(int result) {
  const DriveRecord& chosen = UpdatingDrive();
  Outcome o = OutcomeOfResult(chosen, Utf8(chosen.fwRevision), result);
  o.milliseconds = platform::Time().TickCount64() - g_run.start;
  Log log;
  std::string why;
  if (!OpenLog(log, nullptr, &why)) {
    NoticeLog(why);
    return;
  }
  WriteLog(log, DriveLogWords(chosen, o) + " source=dialog");
  History history;
  std::string warning;
  if (!OpenHistory(history, &log, &why, &warning)) NoticeHistory("there is no history of updates: " + why);
  else if (!AppendHistory(history, HistoryOf(chosen, o))) NoticeHistory("a record could not be appended; it is not written");
  CloseHistory(history);
  CloseLog(log);
}

}  // namespace
}  // namespace fleet

intptr_t RecordingDialogProc(platform::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  using fleet::g_run;
  bool run = message == platform::MSG_COMMAND && (wParam & 0xFFFF) == platform::ID_OK && !IsUpdateRunning();
  // Every result follows the RUN that started its worker (RUN is not taken while one runs).
  if (run) {
    g_run.running = true;
    g_run.start = platform::Time().TickCount64();
  }
  // The result is recorded before the dialog shows it: its boxes wait for the user.
  if (message == WM_UPDATE_RESULT && g_run.running) {
    g_run.running = false;
    fleet::RecordResult(static_cast<int>(lParam));
  }
  return MainDialogProc(window, message, wParam, lParam);
}
