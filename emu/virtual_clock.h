// The bench's clock. Virtual by default: time moves only when somebody sleeps or a test advances
// it, so every wait of the workflow costs nothing and every timing is exact. In real-time mode
// (the bench executable, fwbench --real-time) it follows the wall clock and sleeping sleeps.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/clock.h"

namespace emu {

class VirtualClock : public platform::Clock {
 public:
  explicit VirtualClock(uint64_t start = 5000000) : now_(start) {}

  // From now on the clock runs with the wall clock, from the time it shows now.
  void FollowRealTime() {
    realStart_ = std::chrono::steady_clock::now();
    realBase_ = now_.load();
    real_.store(true);
  }
  bool RealTime() const { return real_.load(); }

  uint64_t TickCount64() override {
    if (!real_.load()) return now_.load();
    auto elapsed = std::chrono::steady_clock::now() - realStart_;
    return realBase_ + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  }
  // Sleeping is advancing: the caller returns at once, the time has passed.
  void Sleep(uint32_t milliseconds) override {
    slept_.fetch_add(milliseconds);
    if (real_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      return;
    }
    now_.fetch_add(milliseconds);
  }
  void Advance(uint64_t milliseconds) { now_.fetch_add(milliseconds); }
  // Total milliseconds slept through Sleep, by any thread.
  uint64_t Slept() const { return slept_.load(); }

 private:
  std::atomic<uint64_t> now_;
  std::atomic<uint64_t> slept_{0};
  std::atomic<bool> real_{false};
  std::chrono::steady_clock::time_point realStart_{};
  uint64_t realBase_ = 0;
};

}  // namespace emu
