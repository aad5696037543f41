// The meaning of every code the updater reports: the results of one drive's update and the exit
// codes of the command-line program. The console, --help and the support log all read these
// tables, so a code means the same wherever it is shown.
#pragma once
#include <cstddef>

#include "core/drive_record.h"

struct CodeMeaning {
  int code;
  const char* meaning;
};

// Results of the command-line program for a drive that RUN did not hand to the worker.
constexpr int FLEET_REFUSED = -100;    // RUN started no update: the drive not found again, or no thread
constexpr int FLEET_NOT_LISTED = -101; // the drive left the list before its turn

// Exit codes, as deployment tools read them.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_BAD_ARGUMENTS = 87;
constexpr int EXIT_UPDATE_FAILED = 1603;
constexpr int EXIT_TRY_AGAIN_LATER = 1618;  // ERROR_INSTALL_ALREADY_RUNNING: deployment tools retry
constexpr int EXIT_PACKAGE_UNUSABLE = 1620;
constexpr int EXIT_RESTART_STARTED = 1641;
constexpr int EXIT_RESTART_NEEDED = 3010;

// The tables, in the order --help shows them.
const CodeMeaning* UpdateResultCodes(size_t* count);
const CodeMeaning* ExitCodes(size_t* count);

// The meaning of one update result; codes not in the table read "failure".
const char* UpdateResultMeaning(int code);
const char* ExitCodeMeaning(int code);

// Why a disk the walk saw holds no drive the updater read, as one word for the console, scripts
// and the log ("not-nvme", "raid-controller", "unknown-bridge", "unsupported-bus", "unreadable",
// "too-small"); null for a disk whose drive was read.
const char* DiskReasonWord(DiskReason reason);
// What to do about a drive not updated for `reason` (a skip reason or an unreachable word); "" if nothing.
const char* ReasonAdvice(const char* reason);
