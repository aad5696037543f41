// fwbench cli [OPTIONS] -- COMMAND ARGS: the console program's command on the bench, as the console
// bench twin runs it under Wine (no device changes reach it: it has no window). Its text goes to
// standard output and standard error; its exit code, which a host process cannot carry whole
// (1603, 3010), is the last line of standard error, "exit N"; the process exits 0 when it is 0.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/fleet.h"
#include "platform/text.h"
#include "tools/fwbench/bench_setup.h"
#include "tools/fwbench/commands.h"

namespace {

class StdConsole : public FleetConsole {
 public:
  void Out(const char* text, size_t length) override { std::fwrite(text, 1, length, stdout); }
  void Err(const char* text, size_t length) override { std::fwrite(text, 1, length, stderr); }
};

}  // namespace

int CommandCli(int argc, char** argv) {
  BenchOptions options;
  int i = 0;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (!ParseCommonOption(argc, argv, &i, &options)) return 2;
  if (i == argc) return 2;
  std::vector<std::u16string> args;
  for (++i; i < argc; ++i) {
    args.push_back(platform::Utf16(argv[i]));
  }
  std::vector<const char16_t*> argv16;
  for (const auto& a : args) argv16.push_back(a.c_str());
  BenchSetup setup;
  if (!SetUpBench(setup, options)) return 1;
  setup.bench.SetDeviceChangeListener(nullptr);
  StdConsole console;
  int exit = RunFleet(static_cast<int>(argv16.size()), argv16.data(), *setup.dialog, console);
  setup.system.JoinThreads();
  setup.bench.Clock().SetPacer(nullptr);
  bool saved = SaveState(setup);
  std::fflush(stdout);
  std::fprintf(stderr, "exit %d\n", exit);
  return exit == 0 && saved ? 0 : 1;
}
