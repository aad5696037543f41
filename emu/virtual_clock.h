// The virtual clock: time moves only when somebody sleeps or a test advances it, so every wait of
// the workflow costs nothing and every timing is exact.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace emu {

class VirtualClock : public platform::Clock {
 public:
  explicit VirtualClock(uint64_t start = 5000000) : now_(start) {}
  uint64_t TickCount64() override { return now_.load(); }
  // Sleeping is advancing: the caller returns at once, the time has passed.
  void Sleep(uint32_t milliseconds) override {
    now_.fetch_add(milliseconds);
    slept_.fetch_add(milliseconds);
  }
  void Advance(uint64_t milliseconds) { now_.fetch_add(milliseconds); }
  // Total milliseconds slept through Sleep, by any thread.
  uint64_t Slept() const { return slept_.load(); }

 private:
  std::atomic<uint64_t> now_;
  std::atomic<uint64_t> slept_{0};
};

}  // namespace emu
