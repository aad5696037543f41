// The system: files and folders, threads and time, the program's own resource and folders, power
// and shutdown, the update lock, and the machine state (each drive's update state, the boot, the
// random source). Paths are UTF-16; both "\\" and "/" separate folders. The declarations are
// grouped as the implementations are split: each group's Windows and host versions are
// platform/win32/NAME.cpp and platform/host/NAME.cpp, the file named in its heading.
#pragma once
#include "platform/types.h"

namespace platform {

// ---- Files: files.cpp ------------------------------------------------------------------------------

using FileHandle = intptr_t;
constexpr FileHandle INVALID_FILE = -1;

// How a file is opened. The modes that write, and ReadOwn, never go through a link: a symbolic
// link, junction or mount point in the place of the file itself, or a file with more than one
// hard link, is refused (checked on the opened handle, so nothing can be swapped in between).
enum class FileMode : uint32_t {
  ReadExisting,  // read, share read, existing only; a link is followed (a file somebody named)
  CreateAlways,  // write, no sharing, create or replace
  OpenAppend,    // write at the end, no sharing, open or create
  ReadOwn,       // read, share read, existing only: a file of the program's own, never a link
  CreateNew,     // write, no sharing, made new: refused when anything of that name is there
};

enum class SeekFrom : uint32_t { Begin, Current, End };

// Windows file attribute bits, as the ZIP reader and the folder walks use them.
constexpr uint32_t FILE_ATTR_READONLY = 0x01;
constexpr uint32_t FILE_ATTR_HIDDEN = 0x02;
constexpr uint32_t FILE_ATTR_SYSTEM = 0x04;
constexpr uint32_t FILE_ATTR_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTR_ARCHIVE = 0x20;
constexpr uint32_t FILE_ATTR_NORMAL = 0x80;
constexpr uint32_t FILE_ATTR_REPARSE_POINT = 0x400;  // a symbolic link, junction or mount point

// One entry of a folder listing.
struct FindData {
  uint32_t attributes;
  char16_t name[260];
};

// What the file system calls one file or folder, whatever its names: the volume and the file's
// own number there. Two paths with the same identity are the same file.
struct FileIdentity {
  uint64_t volume;
  uint64_t file;
};
inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.file == b.file;
}

// What a path names, its last component not followed.
enum class PathKind : uint32_t {
  MISSING,
  FILE,
  FOLDER,
  LINK,  // a symbolic link, junction or mount point (any reparse point)
  OTHER,
};
struct PathFacts {
  PathKind kind;
  uint32_t links;      // hard links of a file
  // Only SYSTEM, the Administrators or the account the program runs as can change it: one of them
  // owns it, and its access list lets no one else write, add to, delete in, or change its access.
  bool trusted;
  FileIdentity identity;
};

// ---- Folders: folders.cpp --------------------------------------------------------------------------

// A folder the program holds open while it works in it. It is reached once, its identity and owner
// are read from the handle, and every file in it is reached relative to that handle, so that a name
// renamed or swapped for a link since cannot lead anywhere else. On Windows the handle shares no
// deletion: nobody may rename or delete the folder while it is held.
using FolderHandle = intptr_t;
constexpr FolderHandle INVALID_FOLDER = -1;

// How OpenFolder treats links before the last name of a path (the last name is never followed).
enum class PathLinks : uint32_t {
  FOLLOWED,  // as the system resolves them (a folder the system names: TEMP, ProgramData)
  REFUSED,   // the path is walked name by name from its root; a link at any name refuses it
};

// Who may use a folder the program makes: its DACL is protected (nothing inherited) and grants
// full control to SYSTEM and the Administrators group only, and with USERS_READ also reading and
// listing to the Users group. INHERITED gives it no DACL of its own: it takes what the folder it
// lies in passes on, as the folders of a user's tool do (fwpkg unpack), never the program's own.
enum class FolderAccess : uint32_t { ADMINS_ONLY, USERS_READ, INHERITED };

// ---- Threads and time: threads_time.cpp ------------------------------------------------------------

using ThreadProc = uint32_t (*)(void* parameter);

// A local date and time of the wall clock, as GetLocalTime gives it.
struct LocalDateTime {
  uint16_t year, month, day, hour, minute, second, milliseconds;
};

// ---- Power: power.cpp ------------------------------------------------------------------------------

// GetSystemPowerStatus, as far as the updater reads it.
struct PowerStatus {
  uint8_t acLineStatus;        // POWER_AC_*
  uint8_t batteryFlag;         // bit flags; POWER_NO_BATTERY, or POWER_BATTERY_UNKNOWN
  uint8_t batteryLifePercent;  // 0 to 100, or POWER_PERCENT_UNKNOWN
};
constexpr uint8_t POWER_AC_OFFLINE = 0;
constexpr uint8_t POWER_AC_ONLINE = 1;
constexpr uint8_t POWER_AC_UNKNOWN = 255;
constexpr uint8_t POWER_NO_BATTERY = 128;
constexpr uint8_t POWER_BATTERY_UNKNOWN = 255;
constexpr uint8_t POWER_PERCENT_UNKNOWN = 255;

// SetThreadExecutionState flags: CONTINUOUS | SYSTEM_REQUIRED keeps the system from sleeping until
// the thread sets CONTINUOUS alone.
constexpr uint32_t EXECUTION_CONTINUOUS = 0x80000000;
constexpr uint32_t EXECUTION_SYSTEM_REQUIRED = 0x00000001;

// ExitWindowsEx flags.
constexpr uint32_t EXITWIN_REBOOT = 0x02;
constexpr uint32_t EXITWIN_POWEROFF = 0x08;
// The reason given with them: a planned restart for a software installation
// (SHTDN_REASON_MAJOR_SOFTWARE | SHTDN_REASON_MINOR_INSTALLATION | SHTDN_REASON_FLAG_PLANNED).
constexpr uint32_t SHUTDOWN_REASON_INSTALLATION = 0x80030002;

// What became of a request to shut down.
struct ShutdownResult {
  bool privilegeEnabled;  // the shutdown privilege was enabled (it was not asked for otherwise)
  bool accepted;          // ExitWindowsEx accepted the request: the shutdown has begun
  uint32_t error;         // the system error when either is false
};

// ---- The update lock: lock.cpp ---------------------------------------------------------------------

// The updater's machine-wide lock: a named mutex in a private namespace, owned by the thread that
// took it.
using NamedLock = void*;
enum class LockResult : uint32_t {
  TAKEN,      // the calling thread owns it now
  ABANDONED,  // the calling thread owns it now; its owner before ended without releasing it
  BUSY,       // another thread, or another process, owns it
  FAILED,     // it could not be made or opened; the error says why
};

// ---- Machine state: machine_state.cpp --------------------------------------------------------------

// What a read of a drive's state found.
enum class StateRead : uint32_t {
  FOUND,
  MISSING,  // no state of that drive, or no such value
  FAILED,   // the store cannot be read: nothing may be decided on it
};
// One text value of a drive's state.
struct StateValue {
  const char16_t* name;
  const char16_t* text;
};
// The longest name of a drive's key, and the longest text value, in characters.
constexpr uint32_t STATE_KEY_CHARS = 200;
constexpr uint32_t STATE_TEXT_CHARS = 256;
// Whether drive can name a drive's key: one name of 1 to STATE_KEY_CHARS - 1 characters, without a
// backslash (which would reach another key) or a control character.
bool IsDriveStateKey(const char16_t* drive);

// ---- The Event Log -------------------------------------------------------------------------------

// The type of an event in the Event Log (EVENTLOG_ERROR_TYPE, _WARNING_TYPE, _INFORMATION_TYPE).
enum class EventType : uint16_t { ERROR_EVENT = 1, WARNING_EVENT = 2, INFORMATION_EVENT = 4 };
// The most insertion strings of one event, and the most characters of each.
constexpr uint32_t EVENT_STRINGS_MAX = 10;
constexpr uint32_t EVENT_STRING_CHARS = 1024;
// Whether an event's source and strings are what WriteEvent takes: a source, at most
// EVENT_STRINGS_MAX strings, each terminated within EVENT_STRING_CHARS.
bool IsEventWritable(const char16_t* source, const char16_t* const* strings, uint32_t count);

class System {
 public:
  virtual ~System() = default;

  // ---- Files: files.cpp ----------------------------------------------------------------------------

  // What path names, without following its last component; false when it cannot be asked
  // (facts->kind is then MISSING when nothing is there).
  virtual bool LookAt(const char16_t* path, PathFacts* facts) = 0;
  // The identity of an open file.
  virtual bool IdentityOf(FileHandle file, FileIdentity* identity) = 0;
  // Deletes the file, or the empty folder, at path only when it is the one with that identity:
  // the path is opened without following its last component, the identity compared on that
  // handle, and the deletion made through it. A read-only file loses the attribute first.
  virtual bool RemoveIdentified(const char16_t* path, const FileIdentity& identity) = 0;

  // Files.
  virtual FileHandle OpenFile(const char16_t* path, FileMode mode) = 0;
  virtual bool ReadFile(FileHandle file, void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual bool WriteFile(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) = 0;
  // Moves the file position; returns false for a file that cannot seek.
  virtual bool SeekFile(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) = 0;
  virtual bool GetFileSize(FileHandle file, uint64_t* size) = 0;
  // Creation, access and write time as Windows file times (100 ns since 1601, UTC); 0 leaves one.
  virtual bool SetFileTimes(FileHandle file, uint64_t creation, uint64_t access, uint64_t write) = 0;
  virtual void CloseFile(FileHandle file) = 0;
  virtual bool RemoveFile(const char16_t* path) = 0;
  virtual bool SetAttributes(const char16_t* path, uint32_t attributes) = 0;
  // The same through an open file's handle (opened for writing), so that they reach the file
  // that was opened whatever its name leads to since. 0 is none: a plain file.
  virtual bool SetAttributesOf(FileHandle file, uint32_t attributes) = 0;
  // Lists the entries of a folder that match a pattern ("*.*", "*.fw", or an exact name): path is
  // the folder and pattern joined, as FindFirstFileW takes it. Calls visit for each entry until it
  // returns false. Returns false when nothing matched.
  virtual bool FindFiles(const char16_t* pathPattern, bool (*visit)(const FindData&, void*),
                         void* context) = 0;

  // ---- Folders: folders.cpp ------------------------------------------------------------------------

  // The temporary and the current folder. Both return the length written (0 on failure), as
  // GetTempPathW and GetCurrentDirectoryW do; the temporary folder ends with a separator.
  virtual uint32_t TempFolderPath(char16_t* buffer, uint32_t capacity) = 0;
  virtual uint32_t CurrentFolder(char16_t* buffer, uint32_t capacity) = 0;
  virtual bool SetCurrentFolder(const char16_t* path) = 0;
  virtual bool MakeFolder(const char16_t* path) = 0;
  virtual bool RemoveFolder(const char16_t* path) = 0;

  // Held folders (see FolderHandle). A name is one name: no separator, not "." or "..".
  // Opens the folder at path and holds it; facts describe the folder behind the handle. Fails
  // (facts->kind tells what is there: MISSING, LINK, FILE, ...) for anything but a folder.
  virtual FolderHandle OpenFolder(const char16_t* path, PathLinks links, PathFacts* facts) = 0;
  // Opens the folder name inside a held folder, never through a link, and holds it.
  virtual FolderHandle OpenFolderAt(FolderHandle parent, const char16_t* name, PathFacts* facts) = 0;
  // Makes a new folder name inside a held folder, with the protected DACL of access, and holds it.
  // Fails when anything of that name is there (facts->kind tells what); it is never taken over.
  virtual FolderHandle MakeFolderAt(FolderHandle parent, const char16_t* name, FolderAccess access,
                                    PathFacts* facts) = 0;
  virtual void CloseFolder(FolderHandle folder) = 0;
  // Opens the file name inside a held folder in one of the modes that never go through a link
  // (ReadOwn, OpenAppend, CreateNew).
  virtual FileHandle OpenFileAt(FolderHandle folder, const char16_t* name, FileMode mode) = 0;
  // What name is inside a held folder, not followed; false when it cannot be asked.
  virtual bool LookAtName(FolderHandle folder, const char16_t* name, PathFacts* facts) = 0;
  // Deletes the file, or the empty folder, name inside a held folder only when it has that
  // identity, through the handle the identity was read on. A read-only file loses the attribute
  // first. A folder the caller holds itself must be closed first.
  virtual bool RemoveAt(FolderHandle folder, const char16_t* name, const FileIdentity& identity) = 0;

  // ---- Threads and time: threads_time.cpp ----------------------------------------------------------

  // Page memory, reserved and committed read/write and zero-filled (VirtualAlloc).
  virtual void* PageAlloc(size_t size) = 0;
  virtual void PageFree(void* block) = 0;

  // Threads. StartThread stores the new thread's handle into *handle before the thread runs, so
  // a thread that ends at once still finds its handle in place; returns false (and leaves
  // *handle alone) when no thread could be created. The handle is released with CloseThread.
  virtual bool StartThread(ThreadProc proc, void* parameter, ThreadHandle* handle) = 0;
  virtual void CloseThread(ThreadHandle thread) = 0;

  // One line for the debugger (OutputDebugStringW).
  virtual void DebugOutput(const char16_t* text) = 0;
  // Local time: converts a DOS date and time, read as local time, to a UTC file time.
  virtual bool DosTimeToFileTime(uint16_t dosDate, uint16_t dosTime, uint64_t* fileTime) = 0;
  // The wall clock's local date and time (for log lines); false when the system has none.
  virtual bool LocalTime(LocalDateTime* time) { return false; }

  // ---- The program's own: resources.cpp ------------------------------------------------------------

  // The program's own resource of the given type and integer id. Returns false when missing.
  virtual bool ProgramResource(const char16_t* type, uint32_t id, const void** data,
                            uint32_t* size) = 0;

  // Private-profile (INI) reading, as GetPrivateProfileStringW and GetPrivateProfileIntW.
  virtual uint32_t ProfileString(const char16_t* section, const char16_t* key,
                                    const char16_t* defaultValue, char16_t* buffer,
                                    uint32_t capacity, const char16_t* file) = 0;
  virtual int32_t ProfileInt(const char16_t* section, const char16_t* key, int32_t defaultValue,
                                const char16_t* file) = 0;
  // The folder of the running executable, without a trailing separator.
  virtual uint32_t GetProgramFolder(char16_t* buffer, uint32_t capacity) = 0;
  // The folder for data that all users of the machine share (ProgramData), without a trailing
  // separator. Returns the length written, 0 when there is none or it does not fit.
  virtual uint32_t SharedDataFolder(char16_t* buffer, uint32_t capacity) { return 0; }

  // ---- Power: power.cpp ----------------------------------------------------------------------------

  // GetSystemPowerStatus: false when the system cannot tell.
  virtual bool GetPowerStatus(PowerStatus* status) = 0;
  // SetThreadExecutionState for the calling thread. Returns the thread's previous state, 0 when
  // the flags are refused.
  virtual uint32_t SetExecutionState(uint32_t flags) = 0;
  // Enables the shutdown privilege and asks the system to end the session with the flags and the
  // reason. The request is made only when the privilege could be enabled.
  virtual ShutdownResult Shutdown(uint32_t flags, uint32_t reason) = 0;

  // ---- The update lock: lock.cpp -------------------------------------------------------------------

  // Takes the named mutex without waiting. name is "<namespace>\<mutex>": the mutex lives in the
  // private object namespace of that name, bounded by the Administrators group, which this call
  // creates (CreatePrivateNamespaceW) or opens when another process holds it (OpenPrivateNamespaceW).
  // Only SYSTEM and the Administrators may open the namespace or the mutex, and only a process
  // within the boundary may make the namespace, so a standard user can take neither first. On
  // TAKEN and ABANDONED *lock holds the mutex and the namespace; on BUSY and FAILED nothing is held
  // and *error tells the system error (FAILED; ERROR_INVALID_NAME for a name of another form) or 0.
  virtual LockResult TakeNamedLock(const char16_t* name, NamedLock* lock, uint32_t* error) = 0;
  // Releases a lock the calling thread took (ReleaseMutex), closes the mutex and then its
  // namespace. False when the calling thread does not own it; the handles are closed either way.
  virtual bool ReleaseNamedLock(NamedLock lock) = 0;

  // ---- Machine state: machine_state.cpp ------------------------------------------------------------

  // The drive states live where no standard user can create, lock or write them: on Windows under
  // HKLM\SOFTWARE\Quorvela\FwUpdate, in the registry's 64-bit view from both bitnesses, a key per
  // drive (made with a protected DACL: SYSTEM and Administrators may change it, Users may read it),
  // each holding text values (REG_SZ). A drive's key name is one name: no backslash, at most
  // STATE_KEY_CHARS characters.
  // Reads the value name of the drive's key into buffer (terminated); MISSING when the key or the
  // value is not there; FAILED when the store cannot be read or the value is not text that fits.
  virtual StateRead ReadDriveState(const char16_t* drive, const char16_t* name, char16_t* buffer,
                                   uint32_t capacity) = 0;
  // Writes the values into the drive's key, making it (and the keys above it) when missing. False
  // when any could not be written.
  virtual bool WriteDriveState(const char16_t* drive, const StateValue* values, uint32_t count) = 0;
  // The boot the machine is in: one number throughout a boot, another after each restart or
  // power-off. False when the system cannot tell.
  virtual bool CurrentBoot(uint64_t* boot) = 0;
  // Fills buffer with bytes of the system's random source; false when it has none to give.
  virtual bool Random(void* buffer, uint32_t length) = 0;

  // ---- The Event Log (events.cpp) -----------------------------------------------------------------
  // Writes one event to the Application log under source (RegisterEventSourceW, ReportEventW,
  // DeregisterEventSource), with the user the process runs as: the event's identifier in the
  // program's message table, its type, and count insertion strings (at most EVENT_STRINGS_MAX, each
  // terminated and at most EVENT_STRING_CHARS long; an event with more is refused whole). A source
  // that is not registered still takes its events; Event Viewer then shows their strings without
  // the sentence. False when the log did not take the event.
  virtual bool WriteEvent(const char16_t* source, EventType type, uint32_t eventId, const char16_t* const* strings,
                           uint32_t count) = 0;
};

}  // namespace platform
