#include "platform/host/internal.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/profile.h"
#include "platform/text.h"

namespace platform {
namespace {

// The bytes of a whole file, for the private-profile reading; false when it cannot be read.
bool ReadWhole(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

struct HostSystem::ThreadRecord {
  std::thread thread;
};

HostSystem::HostSystem() {
  const char* tmp = std::getenv("TMPDIR");
  tempFolder_ = tmp != nullptr && *tmp != 0 ? tmp : "/tmp";
  // The folder of the running executable, as GetModuleFileNameW gives it on Windows.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  size_t slash = exe.rfind('/');
  programFolder_ = slash == std::string::npos ? "." : exe.substr(0, slash == 0 ? 1 : slash);
}

HostSystem::~HostSystem() { JoinThreads(); }

void HostSystem::SetProgramFolder(const std::string& folder) { programFolder_ = folder; }
void HostSystem::SetSharedDataFolder(const std::string& folder) { sharedDataFolder_ = folder; }
void HostSystem::SetEchoDebug(bool echo) { echoDebug_ = echo; }

void HostSystem::AddResource(const std::u16string& type, uint32_t id, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> lock(mutex_);
  resources_.push_back(Resource{type, id, std::move(data)});
}

void HostSystem::ClearResources() {
  std::lock_guard<std::mutex> lock(mutex_);
  resources_.clear();
}

std::vector<std::u16string> HostSystem::DebugLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return debugLines_;
}

void HostSystem::ClearDebugLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  debugLines_.clear();
}

std::vector<uint32_t> HostSystem::ShutdownRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdowns_;
}

bool HostSystem::DosTimeToFileTime(uint16_t dosDate, uint16_t dosTime, uint64_t* fileTime) {
  std::tm t{};
  t.tm_year = ((dosDate >> 9) & 0x7F) + 80;
  t.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
  t.tm_mday = dosDate & 0x1F;
  t.tm_hour = (dosTime >> 11) & 0x1F;
  t.tm_min = (dosTime >> 5) & 0x3F;
  t.tm_sec = (dosTime & 0x1F) * 2;
  t.tm_isdst = -1;
  if (t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 59)
    return false;
  time_t local = mktime(&t);
  if (local == static_cast<time_t>(-1)) return false;
  *fileTime = static_cast<uint64_t>(local) * 10000000ull + kUnixEpochAsFileTime;
  return true;
}

bool HostSystem::ProgramResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Resource& r : resources_) {
    if (r.id == id && TextEqualNoCase(r.type.c_str(), type)) {
      *data = r.data.data();
      *size = static_cast<uint32_t>(r.data.size());
      return true;
    }
  }
  return false;
}

uint32_t HostSystem::ProfileString(const char16_t* section, const char16_t* key,
                                      const char16_t* defaultValue, char16_t* buffer,
                                      uint32_t capacity, const char16_t* file) {
  std::string bytes;
  ReadWhole(HostPath(file), &bytes);
  return ProfileStringIn(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), section, key, defaultValue,
                         buffer, capacity);
}

int32_t HostSystem::ProfileInt(const char16_t* section, const char16_t* key, int32_t defaultValue,
                                  const char16_t* file) {
  std::string bytes;
  if (!ReadWhole(HostPath(file), &bytes)) return defaultValue;
  return ProfileIntIn(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), section, key, defaultValue);
}

void* HostSystem::PageAlloc(size_t size) {
  if (size == 0) return nullptr;
  // Whole pages, aligned to a page and zero-filled, as VirtualAlloc gives them.
  constexpr size_t kPage = 4096;
  if (size > SIZE_MAX - (kPage - 1)) return nullptr;
  size_t rounded = (size + kPage - 1) / kPage * kPage;
  void* block = std::aligned_alloc(kPage, rounded);
  if (block != nullptr) std::memset(block, 0, rounded);
  return block;
}

void HostSystem::PageFree(void* block) { std::free(block); }

bool HostSystem::StartThread(ThreadProc proc, void* parameter, ThreadHandle* handle) {
  auto* record = new ThreadRecord;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(record);
  }
  // The handle is in place before the thread starts: the thread is created only now.
  std::atomic_ref<ThreadHandle>(*handle).store(record);
  record->thread = std::thread([proc, parameter] { proc(parameter); });
  return true;
}

void HostSystem::CloseThread(ThreadHandle) {
  // The handle is released; the thread itself runs on and is joined by JoinThreads.
}

void HostSystem::JoinThreads() {
  std::vector<ThreadRecord*> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (ThreadRecord* r : threads) {
    if (r->thread.joinable()) r->thread.join();
    delete r;
  }
}

void HostSystem::DebugOutput(const char16_t* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  debugLines_.emplace_back(text != nullptr ? text : u"");
  if (echoDebug_) std::fprintf(stderr, "%s", HostPath(text).c_str());
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

uint32_t HostSystem::GetProgramFolder(char16_t* buffer, uint32_t capacity) {
  return PutWide(programFolder_, buffer, capacity);
}

uint32_t HostSystem::SharedDataFolder(char16_t* buffer, uint32_t capacity) {
  if (sharedDataFolder_.empty()) return 0;
  uint32_t n = PutWide(sharedDataFolder_, buffer, capacity);
  return n < capacity ? n : 0;
}

bool HostSystem::LocalTime(LocalDateTime* time) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  if (localtime_r(&now.tv_sec, &local) == nullptr) return false;
  *time = LocalDateTime{static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                        static_cast<uint16_t>(local.tm_mday), static_cast<uint16_t>(local.tm_hour),
                        static_cast<uint16_t>(local.tm_min), static_cast<uint16_t>(local.tm_sec),
                        static_cast<uint16_t>(now.tv_nsec / 1000000)};
  return true;
}

// ---- Around an update ------------------------------------------------------------------------------

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

// The execution state of a thread; a thread starts with ES_CONTINUOUS alone.
thread_local uint32_t t_executionState = EXECUTION_CONTINUOUS;
std::atomic<uint64_t> g_threadNumbers{0};
thread_local uint64_t t_threadNumber = ++g_threadNumbers;

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

uint64_t RealClock::TickCount64() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
