// The test environment: the build's own System (POSIX files on the host, Win32 under Wine), the
// emulated bench for devices, the tree and the virtual clock, and the headless dialog. Each test
// gets a fresh AppState and a scratch folder of its own.
#pragma once
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
// Waits for every thread the system started to end: each has left its last line, its locals
// destroyed, before anything else happens.
void JoinThreads();
// The one place tests change the installed services. A worker still running then is a failure of
// the test (it is pumped to its end first, so that the test cannot hang on it); every thread the
// system started is joined before the services change, so none reads them while they do.
platform::Services InstallServices(const platform::Services& services);
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

// The circumstances of an update, which every test starts without: the power status the system
// reports (on the host AC without a battery, under Wine what the system says), the shutdown
// privilege held and every shutdown request accepted.
void SetPowerStatus(const platform::PowerStatus& status, bool answers = true);
void SetShutdownPrivilege(bool held);
void SetShutdownRefusal(uint32_t error);
// The folder the system gives as ProgramData; empty: none.
void SetSharedDataFolder(const std::string& folder);
// The drive-state store of each test starts empty (on the host in memory; under Wine a registry key
// of the test's own, made anew), in boot 1. A test moves to another boot (a restart), or makes
// the store's reads or writes fail.
void SetBoot(uint64_t boot);
void SetStateFaults(bool reads, bool writes);
#ifndef _WIN32
// The host's store in a file, which outlives a test's own SetUp and TearDown (a run of the console
// program after another); empty: in memory again.
void SetStateFile(const std::string& path);
#endif
// The reasons given with the shutdown requests, in the order of Shutdowns.
std::vector<uint32_t> ShutdownReasons();
// Every SetThreadExecutionState call since the test began: a number per thread, and the flags.
struct ExecutionCall {
  uint64_t thread;
  uint32_t flags;
};
std::vector<ExecutionCall> ExecutionCalls();
// The events written since the test began, each as the system took it.
struct Event {
  platform::EventType type;
  uint32_t id;
  std::vector<std::u16string> strings;
};
std::vector<Event> Events();

// Another owner of a named lock, through the seam: a thread of its own takes the lock and holds
// it until Release, or ends holding it with Abandon, which leaves the lock abandoned as the end of
// a process that held it does.
class LockHolder {
 public:
  explicit LockHolder(const char16_t* name);
  ~LockHolder();
  platform::LockResult Taken() const { return taken_; }
  void Release();
  void Abandon();

 private:
  void Finish(bool release);
  std::u16string name_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false, done_ = false, release_ = false;
  platform::LockResult taken_ = platform::LockResult::FAILED;
};

// UTF-16 <-> UTF-8 for assertions and paths.
std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

class Environment : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fresh folder for this test, inside the folder of this test process (host path and UTF-16
  // path with the system's separators).
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
