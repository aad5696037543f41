#include "core/trace.h"

#include <cstdarg>

#include "core/app_state.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

void WriteLine(const char16_t* prefix, const char16_t* format, va_list args) {
  char16_t line[TRACE_LINE_CHARS];
  size_t n = platform::TextCopy(line, TRACE_LINE_CHARS, prefix);
  platform::FormatTextV(line + n, TRACE_LINE_CHARS - n, format, args);
  platform::Sys().DebugOutput(line);
}

}  // namespace

void DebugTrace(const char16_t* format, ...) {
  if (AppStateGet().traceEnabled != 1) return;
  va_list args;
  va_start(args, format);
  WriteLine(u"[TX]          [middle] ", format, args);
  va_end(args);
}

void DebugTraceAlways(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(u"[TX] ", format, args);
  va_end(args);
}

ptrdiff_t FindNoCase(const char16_t* text, const char16_t* part) {
  char16_t lowText[1024];
  char16_t lowPart[512];
  platform::TextCopy(lowText, 1024, text);
  platform::TextCopy(lowPart, 512, part);
  platform::TextLowerInPlace(lowText);
  platform::TextLowerInPlace(lowPart);
  // Lower-casing keeps each unit in its place, so the position holds for the text as given.
  return platform::TextFind(lowText, lowPart);
}
