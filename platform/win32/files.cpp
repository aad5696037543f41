// Files on Win32: what a path names and its identity, removal by identity, and files opened by
// path (CreateFileW), read, written and listed.
#include <windows.h>

#include <aclapi.h>

#include "platform/text.h"
#include "platform/win32/internal.h"

// The seam's own values are the Windows ones.
static_assert(platform::FILE_ATTR_DIRECTORY == FILE_ATTRIBUTE_DIRECTORY);
static_assert(platform::FILE_ATTR_ARCHIVE == FILE_ATTRIBUTE_ARCHIVE);
static_assert(platform::FILE_ATTR_NORMAL == FILE_ATTRIBUTE_NORMAL);
static_assert(platform::FILE_ATTR_REPARSE_POINT == FILE_ATTRIBUTE_REPARSE_POINT);

namespace platform {
namespace {

FILETIME FT(uint64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

// Opens a file or folder itself: a reparse point in the last place is opened, not followed.
HANDLE OpenItself(const char16_t* path, DWORD access) {
  return ::CreateFileW(W(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

// ---- The checks on an open handle that the held folders make too (internal.h) ----------------------

namespace {

// The account this program runs as (the administrator who started it, or SYSTEM).
PSID OwnUser() {
  static struct Own {
    alignas(8) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    PSID sid = nullptr;
    Own() {
      HANDLE token = nullptr;
      if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
      DWORD size = 0;
      if (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
      ::CloseHandle(token);
    }
  } own;
  return own.sid;
}

// SYSTEM, the Administrators, the account this program runs as; and CREATOR OWNER, which stands
// for whoever makes an object below (here: this program).
bool IsTrustedSid(PSID sid, bool creatorToo) {
  return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (OwnUser() != nullptr && ::EqualSid(sid, OwnUser())) ||
         (creatorToo && ::IsWellKnownSid(sid, WinCreatorOwnerSid));
}

}  // namespace

bool OnlyTrustedMayChange(HANDLE handle) {
  // What lets anyone write, add to, delete in, or change the access or owner of the object.
  constexpr ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                   FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL |
                                   GENERIC_WRITE | MAXIMUM_ALLOWED;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  // No DACL at all lets everyone do everything.
  bool trusted = owner != nullptr && IsTrustedSid(owner, false) && dacl != nullptr;
  for (DWORD i = 0; trusted && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) {
      trusted = false;
      break;
    }
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    // Deny entries take nothing away from what is checked here; every kind that allows is weighed.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
        trusted = false;  // not made for files: taken as allowing anything
      continue;
    }
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kChanges) != 0 && !IsTrustedSid(sid, true)) trusted = false;
  }
  ::LocalFree(descriptor);
  return trusted;
}

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

// ---- What a path names, and files by path ----------------------------------------------------------

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
    facts->trusted = OnlyTrustedMayChange(h);
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

}  // namespace platform
