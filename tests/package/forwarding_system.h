// A System that passes every call on to the build's own (POSIX on the host, Win32 under Wine) and
// lets a test watch and steer a few: it counts the reads, seeks and writes, can report a chosen
// temporary folder, can hold the program's resources, and lets a test act between two steps of
// the program (another user changing a file just before the program opens or deletes it).
#pragma once
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"

namespace packagetest {

class ForwardingSystem : public platform::System {
 public:
  explicit ForwardingSystem(platform::System& inner) : inner_(inner) {}

  std::atomic<int> reads{0};
  std::atomic<int> seeks{0};
  std::atomic<int> writes{0};
  std::atomic<uint64_t> bytesRead{0};
  std::atomic<uint32_t> largestRead{0};
  std::atomic<int> folderSearches{0};
  void ResetCounts() {
    reads = 0;
    seeks = 0;
    writes = 0;
    bytesRead = 0;
    largestRead = 0;
    folderSearches = 0;
  }

  // The temporary folder to report, exactly as given (empty: the inner system's).
  std::u16string tempFolder;
  // The resource that ProgramResource finds (type, id, bytes).
  std::u16string resourceType;
  uint32_t resourceId = 0;
  std::vector<uint8_t> resource;
  bool haveResource = false;
  // Called with the path before each OpenFile is passed on.
  std::function<void(const char16_t* path, platform::FileMode mode)> beforeOpen;
  // Called after each CloseFile.
  std::function<void()> afterClose;
  // Called before each call that reaches a file or folder by a held folder or a path (the call's
  // name and the name or path it is given), so that a test can change the world under the program.
  std::function<void(const char* call, const char16_t* name)> beforeFileCall;
  void Before(const char* call, const char16_t* name) {
    if (beforeFileCall) beforeFileCall(call, name != nullptr ? name : u"");
  }

  uint32_t TempFolderPath(char16_t* buffer, uint32_t capacity) override {
    if (tempFolder.empty()) return inner_.TempFolderPath(buffer, capacity);
    if (capacity <= tempFolder.size()) return static_cast<uint32_t>(tempFolder.size() + 1);
    platform::TextCopy(buffer, capacity, tempFolder.c_str());
    return static_cast<uint32_t>(tempFolder.size());
  }
  uint32_t CurrentFolder(char16_t* buffer, uint32_t capacity) override { return inner_.CurrentFolder(buffer, capacity); }
  bool SetCurrentFolder(const char16_t* path) override { return inner_.SetCurrentFolder(path); }
  bool MakeFolder(const char16_t* path) override { return inner_.MakeFolder(path); }
  bool RemoveFolder(const char16_t* path) override { return inner_.RemoveFolder(path); }
  bool LookAt(const char16_t* path, platform::PathFacts* facts) override {
    return inner_.LookAt(path, facts);
  }
  bool IdentityOf(platform::FileHandle file, platform::FileIdentity* identity) override {
    return inner_.IdentityOf(file, identity);
  }
  bool RemoveIdentified(const char16_t* path, const platform::FileIdentity& identity) override {
    return inner_.RemoveIdentified(path, identity);
  }
  platform::FileHandle OpenFile(const char16_t* path, platform::FileMode mode) override {
    if (beforeOpen) beforeOpen(path, mode);
    Before("OpenFile", path);
    return inner_.OpenFile(path, mode);
  }
  platform::FolderHandle OpenFolder(const char16_t* path, platform::PathLinks links, platform::PathFacts* facts) override {
    Before("OpenFolder", path);
    return inner_.OpenFolder(path, links, facts);
  }
  platform::FolderHandle OpenFolderAt(platform::FolderHandle parent, const char16_t* name,
                                      platform::PathFacts* facts) override {
    Before("OpenFolderAt", name);
    return inner_.OpenFolderAt(parent, name, facts);
  }
  platform::FolderHandle MakeFolderAt(platform::FolderHandle parent, const char16_t* name,
                                      platform::FolderAccess access, platform::PathFacts* facts) override {
    Before("MakeFolderAt", name);
    return inner_.MakeFolderAt(parent, name, access, facts);
  }
  void CloseFolder(platform::FolderHandle folder) override { inner_.CloseFolder(folder); }
  platform::FileHandle OpenFileAt(platform::FolderHandle folder, const char16_t* name, platform::FileMode mode) override {
    if (beforeOpen) beforeOpen(name, mode);
    Before("OpenFileAt", name);
    return inner_.OpenFileAt(folder, name, mode);
  }
  bool LookAtName(platform::FolderHandle folder, const char16_t* name, platform::PathFacts* facts) override {
    Before("LookAtName", name);
    return inner_.LookAtName(folder, name, facts);
  }
  bool RemoveAt(platform::FolderHandle folder, const char16_t* name, const platform::FileIdentity& identity) override {
    Before("RemoveAt", name);
    return inner_.RemoveAt(folder, name, identity);
  }
  bool ReadFile(platform::FileHandle file, void* buffer, uint32_t length, uint32_t* done) override {
    ++reads;
    uint32_t largest = largestRead.load();
    while (length > largest && !largestRead.compare_exchange_weak(largest, length)) {
    }
    bool ok = inner_.ReadFile(file, buffer, length, done);
    if (done != nullptr) bytesRead += *done;
    return ok;
  }
  bool WriteFile(platform::FileHandle file, const void* buffer, uint32_t length, uint32_t* done) override {
    ++writes;
    return inner_.WriteFile(file, buffer, length, done);
  }
  bool SeekFile(platform::FileHandle file, int64_t offset, platform::SeekFrom from, uint64_t* position) override {
    ++seeks;
    return inner_.SeekFile(file, offset, from, position);
  }
  bool GetFileSize(platform::FileHandle file, uint64_t* size) override { return inner_.GetFileSize(file, size); }
  bool SetFileTimes(platform::FileHandle file, uint64_t creation, uint64_t access, uint64_t write) override {
    return inner_.SetFileTimes(file, creation, access, write);
  }
  void CloseFile(platform::FileHandle file) override { inner_.CloseFile(file); if (afterClose) afterClose(); }
  bool RemoveFile(const char16_t* path) override { return inner_.RemoveFile(path); }
  bool SetAttributes(const char16_t* path, uint32_t attributes) override { return inner_.SetAttributes(path, attributes); }
  bool SetAttributesOf(platform::FileHandle file, uint32_t attributes) override {
    return inner_.SetAttributesOf(file, attributes);
  }
  bool FindFiles(const char16_t* pathPattern, bool (*visit)(const platform::FindData&, void*), void* context) override {
    ++folderSearches;
    return inner_.FindFiles(pathPattern, visit, context);
  }
  bool DosTimeToFileTime(uint16_t dosDate, uint16_t dosTime, uint64_t* fileTime) override {
    return inner_.DosTimeToFileTime(dosDate, dosTime, fileTime);
  }
  std::atomic<int> resourceLookups{0};
  bool ProgramResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) override {
    ++resourceLookups;
    if (haveResource && id == resourceId && platform::TextEqualNoCase(type, resourceType.c_str())) {
      *data = resource.data();
      *size = static_cast<uint32_t>(resource.size());
      return true;
    }
    return inner_.ProgramResource(type, id, data, size);
  }
  uint32_t ProfileString(const char16_t* section, const char16_t* key, const char16_t* defaultValue,
                         char16_t* buffer, uint32_t capacity, const char16_t* file) override {
    return inner_.ProfileString(section, key, defaultValue, buffer, capacity, file);
  }
  int32_t ProfileInt(const char16_t* section, const char16_t* key, int32_t defaultValue,
                     const char16_t* file) override { return inner_.ProfileInt(section, key, defaultValue, file); }
  void* PageAlloc(size_t size) override { return inner_.PageAlloc(size); }
  void PageFree(void* block) override { inner_.PageFree(block); }
  bool StartThread(platform::ThreadProc proc, void* parameter, platform::ThreadHandle* handle) override {
    return inner_.StartThread(proc, parameter, handle);
  }
  void CloseThread(platform::ThreadHandle thread) override { inner_.CloseThread(thread); }
  void DebugOutput(const char16_t* text) override { inner_.DebugOutput(text); }
  platform::ShutdownResult Shutdown(uint32_t flags, uint32_t reason) override { return inner_.Shutdown(flags, reason); }
  uint32_t GetProgramFolder(char16_t* buffer, uint32_t capacity) override {
    return inner_.GetProgramFolder(buffer, capacity);
  }
  bool LocalTime(platform::LocalDateTime* time) override { return inner_.LocalTime(time); }
  uint32_t SharedDataFolder(char16_t* buffer, uint32_t capacity) override {
    return inner_.SharedDataFolder(buffer, capacity);
  }
  platform::LockResult TakeNamedLock(const char16_t* name, platform::NamedLock* lock, uint32_t* error) override {
    return inner_.TakeNamedLock(name, lock, error);
  }
  bool ReleaseNamedLock(platform::NamedLock lock) override { return inner_.ReleaseNamedLock(lock); }
  bool GetPowerStatus(platform::PowerStatus* status) override { return inner_.GetPowerStatus(status); }
  platform::StateRead ReadDriveState(const char16_t* drive, const char16_t* name, char16_t* buffer,
                                     uint32_t capacity) override {
    return inner_.ReadDriveState(drive, name, buffer, capacity);
  }
  bool WriteDriveState(const char16_t* drive, const platform::StateValue* values, uint32_t count) override {
    return inner_.WriteDriveState(drive, values, count);
  }
  bool CurrentBoot(uint64_t* boot) override { return inner_.CurrentBoot(boot); }
  // Numbers the random source gives first, one for each 8-byte draw (then the inner system's).
  std::vector<uint64_t> randoms;
  bool Random(void* buffer, uint32_t length) override {
    if (length != sizeof(uint64_t) || randoms.empty()) return inner_.Random(buffer, length);
    std::memcpy(buffer, &randoms.front(), sizeof(uint64_t));
    randoms.erase(randoms.begin());
    return true;
  }
  uint32_t SetExecutionState(uint32_t flags) override { return inner_.SetExecutionState(flags); }
  bool WriteEvent(const char16_t* source, platform::EventType type, uint32_t eventId, const char16_t* const* strings,
                   uint32_t count) override {
    return inner_.WriteEvent(source, type, eventId, strings, count);
  }

 private:
  platform::System& inner_;
};

}  // namespace packagetest
