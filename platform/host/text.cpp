// Host side of the text conversions. The host stands in for a Windows system whose ANSI code page
// is Windows-1252's Latin-1 subset: each byte is one code unit, and units above 0xFF become '?'.
#include "platform/text.h"

namespace platform {

char16_t LowerChar(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  return c;
}

size_t AnsiToWide(const char* text, ptrdiff_t length, char16_t* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  size_t n = 0;
  for (ptrdiff_t i = 0; text != nullptr && (length < 0 || i < length) && text[i] != 0; ++i) {
    if (n + 1 >= capacity) break;
    out[n++] = static_cast<unsigned char>(text[i]);
  }
  out[n] = 0;
  return n;
}

size_t WideToAnsi(const char16_t* text, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  size_t n = 0;
  for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
    if (n + 1 >= capacity) break;
    out[n++] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
  }
  out[n] = 0;
  return n;
}

}  // namespace platform
