#include "app/fleet.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/completion.h"
#include "app/drive_list.h"
#include "app/eligibility.h"
#include "app/drive_states.h"
#include "app/fleet_history.h"
#include "app/fleet_options.h"
#include "app/fleet_output.h"
#include "app/main_dialog.h"
#include "app/package_files.h"
#include "app/package_info.h"
#include "app/progress.h"
#include "app/result_codes.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "discovery/drive_info.h"
#include "nvme/flash_id.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "resources/resource.h"

using platform::EscapeControls;
using platform::HeadlessDialog;
using platform::Utf8;
using platform::WindowHandle;

namespace {

// ---- the run ---------------------------------------------------------------------------------------

// What the dialog showed and reported during one RUN. The procedure below is a plain function, as
// the dialog's is, so the run it reports to is reached through this one record.
struct Watch {
  HeadlessDialog* dialog = nullptr;
  FleetConsole* console = nullptr;
  bool json = false;
  bool haveResult = false;
  int result = 0;
  bool notNeeded = false;
  bool failBox = false;
  bool restartOffered = false;
  int stageFrom = -1, stageTo = -1, lastPosition = -1;
  std::string stageLine;
  History* history = nullptr;  // null when there is none
  bool retry = false;          // update --retry: a drive whose activation failed is updated again
};
Watch g_watch;

// Human text: standard output, or standard error when standard output carries JSON.
void Say(const std::string& text) {
  if (g_watch.json) g_watch.console->Err(text.data(), text.size());
  else g_watch.console->Out(text.data(), text.size());
}
void Emit(const std::string& json) {
  std::string line = json + "\n";
  g_watch.console->Out(line.data(), line.size());
}
void Complain(const std::string& text) {
  std::string line = "QuorvelaFwUpdate-cli: " + text + "\n";
  g_watch.console->Err(line.data(), line.size());
}

// A log line; the first one that cannot be written is said on standard error, once.
void WriteLog(Log& log, const std::string& words) {
  if (!LogLine(log, words))
    Complain("cannot write the log " + Utf8(log.path) +
             " safely (a link, a file with another link, or not writable); it is not written");
}

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

void FlushStage() {
  if (!g_watch.stageLine.empty()) Say(g_watch.stageLine + "\n");
  g_watch.stageLine.clear();
  g_watch.stageFrom = g_watch.stageTo = -1;
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

// One listed drive and the package's answer for it.
struct Row {
  int entry;
  DriveRecord drive;
  const char* reason;  // null when eligible
};

// A drive that runs the package's new firmware already has nothing to gain from it.
bool RunsNewVersion(const DriveRecord& drive) {
  AppState& s = AppStateGet();
  return s.newVersion[0] != 0 && !platform::TextEqualNoCase(s.newVersion, u"KEEP") &&
         RunsFirmwareName(drive.fwRevision, s.newVersion);
}

const char* Reason(const DriveRecord& drive) {
  // Firmware committed to a native drive runs from the next restart; until then the drive reports
  // its old revision, and another update would only replace what waits.
  if (drive.activationPending != 0) return "pending-restart";
  // The drive ran its old firmware after its last update: updating it again unasked would flash
  // and restart the computer over and over.
  const HistoryRecord* last = g_watch.history != nullptr ? LastRecord(*g_watch.history, drive) : nullptr;
  if (!g_watch.retry && last != nullptr && last->outcome == "activation-failed") return "activation-failed";
  if (RunsNewVersion(drive)) return "current";
  Eligibility e = CheckEligibility(drive);
  return e == Eligibility::ELIGIBLE ? nullptr : EligibilityWord(e);
}

std::vector<DriveRecord> ListedDrives(HeadlessDialog& dialog, WindowHandle window) {
  std::vector<DriveRecord> drives;
  size_t count = dialog.ComboEntries(IDC_DRIVE_LIST).size();
  for (size_t i = 0; i < count; ++i)
    if (const DriveRecord* d = EntryDrive(window, static_cast<int>(i))) drives.push_back(*d);
  return drives;
}

std::vector<Row> ListedRows(HeadlessDialog& dialog, WindowHandle window) {
  std::vector<Row> rows;
  size_t count = dialog.ComboEntries(IDC_DRIVE_LIST).size();
  for (size_t i = 0; i < count; ++i)
    if (const DriveRecord* d = EntryDrive(window, static_cast<int>(i)))
      rows.push_back(Row{static_cast<int>(i), *d, Reason(*d)});
  return rows;
}

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

// The images this run unpacked from the package into its folder (not whatever else lies there).
std::vector<std::u16string> PackageImages() {
  std::vector<std::u16string> images;
  std::u16string folder = std::u16string(AppStateGet().packageFolder) + u"\\";
  for (size_t i = 0; i < PackageFileCount(); ++i) {
    std::u16string path = PackageFilePath(i);
    if (path.compare(0, folder.size(), folder) != 0) continue;
    std::u16string name = path.substr(folder.size());
    if (name.size() > 3 && name.find_first_of(u"\\/") == std::u16string::npos &&
        platform::TextEqualNoCase(name.c_str() + name.size() - 3, u".fw"))
      images.push_back(name);
  }
  return images;
}

// Whether the package the dialog unpacked can be used; otherwise why not.
bool PackageUsable(std::string* why) {
  AppState& s = AppStateGet();
  UnpackTally unpacked = LastUnpackTally();
  char16_t path[TEXT_PATH + 32];
  if (s.packageFolder[0] == 0) *why = "no folder could be made for the package";
  else if (unpacked.entries <= 0 && ArchiveOpenFailureText(path, TEXT_PATH + 32) > 0)
    *why = "the package archive cannot be unpacked: " + Utf8(path);
  else if (unpacked.entries <= 0) *why = "the package archive is missing or cannot be opened";
  else if (unpacked.written != unpacked.entries)
    *why = Number(unpacked.entries - unpacked.written) + " of the package's " + Number(unpacked.entries) + " entries are damaged";
  else if (platform::FormatText(path, TEXT_PATH + 32, u"%s\\QuorvelaInfo.ini", s.packageFolder) <= 0 || !IsPackageFile(path))
    *why = "the package has no QuorvelaInfo.ini";
  else if (s.socId[0] == 0) *why = "the package names no SOCID, so it applies to no drive";
  else if (PackageImages().empty())
    *why = "the package holds no firmware image";
  else return true;
  return false;
}

std::string InterfaceText(const DriveRecord& drive) {
  char16_t text[256];
  FormatInterfaceText(drive, text, 256);
  return Utf8(text);
}

// ---- commands ----------------------------------------------------------------------------------------

void PrintHelp() {
  std::string text = FLEET_USAGE;
  size_t count = 0;
  const CodeMeaning* codes = ExitCodes(&count);
  text += "\nexit codes:\n";
  for (size_t i = 0; i < count; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "  %5d  %s\n", codes[i].code, codes[i].meaning);
    text += line;
  }
  codes = UpdateResultCodes(&count);
  text += "\nresult codes of one drive's update (console, --json and log):\n";
  for (size_t i = 0; i < count; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "  %5d  %s\n", codes[i].code, codes[i].meaning);
    text += line;
  }
  g_watch.console->Out(text.data(), text.size());
}

// The program's version and the NEWVERSION of the package it carries, read from the package itself
// as the dialog reads it; no drive is touched.
int PrintVersion() {
  AppState& s = AppStateGet();
  CreatePackageFolder();
  ExtractPackage(u"FWPACKAGEZIP", IDR_FWPACKAGE, s.packageFolder);
  LoadPackageInfo();
  std::string text = "QuorvelaFwUpdate-cli " QV_PROGRAM_VERSION "\n";
  std::string why;
  bool usable = PackageUsable(&why);
  if (usable) text += "package " + Utf8(s.newVersion) + "\n";
  g_watch.console->Out(text.data(), text.size());
  if (!usable) Complain("the embedded package is unusable: " + why);
  RemovePackageFolder();
  return usable ? EXIT_DONE : EXIT_PACKAGE_UNUSABLE;
}

void PrintInfo() {
  AppState& s = AppStateGet();
  std::string versions = Utf8(s.fwVersionList);
  if (versions.size() >= 2) versions = versions.substr(1, versions.size() - 2);  // stored as ";list;"
  std::string text = "title              " + Utf8(s.title) + "\n" +
                     "new version        " + Utf8(s.newVersion) + "\n" +
                     "model filter       " + Utf8(s.modelName) + "\n" +
                     "SoC                " + Utf8(s.socId) + "\n" +
                     "accepted revisions " + (versions.empty() ? "(any)" : versions) + "\n" +
                     "after success      " +
                     (s.afterMessage[0] == 0 ? "nothing"
                      : s.powerCtrl == 1     ? "power-off"
                      : s.powerCtrl == 2     ? "restart"
                                             : "report only") +
                     "\nimages:\n";
  std::vector<std::u16string> images = PackageImages();
  for (const std::u16string& image : images) {
    std::u16string stem = image.substr(0, image.size() - 3);
    std::string flash = "flash type unknown";
    for (size_t i = 0; i < FlashTypeCount(); ++i) {
      if (platform::TextEqualNoCase(FlashTypeNameAt(i), stem.c_str())) {
        char code[40];
        std::snprintf(code, sizeof code, "flash type %04X", FlashTypeCodeAt(i));
        flash = code;
      }
    }
    text += "  " + Utf8(image.c_str()) + "  " + flash + "\n";
  }
  if (images.empty()) text += "  (none)\n";
  Say(text);
}

void PrintList(const std::vector<Row>& rows, bool json) {
  for (const Row& r : rows) {
    const DriveRecord& d = r.drive;
    if (json) {
      Emit("{\"entry\":" + Number(r.entry) + ",\"model\":" + Json(Utf8(d.model)) + ",\"serial\":" + Json(Trimmed(d.serial)) +
           ",\"firmware\":" + Json(Utf8(d.fwRevision)) + ",\"interface\":" + Json(InterfaceText(d)) +
           ",\"capacityGB\":" + Number(d.capacityGB) + ",\"portId\":" + Number(d.iPort) +
           ",\"eligible\":" + (r.reason == nullptr ? "true" : "false") +
           ",\"reason\":" + (r.reason == nullptr ? std::string("null") : Json(r.reason)) + "}");
    } else {
      Say("entry " + Number(r.entry) + ": " + EscapeControls(Utf8(d.model)) + "\n" +
          "  serial     " + EscapeControls(Trimmed(d.serial)) + "\n" +
          "  firmware   " + EscapeControls(Utf8(d.fwRevision)) + "\n" +
          "  interface  " + InterfaceText(d) + "\n" +
          "  capacity   " + Number(d.capacityGB) + " GB\n" +
          "  port ID    " + Number(d.iPort) + "\n" +
          "  eligible   " + (r.reason == nullptr ? std::string("yes") : std::string("no (") + r.reason + ")") + "\n");
    }
  }
  if (rows.empty() && !json) Say("no drive is listed\n");
}

// One drive's outcome, on the console, as JSON and in the log.
struct Outcome {
  // updated, unverified (a bridged drive not back after its power cycle), activation-failed (one
  // back with another revision), failed, skipped, busy, power
  const char* what = "skipped";
  const char* reason = nullptr;  // why it was skipped
  int result = 0;
  std::string before, after;
  uint64_t milliseconds = 0;
  bool restartNeeded = false;
  bool runsNewVersion = false;     // the drive read after the update runs the package's new version
  bool activationByReset = false;  // the drive answered the commit with "activation needs a reset"
  // Whether the update ran: only then is there a result.
  bool Ran() const { return reason == nullptr && !TryLater() && std::string(what) != "skipped"; }
  // The outcome the result code does not tell: the log names it instead of the code.
  bool Verdict() const { return std::string(what) == "unverified" || std::string(what) == "activation-failed"; }
  // Not now: another update runs, or the battery is low. A deployment tool retries later.
  bool TryLater() const { return std::string(what) == "busy" || std::string(what) == "power"; }
};

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

void Report(const Row& row, const Outcome& o, bool json, Log& log) {
  const DriveRecord& d = row.drive;
  bool ran = o.Ran();
  std::string version = Utf8(AppStateGet().newVersion);
  if (json) {
    Emit("{\"entry\":" + Number(row.entry) + ",\"model\":" + Json(Utf8(d.model)) + ",\"serial\":" + Json(Trimmed(d.serial)) +
         ",\"portId\":" + Number(d.iPort) + ",\"outcome\":" + Json(o.what) +
         ",\"reason\":" + (o.reason == nullptr ? std::string("null") : Json(o.reason)) + ",\"firmwareBefore\":" + Json(o.before) +
         ",\"firmwareAfter\":" + Json(o.after) + ",\"result\":" + (ran ? Number(o.result) : std::string("null")) +
         ",\"meaning\":" + (ran ? Json(UpdateResultMeaning(o.result)) : std::string("null")) +
         ",\"seconds\":" + Seconds(o.milliseconds) + ",\"restartNeeded\":" + (o.restartNeeded ? "true" : "false") +
         ",\"activation\":" + (o.activationByReset ? "\"reset\"" : "null") + "}");
  }
  std::string words = "drive model=" + LogValue(Utf8(d.model)) + " serial=" + LogValue(Trimmed(d.serial)) +
                      " port=" + Number(d.iPort) + " package=" + LogValue(version) + " before=" + LogValue(o.before) +
                      " after=" + LogValue(o.after);
  if (ran && o.Verdict())
    words += " result=" + std::string(o.what) + " seconds=" + Seconds(o.milliseconds);
  else if (ran)
    words += " result=" + Number(o.result) + " " + Json(UpdateResultMeaning(o.result)) + " seconds=" + Seconds(o.milliseconds);
  else if (o.TryLater())
    words += " result=" + std::string(o.what);
  else
    words += " result=skipped reason=" + std::string(o.reason);
  if (o.activationByReset) words += " activation=reset";
  WriteLog(log, words);
  if (ran)
    Say(std::string("  ") + o.what + ": result " + Number(o.result) + " (" + UpdateResultMeaning(o.result) + "), firmware " +
        EscapeControls(o.before) + " -> " + EscapeControls(o.after) + ", " + Seconds(o.milliseconds) + " s" +
        ActivationText(row.drive, o) + "\n");
  else if (o.TryLater())
    Say(std::string("  ") + o.what + ": " + NotNowText(o) + "; nothing was written\n");
  else
    Say(std::string("  skipped: ") + o.reason + "\n");
}

// The history's record of an update that ran. Its new firmware waits for a restart where the drive
// does not run the expected version yet: a native drive until the restart, a bridged drive that
// did not come back until it does.
void Record(const DriveRecord& d, const Outcome& o) {
  if (g_watch.history == nullptr) return;
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
  if (!AppendHistory(*g_watch.history, r))
    Complain("cannot write the history " + Utf8(FLEET_HISTORY_FILE) + " in the log folder; it is not written");
}

void PrintHistory(const History* history, bool json) {
  if (history == nullptr) return;
  for (const HistoryRecord& r : history->records) {
    if (json) Emit(HistoryJson(r));
    else Say(HistoryText(r) + "\n");
  }
  if (history->records.empty() && !json) Say("no update is in the history\n");
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
    o.result = g_watch.result;
    // The drive read again after the update, unless another drive answers at its place now.
    bool same = SameDrive(s.selectedDrive, row.drive);
    o.after = same ? Utf8(s.selectedDrive.fwRevision) : o.before;
    o.runsNewVersion = same && RunsNewVersion(s.selectedDrive);
    o.what = o.result == UPDATE_ACTIVATION_FAILED                 ? "activation-failed"
             : o.result != UPDATE_OK                               ? "failed"
             : LastVerification() == Verification::NOT_BACK        ? "unverified"
                                                                   : "updated";
    // A native drive activates the committed image at its next reset, which only a restart
    // brings; a bridged drive was reset by its power cycle.
    // A bridged drive that is not back needs it too: the restart brings it back for the next run.
    o.restartNeeded = o.result == UPDATE_OK && (s.selectedDrive.iCmdType == CMD_TYPE_NVME || g_watch.restartOffered ||
                                                std::string(o.what) == "unverified");
    o.activationByReset = o.result == UPDATE_OK && std::atomic_ref<uint32_t>(s.commitNeedsReset).load() != 0;
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

int Update(HeadlessDialog& dialog, WindowHandle window, const Options& options, Log& log) {
  AppState& s = AppStateGet();
  std::vector<Row> rows = ListedRows(dialog, window);
  std::vector<Row> chosen;
  for (const Row& r : rows)
    if (options.all || r.entry == options.entry ||
        (options.serial != nullptr && Trimmed(r.drive.serial) == Trimmed(options.serial)))
      chosen.push_back(r);
  if (chosen.empty() && !options.all) {
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
    Report(row, o, options.json, log);
    if (o.Ran()) Record(row.drive, o);
    // Skipped so that it is not flashed in a loop; the deployment tool must see that it failed.
    bool activationFailed = o.reason != nullptr && std::string(o.reason) == "activation-failed";
    failed = failed || activationFailed || (o.Ran() && o.result != UPDATE_OK);
    tryLater = tryLater || o.TryLater();
    restart = restart || o.restartNeeded;
    updated += o.Ran() && o.result == UPDATE_OK ? 1 : 0;
  }
  Say(Number(static_cast<long long>(chosen.size())) + " drive(s) chosen, " + Number(updated) + " updated" +
      (failed ? ", at least one failed" : "") + (tryLater ? ", at least one not now: retry later" : "") + "\n");
  if (failed) return EXIT_UPDATE_FAILED;
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

}  // namespace

int RunFleet(int argc, const char16_t* const* argv, HeadlessDialog& dialog, FleetConsole& console) {
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

  Log log;
  std::string whyNoLog;
  if (options.command == Command::UPDATE && !OpenLog(log, options.logPath, &whyNoLog)) {
    Complain(whyNoLog);
    if (options.logPath != nullptr) return EXIT_BAD_ARGUMENTS;
  }

  // The program starts as the dialog does: the package unpacked and read, the drives listed.
  platform::Services services = platform::Installed();
  services.dialog = &dialog;
  platform::Install(services);
  if (options.command == Command::VERSION) return PrintVersion();
  dialog.SetAnswer(Answer);
  WindowHandle window = dialog.Create(FleetProcedure);
  AppState& s = AppStateGet();
  // Every command settles, with the drives listed now, the updates that waited for a restart.
  History history;
  std::string whyNoHistory, historyWarning;
  const Log* defaultLog = options.command == Command::UPDATE && options.logPath == nullptr ? &log : nullptr;
  if (OpenHistory(history, defaultLog, &whyNoHistory, &historyWarning)) {
    g_watch.history = &history;
    g_watch.retry = options.retry;
    if (!historyWarning.empty()) Complain(historyWarning);
    if (!SettleHistory(history, ListedDrives(dialog, window)))
      Complain("cannot write the history " + Utf8(FLEET_HISTORY_FILE) + " in the log folder; it is not written");
  } else {
    Complain("there is no history of updates: " + whyNoHistory);
  }
  if (options.command == Command::UPDATE)
    WriteLog(log, "start title=" + LogValue(Utf8(s.title)) + " package=" + LogValue(Utf8(s.newVersion)) +
                     " command=" + LogValue(options.commandLine));

  int exitCode = EXIT_DONE;
  std::string why;
  if (options.command == Command::HISTORY) {
    PrintHistory(g_watch.history, options.json);
  } else if (!PackageUsable(&why)) {
    Complain("the embedded package is unusable: " + why);
    exitCode = EXIT_PACKAGE_UNUSABLE;
  } else if (options.command == Command::INFO) {
    PrintInfo();
  } else if (options.command == Command::LIST) {
    PrintList(ListedRows(dialog, window), options.json);
  } else {
    exitCode = Update(dialog, window, options, log);
  }
  if (options.command == Command::UPDATE)
    WriteLog(log, "end exit=" + Number(exitCode) + " " + Json(ExitCodeMeaning(exitCode)));

  // Closing as the user closes the dialog removes the package folder.
  dialog.PumpUntil([] { return !IsUpdateRunning(); });
  dialog.Deliver(platform::MSG_COMMAND, platform::ID_CANCEL, 0);
  g_watch.history = nullptr;
  CloseHistory(history);
  CloseLog(log);
  return exitCode;
}
