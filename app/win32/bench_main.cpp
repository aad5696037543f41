// QuorvelaFwUpdate-bench.exe: the same program on the emulated bench, in a real window. The bench
// is the file bench.txt beside the executable when there is one, and otherwise the default bench
// embedded in the executable (IDR_BENCH).
#include <windows.h>

#include <string>

#include "app/app_state.h"
#include "app/win32/main_window.h"
#include "emu/bench.h"
#include "emu/bench_file.h"
#include "resources/resource.h"

namespace {

constexpr wchar_t BENCH_FILE_NAME[] = L"bench.txt";
constexpr wchar_t CAPTION[] = L"QuorvelaFwUpdate-bench";
constexpr LONGLONG MAX_BENCH_FILE_BYTES = 16 << 20;

// The text of bench.txt beside the executable; false when there is none.
bool ReadBenchBesideProgram(std::string* text) {
  wchar_t path[MAX_PATH + 16];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  wchar_t* name = path;
  for (wchar_t* p = path; *p != 0; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  ::lstrcpynW(name, BENCH_FILE_NAME, static_cast<int>(path + MAX_PATH + 16 - name));
  HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  static emu::Bench bench;
  std::string text;
  bool fromFile = ReadBenchBesideProgram(&text);
  if (!fromFile && !ReadEmbeddedBench(&text)) text = emu::DefaultBenchText();
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
  return RunMainWindow(&bench, &bench, &bench.Clock());
}
