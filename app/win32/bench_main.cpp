// QuorvelaFwUpdate-bench.exe: the same program on the emulated bench, in a real window.
#include <windows.h>

#include "app/win32/main_window.h"
#include "emu/bench.h"
#include "platform/win32/win32_platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  static emu::Bench bench;
  static platform::Win32Clock clock;
  return RunMainWindow(&bench, &bench, &clock);
}
