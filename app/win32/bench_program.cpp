#include "app/win32/bench_program.h"

#include <windows.h>

#include <cstdio>

#include "emu/bench_file.h"
#include "emu/bench_state.h"
#include "emu/win32/private_namespace.h"
#include "resources/resource.h"

namespace {

constexpr wchar_t BENCH_FILE_NAME[] = L"bench.txt";
constexpr LONGLONG MAX_BENCH_FILE_BYTES = 16 << 20;

// The path of a file beside the executable (room for MAX_PATH + 32 characters).
bool BesideProgram(const wchar_t* name, wchar_t* path) {
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  wchar_t* file = path;
  for (wchar_t* p = path; *p != 0; ++p)
    if (*p == L'\\' || *p == L'/') file = p + 1;
  ::lstrcpynW(file, name, static_cast<int>(path + MAX_PATH + 32 - file));
  return true;
}

bool ReadWholeFile(const wchar_t* path, std::string* text);

// The text of bench.txt beside the executable; false when there is none.
bool ReadBenchBesideProgram(std::string* text) {
  wchar_t path[MAX_PATH + 32];
  return BesideProgram(BENCH_FILE_NAME, path) && ReadWholeFile(path, text);
}

bool ReadEmbeddedBench(std::string* text) {
  HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_BENCH), L"BENCHFILE");
  if (found == nullptr) return false;
  HGLOBAL loaded = ::LoadResource(nullptr, found);
  DWORD size = ::SizeofResource(nullptr, found);
  const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (data == nullptr) return false;
  text->assign(static_cast<const char*>(data), size);
  return true;
}

std::wstring WideText(const std::string& text) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

bool ReadWholeFile(const wchar_t* path, std::string* text) {
  HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart <= MAX_BENCH_FILE_BYTES;
  if (ok) {
    text->resize(static_cast<size_t>(size.QuadPart));
    DWORD done = 0;
    ok = size.QuadPart == 0 ||
         (::ReadFile(file, text->data(), static_cast<DWORD>(size.QuadPart), &done, nullptr) && done == size.QuadPart);
  }
  ::CloseHandle(file);
  return ok;
}

}  // namespace

BenchSystem::BenchSystem(emu::Bench& bench, const emu::BenchContents& contents)
    : Win32System(&emu::StandInLockCalls()), bench_(bench), contents_(contents) {}

bool BenchSystem::CurrentBoot(uint64_t* boot) {
  *boot = contents_.boot;
  return true;
}

platform::ShutdownResult BenchSystem::Shutdown(uint32_t flags, uint32_t reason) {
  const char* what = flags == platform::EXITWIN_REBOOT ? "restart" : flags == platform::EXITWIN_POWEROFF ? "power-off" : "shutdown";
  char reasonText[32];
  std::snprintf(reasonText, sizeof reasonText, "reason=0x%08X", static_cast<unsigned>(reason));
  bench_.Note(u"system", what, {"performed=0", reasonText});
  std::wstring line = L"[TX] bench: " + WideText(what) + L" requested, recorded and not performed\n";
  ::OutputDebugStringW(line.c_str());
  wchar_t path[MAX_PATH + 32];
  if (BesideProgram(L"bench-events.txt", path)) {
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      std::string text = std::string(what) + " requested (recorded, not performed)\r\n";
      DWORD done = 0;
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
      ::CloseHandle(file);
    }
  }
  return platform::ShutdownResult{true, true, 0};
}

bool TakeBenchOption(int argc, wchar_t** argv, int* i, BenchProgramOptions* options, bool* bad) {
  const wchar_t* a = argv[*i];
  std::wstring* path = lstrcmpW(a, L"--bench") == 0     ? &options->benchPath
                       : lstrcmpW(a, L"--capture") == 0 ? &options->capturePath
                       : lstrcmpW(a, L"--state") == 0   ? &options->statePath
                                                        : nullptr;
  bool stop = lstrcmpW(a, L"--stop-after") == 0;
  if (path == nullptr && !stop) return false;
  if (*i + 1 >= argc) {
    *bad = true;
    return true;
  }
  const wchar_t* value = argv[++*i];
  if (path != nullptr) {
    // The console program leaves the folder it was started in; a state file named relative to
    // that folder must still be found there when the program ends.
    wchar_t absolute[MAX_PATH];
    DWORD n = path == &options->statePath ? ::GetFullPathNameW(value, MAX_PATH, absolute, nullptr) : 0;
    *path = n > 0 && n < MAX_PATH ? absolute : value;
    return true;
  }
  uint64_t n = 0;
  for (const wchar_t* p = value; *p != 0; ++p) {
    if (*p < L'0' || *p > L'9' || n > UINT64_MAX / 10 - 1) {
      *bad = true;
      return true;
    }
    n = n * 10 + static_cast<uint64_t>(*p - L'0');
  }
  options->stopAfter = n;
  *bad = *bad || n == 0;
  return true;
}

bool LoadProgramBench(emu::Bench& bench, emu::BenchContents* contents, const BenchProgramOptions& options,
                      std::wstring* error) {
  std::string text;
  bool fromFile = false;
  if (!options.benchPath.empty()) {
    fromFile = ReadWholeFile(options.benchPath.c_str(), &text);
    if (!fromFile) {
      *error = L"Cannot read " + options.benchPath;
      return false;
    }
  } else {
    fromFile = ReadBenchBesideProgram(&text);
  }
  if (!fromFile && !ReadEmbeddedBench(&text)) text = emu::DefaultBenchText();
  std::string fault;
  if (!emu::LoadBench(bench, text, contents, &fault)) {
    *error = (fromFile ? L"bench.txt: " : L"The built-in bench: ") + WideText(fault);
    return false;
  }
  if (!options.statePath.empty() && !emu::LoadBenchStateFile(*contents, Utf8(options.statePath.c_str()), &fault)) {
    *error = WideText(fault);
    return false;
  }
  if (!options.capturePath.empty() && !bench.Capture().Open(Utf8(options.capturePath.c_str()))) {
    *error = L"Cannot write " + options.capturePath;
    return false;
  }
  if (options.stopAfter != 0) {
    std::string state = Utf8(options.statePath.c_str());
    bench.StopAfter(options.stopAfter, [contents, state] {
      if (!state.empty()) emu::SaveBenchStateFile(*contents, state);
      ::TerminateProcess(::GetCurrentProcess(), 3);
    });
  }
  return true;
}

void SaveProgramState(const emu::BenchContents& contents, const BenchProgramOptions& options) {
  if (options.statePath.empty()) return;
  if (!emu::SaveBenchStateFile(contents, Utf8(options.statePath.c_str())))
    ::OutputDebugStringW((L"[TX] bench: cannot write " + options.statePath + L"\n").c_str());
}
