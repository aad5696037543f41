// Time: the tick count and sleeping. The bench and the tests swap in a virtual clock, so that a
// 3-second wait costs nothing.
#pragma once
#include <cstdint>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t TickCount64() = 0;  // milliseconds since system start
  virtual void Sleep(uint32_t milliseconds) = 0;
};

}  // namespace platform
