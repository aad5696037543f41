// The program's own on Win32: its resource, INI reading, its folder, the folder all users share,
// and what every entry point sets first (where DLLs load from, the folder it works in).
#include <windows.h>

#include <shlobj.h>

#include "platform/text.h"
#include "platform/win32/internal.h"

namespace platform {

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

uint32_t Win32System::GetProgramFolder(char16_t* buffer, uint32_t capacity) {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 0;
  while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
  if (n > 0) --n;
  path[n] = 0;
  return static_cast<uint32_t>(TextCopy(buffer, capacity, reinterpret_cast<const char16_t*>(path)));
}

uint32_t Win32System::SharedDataFolder(char16_t* buffer, uint32_t capacity) {
  wchar_t path[MAX_PATH] = {};
  if (::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return 0;
  size_t n = TextLength(reinterpret_cast<const char16_t*>(path));
  if (n == 0 || n >= capacity) return 0;
  return static_cast<uint32_t>(TextCopy(buffer, capacity, reinterpret_cast<const char16_t*>(path)));
}

}  // namespace platform
