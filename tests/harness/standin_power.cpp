// Stand-ins for what the program asks of the system around an update: the updater's named mutex
// and the private namespace it lives in, the power status and the thread execution state; and a
// pause a test can ask for.
//
// - The private namespace calls (CreateBoundaryDescriptorW, AddSIDToBoundaryDescriptor,
//   DeleteBoundaryDescriptor, CreatePrivateNamespaceW, OpenPrivateNamespaceW,
//   ClosePrivateNamespace), which Wine 8 lacks, and CreateMutexExW are the emulator's
//   (emu/win32/private_namespace.h): they keep the documented contract, and a namespace and the
//   mutex in it are real objects of Wine's, so that two programs under the harness meet one mutex,
//   as two updaters on one machine do. What the program asks of them goes to the events file
//   ("namespace created alias=... boundary=... sids=... security=...", "mutex ... in namespace
//   ..."); a breach of their contract is a harness failure. ReleaseMutex passes on to the system.
// - GetSystemPowerStatus answers what QV_HARNESS_POWER says: "AC FLAG PERCENT" (for example
//   "0 2 12": on battery, low, 12 %), or "fail". Without it the machine is a desktop on AC power
//   without a battery.
// - SetThreadExecutionState keeps each thread's state and writes every call to the events file:
//   "execution-state thread=<id> flags=0x<flags>".
// - QV_HARNESS_PAUSE=<name>: the first firmware download request waits until the event
//   "<name>-go" is set, after setting "<name>-reached", so that a test can run another program while
//   this one holds the updater's mutex in the middle of an update.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "emu/win32/private_namespace.h"
#include "tests/harness/harness.h"

namespace harness {
namespace {

constexpr DWORD PAUSE_LIMIT_MS = 600000;  // a pause that is never released ends here

// What the program asks of the private namespace, for the events file.
void NamespaceLine(const std::string& line) {
  constexpr char kBreach[] = "contract: ";
  if (line.rfind(kBreach, 0) == 0)
    EventLine("harness failure: private namespace: " + line.substr(sizeof kBreach - 1));
  else
    EventLine(line);
}
[[maybe_unused]] const bool g_listening = (emu::SetNamespaceListener(&NamespaceLine), true);

HANDLE WINAPI StandInCreateBoundaryDescriptorW(LPCWSTR name, ULONG flags) {
  Count("CreateBoundaryDescriptorW");
  return emu::StandInCreateBoundaryDescriptorW(name, flags);
}
BOOL WINAPI StandInAddSIDToBoundaryDescriptor(HANDLE* boundary, PSID sid) {
  Count("AddSIDToBoundaryDescriptor");
  return emu::StandInAddSIDToBoundaryDescriptor(boundary, sid);
}
VOID WINAPI StandInDeleteBoundaryDescriptor(HANDLE boundary) {
  Count("DeleteBoundaryDescriptor");
  emu::StandInDeleteBoundaryDescriptor(boundary);
}
HANDLE WINAPI StandInCreatePrivateNamespaceW(LPSECURITY_ATTRIBUTES security, LPVOID boundary, LPCWSTR alias) {
  Count("CreatePrivateNamespaceW");
  return emu::StandInCreatePrivateNamespaceW(security, boundary, alias);
}
HANDLE WINAPI StandInOpenPrivateNamespaceW(LPVOID boundary, LPCWSTR alias) {
  Count("OpenPrivateNamespaceW");
  return emu::StandInOpenPrivateNamespaceW(boundary, alias);
}
BOOLEAN WINAPI StandInClosePrivateNamespace(HANDLE space, ULONG flags) {
  Count("ClosePrivateNamespace");
  return emu::StandInClosePrivateNamespace(space, flags);
}
HANDLE WINAPI StandInCreateMutexExW(LPSECURITY_ATTRIBUTES security, LPCWSTR name, DWORD flags, DWORD access) {
  Count("CreateMutexExW");
  return emu::StandInCreateMutexExW(security, name, flags, access);
}

BOOL WINAPI StandInReleaseMutex(HANDLE mutex) {
  Count("ReleaseMutex");
  return ::ReleaseMutex(mutex);
}

BOOL WINAPI StandInGetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
  Count("GetSystemPowerStatus");
  if (status == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::wstring setting = Environment(L"QV_HARNESS_POWER");
  if (setting == L"fail") {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  unsigned ac = AC_LINE_ONLINE, flag = BATTERY_FLAG_NO_BATTERY, percent = BATTERY_PERCENTAGE_UNKNOWN;
  if (!setting.empty() && std::swscanf(setting.c_str(), L"%u %u %u", &ac, &flag, &percent) != 3) {
    EventLine("harness failure: QV_HARNESS_POWER is not \"AC FLAG PERCENT\"");
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *status = SYSTEM_POWER_STATUS{};
  status->ACLineStatus = static_cast<BYTE>(ac);
  status->BatteryFlag = static_cast<BYTE>(flag);
  status->BatteryLifePercent = static_cast<BYTE>(percent);
  status->BatteryLifeTime = static_cast<DWORD>(-1);
  status->BatteryFullLifeTime = static_cast<DWORD>(-1);
  ::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

thread_local EXECUTION_STATE t_state = ES_CONTINUOUS;

EXECUTION_STATE WINAPI StandInSetThreadExecutionState(EXECUTION_STATE flags) {
  Count("SetThreadExecutionState");
  char line[96];
  std::snprintf(line, sizeof line, "execution-state thread=%lu flags=0x%08lX", ::GetCurrentThreadId(),
                static_cast<unsigned long>(flags));
  EventLine(line);
  // ES_USER_PRESENT and unknown bits fail the call; without ES_CONTINUOUS the state is kept.
  constexpr EXECUTION_STATE kKnown = ES_AWAYMODE_REQUIRED | ES_CONTINUOUS | ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED;
  if ((flags & ~kKnown) != 0) return 0;
  EXECUTION_STATE previous = t_state;
  if ((flags & ES_CONTINUOUS) != 0) t_state = flags;
  return previous;
}

HANDLE Event(const std::wstring& name) { return ::CreateEventW(nullptr, TRUE, FALSE, name.c_str()); }

const StandIn STAND_INS[] = {
    {"CreateBoundaryDescriptorW", reinterpret_cast<void*>(&StandInCreateBoundaryDescriptorW)},
    {"AddSIDToBoundaryDescriptor", reinterpret_cast<void*>(&StandInAddSIDToBoundaryDescriptor)},
    {"DeleteBoundaryDescriptor", reinterpret_cast<void*>(&StandInDeleteBoundaryDescriptor)},
    {"CreatePrivateNamespaceW", reinterpret_cast<void*>(&StandInCreatePrivateNamespaceW)},
    {"OpenPrivateNamespaceW", reinterpret_cast<void*>(&StandInOpenPrivateNamespaceW)},
    {"ClosePrivateNamespace", reinterpret_cast<void*>(&StandInClosePrivateNamespace)},
    {"CreateMutexExW", reinterpret_cast<void*>(&StandInCreateMutexExW)},
    {"ReleaseMutex", reinterpret_cast<void*>(&StandInReleaseMutex)},
    {"GetSystemPowerStatus", reinterpret_cast<void*>(&StandInGetSystemPowerStatus)},
    {"SetThreadExecutionState", reinterpret_cast<void*>(&StandInSetThreadExecutionState)},
};

}  // namespace

std::span<const StandIn> PowerStandIns() { return STAND_INS; }

void PauseBeforeRequest(DWORD code) {
  static LONG paused = 0;
  if (code != IOCTL_STORAGE_FIRMWARE_DOWNLOAD) return;
  std::wstring name = Environment(L"QV_HARNESS_PAUSE");
  if (name.empty() || ::InterlockedExchange(&paused, 1) != 0) return;
  HANDLE reached = Event(name + L"-reached"), go = Event(name + L"-go");
  if (reached == nullptr || go == nullptr) {
    EventLine("harness failure: the pause events cannot be made");
  } else {
    EventLine("paused before the first firmware download");
    ::SetEvent(reached);
    if (::WaitForSingleObject(go, PAUSE_LIMIT_MS) != WAIT_OBJECT_0) EventLine("harness failure: the pause was never released");
  }
  if (reached != nullptr) ::CloseHandle(reached);
  if (go != nullptr) ::CloseHandle(go);
}

}  // namespace harness
