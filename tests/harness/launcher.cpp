// qvlaunch: starts an unchanged program under the launch harness. The program is created
// suspended; qvharness.dll (beside this launcher) is loaded into it by a remote thread on
// LoadLibraryW, rewrites its imports of the device API, and only then does the program run.
// Returns the program's exit code, or 120 when the harness could not be put in place.
//
//   qvlaunch [--bench FILE] [--capture FILE] [--events FILE] [--images FOLDER] PROGRAM [ARGS...]
//
// The options set QV_HARNESS_BENCH, QV_HARNESS_CAPTURE, QV_HARNESS_EVENTS and QV_HARNESS_IMAGES
// in the environment the program inherits; variables already set pass through, among them
// QV_HARNESS_STATE (the bench's state file, read at the start and written at the end) and
// QV_HARNESS_RESTART (restart or power-off: the computer was restarted since that state).
//
// Two more forms let a test script meet a program under the harness halfway (QV_HARNESS_PAUSE):
//   qvlaunch --wait-event NAME SECONDS   returns 0 once the named event is set, 1 when the time ran out
//   qvlaunch --set-event NAME            sets it
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr int HARNESS_FAILED = 120;
constexpr DWORD LOAD_TIMEOUT_MS = 60000;

int Fail(const wchar_t* what) {
  std::fwprintf(stderr, L"qvlaunch: %ls (error %lu)\n", what, static_cast<unsigned long>(::GetLastError()));
  return HARNESS_FAILED;
}

// A command-line argument quoted as CommandLineToArgvW reads it back.
std::wstring Quoted(const wchar_t* argument) {
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (const wchar_t* p = argument; *p != 0; ++p) {
    if (*p == L'\\') {
      ++slashes;
      continue;
    }
    if (*p == L'"') out.append(slashes * 2 + 1, L'\\');
    else out.append(slashes, L'\\');
    slashes = 0;
    out.push_back(*p);
  }
  out.append(slashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

// The machine a PE file is built for; 0 when it cannot be read.
WORD MachineOf(const wchar_t* path) {
  HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  IMAGE_DOS_HEADER dos{};
  DWORD done = 0;
  WORD machine = 0;
  if (::ReadFile(file, &dos, sizeof dos, &done, nullptr) && done == sizeof dos && dos.e_magic == IMAGE_DOS_SIGNATURE &&
      ::SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (::ReadFile(file, &signature, sizeof signature, &done, nullptr) && signature == IMAGE_NT_SIGNATURE &&
        ::ReadFile(file, &header, sizeof header, &done, nullptr) && done == sizeof header)
      machine = header.Machine;
  }
  ::CloseHandle(file);
  return machine;
}

// The named event, made when it does not exist yet (manual reset, not set).
HANDLE NamedEvent(const wchar_t* name) { return ::CreateEventW(nullptr, TRUE, FALSE, name); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"--wait-event") == 0) {
    HANDLE event = NamedEvent(argv[2]);
    if (event == nullptr) return Fail(L"cannot make the event");
    DWORD wait = ::WaitForSingleObject(event, static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) * 1000);
    ::CloseHandle(event);
    return wait == WAIT_OBJECT_0 ? 0 : 1;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"--set-event") == 0) {
    HANDLE event = NamedEvent(argv[2]);
    if (event == nullptr) return Fail(L"cannot make the event");
    ::SetEvent(event);
    ::CloseHandle(event);
    return 0;
  }
  int i = 1;
  for (; i + 1 < argc && std::wcsncmp(argv[i], L"--", 2) == 0; i += 2) {
    const wchar_t* variable = std::wcscmp(argv[i], L"--bench") == 0     ? L"QV_HARNESS_BENCH"
                              : std::wcscmp(argv[i], L"--capture") == 0 ? L"QV_HARNESS_CAPTURE"
                              : std::wcscmp(argv[i], L"--events") == 0  ? L"QV_HARNESS_EVENTS"
                              : std::wcscmp(argv[i], L"--images") == 0  ? L"QV_HARNESS_IMAGES"
                                                                        : nullptr;
    if (variable == nullptr) break;
    // Made absolute here: the program leaves the folder it was started in (for the system folder)
    // before the harness first opens these files.
    wchar_t absolute[MAX_PATH];
    DWORD n = ::GetFullPathNameW(argv[i + 1], MAX_PATH, absolute, nullptr);
    ::SetEnvironmentVariableW(variable, n > 0 && n < MAX_PATH ? absolute : argv[i + 1]);
  }
  if (i >= argc || std::wcsncmp(argv[i], L"--", 2) == 0) {
    std::fwprintf(stderr,
                  L"usage: qvlaunch [--bench FILE] [--capture FILE] [--events FILE] [--images FOLDER] PROGRAM [ARGS...]\n");
    return 2;
  }
  const wchar_t* program = argv[i];

  // The DLL beside the launcher, and a program of the launcher's own bitness: LoadLibraryW is at
  // the same address in both processes only then.
  wchar_t dll[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, dll, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return Fail(L"cannot find the launcher's folder");
  wchar_t* name = dll;
  for (wchar_t* p = dll; *p != 0; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  if (name + 14 >= dll + MAX_PATH) return Fail(L"the launcher's folder is too long");
  std::wcscpy(name, L"qvharness.dll");
  WORD own = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
  WORD machine = MachineOf(program);
  if (machine == 0) return Fail(L"cannot read the program");
  if (machine != own) {
    std::fwprintf(stderr, L"qvlaunch: %ls is not built for this launcher's bitness\n", program);
    return HARNESS_FAILED;
  }

  std::wstring commandLine = Quoted(program);
  for (int k = i + 1; k < argc; ++k) commandLine += L" " + Quoted(argv[k]);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process))
    return Fail(L"cannot start the program");

  // The DLL sets this event once the program's imports are rewritten.
  wchar_t readyName[64];
  std::swprintf(readyName, 64, L"QvHarnessReady-%lu", static_cast<unsigned long>(process.dwProcessId));
  HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName);
  size_t bytes = (std::wcslen(dll) + 1) * sizeof(wchar_t);
  void* remote = ::VirtualAllocEx(process.hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  HANDLE thread = nullptr;
  if (ready != nullptr && remote != nullptr && loadLibrary != nullptr &&
      ::WriteProcessMemory(process.hProcess, remote, dll, bytes, nullptr))
    thread = ::CreateRemoteThread(process.hProcess, nullptr, 0, loadLibrary, remote, 0, nullptr);
  bool placed = thread != nullptr && ::WaitForSingleObject(thread, LOAD_TIMEOUT_MS) == WAIT_OBJECT_0 &&
                ::WaitForSingleObject(ready, 0) == WAIT_OBJECT_0;
  if (thread != nullptr) ::CloseHandle(thread);
  if (remote != nullptr) ::VirtualFreeEx(process.hProcess, remote, 0, MEM_RELEASE);
  if (ready != nullptr) ::CloseHandle(ready);
  if (!placed) {
    ::TerminateProcess(process.hProcess, HARNESS_FAILED);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::fwprintf(stderr, L"qvlaunch: the harness could not be loaded into %ls\n", program);
    return HARNESS_FAILED;
  }

  ::ResumeThread(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
