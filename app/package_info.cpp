// The embedded package and its information file.
#include "app/package_info.h"

#include "app/package_files.h"
#include "core/app_state.h"
#include "core/trace.h"
#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/text.h"

using platform::FormatText;
using platform::Sys;

namespace {

constexpr size_t REPLACE_BUFFER = 1000;  // ReplaceAll's working buffer

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// FormatText that reports whether the whole text fitted.
bool FormatFits(char16_t* out, size_t capacity, const char16_t* format, const char16_t* a,
                const char16_t* b = nullptr) {
  int n = b == nullptr ? FormatText(out, capacity, format, a) : FormatText(out, capacity, format, a, b);
  if (n < 0 || static_cast<size_t>(n) >= capacity) {
    if (capacity > 0) out[0] = 0;
    return false;
  }
  return true;
}

UnpackTally g_lastUnpack{-1, 0};

}  // namespace

void GetTempFolder(char16_t* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  buffer[0] = 0;
  uint32_t n = Sys().TempFolderPath(buffer, capacity);
  if (n == 0 || n >= capacity) {
    buffer[0] = 0;  // failed, or the path does not fit: no temporary folder
    return;
  }
  buffer[n] = 0;
  while (n > 0 && IsSeparator(buffer[n - 1])) buffer[--n] = 0;
}

namespace {

// Makes parent\<name of a number drawn from the system's random source>, with the protected DACL,
// and holds it as this run's own; a name that is taken (by another run, or by another user who
// put something there first) is drawn again. Another user cannot tell the name before it is
// made. Returns its index among the run's folders; no random number, or any failure other than a
// name that is taken, ends the attempts.
int32_t MakeNumberedFolder(int32_t parent, const char16_t* format, const char16_t* parentPath) {
  for (uint32_t attempt = 0; attempt < 100; ++attempt) {
    uint64_t number = 0;
    if (!Sys().Random(&number, sizeof number)) return -1;
    char16_t name[TEXT_SHORT], path[TEXT_PATH];
    int n = FormatText(name, TEXT_SHORT, format, static_cast<int64_t>(number >> 1));
    if (n <= 0 || static_cast<size_t>(n) >= TEXT_SHORT || !FormatFits(path, TEXT_PATH, u"%s\\%s", parentPath, name))
      return -1;
    platform::PathFacts facts{};
    platform::FolderHandle made =
        Sys().MakeFolderAt(RunFolderHandle(parent), name, platform::FolderAccess::ADMINS_ONLY, &facts);
    if (made != platform::INVALID_FOLDER) return HoldRunFolder(made, parent, name, path, facts.identity, true);
    if (facts.kind == platform::PathKind::MISSING) return -1;
  }
  return -1;
}

}  // namespace

platform::FolderHandle OpenProtectedFolderAt(platform::FolderHandle parent, const char16_t* name,
                                             platform::FolderAccess access, platform::PathFacts* facts) {
  platform::FolderHandle folder = Sys().OpenFolderAt(parent, name, facts);
  bool made = false;
  if (folder == platform::INVALID_FOLDER && facts->kind == platform::PathKind::MISSING) {
    folder = Sys().MakeFolderAt(parent, name, access, facts);
    made = folder != platform::INVALID_FOLDER;
  }
  if (folder != platform::INVALID_FOLDER && !made && !facts->trusted) {
    Sys().CloseFolder(folder);
    return platform::INVALID_FOLDER;
  }
  return folder;
}

void CreatePackageFolder() {
  AppState& s = AppStateGet();
  s.packageFolder[0] = 0;
  ForgetPackageFiles();
  char16_t temp[TEXT_PATH];
  GetTempFolder(temp, TEXT_PATH);
  if (temp[0] == 0) return;
  // TEMP as the system names it, held for the run; everything below it is reached through it.
  platform::PathFacts facts{};
  platform::FolderHandle tempHandle = Sys().OpenFolder(temp, platform::PathLinks::FOLLOWED, &facts);
  if (tempHandle == platform::INVALID_FOLDER) {
    DebugTraceAlways(u"CreatePackageFolder: the temporary folder %s cannot be opened", temp);
    return;
  }
  int32_t tempIndex = HoldRunFolder(tempHandle, -1, u"", temp, facts.identity, false);
  char16_t base[TEXT_PATH];
  if (tempIndex < 0 || !FormatFits(base, TEXT_PATH, u"%s\\Quorvela", temp)) return;
  // TEMP\Quorvela, made when missing and never removed. One that is a link (a symbolic link,
  // junction or mount point), no folder at all, or a folder of another owner is not used: it could
  // lead anywhere, or its owner could change what is in it.
  platform::FolderHandle shared = OpenProtectedFolderAt(tempHandle, u"Quorvela", platform::FolderAccess::ADMINS_ONLY, &facts);
  int32_t baseIndex = shared != platform::INVALID_FOLDER
                          ? HoldRunFolder(shared, tempIndex, u"Quorvela", base, facts.identity, false)
                          : -1;
  if (baseIndex < 0) {
    // A base folder of the run's own instead, beside the one that cannot be trusted.
    DebugTraceAlways(u"CreatePackageFolder: %s is a link, no folder, or a folder others may change; it is not used",
                     base);
    baseIndex = MakeNumberedFolder(tempIndex, u"Quorvela-%I64d", temp);
    if (baseIndex < 0) return;
  }
  // A per-run folder of its own, never shared with another run.
  int32_t runIndex = MakeNumberedFolder(baseIndex, u"%I64d", RunFolderPath(baseIndex));
  if (runIndex < 0) return;
  SetPackageFolderIndex(runIndex);
  platform::TextCopy(s.packageFolder, TEXT_PATH, RunFolderPath(runIndex));
}

UnpackTally LastUnpackTally() { return g_lastUnpack; }

void ExtractPackage(const char16_t* resourceType, uint32_t resourceId, const char16_t* folder) {
  g_lastUnpack = UnpackTally{-1, 0};
  if (folder == nullptr || folder[0] == 0) return;  // never unpack into the current folder
  // The archive is read where the program holds it, in memory: no copy of it is written anywhere
  // another user could put a link in its place or swap its bytes before they are unpacked.
  NoteEmbeddedArchive(resourceType, resourceId);
  ArchiveHandle archive = OpenEmbeddedArchive();
  if (archive == nullptr) {
    char16_t why[256];
    if (ArchiveOpenFailureText(why, 256) > 0) DebugTraceAlways(u"ExtractPackage: the package is not unpacked: %s", why);
    return;
  }
  // Every entry is unpacked into the per-run folder through the folders the run holds, each file
  // made new. A name that is taken there was put there by somebody else (or by an earlier entry of
  // the same name): then the package is not unpacked at all, and nothing of it stays.
  ArchiveEntry count{};
  count.index = 0;
  ArchiveGetEntry(archive, -1, &count);
  UnpackTally report{count.index, 0};
  for (int32_t i = 0; i < count.index; ++i) {
    ArchiveEntry e{};
    bool taken = false;
    if (ArchiveGetEntry(archive, i, &e) == ArchiveResult::Ok && UnpackPackageEntry(archive, i, e, &taken) == ArchiveResult::Ok)
      ++report.written;
    if (taken) {
      DebugTraceAlways(u"ExtractPackage: %s is taken in %s already; the package is not unpacked", e.name, folder);
      DropPackageFiles();
      report = UnpackTally{-1, 0};
      break;
    }
  }
  ArchiveClose(archive);
  g_lastUnpack = report;
}

void WrapVersionList(const char16_t* list, char16_t* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  out[0] = 0;
  if (list == nullptr || list[0] == 0) return;
  size_t length = platform::TextLength(list);
  size_t keep = length;
  if (length + 3 > capacity) {
    // Only whole entries: the longest prefix that ends before a ';' and fits with both semicolons.
    keep = 0;
    for (size_t p = 1; p < length && p + 3 <= capacity; ++p)
      if (list[p] == u';') keep = p;
    if (keep == 0) {
      // Not one whole version fits. An empty list would let every revision pass; a lone ';'
      // holds no ";revision;" at all, so none passes.
      if (capacity >= 2) {
        out[0] = u';';
        out[1] = 0;
      }
      return;
    }
  }
  out[0] = u';';
  for (size_t i = 0; i < keep; ++i) out[1 + i] = list[i];
  out[1 + keep] = u';';
  out[2 + keep] = 0;
}

void LoadPackageInfo() {
  AppState& s = AppStateGet();
  char16_t ini[TEXT_PATH];
  // The file is read through the per-run folder the run holds, only while it is the very file this
  // run unpacked and byte for byte the package's, and its bytes are read as the private-profile
  // functions read a file. Any other file leaves every value at its default.
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  bool haveFile = s.packageFolder[0] != 0 && FormatFits(ini, TEXT_PATH, u"%s\\QuorvelaInfo.ini", s.packageFolder);
  PackageFileRead read = haveFile ? ReadPackageFile(ini, &bytes, &size) : PackageFileRead::NOT_IN_PACKAGE;
  if (read == PackageFileRead::CHANGED) DebugTraceAlways(u"LoadPackageInfo: %s is not the package's own; it is not read", ini);
  haveFile = read == PackageFileRead::OK;
  auto readString = [&](const char16_t* key, const char16_t* defaultValue, char16_t* out, uint32_t capacity) {
    if (haveFile) platform::ProfileStringIn(bytes, size, u"UPDATEINFO", key, defaultValue, out, capacity);
    else platform::TextCopy(out, capacity, defaultValue);
  };
  auto readInt = [&](const char16_t* key, int32_t defaultValue) {
    return haveFile ? platform::ProfileIntIn(bytes, size, u"UPDATEINFO", key, defaultValue) : defaultValue;
  };

  readString(u"TITLE", u"Package Error", s.title, TEXT_PATH);
  platform::Ui().SetCaption(s.dialogWindow, s.title);
  readString(u"SOCID", u"", s.socId, TEXT_SHORT);
  readString(u"ModelName", u"", s.modelName, TEXT_SHORT);
  char16_t versions[TEXT_PATH];
  readString(u"FWVersion", u"", versions, TEXT_PATH);
  WrapVersionList(versions, s.fwVersionList, TEXT_PATH);
  readString(u"NEWVERSION", u"", s.newVersion, TEXT_SHORT);
  s.internalVersionCheckPart = readInt(u"iInternalFWVersionCheckPart", 3);
  readString(u"BeforeMessage", u"", s.beforeMessage, TEXT_LONG);
  ReplaceAllIn(s.beforeMessage, TEXT_LONG, u"<BR>", u"\r\n");
  readString(u"AfterMessage", u"", s.afterMessage, TEXT_LONG);
  ReplaceAllIn(s.afterMessage, TEXT_LONG, u"<BR>", u"\r\n");
  s.powerCtrl = static_cast<uint8_t>(readInt(u"PowerCtrl", 0) & 0xFF);
  if (bytes != nullptr) Sys().PageFree(bytes);
}

void ReplaceAllIn(char16_t* text, size_t capacity, const char16_t* find, const char16_t* replacement) {
  if (text == nullptr || capacity == 0 || find == nullptr || find[0] == 0) return;
  if (replacement == nullptr) replacement = u"";
  if (platform::TextFind(text, find) < 0) return;
  size_t cap = capacity < TEXT_LONG ? capacity : TEXT_LONG;
  size_t findLength = platform::TextLength(find);
  size_t replacementLength = platform::TextLength(replacement);
  // Each search starts again at the beginning; but when the replacement itself
  // holds find that would never end, so then the search goes on after the replacement.
  bool onwards = platform::TextFind(replacement, find) >= 0;
  char16_t work[TEXT_LONG];
  char16_t next[TEXT_LONG];
  platform::TextCopy(work, cap, text);
  size_t from = 0;
  for (size_t guard = 0; guard < 4 * TEXT_LONG; ++guard) {
    ptrdiff_t found = platform::TextFind(work + from, find);
    if (found < 0) break;
    size_t at = from + static_cast<size_t>(found);
    size_t n = 0;
    for (size_t i = 0; i < at && n + 1 < cap; ++i) next[n++] = work[i];
    for (size_t i = 0; i < replacementLength && n + 1 < cap; ++i) next[n++] = replacement[i];
    size_t afterReplacement = n;
    for (size_t i = at + findLength; work[i] != 0 && n + 1 < cap; ++i) next[n++] = work[i];
    next[n] = 0;
    platform::TextCopy(work, cap, next);
    from = onwards ? afterReplacement : 0;
  }
  platform::TextCopy(text, cap, work);
}

void ReplaceAll(char16_t* text, const char16_t* find, const char16_t* replacement) {
  ReplaceAllIn(text, REPLACE_BUFFER, find, replacement);
}

void RemovePackageFolder() {
  // Only what this run made, each file and folder by the identity it was made with: a folder
  // swapped for a link since, or files put beside the package's, lose nothing. That includes a
  // base folder of the run's own when no per-run folder could be made in it.
  RemovePackageFiles();
}

