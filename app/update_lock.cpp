#include "app/update_lock.h"

#include "core/app_state.h"
#include "core/trace.h"
#include "platform/platform.h"

bool TakeUpdateLock() {
  AppState& s = AppStateGet();
  if (s.updateLock != nullptr) {
    // This program's own update holds it: a second RUN is one more update.
    DebugTraceAlways(u"OnRun: an update of this program holds the update lock; nothing is written");
    return false;
  }
  uint32_t error = 0;
  platform::NamedLock lock = nullptr;
  switch (platform::Sys().TakeNamedLock(UPDATE_LOCK_NAME, &lock, &error)) {
    case platform::LockResult::TAKEN:
      s.updateLock = lock;
      return true;
    case platform::LockResult::ABANDONED:
      DebugTraceAlways(u"OnRun: the update lock was left by a program that ended during an update; it is taken");
      s.updateLock = lock;
      return true;
    case platform::LockResult::BUSY:
      DebugTraceAlways(u"OnRun: another update holds the update lock; nothing is written");
      return false;
    case platform::LockResult::FAILED:
      break;
  }
  // A lock that cannot be opened may be one that another update holds: nothing starts.
  DebugTraceAlways(u"OnRun: the update lock cannot be had (error %u); nothing is written", error);
  return false;
}

void ReleaseUpdateLock() {
  AppState& s = AppStateGet();
  if (s.updateLock == nullptr) return;
  platform::Sys().ReleaseNamedLock(s.updateLock);
  s.updateLock = nullptr;
}
