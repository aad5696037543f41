// Win32 side of the text conversions: the system's ANSI code page and CharLowerW.
#include <windows.h>

#include "platform/text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");

namespace platform {

char16_t LowerChar(char16_t c) {
  // CharLowerW takes a single character in the low word of a pointer-sized value.
  return static_cast<char16_t>(reinterpret_cast<uintptr_t>(
      ::CharLowerW(reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(c)))));
}

size_t AnsiToWide(const char* text, ptrdiff_t length, char16_t* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = 0;
  if (text == nullptr) return 0;
  int n = length < 0 ? lstrlenA(text) : 0;
  if (length >= 0)
    while (n < length && text[n] != 0) ++n;
  if (n == 0) return 0;
  int w = ::MultiByteToWideChar(CP_ACP, 0, text, n, reinterpret_cast<LPWSTR>(out),
                                static_cast<int>(capacity - 1));
  if (w <= 0) {
    // Too long for the buffer: convert whole, then cut.
    int need = ::MultiByteToWideChar(CP_ACP, 0, text, n, nullptr, 0);
    if (need <= 0) return 0;
    wchar_t* tmp = static_cast<wchar_t*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(wchar_t) * need));
    if (tmp == nullptr) return 0;
    ::MultiByteToWideChar(CP_ACP, 0, text, n, tmp, need);
    w = need < static_cast<int>(capacity - 1) ? need : static_cast<int>(capacity - 1);
    for (int i = 0; i < w; ++i) out[i] = tmp[i];
    ::HeapFree(::GetProcessHeap(), 0, tmp);
  }
  out[w] = 0;
  return static_cast<size_t>(w);
}

size_t WideToAnsi(const char16_t* text, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = 0;
  if (text == nullptr || text[0] == 0) return 0;
  int n = ::WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return 0;
  char* tmp = static_cast<char*>(::HeapAlloc(::GetProcessHeap(), 0, n));
  if (tmp == nullptr) return 0;
  ::WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(text), -1, tmp, n, nullptr, nullptr);
  size_t copied = 0;
  for (; copied + 1 < capacity && tmp[copied] != 0; ++copied) out[copied] = tmp[copied];
  out[copied] = 0;
  ::HeapFree(::GetProcessHeap(), 0, tmp);
  return copied;
}

}  // namespace platform
