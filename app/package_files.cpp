// The folders and files a run makes for the embedded package.
#include "app/package_files.h"

#include <cstring>

#include "core/app_state.h"
#include "platform/platform.h"
#include "platform/text.h"

using platform::FileHandle;
using platform::FileIdentity;
using platform::FolderHandle;
using platform::Sys;

namespace {

struct RunFolder {
  FolderHandle handle;
  int32_t parent;  // the held folder it lies in, -1 for none
  char16_t name[TEXT_PATH];
  char16_t path[TEXT_PATH];
  FileIdentity identity;
  bool own;  // made by this run: removed at close
};

struct NotedFile {
  int32_t folder;  // the held folder it lies in
  char16_t name[TEXT_PATH];
  char16_t path[TEXT_PATH];
  FileIdentity identity;
  uint8_t* bytes;  // the entry's bytes as its one inflate gave them (page memory)
  uint32_t size;
};

// What this run holds and made. Written while the package is unpacked and removed at close, both on
// the dialog's thread while no update runs; the worker only reads it.
struct RunFiles {
  char16_t resourceType[TEXT_SHORT];
  uint32_t resourceId;
  int32_t packageFolder;
  size_t fileCount;
  NotedFile files[MAX_PACKAGE_FILES];
  size_t folderCount;
  RunFolder folders[MAX_RUN_FOLDERS];
};
RunFiles g_run{{}, 0, -1, 0, {}, 0, {}};

NotedFile* FindNoted(const char16_t* path) {
  if (path == nullptr || path[0] == 0) return nullptr;
  for (size_t i = 0; i < g_run.fileCount; ++i)
    if (platform::TextEqualNoCase(g_run.files[i].path, path)) return &g_run.files[i];
  return nullptr;
}

bool Join(char16_t* out, const char16_t* folder, const char16_t* name) {
  int n = platform::FormatText(out, TEXT_PATH, u"%s\\%s", folder, name);
  return n > 0 && static_cast<size_t>(n) < TEXT_PATH;
}

// The held folder name in parent: one of this run's, or a new one made for it. -1 when it cannot
// be made; *taken when something else of that name is there.
int32_t ChildFolder(int32_t parent, const char16_t* name, bool* taken) {
  for (size_t i = 0; i < g_run.folderCount; ++i)
    if (g_run.folders[i].parent == parent && platform::TextEqualNoCase(g_run.folders[i].name, name))
      return static_cast<int32_t>(i);
  char16_t path[TEXT_PATH];
  if (g_run.folderCount == MAX_RUN_FOLDERS || !Join(path, g_run.folders[parent].path, name)) return -1;
  platform::PathFacts facts{};
  FolderHandle made = Sys().MakeFolderAt(g_run.folders[parent].handle, name, platform::FolderAccess::ADMINS_ONLY, &facts);
  if (made == platform::INVALID_FOLDER) {
    *taken = facts.kind != platform::PathKind::MISSING;
    return -1;
  }
  return HoldRunFolder(made, parent, name, path, facts.identity, true);
}

void ForgetFiles() {
  for (size_t i = 0; i < g_run.fileCount; ++i)
    if (g_run.files[i].bytes != nullptr) Sys().PageFree(g_run.files[i].bytes);
  g_run.fileCount = 0;
}

}  // namespace

void ForgetPackageFiles() {
  ForgetFiles();
  for (size_t i = 0; i < g_run.folderCount; ++i) Sys().CloseFolder(g_run.folders[i].handle);
  g_run.folderCount = 0;
  g_run.packageFolder = -1;
}

int32_t HoldRunFolder(FolderHandle handle, int32_t parent, const char16_t* name, const char16_t* path,
                      const FileIdentity& identity, bool own) {
  if (g_run.folderCount == MAX_RUN_FOLDERS) {
    Sys().CloseFolder(handle);
    return -1;
  }
  RunFolder& f = g_run.folders[g_run.folderCount];
  f.handle = handle;
  f.parent = parent;
  platform::TextCopy(f.name, TEXT_PATH, name);
  platform::TextCopy(f.path, TEXT_PATH, path);
  f.identity = identity;
  f.own = own;
  return static_cast<int32_t>(g_run.folderCount++);
}

FolderHandle RunFolderHandle(int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < g_run.folderCount ? g_run.folders[index].handle
                                                                      : platform::INVALID_FOLDER;
}

const char16_t* RunFolderPath(int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < g_run.folderCount ? g_run.folders[index].path : u"";
}

void SetPackageFolderIndex(int32_t index) { g_run.packageFolder = index; }

void NoteEmbeddedArchive(const char16_t* resourceType, uint32_t resourceId) {
  platform::TextCopy(g_run.resourceType, TEXT_SHORT, resourceType);
  g_run.resourceId = resourceId;
}

ArchiveHandle OpenEmbeddedArchive() {
  const void* data = nullptr;
  uint32_t size = 0;
  if (g_run.resourceType[0] == 0 || !Sys().ProgramResource(g_run.resourceType, g_run.resourceId, &data, &size))
    return nullptr;
  return ArchiveOpenMemory(data, size, nullptr);
}

ArchiveResult UnpackPackageEntry(ArchiveHandle archive, int32_t index, const ArchiveEntry& entry, bool* taken) {
  *taken = false;
  if (g_run.packageFolder < 0) return ArchiveResult::BadArguments;
  ArchiveResult checked = ArchiveCheckEntryName(archive, index, entry.name);
  if (checked != ArchiveResult::Ok) return checked;
  // The entry's folders, each one held: those this run made already, or new ones.
  int32_t folder = g_run.packageFolder;
  const char16_t* rest = entry.name;
  char16_t part[TEXT_PATH];
  for (;;) {
    size_t n = 0;
    while (rest[n] != 0 && rest[n] != u'\\' && rest[n] != u'/') ++n;
    if (rest[n] == 0) break;
    if (n > 0) {
      platform::TextCopy(part, n + 1 < TEXT_PATH ? n + 1 : TEXT_PATH, rest);
      folder = ChildFolder(folder, part, taken);
      if (folder < 0) return *taken ? ArchiveResult::OpenFailed : ArchiveResult::NoMemory;
    }
    rest += n + 1;
  }
  if ((entry.attributes & platform::FILE_ATTR_DIRECTORY) != 0) {
    if (rest[0] == 0) return ArchiveResult::Ok;  // "a/b/": its folders are there
    folder = ChildFolder(folder, rest, taken);
    return folder >= 0 ? ArchiveResult::Ok : *taken ? ArchiveResult::OpenFailed : ArchiveResult::NoMemory;
  }
  char16_t path[TEXT_PATH];
  if (rest[0] == 0 || !Join(path, g_run.folders[folder].path, rest)) return ArchiveResult::BadArguments;
  if (FindNoted(path) != nullptr) {
    *taken = true;  // an earlier entry of the same name
    return ArchiveResult::OpenFailed;
  }
  if (g_run.fileCount == MAX_PACKAGE_FILES || entry.uncompressedSize < 0) return ArchiveResult::NoMemory;

  // The one inflate of this entry (its CRC-32 checked): these bytes are the package's own for the
  // whole run.
  auto capacity = static_cast<uint32_t>(entry.uncompressedSize);
  auto* bytes = static_cast<uint8_t*>(Sys().PageAlloc(capacity > 0 ? capacity : 1));
  if (bytes == nullptr) return ArchiveResult::NoMemory;
  uint32_t size = 0;
  ArchiveResult result = ArchiveExtractToMemory(archive, index, bytes, capacity, &size);
  if (result != ArchiveResult::Ok) {
    Sys().PageFree(bytes);
    return result;
  }
  FolderHandle held = g_run.folders[folder].handle;
  FileHandle file = Sys().OpenFileAt(held, rest, platform::FileMode::CreateNew);
  if (file == platform::INVALID_FILE) {
    platform::PathFacts facts{};
    *taken = Sys().LookAtName(held, rest, &facts) && facts.kind != platform::PathKind::MISSING;
    Sys().PageFree(bytes);
    return ArchiveResult::OpenFailed;
  }
  FileIdentity identity{};
  uint32_t done = 0;
  bool known = Sys().IdentityOf(file, &identity);
  bool written = known && Sys().WriteFile(file, bytes, size, &done) && done == size;
  if (written) {
    Sys().SetFileTimes(file, entry.creationTime, entry.accessTime, entry.writeTime);
    Sys().SetAttributesOf(file, entry.attributes);
  }
  Sys().CloseFile(file);
  if (!written) {
    if (known) Sys().RemoveAt(held, rest, identity);  // no partial or empty file stays
    Sys().PageFree(bytes);
    return ArchiveResult::WriteFailed;
  }
  NotedFile& noted = g_run.files[g_run.fileCount++];
  noted.folder = folder;
  platform::TextCopy(noted.name, TEXT_PATH, rest);
  platform::TextCopy(noted.path, TEXT_PATH, path);
  noted.identity = identity;
  noted.bytes = bytes;
  noted.size = size;
  return ArchiveResult::Ok;
}

bool IsPackageFile(const char16_t* path) {
  const NotedFile* noted = FindNoted(path);
  platform::PathFacts facts{};
  return noted != nullptr && Sys().LookAtName(g_run.folders[noted->folder].handle, noted->name, &facts) &&
         facts.kind == platform::PathKind::FILE && facts.identity == noted->identity;
}

PackageFileRead ReadPackageEntry(const char16_t* path, const uint8_t** bytes, uint32_t* size) {
  const NotedFile* noted = FindNoted(path);
  if (noted == nullptr) return PackageFileRead::NOT_IN_PACKAGE;
  *bytes = noted->bytes;
  *size = noted->size;
  return PackageFileRead::OK;
}

PackageFileRead ReadPackageFile(const char16_t* path, uint8_t** bytes, uint32_t* size) {
  const NotedFile* noted = FindNoted(path);
  if (noted == nullptr) return PackageFileRead::NOT_IN_PACKAGE;
  FileHandle file = Sys().OpenFileAt(g_run.folders[noted->folder].handle, noted->name, platform::FileMode::ReadOwn);
  FileIdentity identity{};
  uint64_t length = 0;
  PackageFileRead result = PackageFileRead::CHANGED;
  auto* read = static_cast<uint8_t*>(Sys().PageAlloc(noted->size > 0 ? noted->size : 1));
  uint32_t done = 0;
  // The file is read whole, and one byte more is asked for: a file that grew since its size was
  // taken is not the package's.
  if (file != platform::INVALID_FILE && read != nullptr && Sys().IdentityOf(file, &identity) &&
      identity == noted->identity && Sys().GetFileSize(file, &length) && length == noted->size &&
      Sys().ReadFile(file, read, noted->size, &done) && done == noted->size &&
      std::memcmp(read, noted->bytes, noted->size) == 0) {
    uint8_t extra = 0;
    uint32_t more = 0;
    if (Sys().ReadFile(file, &extra, 1, &more) && more == 0) result = PackageFileRead::OK;
  }
  if (file != platform::INVALID_FILE) Sys().CloseFile(file);
  if (result == PackageFileRead::OK && bytes != nullptr) {
    *bytes = read;
    *size = noted->size;
  } else if (read != nullptr) {
    Sys().PageFree(read);
  }
  return result;
}

size_t PackageFileCount() { return g_run.fileCount; }

const char16_t* PackageFilePath(size_t index) { return index < g_run.fileCount ? g_run.files[index].path : u""; }

void DropPackageFiles() {
  for (size_t i = 0; i < g_run.fileCount; ++i)
    Sys().RemoveAt(g_run.folders[g_run.files[i].folder].handle, g_run.files[i].name, g_run.files[i].identity);
  ForgetFiles();
}

void RemovePackageFiles() {
  DropPackageFiles();
  // A folder is held after the one it lies in, so from the last to the first is from the inside
  // out. Each is closed before it is removed through the folder that holds it.
  for (size_t i = g_run.folderCount; i > 0; --i) {
    RunFolder& f = g_run.folders[i - 1];
    Sys().CloseFolder(f.handle);
    f.handle = platform::INVALID_FOLDER;
    if (f.own && f.parent >= 0) Sys().RemoveAt(g_run.folders[f.parent].handle, f.name, f.identity);
  }
  g_run.folderCount = 0;
  g_run.packageFolder = -1;
}
