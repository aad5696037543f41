// The folders and files a run makes for the embedded package.
#include "app/package_files.h"

#include <cstring>

#include "core/app_state.h"
#include "platform/platform.h"
#include "platform/text.h"

using platform::FileHandle;
using platform::FileIdentity;
using platform::Sys;

namespace {

constexpr size_t MAX_OWN_FOLDERS = 2;  // a base folder of the run's own, and the per-run folder

struct NotedFile {
  char16_t path[TEXT_PATH];
  FileIdentity identity;
  int32_t entryIndex;
};

struct NotedFolder {
  char16_t path[TEXT_PATH];
  FileIdentity identity;
};

// What this run made. Written while the package is unpacked and removed at close, both on the
// dialog's thread while no update runs; the worker only reads it.
struct RunFiles {
  char16_t resourceType[TEXT_SHORT];
  uint32_t resourceId;
  size_t fileCount;
  NotedFile files[MAX_PACKAGE_FILES];
  size_t folderCount;
  NotedFolder folders[MAX_OWN_FOLDERS];
};
RunFiles g_run{};

const NotedFile* FindNoted(const char16_t* path) {
  if (path == nullptr || path[0] == 0) return nullptr;
  for (size_t i = 0; i < g_run.fileCount; ++i)
    if (platform::TextEqualNoCase(g_run.files[i].path, path)) return &g_run.files[i];
  return nullptr;
}

// The entry's bytes from the embedded archive, in page memory of at least one page.
bool ExtractEntry(int32_t entryIndex, uint8_t** bytes, uint32_t* size) {
  ArchiveHandle archive = OpenEmbeddedArchive();
  if (archive == nullptr) return false;
  ArchiveEntry entry{};
  bool ok = false;
  if (ArchiveGetEntry(archive, entryIndex, &entry) == ArchiveResult::Ok && entry.uncompressedSize >= 0) {
    uint32_t capacity = static_cast<uint32_t>(entry.uncompressedSize);
    auto* block = static_cast<uint8_t*>(Sys().PageAlloc(capacity > 0 ? capacity : 1));
    if (block != nullptr && ArchiveExtractToMemory(archive, entryIndex, block, capacity, size) == ArchiveResult::Ok) {
      *bytes = block;
      ok = true;
    } else if (block != nullptr) {
      Sys().PageFree(block);
    }
  }
  ArchiveClose(archive);
  return ok;
}

}  // namespace

void ForgetPackageFiles() { g_run = RunFiles{}; }

void NoteOwnFolder(const char16_t* path, const FileIdentity& identity) {
  if (g_run.folderCount == MAX_OWN_FOLDERS) return;
  NotedFolder& f = g_run.folders[g_run.folderCount++];
  platform::TextCopy(f.path, TEXT_PATH, path);
  f.identity = identity;
}

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

bool NotePackageFile(const char16_t* path, const FileIdentity& identity, int32_t entryIndex) {
  auto* noted = const_cast<NotedFile*>(FindNoted(path));
  if (noted == nullptr) {
    if (g_run.fileCount == MAX_PACKAGE_FILES || platform::TextLength(path) >= TEXT_PATH) return false;
    noted = &g_run.files[g_run.fileCount++];
    platform::TextCopy(noted->path, TEXT_PATH, path);
  }
  noted->identity = identity;
  noted->entryIndex = entryIndex;
  return true;
}

bool IsPackageFile(const char16_t* path) { return FindNoted(path) != nullptr; }

PackageFileRead ReadPackageEntry(const char16_t* path, uint8_t** bytes, uint32_t* size) {
  const NotedFile* noted = FindNoted(path);
  if (noted == nullptr) return PackageFileRead::NOT_IN_PACKAGE;
  return ExtractEntry(noted->entryIndex, bytes, size) ? PackageFileRead::OK : PackageFileRead::CHANGED;
}

PackageFileRead ReadPackageFileFrom(FileHandle file, const char16_t* path, uint8_t** bytes, uint32_t* size) {
  const NotedFile* noted = FindNoted(path);
  if (noted == nullptr) return PackageFileRead::NOT_IN_PACKAGE;
  FileIdentity identity{};
  uint64_t length = 0;
  if (file == platform::INVALID_FILE || !Sys().IdentityOf(file, &identity) || !(identity == noted->identity) ||
      !Sys().GetFileSize(file, &length) || length > UINT32_MAX)
    return PackageFileRead::CHANGED;
  uint8_t* own = nullptr;
  uint32_t ownSize = 0;
  if (!ExtractEntry(noted->entryIndex, &own, &ownSize)) return PackageFileRead::CHANGED;
  PackageFileRead result = PackageFileRead::CHANGED;
  auto* read = static_cast<uint8_t*>(Sys().PageAlloc(ownSize > 0 ? ownSize : 1));
  uint32_t done = 0;
  // The file is read from its start, whole, and one byte more is asked for: a file that grew
  // since its size was taken is not the package's.
  if (read != nullptr && length == ownSize && Sys().SeekFile(file, 0, platform::SeekFrom::Begin, nullptr) &&
      Sys().ReadFile(file, read, ownSize, &done) && done == ownSize && std::memcmp(read, own, ownSize) == 0) {
    uint8_t extra = 0;
    uint32_t more = 0;
    if (Sys().ReadFile(file, &extra, 1, &more) && more == 0) result = PackageFileRead::OK;
  }
  if (read != nullptr) Sys().PageFree(read);
  if (result == PackageFileRead::OK && bytes != nullptr) {
    *bytes = own;
    *size = ownSize;
  } else {
    Sys().PageFree(own);
  }
  return result;
}

PackageFileRead ReadPackageFile(const char16_t* path, uint8_t** bytes, uint32_t* size) {
  if (!IsPackageFile(path)) return PackageFileRead::NOT_IN_PACKAGE;
  FileHandle file = Sys().OpenFile(path, platform::FileMode::ReadOwn);
  if (file == platform::INVALID_FILE) return PackageFileRead::CHANGED;
  PackageFileRead result = ReadPackageFileFrom(file, path, bytes, size);
  Sys().CloseFile(file);
  return result;
}

size_t PackageFileCount() { return g_run.fileCount; }

const char16_t* PackageFilePath(size_t index) { return index < g_run.fileCount ? g_run.files[index].path : u""; }

void RemovePackageFiles() {
  for (size_t i = 0; i < g_run.fileCount; ++i) Sys().RemoveIdentified(g_run.files[i].path, g_run.files[i].identity);
  for (size_t i = g_run.folderCount; i > 0; --i)
    Sys().RemoveIdentified(g_run.folders[i - 1].path, g_run.folders[i - 1].identity);
  ForgetPackageFiles();
}
