// The update lock on Win32: a mutex in a private object namespace bounded by the Administrators
// group, made through the lock calls' table (lock_calls.h).
#include <windows.h>

#include <sddl.h>

#include <new>

#include "platform/text.h"
#include "platform/win32/internal.h"
#include "platform/win32/lock_calls.h"

namespace platform {

namespace {

// Who may open the lock's namespace and its mutex: SYSTEM and the Administrators group, nobody
// else ("P": nothing inherited).
constexpr wchar_t LOCK_SECURITY[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// Rounds of "create, else open": between the two, the process that held the namespace may close it.
constexpr int NAMESPACE_ROUNDS = 3;

// A taken lock: its mutex and the namespace the mutex lives in. The namespace stays open as long
// as the mutex: once its last handle is closed it cannot be opened any more, and one made anew
// would hold another mutex of the same name, so a second update could start beside this one.
struct HeldLock {
  HANDLE mutex;
  HANDLE space;
  decltype(&::ClosePrivateNamespace) closeSpace;
};

LockCalls KernelLockCalls() {
  return LockCalls{&::CreateBoundaryDescriptorW, &::AddSIDToBoundaryDescriptor, &::DeleteBoundaryDescriptor,
                   &::CreatePrivateNamespaceW,   &::OpenPrivateNamespaceW,       &::ClosePrivateNamespace,
                   &::CreateMutexExW};
}

// Creates the private namespace alias, bounded by the Administrators group, or opens it when
// another process has made it. Null, with the error, when neither succeeds.
HANDLE EnterNamespace(const LockCalls& calls, const wchar_t* alias, SECURITY_ATTRIBUTES* security, DWORD* error) {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
    *error = ::GetLastError();
    return nullptr;
  }
  HANDLE boundary = calls.createBoundaryDescriptor(alias, 0);
  if (boundary == nullptr) {
    *error = ::GetLastError();
    return nullptr;
  }
  HANDLE space = nullptr;
  // AddSIDToBoundaryDescriptor may move the descriptor: it updates the handle.
  if (!calls.addSidToBoundaryDescriptor(&boundary, administrators)) {
    *error = ::GetLastError();
  } else {
    for (int round = 0; round < NAMESPACE_ROUNDS && space == nullptr; ++round) {
      space = calls.createPrivateNamespace(security, boundary, alias);
      if (space != nullptr) break;
      *error = ::GetLastError();
      if (*error != ERROR_ALREADY_EXISTS) break;
      space = calls.openPrivateNamespace(boundary, alias);
      if (space == nullptr) *error = ::GetLastError();
    }
  }
  calls.deleteBoundaryDescriptor(boundary);  // the namespace keeps its own copy of the boundary
  return space;
}

}  // namespace

LockResult Win32System::TakeNamedLock(const char16_t* name, NamedLock* lock, uint32_t* error) {
  *lock = nullptr;
  *error = 0;
  // "<namespace>\<mutex>": one backslash, neither part empty, and a namespace of our own.
  size_t length = name != nullptr ? TextLength(name) : 0, slash = 0, slashes = 0;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] != u'\\') continue;
    slash = i;
    ++slashes;
  }
  if (slashes != 1 || slash == 0 || slash + 1 == length) {
    *error = ERROR_INVALID_NAME;
    return LockResult::FAILED;
  }
  if (length >= MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return LockResult::FAILED;
  }
  wchar_t alias[MAX_PATH];
  ::lstrcpynW(alias, W(name), static_cast<int>(slash) + 1);
  // These prefixes name the system's own folders of objects, never a private namespace.
  for (const wchar_t* reserved : {L"Global", L"Local", L"Session"}) {
    if (::lstrcmpiW(alias, reserved) == 0) {
      *error = ERROR_INVALID_NAME;
      return LockResult::FAILED;
    }
  }
  LockCalls calls = lockCalls_ != nullptr ? *lockCalls_ : KernelLockCalls();

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(LOCK_SECURITY, SDDL_REVISION_1, &descriptor, nullptr)) {
    *error = ::GetLastError();
    return LockResult::FAILED;
  }
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  DWORD failure = 0;
  HANDLE space = EnterNamespace(calls, alias, &security, &failure);
  HANDLE mutex = nullptr;
  if (space != nullptr) {
    // SYNCHRONIZE is all a wait and ReleaseMutex need. The descriptor applies when this call makes
    // the mutex; one made by another administrator or by SYSTEM has the same.
    mutex = calls.createMutex(&security, W(name), 0, SYNCHRONIZE);
    if (mutex == nullptr) failure = ::GetLastError();
  }
  ::LocalFree(descriptor);
  if (mutex == nullptr) {
    if (space != nullptr) calls.closePrivateNamespace(space, 0);
    *error = failure;
    return LockResult::FAILED;
  }

  LockResult result = LockResult::FAILED;
  switch (::WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
      result = LockResult::TAKEN;
      break;
    case WAIT_ABANDONED:
      result = LockResult::ABANDONED;
      break;
    case WAIT_TIMEOUT:
      result = LockResult::BUSY;
      break;
    default:
      *error = ::GetLastError();
      break;
  }
  HeldLock* held = nullptr;
  if (result == LockResult::TAKEN || result == LockResult::ABANDONED) {
    held = new (std::nothrow) HeldLock{mutex, space, calls.closePrivateNamespace};
    if (held == nullptr) {
      ::ReleaseMutex(mutex);
      result = LockResult::FAILED;
      *error = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (held == nullptr) {
    ::CloseHandle(mutex);
    calls.closePrivateNamespace(space, 0);
    return result;
  }
  *lock = held;
  return result;
}

bool Win32System::ReleaseNamedLock(NamedLock lock) {
  if (lock == nullptr) return false;
  auto* held = static_cast<HeldLock*>(lock);
  bool released = ::ReleaseMutex(held->mutex) != 0;
  ::CloseHandle(held->mutex);
  held->closeSpace(held->space, 0);  // only now that the mutex is closed
  delete held;
  return released;
}

}  // namespace platform
