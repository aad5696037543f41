// QuorvelaFwUpdate-bench.exe: the same program on the emulated bench, in a real window. The bench
// is the file bench.txt beside the executable when there is one, and otherwise the default bench
// embedded in the executable (IDR_BENCH). Unlike the product, the bench build takes options:
//   --bench FILE     the bench file to use
//   --capture FILE   record every device request the bench receives (docs/capture.md)
// A power-off or restart that the user accepts is recorded instead of performed: in the capture
// (when one is written), in the debug output, and as a line in bench-events.txt beside the exe.
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "app/app_state.h"
#include "app/win32/main_window.h"
#include "emu/bench.h"
#include "emu/bench_file.h"
#include "platform/win32/win32_platform.h"
#include "resources/resource.h"

namespace {

constexpr wchar_t BENCH_FILE_NAME[] = L"bench.txt";
constexpr wchar_t CAPTION[] = L"QuorvelaFwUpdate-bench";
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

// The Win32 system, except that shutting down is only recorded.
class BenchSystem : public platform::Win32System {
 public:
  explicit BenchSystem(emu::Bench& bench) : bench_(bench) {}
  void Shutdown(uint32_t flags) override {
    const char* what = flags == platform::EXITWIN_REBOOT ? "restart" : flags == platform::EXITWIN_POWEROFF ? "power-off" : "shutdown";
    bench_.Note(u"system", what, {"performed=0"});
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
  }

 private:
  emu::Bench& bench_;
};

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

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  static emu::Bench bench;
  std::wstring benchPath, capturePath;
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  for (int i = 1; argv != nullptr && i + 1 < argc; ++i) {
    if (lstrcmpW(argv[i], L"--bench") == 0) benchPath = argv[++i];
    else if (lstrcmpW(argv[i], L"--capture") == 0) capturePath = argv[++i];
  }
  if (argv != nullptr) ::LocalFree(argv);

  std::string text;
  bool fromFile = false;
  if (!benchPath.empty()) {
    fromFile = ReadWholeFile(benchPath.c_str(), &text);
    if (!fromFile) {
      ::MessageBoxW(nullptr, (L"Cannot read " + benchPath).c_str(), CAPTION, MB_OK | MB_ICONWARNING);
      return 1;
    }
  } else {
    fromFile = ReadBenchBesideProgram(&text);
  }
  if (!fromFile && !ReadEmbeddedBench(&text)) text = emu::DefaultBenchText();
  if (!capturePath.empty() && !bench.Capture().Open(Utf8(capturePath.c_str()))) {
    ::MessageBoxW(nullptr, (L"Cannot write " + capturePath).c_str(), CAPTION, MB_OK | MB_ICONWARNING);
    return 1;
  }
  std::string error;
  if (!emu::LoadBench(bench, text, nullptr, &error)) {
    std::wstring message = (fromFile ? L"bench.txt: " : L"The built-in bench: ") + WideText(error);
    ::MessageBoxW(nullptr, message.c_str(), CAPTION, MB_OK | MB_ICONWARNING);
    return 1;
  }
  // In a real window the bench's clock follows the wall clock: waits take their time and a drive
  // behind a power-cycled bridge returns when its delay has passed.
  bench.Clock().FollowRealTime();
  // A drive that leaves the bus or returns tells the window, as the system tells every top-level
  // window with WM_DEVICECHANGE (DBT_DEVNODES_CHANGED).
  bench.SetDeviceChangeListener([] {
    HWND window = static_cast<HWND>(AppStateGet().dialogWindow);
    if (window != nullptr) ::PostMessageW(window, WM_DEVICECHANGE, 0x0007, 0);
  });
  static BenchSystem system(bench);
  return RunMainWindow(&bench, &bench, &bench.Clock(), &system);
}
