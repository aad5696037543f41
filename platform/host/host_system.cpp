#include "platform/host/host_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

std::string HostPath(const char16_t* path) {
  std::string s;
  if (path == nullptr) return s;
  size_t n = TextLength(path);
  s.resize(n * 3 + 1);
  size_t m = WideToUtf8(path, s.data(), s.size());
  s.resize(m);
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

namespace {

uint32_t PutWide(const std::string& utf8, char16_t* buffer, uint32_t capacity) {
  std::u16string wide(utf8.size() + 1, u'\0');
  size_t n = Utf8ToWide(utf8.c_str(), -1, wide.data(), wide.size());
  if (buffer == nullptr || capacity <= n) return static_cast<uint32_t>(n + 1);  // required size
  TextCopy(buffer, capacity, wide.c_str());
  return static_cast<uint32_t>(n);
}

// Windows file times count 100 ns from 1601; Unix times count seconds from 1970.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

timespec FileTimeToTimespec(uint64_t ft) {
  timespec ts{};
  if (ft < kUnixEpochAsFileTime) return ts;
  uint64_t t = ft - kUnixEpochAsFileTime;
  ts.tv_sec = static_cast<time_t>(t / 10000000ull);
  ts.tv_nsec = static_cast<long>((t % 10000000ull) * 100);
  return ts;
}

// The bytes of a whole file, for the private-profile reading; false when it cannot be read.
bool ReadWhole(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return true;
}

// Read-only is the one attribute a mode shows: the write bits of a file (never of a folder).
mode_t ModeWithAttributes(const struct stat& st, uint32_t attributes) {
  mode_t mode = st.st_mode & 07777;
  if (!S_ISDIR(st.st_mode)) mode = (attributes & FILE_ATTR_READONLY) ? (mode & ~0222) : (mode | 0200);
  return mode;
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

void HostSystem::SetTempFolder(const std::string& folder) { tempFolder_ = folder; }
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

uint32_t HostSystem::TempFolderPath(char16_t* buffer, uint32_t capacity) {
  std::string t = tempFolder_;
  if (t.empty() || t.back() != '/') t += '/';
  return PutWide(t, buffer, capacity);
}

uint32_t HostSystem::CurrentFolder(char16_t* buffer, uint32_t capacity) {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
  return PutWide(cwd, buffer, capacity);
}

bool HostSystem::SetCurrentFolder(const char16_t* path) { return chdir(HostPath(path).c_str()) == 0; }
bool HostSystem::MakeFolder(const char16_t* path) { return mkdir(HostPath(path).c_str(), 0755) == 0; }
bool HostSystem::RemoveFolder(const char16_t* path) { return rmdir(HostPath(path).c_str()) == 0; }

namespace {

PathFacts FactsOf(const struct stat& st) {
  PathFacts f{};
  f.kind = S_ISLNK(st.st_mode)   ? PathKind::LINK
           : S_ISDIR(st.st_mode) ? PathKind::FOLDER
           : S_ISREG(st.st_mode) ? PathKind::FILE
                                 : PathKind::OTHER;
  f.links = static_cast<uint32_t>(st.st_nlink);
  f.trustedOwner = st.st_uid == 0 || st.st_uid == geteuid();
  f.identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return f;
}

// Opens a file of the program's own for a write mode (or reading, for ReadOwn), never through a
// symbolic link, and keeps the handle only for a plain file with one link. A FIFO would block an
// open for writing, so the open does not wait, and waiting is switched back on afterwards.
int OpenOwn(int folder, const char* name, int flags) {
  int fd = openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// The open flags of the modes that open a file of the program's own; -1 for the others.
int OwnFlags(FileMode mode) {
  switch (mode) {
    case FileMode::OpenAppend: return O_WRONLY | O_CREAT | O_APPEND;
    case FileMode::ReadOwn: return O_RDONLY;
    case FileMode::CreateNew: return O_WRONLY | O_CREAT | O_EXCL;
    default: return -1;
  }
}

}  // namespace

bool HostSystem::LookAt(const char16_t* path, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  std::string p = HostPath(path);
  if (p.empty()) return false;
  struct stat st{};
  if (lstat(p.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
  *facts = FactsOf(st);
  return true;
}

bool HostSystem::IdentityOf(FileHandle file, FileIdentity* identity) {
  struct stat st{};
  if (file == INVALID_FILE || fstat(static_cast<int>(file), &st) != 0) return false;
  *identity = FactsOf(st).identity;
  return true;
}

bool HostSystem::RemoveIdentified(const char16_t* path, const FileIdentity& identity) {
  std::string p = HostPath(path);
  size_t slash = p.rfind('/');
  if (p.empty() || slash == p.size() - 1) return false;
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
  // The name is looked at and removed in the one folder held open, so the two steps agree.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  struct stat st{};
  bool ok = fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode) &&
            FactsOf(st).identity == identity &&
            unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0;
  close(dir);
  return ok;
}

FileHandle HostSystem::OpenFile(const char16_t* path, FileMode mode) {
  std::string p = HostPath(path);
  if (p.empty()) return INVALID_FILE;
  int fd = -1;
  switch (mode) {
    case FileMode::ReadExisting: {
      struct stat st{};
      if (stat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return INVALID_FILE;
      fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
      break;
    }
    case FileMode::CreateAlways:
      // Checked before it is cut short: a file with another link keeps its bytes.
      fd = OpenOwn(AT_FDCWD, p.c_str(), O_WRONLY | O_CREAT);
      if (fd >= 0 && ftruncate(fd, 0) != 0) {
        close(fd);
        fd = -1;
      }
      break;
    case FileMode::OpenAppend:
    case FileMode::ReadOwn:
    case FileMode::CreateNew:
      fd = OpenOwn(AT_FDCWD, p.c_str(), OwnFlags(mode));
      break;
  }
  return fd < 0 ? INVALID_FILE : static_cast<FileHandle>(fd);
}

// ---- Held folders: a folder is an open descriptor, every name in it reached with the *at calls ----

namespace {

bool IsOneName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// What a name in a folder is, when it could not be opened as a folder.
void FactsAt(int folder, const char* name, PathFacts* facts) {
  struct stat st{};
  if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0) *facts = FactsOf(st);
}

// Keeps an opened descriptor as a held folder when it is one; facts from the descriptor itself.
FolderHandle HoldFolder(int fd, PathFacts* facts) {
  struct stat st{};
  if (fd < 0) return INVALID_FOLDER;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return INVALID_FOLDER;
  }
  *facts = FactsOf(st);
  if (!S_ISDIR(st.st_mode)) {
    close(fd);
    return INVALID_FOLDER;
  }
  return static_cast<FolderHandle>(fd);
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

FolderHandle HostSystem::OpenFolder(const char16_t* path, PathLinks links, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  std::string p = HostPath(path);
  if (p.empty()) return INVALID_FOLDER;
  if (links == PathLinks::FOLLOWED) {
    int fd = open(p.c_str(), kFolderFlags);
    if (fd < 0) FactsAt(AT_FDCWD, p.c_str(), facts);
    return HoldFolder(fd, facts);
  }
  // Name by name from the root (or the current folder), each name opened on the folder before it.
  int fd = open(p[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  size_t at = 0;
  while (fd >= 0 && at < p.size()) {
    size_t end = p.find('/', at);
    if (end == std::string::npos) end = p.size();
    std::string name = p.substr(at, end - at);
    at = end + 1;
    if (name.empty() || name == ".") continue;
    int next = openat(fd, name.c_str(), kFolderFlags);
    if (next < 0) FactsAt(fd, name.c_str(), facts);
    close(fd);
    fd = next;
  }
  return HoldFolder(fd, facts);
}

FolderHandle HostSystem::OpenFolderAt(FolderHandle parent, const char16_t* name, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  std::string n = HostPath(name);
  if (parent == INVALID_FOLDER || !IsOneName(n)) return INVALID_FOLDER;
  int fd = openat(static_cast<int>(parent), n.c_str(), kFolderFlags);
  if (fd < 0) FactsAt(static_cast<int>(parent), n.c_str(), facts);
  return HoldFolder(fd, facts);
}

FolderHandle HostSystem::MakeFolderAt(FolderHandle parent, const char16_t* name, FolderAccess access,
                                      PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  std::string n = HostPath(name);
  if (parent == INVALID_FOLDER || !IsOneName(n)) return INVALID_FOLDER;
  int dir = static_cast<int>(parent);
  if (mkdirat(dir, n.c_str(), 0700) != 0) {
    FactsAt(dir, n.c_str(), facts);
    return INVALID_FOLDER;
  }
  int fd = openat(dir, n.c_str(), kFolderFlags);
  // The mode is set on the folder just made, not on whatever its name leads to now.
  if (fd >= 0 && access == FolderAccess::USERS_READ && fchmod(fd, 0755) != 0) {
    close(fd);
    fd = -1;
  }
  return HoldFolder(fd, facts);
}

void HostSystem::CloseFolder(FolderHandle folder) {
  if (folder != INVALID_FOLDER) close(static_cast<int>(folder));
}

FileHandle HostSystem::OpenFileAt(FolderHandle folder, const char16_t* name, FileMode mode) {
  std::string n = HostPath(name);
  if (folder == INVALID_FOLDER || !IsOneName(n) || OwnFlags(mode) < 0) return INVALID_FILE;
  int fd = OpenOwn(static_cast<int>(folder), n.c_str(), OwnFlags(mode));
  return fd < 0 ? INVALID_FILE : static_cast<FileHandle>(fd);
}

bool HostSystem::LookAtName(FolderHandle folder, const char16_t* name, PathFacts* facts) {
  *facts = PathFacts{};
  facts->kind = PathKind::MISSING;
  std::string n = HostPath(name);
  if (folder == INVALID_FOLDER || !IsOneName(n)) return false;
  struct stat st{};
  if (fstatat(static_cast<int>(folder), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  *facts = FactsOf(st);
  return true;
}

bool HostSystem::RemoveAt(FolderHandle folder, const char16_t* name, const FileIdentity& identity) {
  std::string n = HostPath(name);
  if (folder == INVALID_FOLDER || !IsOneName(n)) return false;
  int dir = static_cast<int>(folder);
  struct stat st{};
  return fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode) &&
         FactsOf(st).identity == identity && unlinkat(dir, n.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0;
}

bool HostSystem::ReadFile(FileHandle file, void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (file == INVALID_FILE) return false;
  uint32_t total = 0;
  while (total < length) {
    ssize_t n = read(static_cast<int>(file), static_cast<char*>(buffer) + total, length - total);
    if (n < 0) return false;
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return true;
}

bool HostSystem::WriteFile(FileHandle file, const void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  if (file == INVALID_FILE) return false;
  uint32_t total = 0;
  while (total < length) {
    ssize_t n = write(static_cast<int>(file), static_cast<const char*>(buffer) + total, length - total);
    if (n <= 0) return false;
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return true;
}

bool HostSystem::SeekFile(FileHandle file, int64_t offset, SeekFrom from, uint64_t* position) {
  int whence = from == SeekFrom::Begin ? SEEK_SET : from == SeekFrom::Current ? SEEK_CUR : SEEK_END;
  off_t r = lseek(static_cast<int>(file), static_cast<off_t>(offset), whence);
  if (r < 0) return false;
  if (position != nullptr) *position = static_cast<uint64_t>(r);
  return true;
}

bool HostSystem::GetFileSize(FileHandle file, uint64_t* size) {
  struct stat st{};
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool HostSystem::SetFileTimes(FileHandle file, uint64_t creation, uint64_t access, uint64_t write) {
  timespec times[2];
  times[0] = access != 0 ? FileTimeToTimespec(access) : timespec{0, UTIME_OMIT};
  times[1] = write != 0 ? FileTimeToTimespec(write) : timespec{0, UTIME_OMIT};
  return futimens(static_cast<int>(file), times) == 0;
}

void HostSystem::CloseFile(FileHandle file) {
  if (file != INVALID_FILE) close(static_cast<int>(file));
}

bool HostSystem::RemoveFile(const char16_t* path) { return unlink(HostPath(path).c_str()) == 0; }

bool HostSystem::SetAttributes(const char16_t* path, uint32_t attributes) {
  std::string p = HostPath(path);
  struct stat st{};
  if (stat(p.c_str(), &st) != 0) return false;
  return chmod(p.c_str(), ModeWithAttributes(st, attributes)) == 0;
}

bool HostSystem::SetAttributesOf(FileHandle file, uint32_t attributes) {
  int fd = static_cast<int>(file);
  struct stat st{};
  if (fstat(fd, &st) != 0) return false;
  return fchmod(fd, ModeWithAttributes(st, attributes)) == 0;
}

bool HostSystem::FindFiles(const char16_t* pathPattern, bool (*visit)(const FindData&, void*),
                           void* context) {
  std::string p = HostPath(pathPattern);
  size_t slash = p.rfind('/');
  std::string folder = slash == std::string::npos ? "." : p.substr(0, slash);
  std::string pattern = slash == std::string::npos ? p : p.substr(slash + 1);
  if (folder.empty()) folder = "/";
  // "*.*" matches every name, as it does on Windows.
  if (pattern == "*.*") pattern = "*";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    struct stat st{};
    return stat(p.c_str(), &st) == 0;  // an exact path that exists
  }
  bool any = false;
  while (dirent* e = readdir(dir)) {
    if (fnmatch(pattern.c_str(), e->d_name, FNM_PERIOD & 0) != 0) continue;
    any = true;
    FindData data{};
    std::string full = folder + "/" + e->d_name;
    struct stat st{};
    // A symbolic link is a reparse point, and a folder when it leads to one, as Windows lists a
    // directory link.
    bool link = lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    if (stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) data.attributes = FILE_ATTR_DIRECTORY;
    else data.attributes = link ? 0 : FILE_ATTR_NORMAL;
    if (link) data.attributes |= FILE_ATTR_REPARSE_POINT;
    Utf8ToWide(e->d_name, -1, data.name, 260);
    if (visit != nullptr && !visit(data, context)) break;
  }
  closedir(dir);
  return any;
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
