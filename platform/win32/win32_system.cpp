#include <windows.h>

#include <reason.h>
#include <shlobj.h>

#include <cstddef>

#include "platform/messages.h"
#include "platform/text.h"
#include "platform/win32/win32_platform.h"

// The seam's own values are the Windows ones.
static_assert(platform::MSG_INITDIALOG == WM_INITDIALOG && platform::MSG_COMMAND == WM_COMMAND);
static_assert(platform::MSG_TIMER == WM_TIMER && platform::MSG_DEVICECHANGE == WM_DEVICECHANGE);
static_assert(platform::MSG_APP == WM_APP && platform::NOTIFY_SELENDOK == CBN_SELENDOK);
static_assert(platform::ID_OK == IDOK && platform::ID_CANCEL == IDCANCEL && platform::ID_YES == IDYES);
static_assert(platform::BOX_OKCANCEL == MB_OKCANCEL && platform::BOX_YESNO == MB_YESNO);
static_assert(platform::BOX_ICONWARNING == MB_ICONWARNING && platform::BOX_ICONINFORMATION == MB_ICONINFORMATION);
static_assert(platform::EXITWIN_REBOOT == EWX_REBOOT && platform::EXITWIN_POWEROFF == EWX_POWEROFF);
static_assert(platform::FILE_ATTR_DIRECTORY == FILE_ATTRIBUTE_DIRECTORY);
static_assert(platform::FILE_ATTR_ARCHIVE == FILE_ATTRIBUTE_ARCHIVE);
static_assert(platform::FILE_ATTR_NORMAL == FILE_ATTRIBUTE_NORMAL);
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
namespace {

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }
LPWSTR W(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }

HANDLE H(FileHandle f) { return reinterpret_cast<HANDLE>(f); }

FILETIME FT(uint64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

struct ThreadStart {
  ThreadProc proc;
  void* parameter;
};

DWORD WINAPI ThreadTrampoline(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  ::HeapFree(::GetProcessHeap(), 0, p);
  return start.proc(start.parameter);
}

}  // namespace

uint32_t Win32System::TempFolderPath(char16_t* buffer, uint32_t capacity) {
  return ::GetTempPathW(capacity, W(buffer));
}
uint32_t Win32System::CurrentFolder(char16_t* buffer, uint32_t capacity) {
  return ::GetCurrentDirectoryW(capacity, W(buffer));
}
bool Win32System::SetCurrentFolder(const char16_t* path) { return ::SetCurrentDirectoryW(W(path)) != 0; }
bool Win32System::MakeFolder(const char16_t* path) { return ::CreateDirectoryW(W(path), nullptr) != 0; }
bool Win32System::RemoveFolder(const char16_t* path) { return ::RemoveDirectoryW(W(path)) != 0; }

FileHandle Win32System::OpenFile(const char16_t* path, FileMode mode) {
  HANDLE h = INVALID_HANDLE_VALUE;
  switch (mode) {
    case FileMode::ReadExisting:
      h = ::CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
    case FileMode::CreateAlways:
      h = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
    case FileMode::OpenAppend:
      h = ::CreateFileW(W(path), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
  }
  return h == INVALID_HANDLE_VALUE ? INVALID_FILE : reinterpret_cast<FileHandle>(h);
}

bool Win32System::ReadFile(FileHandle file, void* buffer, uint32_t length, uint32_t* done) {
  DWORD n = 0;
  BOOL ok = ::ReadFile(H(file), buffer, length, &n, nullptr);
  if (done != nullptr) *done = n;
  return ok != 0;
}

bool Win32System::WriteFile(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) {
  DWORD n = 0;
  BOOL ok = ::WriteFile(H(file), buffer, length, &n, nullptr);
  if (done != nullptr) *done = n;
  return ok != 0;
}

bool Win32System::SeekFile(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) {
  if (::GetFileType(H(file)) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER distance, result;
  distance.QuadPart = offset;
  DWORD method = from == SeekFrom::Begin ? FILE_BEGIN : from == SeekFrom::Current ? FILE_CURRENT : FILE_END;
  if (!::SetFilePointerEx(H(file), distance, &result, method)) return false;
  if (position != nullptr) *position = static_cast<uint64_t>(result.QuadPart);
  return true;
}

bool Win32System::GetFileSize(FileHandle file, uint64_t* size) {
  LARGE_INTEGER s;
  if (!::GetFileSizeEx(H(file), &s)) return false;
  *size = static_cast<uint64_t>(s.QuadPart);
  return true;
}

bool Win32System::SetFileTimes(FileHandle file, uint64_t creation, uint64_t access, uint64_t write) {
  FILETIME c = FT(creation), a = FT(access), w = FT(write);
  return ::SetFileTime(H(file), creation ? &c : nullptr, access ? &a : nullptr, write ? &w : nullptr) != 0;
}

void Win32System::CloseFile(FileHandle file) {
  if (file != INVALID_FILE) ::CloseHandle(H(file));
}

bool Win32System::RemoveFile(const char16_t* path) { return ::DeleteFileW(W(path)) != 0; }

bool Win32System::SetAttributes(const char16_t* path, uint32_t attributes) {
  return ::SetFileAttributesW(W(path), attributes) != 0;
}

bool Win32System::FindFiles(const char16_t* pathPattern, bool (*visit)(const FindData&, void*),
                            void* context) {
  WIN32_FIND_DATAW fd;
  HANDLE h = ::FindFirstFileW(W(pathPattern), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  do {
    FindData data{};
    data.attributes = fd.dwFileAttributes;
    TextCopy(data.name, 260, reinterpret_cast<const char16_t*>(fd.cFileName));
    if (visit != nullptr && !visit(data, context)) break;
  } while (::FindNextFileW(h, &fd));
  ::FindClose(h);
  return true;
}

bool Win32System::DosTimeToFileTime(uint16_t dosDate, uint16_t dosTime, uint64_t* fileTime) {
  FILETIME local, utc;
  if (!::DosDateTimeToFileTime(dosDate, dosTime, &local)) return false;
  if (!::LocalFileTimeToFileTime(&local, &utc)) return false;
  *fileTime = (static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
  return true;
}

bool Win32System::ProgramResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) {
  HRSRC r = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), W(type));
  if (r == nullptr) return false;
  HGLOBAL g = ::LoadResource(nullptr, r);
  if (g == nullptr) return false;
  *data = ::LockResource(g);
  *size = ::SizeofResource(nullptr, r);
  return *data != nullptr;
}

uint32_t Win32System::ProfileString(const char16_t* section, const char16_t* key,
                                       const char16_t* defaultValue, char16_t* buffer,
                                       uint32_t capacity, const char16_t* file) {
  return ::GetPrivateProfileStringW(W(section), W(key), W(defaultValue), W(buffer), capacity, W(file));
}

int32_t Win32System::ProfileInt(const char16_t* section, const char16_t* key, int32_t defaultValue,
                                   const char16_t* file) {
  return static_cast<int32_t>(::GetPrivateProfileIntW(W(section), W(key), defaultValue, W(file)));
}

void* Win32System::PageAlloc(size_t size) {
  if (size == 0) return nullptr;
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void Win32System::PageFree(void* block) {
  if (block != nullptr) ::VirtualFree(block, 0, MEM_RELEASE);
}

bool Win32System::StartThread(ThreadProc proc, void* parameter, ThreadHandle* handle) {
  auto* start = static_cast<ThreadStart*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ThreadStart)));
  if (start == nullptr) return false;
  start->proc = proc;
  start->parameter = parameter;
  // Created suspended, so the handle is stored before the thread runs.
  HANDLE h = ::CreateThread(nullptr, 0, ThreadTrampoline, start, CREATE_SUSPENDED, nullptr);
  if (h == nullptr) {
    ::HeapFree(::GetProcessHeap(), 0, start);
    return false;
  }
  ::InterlockedExchangePointer(handle, h);
  ::ResumeThread(h);
  return true;
}

void Win32System::CloseThread(ThreadHandle thread) {
  if (thread != nullptr) ::CloseHandle(thread);
}

void Win32System::DebugOutput(const char16_t* text) { ::OutputDebugStringW(W(text)); }

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

uint32_t Win32System::GetProgramFolder(char16_t* buffer, uint32_t capacity) {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 0;
  while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
  if (n > 0) --n;
  path[n] = 0;
  return static_cast<uint32_t>(TextCopy(buffer, capacity, reinterpret_cast<const char16_t*>(path)));
}

bool Win32System::LocalTime(LocalDateTime* time) {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  *time = LocalDateTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  return true;
}

uint32_t Win32System::SharedDataFolder(char16_t* buffer, uint32_t capacity) {
  wchar_t path[MAX_PATH] = {};
  if (::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return 0;
  size_t n = TextLength(reinterpret_cast<const char16_t*>(path));
  if (n == 0 || n >= capacity) return 0;
  return static_cast<uint32_t>(TextCopy(buffer, capacity, reinterpret_cast<const char16_t*>(path)));
}

// ---- Around an update ------------------------------------------------------------------------------

LockResult Win32System::TakeNamedLock(const char16_t* name, NamedLock* lock, uint32_t* error) {
  *lock = nullptr;
  *error = 0;
  // SYNCHRONIZE is all a wait and ReleaseMutex need; it is also what the default DACL of an object
  // made by another administrator or by SYSTEM grants, so the dialog and the console program run
  // by a deployment tool open each other's lock.
  HANDLE mutex = ::CreateMutexExW(nullptr, W(name), 0, SYNCHRONIZE);
  if (mutex == nullptr) {
    *error = ::GetLastError();
    return LockResult::FAILED;
  }
  switch (::WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
      *lock = mutex;
      return LockResult::TAKEN;
    case WAIT_ABANDONED:
      *lock = mutex;
      return LockResult::ABANDONED;
    case WAIT_TIMEOUT:
      ::CloseHandle(mutex);
      return LockResult::BUSY;
    default:
      *error = ::GetLastError();
      ::CloseHandle(mutex);
      return LockResult::FAILED;
  }
}

bool Win32System::ReleaseNamedLock(NamedLock lock) {
  if (lock == nullptr) return false;
  bool released = ::ReleaseMutex(lock) != 0;
  ::CloseHandle(lock);
  return released;
}

bool Win32System::GetPowerStatus(PowerStatus* status) {
  SYSTEM_POWER_STATUS s{};
  if (!::GetSystemPowerStatus(&s)) return false;
  *status = PowerStatus{s.ACLineStatus, s.BatteryFlag, s.BatteryLifePercent};
  return true;
}

uint32_t Win32System::SetExecutionState(uint32_t flags) {
  return static_cast<uint32_t>(::SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags)));
}

uint64_t Win32Clock::TickCount64() { return ::GetTickCount64(); }
void Win32Clock::Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

DeviceHandle Win32DeviceIo::Open(const char16_t* path, uint32_t* error) {
  HANDLE h = ::CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = ::GetLastError();
    return INVALID_DEVICE;
  }
  return reinterpret_cast<DeviceHandle>(h);
}

bool Win32DeviceIo::Control(DeviceHandle device, uint32_t code, void* in, uint32_t inLength, void* out,
                            uint32_t outLength, uint32_t* returned, uint32_t* error) {
  DWORD n = 0;
  BOOL ok = ::DeviceIoControl(reinterpret_cast<HANDLE>(device), code, in, inLength, out, outLength, &n, nullptr);
  if (returned != nullptr) *returned = n;
  if (!ok && error != nullptr) *error = ::GetLastError();
  return ok != 0;
}

void Win32DeviceIo::Close(DeviceHandle device) {
  if (device != INVALID_DEVICE) ::CloseHandle(reinterpret_cast<HANDLE>(device));
}

}  // namespace platform
