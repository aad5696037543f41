// What the two bench executables share: the bench they run on and the system that records a
// restart or power-off instead of performing it.
#pragma once
#include <cstdint>
#include <string>

#include "emu/bench.h"
#include "emu/bench_file.h"
#include "platform/win32/win32_platform.h"

// The Win32 system, except that shutting down is only recorded: in the capture (when one is
// written), in the debug output, and as a line in bench-events.txt beside the executable; that
// the update lock's private namespace is the emulator's (emu/win32/private_namespace.h), since
// Wine lacks Windows' own; and that the boot the machine is in is the bench's (its state file
// carries it, and fwbench restart raises it).
class BenchSystem : public platform::Win32System {
 public:
  BenchSystem(emu::Bench& bench, const emu::BenchContents& contents);
  platform::ShutdownResult Shutdown(uint32_t flags, uint32_t reason) override;
  bool CurrentBoot(uint64_t* boot) override;

 private:
  emu::Bench& bench_;
  const emu::BenchContents& contents_;
};

// The options both bench executables take before anything else.
struct BenchProgramOptions {
  std::wstring benchPath;    // --bench FILE
  std::wstring capturePath;  // --capture FILE
  std::wstring statePath;    // --state FILE: the drives' state, read when it exists, written at the end
  uint64_t stopAfter = 0;    // --stop-after N: end as a killed program right after device request N
};

// Takes the option at argv[*i] (and its value) when it is one of the above; false otherwise, and
// with *bad set when it is one of them without a usable value.
bool TakeBenchOption(int argc, wchar_t** argv, int* i, BenchProgramOptions* options, bool* bad);

// Loads the bench: the file benchPath when one is named, else bench.txt beside the executable,
// else the default bench embedded in the executable (IDR_BENCH); then the state file when one is
// named, and opens the capture when capturePath names one. With stopAfter the program ends right
// after that device request by TerminateProcess (exit code 3), as a killed program ends, once the
// state file holds what the drives hold then. False with the message to show when a file cannot
// be read or written or the bench or state has a fault.
bool LoadProgramBench(emu::Bench& bench, emu::BenchContents* contents, const BenchProgramOptions& options,
                      std::wstring* error);

// Writes the state file, when one is named, as the program ends.
void SaveProgramState(const emu::BenchContents& contents, const BenchProgramOptions& options);
