// What the Win32 implementation's files share: the casts between the seam's types and the Windows
// ones, the kernel32 functions looked up at run time, and the checks that files and held folders
// make on an open handle. Private to platform/win32.
#pragma once
#include <windows.h>

#include "platform/win32/win32_platform.h"

namespace platform {

inline LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }
inline LPWSTR W(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }

inline HANDLE H(FileHandle f) { return reinterpret_cast<HANDLE>(f); }

// A function of kernel32 that older Windows lacks, or null.
template <typename Function>
Function Kernel32Function(const char* name) {
  HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  // Through the generic function type, as a function's true type is not FARPROC's.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, name)));
}

inline bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

inline FileIdentity IdentityFrom(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// In files.cpp.

// Only SYSTEM, the Administrators or the account the program runs as can change the object behind
// the handle (PathFacts::trusted).
bool OnlyTrustedMayChange(HANDLE handle);
// A file opened for the program's own use stays open only when it is a plain file with one link.
HANDLE KeepOwnFile(HANDLE h);
// Deletes the object behind a handle opened for deletion, only when it has that identity and is no
// reparse point; a read-only file loses the attribute first, as it could not be deleted.
bool DeleteIdentified(HANDLE h, const FileIdentity& identity);

}  // namespace platform
