// The DLL's entry: on load it rewrites the executable's import address table, by function name in
// every imported DLL, to the stand-ins; the bench is made on first use (from the state an earlier
// run left, when one is named). When the program ends it writes the report (calls per stand-in),
// the firmware image each drive was given and the bench's state.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "emu/bench_file.h"
#include "emu/bench_state.h"
#include "emu/drive.h"
#include "tests/harness/harness.h"

namespace harness {
namespace {

std::mutex g_mutex;  // counts and the events file
std::map<std::string, uint64_t>* g_counts = nullptr;
std::once_flag g_benchOnce;
emu::Bench* g_bench = nullptr;
emu::BenchContents* g_contents = nullptr;

// A path for the C runtime's narrow file functions, which take the ANSI code page.
std::string Ansi(const std::wstring& path) {
  int n = ::WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, out.data(), n, nullptr, nullptr);
  return out;
}

bool WriteWholeFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
  ::CloseHandle(file);
  return ok;
}

[[noreturn]] void Fail(const std::string& message) {
  EventLine("harness failure: " + message);
  std::fprintf(stderr, "qvharness: %s\n", message.c_str());
  std::fflush(stderr);
  ::ExitProcess(3);
}

void MakeBench() {
  auto* bench = new emu::Bench();  // lives as long as the process: the stand-ins outlast main
  auto* contents = new emu::BenchContents();
  std::wstring capturePath = Environment(L"QV_HARNESS_CAPTURE");
  if (!capturePath.empty() && !bench->Capture().Open(Ansi(capturePath)))
    Fail("cannot write the capture " + Utf8(capturePath.c_str()));
  std::wstring benchPath = Environment(L"QV_HARNESS_BENCH");
  std::string error;
  bool loaded = benchPath.empty() ? emu::LoadBench(*bench, emu::DefaultBenchText(), contents, &error)
                                  : emu::LoadBenchFile(*bench, Ansi(benchPath), contents, &error);
  if (!loaded) Fail("the bench: " + error);
  // The drives as an earlier run left them (QV_HARNESS_STATE; none yet is a bench as new), and a
  // restart or a power-off of the computer since (QV_HARNESS_RESTART=restart|power-off).
  std::wstring statePath = Environment(L"QV_HARNESS_STATE");
  if (!statePath.empty() && ::GetFileAttributesW(statePath.c_str()) != INVALID_FILE_ATTRIBUTES &&
      !emu::LoadBenchStateFile(*contents, Ansi(statePath), &error))
    Fail("the bench's state: " + error);
  std::wstring restart = Environment(L"QV_HARNESS_RESTART");
  if (!restart.empty()) emu::RestartBench(*contents, restart == L"power-off");
  // The program waits on the system's clock, so the bench follows the wall clock: a drive behind
  // a power-cycled bridge returns when its delay has passed.
  bench->Clock().FollowRealTime();
  bench->SetDeviceChangeListener(BroadcastDeviceChange);
  g_contents = contents;
  g_bench = bench;
}

BOOL CALLBACK PostDeviceChange(HWND window, LPARAM) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process == ::GetCurrentProcessId()) ::PostMessageW(window, WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0);
  return TRUE;
}

// The stand-in for a name, from every group; null when the name has none.
void* StandInFor(const char* name) {
  for (auto group : {DeviceIoStandIns, DeviceTreeStandIns, ShutdownStandIns, PowerStandIns, EventStandIns})
    for (const StandIn& s : group())
      if (std::strcmp(s.name, name) == 0) return s.function;
  return nullptr;
}

// Rewrites the import address table of the module; returns false (with the reason) when an
// import of the device tree has no stand-in or the table cannot be read.
bool RewriteImports(HMODULE module, std::string* reason, size_t* rewritten) {
  auto* base = reinterpret_cast<uint8_t*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return *reason = "no MZ header", false;
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
    return *reason = "not a PE image of this bitness", false;
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return *reason = "the program imports nothing", false;
  *rewritten = 0;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); d->Name != 0; ++d) {
    // The names come from the lookup table; the addresses the program calls through are in the
    // address table beside it.
    DWORD lookup = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + lookup);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(byName->Name);
      void* standIn = StandInFor(name);
      if (standIn == nullptr) {
        if (IsDeviceTreeName(name))
          return *reason = std::string("the program imports ") + name + ", which the harness does not serve", false;
        continue;
      }
      DWORD old = 0;
      if (!::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
        return *reason = "the import address table cannot be written", false;
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(standIn);
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      ++*rewritten;
    }
  }
  if (*rewritten == 0) return *reason = "the program imports none of the device API", false;
  return true;
}

// The image a drive was last given: the committed one still waiting for a reset, or the one a
// reset activated. Empty when the drive was given none.
const std::vector<uint8_t>* GivenImage(emu::EmuDisk& drive) {
  emu::NvmeController& c = drive.Controller();
  if (c.ActivationPending()) return &c.SlotImage();
  if (c.LastActivation() == emu::Activation::Activated) return &c.ActiveImage();
  return nullptr;
}

void WriteReport() {
  std::wstring statePath = Environment(L"QV_HARNESS_STATE");
  if (!statePath.empty() && g_contents != nullptr && !emu::SaveBenchStateFile(*g_contents, Ansi(statePath)))
    EventLine("harness failure: cannot write " + Utf8(statePath.c_str()));
  if (g_counts != nullptr)
    for (const auto& [name, count] : *g_counts) EventLine("calls " + name + " " + std::to_string(count));
  std::wstring folder = Environment(L"QV_HARNESS_IMAGES");
  if (folder.empty() || g_contents == nullptr) return;
  for (const auto& [name, drive] : g_contents->drives) {
    const std::vector<uint8_t>* image = GivenImage(*drive);
    if (image == nullptr || image->empty()) continue;
    std::wstring path = folder + L"\\" + std::wstring(name.begin(), name.end()) + L".bin";
    if (!WriteWholeFile(path, *image)) EventLine("harness failure: cannot write " + Utf8(path.c_str()));
  }
}

}  // namespace

std::wstring Environment(const wchar_t* name) {
  wchar_t value[MAX_PATH * 2];
  DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return std::wstring();
  return std::wstring(value, n);
}

emu::Bench& TheBench() {
  std::call_once(g_benchOnce, MakeBench);
  return *g_bench;
}

void Count(const char* standIn) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_counts == nullptr) g_counts = new std::map<std::string, uint64_t>();
  ++(*g_counts)[standIn];
}

void EventLine(const std::string& line) {
  std::wstring path = Environment(L"QV_HARNESS_EVENTS");
  if (path.empty()) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\r\n";
  DWORD done = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
  ::CloseHandle(file);
}

void BroadcastDeviceChange() { ::EnumWindows(PostDeviceChange, 0); }

std::string Utf8(const wchar_t* text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace harness

// The launcher waits for the event "QvHarnessReady-<process id>" after loading the DLL: it is set
// only when the imports were rewritten.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
    std::string why;
    size_t rewritten = 0;
    if (!harness::RewriteImports(::GetModuleHandleW(nullptr), &why, &rewritten)) {
      harness::EventLine("harness failure: " + why);
      std::fprintf(stderr, "qvharness: %s\n", why.c_str());
      return FALSE;
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"QvHarnessReady-%lu", static_cast<unsigned long>(::GetCurrentProcessId()));
    if (HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name)) {
      ::SetEvent(ready);
      ::CloseHandle(ready);
    }
  } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    // The process is ending: every other thread has stopped.
    harness::WriteReport();
  }
  return TRUE;
}
