// fwbench restart: a restart of the computer on the bench kept in a state file. Every drive is
// reset as the restart resets it: a committed image that waits is activated (or kept out by an
// activation fault), a drive that was away comes back. Prints each drive's firmware afterwards.
#include <cstdio>

#include "tools/fwbench/bench_setup.h"
#include "tools/fwbench/commands.h"

int CommandRestart(int argc, char** argv) {
  BenchOptions options;
  for (int i = 0; i < argc; ++i)
    if (!ParseCommonOption(argc, argv, &i, &options)) return 2;
  BenchSetup setup;
  if (!LoadBenchAndState(setup, options)) return 1;
  if (!options.capturePath.empty() && !setup.bench.Capture().Open(options.capturePath)) {
    std::fprintf(stderr, "fwbench: cannot write %s\n", options.capturePath.c_str());
    return 1;
  }
  static const char* const kActivation[] = {"nothing waited", "activated", "refused: not CMFG", "refused: bad layout",
                                            "refused: bad checksum", "kept the old firmware"};
  for (const auto& [name, drive] : setup.contents.drives) {
    drive->Restart();
    std::printf("%s: firmware %s (%s)\n", name.c_str(), drive->Controller().FirmwareName().c_str(),
                kActivation[static_cast<int>(drive->Controller().LastActivation())]);
  }
  return SaveState(setup) ? 0 : 1;
}
