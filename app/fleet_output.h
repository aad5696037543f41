// What the console program writes: the text of its human lines, its JSON and its log values, and
// the support log itself.
#pragma once
#include <cstdint>
#include <string>

#include "core/app_state.h"

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

// The support log: the file its lines are appended to, and whether writing failed.
struct Log {
  char16_t path[TEXT_PATH + 64] = {};
  bool failed = false;
};
// Names the log: the file given (--log), or FwUpdate.log in the log folder of ProgramData. The log
// folder is made when missing (SYSTEM and the Administrators may change it, Users may read it); an
// existing one is used only when it is a folder owned by SYSTEM or the Administrators. False, with
// why, when there is no log to write.
bool OpenLog(Log& log, const char16_t* named, std::string* why);
// Appends one line: the local time, then the words given. The file is opened for each line and
// never through a link or as a file with another link (WriteWholeFile's append). False the first
// time that fails; the log is not written any more after it.
bool LogLine(Log& log, const std::string& words);
