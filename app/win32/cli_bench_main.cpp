// QuorvelaFwUpdate-cli-bench.exe: QuorvelaFwUpdate-cli.exe on the emulated bench. Before the
// command it takes the bench executable's options:
//   --bench FILE     the bench file to use (else bench.txt beside the executable, else the default)
//   --capture FILE   record every device request the bench receives (docs/capture.md)
//   --state FILE     the drives' state between runs, and --stop-after N (docs/bench.md)
// The bench runs on its virtual clock, so waits cost nothing; a restart or power-off is recorded
// instead of performed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/result_codes.h"
#include "app/win32/bench_program.h"
#include "app/win32/fleet_console.h"
#include "platform/win32/win32_platform.h"

int wmain(int argc, wchar_t** argv) {
  platform::RestrictDllSearch();  // before anything can load a DLL by name
  static emu::Bench bench;
  static emu::BenchContents contents;
  BenchProgramOptions options;
  bool bad = false;
  int first = 1;
  while (first < argc && TakeBenchOption(argc, argv, &first, &options, &bad)) ++first;
  if (bad) {
    ::fputws(L"QuorvelaFwUpdate-cli-bench: --bench, --capture and --state take a file, --stop-after a number from 1\n", stderr);
    return EXIT_BAD_ARGUMENTS;
  }
  std::wstring error;
  if (!LoadProgramBench(bench, &contents, options, &error)) {
    ::fputws((L"QuorvelaFwUpdate-cli-bench: " + error + L"\n").c_str(), stderr);
    return EXIT_BAD_ARGUMENTS;
  }
  // The console program has no window, so the system tells it of no device change: neither does
  // the bench. Each update rebuilds the list itself once its drive is read again.
  static platform::HeadlessDialog dialog(bench.Clock());
  static BenchSystem system(bench, contents);
  platform::Services services;
  services.io = &bench;
  services.tree = &bench;
  services.system = &system;
  services.clock = &bench.Clock();
  int code = RunFleetConsole(argc, argv, first, services, dialog);
  SaveProgramState(contents, options);
  return code;
}
