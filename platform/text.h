// UTF-16 text in fixed-size arrays: printf-style formatting, copying, comparison and search, and
// the conversions at the edges (the system's ANSI code page for drive and configuration texts,
// UTF-8 for ZIP names and host paths). Every function that writes keeps within its capacity and
// always terminates (capacity 0 writes nothing).
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// printf-style formatting into UTF-16. Conversions: %d %i %u %x %X %c %s %% with flags "-0+ #",
// width, precision (also '*'), and the length modifiers h, l, ll, I64 and z. %s takes a UTF-16
// string (null prints "(null)"); %hs takes an 8-bit string. Returns the length of the complete
// text (which may exceed what was written, as snprintf does), or -1 for a malformed format.
int FormatText(char16_t* out, size_t capacity, const char16_t* format, ...);
int FormatTextV(char16_t* out, size_t capacity, const char16_t* format, va_list args);

size_t TextLength(const char16_t* text);
size_t TextLengthMax(const char16_t* text, size_t maximum);  // stops at maximum
// Copies at most capacity - 1 units and a terminator; returns the units copied.
size_t TextCopy(char16_t* out, size_t capacity, const char16_t* text);
size_t TextAppend(char16_t* out, size_t capacity, const char16_t* text);
int TextCompare(const char16_t* a, const char16_t* b);        // exact, like lstrcmpW's sign
int TextCompareNoCase(const char16_t* a, const char16_t* b);  // like lstrcmpiW's sign
bool TextEqual(const char16_t* a, const char16_t* b);
bool TextEqualNoCase(const char16_t* a, const char16_t* b);
// Position of the first occurrence of part in text (case-sensitive), or -1.
ptrdiff_t TextFind(const char16_t* text, const char16_t* part);

// Lower-cases one UTF-16 unit as CharLowerW does (the system's tables on Windows).
char16_t LowerChar(char16_t c);
void TextLowerInPlace(char16_t* text);

// 8-bit text of the system ANSI code page to UTF-16 and back. length may be -1 for a terminated
// input. Returns the units written, without the terminator.
size_t AnsiToWide(const char* text, ptrdiff_t length, char16_t* out, size_t capacity);
size_t WideToAnsi(const char16_t* text, char* out, size_t capacity);
// UTF-8 to UTF-16 and back; malformed bytes become U+FFFD.
size_t Utf8ToWide(const char* text, ptrdiff_t length, char16_t* out, size_t capacity);
size_t WideToUtf8(const char16_t* text, char* out, size_t capacity);
// UTF-16 text as a UTF-8 string (for output and logs), and UTF-8 text as a UTF-16 string.
std::string Utf8(const char16_t* text);
std::u16string Utf16(const std::string& utf8);
// UTF-8 text for one line of output: the control characters a drive's texts or an entry name may
// hold (C0, DEL, C1, and the separators U+2028 and U+2029) become \xHH or \uHHHH, so that one
// text stays one line and cannot move the cursor or forge a line of ours.
std::string EscapeControls(const std::string& utf8);

// A UTF-16 literal helper for tests and tools: compares with a char16_t string.
}  // namespace platform
