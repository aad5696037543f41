// Power on the host: a power status, execution states and shutdown requests that a test sets and
// reads back; nothing is switched off.
#include <atomic>

#include "platform/host/host_system.h"

namespace platform {
namespace {

// The execution state of a thread; a thread starts with ES_CONTINUOUS alone.
thread_local uint32_t t_executionState = EXECUTION_CONTINUOUS;
std::atomic<uint64_t> g_threadNumbers{0};
thread_local uint64_t t_threadNumber = ++g_threadNumbers;

}  // namespace

bool HostSystem::GetPowerStatus(PowerStatus* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!powerAnswers_) return false;
  *status = power_;
  return true;
}

void HostSystem::SetPowerStatus(const PowerStatus& status, bool answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  power_ = status;
  powerAnswers_ = answers;
}

uint32_t HostSystem::SetExecutionState(uint32_t flags) {
  // ES_SYSTEM_REQUIRED, ES_DISPLAY_REQUIRED, ES_AWAYMODE_REQUIRED and ES_CONTINUOUS; anything
  // else, ES_USER_PRESENT among it, fails the call.
  constexpr uint32_t kKnown = EXECUTION_CONTINUOUS | EXECUTION_SYSTEM_REQUIRED | 0x02 | 0x40;
  uint32_t result = 0;
  if ((flags & ~kKnown) == 0) {
    result = t_executionState;
    // Without ES_CONTINUOUS the requirement is a one-time reset of the idle timer.
    if ((flags & EXECUTION_CONTINUOUS) != 0) t_executionState = flags;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  executionCalls_.push_back(ExecutionCall{t_threadNumber, flags, result});
  return result;
}

std::vector<HostSystem::ExecutionCall> HostSystem::ExecutionCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return executionCalls_;
}

void HostSystem::ClearExecutionCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  executionCalls_.clear();
}

ShutdownResult HostSystem::Shutdown(uint32_t flags, uint32_t reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  // AdjustTokenPrivileges on a token without the privilege succeeds and reports
  // ERROR_NOT_ALL_ASSIGNED; the request is not made then.
  constexpr uint32_t kNotAllAssigned = 1300;
  if (!shutdownPrivilege_) return ShutdownResult{false, false, kNotAllAssigned};
  if (shutdownRefusal_ != 0) return ShutdownResult{true, false, shutdownRefusal_};
  shutdowns_.push_back(flags);
  shutdownReasons_.push_back(reason);
  return ShutdownResult{true, true, 0};
}

std::vector<uint32_t> HostSystem::ShutdownRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdowns_;
}

void HostSystem::SetShutdownPrivilege(bool held) {
  std::lock_guard<std::mutex> lock(mutex_);
  shutdownPrivilege_ = held;
}

void HostSystem::SetShutdownRefusal(uint32_t error) {
  std::lock_guard<std::mutex> lock(mutex_);
  shutdownRefusal_ = error;
}

std::vector<uint32_t> HostSystem::ShutdownReasons() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdownReasons_;
}

}  // namespace platform
