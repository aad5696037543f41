// The test environment: the build's own System (POSIX files on the host, Win32 under Wine), the
// emulated bench for devices, the tree and the virtual clock, and the headless dialog. Each test
// gets a fresh AppState and a scratch folder of its own.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "emu/bench.h"
#include "platform/host/headless_dialog.h"
#include "platform/platform.h"

namespace testenv {

// The System of this build, shared by all tests of a program.
platform::System& BuildSystem();
// Debug lines written since the last ClearDebug (host: kept by HostSystem; Windows: kept by a
// wrapper that passes them on to OutputDebugStringW).
std::vector<std::u16string> DebugLines();
void ClearDebug();
// Shutdown requests recorded instead of performed.
std::vector<uint32_t> Shutdowns();
// A resource of the program (the embedded package) as the running test program offers it.
void AddResource(const std::u16string& type, uint32_t id, std::vector<uint8_t> data);

// Makes link a symbolic link to target (UTF-8 paths of this build). Under Wine, which cannot make
// one itself, the link is made on the Linux side by /bin/ln; Wine then shows a link to a folder as
// a reparse point but follows a link to a file without a word, so tests of file links are the
// host's (LinksToFilesShow). False when no link could be made.
bool MakeLink(const std::string& target, const std::string& link);
constexpr bool LinksToFilesShow() {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

// UTF-16 <-> UTF-8 for assertions and paths.
std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

class Environment : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fresh folder for this test (host path and UTF-16 path with the system's separators).
  std::string Scratch() const { return scratch_; }
  std::u16string ScratchW() const { return Widen(scratch_); }

  emu::Bench& bench() { return *bench_; }
  platform::HeadlessDialog& dialog() { return *dialog_; }

 private:
  std::unique_ptr<emu::Bench> bench_;
  std::unique_ptr<platform::HeadlessDialog> dialog_;
  platform::Services previous_;
  std::string scratch_;
};

}  // namespace testenv
