#include "app/fleet.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/events.h"
#include "app/fleet_private.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "app/result_codes.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "resources/resource.h"

namespace fleet {

// ---- the run ---------------------------------------------------------------------------------------

Watch g_watch;

void Say(const std::string& text) {
  if (!g_watch.json) g_watch.console->Out(text.data(), text.size());
}
void Emit(const std::string& json) {
  std::string line = json + "\n";
  g_watch.console->Out(line.data(), line.size());
}
void Complain(const std::string& text) {
  std::string line = "QuorvelaFwUpdate-cli: " + text + "\n";
  g_watch.console->Err(line.data(), line.size());
}

void ReportText(uint32_t eventId, const std::string& first, const std::string& second) {
  std::u16string a = Utf16(first), b = Utf16(second);
  const char16_t* strings[] = {a.c_str(), b.c_str()};
  ReportProgramEvent(eventId, strings, second.empty() ? 1 : 2);
}

void WriteLog(Log& log, const std::string& words) {
  if (!LogLine(log, words))
    ReportText(event_id::LOG_NOT_WRITTEN, Utf8(log.path), "a link, a file with another link, or not writable");
}

namespace {

// A file of the default log folder, as an administrator finds it.
std::string InLogFolder(const char16_t* name) {
  return "%ProgramData%\\" + Utf8(FLEET_LOG_FOLDER) + "\\" + Utf8(name);
}

}  // namespace

void NoticeLog(const std::string& why) { ReportText(event_id::LOG_NOT_WRITTEN, InLogFolder(FLEET_LOG_FILE), why); }

void NoticeHistory(const std::string& text) {
  ReportText(event_id::LOG_NOT_WRITTEN, InLogFolder(FLEET_HISTORY_FILE), text);
  if (g_watch.log != nullptr) WriteLog(*g_watch.log, "notice " + LogValue(text));
}

void FlushStage() {
  if (!g_watch.stageLine.empty()) Say(g_watch.stageLine + "\n");
  g_watch.stageLine.clear();
  g_watch.stageFrom = g_watch.stageTo = -1;
}

namespace {

const char* StageName(int from) {
  switch (from) {
    case 0: return "download";
    case 30: return "wait";
    case 40: return "commit";
    case 60: return "power cycle";
    case 80: return "find again";
    default: return "done";
  }
}

// One console line per progress stage, with every position the dialog's bar takes in it.
void NoteProgress() {
  AppState& s = AppStateGet();
  int from = std::atomic_ref<int16_t>(s.progressFrom).load();
  int to = std::atomic_ref<int16_t>(s.progressTo).load();
  int position = g_watch.dialog->ProgressPos(IDC_PROGRESS);
  if (from != g_watch.stageFrom || to != g_watch.stageTo) {
    FlushStage();
    char head[48];
    std::snprintf(head, sizeof head, "  %3d..%-3d %-12s", from, to, StageName(from));
    g_watch.stageLine = head;
    g_watch.stageFrom = from;
    g_watch.stageTo = to;
    g_watch.lastPosition = -1;
  }
  if (position != g_watch.lastPosition) g_watch.stageLine += " " + Number(position);
  g_watch.lastPosition = position;
}

intptr_t FleetProcedure(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message == WM_UPDATE_RESULT) {
    FlushStage();
    g_watch.haveResult = true;
    g_watch.result = static_cast<int>(lParam);
  }
  intptr_t r = MainDialogProc(window, message, wParam, lParam);
  if (message == WM_UPDATE_PROGRESS) NoteProgress();
  return r;
}

// The boxes the dialog shows, answered as the administrator's command line says: the warning is
// answered Yes (RUN is pressed only with --yes), the offer to restart or power off is declined
// (the restart, when wanted, follows after the last drive), every other box is acknowledged.
int Answer(const HeadlessDialog::Box& box) {
  uint32_t buttons = box.type & 0x0F;
  if (buttons == platform::BOX_YESNO) return platform::ID_YES;
  if (buttons == platform::BOX_OKCANCEL) {
    g_watch.restartOffered = true;
    return platform::ID_CANCEL;
  }
  if (box.text == u"Do not need to update.") g_watch.notNeeded = true;
  else if (box.text == u"Update FW Fail !") g_watch.failBox = true;
  return platform::ID_OK;
}

}  // namespace
}  // namespace fleet

int RunFleet(int argc, const char16_t* const* argv, platform::HeadlessDialog& dialog, FleetConsole& console) {
  using namespace fleet;
  Options options;
  g_watch = Watch{};
  g_watch.dialog = &dialog;
  g_watch.console = &console;
  bool parsed = ParseOptions(argc, argv, &options);
  g_watch.json = options.json;
  if (!parsed) {
    Complain(options.error);
    console.Err(FLEET_USAGE, std::strlen(FLEET_USAGE));
    return EXIT_BAD_ARGUMENTS;
  }
  if (options.command == Command::HELP) {
    PrintHelp();
    return EXIT_DONE;
  }

  BeginEvents(u"QuorvelaFwUpdate-cli");
  Log log;
  std::string whyNoLog;
  if (options.command == Command::UPDATE && !OpenLog(log, options.logPath, &whyNoLog)) {
    // A log the command line names is part of what was asked for; the default one is not.
    if (options.logPath != nullptr) {
      Complain(whyNoLog);
      return EXIT_BAD_ARGUMENTS;
    }
    NoticeLog(whyNoLog);
  }

  // The program starts as the dialog does: the package unpacked and read, the drives listed. What
  // it writes of the drives' states is the console's until it ends, by whichever way out.
  struct ConsoleSource {
    const char16_t* before = DriveStateSource();
    ConsoleSource() { SetDriveStateSource(u"console"); }
    ~ConsoleSource() { SetDriveStateSource(before); }
  } source;
  platform::Services services = platform::Installed();
  services.dialog = &dialog;
  platform::Install(services);
  if (options.command == Command::VERSION) return PrintVersion();
  dialog.SetAnswer(Answer);
  WindowHandle window = dialog.Create(FleetProcedure);
  AppState& s = AppStateGet();
  if (options.command == Command::UPDATE) {
    g_watch.log = &log;
    ReportRunStarted(Utf16(options.commandLine).c_str());
    WriteLog(log, "start title=" + LogValue(Utf8(s.title)) + " package=" + LogValue(Utf8(s.newVersion)) +
                      " command=" + LogValue(options.commandLine));
  }
  // Every command settles, with the drives listed now, the updates that waited for a restart.
  History history;
  std::string whyNoHistory, historyWarning;
  const Log* defaultLog = options.command == Command::UPDATE && options.logPath == nullptr ? &log : nullptr;
  g_watch.retry = options.retry;
  if (OpenHistory(history, defaultLog, &whyNoHistory, &historyWarning)) {
    g_watch.history = &history;
    if (!historyWarning.empty()) NoticeHistory(historyWarning);
  } else {
    NoticeHistory("there is no history of updates: " + whyNoHistory);
  }
  // The drive states decide, not the history: each is settled against what its drive runs now.
  std::string whyNoStates;
  if (!SettleDriveStates(ListedDrives(dialog, window), &whyNoStates)) {
    ReportText(event_id::DRIVE_STATES_UNAVAILABLE, whyNoStates + "; nothing is flashed");
    if (options.command == Command::UPDATE) WriteLog(log, "states unavailable " + Json(whyNoStates));
  }

  int exitCode = EXIT_DONE;
  std::string why;
  if (options.command == Command::HISTORY) {
    PrintHistory(g_watch.history, options.json);
  } else if (s.packageFolder[0] == 0) {
    // No folder of its own could be made for the package (TEMP unusable, or every name drawn was
    // taken): nothing is wrong with the package, and a later run may succeed.
    Complain("no folder could be made in the temporary folder to unpack the package; try again later");
    exitCode = EXIT_TRY_AGAIN_LATER;
  } else if (!PackageUsable(&why)) {
    Complain("the embedded package is unusable: " + why);
    exitCode = EXIT_PACKAGE_UNUSABLE;
  } else if (options.command == Command::INFO) {
    PrintInfo();
  } else if (options.command == Command::LIST && options.all) {
    PrintAllDisks(dialog, window, options.json);
  } else if (options.command == Command::LIST) {
    PrintList(ListedRows(dialog, window), options.json);
  } else {
    exitCode = Update(dialog, window, options, log);
  }
  if (options.command == Command::UPDATE) {
    WriteLog(log, "end exit=" + Number(exitCode) + " " + Json(ExitCodeMeaning(exitCode)));
    ReportRunEnded(exitCode, ExitCodeMeaning(exitCode));
  }

  // Closing as the user closes the dialog removes the package folder.
  dialog.PumpUntil([] { return !IsUpdateRunning(); });
  dialog.Deliver(platform::MSG_COMMAND, platform::ID_CANCEL, 0);
  g_watch.history = nullptr;
  g_watch.log = nullptr;
  CloseHistory(history);
  CloseLog(log);
  return exitCode;
}
