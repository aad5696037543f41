// Power on Win32: the power supply, the execution state that keeps the system awake, and the
// shutdown with its privilege.
#include <windows.h>

#include <reason.h>

#include <cstddef>

#include "platform/win32/internal.h"

// The seam's own values are the Windows ones.
static_assert(platform::EXITWIN_REBOOT == EWX_REBOOT && platform::EXITWIN_POWEROFF == EWX_POWEROFF);
static_assert(platform::SHUTDOWN_REASON_INSTALLATION ==
              (SHTDN_REASON_MAJOR_SOFTWARE | SHTDN_REASON_MINOR_INSTALLATION | SHTDN_REASON_FLAG_PLANNED));
static_assert(platform::EXECUTION_CONTINUOUS == ES_CONTINUOUS &&
              platform::EXECUTION_SYSTEM_REQUIRED == ES_SYSTEM_REQUIRED);
static_assert(platform::POWER_AC_OFFLINE == AC_LINE_OFFLINE && platform::POWER_AC_ONLINE == AC_LINE_ONLINE &&
              platform::POWER_AC_UNKNOWN == AC_LINE_UNKNOWN);
static_assert(platform::POWER_NO_BATTERY == BATTERY_FLAG_NO_BATTERY && platform::POWER_BATTERY_UNKNOWN == BATTERY_FLAG_UNKNOWN &&
              platform::POWER_PERCENT_UNKNOWN == BATTERY_PERCENTAGE_UNKNOWN);
static_assert(sizeof(SYSTEM_POWER_STATUS) == 12 && offsetof(SYSTEM_POWER_STATUS, ACLineStatus) == 0 &&
              offsetof(SYSTEM_POWER_STATUS, BatteryFlag) == 1 && offsetof(SYSTEM_POWER_STATUS, BatteryLifePercent) == 2);

namespace platform {

bool Win32System::GetPowerStatus(PowerStatus* status) {
  SYSTEM_POWER_STATUS s{};
  if (!::GetSystemPowerStatus(&s)) return false;
  *status = PowerStatus{s.ACLineStatus, s.BatteryFlag, s.BatteryLifePercent};
  return true;
}

uint32_t Win32System::SetExecutionState(uint32_t flags) {
  return static_cast<uint32_t>(::SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags)));
}

ShutdownResult Win32System::Shutdown(uint32_t flags, uint32_t reason) {
  ShutdownResult result{false, false, 0};
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    result.error = ::GetLastError();
    return result;
  }
  LUID luid{};
  if (::LookupPrivilegeValueW(L"", L"SeShutdownPrivilege", &luid)) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    alignas(8) unsigned char previous[16] = {};
    DWORD previousLength = sizeof previous;
    // AdjustTokenPrivileges succeeds also when the token lacks the privilege; GetLastError then
    // says ERROR_NOT_ALL_ASSIGNED.
    BOOL adjusted = ::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof previous,
                                            reinterpret_cast<PTOKEN_PRIVILEGES>(previous), &previousLength);
    DWORD error = ::GetLastError();
    result.privilegeEnabled = adjusted && error == ERROR_SUCCESS;
    if (!result.privilegeEnabled) result.error = error;
  } else {
    result.error = ::GetLastError();
  }
  ::CloseHandle(token);
  if (!result.privilegeEnabled) return result;
  result.accepted = ::ExitWindowsEx(flags, reason) != 0;
  if (!result.accepted) result.error = ::GetLastError();
  return result;
}

}  // namespace platform
