// Folders on the host: the temporary and the current folder, folders by path, and held folders,
// each an open descriptor through which every name in it is reached with the *at calls. A
// folder's mode stands for its DACL.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/internal.h"

namespace platform {

// ---- The system's folders and folders by path ------------------------------------------------------

void HostSystem::SetTempFolder(const std::string& folder) { tempFolder_ = folder; }

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
  if (betweenMakeAndOpen_ != nullptr) betweenMakeAndOpen_(dir, n.c_str());
  int fd = openat(dir, n.c_str(), kFolderFlags);
  // Windows makes and opens in one call; here the name is made, then opened, and another user may
  // have moved the folder away and put one of their own at the name in between. What was opened
  // must be what this call made: the process's own, still empty. Otherwise the name counts as
  // taken, and nothing is taken over.
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_uid != geteuid() || st.st_nlink != 2 || (st.st_mode & 077) != 0)) {
    close(fd);
    facts->kind = PathKind::FOLDER;
    return INVALID_FOLDER;
  }
  // The mode is set on the folder just made, not on whatever its name leads to now. A folder that
  // inherits gets what the usual umask leaves a folder a tool makes.
  if (fd >= 0 && access != FolderAccess::ADMINS_ONLY && fchmod(fd, 0755) != 0) {
    close(fd);
    fd = -1;
  }
  return HoldFolder(fd, facts);
}

void HostSystem::SetBetweenMakeAndOpen(void (*hook)(int parent, const char* name)) { betweenMakeAndOpen_ = hook; }

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

}  // namespace platform
