// QuorvelaFwUpdate-cli.exe: the updater from a console, on the Windows storage stack, for the
// deployment tools of a fleet. The commands and exit codes are those of app/fleet.h.
#include <windows.h>

#include "app/win32/fleet_console.h"
#include "platform/win32/win32_platform.h"

int wmain(int argc, wchar_t** argv) {
  platform::RestrictDllSearch();  // before anything can load a DLL by name
  static platform::Win32DeviceIo io;
  static platform::Win32DeviceTree tree;
  static platform::Win32Clock clock;
  static platform::Win32System system;
  static platform::HeadlessDialog dialog(clock);
  platform::Services services;
  services.io = &io;
  services.tree = &tree;
  services.system = &system;
  services.clock = &clock;
  return RunFleetConsole(argc, argv, 1, services, dialog);
}
