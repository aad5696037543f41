// The host's System and Clock: POSIX files under a chosen temporary folder (symbolic links stand
// for Windows' reparse points; a folder's mode stands for its DACL: 0700 for SYSTEM and the
// Administrators only, 0755 when Users may read; the owners Windows trusts are root and the
// program's own user), an in-memory resource table, an INI reader with the private-profile rules,
// std::thread threads, a debug output that keeps its lines for tests to read, and drive states in
// memory. The implementation is split by concern into files named as the Windows one's, which
// share internal.h; beside each group's calls stand the setters with which tools and tests set the
// system up and read back what it was asked.
#pragma once
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/system.h"

namespace platform {

// Host path of a UTF-16 path: UTF-8, with "\\" turned into "/" (files.cpp).
std::string HostPath(const char16_t* path);

class HostSystem : public System {
 public:
  HostSystem();  // resources.cpp: the temporary folder is $TMPDIR's, the program's the executable's
  ~HostSystem() override;  // threads_time.cpp: joins the threads

  // files.cpp
  bool LookAt(const char16_t* path, PathFacts* facts) override;
  bool IdentityOf(FileHandle file, FileIdentity* identity) override;
  bool RemoveIdentified(const char16_t* path, const FileIdentity& identity) override;
  FileHandle OpenFile(const char16_t* path, FileMode mode) override;
  bool ReadFile(FileHandle file, void* buffer, uint32_t length, uint32_t* done) override;
  bool WriteFile(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) override;
  bool SeekFile(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) override;
  bool GetFileSize(FileHandle file, uint64_t* size) override;
  bool SetFileTimes(FileHandle file, uint64_t creation, uint64_t access, uint64_t write) override;
  void CloseFile(FileHandle file) override;
  bool RemoveFile(const char16_t* path) override;
  bool SetAttributes(const char16_t* path, uint32_t attributes) override;
  bool SetAttributesOf(FileHandle file, uint32_t attributes) override;
  bool FindFiles(const char16_t* pathPattern, bool (*visit)(const FindData&, void*),
                 void* context) override;

  // folders.cpp
  void SetTempFolder(const std::string& folder);  // default: $TMPDIR or /tmp
  uint32_t TempFolderPath(char16_t* buffer, uint32_t capacity) override;
  uint32_t CurrentFolder(char16_t* buffer, uint32_t capacity) override;
  bool SetCurrentFolder(const char16_t* path) override;
  bool MakeFolder(const char16_t* path) override;
  bool RemoveFolder(const char16_t* path) override;
  FolderHandle OpenFolder(const char16_t* path, PathLinks links, PathFacts* facts) override;
  FolderHandle OpenFolderAt(FolderHandle parent, const char16_t* name, PathFacts* facts) override;
  FolderHandle MakeFolderAt(FolderHandle parent, const char16_t* name, FolderAccess access,
                            PathFacts* facts) override;
  // Called between MakeFolderAt's make and its open (with the parent and the name), where another
  // user may change the world on a real system; a test plays that user.
  void SetBetweenMakeAndOpen(void (*hook)(int parent, const char* name));
  void CloseFolder(FolderHandle folder) override;
  FileHandle OpenFileAt(FolderHandle folder, const char16_t* name, FileMode mode) override;
  bool LookAtName(FolderHandle folder, const char16_t* name, PathFacts* facts) override;
  bool RemoveAt(FolderHandle folder, const char16_t* name, const FileIdentity& identity) override;

  // threads_time.cpp
  void* PageAlloc(size_t size) override;
  void PageFree(void* block) override;
  bool StartThread(ThreadProc proc, void* parameter, ThreadHandle* handle) override;
  void CloseThread(ThreadHandle thread) override;
  // Waits for every thread this system started (tests call it before they tear down).
  void JoinThreads();
  void DebugOutput(const char16_t* text) override;
  void SetEchoDebug(bool echo);  // also print debug lines to stderr
  std::vector<std::u16string> DebugLines();
  void ClearDebugLines();
  bool DosTimeToFileTime(uint16_t dosDate, uint16_t dosTime, uint64_t* fileTime) override;
  bool LocalTime(LocalDateTime* time) override;

  // resources.cpp
  bool ProgramResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) override;
  void AddResource(const std::u16string& type, uint32_t id, std::vector<uint8_t> data);
  void ClearResources();
  uint32_t ProfileString(const char16_t* section, const char16_t* key,
                            const char16_t* defaultValue, char16_t* buffer, uint32_t capacity,
                            const char16_t* file) override;
  int32_t ProfileInt(const char16_t* section, const char16_t* key, int32_t defaultValue,
                        const char16_t* file) override;
  uint32_t GetProgramFolder(char16_t* buffer, uint32_t capacity) override;
  void SetProgramFolder(const std::string& folder);
  uint32_t SharedDataFolder(char16_t* buffer, uint32_t capacity) override;
  void SetSharedDataFolder(const std::string& folder);  // default: none

  // power.cpp
  // The power status starts as a desktop's (AC, no battery); a test sets a battery, or makes the
  // request fail.
  bool GetPowerStatus(PowerStatus* status) override;
  void SetPowerStatus(const PowerStatus& status, bool answers = true);
  // The execution state is kept per thread and every call is recorded.
  uint32_t SetExecutionState(uint32_t flags) override;
  struct ExecutionCall {
    uint64_t thread;  // a number per thread
    uint32_t flags;
    uint32_t result;  // the previous state, 0 for refused flags
  };
  std::vector<ExecutionCall> ExecutionCalls();
  void ClearExecutionCalls();
  ShutdownResult Shutdown(uint32_t flags, uint32_t reason) override;
  std::vector<uint32_t> ShutdownRequests();
  // The process holds the shutdown privilege unless a test takes it away; a test may also make
  // ExitWindowsEx refuse with an error.
  void SetShutdownPrivilege(bool held);
  void SetShutdownRefusal(uint32_t error);
  // The reasons given with the accepted requests, in the order of ShutdownRequests.
  std::vector<uint32_t> ShutdownReasons();

  // lock.cpp
  // A named lock is owned by a thread, as a mutex is: the same thread may take it again, only its
  // owner may release it, and a thread that ends while owning it leaves it abandoned, so that the
  // next taker gets LockResult::ABANDONED.
  LockResult TakeNamedLock(const char16_t* name, NamedLock* lock, uint32_t* error) override;
  bool ReleaseNamedLock(NamedLock lock) override;

  // machine_state.cpp
  // The drive states are kept in memory, and with a state file also in that file, read and
  // written whole at each call (fwbench carries them from one run to the next). A test may make
  // reads or writes fail, and sets the boot (1 to begin with).
  StateRead ReadDriveState(const char16_t* drive, const char16_t* name, char16_t* buffer,
                           uint32_t capacity) override;
  bool WriteDriveState(const char16_t* drive, const StateValue* values, uint32_t count) override;
  bool CurrentBoot(uint64_t* boot) override;
  bool Random(void* buffer, uint32_t length) override;
  void SetStateFile(const std::string& path);
  void SetStateFaults(bool reads, bool writes);
  void ClearDriveStates();
  void SetBoot(uint64_t boot);

  // ---- The Event Log (events.cpp): the events are kept for tests to read, after the same checks
  // as the Windows call makes.
  bool WriteEvent(const char16_t* source, EventType type, uint32_t eventId, const char16_t* const* strings,
                   uint32_t count) override;
  struct Event {
    std::u16string source;
    EventType type;
    uint32_t id;
    std::vector<std::u16string> strings;
  };
  std::vector<Event> Events();
  void ClearEvents();

 private:
  bool LoadStates();  // mutex held
  bool SaveStates();  // mutex held
  std::map<std::u16string, std::map<std::u16string, std::u16string>> states_;
  std::string stateFile_;
  bool stateReadsFail_ = false, stateWritesFail_ = false;
  uint64_t boot_ = 1;
  std::vector<Event> events_;
  struct Resource {
    std::u16string type;
    uint32_t id;
    std::vector<uint8_t> data;
  };
  std::mutex mutex_;
  std::string tempFolder_;
  std::string programFolder_;
  std::string sharedDataFolder_;
  void (*betweenMakeAndOpen_)(int parent, const char* name) = nullptr;
  std::vector<Resource> resources_;
  std::vector<std::u16string> debugLines_;
  std::vector<uint32_t> shutdowns_;
  std::vector<uint32_t> shutdownReasons_;
  bool shutdownPrivilege_ = true;
  uint32_t shutdownRefusal_ = 0;
  PowerStatus power_{POWER_AC_ONLINE, POWER_NO_BATTERY, POWER_PERCENT_UNKNOWN};
  bool powerAnswers_ = true;
  std::vector<ExecutionCall> executionCalls_;
  bool echoDebug_ = false;
  struct ThreadRecord;
  std::vector<ThreadRecord*> threads_;
};

// The wall clock: steady milliseconds and real sleeping (threads_time.cpp).
class RealClock : public Clock {
 public:
  uint64_t TickCount64() override;
  void Sleep(uint32_t milliseconds) override;
};

}  // namespace platform
