#include "app/win32/fleet_console.h"

#include <windows.h>

#include "app/entry.h"
#include "app/fleet.h"
#include "platform/win32/win32_platform.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

class Win32Console : public FleetConsole {
 public:
  void Out(const char* text, size_t length) override { Write(STD_OUTPUT_HANDLE, text, length); }
  void Err(const char* text, size_t length) override { Write(STD_ERROR_HANDLE, text, length); }

 private:
  static void Write(DWORD which, const char* text, size_t length) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (length > 0) {
      DWORD done = 0;
      DWORD part = length > 0x10000 ? 0x10000 : static_cast<DWORD>(length);
      if (!::WriteFile(handle, text, part, &done, nullptr) || done == 0) return;
      text += done;
      length -= done;
    }
  }
};

// A log named on the command line is relative to the folder the command was given in; it is made
// absolute before the program leaves that folder.
void MakeLogPathAbsolute(int argc, wchar_t** argv, int first) {
  static wchar_t absolute[MAX_PATH];
  for (int i = first; i + 1 < argc; ++i) {
    if (lstrcmpW(argv[i], L"--log") != 0) continue;
    DWORD n = ::GetFullPathNameW(argv[i + 1], MAX_PATH, absolute, nullptr);
    if (n > 0 && n < MAX_PATH) argv[i + 1] = absolute;
    return;
  }
}

}  // namespace

int RunFleetConsole(int argc, wchar_t** argv, int first, const platform::Services& services,
                    platform::HeadlessDialog& dialog) {
  platform::Install(services);
  MakeLogPathAbsolute(argc, argv, first);
  platform::EnterSystemFolder();
  PrepareAppState();
  // The text is UTF-8; a console shows it as such.
  ::SetConsoleOutputCP(CP_UTF8);
  Win32Console console;
  return RunFleet(argc - first, reinterpret_cast<const char16_t* const*>(argv + first), dialog, console);
}
