// Threads and time on the host: page memory, std::thread threads (joined by JoinThreads), a debug
// output that keeps its lines for tests to read, the steady clock, the local time.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#include "platform/host/internal.h"

namespace platform {

struct HostSystem::ThreadRecord {
  std::thread thread;
};

HostSystem::~HostSystem() { JoinThreads(); }

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
  // As CreateThread, a thread the system cannot start is a false return, never an exception
  // through the caller.
  try {
    record->thread = std::thread([proc, parameter] { proc(parameter); });
  } catch (const std::system_error&) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads_.erase(std::find(threads_.begin(), threads_.end(), record));
    }
    std::atomic_ref<ThreadHandle>(*handle).store(nullptr);
    delete record;
    return false;
  }
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

void HostSystem::SetEchoDebug(bool echo) { echoDebug_ = echo; }

std::vector<std::u16string> HostSystem::DebugLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return debugLines_;
}

void HostSystem::ClearDebugLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  debugLines_.clear();
}

uint64_t RealClock::TickCount64() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
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

}  // namespace platform
