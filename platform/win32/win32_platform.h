// The Win32 implementations of the seam. Each is split by concern into files named as the host's
// (files.cpp, folders.cpp, threads_time.cpp, resources.cpp, power.cpp, lock.cpp, machine_state.cpp,
// text.cpp), which share internal.h; the devices are in devices.cpp, the window in dialog.cpp.
#pragma once
#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/device_tree.h"
#include "platform/dialog.h"
#include "platform/system.h"

namespace platform {

struct LockCalls;  // lock_calls.h

class Win32System : public System {
 public:
  Win32System() = default;
  // A system whose update lock makes its namespace and mutex calls through lockCalls (which
  // outlives it) instead of kernel32's.
  explicit Win32System(const LockCalls* lockCalls) : lockCalls_(lockCalls) {}

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
  uint32_t TempFolderPath(char16_t* buffer, uint32_t capacity) override;
  uint32_t CurrentFolder(char16_t* buffer, uint32_t capacity) override;
  bool SetCurrentFolder(const char16_t* path) override;
  bool MakeFolder(const char16_t* path) override;
  bool RemoveFolder(const char16_t* path) override;
  FolderHandle OpenFolder(const char16_t* path, PathLinks links, PathFacts* facts) override;
  FolderHandle OpenFolderAt(FolderHandle parent, const char16_t* name, PathFacts* facts) override;
  FolderHandle MakeFolderAt(FolderHandle parent, const char16_t* name, FolderAccess access,
                            PathFacts* facts) override;
  void CloseFolder(FolderHandle folder) override;
  FileHandle OpenFileAt(FolderHandle folder, const char16_t* name, FileMode mode) override;
  bool LookAtName(FolderHandle folder, const char16_t* name, PathFacts* facts) override;
  bool RemoveAt(FolderHandle folder, const char16_t* name, const FileIdentity& identity) override;

  // threads_time.cpp
  void* PageAlloc(size_t size) override;
  void PageFree(void* block) override;
  bool StartThread(ThreadProc proc, void* parameter, ThreadHandle* handle) override;
  void CloseThread(ThreadHandle thread) override;
  void DebugOutput(const char16_t* text) override;
  bool DosTimeToFileTime(uint16_t dosDate, uint16_t dosTime, uint64_t* fileTime) override;
  bool LocalTime(LocalDateTime* time) override;

  // resources.cpp
  bool ProgramResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) override;
  uint32_t ProfileString(const char16_t* section, const char16_t* key,
                            const char16_t* defaultValue, char16_t* buffer, uint32_t capacity,
                            const char16_t* file) override;
  int32_t ProfileInt(const char16_t* section, const char16_t* key, int32_t defaultValue,
                        const char16_t* file) override;
  uint32_t GetProgramFolder(char16_t* buffer, uint32_t capacity) override;
  uint32_t SharedDataFolder(char16_t* buffer, uint32_t capacity) override;

  // power.cpp
  bool GetPowerStatus(PowerStatus* status) override;
  uint32_t SetExecutionState(uint32_t flags) override;
  ShutdownResult Shutdown(uint32_t flags, uint32_t reason) override;

  // lock.cpp
  LockResult TakeNamedLock(const char16_t* name, NamedLock* lock, uint32_t* error) override;
  bool ReleaseNamedLock(NamedLock lock) override;

  // machine_state.cpp
  StateRead ReadDriveState(const char16_t* drive, const char16_t* name, char16_t* buffer,
                           uint32_t capacity) override;
  bool WriteDriveState(const char16_t* drive, const StateValue* values, uint32_t count) override;
  bool CurrentBoot(uint64_t* boot) override;
  bool Random(void* buffer, uint32_t length) override;

  // The Event Log (events.cpp).
  bool WriteEvent(const char16_t* source, EventType type, uint32_t eventId, const char16_t* const* strings,
                   uint32_t count) override;

 protected:
  // The key under HKLM that holds the drive states; a test program gives one of its own.
  void SetStateKey(const char16_t* key);

 private:
  const LockCalls* lockCalls_ = nullptr;  // null: kernel32's
  char16_t stateKey_[STATE_KEY_CHARS] = u"SOFTWARE\\Quorvela\\FwUpdate";
};

// The security descriptor MakeFolderAt gives a new folder (folders.cpp): a protected DACL with full
// control for SYSTEM and the Administrators group (inherited by everything below), and for
// USERS_READ also reading and listing for the Users group. Null when it cannot be made; released
// with LocalFree.
void* NewFolderSecurity(FolderAccess access);

// The first thing every entry point does (resources.cpp): DLLs load from System32 only
// (SetDefaultDllDirectories, looked up at run time because older Windows lacks it; without it
// SetDllDirectoryW(L"") at least drops the current folder from the search). False when neither
// could be set.
bool RestrictDllSearch();

// Makes the Windows system folder the current folder, so that the program never works in a
// folder that other users may write to. False when it could not.
bool EnterSystemFolder();

// The tick count and sleep (threads_time.cpp).
class Win32Clock : public Clock {
 public:
  uint64_t TickCount64() override;
  void Sleep(uint32_t milliseconds) override;
};

// Device I/O on CreateFileW and DeviceIoControl (devices.cpp).
class Win32DeviceIo : public DeviceIo {
 public:
  DeviceHandle Open(const char16_t* path, uint32_t* error) override;
  bool Control(DeviceHandle device, uint32_t code, void* in, uint32_t inLength, void* out,
               uint32_t outLength, uint32_t* returned, uint32_t* error) override;
  void Close(DeviceHandle device) override;
};

// The device tree on SetupAPI and CfgMgr32 (devices.cpp): device lists by class, their members and
// interfaces, registry and device properties, parents and instance IDs.
class Win32DeviceTree : public DeviceTree {
 public:
  DeviceList GetClassDevs(const Guid* guid, uint32_t flags) override;
  void DestroyList(DeviceList list) override;
  bool EnumMember(DeviceList list, uint32_t index, DeviceNode* node) override;
  bool GetInterfacePath(DeviceList list, const Guid& guid, uint32_t index, char16_t* path,
                        uint32_t capacity) override;
  bool GetRegistryProperty(DeviceList list, DeviceNode node, uint32_t property, void* buffer,
                           uint32_t size, uint32_t* required) override;
  bool GetDeviceProperty(DeviceList list, DeviceNode node, const PropertyKey& key, void* buffer,
                         uint32_t size) override;
  bool GetParent(DeviceNode node, DeviceNode* parent) override;
  bool GetDeviceId(DeviceNode node, char16_t* id, uint32_t capacity) override;
};

// The real window (dialog.cpp): every operation is the Win32 call on the dialog or one of its
// controls.
class Win32Dialog : public Dialog {
 public:
  void SetCaption(WindowHandle window, const char16_t* text) override;
  void SetItemText(WindowHandle window, int id, const char16_t* text) override;
  void EnableItem(WindowHandle window, int id, bool enable) override;
  void ComboReset(WindowHandle window, int id) override;
  int ComboAdd(WindowHandle window, int id, const char16_t* text) override;
  void ComboSetItemData(WindowHandle window, int id, int index, intptr_t data) override;
  intptr_t ComboGetItemData(WindowHandle window, int id, int index) override;
  int ComboGetCurSel(WindowHandle window, int id) override;
  void ComboSetCurSel(WindowHandle window, int id, int index) override;
  void SetProgressPos(WindowHandle window, int id, int position) override;
  int ShowMessageBox(WindowHandle window, const char16_t* text, const char16_t* caption,
                 uint32_t type) override;
  void SetTimer(WindowHandle window, uintptr_t id, uint32_t milliseconds) override;
  void KillTimer(WindowHandle window, uintptr_t id) override;
  bool Post(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  intptr_t Send(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void EndDialog(WindowHandle window, intptr_t result) override;
  bool GetWindowRect(WindowHandle window, int id, Rect* rect) override;
  bool GetClientRect(WindowHandle window, int id, Rect* rect) override;
  void MoveWindow(WindowHandle window, int id, int x, int y, int width, int height) override;
  WindowHandle GetParent(WindowHandle window) override;
  void GetScreenSize(int* width, int* height) override;
  int GetDpi(WindowHandle window) override;
  void ShowIcon(WindowHandle window, int controlId, int iconId, int size) override;
};

}  // namespace platform
