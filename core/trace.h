// Debug trace lines and the case-insensitive search that the drive filter, the eligibility check
// and the flash identification share.
#pragma once
#include <cstddef>
#include <cstdint>

// Maximum characters of one trace line, the prefix and the terminator included.
constexpr size_t TRACE_LINE_CHARS = 1024;

// "[TX]          [middle] " + text, only while AppState::traceEnabled is 1.
void DebugTrace(const char16_t* format, ...);
// "[TX] " + text, always.
void DebugTraceAlways(const char16_t* format, ...);

// Position of the first occurrence of part in text, ignoring case, or -1. Text is searched up to
// 1023 characters and part up to 511.
ptrdiff_t FindNoCase(const char16_t* text, const char16_t* part);
