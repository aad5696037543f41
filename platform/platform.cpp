#include "platform/platform.h"

#include "platform/text.h"

namespace platform {
namespace {
Services g_services;
}

Services Install(const Services& services) {
  Services previous = g_services;
  g_services = services;
  return previous;
}

const Services& Installed() { return g_services; }

DeviceIo& Io() { return *g_services.io; }
DeviceTree& Tree() { return *g_services.tree; }
System& Sys() { return *g_services.system; }
Clock& Time() { return *g_services.clock; }
Dialog& Ui() { return *g_services.dialog; }

bool IsEventWritable(const char16_t* source, const char16_t* const* strings, uint32_t count) {
  if (source == nullptr || count > EVENT_STRINGS_MAX || (count > 0 && strings == nullptr)) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (strings[i] == nullptr || TextLengthMax(strings[i], EVENT_STRING_CHARS + 1) > EVENT_STRING_CHARS) return false;
  return true;
}

bool IsDriveStateKey(const char16_t* drive) {
  if (drive == nullptr) return false;
  size_t length = TextLengthMax(drive, STATE_KEY_CHARS);
  if (length == 0 || length >= STATE_KEY_CHARS) return false;
  for (size_t i = 0; i < length; ++i)
    if (drive[i] == u'\\' || drive[i] < 0x20) return false;
  return true;
}

}  // namespace platform
