// What the console program writes: the text of its human lines, its JSON and its log values, and
// the support log itself.
#pragma once
#include <cstdint>
#include <string>

#include "core/app_state.h"
#include "platform/system.h"

// A drive text without the blanks a drive pads it with (serial numbers come padded).
std::string Trimmed(const char16_t* text);
// A JSON string: quotes and backslashes escaped, control characters as \u00XX.
std::string Json(const std::string& text);
// A value for a log line: as it is when it is one plain word, else quoted like JSON.
std::string LogValue(const std::string& text);
std::string Number(long long value);
// Milliseconds as seconds with one decimal.
std::string Seconds(uint64_t milliseconds);

// The log file when --log names none: %ProgramData%\Quorvela\FwUpdate.log.
constexpr const char16_t* FLEET_LOG_FOLDER = u"Quorvela";
constexpr const char16_t* FLEET_LOG_FILE = u"FwUpdate.log";

// The support log: its path, the folder it is in (held open for the run), the file (opened once,
// at the first line, relative to that folder), and whether writing failed.
struct Log {
  char16_t path[TEXT_PATH + 64] = {};
  platform::FolderHandle folder = platform::INVALID_FOLDER;
  platform::FileHandle file = platform::INVALID_FILE;
  bool failed = false;
};
// Names the log: the file given (--log), or FwUpdate.log in the log folder of ProgramData. The log
// folder is made when missing (SYSTEM and the Administrators may change it, Users may read it); an
// existing one is used only when it is a folder that no one but SYSTEM, the Administrators and the
// account the program runs as may change (PathFacts::trusted), and it is held from here on. False, with why, when there is no log to write.
bool OpenLog(Log& log, const char16_t* named, std::string* why);
// Appends one line: the local time, then the words given, through the one handle of the run. The
// file is opened at the first line in the held folder; the folder of a named log is reached name
// by name from its root, never through a link at any name, and the file is never a link or a file
// with another link. False the first time that fails; the log is not written any more after it.
bool LogLine(Log& log, const std::string& words);
// Closes the log file and lets its folder go.
void CloseLog(Log& log);
