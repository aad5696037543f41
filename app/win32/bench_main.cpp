// QuorvelaFwUpdate-bench.exe: the same program on the emulated bench, in a real window. The bench
// is the file bench.txt beside the executable when there is one, and otherwise the default bench
// embedded in the executable (IDR_BENCH). Unlike the product, the bench build takes options:
//   --bench FILE     the bench file to use
//   --capture FILE   record every device request the bench receives (docs/capture.md)
// A power-off or restart that the user accepts is recorded instead of performed: in the capture
// (when one is written), in the debug output, and as a line in bench-events.txt beside the exe.
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "app/win32/bench_program.h"
#include "app/win32/main_window.h"
#include "core/app_state.h"
#include "platform/win32/win32_platform.h"

namespace {

constexpr wchar_t CAPTION[] = L"QuorvelaFwUpdate-bench";

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::RestrictDllSearch();  // before anything can load a DLL by name
  static emu::Bench bench;
  std::wstring benchPath, capturePath;
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  for (int i = 1; argv != nullptr && i + 1 < argc; ++i) {
    if (lstrcmpW(argv[i], L"--bench") == 0) benchPath = argv[++i];
    else if (lstrcmpW(argv[i], L"--capture") == 0) capturePath = argv[++i];
  }
  if (argv != nullptr) ::LocalFree(argv);

  std::wstring error;
  if (!LoadProgramBench(bench, benchPath, capturePath, &error)) {
    ::MessageBoxW(nullptr, error.c_str(), CAPTION, MB_OK | MB_ICONWARNING);
    return 1;
  }
  // In a real window the bench's clock follows the wall clock: waits take their time and a drive
  // behind a power-cycled bridge returns when its delay has passed.
  bench.Clock().FollowRealTime();
  // A drive that leaves the bus or returns tells the window, as the system tells every top-level
  // window with WM_DEVICECHANGE (DBT_DEVNODES_CHANGED).
  bench.SetDeviceChangeListener([] {
    HWND window = static_cast<HWND>(AppStateGet().dialogWindow);
    if (window != nullptr) ::PostMessageW(window, WM_DEVICECHANGE, 0x0007, 0);
  });
  static BenchSystem system(bench);
  return RunMainWindow(&bench, &bench, &bench.Clock(), &system);
}
