// The host's Event Log: each event is kept in memory for tests to read, after the checks the
// Windows side makes before it hands an event to the system.
#include <mutex>

#include "platform/host/host_system.h"
#include "platform/text.h"

namespace platform {

bool HostSystem::WriteEvent(const char16_t* source, EventType type, uint32_t eventId, const char16_t* const* strings,
                             uint32_t count) {
  if (source == nullptr || count > EVENT_STRINGS_MAX || (count > 0 && strings == nullptr)) return false;
  Event event{source, type, eventId, {}};
  for (uint32_t i = 0; i < count; ++i) {
    if (strings[i] == nullptr || TextLengthMax(strings[i], EVENT_STRING_CHARS + 1) > EVENT_STRING_CHARS) return false;
    event.strings.emplace_back(strings[i]);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
  return true;
}

std::vector<HostSystem::Event> HostSystem::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void HostSystem::ClearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

}  // namespace platform
