#include "app/fleet_history.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/drive_states.h"
#include "app/update_worker.h"
#include "platform/platform.h"
#include "platform/text.h"

using nlohmann::json;

namespace {

std::string Now() {
  platform::LocalDateTime t{};
  char stamp[40] = "-";
  if (platform::Sys().LocalTime(&t))
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return stamp;
}

bool Text(const json& object, const char* key, std::string* out) {
  auto at = object.find(key);
  if (at == object.end() || !at->is_string()) return false;
  *out = at->get_ref<const std::string&>();
  return true;
}

// One line of the file as a record; false for anything else.
bool Parse(const std::string& line, HistoryRecord* r) {
  json object = json::parse(line, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return false;
  if (!Text(object, "model", &r->model) || !Text(object, "serial", &r->serial) ||
      !Text(object, "firmwareBefore", &r->before) || !Text(object, "versionExpected", &r->expected) ||
      !Text(object, "outcome", &r->outcome))
    return false;
  Text(object, "time", &r->time);
  Text(object, "source", &r->source);  // records written before the dialog wrote any have none
  auto port = object.find("portId");
  if (port != object.end() && port->is_number_integer()) r->portId = port->get<long long>();
  auto waits = object.find("waitsForRestart");
  r->waits = waits != object.end() && waits->is_boolean() && waits->get<bool>();
  return true;
}

}  // namespace

bool OpenHistory(History& h, const Log* defaultLog, std::string* why, std::string* warning) {
  if (defaultLog != nullptr && defaultLog->folder != platform::INVALID_FOLDER) {
    h.folder = defaultLog->folder;
  } else if (OpenLog(h.own, nullptr, why)) {
    h.folder = h.own.folder;
  } else {
    *why = "there is no usable log folder";
    return false;
  }
  h.failed = true;
  platform::FileHandle file = platform::Sys().OpenFileAt(h.folder, FLEET_HISTORY_FILE, platform::FileMode::ReadOwn);
  if (file == platform::INVALID_FILE) {
    platform::PathFacts facts{};
    if (platform::Sys().LookAtName(h.folder, FLEET_HISTORY_FILE, &facts) && facts.kind == platform::PathKind::MISSING) {
      h.failed = false;
      return true;
    }
    *why = "the history " + platform::Utf8(FLEET_HISTORY_FILE) +
           " in the log folder is a link, a file with another link, or cannot be read";
    return false;
  }
  uint64_t size = 0, start = 0;
  bool read = platform::Sys().GetFileSize(file, &size);
  if (read && size > HISTORY_READ_LIMIT) {
    start = size - HISTORY_READ_LIMIT;
    read = platform::Sys().SeekFile(file, static_cast<int64_t>(start), platform::SeekFrom::Begin, nullptr);
    *warning = "the history is " + Number(static_cast<long long>(size)) + " bytes; only its last " +
               Number(static_cast<long long>(HISTORY_READ_LIMIT)) + " are read";
  }
  std::string text(read ? size - start : 0, '\0');
  size_t have = 0;
  while (read && have < text.size()) {
    uint32_t done = 0;
    uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(text.size() - have, 1u << 20));
    read = platform::Sys().ReadFile(file, text.data() + have, chunk, &done) && done > 0;
    have += read ? done : 0;
  }
  platform::Sys().CloseFile(file);
  if (!read) {
    *why = "the history " + platform::Utf8(FLEET_HISTORY_FILE) + " in the log folder cannot be read";
    return false;
  }
  h.endsWithNewline = text.empty() || text.back() == '\n';
  size_t at = 0, number = 0, damaged = 0, first = 0;
  // A read that starts within the file starts within a line: that line is not a whole record.
  if (start > 0) at = text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    HistoryRecord r;
    if (Parse(line, &r)) {
      h.records.push_back(r);
    } else if (damaged++ == 0) {
      first = number;
    }
  }
  if (damaged > 0)
    *warning += std::string(warning->empty() ? "" : "; ") + Number(static_cast<long long>(damaged)) +
                " line(s) of the history are no record and are skipped (the first is line " +
                Number(static_cast<long long>(first)) + (start > 0 ? " of those read" : "") + ")";
  h.failed = false;
  return true;
}

std::string HistoryJson(const HistoryRecord& r) {
  return "{\"time\":" + Json(r.time) + ",\"model\":" + Json(r.model) + ",\"serial\":" + Json(r.serial) +
         ",\"portId\":" + Number(r.portId) + ",\"firmwareBefore\":" + Json(r.before) +
         ",\"versionExpected\":" + Json(r.expected) + ",\"outcome\":" + Json(r.outcome) +
         ",\"waitsForRestart\":" + (r.waits ? "true" : "false") + ",\"source\":" + Json(r.source) + "}";
}

std::string HistoryText(const HistoryRecord& r) {
  return platform::EscapeControls(r.time) + "  " + platform::EscapeControls(r.model) + "  serial " + platform::EscapeControls(r.serial) + "  port " +
         Number(r.portId) + "  " + platform::EscapeControls(r.before) + " -> " + platform::EscapeControls(r.expected) + "  " +
         platform::EscapeControls(r.outcome) + (r.waits ? " (waits for a restart)" : "") +
         (r.source != "console" ? "  by the " + platform::EscapeControls(r.source) : "");
}

bool AppendHistory(History& h, const HistoryRecord& record) {
  if (h.failed || h.folder == platform::INVALID_FOLDER) return !h.failed;
  HistoryRecord r = record;
  if (r.time.empty()) r.time = Now();
  // A line that a killed run left unfinished ends before this record starts.
  std::string line = (h.endsWithNewline ? "" : "\n") + HistoryJson(r) + "\n";
  if (h.file == platform::INVALID_FILE)
    h.file = platform::Sys().OpenFileAt(h.folder, FLEET_HISTORY_FILE, platform::FileMode::OpenAppend);
  uint32_t done = 0;
  if (h.file == platform::INVALID_FILE ||
      !platform::Sys().WriteFile(h.file, line.data(), static_cast<uint32_t>(line.size()), &done) || done != line.size()) {
    h.failed = true;
    return false;
  }
  h.endsWithNewline = true;
  h.records.push_back(r);
  return true;
}

void CloseHistory(History& h) {
  platform::Sys().CloseFile(h.file);
  h.file = platform::INVALID_FILE;
  CloseLog(h.own);
  h.folder = platform::INVALID_FOLDER;
}
