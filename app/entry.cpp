#include "app/entry.h"

#include "core/app_state.h"
#include "platform/platform.h"
#include "platform/text.h"

bool TraceSwitchPresent() {
  char16_t folder[260];
  if (platform::Sys().GetProgramFolder(folder, 260) == 0) return false;
  char16_t path[520];
  platform::FormatText(path, 520, u"%s\\%s", folder, TRACE_SWITCH_FILE);
  return platform::Sys().FindFiles(path, nullptr, nullptr);
}

void PrepareAppState() {
  AppStateReset();
  AppStateGet().traceEnabled = TraceSwitchPresent() ? 1 : 0;
}
