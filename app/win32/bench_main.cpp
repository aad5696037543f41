// QuorvelaFwUpdate-bench.exe: the same program on the emulated bench, in a real window. The bench
// is the file bench.txt beside the executable when there is one, and otherwise the default bench
// embedded in the executable (IDR_BENCH). Unlike the product, the bench build takes options:
//   --bench FILE     the bench file to use
//   --capture FILE   record every device request the bench receives (docs/capture.md)
//   --state FILE     the drives' state between runs, and --stop-after N (docs/bench.md)
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
  static emu::BenchContents contents;
  BenchProgramOptions options;
  bool bad = false;
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  for (int i = 1; argv != nullptr && i < argc; ++i) TakeBenchOption(argc, argv, &i, &options, &bad);
  if (argv != nullptr) ::LocalFree(argv);

  std::wstring error;
  if (bad) error = L"--bench, --capture and --state take a file, --stop-after a number from 1";
  if (bad || !LoadProgramBench(bench, &contents, options, &error)) {
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
  static BenchSystem system(bench, contents);
  int code = RunMainWindow(&bench, &bench, &bench.Clock(), &system);
  SaveProgramState(contents, options);
  return code;
}
