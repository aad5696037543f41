// Files on the host: paths both ways, what a path names and its identity, removal by identity, and
// files opened by path, read, written and listed. Symbolic links stand for reparse points.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/host/internal.h"
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

uint32_t PutWide(const std::string& utf8, char16_t* buffer, uint32_t capacity) {
  std::u16string wide(utf8.size() + 1, u'\0');
  size_t n = Utf8ToWide(utf8.c_str(), -1, wide.data(), wide.size());
  if (buffer == nullptr || capacity <= n) return static_cast<uint32_t>(n + 1);  // required size
  TextCopy(buffer, capacity, wide.c_str());
  return static_cast<uint32_t>(n);
}

namespace {

timespec FileTimeToTimespec(uint64_t ft) {
  timespec ts{};
  if (ft < kUnixEpochAsFileTime) return ts;
  uint64_t t = ft - kUnixEpochAsFileTime;
  ts.tv_sec = static_cast<time_t>(t / 10000000ull);
  ts.tv_nsec = static_cast<long>((t % 10000000ull) * 100);
  return ts;
}

// Read-only is the one attribute a mode shows: the write bits of a file (never of a folder).
mode_t ModeWithAttributes(const struct stat& st, uint32_t attributes) {
  mode_t mode = st.st_mode & 07777;
  if (!S_ISDIR(st.st_mode)) mode = (attributes & FILE_ATTR_READONLY) ? (mode & ~0222) : (mode | 0200);
  return mode;
}

}  // namespace

// ---- The facts and opens of files that the held folders use too (internal.h) -----------------------

PathFacts FactsOf(const struct stat& st) {
  PathFacts f{};
  f.kind = S_ISLNK(st.st_mode)   ? PathKind::LINK
           : S_ISDIR(st.st_mode) ? PathKind::FOLDER
           : S_ISREG(st.st_mode) ? PathKind::FILE
                                 : PathKind::OTHER;
  f.links = static_cast<uint32_t>(st.st_nlink);
  // As on Windows: owned by root or the account the program runs as, and writable by no group or
  // other user.
  f.trusted = (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  f.identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return f;
}

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

int OwnFlags(FileMode mode) {
  switch (mode) {
    case FileMode::OpenAppend: return O_WRONLY | O_CREAT | O_APPEND;
    case FileMode::ReadOwn: return O_RDONLY;
    case FileMode::CreateNew: return O_WRONLY | O_CREAT | O_EXCL;
    default: return -1;
  }
}

// ---- What a path names, and files by path ----------------------------------------------------------

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
    // No FNM_PERIOD: as on Windows, "*" matches a name that starts with a dot.
    if (fnmatch(pattern.c_str(), e->d_name, 0) != 0) continue;
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

}  // namespace platform
