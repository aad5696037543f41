// The console program's update: each chosen drive selected and RUN pressed as the user would, its
// outcome reported on the console, as JSON and in the log, and recorded in the history; then the
// restart, when asked and needed.
#include <atomic>
#include <string>
#include <vector>

#include "app/completion.h"
#include "app/drive_list.h"
#include "app/eligibility.h"
#include "app/events.h"
#include "app/fleet_private.h"
#include "app/result_codes.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "discovery/drive_info.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "resources/resource.h"

namespace fleet {
namespace {

// The entry that shows the drive now (the list is rebuilt after every update), or -1.
int EntryOf(HeadlessDialog& dialog, WindowHandle window, const DriveRecord& drive) {
  int sameDrive = -1;
  size_t count = dialog.ComboEntries(IDC_DRIVE_LIST).size();
  for (size_t i = 0; i < count; ++i) {
    const DriveRecord* d = EntryDrive(window, static_cast<int>(i));
    if (d == nullptr || !SameDrive(*d, drive)) continue;
    if (d->iPort == drive.iPort) return static_cast<int>(i);
    if (sameDrive < 0) sameDrive = static_cast<int>(i);
  }
  return sameDrive;
}


// What a drive that RUN turned away for the circumstances was told.
std::string NotNowText(const Outcome& o) {
  return std::string(o.what) == "busy" ? "another firmware update is running on this computer"
                                       : "the computer runs on battery below " + Number(MIN_BATTERY_PERCENT) + " %";
}

// How a committed image that waited for a reset comes into use: behind a bridge the power cycle
// that followed the commit was that reset; a native drive waits for the restart.
std::string ActivationText(const DriveRecord& d, const Outcome& o) {
  if (std::string(o.what) == "unverified")
    return "; the drive did not come back after its power cycle, so its new firmware is not verified: restart the "
           "computer and run again";
  if (!o.activationByReset) return "";
  return d.iCmdType == CMD_TYPE_NVME ? "; the drive activates it at the next restart"
                                     : "; the bridge's power cycle has activated it";
}

}  // namespace

std::string DriveLogWords(const DriveRecord& d, const Outcome& o) {
  bool ran = o.Ran();
  std::string words = "drive model=" + LogValue(Utf8(d.model)) + " serial=" + LogValue(Trimmed(d.serial)) +
                      " port=" + Number(d.iPort) + " package=" + LogValue(Utf8(AppStateGet().newVersion)) +
                      " before=" + LogValue(o.before) + " after=" + LogValue(o.after);
  if (ran && o.Verdict())
    words += " result=" + std::string(o.what) + " seconds=" + Seconds(o.milliseconds);
  else if (ran)
    words += " result=" + Number(o.result) + " " + Json(UpdateResultMeaning(o.result)) + " seconds=" + Seconds(o.milliseconds);
  else if (o.TryLater())
    words += " result=" + std::string(o.what);
  else
    words += " result=skipped reason=" + std::string(o.reason) +
             (*ReasonAdvice(o.reason) != '\0' ? " " + Json(ReasonAdvice(o.reason)) : "");
  if (o.activationByReset) words += " activation=reset";
  return words;
}

HistoryRecord HistoryOf(const DriveRecord& d, const Outcome& o) {
  AppState& s = AppStateGet();
  HistoryRecord r;
  r.model = Utf8(d.model);
  r.serial = Trimmed(d.serial);
  r.portId = d.iPort;
  r.before = o.before;
  r.expected = platform::TextEqualNoCase(s.newVersion, u"KEEP") ? "" : Utf8(s.newVersion);
  r.outcome = o.what;
  std::string what = o.what;
  r.waits = !r.expected.empty() && (what == "unverified" || (what == "updated" && o.restartNeeded && !o.runsNewVersion));
  r.source = Utf8(DriveStateSource());
  return r;
}

Outcome OutcomeOfResult(const DriveRecord& chosen, const std::string& before, int result) {
  AppState& s = AppStateGet();
  Outcome o;
  o.before = before;
  o.result = result;
  // The drive read again after the update, unless another drive answers at its place now.
  bool same = SameDrive(s.selectedDrive, chosen);
  o.after = same ? Utf8(s.selectedDrive.fwRevision) : o.before;
  o.runsNewVersion = same && RunsNewVersion(s.selectedDrive);
  o.what = o.result == UPDATE_ACTIVATION_FAILED                 ? "activation-failed"
           : o.result != UPDATE_OK                               ? "failed"
           : LastVerification() == Verification::NOT_BACK        ? "unverified"
                                                                 : "updated";
  // A native drive activates the committed image at its next reset, which only a restart brings;
  // a bridged drive was reset by its power cycle. A bridged drive that is not back needs it too:
  // the restart brings it back for the next run.
  o.restartNeeded = o.result == UPDATE_OK &&
                    (s.selectedDrive.iCmdType == CMD_TYPE_NVME || std::string(o.what) == "unverified");
  o.activationByReset = o.result == UPDATE_OK && std::atomic_ref<uint32_t>(s.commitNeedsReset).load() != 0;
  return o;
}

namespace {

void Report(const Row& row, const Outcome& o, bool json, Log& log) {
  const DriveRecord& d = row.drive;
  bool ran = o.Ran();
  if (json) {
    Emit("{\"entry\":" + Number(row.entry) + ",\"model\":" + Json(Utf8(d.model)) + ",\"serial\":" + Json(Trimmed(d.serial)) +
         ",\"portId\":" + Number(d.iPort) + ",\"outcome\":" + Json(o.what) +
         ",\"reason\":" + (o.reason == nullptr ? std::string("null") : Json(o.reason)) + ",\"firmwareBefore\":" + Json(o.before) +
         ",\"firmwareAfter\":" + Json(o.after) + ",\"result\":" + (ran ? Number(o.result) : std::string("null")) +
         ",\"meaning\":" + (ran ? Json(UpdateResultMeaning(o.result)) : std::string("null")) +
         ",\"seconds\":" + Seconds(o.milliseconds) + ",\"restartNeeded\":" + (o.restartNeeded ? "true" : "false") +
         ",\"activation\":" + (o.activationByReset ? "\"reset\"" : "null") + "}");
  }
  WriteLog(log, DriveLogWords(d, o));
  if (ran)
    Say(std::string("  ") + o.what + ": result " + Number(o.result) + " (" + UpdateResultMeaning(o.result) + "), firmware " +
        EscapeControls(o.before) + " -> " + EscapeControls(o.after) + ", " + Seconds(o.milliseconds) + " s" +
        ActivationText(row.drive, o) + "\n");
  else if (o.TryLater())
    Say(std::string("  ") + o.what + ": " + NotNowText(o) + "; nothing was written\n");
  else
    Say(std::string("  skipped: ") + o.reason + (*ReasonAdvice(o.reason) != '\0' ? "; " : "") + ReasonAdvice(o.reason) +
        "\n");
}

// The history's record of an update that ran.
void Record(const DriveRecord& d, const Outcome& o) {
  if (g_watch.history == nullptr) return;
  if (!AppendHistory(*g_watch.history, HistoryOf(d, o)))
    NoticeHistory("a record could not be appended; it is not written");
}

// Selects the drive's entry as the user does, presses RUN and lets the update run to its end.
Outcome UpdateOne(HeadlessDialog& dialog, WindowHandle window, const Row& row) {
  AppState& s = AppStateGet();
  Outcome o;
  o.before = Utf8(row.drive.fwRevision);
  o.after = o.before;
  int entry = EntryOf(dialog, window, row.drive);
  if (entry < 0) {
    o.what = "failed";
    o.result = FLEET_NOT_LISTED;
    ReportDriveEvent(event_id::DRIVE_NOT_REACHABLE, row.drive, row.drive.fwRevision, Utf16(UpdateResultMeaning(o.result)).c_str());
    return o;
  }
  dialog.ComboSetCurSel(window, IDC_DRIVE_LIST, entry);
  dialog.Deliver(platform::MSG_COMMAND, (static_cast<uintptr_t>(platform::NOTIFY_SELENDOK) << 16) | IDC_DRIVE_LIST, 0);
  o.before = Utf8(s.selectedDrive.fwRevision);

  g_watch.haveResult = g_watch.notNeeded = g_watch.failBox = g_watch.restartOffered = false;
  uint64_t start = platform::Time().TickCount64();
  dialog.Deliver(platform::MSG_COMMAND, platform::ID_OK, 0);
  dialog.PumpUntil([] { return !IsUpdateRunning(); });
  dialog.Pump();
  FlushStage();
  o.milliseconds = platform::Time().TickCount64() - start;

  RunRefusal refusal = static_cast<RunRefusal>(s.runRefusal);
  if (g_watch.haveResult) {
    uint64_t milliseconds = o.milliseconds;
    o = OutcomeOfResult(row.drive, o.before, g_watch.result);
    o.milliseconds = milliseconds;
    o.restartNeeded = o.restartNeeded || (o.result == UPDATE_OK && g_watch.restartOffered);
  } else if (refusal == RunRefusal::BUSY) {
    o.what = "busy";
  } else if (refusal == RunRefusal::POWER) {
    o.what = "power";
  } else if (refusal == RunRefusal::PENDING_RESTART) {
    o.reason = "pending-restart";
    o.restartNeeded = true;
  } else if (g_watch.notNeeded) {
    // The drive read afresh at RUN no longer passes the package's tests.
    o.reason = Reason(s.selectedDrive) != nullptr ? Reason(s.selectedDrive) : "revision";
  } else {
    o.what = "failed";
    o.result = FLEET_REFUSED;
  }
  return o;
}

// The event of a drive skipped before RUN, for the reason of the list. A drive that waits for a
// power-off says so; one whose last update did not activate is a failure the deployment tool must
// see.
void ReportSkipped(const Row& row) {
  const DriveRecord& d = row.drive;
  std::string reason = row.reason;
  if (reason == "activation-failed") {
    ReportDriveEvent(event_id::DRIVE_ACTIVATION_FAILED, d, d.fwRevision);
  } else if (reason == "needs-power-off") {
    ReportDriveEvent(event_id::DRIVE_WAITS_POWER_OFF, d, d.fwRevision);
  } else {
    // What to do where there is something to do, else what the dialog's box says.
    std::u16string advice = Utf16(ReasonAdvice(row.reason));
    const char16_t* why = !advice.empty()              ? advice.c_str()
                          : reason == "pending-restart" ? PENDING_RESTART_TEXT
                                                        : NOT_NEEDED_TEXT;
    ReportDriveEvent(event_id::DRIVE_SKIPPED, d, d.fwRevision, Utf16(reason).c_str(), why);
  }
}

// A drive of the package's model that cannot be reached: named, with what to do, on the console,
// as JSON, in the log and in the Event Log.
void ReportUnreachable(const DiskSeen& d, bool json, Log& log) {
  const char* word = DiskReasonWord(d.reason);
  std::string model = Utf8(d.model), serial = Trimmed(d.serial);
  Say("disk " + Number(d.diskNumber) + ": " + EscapeControls(model) + ", serial " + EscapeControls(serial) + "\n" +
      "  not reached: " + word + ": " + ReasonAdvice(word) + "\n");
  if (json)
    Emit("{\"entry\":null,\"disk\":" + Number(d.diskNumber) + ",\"model\":" + Json(model) + ",\"serial\":" +
         Json(serial) + ",\"outcome\":\"unreachable\",\"reason\":" + Json(word) + ",\"advice\":" +
         Json(ReasonAdvice(word)) + "}");
  WriteLog(log, "drive model=" + LogValue(model) + " serial=" + LogValue(serial) + " disk=" + Number(d.diskNumber) +
                    " package=" + LogValue(Utf8(AppStateGet().newVersion)) + " result=unreachable reason=" + word +
                    " advice=" + Json(ReasonAdvice(word)));
  ReportDiskNotReachable(d, Utf16(std::string(word) + " on disk " + Number(d.diskNumber) + ": " + ReasonAdvice(word)).c_str());
}

}  // namespace

int Update(HeadlessDialog& dialog, WindowHandle window, const Options& options, Log& log) {
  AppState& s = AppStateGet();
  std::vector<Row> rows = ListedRows(dialog, window);
  std::vector<Row> chosen;
  for (const Row& r : rows)
    if (options.all || r.entry == options.entry ||
        (options.serial != nullptr && Trimmed(r.drive.serial) == Trimmed(options.serial)))
      chosen.push_back(r);
  // A drive of the package's model that the program cannot reach is never passed over in silence.
  std::vector<DiskSeen> unreached;
  for (const DiskSeen& d : UnreachableOfPackage())
    if (options.all || (options.serial != nullptr && Trimmed(d.serial) == Trimmed(options.serial))) unreached.push_back(d);
  if (chosen.empty() && unreached.empty() && !options.all) {
    Complain(options.serial != nullptr ? "no listed drive has the serial number " + Utf8(options.serial)
                                       : "the list has no entry " + Number(options.entry));
    return EXIT_BAD_ARGUMENTS;
  }
  if (s.beforeMessage[0] != 0) Say(Utf8(s.beforeMessage) + "\n");
  if (!options.yes) {
    Complain("nothing was updated: --yes answers the warning above");
    return EXIT_BAD_ARGUMENTS;
  }

  bool failed = false, restart = false, tryLater = false;
  int updated = 0;
  for (const Row& row : chosen) {
    Say("entry " + Number(row.entry) + ": " + EscapeControls(Utf8(row.drive.model)) + ", serial " +
        EscapeControls(Trimmed(row.drive.serial)) + "\n");
    Outcome o;
    o.before = o.after = Utf8(row.drive.fwRevision);
    o.reason = row.reason;
    // Firmware that waits for a restart needs one as much as firmware committed now.
    o.restartNeeded = row.drive.activationPending != 0;
    if (row.reason == nullptr) o = UpdateOne(dialog, window, row);
    else ReportSkipped(row);
    Report(row, o, options.json, log);
    if (o.Ran()) Record(row.drive, o);
    // Skipped so that it is not flashed in a loop, or with no state to decide on, or waiting for a
    // power-off that no restart brings: the deployment tool must see that it failed, and must not
    // answer with another restart.
    std::string reason = o.reason != nullptr ? o.reason : "";
    bool stuck = reason == "activation-failed" || reason == "states-unavailable" || reason == "needs-power-off";
    // Pieces of a download cut short in this boot: a restart clears them, and it is said once (the
    // next run in this boot finds the update failed, not cut short).
    bool piecesLeft = o.Ran() && o.result == UPDATE_DOWNLOAD_PIECES_LEFT;
    failed = failed || stuck || (o.Ran() && o.result != UPDATE_OK && !piecesLeft);
    tryLater = tryLater || o.TryLater();
    restart = restart || o.restartNeeded || piecesLeft;
    updated += o.Ran() && o.result == UPDATE_OK ? 1 : 0;
  }
  for (const DiskSeen& d : unreached) ReportUnreachable(d, options.json, log);
  Say(Number(static_cast<long long>(chosen.size())) + " drive(s) chosen, " + Number(updated) + " updated" +
      (unreached.empty() ? "" : ", " + Number(static_cast<long long>(unreached.size())) + " not reached") +
      (failed ? ", at least one failed" : "") + (tryLater ? ", at least one not now: retry later" : "") + "\n");
  if (failed || !unreached.empty()) return EXIT_UPDATE_FAILED;
  if (tryLater) return EXIT_TRY_AGAIN_LATER;
  if (!restart) return EXIT_DONE;
  if (!options.restart) return EXIT_RESTART_NEEDED;
  // As the dialog: a power-off only where its AfterMessage offers one, otherwise a restart.
  uint32_t flags = s.afterMessage[0] != 0 && s.powerCtrl == 1 ? platform::EXITWIN_POWEROFF : platform::EXITWIN_REBOOT;
  const char* what = flags == platform::EXITWIN_POWEROFF ? "power-off" : "restart";
  platform::ShutdownResult shutdown = ShutdownSystem(flags);
  if (!shutdown.privilegeEnabled) {
    Complain(std::string("the ") + what + " was not started: the shutdown privilege could not be enabled (error " +
             Number(shutdown.error) + "); restart the computer to finish");
    return EXIT_RESTART_NEEDED;
  }
  if (!shutdown.accepted) {
    Complain(std::string("the ") + what + " was not started: Windows refused it (error " + Number(shutdown.error) +
             "); restart the computer to finish");
    return EXIT_RESTART_NEEDED;
  }
  Say(flags == platform::EXITWIN_POWEROFF ? "powering off\n" : "restarting\n");
  return EXIT_RESTART_STARTED;
}

}  // namespace fleet
