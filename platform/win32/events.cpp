// The Event Log: one event under the program's source in the Application log, with the user the
// process runs as, so that Event Viewer shows who ran the update (SYSTEM under a deployment tool,
// the administrator at the dialog).
#include <windows.h>

#include <vector>

#include "platform/win32/win32_platform.h"

namespace platform {
namespace {

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

// The process token's user SID, in buffer; null when it cannot be read (the event then names no
// user).
PSID ProcessUser(std::vector<BYTE>& buffer) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  PSID sid = nullptr;
  if (size >= sizeof(TOKEN_USER)) {
    buffer.resize(size);
    if (::GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
      sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  }
  ::CloseHandle(token);
  return sid != nullptr && ::IsValidSid(sid) ? sid : nullptr;
}

}  // namespace

static_assert(static_cast<WORD>(EventType::ERROR_EVENT) == EVENTLOG_ERROR_TYPE);
static_assert(static_cast<WORD>(EventType::WARNING_EVENT) == EVENTLOG_WARNING_TYPE);
static_assert(static_cast<WORD>(EventType::INFORMATION_EVENT) == EVENTLOG_INFORMATION_TYPE);

bool Win32System::WriteEvent(const char16_t* source, EventType type, uint32_t eventId, const char16_t* const* strings,
                              uint32_t count) {
  if (!IsEventWritable(source, strings, count)) return false;
  LPCWSTR texts[EVENT_STRINGS_MAX] = {};
  for (uint32_t i = 0; i < count; ++i) texts[i] = W(strings[i]);
  // An unregistered source is served by the Application log: the event is kept all the same.
  HANDLE log = ::RegisterEventSourceW(nullptr, W(source));
  if (log == nullptr) return false;
  std::vector<BYTE> user;
  BOOL reported = ::ReportEventW(log, static_cast<WORD>(type), 0, eventId, ProcessUser(user), static_cast<WORD>(count), 0,
                                 count > 0 ? texts : nullptr, nullptr);
  ::DeregisterEventSource(log);
  return reported != FALSE;
}

}  // namespace platform
