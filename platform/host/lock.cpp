// The update lock on the host: named locks of the process, owned by a thread as a mutex is.
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/host_system.h"
#include "platform/text.h"

namespace platform {

namespace {

// The named locks of the process. A lock's state is shared by its handles; a thread remembers the
// locks it owns, so that its end leaves them abandoned, as a mutex is.
struct NamedLockState {
  std::thread::id owner;  // none when free
  uint32_t depth = 0;     // how often the owner took it
  bool abandoned = false;
};
std::mutex g_namedLocksMutex;
std::map<std::u16string, std::weak_ptr<NamedLockState>>& NamedLocks() {
  static auto* locks = new std::map<std::u16string, std::weak_ptr<NamedLockState>>();
  return *locks;
}
// Open handles by number, as a handle table holds them.
std::map<uintptr_t, std::shared_ptr<NamedLockState>>& NamedLockHandles() {
  static auto* handles = new std::map<uintptr_t, std::shared_ptr<NamedLockState>>();
  return *handles;
}
uintptr_t g_nextLockHandle = 0x1000;

struct OwnedLocks {
  std::vector<std::weak_ptr<NamedLockState>> locks;
  ~OwnedLocks() {
    std::lock_guard<std::mutex> lock(g_namedLocksMutex);
    for (auto& weak : locks) {
      std::shared_ptr<NamedLockState> state = weak.lock();
      if (state != nullptr && state->owner == std::this_thread::get_id()) {
        state->owner = std::thread::id();
        state->depth = 0;
        state->abandoned = true;
      }
    }
  }
};
thread_local OwnedLocks t_ownedLocks;


// Errors of the lock's name (ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE).
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr size_t kMaxObjectName = 260;

}  // namespace

LockResult HostSystem::TakeNamedLock(const char16_t* name, NamedLock* lock, uint32_t* error) {
  *lock = nullptr;
  *error = 0;
  // A name is "<namespace>\<mutex>", as the Win32 seam takes it: one backslash, neither part
  // empty, not one of the system's prefixes (Global, Local, Session), at most MAX_PATH characters
  // in all. The table holds the whole name.
  size_t length = name != nullptr ? TextLength(name) : 0;
  std::u16string text(name != nullptr ? name : u"", length);
  size_t slash = text.find(u'\\');
  std::u16string alias = text.substr(0, slash == std::u16string::npos ? 0 : slash);
  if (slash == std::u16string::npos || slash == 0 || slash + 1 == length ||
      text.find(u'\\', slash + 1) != std::u16string::npos || TextEqualNoCase(alias.c_str(), u"Global") ||
      TextEqualNoCase(alias.c_str(), u"Local") || TextEqualNoCase(alias.c_str(), u"Session")) {
    *error = kErrorInvalidName;
    return LockResult::FAILED;
  }
  if (length >= kMaxObjectName) {
    *error = kErrorFilenameTooLong;
    return LockResult::FAILED;
  }
  std::lock_guard<std::mutex> guard(g_namedLocksMutex);
  std::shared_ptr<NamedLockState> state = NamedLocks()[text].lock();
  if (state == nullptr) {
    state = std::make_shared<NamedLockState>();
    NamedLocks()[text] = state;
  }
  std::thread::id self = std::this_thread::get_id();
  if (state->owner != std::thread::id() && state->owner != self) return LockResult::BUSY;
  bool abandoned = state->abandoned;
  state->abandoned = false;
  state->owner = self;
  ++state->depth;
  t_ownedLocks.locks.push_back(state);
  uintptr_t handle = g_nextLockHandle += 4;
  NamedLockHandles()[handle] = state;
  *lock = reinterpret_cast<NamedLock>(handle);
  return abandoned ? LockResult::ABANDONED : LockResult::TAKEN;
}

bool HostSystem::ReleaseNamedLock(NamedLock lock) {
  std::lock_guard<std::mutex> guard(g_namedLocksMutex);
  auto it = NamedLockHandles().find(reinterpret_cast<uintptr_t>(lock));
  if (it == NamedLockHandles().end()) return false;  // not a handle: ERROR_INVALID_HANDLE
  NamedLockState& state = *it->second;
  bool released = false;
  if (state.owner == std::this_thread::get_id() && state.depth > 0) {
    if (--state.depth == 0) state.owner = std::thread::id();
    released = true;
  }
  NamedLockHandles().erase(it);  // closed, released or not (ERROR_NOT_OWNER)
  return released;
}

}  // namespace platform
