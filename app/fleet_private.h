// What the console program's files share: the run it watches through the headless dialog
// (fleet.cpp), the drives it lists and the commands that only tell (fleet_list.cpp), and the
// update of the chosen drives (fleet_update.cpp).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/drive_states.h"
#include "app/fleet.h"
#include "app/fleet_history.h"
#include "app/fleet_options.h"
#include "app/fleet_output.h"
#include "core/drive_record.h"
#include "platform/text.h"

namespace fleet {

using platform::EscapeControls;
using platform::HeadlessDialog;
using platform::Utf16;
using platform::Utf8;
using platform::WindowHandle;

// ---- the run: fleet.cpp ----------------------------------------------------------------------------

// What the dialog showed and reported during one RUN. The console's dialog procedure (fleet.cpp) is
// a plain function, as the dialog's is, so the run it reports to is reached through this one record.
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
  Log* log = nullptr;          // the update run's log, for what the run notices
};
extern Watch g_watch;

// Human text on standard output. With --json standard output carries only the JSON lines, and
// standard error is kept for failures: the human text is left out (the log and the Event Log hold
// what it says).
void Say(const std::string& text);
void Emit(const std::string& json);
void Complain(const std::string& text);
// Says an event's one or two texts after the program's name.
void ReportText(uint32_t eventId, const std::string& first, const std::string& second = std::string());
// A log line; the first one that cannot be written is said in the Event Log, once. The command
// still does its job, so standard error stays for failures.
void WriteLog(Log& log, const std::string& words);
// What keeps the run from the history people read without failing its command (the drive states
// decide, not the history): said in the Event Log and, in an update run, in its log; never on
// standard error.
void NoticeHistory(const std::string& text);
// The default log folder or log file that cannot be used, and why: said in the Event Log.
void NoticeLog(const std::string& why);
// Ends the console line of the progress stage the run is in.
void FlushStage();

// ---- the drives listed, and the commands that only tell: fleet_list.cpp ----------------------------

// One listed drive and the package's answer for it.
struct Row {
  int entry;
  DriveRecord drive;
  const char* reason;  // null when eligible
};

// A drive that runs the package's new firmware already has nothing to gain from it.
bool RunsNewVersion(const DriveRecord& drive);
const char* Reason(const DriveRecord& drive);
std::vector<DriveRecord> ListedDrives(HeadlessDialog& dialog, WindowHandle window);
std::vector<Row> ListedRows(HeadlessDialog& dialog, WindowHandle window);
// The disks of the package's model that the last list rebuild found and cannot reach: the dialog
// does not list them, and a computer that has one is not done.
std::vector<DiskSeen> UnreachableOfPackage();
// Whether the package the dialog unpacked can be used; otherwise why not.
bool PackageUsable(std::string* why);

void PrintHelp();
// The program's version and the NEWVERSION of the package it carries, read from the package itself
// as the dialog reads it; no drive is touched.
int PrintVersion();
void PrintInfo();
void PrintList(const std::vector<Row>& rows, bool json);
// list --all: every disk the dialog's walk saw, in disk-number order, each as list shows it where
// list shows it. A drive of the package's model is the dialog's entry (with the package's answer);
// a drive of another model says other-model; a disk without a drive that was read says why
// (DiskReasonWord), and what to do when the updater cannot reach it.
void PrintAllDisks(HeadlessDialog& dialog, WindowHandle window, bool json);
void PrintHistory(const History* history, bool json);

// ---- the drive states: fleet_states.cpp ------------------------------------------------------------

// Settles the state of every drive listed against what it runs now, and writes the history's
// record of each update a state change settles. False, with why, when the states cannot be read
// or written: nothing may then be flashed.
bool SettleDriveStates(const std::vector<DriveRecord>& drives, std::string* why);
bool DriveStatesUnavailable();
// The drive's state as this run settled it; NONE when nothing is recorded.
DriveState SettledStateOf(const DriveRecord& drive);

// ---- updating: fleet_update.cpp --------------------------------------------------------------------

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

// The outcome of an update the worker ran to its result, from what it left in AppState: the drive
// chosen, read again after the update.
Outcome OutcomeOfResult(const DriveRecord& chosen, const std::string& before, int result);
// The log line of one drive's outcome, and the history's record of an update that ran.
std::string DriveLogWords(const DriveRecord& drive, const Outcome& outcome);
HistoryRecord HistoryOf(const DriveRecord& drive, const Outcome& outcome);

// Updates the drives the options choose, one after the other as the user would, and restarts when
// asked and needed. Returns the exit code.
int Update(HeadlessDialog& dialog, WindowHandle window, const Options& options, Log& log);

}  // namespace fleet
