#include <windows.h>
#include <winternl.h>

#include <aclapi.h>
#include <sddl.h>
#include <reason.h>
#include <shlobj.h>

#include <cstddef>
#include <new>

#include "platform/messages.h"
#include "platform/text.h"
#include "platform/win32/lock_calls.h"
#include "platform/win32/nt_open.h"
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
static_assert(platform::FILE_ATTR_REPARSE_POINT == FILE_ATTRIBUTE_REPARSE_POINT);
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

// Not declared by MinGW's headers; in ntdll, a KnownDLL.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                                               PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass, BOOLEAN single,
                                               PUNICODE_STRING name, BOOLEAN restart);
// The entry NtQueryDirectoryFile gives for FileDirectoryInformation, the same on 32- and 64-bit.
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes) == 56 &&
              offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength) == 60 &&
              offsetof(FILE_DIRECTORY_INFORMATION, FileName) == 64);

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

// A function of kernel32 that older Windows lacks, or null.
template <typename Function>
Function Kernel32Function(const char* name) {
  HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  // Through the generic function type, as a function's true type is not FARPROC's.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, name)));
}

bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

FileIdentity IdentityFrom(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Opens a file or folder itself: a reparse point in the last place is opened, not followed.
HANDLE OpenItself(const char16_t* path, DWORD access) {
  return ::CreateFileW(W(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The owner of the object behind the handle is SYSTEM or the Administrators group.
bool OwnerIsTrusted(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
    return false;
  bool trusted = owner != nullptr && (::IsWellKnownSid(owner, WinLocalSystemSid) ||
                                      ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  ::LocalFree(descriptor);
  return trusted;
}

// A file opened for the program's own use stays open only when it is a plain file with one link.
HANDLE KeepOwnFile(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks != 1) {
    ::CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// Deletes the object behind a handle opened for deletion, only when it has that identity and is no
// reparse point; a read-only file loses the attribute first, as it could not be deleted.
bool DeleteIdentified(HANDLE h, const FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info) || IsReparsePoint(info.dwFileAttributes) ||
      !(IdentityFrom(info) == identity))
    return false;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FILE_ATTRIBUTE_DIRECTORY
                                                                                   : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

void* NewFolderSecurity(FolderAccess access) {
  // SYSTEM and the Administrators have full control of the folder and all below it; the Users
  // group may read and list (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE); "P" keeps out every
  // permission the parent would pass on.
  const wchar_t* sddl = access == FolderAccess::USERS_READ
                            ? L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                            : L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

bool RestrictDllSearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  auto setDefault = Kernel32Function<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
  return ::SetDllDirectoryW(L"") != 0;
}

bool EnterSystemFolder() {
  wchar_t folder[MAX_PATH];
  UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  return n > 0 && n < MAX_PATH && ::SetCurrentDirectoryW(folder) != 0;
}

uint32_t Win32System::TempFolderPath(char16_t* buffer, uint32_t capacity) {
  // GetTempPath2W gives SYSTEM the folder closed to users (C:\Windows\SystemTemp) and everybody
  // else what GetTempPathW gives; older Windows lacks it.
  using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);
  static const auto getTempPath2 = Kernel32Function<GetTempPath2Function>("GetTempPath2W");
  if (getTempPath2 != nullptr) return getTempPath2(capacity, W(buffer));
  return ::GetTempPathW(capacity, W(buffer));
}
uint32_t Win32System::CurrentFolder(char16_t* buffer, uint32_t capacity) {
  return ::GetCurrentDirectoryW(capacity, W(buffer));
}
bool Win32System::SetCurrentFolder(const char16_t* path) { return ::SetCurrentDirectoryW(W(path)) != 0; }
bool Win32System::MakeFolder(const char16_t* path) { return ::CreateDirectoryW(W(path), nullptr) != 0; }
bool Win32System::RemoveFolder(const char16_t* path) { return ::RemoveDirectoryW(W(path)) != 0; }

bool Win32System::LookAt(const char16_t* path, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  DWORD attributes = ::GetFileAttributesW(W(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  HANDLE h = OpenItself(path, FILE_READ_ATTRIBUTES | READ_CONTROL);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  bool ok = ::GetFileInformationByHandle(h, &info) != 0;
  if (ok) {
    // The attributes of the name and of the handle: both tell a reparse point (and the handle's
    // also one swapped in after the name was asked).
    facts->kind = IsReparsePoint(attributes) || IsReparsePoint(info.dwFileAttributes) ? PathKind::LINK
                  : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0          ? PathKind::FOLDER
                                                                                       : PathKind::FILE;
    facts->links = info.nNumberOfLinks;
    facts->identity = IdentityFrom(info);
    facts->trustedOwner = OwnerIsTrusted(h);
  }
  ::CloseHandle(h);
  return ok;
}

bool Win32System::IdentityOf(FileHandle file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(H(file), &info)) return false;
  *identity = IdentityFrom(info);
  return true;
}

bool Win32System::RemoveIdentified(const char16_t* path, const FileIdentity& identity) {
  if (IsReparsePoint(::GetFileAttributesW(W(path)))) return false;
  HANDLE h = OpenItself(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = DeleteIdentified(h, identity);
  ::CloseHandle(h);
  return ok;
}

// ---- Held folders: NtCreateFile with the held folder as RootDirectory ------------------------------

NtCreateFileFunction g_ntCreateFile = ::NtCreateFile;

NtCreateFileFunction SetNtCreateFile(NtCreateFileFunction function) {
  NtCreateFileFunction previous = g_ntCreateFile;
  g_ntCreateFile = function != nullptr ? function : ::NtCreateFile;
  return previous;
}

NtOpenRequest NtRequestFor(NtOpenKind kind) {
  // Every open names the object itself (FILE_OPEN_REPARSE_POINT: a link is opened, not followed)
  // and is synchronous, so that ReadFile and WriteFile work on the handle as on CreateFileW's.
  constexpr ULONG kItself = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
  // A held folder: listed, traversed and added to; it shares no deletion, so nobody may rename or
  // delete it while it is held.
  constexpr ACCESS_MASK kFolder = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                  FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
  constexpr ULONG kHeldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  switch (kind) {
    case NtOpenKind::WALK:
      return {FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, kHeldShare,
              FILE_OPEN, FILE_DIRECTORY_FILE | kItself};
    case NtOpenKind::FOLDER:
      return {kFolder, kHeldShare, FILE_OPEN, FILE_DIRECTORY_FILE | kItself};
    case NtOpenKind::NEW_FOLDER:
      return {kFolder, kHeldShare, FILE_CREATE, FILE_DIRECTORY_FILE | kItself};
    case NtOpenKind::NEW_FILE:
      return {GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE | kItself};
    case NtOpenKind::APPEND:
      return {FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_OPEN_IF,
              FILE_NON_DIRECTORY_FILE | kItself};
    case NtOpenKind::READ_OWN:
      return {GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE | kItself};
    case NtOpenKind::LOOK:
      return {FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
              FILE_OPEN, kItself};
    case NtOpenKind::REMOVE:
      return {DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, kItself};
  }
  return {};
}

namespace {

// One name: no separator, not "." or "..", and short enough for a UNICODE_STRING.
bool IsOneName(const char16_t* name) {
  size_t n = name != nullptr ? TextLength(name) : 0;
  if (n == 0 || n > 255 || TextEqual(name, u".") || TextEqual(name, u"..")) return false;
  for (size_t i = 0; i < n; ++i)
    if (name[i] == u'\\' || name[i] == u'/' || name[i] == u':') return false;
  return true;
}

// Opens name relative to the held folder root as the request of kind says; the last error is set
// from the status on failure.
HANDLE OpenRelative(HANDLE root, const char16_t* name, NtOpenKind kind, void* security = nullptr) {
  if (root == nullptr || root == INVALID_HANDLE_VALUE || !IsOneName(name)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text;
  text.Length = static_cast<USHORT>(TextLength(name) * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  text.Buffer = const_cast<PWSTR>(W(name));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, root, security);
  IO_STATUS_BLOCK io{};
  NtOpenRequest r = NtRequestFor(kind);
  HANDLE h = nullptr;
  NTSTATUS status = g_ntCreateFile(&h, r.access, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL, r.share, r.disposition,
                                   r.options, nullptr, 0);
  if (status < 0) {
    ::SetLastError(::RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// Whether the held folder root lists name as a reparse point. The handle's own attributes tell it
// on Windows; the folder's entry tells it also where a link is opened through (as Wine opens a
// folder link), so both are asked.
bool EntryIsReparsePoint(HANDLE root, const char16_t* name) {
  alignas(8) unsigned char buffer[sizeof(FILE_DIRECTORY_INFORMATION) + 512 * sizeof(wchar_t)];
  UNICODE_STRING text;
  text.Length = static_cast<USHORT>(TextLength(name) * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  text.Buffer = const_cast<PWSTR>(W(name));
  IO_STATUS_BLOCK io{};
  NTSTATUS status = NtQueryDirectoryFile(root, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                         FileDirectoryInformation, TRUE, &text, TRUE);
  if (status < 0) return false;
  const auto* entry = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer);
  return (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// What the object behind a handle is, from the handle alone.
bool FactsOfHandle(HANDLE h, PathFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return false;
  facts->kind = IsReparsePoint(info.dwFileAttributes)                   ? PathKind::LINK
                : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::FOLDER
                                                                           : PathKind::FILE;
  facts->links = info.nNumberOfLinks;
  facts->identity = IdentityFrom(info);
  facts->trustedOwner = OwnerIsTrusted(h);
  return true;
}

// Keeps an opened handle as a held folder when it is a folder and no reparse point.
FolderHandle HoldFolder(HANDLE h, PathFacts* facts) {
  if (h == INVALID_HANDLE_VALUE) return INVALID_FOLDER;
  if (!FactsOfHandle(h, facts) || facts->kind != PathKind::FOLDER) {
    ::CloseHandle(h);
    return INVALID_FOLDER;
  }
  return reinterpret_cast<FolderHandle>(h);
}

// What name is in root when it could not be opened as asked.
void FactsAt(HANDLE root, const char16_t* name, PathFacts* facts) {
  HANDLE h = OpenRelative(root, name, NtOpenKind::LOOK);
  if (h == INVALID_HANDLE_VALUE) return;
  if (FactsOfHandle(h, facts) && EntryIsReparsePoint(root, name)) facts->kind = PathKind::LINK;
  ::CloseHandle(h);
}

HANDLE HF(FolderHandle f) { return reinterpret_cast<HANDLE>(f); }

// Opens the folder name in root as kind says and holds it; facts tell what is there otherwise.
FolderHandle OpenFolderAs(HANDLE root, const char16_t* name, NtOpenKind kind, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  HANDLE h = OpenRelative(root, name, kind);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) FactsAt(root, name, facts);
    return INVALID_FOLDER;
  }
  FolderHandle held = HoldFolder(h, facts);
  if (held != INVALID_FOLDER && EntryIsReparsePoint(root, name)) {
    ::CloseHandle(h);
    facts->kind = PathKind::LINK;
    return INVALID_FOLDER;
  }
  return held;
}

// The length of the root of a full path: "C:\", "\\server\share\", "\\?\C:\" or
// "\\?\UNC\server\share\"; 0 when it has none.
size_t RootLength(const wchar_t* p) {
  auto skipName = [p](size_t i) {
    while (p[i] != 0 && p[i] != L'\\') ++i;
    return i;
  };
  size_t i = 0;
  if (wcsncmp(p, L"\\\\?\\UNC\\", 8) == 0) {
    i = skipName(skipName(8) + 1);
  } else if (wcsncmp(p, L"\\\\?\\", 4) == 0 || wcsncmp(p, L"\\\\.\\", 4) == 0) {
    i = p[4] != 0 && p[5] == L':' ? 6 : 0;
  } else if (p[0] == L'\\' && p[1] == L'\\') {
    i = skipName(skipName(2) + 1);
  } else if (p[0] != 0 && p[1] == L':') {
    i = 2;
  }
  if (i == 0 || p[i] != L'\\') return 0;
  return i + 1;
}

}  // namespace

FolderHandle Win32System::OpenFolder(const char16_t* path, PathLinks links, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  if (path == nullptr || path[0] == 0) return INVALID_FOLDER;
  NtOpenRequest r = NtRequestFor(NtOpenKind::FOLDER);
  if (links == PathLinks::FOLLOWED) {
    HANDLE h = ::CreateFileW(W(path), r.access, r.share, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD error = ::GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) LookAt(path, facts);
      return INVALID_FOLDER;
    }
    // The name's attributes as well as the handle's, as LookAt asks them.
    FolderHandle held = HoldFolder(h, facts);
    if (held != INVALID_FOLDER && IsReparsePoint(::GetFileAttributesW(W(path)))) {
      ::CloseHandle(h);
      facts->kind = PathKind::LINK;
      return INVALID_FOLDER;
    }
    return held;
  }
  // Name by name: the full path's root is opened, then each name on the folder before it, the
  // folders on the way for traversal only, the last one to be held.
  wchar_t full[MAX_PATH * 2];
  DWORD n = ::GetFullPathNameW(W(path), MAX_PATH * 2, full, nullptr);
  if (n == 0 || n >= MAX_PATH * 2) return INVALID_FOLDER;
  while (n > 0 && full[n - 1] == L'\\') full[--n] = 0;
  size_t root = RootLength(full);
  if (root == 0) {
    // The volume's root itself ("C:\\" lost its separator above).
    if (n < MAX_PATH * 2 - 1) full[n++] = L'\\', full[n] = 0;
    root = RootLength(full);
    if (root != n) return INVALID_FOLDER;
  }
  NtOpenRequest walk = NtRequestFor(root == n ? NtOpenKind::FOLDER : NtOpenKind::WALK);
  wchar_t saved = full[root];
  full[root] = 0;
  HANDLE h = ::CreateFileW(full, walk.access, walk.share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  full[root] = saved;
  FolderHandle held = HoldFolder(h, facts);
  size_t at = root;
  while (held != INVALID_FOLDER && full[at] != 0) {
    size_t end = at;
    while (full[end] != 0 && full[end] != L'\\') ++end;
    bool last = full[end] == 0;
    full[end] = 0;
    const char16_t* name = reinterpret_cast<const char16_t*>(full + at);
    at = last ? end : end + 1;
    FolderHandle next = OpenFolderAs(HF(held), name, last ? NtOpenKind::FOLDER : NtOpenKind::WALK, facts);
    CloseFolder(held);
    held = next;
  }
  return held;
}

FolderHandle Win32System::OpenFolderAt(FolderHandle parent, const char16_t* name, PathFacts* facts) {
  return OpenFolderAs(HF(parent), name, NtOpenKind::FOLDER, facts);
}

FolderHandle Win32System::MakeFolderAt(FolderHandle parent, const char16_t* name, FolderAccess access,
                                       PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  void* descriptor = NewFolderSecurity(access);
  if (descriptor == nullptr) return INVALID_FOLDER;
  HANDLE h = OpenRelative(HF(parent), name, NtOpenKind::NEW_FOLDER, descriptor);
  ::LocalFree(descriptor);
  if (h == INVALID_HANDLE_VALUE) {
    FactsAt(HF(parent), name, facts);
    return INVALID_FOLDER;
  }
  return HoldFolder(h, facts);
}

void Win32System::CloseFolder(FolderHandle folder) {
  if (folder != INVALID_FOLDER) ::CloseHandle(HF(folder));
}

FileHandle Win32System::OpenFileAt(FolderHandle folder, const char16_t* name, FileMode mode) {
  NtOpenKind kind;
  switch (mode) {
    case FileMode::CreateNew: kind = NtOpenKind::NEW_FILE; break;
    case FileMode::OpenAppend: kind = NtOpenKind::APPEND; break;
    case FileMode::ReadOwn: kind = NtOpenKind::READ_OWN; break;
    default: return INVALID_FILE;
  }
  HANDLE h = KeepOwnFile(OpenRelative(HF(folder), name, kind));
  return h == INVALID_HANDLE_VALUE ? INVALID_FILE : reinterpret_cast<FileHandle>(h);
}

bool Win32System::LookAtName(FolderHandle folder, const char16_t* name, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  HANDLE h = OpenRelative(HF(folder), name, NtOpenKind::LOOK);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  bool ok = FactsOfHandle(h, facts);
  if (ok && EntryIsReparsePoint(HF(folder), name)) facts->kind = PathKind::LINK;
  ::CloseHandle(h);
  return ok;
}

bool Win32System::RemoveAt(FolderHandle folder, const char16_t* name, const FileIdentity& identity) {
  HANDLE h = OpenRelative(HF(folder), name, NtOpenKind::REMOVE);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = DeleteIdentified(h, identity);
  ::CloseHandle(h);
  return ok;
}

FileHandle Win32System::OpenFile(const char16_t* path, FileMode mode) {
  HANDLE h = INVALID_HANDLE_VALUE;
  switch (mode) {
    case FileMode::ReadExisting:
      h = ::CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
    case FileMode::CreateAlways:
      // Opened or made without following a link, checked, and only then cut short, so that the
      // bytes of a file with another link are never lost.
      h = KeepOwnFile(::CreateFileW(W(path), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (h != INVALID_HANDLE_VALUE && !::SetEndOfFile(h)) {
        ::CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
      }
      break;
    case FileMode::OpenAppend:
      h = KeepOwnFile(::CreateFileW(W(path), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      break;
    case FileMode::ReadOwn:
      h = KeepOwnFile(::CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      break;
    case FileMode::CreateNew:
      h = KeepOwnFile(::CreateFileW(W(path), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
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

bool Win32System::SetAttributesOf(FileHandle file, uint32_t attributes) {
  FILE_BASIC_INFO basic{};  // times of zero are left as they are
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(H(file), FileBasicInfo, &basic, sizeof basic) != 0;
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

namespace {

// Who may open the lock's namespace and its mutex: SYSTEM and the Administrators group, nobody
// else ("P": nothing inherited).
constexpr wchar_t LOCK_SECURITY[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// Rounds of "create, else open": between the two, the process that held the namespace may close it.
constexpr int NAMESPACE_ROUNDS = 3;

// A taken lock: its mutex and the namespace the mutex lives in. The namespace stays open as long
// as the mutex: once its last handle is closed it cannot be opened any more, and one made anew
// would hold another mutex of the same name, so a second update could start beside this one.
struct HeldLock {
  HANDLE mutex;
  HANDLE space;
  decltype(&::ClosePrivateNamespace) closeSpace;
};

LockCalls KernelLockCalls() {
  return LockCalls{&::CreateBoundaryDescriptorW, &::AddSIDToBoundaryDescriptor, &::DeleteBoundaryDescriptor,
                   &::CreatePrivateNamespaceW,   &::OpenPrivateNamespaceW,       &::ClosePrivateNamespace,
                   &::CreateMutexExW};
}

// Creates the private namespace alias, bounded by the Administrators group, or opens it when
// another process has made it. Null, with the error, when neither succeeds.
HANDLE EnterNamespace(const LockCalls& calls, const wchar_t* alias, SECURITY_ATTRIBUTES* security, DWORD* error) {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
    *error = ::GetLastError();
    return nullptr;
  }
  HANDLE boundary = calls.createBoundaryDescriptor(alias, 0);
  if (boundary == nullptr) {
    *error = ::GetLastError();
    return nullptr;
  }
  HANDLE space = nullptr;
  // AddSIDToBoundaryDescriptor may move the descriptor: it updates the handle.
  if (!calls.addSidToBoundaryDescriptor(&boundary, administrators)) {
    *error = ::GetLastError();
  } else {
    for (int round = 0; round < NAMESPACE_ROUNDS && space == nullptr; ++round) {
      space = calls.createPrivateNamespace(security, boundary, alias);
      if (space != nullptr) break;
      *error = ::GetLastError();
      if (*error != ERROR_ALREADY_EXISTS) break;
      space = calls.openPrivateNamespace(boundary, alias);
      if (space == nullptr) *error = ::GetLastError();
    }
  }
  calls.deleteBoundaryDescriptor(boundary);  // the namespace keeps its own copy of the boundary
  return space;
}

}  // namespace

LockResult Win32System::TakeNamedLock(const char16_t* name, NamedLock* lock, uint32_t* error) {
  *lock = nullptr;
  *error = 0;
  // "<namespace>\<mutex>": one backslash, neither part empty, and a namespace of our own.
  size_t length = name != nullptr ? TextLength(name) : 0, slash = 0, slashes = 0;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] != u'\\') continue;
    slash = i;
    ++slashes;
  }
  if (slashes != 1 || slash == 0 || slash + 1 == length) {
    *error = ERROR_INVALID_NAME;
    return LockResult::FAILED;
  }
  if (length >= MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return LockResult::FAILED;
  }
  wchar_t alias[MAX_PATH];
  ::lstrcpynW(alias, W(name), static_cast<int>(slash) + 1);
  // These prefixes name the system's own folders of objects, never a private namespace.
  for (const wchar_t* reserved : {L"Global", L"Local", L"Session"}) {
    if (::lstrcmpiW(alias, reserved) == 0) {
      *error = ERROR_INVALID_NAME;
      return LockResult::FAILED;
    }
  }
  LockCalls calls = lockCalls_ != nullptr ? *lockCalls_ : KernelLockCalls();

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(LOCK_SECURITY, SDDL_REVISION_1, &descriptor, nullptr)) {
    *error = ::GetLastError();
    return LockResult::FAILED;
  }
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  DWORD failure = 0;
  HANDLE space = EnterNamespace(calls, alias, &security, &failure);
  HANDLE mutex = nullptr;
  if (space != nullptr) {
    // SYNCHRONIZE is all a wait and ReleaseMutex need. The descriptor applies when this call makes
    // the mutex; one made by another administrator or by SYSTEM has the same.
    mutex = calls.createMutex(&security, W(name), 0, SYNCHRONIZE);
    if (mutex == nullptr) failure = ::GetLastError();
  }
  ::LocalFree(descriptor);
  if (mutex == nullptr) {
    if (space != nullptr) calls.closePrivateNamespace(space, 0);
    *error = failure;
    return LockResult::FAILED;
  }

  LockResult result = LockResult::FAILED;
  switch (::WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
      result = LockResult::TAKEN;
      break;
    case WAIT_ABANDONED:
      result = LockResult::ABANDONED;
      break;
    case WAIT_TIMEOUT:
      result = LockResult::BUSY;
      break;
    default:
      *error = ::GetLastError();
      break;
  }
  HeldLock* held = nullptr;
  if (result == LockResult::TAKEN || result == LockResult::ABANDONED) {
    held = new (std::nothrow) HeldLock{mutex, space, calls.closePrivateNamespace};
    if (held == nullptr) {
      ::ReleaseMutex(mutex);
      result = LockResult::FAILED;
      *error = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (held == nullptr) {
    ::CloseHandle(mutex);
    calls.closePrivateNamespace(space, 0);
    return result;
  }
  *lock = held;
  return result;
}

bool Win32System::ReleaseNamedLock(NamedLock lock) {
  if (lock == nullptr) return false;
  auto* held = static_cast<HeldLock*>(lock);
  bool released = ::ReleaseMutex(held->mutex) != 0;
  ::CloseHandle(held->mutex);
  held->closeSpace(held->space, 0);  // only now that the mutex is closed
  delete held;
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
