// The host's Event Log: each event is kept in memory for tests to read, after the checks the
// Windows side makes before it hands an event to the system.
#include <mutex>

#include "platform/host/host_system.h"

namespace platform {

bool HostSystem::WriteEvent(const char16_t* source, EventType type, uint32_t eventId, const char16_t* const* strings,
                             uint32_t count) {
  if (!IsEventWritable(source, strings, count)) return false;
  Event event{source, type, eventId, {}};
  for (uint32_t i = 0; i < count; ++i) event.strings.emplace_back(strings[i]);
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
