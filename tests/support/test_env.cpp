#include "tests/support/test_env.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "app/app_state.h"
#include "platform/text.h"

#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#include <windows.h>
#else
#include <unistd.h>

#include "platform/host/host_system.h"
#endif

namespace testenv {
namespace {

#ifdef _WIN32
// Keeps the debug lines and shutdown requests for the tests, and passes every other call on.
class RecordingSystem : public platform::Win32System {
 public:
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
  void DebugOutput(const char16_t* text) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      lines.emplace_back(text);
    }
    Win32System::DebugOutput(text);
  }
  void Shutdown(uint32_t flags) override {
    std::lock_guard<std::mutex> lock(mutex);
    shutdowns.push_back(flags);
  }
  std::mutex mutex;
  std::vector<std::u16string> lines;
  std::vector<uint32_t> shutdowns;
};
RecordingSystem& Sys() {
  static RecordingSystem s;
  return s;
}
#else
platform::HostSystem& Sys() {
  static platform::HostSystem s;
  return s;
}
#endif

std::atomic<int> g_counter{0};

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

std::string Narrow(const std::u16string& s) {
  std::string out(s.size() * 3 + 1, '\0');
  out.resize(platform::WideToUtf8(s.c_str(), out.data(), out.size()));
  return out;
}

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
  previous_ = platform::Install(s);
  AppStateReset();
  ClearDebug();
#ifdef _WIN32
  Sys().shutdowns.clear();
#endif
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::filesystem::path base = std::filesystem::temp_directory_path() / "qv-tests";
  scratch_ = (base / (std::string(info->test_suite_name()) + "." + info->name() + "." +
                      std::to_string(g_counter++)))
                 .string();
  // A folder left by an earlier run (read-only files under Windows may survive it) is reused.
  std::error_code ec;
#ifdef _WIN32
  if (std::filesystem::exists(scratch_, ec)) RemoveOnLinux(scratch_);
#endif
  std::filesystem::remove_all(scratch_, ec);
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
#ifndef _WIN32
  Sys().JoinThreads();
#endif
  platform::Install(previous_);
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
