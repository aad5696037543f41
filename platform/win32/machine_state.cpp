// The machine state on Windows: each drive's update state in the registry, the boot the machine is
// in, and the system's random source.
#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>

#include "platform/text.h"
#include "platform/win32/internal.h"

namespace platform {
namespace {

// Both bitnesses reach the same keys: the 64-bit view, never the 32-bit one a 32-bit program
// would be redirected to.
constexpr REGSAM VIEW = KEY_WOW64_64KEY;
// The keys the program makes: SYSTEM and Administrators may change them, Users may read them,
// nothing is inherited from above, and keys made below inherit the same.
constexpr wchar_t STATE_SECURITY[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
// The volatile key whose creation marks the boot: the system forgets it at every restart.
constexpr char16_t BOOT_KEY[] = u"Boot";

// The path of a drive's key below HKLM; false for a name that is not one name of its own.
bool DrivePath(const char16_t* root, const char16_t* drive, char16_t* path, size_t capacity) {
  if (!IsDriveStateKey(drive)) return false;
  int n = FormatText(path, capacity, u"%s\\%s", root, drive);
  return n > 0 && static_cast<size_t>(n) < capacity;
}

// Makes (or opens) the key at path below parent with the program's access list.
HKEY MakeKey(HKEY parent, const char16_t* path, DWORD options, REGSAM access) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(STATE_SECURITY, SDDL_REVISION_1,
                                                              &sa.lpSecurityDescriptor, nullptr))
    return nullptr;
  HKEY key = nullptr;
  LONG r = ::RegCreateKeyExW(parent, W(path), 0, nullptr, options, access | VIEW, &sa, &key, nullptr);
  ::LocalFree(sa.lpSecurityDescriptor);
  return r == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

void Win32System::SetStateKey(const char16_t* key) { TextCopy(stateKey_, STATE_KEY_CHARS, key); }

StateRead Win32System::ReadDriveState(const char16_t* drive, const char16_t* name, char16_t* buffer,
                                      uint32_t capacity) {
  if (buffer == nullptr || capacity < 2) return StateRead::FAILED;
  buffer[0] = 0;
  char16_t path[2 * STATE_KEY_CHARS + 2];
  if (!DrivePath(stateKey_, drive, path, sizeof path / sizeof path[0])) return StateRead::FAILED;
  HKEY key = nullptr;
  LONG r = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path), 0, KEY_QUERY_VALUE | VIEW, &key);
  if (r == ERROR_FILE_NOT_FOUND) return StateRead::MISSING;
  if (r != ERROR_SUCCESS) return StateRead::FAILED;
  DWORD type = 0;
  DWORD size = capacity * sizeof(char16_t);
  r = ::RegQueryValueExW(key, W(name), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  ::RegCloseKey(key);
  if (r == ERROR_FILE_NOT_FOUND) {
    buffer[0] = 0;
    return StateRead::MISSING;
  }
  if (r != ERROR_SUCCESS || type != REG_SZ || size % sizeof(char16_t) != 0) {
    buffer[0] = 0;
    return StateRead::FAILED;
  }
  // A value need not carry its terminator: one that fills the buffer without it does not fit.
  size_t length = size / sizeof(char16_t);
  if (length > 0 && buffer[length - 1] == 0) --length;
  if (length >= capacity) {
    buffer[0] = 0;
    return StateRead::FAILED;
  }
  buffer[length] = 0;
  return StateRead::FOUND;
}

bool Win32System::WriteDriveState(const char16_t* drive, const StateValue* values, uint32_t count) {
  char16_t path[2 * STATE_KEY_CHARS + 2];
  if (!DrivePath(stateKey_, drive, path, sizeof path / sizeof path[0])) return false;
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, path, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE);
  if (key == nullptr) return false;
  bool written = true;
  for (uint32_t i = 0; i < count && written; ++i) {
    size_t length = TextLengthMax(values[i].text, STATE_TEXT_CHARS);
    written = length < STATE_TEXT_CHARS &&
              ::RegSetValueExW(key, W(values[i].name), 0, REG_SZ, reinterpret_cast<const BYTE*>(values[i].text),
                               static_cast<DWORD>((length + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
  }
  // The state must be on the disk before the drive is touched: a power loss must not lose it.
  written = written && ::RegFlushKey(key) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return written;
}

bool Win32System::CurrentBoot(uint64_t* boot) {
  // A volatile key lives until the system ends; the time it was made names the boot. The key is
  // never written after, so two processes that race to make it read the same time. The key above
  // it is made first, as a lasting one: keys that last cannot be made below a volatile one.
  HKEY root = MakeKey(HKEY_LOCAL_MACHINE, stateKey_, REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY);
  if (root == nullptr) return false;
  HKEY key = MakeKey(root, BOOT_KEY, REG_OPTION_VOLATILE, KEY_QUERY_VALUE);
  ::RegCloseKey(root);
  if (key == nullptr) return false;
  FILETIME made{};
  LONG r = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, &made);
  ::RegCloseKey(key);
  if (r != ERROR_SUCCESS) return false;
  *boot = (static_cast<uint64_t>(made.dwHighDateTime) << 32) | made.dwLowDateTime;
  return *boot != 0;
}

bool Win32System::Random(void* buffer, uint32_t length) {
  return ::RtlGenRandom(buffer, length) != FALSE;
}

}  // namespace platform
