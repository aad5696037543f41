// What the two bench executables share: the bench they run on and the system that records a
// restart or power-off instead of performing it.
#pragma once
#include <string>

#include "emu/bench.h"
#include "platform/win32/win32_platform.h"

// The Win32 system, except that shutting down is only recorded: in the capture (when one is
// written), in the debug output, and as a line in bench-events.txt beside the executable; and
// that the update lock's private namespace is the emulator's (emu/win32/private_namespace.h),
// since Wine lacks Windows' own.
class BenchSystem : public platform::Win32System {
 public:
  explicit BenchSystem(emu::Bench& bench);
  platform::ShutdownResult Shutdown(uint32_t flags, uint32_t reason) override;

 private:
  emu::Bench& bench_;
};

// Loads the bench: the file benchPath when one is named, else bench.txt beside the executable,
// else the default bench embedded in the executable (IDR_BENCH); then opens the capture when
// capturePath names one. False with the message to show when a file cannot be read or written or
// the bench has a fault.
bool LoadProgramBench(emu::Bench& bench, const std::wstring& benchPath, const std::wstring& capturePath,
                      std::wstring* error);
