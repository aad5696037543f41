// fwbench restart: a restart of the computer on the bench kept in a state file. Every drive is
// reset as the restart resets it: a committed image that waits is activated (or kept out by an
// activation fault), a drive that was away comes back; a drive that activates only at a power-off
// keeps its image waiting unless --power-off switched the computer off in between. Prints each
// drive's firmware afterwards and the boot the machine is in now.
#include <cstdio>
#include <cstring>

#include "emu/bench_state.h"
#include "tools/fwbench/bench_setup.h"
#include "tools/fwbench/commands.h"

int CommandRestart(int argc, char** argv) {
  BenchOptions options;
  bool powerOff = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--power-off") == 0) powerOff = true;
    else if (!ParseCommonOption(argc, argv, &i, &options)) return 2;
  }
  BenchSetup setup;
  if (!LoadBenchAndState(setup, options)) return 1;
  if (!options.capturePath.empty() && !setup.bench.Capture().Open(options.capturePath)) {
    std::fprintf(stderr, "fwbench: cannot write %s\n", options.capturePath.c_str());
    return 1;
  }
  static const char* const kActivation[] = {"nothing waited",        "activated",           "refused: not CMFG",
                                            "refused: bad layout",   "refused: bad checksum", "kept the old firmware",
                                            "waits for a power-off"};
  emu::RestartBench(setup.contents, powerOff);
  for (const auto& [name, drive] : setup.contents.drives)
    std::printf("%s: firmware %s (%s)\n", name.c_str(), drive->Controller().FirmwareName().c_str(),
                kActivation[static_cast<int>(drive->Controller().LastActivation())]);
  std::printf("boot %llu\n", static_cast<unsigned long long>(setup.contents.boot));
  return SaveState(setup) ? 0 : 1;
}
