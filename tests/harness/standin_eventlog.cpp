// Stand-ins for the Event Log and the accessibility events, which Wine keeps nowhere a test can
// read. RegisterEventSourceW, ReportEventW and DeregisterEventSource keep the documented contract
// (a handle of RegisterEventSourceW only, a known type, strings present and at most 31,839
// characters, no Security log) and write each event to the events file:
//   "event <ID> <type> <source>: <string> | <string> | ..."   (ID: the low 16 bits)
// NotifyWinEvent writes "winevent 0x<event> control=<ID> object=<id> child=<id>" and passes on.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <set>
#include <string>

#include "tests/harness/harness.h"

namespace harness {
namespace {

std::mutex g_mutex;
std::set<std::wstring*> g_sources;  // the handles given, each its source's name

HANDLE WINAPI StandInRegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
  Count("RegisterEventSourceW");
  if (server != nullptr || source == nullptr || source[0] == 0 || _wcsicmp(source, L"Security") == 0) {
    ::SetLastError(source != nullptr && _wcsicmp(source, L"Security") == 0 ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  return *g_sources.insert(new std::wstring(source)).first;
}

BOOL WINAPI StandInDeregisterEventSource(HANDLE handle) {
  Count("DeregisterEventSource");
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_sources.erase(static_cast<std::wstring*>(handle)) == 0) return ::SetLastError(ERROR_INVALID_HANDLE), FALSE;
  delete static_cast<std::wstring*>(handle);
  return TRUE;
}

BOOL WINAPI StandInReportEventW(HANDLE handle, WORD type, WORD, DWORD id, PSID user, WORD count, DWORD dataSize,
                                LPCWSTR* strings, LPVOID data) {
  Count("ReportEventW");
  const char* name = type == EVENTLOG_ERROR_TYPE ? "error" : type == EVENTLOG_WARNING_TYPE ? "warning"
                     : type == EVENTLOG_INFORMATION_TYPE ? "information" : type == EVENTLOG_SUCCESS ? "success" : nullptr;
  bool valid = name != nullptr && (count == 0 || strings != nullptr) && (dataSize == 0 || data != nullptr) &&
               (user == nullptr || ::IsValidSid(user));
  for (WORD i = 0; valid && i < count; ++i) valid = strings[i] != nullptr && wcsnlen(strings[i], 31840) <= 31839;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_sources.count(static_cast<std::wstring*>(handle)) == 0 || !valid) {
    EventLine("harness failure: ReportEventW breaks its contract (handle, type, strings, data or user)");
    return ::SetLastError(valid ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER), FALSE;
  }
  std::string line = "event " + std::to_string(id & 0xFFFF) + " " + name + " " +
                     Utf8(static_cast<std::wstring*>(handle)->c_str()) + ":";
  for (WORD i = 0; i < count; ++i) line += (i == 0 ? " " : " | ") + Utf8(strings[i]);
  EventLine(line);
  return TRUE;
}

void WINAPI StandInNotifyWinEvent(DWORD event, HWND window, LONG object, LONG child) {
  Count("NotifyWinEvent");
  char line[128];
  std::snprintf(line, sizeof line, "winevent 0x%04lX control=%d object=%ld child=%ld", static_cast<unsigned long>(event),
                window != nullptr ? ::GetDlgCtrlID(window) : 0, static_cast<long>(object), static_cast<long>(child));
  EventLine(line);
  ::NotifyWinEvent(event, window, object, child);
}

const StandIn STAND_INS[] = {
    {"RegisterEventSourceW", reinterpret_cast<void*>(&StandInRegisterEventSourceW)},
    {"DeregisterEventSource", reinterpret_cast<void*>(&StandInDeregisterEventSource)},
    {"ReportEventW", reinterpret_cast<void*>(&StandInReportEventW)},
    {"NotifyWinEvent", reinterpret_cast<void*>(&StandInNotifyWinEvent)},
};

}  // namespace

std::span<const StandIn> EventStandIns() { return STAND_INS; }

}  // namespace harness
