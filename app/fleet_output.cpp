#include "app/fleet_output.h"

#include <cstdio>

#include "app/package_info.h"
#include "discovery/drive_info.h"
#include "platform/platform.h"
#include "platform/text.h"

std::string Trimmed(const char16_t* text) {
  char16_t copy[DRIVE_TEXT_CHARS];
  platform::TextCopy(copy, DRIVE_TEXT_CHARS, text);
  TrimBlanks(copy);
  return platform::Utf8(copy);
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string LogValue(const std::string& text) {
  bool plain = !text.empty();
  for (unsigned char c : text)
    if (c <= ' ' || c == '"' || c == '\\' || c == '=') plain = false;
  return plain ? text : Json(text);
}

std::string Number(long long value) { return std::to_string(value); }

std::string Seconds(uint64_t milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%llu", static_cast<unsigned long long>(milliseconds / 1000),
                static_cast<unsigned long long>(milliseconds % 1000 / 100));
  return text;
}

bool OpenLog(Log& log, const char16_t* named, std::string* why) {
  if (named != nullptr) {
    if (platform::TextCopy(log.path, TEXT_PATH + 64, named) < TEXT_PATH + 63) return true;
    log.path[0] = 0;
    *why = "the log path is too long";
    return false;
  }
  *why = "no folder for the log; the run is not logged";
  char16_t shared[TEXT_PATH];
  if (platform::Sys().SharedDataFolder(shared, TEXT_PATH) == 0) return false;
  char16_t folder[TEXT_PATH + 16];
  int n = platform::FormatText(folder, TEXT_PATH + 16, u"%s\\%s", shared, FLEET_LOG_FOLDER);
  if (n <= 0 || static_cast<size_t>(n) >= TEXT_PATH + 16) return false;
  // The log folder in ProgramData (Users may read it). One that another user made first could lead
  // the log anywhere: an existing one must belong to SYSTEM or the Administrators.
  platform::PathFacts facts{};
  platform::FolderHandle data = platform::Sys().OpenFolder(shared, platform::PathLinks::FOLLOWED, &facts);
  if (data != platform::INVALID_FOLDER) {
    log.folder = OpenProtectedFolderAt(data, FLEET_LOG_FOLDER, platform::FolderAccess::USERS_READ, &facts);
    platform::Sys().CloseFolder(data);
  }
  if (log.folder == platform::INVALID_FOLDER) {
    *why = "the log folder " + platform::Utf8(folder) +
           " "+"is a link or a folder that others than SYSTEM, the Administrators and this account may change; the run is not logged";
    return false;
  }
  n = platform::FormatText(log.path, TEXT_PATH + 64, u"%s\\%s", folder, FLEET_LOG_FILE);
  if (n > 0 && static_cast<size_t>(n) < TEXT_PATH + 64) return true;
  CloseLog(log);
  log.path[0] = 0;
  return false;
}

namespace {

// Opens the log file once, relative to its held folder; a named log's folder is walked name by
// name from its root first, and held.
bool OpenLogFile(Log& log) {
  size_t split = platform::TextLength(log.path);
  while (split > 0 && log.path[split - 1] != u'\\' && log.path[split - 1] != u'/') --split;
  const char16_t* name = log.path + split;
  if (log.folder == platform::INVALID_FOLDER) {
    char16_t folder[TEXT_PATH + 64];
    platform::TextCopy(folder, TEXT_PATH + 64, log.path);
    // The folder keeps its last separator ("C:\\", "\\"); a name alone is in the current folder.
    if (split == 0) platform::TextCopy(folder, TEXT_PATH + 64, u".");
    else folder[split] = 0;
    platform::PathFacts facts{};
    log.folder = platform::Sys().OpenFolder(folder, platform::PathLinks::REFUSED, &facts);
    if (log.folder == platform::INVALID_FOLDER) return false;
  }
  log.file = platform::Sys().OpenFileAt(log.folder, name, platform::FileMode::OpenAppend);
  return log.file != platform::INVALID_FILE;
}

}  // namespace

bool LogLine(Log& log, const std::string& words) {
  if (log.path[0] == 0 || log.failed) return true;
  platform::LocalDateTime t{};
  char stamp[40] = "-";
  if (platform::Sys().LocalTime(&t))
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
  std::string line = std::string(stamp) + " " + words + "\r\n";
  uint32_t done = 0;
  if ((log.file != platform::INVALID_FILE || OpenLogFile(log)) &&
      platform::Sys().WriteFile(log.file, line.data(), static_cast<uint32_t>(line.size()), &done) && done == line.size())
    return true;
  log.failed = true;
  return false;
}

void CloseLog(Log& log) {
  platform::Sys().CloseFile(log.file);
  platform::Sys().CloseFolder(log.folder);
  log.file = platform::INVALID_FILE;
  log.folder = platform::INVALID_FOLDER;
}
