#include "tools/fwpkg/tool_platform.h"

#include "platform/platform.h"
#include "platform/text.h"

#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#else
#include "platform/host/host_system.h"
#endif

void InstallToolPlatform() {
  static bool installed = false;
  if (installed) return;
  installed = true;
#ifdef _WIN32
  static platform::Win32System system;
  static platform::Win32Clock clock;
#else
  static platform::HostSystem system;
  static platform::RealClock clock;
#endif
  platform::Services services = platform::Installed();
  services.system = &system;
  services.clock = &clock;
  platform::Install(services);
}

void ArgumentToWide(const char* argument, char16_t* out, size_t capacity) {
#ifdef _WIN32
  platform::AnsiToWide(argument, -1, out, capacity);
#else
  platform::Utf8ToWide(argument, -1, out, capacity);
#endif
}

std::string Printable(const char16_t* text) {
  return platform::EscapeControls(platform::Utf8(text));
}
