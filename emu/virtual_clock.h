// The bench's clock. Virtual by default: time moves only when somebody sleeps or a test advances
// it, so every wait of the workflow costs nothing and every timing is exact. In real-time mode
// (the bench executable, fwbench --real-time) it follows the wall clock and sleeping sleeps.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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
  // Sleeping is advancing: the caller returns at once, the time has passed. With a pacer, the
  // pacer sees the time the sleeper would reach first, and may move the clock there step by step
  // (AdvanceTo) to let what falls due in between happen at its own time.
  void Sleep(uint32_t milliseconds) override {
    slept_.fetch_add(milliseconds);
    if (real_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      return;
    }
    if (!pacer_) {
      now_.fetch_add(milliseconds);
      return;
    }
    uint64_t until = now_.load() + milliseconds;
    pacer_(until);
    AdvanceTo(until);
  }
  void Advance(uint64_t milliseconds) { now_.fetch_add(milliseconds); }
  // Moves the clock forward to tick; a clock that shows it or later stays.
  void AdvanceTo(uint64_t tick) {
    uint64_t now = now_.load();
    while (now < tick && !now_.compare_exchange_weak(now, tick)) {
    }
  }
  // Set before any thread sleeps on the clock, and left until the last has ended.
  void SetPacer(std::function<void(uint64_t until)> pacer) { pacer_ = std::move(pacer); }
  // Total milliseconds slept through Sleep, by any thread.
  uint64_t Slept() const { return slept_.load(); }

 private:
  std::atomic<uint64_t> now_;
  std::atomic<uint64_t> slept_{0};
  std::atomic<bool> real_{false};
  std::function<void(uint64_t)> pacer_;
  std::chrono::steady_clock::time_point realStart_{};
  uint64_t realBase_ = 0;
};

}  // namespace emu
