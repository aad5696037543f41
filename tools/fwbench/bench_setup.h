// What every fwbench command runs on: the host's System, an emulated bench read from a bench file
// (the default bench unless one is named), the bench's clock and a headless dialog, installed as
// the program's services with a fresh AppState; then the updater's own dialog, started as the
// program starts it, with the sample package (or another) as its embedded package.
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
  platform::WindowHandle window = nullptr;
  std::string tempFolder;  // the run's own temporary folder, removed by FinishBench
  std::string statePath;   // the bench state file, written by FinishBench; empty: none
  ~BenchSetup();
};

struct BenchOptions {
  std::string benchPath;    // empty: the default bench
  std::string packagePath;  // empty: the sample package
  std::string capturePath;  // empty: no capture
  std::string statePath;    // empty: the drives start as the bench file describes them
  uint64_t stopAfter = 0;   // end abruptly right after this device request; 0: never
  bool realTime = false;
};

// Exit status of a run that --stop-after ended.
constexpr int STOPPED_EXIT = 3;
// The drives' update states of a run with --state FILE are kept in FILE + this.
constexpr char STATE_REGISTRY_SUFFIX[] = ".registry";

// Loads the bench file (or the default bench) and the state file when one is named. Returns
// false with the message printed to stderr.
bool LoadBenchAndState(BenchSetup& setup, const BenchOptions& options);

// Loads the bench and installs the services. Returns false with the message printed to stderr
// when a file cannot be read or has a fault.
bool SetUpBench(BenchSetup& setup, const BenchOptions& options);

// Starts the dialog with the procedure given (the updater's own, or one wrapped around it).
void StartDialog(BenchSetup& setup, platform::HeadlessDialog::Procedure procedure);

// Closes the dialog as the user does (which removes the package folder), waits for threads and
// writes the state file.
void FinishBench(BenchSetup& setup);

// Selects list entry n as the user does.
void SelectEntry(BenchSetup& setup, int entry);

// UTF-16 text as UTF-8 for printing; with escape, line breaks are shown as \r and \n.
std::string Printable(const char16_t* text, bool escape = false);

// Writes the state file when one is named; false (with a message) when it cannot be written.
bool SaveState(BenchSetup& setup);

// Parses the options every command takes; returns false for one it does not know.
bool ParseCommonOption(int argc, char** argv, int* i, BenchOptions* options);
