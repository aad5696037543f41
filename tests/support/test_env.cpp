#include "tests/support/test_env.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "core/app_state.h"
#include "core/guards.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>

#include "emu/win32/private_namespace.h"
#include "platform/win32/win32_platform.h"
#else
#include <unistd.h>

#include "platform/host/host_system.h"
#endif

namespace testenv {
namespace {

#ifdef _WIN32
// Keeps the debug lines and shutdown requests for the tests, and passes every other call on. The
// update lock's private namespace is the emulator's, since Wine lacks Windows' own.
class RecordingSystem : public platform::Win32System {
 public:
  RecordingSystem() : Win32System(&emu::StandInLockCalls()) {}
  // The test's scratch folder stands in for the user's temporary folder.
  uint32_t TempFolderPath(char16_t* buffer, uint32_t capacity) override {
    std::u16string t = temp + u"\\";
    if (buffer == nullptr || capacity <= t.size()) return static_cast<uint32_t>(t.size() + 1);
    return static_cast<uint32_t>(platform::TextCopy(buffer, capacity, t.c_str()));
  }
  bool ProgramResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) override {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& r : resources) {
      if (r.id == id && platform::TextEqualNoCase(r.type.c_str(), type)) {
        *data = r.data.data();
        *size = static_cast<uint32_t>(r.data.size());
        return true;
      }
    }
    return false;
  }
  struct Resource {
    std::u16string type;
    uint32_t id;
    std::vector<uint8_t> data;
  };
  std::vector<Resource> resources;
  std::u16string temp;
  // ProgramData as the tests give it: none unless a test names one.
  std::u16string shared;
  uint32_t SharedDataFolder(char16_t* buffer, uint32_t capacity) override {
    if (shared.empty() || capacity <= shared.size()) return 0;
    return static_cast<uint32_t>(platform::TextCopy(buffer, capacity, shared.c_str()));
  }
  void DebugOutput(const char16_t* text) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      lines.emplace_back(text);
    }
    Win32System::DebugOutput(text);
  }
  platform::ShutdownResult Shutdown(uint32_t flags, uint32_t reason) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!shutdownPrivilege) return platform::ShutdownResult{false, false, ERROR_NOT_ALL_ASSIGNED};
    if (shutdownRefusal != 0) return platform::ShutdownResult{true, false, shutdownRefusal};
    shutdowns.push_back(flags);
    reasons.push_back(reason);
    return platform::ShutdownResult{true, true, 0};
  }
  // The tests' machine is a desktop on AC power, whatever the one running them is, unless a test
  // sets a battery (the product's GetSystemPowerStatus is exercised under the launch harness).
  bool GetPowerStatus(platform::PowerStatus* status) override {
    std::lock_guard<std::mutex> lock(mutex);
    *status = powerSet ? power
                       : platform::PowerStatus{platform::POWER_AC_ONLINE, platform::POWER_NO_BATTERY,
                                               platform::POWER_PERCENT_UNKNOWN};
    return !powerSet || powerAnswers;
  }
  // Every thread is counted from its start to the end of its procedure, so that JoinThreads can
  // wait for it: the handle the caller keeps may be closed by the thread itself.
  bool StartThread(platform::ThreadProc proc, void* parameter, platform::ThreadHandle* handle) override {
    auto* start = new Started{proc, parameter};
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++running;
    }
    if (Win32System::StartThread(Counted, start, handle)) return true;
    delete start;
    Ended();
    return false;
  }
  void JoinThreads() {
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait(lock, [this] { return running == 0; });
  }
  uint32_t SetExecutionState(uint32_t flags) override {
    uint32_t previous = Win32System::SetExecutionState(flags);
    std::lock_guard<std::mutex> lock(mutex);
    executionCalls.push_back(ExecutionCall{::GetCurrentThreadId(), flags});
    return previous;
  }
  // The drive states of each test live in a key of their own, removed at the next test; the boot
  // is the test's, and a test may make the store fail.
  platform::StateRead ReadDriveState(const char16_t* drive, const char16_t* name, char16_t* buffer,
                                     uint32_t capacity) override {
    if (stateReadsFail) return platform::StateRead::FAILED;
    return Win32System::ReadDriveState(drive, name, buffer, capacity);
  }
  bool WriteDriveState(const char16_t* drive, const platform::StateValue* values, uint32_t count) override {
    return !stateWritesFail && Win32System::WriteDriveState(drive, values, count);
  }
  bool CurrentBoot(uint64_t* value) override {
    *value = boot;
    return true;
  }
  void NewStateKey(int test) {
    HKEY last = nullptr;
    if (!stateKey.empty() && ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, stateKey.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                             &last) == ERROR_SUCCESS) {
      ::RegDeleteTreeW(last, nullptr);  // what the last test wrote below its key
      ::RegCloseKey(last);
      ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, stateKey.c_str(), KEY_WOW64_64KEY, 0);
    }
    stateKey = L"SOFTWARE\\Quorvela\\FwUpdateTests\\" + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(test);
    SetStateKey(reinterpret_cast<const char16_t*>(stateKey.c_str()));
    boot = 1;
    stateReadsFail = stateWritesFail = false;
  }
  std::wstring stateKey;
  uint64_t boot = 1;
  bool stateReadsFail = false, stateWritesFail = false;
  // The events reach Wine's ReportEventW and are kept for the test.
  bool WriteEvent(const char16_t* source, platform::EventType type, uint32_t id, const char16_t* const* strings,
                  uint32_t count) override {
    bool written = Win32System::WriteEvent(source, type, id, strings, count);
    std::lock_guard<std::mutex> lock(mutex);
    Event e{type, id, {}};
    for (uint32_t i = 0; written && i < count; ++i) e.strings.emplace_back(strings[i]);
    if (written) events.push_back(e);
    return written;
  }
  std::vector<Event> events;
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    events.clear();
    shutdowns.clear();
    reasons.clear();
    executionCalls.clear();
    powerSet = false;
    shutdownPrivilege = true;
    shutdownRefusal = 0;
  }
  struct Started {
    platform::ThreadProc proc;
    void* parameter;
  };
  static uint32_t Counted(void* parameter);
  void Ended() {
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    ended.notify_all();
  }
  std::mutex mutex;
  std::condition_variable ended;
  int running = 0;
  std::vector<std::u16string> lines;
  std::vector<uint32_t> shutdowns, reasons;
  std::vector<ExecutionCall> executionCalls;
  bool powerSet = false, powerAnswers = true, shutdownPrivilege = true;
  platform::PowerStatus power{};
  uint32_t shutdownRefusal = 0;
};
RecordingSystem& Sys() {
  static RecordingSystem s;
  return s;
}
uint32_t RecordingSystem::Counted(void* parameter) {
  Started start = *static_cast<Started*>(parameter);
  delete static_cast<Started*>(parameter);
  uint32_t result = start.proc(start.parameter);
  Sys().Ended();
  return result;
}
#else
platform::HostSystem& Sys() {
  static platform::HostSystem s;
  return s;
}
#endif

std::atomic<int> g_counter{0};
// The dialog of the test that runs now, pumped when a worker outlives its test.
platform::HeadlessDialog* g_dialog = nullptr;

std::string TestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info == nullptr ? std::string("(no test)") : std::string(info->test_suite_name()) + "." + info->name();
}

// The folder of this test process, made unique when first asked for and removed at its end: two
// runs of the suites on one machine never reach each other's folders.
class ProcessFolder {
 public:
  const std::string& Path() {
    std::call_once(made_, [this] { path_ = Make(); });
    return path_;
  }
  ~ProcessFolder() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

 private:
  static std::string Make() {
#ifdef _WIN32
    // Under Windows a name is drawn from the process ID and the clock until one can be made new.
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (uint32_t attempt = 0; attempt < 1000; ++attempt) {
      std::filesystem::path p = base / ("qv-tests." + std::to_string(::GetCurrentProcessId()) + "." +
                                        std::to_string((::GetTickCount() + attempt * 7919u) & 0xFFFFFu));
      if (::CreateDirectoryW(p.wstring().c_str(), nullptr)) return p.string();
    }
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/qv-tests.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) return pattern;
#endif
    std::fprintf(stderr, "cannot make a folder of this test process\n");
    std::abort();
  }
  std::once_flag made_;
  std::string path_;
};
ProcessFolder g_processFolder;

}  // namespace

platform::System& BuildSystem() { return Sys(); }

std::vector<std::u16string> DebugLines() {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  return Sys().lines;
#else
  return Sys().DebugLines();
#endif
}

void ClearDebug() {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  Sys().lines.clear();
#else
  Sys().ClearDebugLines();
#endif
}

void JoinThreads() { Sys().JoinThreads(); }

platform::Services InstallServices(const platform::Services& services) {
  if (IsUpdateRunning()) {
    ADD_FAILURE() << "an update worker still runs at the end of " << TestName();
    if (g_dialog != nullptr) g_dialog->PumpUntil([] { return !IsUpdateRunning(); });
  }
  JoinThreads();
  return platform::Install(services);
}

std::vector<uint32_t> Shutdowns() {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  return Sys().shutdowns;
#else
  return Sys().ShutdownRequests();
#endif
}

void AddResource(const std::u16string& type, uint32_t id, std::vector<uint8_t> data) {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  Sys().resources.push_back({type, id, std::move(data)});
#else
  Sys().AddResource(type, id, std::move(data));
#endif
}

#ifdef _WIN32
namespace {

std::wstring Wide(const std::string& utf8) {
  std::u16string w = Widen(utf8);
  return std::wstring(w.begin(), w.end());
}

// Wine's own (Linux) path of a Windows path; empty when Wine cannot say.
std::wstring LinuxPath(const std::wstring& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  static const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
  if (name == nullptr) return std::wstring();
  std::wstring out = Wide(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return out;
}

// Starts a Linux program as Wine starts one, and waits until done() holds. Wine hands out no
// process handle for a Linux program, so its work is the only sign that it ended: the wait is for
// a change in the folder where that work shows (given up after 10 s without one).
bool RunOnLinux(const wchar_t* program, std::wstring commandLine, bool (*done)(const std::wstring&),
                const std::wstring& path) {
  std::wstring folder = std::filesystem::path(path).parent_path().wstring();
  HANDLE change = ::FindFirstChangeNotificationW(folder.c_str(), FALSE,
                                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
  if (change == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  bool started = ::CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process) != 0;
  if (started && process.hThread != nullptr) ::CloseHandle(process.hThread);
  if (started && process.hProcess != nullptr) ::CloseHandle(process.hProcess);
  while (started && !done(path) && ::WaitForSingleObject(change, 10000) == WAIT_OBJECT_0)
    ::FindNextChangeNotification(change);
  ::FindCloseChangeNotification(change);
  return started && done(path);
}

bool Present(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
bool Gone(const std::wstring& path) { return !Present(path); }

bool g_linksMade = false;

void RemoveOnLinux(const std::string& folder) {
  std::wstring linux = LinuxPath(Wide(folder));
  if (!linux.empty()) RunOnLinux(L"Z:\\bin\\rm", L"/bin/rm -rf \"" + linux + L"\"", Gone, Wide(folder));
}

}  // namespace
#endif

bool MakeLink(const std::string& target, const std::string& link) {
#ifdef _WIN32
  // Wine makes no link itself; /bin/ln does, started as Wine starts a Linux program.
  std::filesystem::path linkPath(Wide(link));
  std::wstring linuxTarget = LinuxPath(Wide(target));
  std::wstring linuxFolder = LinuxPath(linkPath.parent_path().wstring());
  if (linuxTarget.empty() || linuxFolder.empty()) return false;
  g_linksMade = true;
  return RunOnLinux(L"Z:\\bin\\ln",
                    L"/bin/ln -s \"" + linuxTarget + L"\" \"" + linuxFolder + L"/" + linkPath.filename().wstring() + L"\"",
                    Present, linkPath.wstring());
#else
  return symlink(target.c_str(), link.c_str()) == 0;
#endif
}

void SetPowerStatus(const platform::PowerStatus& status, bool answers) {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  Sys().powerSet = true;
  Sys().power = status;
  Sys().powerAnswers = answers;
#else
  Sys().SetPowerStatus(status, answers);
#endif
}

void SetShutdownPrivilege(bool held) {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  Sys().shutdownPrivilege = held;
#else
  Sys().SetShutdownPrivilege(held);
#endif
}

void SetSharedDataFolder(const std::string& folder) {
#ifdef _WIN32
  Sys().shared = Widen(folder);
#else
  Sys().SetSharedDataFolder(folder);
#endif
}

void SetBoot(uint64_t boot) {
#ifdef _WIN32
  Sys().boot = boot;
#else
  Sys().SetBoot(boot);
#endif
}

void SetStateFaults(bool reads, bool writes) {
#ifdef _WIN32
  Sys().stateReadsFail = reads;
  Sys().stateWritesFail = writes;
#else
  Sys().SetStateFaults(reads, writes);
#endif
}

#ifndef _WIN32
void SetStateFile(const std::string& path) { Sys().SetStateFile(path); }
#endif

void SetShutdownRefusal(uint32_t error) {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  Sys().shutdownRefusal = error;
#else
  Sys().SetShutdownRefusal(error);
#endif
}

std::vector<uint32_t> ShutdownReasons() {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  return Sys().reasons;
#else
  return Sys().ShutdownReasons();
#endif
}

std::vector<ExecutionCall> ExecutionCalls() {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  return Sys().executionCalls;
#else
  std::vector<ExecutionCall> calls;
  for (const auto& c : Sys().ExecutionCalls()) calls.push_back(ExecutionCall{c.thread, c.flags});
  return calls;
#endif
}

std::vector<Event> Events() {
#ifdef _WIN32
  std::lock_guard<std::mutex> lock(Sys().mutex);
  return Sys().events;
#else
  std::vector<Event> events;
  for (const auto& e : Sys().Events()) events.push_back(Event{e.type, e.id, e.strings});
  return events;
#endif
}

LockHolder::LockHolder(const char16_t* name) : name_(name) {
  thread_ = std::thread([this] {
    platform::NamedLock lock = nullptr;
    uint32_t error = 0;
    platform::LockResult taken = platform::Sys().TakeNamedLock(name_.c_str(), &lock, &error);
    std::unique_lock<std::mutex> guard(mutex_);
    taken_ = taken;
    ready_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return done_; });
    if (release_ && lock != nullptr) platform::Sys().ReleaseNamedLock(lock);
  });
  std::unique_lock<std::mutex> guard(mutex_);
  changed_.wait(guard, [this] { return ready_; });
}

LockHolder::~LockHolder() { Release(); }

void LockHolder::Finish(bool release) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (done_) return;
    done_ = true;
    release_ = release;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LockHolder::Release() { Finish(true); }
void LockHolder::Abandon() { Finish(false); }

std::string Narrow(const std::u16string& s) { return platform::Utf8(s.c_str()); }

std::u16string Widen(const std::string& s) {
  std::u16string out(s.size() + 1, u'\0');
  out.resize(platform::Utf8ToWide(s.c_str(), static_cast<ptrdiff_t>(s.size()), out.data(), out.size()));
  return out;
}

void Environment::SetUp() {
  bench_ = std::make_unique<emu::Bench>();
  bench_->Capture().Keep(true);
  dialog_ = std::make_unique<platform::HeadlessDialog>(bench_->Clock());
  platform::Services s;
  s.io = bench_.get();
  s.tree = bench_.get();
  s.system = &Sys();
  s.clock = &bench_->Clock();
  s.dialog = dialog_.get();
  previous_ = InstallServices(s);
  g_dialog = dialog_.get();
  AppStateReset();
  ClearDebug();
#ifdef _WIN32
  Sys().Reset();
  Sys().NewStateKey(g_counter);
#else
  Sys().SetStateFile("");
  Sys().ClearDriveStates();
  Sys().SetBoot(1);
  Sys().SetStateFaults(false, false);
  Sys().SetPowerStatus(platform::PowerStatus{platform::POWER_AC_ONLINE, platform::POWER_NO_BATTERY,
                                             platform::POWER_PERCENT_UNKNOWN});
  Sys().SetShutdownPrivilege(true);
  Sys().SetShutdownRefusal(0);
  Sys().ClearExecutionCalls();
  Sys().ClearEvents();
#endif
  scratch_ = (std::filesystem::path(g_processFolder.Path()) / (TestName() + "." + std::to_string(g_counter++))).string();
  std::error_code ec;
  std::filesystem::create_directories(scratch_, ec);
#ifdef _WIN32
  {
    std::lock_guard<std::mutex> lock(Sys().mutex);
    Sys().resources.clear();
    Sys().temp = Widen(scratch_);
  }
#else
  Sys().ClearResources();
  Sys().SetTempFolder(scratch_);
#endif
}

void Environment::TearDown() {
  InstallServices(previous_);
  g_dialog = nullptr;
  dialog_.reset();
  bench_.reset();
  std::error_code ec;
#ifdef _WIN32
  if (g_linksMade) RemoveOnLinux(scratch_);
  g_linksMade = false;
#endif
  std::filesystem::remove_all(scratch_, ec);
}

}  // namespace testenv
