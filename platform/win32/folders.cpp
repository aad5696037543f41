// Folders on Win32: the temporary and the current folder, folders by path, and held folders, in
// which every name is opened by NtCreateFile with the held folder as RootDirectory.
#include <windows.h>
#include <winternl.h>

#include <sddl.h>

#include <cstddef>

#include "platform/text.h"
#include "platform/win32/internal.h"
#include "platform/win32/nt_open.h"

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

// ---- The system's folders and folders by path ------------------------------------------------------

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

void* NewFolderSecurity(FolderAccess access) {
  // SYSTEM and the Administrators have full control of the folder and all below it; the Users
  // group may read and list (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE); "P" keeps out every
  // permission the parent would pass on.
  // The owner is the Administrators group, as Windows makes it for an elevated administrator
  // by default; said outright, so that the folder reads back as the program's own wherever the
  // system would otherwise name the account.
  const wchar_t* sddl = access == FolderAccess::USERS_READ
                            ? L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                            : L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  return descriptor;
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
// folder link), so both are asked. A listing handle keeps the first name it was asked for and
// answers every later query with it, so each question opens the folder anew (an open relative to
// root with an empty name reaches root itself) and asks on that handle once.
bool EntryIsReparsePoint(HANDLE root, const char16_t* name) {
  UNICODE_STRING none{};
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &none, 0, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE listing = nullptr;
  NTSTATUS status = g_ntCreateFile(&listing, FILE_LIST_DIRECTORY | SYNCHRONIZE, &object, &io, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
  if (status < 0) return false;
  alignas(8) unsigned char buffer[sizeof(FILE_DIRECTORY_INFORMATION) + 512 * sizeof(wchar_t)];
  UNICODE_STRING text;
  text.Length = static_cast<USHORT>(TextLength(name) * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  text.Buffer = const_cast<PWSTR>(W(name));
  io = IO_STATUS_BLOCK{};
  status = NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                FileDirectoryInformation, TRUE, &text, TRUE);
  ::CloseHandle(listing);
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
  facts->trusted = OnlyTrustedMayChange(h);
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
  void* descriptor = access == FolderAccess::INHERITED ? nullptr : NewFolderSecurity(access);
  if (descriptor == nullptr && access != FolderAccess::INHERITED) return INVALID_FOLDER;
  HANDLE h = OpenRelative(HF(parent), name, NtOpenKind::NEW_FOLDER, descriptor);
  if (descriptor != nullptr) ::LocalFree(descriptor);
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

}  // namespace platform
