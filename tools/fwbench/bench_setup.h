// What every fwbench command runs on: the host's System, an emulated bench read from a bench file
// (the default bench unless one is named), the bench's virtual clock and a headless dialog,
// installed as the program's services with a fresh AppState.
#pragma once
#include <memory>
#include <string>

#include "emu/bench.h"
#include "emu/bench_file.h"
#include "platform/host/headless_dialog.h"
#include "platform/host/host_system.h"

struct BenchSetup {
  platform::HostSystem system;
  emu::Bench bench;
  std::unique_ptr<platform::HeadlessDialog> dialog;
  emu::BenchContents contents;
};

// Loads the bench file (the default bench when path is empty) and installs the services.
// Returns false with the message printed to stderr when the file cannot be read or has a fault.
bool SetUpBench(BenchSetup& setup, const std::string& benchPath);

// UTF-16 text as UTF-8 for printing.
std::string Printable(const char16_t* text);
