// QuorvelaFwUpdate.exe: the program on the Windows storage stack.
#include <windows.h>

#include "app/win32/main_window.h"
#include "platform/win32/win32_platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::RestrictDllSearch();  // before anything can load a DLL by name
  static platform::Win32DeviceIo io;
  static platform::Win32DeviceTree tree;
  static platform::Win32Clock clock;
  return RunMainWindow(&io, &tree, &clock);
}
