// Stand-ins for the shutdown: the token calls and ExitWindowsEx. The process's token is the
// system's own (OpenProcessToken and LookupPrivilegeValueW pass through), but the shutdown
// privilege is held here: present and disabled at start, as for an administrator, enabled only
// by AdjustTokenPrivileges on a token opened for TOKEN_ADJUST_PRIVILEGES (and TOKEN_QUERY when the
// previous state is asked for). With QV_HARNESS_PRIVILEGE=absent the token lacks it, as a
// standard user's does: AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED and enables
// nothing. ExitWindowsEx refuses without it (ERROR_PRIVILEGE_NOT_HELD) and otherwise records the
// restart or power-off, with its reason, in the capture and the events file, instead of
// performing it.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "tests/harness/harness.h"

namespace harness {
namespace {

std::mutex g_mutex;
std::map<HANDLE, DWORD>& Tokens() {  // token handles of this process, with their access
  static auto* tokens = new std::map<HANDLE, DWORD>();
  return *tokens;
}
bool g_shutdownEnabled = false;

BOOL Failed(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

bool ShutdownPrivilege(LUID* luid) { return ::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", luid) != 0; }

// Whether the token holds the shutdown privilege at all.
bool PrivilegeHeld() { return Environment(L"QV_HARNESS_PRIVILEGE") != L"absent"; }

BOOL WINAPI StandInOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  Count("OpenProcessToken");
  if (!::OpenProcessToken(process, access, token)) return FALSE;
  if (::GetProcessId(process) == ::GetCurrentProcessId()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Tokens()[*token] = access;
  }
  return TRUE;
}

BOOL WINAPI StandInLookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid) {
  Count("LookupPrivilegeValueW");
  return ::LookupPrivilegeValueW(system, name, luid);
}

BOOL WINAPI StandInAdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                         PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
  Count("AdjustTokenPrivileges");
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Tokens().find(token);
  if (it == Tokens().end()) return Failed(ERROR_INVALID_HANDLE);
  DWORD access = it->second;
  if ((access & TOKEN_ADJUST_PRIVILEGES) == 0 || (previousState != nullptr && (access & TOKEN_QUERY) == 0))
    return Failed(ERROR_ACCESS_DENIED);
  if (!disableAll && newState == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  if (previousState != nullptr && returnLength == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  LUID shutdown;
  if (!ShutdownPrivilege(&shutdown)) return Failed(ERROR_NO_SUCH_PRIVILEGE);

  // What the call changes: the shutdown privilege is the one this token holds, if it holds it.
  bool enable = g_shutdownEnabled, notAll = false;
  if (disableAll) {
    enable = false;
  } else {
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& p = newState->Privileges[i];
      if (p.Luid.LowPart == shutdown.LowPart && p.Luid.HighPart == shutdown.HighPart && PrivilegeHeld())
        enable = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      else
        notAll = true;
    }
  }
  bool changes = enable != g_shutdownEnabled;
  if (previousState != nullptr) {
    DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) + (changes ? sizeof(LUID_AND_ATTRIBUTES) : 0));
    *returnLength = needed;
    if (bufferLength < needed) return Failed(ERROR_INSUFFICIENT_BUFFER);
    previousState->PrivilegeCount = changes ? 1 : 0;
    if (changes) {
      previousState->Privileges[0].Luid = shutdown;
      previousState->Privileges[0].Attributes = g_shutdownEnabled ? SE_PRIVILEGE_ENABLED : 0;
    }
  }
  g_shutdownEnabled = enable;
  ::SetLastError(notAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI StandInExitWindowsEx(UINT flags, DWORD reason) {
  Count("ExitWindowsEx");
  constexpr UINT kinds = EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF;
  constexpr UINT known = kinds | EWX_FORCE | EWX_FORCEIFHUNG | 0x00000040 /* EWX_RESTARTAPPS */ |
                         0x00000400 /* EWX_HYBRID_SHUTDOWN */ | 0x01000000 /* EWX_BOOTOPTIONS */;
  if ((flags & ~known) != 0) return Failed(ERROR_INVALID_PARAMETER);
  UINT kind = flags & kinds;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (kind != 0 && !g_shutdownEnabled) return Failed(ERROR_PRIVILEGE_NOT_HELD);
  }
  const char* what = (kind & EWX_POWEROFF) ? "power-off" : (kind & EWX_REBOOT) ? "restart" : kind != 0 ? "shutdown" : "log-off";
  char detail[64];
  std::snprintf(detail, sizeof detail, "flags=0x%X reason=0x%lX", flags, static_cast<unsigned long>(reason));
  TheBench().Note(u"system", what, {"performed=0"});
  EventLine(std::string(what) + " requested (recorded, not performed) " + detail);
  ::OutputDebugStringA((std::string("[TX] harness: ") + what + " requested, recorded and not performed\n").c_str());
  return TRUE;
}

const StandIn STAND_INS[] = {
    {"OpenProcessToken", reinterpret_cast<void*>(&StandInOpenProcessToken)},
    {"LookupPrivilegeValueW", reinterpret_cast<void*>(&StandInLookupPrivilegeValueW)},
    {"AdjustTokenPrivileges", reinterpret_cast<void*>(&StandInAdjustTokenPrivileges)},
    {"ExitWindowsEx", reinterpret_cast<void*>(&StandInExitWindowsEx)},
};

}  // namespace

void ForgetToken(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Tokens().erase(handle);
}

std::span<const StandIn> ShutdownStandIns() { return STAND_INS; }

}  // namespace harness
