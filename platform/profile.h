// Private-profile (INI) reading over bytes already in memory, with the rules of
// GetPrivateProfileStringW and GetPrivateProfileIntW: the text is UTF-16LE after its byte-order
// mark, UTF-8 after its mark, and the ANSI code page otherwise; section and key names compare
// without regard to case (a section's name as it stands between its brackets), and only the first
// section of a name is read; a value loses the blanks around it and one pair of matching quotes; a
// value longer than the buffer is cut to capacity - 1 characters; a missing key gives the default
// without its trailing blanks.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// As GetPrivateProfileStringW: the characters copied, without the terminator.
uint32_t ProfileStringIn(const uint8_t* file, size_t size, const char16_t* section, const char16_t* key,
                         const char16_t* defaultValue, char16_t* buffer, uint32_t capacity);
// As GetPrivateProfileIntW: the leading decimal digits of the value (a sign first), 0 when it has
// none, the default when the key is missing.
int32_t ProfileIntIn(const uint8_t* file, size_t size, const char16_t* section, const char16_t* key,
                     int32_t defaultValue);

}  // namespace platform
