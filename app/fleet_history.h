// The history of the updates the console program started: one JSON line per update in
// FwHistory.jsonl, in the protected log folder, which is held open for the run and through which
// alone the file is reached (never a link, never a file with another link). The file is only ever
// appended to: a record that waited for a restart is settled by a later record of the same drive,
// so that the last record of a drive tells its state.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/fleet_output.h"
#include "core/drive_record.h"

constexpr const char16_t* FLEET_HISTORY_FILE = u"FwHistory.jsonl";
// Only the last this many bytes of the history are read; the file itself is left whole.
constexpr uint64_t HISTORY_READ_LIMIT = 4u << 20;

struct HistoryRecord {
  std::string time, model, serial;
  long long portId = 0;
  std::string before, expected;  // the revision before the update, the version it should bring
  // updated, unverified, activation-failed, failed; activated when settled
  std::string outcome;
  bool waits = false;  // the new firmware comes into use at the next restart, unverified until then
  std::string source = "console";  // the program that wrote it: "console" or "dialog"
};

struct History {
  Log own;  // the protected log folder, when the run's log does not hold it already
  platform::FolderHandle folder = platform::INVALID_FOLDER;  // the one the history is reached through
  platform::FileHandle file = platform::INVALID_FILE;  // opened to append at the first record
  std::vector<HistoryRecord> records;
  bool endsWithNewline = true;  // false after a line that a killed run left unfinished
  bool failed = false;
};

// Holds the protected log folder and reads the history in it (a missing file is an empty
// history). The run's log, when it is the default one in that folder and holds it, lends its
// folder (the folder is not opened twice). False, with why, when there is no usable folder or the file cannot be used safely.
// Lines that are no record are skipped, and said in *warning.
bool OpenHistory(History& history, const Log* defaultLog, std::string* why, std::string* warning);
// Appends one record as one line; false the first time that fails, and nothing is written after.
bool AppendHistory(History& history, const HistoryRecord& record);
std::string HistoryJson(const HistoryRecord& record);
std::string HistoryText(const HistoryRecord& record);
void CloseHistory(History& history);
