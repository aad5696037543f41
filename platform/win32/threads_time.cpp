// Threads and time on Win32: page memory, threads, the debugger's output, the tick count and
// sleep, the local time.
#include <windows.h>

#include "platform/win32/internal.h"

namespace platform {
namespace {

struct ThreadStart {
  ThreadProc proc;
  void* parameter;
};

DWORD WINAPI ThreadTrampoline(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  ::HeapFree(::GetProcessHeap(), 0, p);
  return start.proc(start.parameter);
}

}  // namespace

void* Win32System::PageAlloc(size_t size) {
  if (size == 0) return nullptr;
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void Win32System::PageFree(void* block) {
  if (block != nullptr) ::VirtualFree(block, 0, MEM_RELEASE);
}

bool Win32System::StartThread(ThreadProc proc, void* parameter, ThreadHandle* handle) {
  auto* start = static_cast<ThreadStart*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ThreadStart)));
  if (start == nullptr) return false;
  start->proc = proc;
  start->parameter = parameter;
  // Created suspended, so the handle is stored before the thread runs.
  HANDLE h = ::CreateThread(nullptr, 0, ThreadTrampoline, start, CREATE_SUSPENDED, nullptr);
  if (h == nullptr) {
    ::HeapFree(::GetProcessHeap(), 0, start);
    return false;
  }
  ::InterlockedExchangePointer(handle, h);
  ::ResumeThread(h);
  return true;
}

void Win32System::CloseThread(ThreadHandle thread) {
  if (thread != nullptr) ::CloseHandle(thread);
}

void Win32System::DebugOutput(const char16_t* text) { ::OutputDebugStringW(W(text)); }

uint64_t Win32Clock::TickCount64() { return ::GetTickCount64(); }
void Win32Clock::Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

bool Win32System::DosTimeToFileTime(uint16_t dosDate, uint16_t dosTime, uint64_t* fileTime) {
  FILETIME local, utc;
  if (!::DosDateTimeToFileTime(dosDate, dosTime, &local)) return false;
  if (!::LocalFileTimeToFileTime(&local, &utc)) return false;
  *fileTime = (static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
  return true;
}

bool Win32System::LocalTime(LocalDateTime* time) {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  *time = LocalDateTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  return true;
}

}  // namespace platform
