#include "core/guards.h"

#include <atomic>
#include <thread>

#include "core/app_state.h"

using platform::ThreadHandle;

ThreadHandle WorkerHandle() { return std::atomic_ref<ThreadHandle>(AppStateGet().workerThread).load(); }

bool IsUpdateRunning() { return WorkerHandle() != nullptr; }

namespace {
std::atomic<uint32_t> refreshBusy{0};
}  // namespace

bool TryTakeRefreshFlag() {
  uint32_t expected = 0;
  return refreshBusy.compare_exchange_strong(expected, 1);
}

void TakeRefreshFlag() {
  while (!TryTakeRefreshFlag()) std::this_thread::yield();
}

void ReleaseRefreshFlag() { refreshBusy.exchange(0); }
