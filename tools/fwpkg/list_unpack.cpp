// fwpkg list and unpack: the package archive through the program's own ZIP reader.
//
//   fwpkg list ARCHIVE
//     One line per entry, tab-separated: index, sanitised name, attributes (hex), uncompressed
//     size, compressed size (both unsigned, as the directory holds them), write time in UTC
//     (ISO 8601; "-" when the entry has none). An entry that cannot be read is reported on the
//     error output.
//   fwpkg unpack ARCHIVE DIR [--password TEXT]
//     Extracts every entry as the program unpacks its package: DIR (made when missing) is walked
//     name by name and held, a link on the way refuses it; each entry's folders are opened or made
//     inside the held folders, never through a link, and each file is made new there, so that
//     nothing is written outside DIR and nothing that was there is overwritten. Prints
//     "name: result text" for each entry; for an entry whose record cannot be read, that failure
//     ("#index: text"). Exit status 0 only when the archive opened and every entry gave Ok.
//   Of each failure, only the first FAILURES_SHOWN entries get a line of their own; one line then
//   counts the rest. Control characters in names are escaped (\xHH), so an entry is one line; an
//   archive that does not open is reported with the kind of archive or damage it is.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <utility>
#include <vector>

#include "package/zip_reader.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tools/fwpkg/commands.h"
#include "tools/fwpkg/tool_platform.h"
#include "tools/sample/package_check.h"

namespace {

constexpr size_t ARG_CAPACITY = 1024;
constexpr uint64_t UNIX_EPOCH_AS_FILETIME = 116444736000000000ull;

// A Windows file time as "YYYY-MM-DDTHH:MM:SSZ" (UTC), or "-" for none.
void FormatFileTime(uint64_t fileTime, char* out, size_t capacity) {
  if (fileTime == 0) {
    std::snprintf(out, capacity, "-");
    return;
  }
  int64_t seconds = static_cast<int64_t>(fileTime / 10000000ull) -
                    static_cast<int64_t>(UNIX_EPOCH_AS_FILETIME / 10000000ull);
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  int64_t rest = seconds - days * 86400;
  // Civil date from a day count (proleptic Gregorian calendar).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  std::snprintf(out, capacity, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(rest / 3600),
                static_cast<long long>((rest / 60) % 60), static_cast<long long>(rest % 60));
}

std::string ResultText(ArchiveResult result) {
  char16_t text[128];
  ArchiveResultText(result, text, 128);
  return Printable(text);
}

// Why an archive did not open or unpack: for a failed open, which kind of archive or damage it
// is; otherwise the result's text (a refused folder).
std::string UnpackFailureText(ArchiveResult failure) {
  if (ArchiveLastOpenFailure() == ArchiveOpenFailure::None) return ResultText(failure);
  char16_t text[256];
  ArchiveOpenFailureText(text, 256);
  return Printable(text);
}

// One line for each failure beyond the first FAILURES_SHOWN of its code.
void PrintHidden(FILE* out, const char* prefix, const FailureTally& tally) {
  for (const auto& [code, entries] : tally.counts) {
    if (entries <= FAILURES_SHOWN) continue;
    std::fprintf(out, "%s%d more entries: %s\n", prefix, entries - FAILURES_SHOWN,
                 ResultText(static_cast<ArchiveResult>(code)).c_str());
  }
}

struct UnpackReport {
  int failures;
  FailureTally tally;
};

// The folder an archive is unpacked into, held, and the chain of entry folders below it that the
// last entry went through (held too, so that entries of one folder do not open it again).
struct UnpackTarget {
  platform::FolderHandle root = platform::INVALID_FOLDER;
  size_t pathLength = 0;  // DIR's characters, for the length rule of the reader's paths
  std::vector<std::pair<std::u16string, platform::FolderHandle>> chain;

  void CloseFrom(size_t depth) {
    while (chain.size() > depth) {
      platform::Sys().CloseFolder(chain.back().second);
      chain.pop_back();
    }
  }
  ~UnpackTarget() {
    CloseFrom(0);
    if (root != platform::INVALID_FOLDER) platform::Sys().CloseFolder(root);
  }
};

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Opens DIR name by name, refusing a link at any of them; when it is missing, opens the folder
// above it so and makes it there. A result and the reason for people when it cannot be had.
ArchiveResult OpenTarget(const char16_t* folder, UnpackTarget* target, std::string* why) {
  std::u16string path = folder;
  // Trailing separators go, but not the one of a root ("/", "C:\\").
  while (path.size() > 1 && IsSeparator(path.back()) && !(path.size() == 3 && path[1] == u':')) path.pop_back();
  // Entry paths below DIR are kept to the reader's length, as an extraction by path kept them.
  if (path.empty() || path.size() + 1 > ARCHIVE_MAX_PATH) {
    *why = "the folder's path is empty or longer than " + std::to_string(ARCHIVE_MAX_PATH - 1) + " characters";
    return ArchiveResult::BadArguments;
  }
  target->pathLength = path.size();
  platform::PathFacts facts{};
  target->root = platform::Sys().OpenFolder(path.c_str(), platform::PathLinks::REFUSED, &facts);
  if (target->root == platform::INVALID_FOLDER && facts.kind == platform::PathKind::MISSING) {
    size_t split = path.size();
    while (split > 0 && !IsSeparator(path[split - 1])) --split;
    std::u16string above = split == 0 ? u"." : path.substr(0, split);
    std::u16string name = path.substr(split);
    platform::FolderHandle parent = platform::Sys().OpenFolder(above.c_str(), platform::PathLinks::REFUSED, &facts);
    if (parent != platform::INVALID_FOLDER) {
      target->root = platform::Sys().MakeFolderAt(parent, name.c_str(), platform::FolderAccess::INHERITED, &facts);
      platform::Sys().CloseFolder(parent);
    }
  }
  if (target->root != platform::INVALID_FOLDER) return ArchiveResult::Ok;
  *why = facts.kind == platform::PathKind::LINK ? "it, or a folder on its way, is a link; name the folder it leads to"
         : facts.kind == platform::PathKind::MISSING ? "the folder above it does not exist"
                                                     : "it is no folder, or cannot be opened or made";
  return ArchiveResult::OpenFailed;
}

// The held folder of the folder names parts[0..count) below DIR, each opened (never through a
// link) or made when missing; INVALID_FOLDER when one of them cannot be.
platform::FolderHandle WalkFolders(UnpackTarget* target, const std::vector<std::u16string>& parts, size_t count) {
  size_t same = 0;
  while (same < target->chain.size() && same < count && target->chain[same].first == parts[same]) ++same;
  target->CloseFrom(same);
  for (size_t i = same; i < count; ++i) {
    platform::FolderHandle parent = i == 0 ? target->root : target->chain.back().second;
    platform::PathFacts facts{};
    platform::FolderHandle next = platform::Sys().OpenFolderAt(parent, parts[i].c_str(), &facts);
    if (next == platform::INVALID_FOLDER && facts.kind == platform::PathKind::MISSING)
      next = platform::Sys().MakeFolderAt(parent, parts[i].c_str(), platform::FolderAccess::INHERITED, &facts);
    if (next == platform::INVALID_FOLDER) return platform::INVALID_FOLDER;
    target->chain.emplace_back(parts[i], next);
  }
  return count == 0 ? target->root : target->chain[count - 1].second;
}

// What one file entry's extraction makes: its folders, then the file, made new.
struct EntryFile {
  UnpackTarget* target;
  const std::vector<std::u16string>* parts;
  platform::FolderHandle folder = platform::INVALID_FOLDER;
};

ArchiveResult MakeEntryFile(void* context, platform::FileHandle* file) {
  auto* e = static_cast<EntryFile*>(context);
  e->folder = WalkFolders(e->target, *e->parts, e->parts->size() - 1);
  if (e->folder == platform::INVALID_FOLDER) return ArchiveResult::OpenFailed;
  *file = platform::Sys().OpenFileAt(e->folder, e->parts->back().c_str(), platform::FileMode::CreateNew);
  return *file != platform::INVALID_FILE ? ArchiveResult::Ok : ArchiveResult::OpenFailed;
}

// Unpacks one entry below the held DIR, as the program unpacks its package's entries.
ArchiveResult UnpackEntry(ArchiveHandle handle, int32_t index, const ArchiveEntry& entry, UnpackTarget* target) {
  ArchiveResult result = ArchiveCheckEntryName(handle, index, entry.name);
  if (result != ArchiveResult::Ok) return result;
  if (target->pathLength + 1 + platform::TextLength(entry.name) > ARCHIVE_MAX_PATH) return ArchiveResult::BadArguments;
  std::vector<std::u16string> parts(1);
  for (const char16_t* c = entry.name; *c != 0; ++c) {
    if (!IsSeparator(*c)) parts.back() += *c;
    else if (!parts.back().empty()) parts.emplace_back();
  }
  bool directory = (entry.attributes & platform::FILE_ATTR_DIRECTORY) != 0;
  if (parts.back().empty()) {
    if (!directory) return ArchiveResult::BadArguments;  // a file needs a name
    parts.pop_back();
  }
  if (directory)
    return WalkFolders(target, parts, parts.size()) != platform::INVALID_FOLDER ? ArchiveResult::Ok
                                                                               : ArchiveResult::OpenFailed;
  EntryFile made{target, &parts};
  platform::FileHandle file = platform::INVALID_FILE;
  result = ArchiveExtractToFile(handle, index, MakeEntryFile, &made, &file);
  if (file == platform::INVALID_FILE) return result;
  // The file made, known by the handle it was written through: its times and attributes are set
  // through that handle, and a failure removes that very file.
  platform::FileIdentity identity{};
  bool known = platform::Sys().IdentityOf(file, &identity);
  if (result == ArchiveResult::Ok) {
    platform::Sys().SetFileTimes(file, entry.creationTime, entry.accessTime, entry.writeTime);
    platform::Sys().SetAttributesOf(file, entry.attributes);
  }
  platform::Sys().CloseFile(file);
  if (result != ArchiveResult::Ok && known) platform::Sys().RemoveAt(made.folder, parts.back().c_str(), identity);
  return result;
}

void ReportEntry(int32_t index, const ArchiveEntry& entry, ArchiveResult entryResult, ArchiveResult extracted,
                 void* context) {
  auto* report = static_cast<UnpackReport*>(context);
  // An entry whose record did not read has no name; what failed is the record, not the extraction.
  ArchiveResult result = entryResult != ArchiveResult::Ok ? entryResult : extracted;
  if (result != ArchiveResult::Ok) {
    report->failures += 1;
    if (!TallyFailure(&report->tally, static_cast<uint32_t>(result))) return;
  }
  std::string text = ResultText(result);
  if (entry.name[0] != 0) std::printf("%s: %s\n", Printable(entry.name).c_str(), text.c_str());
  else std::printf("#%d: %s\n", static_cast<int>(index), text.c_str());
}

}  // namespace

int CommandList(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: fwpkg list ARCHIVE\n");
    return 2;
  }
  InstallToolPlatform();
  char16_t path[ARG_CAPACITY];
  ArgumentToWide(argv[0], path, ARG_CAPACITY);
  ArchiveHandle handle = ArchiveOpenFile(path, nullptr);
  if (handle == nullptr) {
    std::fprintf(stderr, "fwpkg list: %s: %s\n", argv[0], UnpackFailureText(ArchiveLastResult()).c_str());
    return 1;
  }
  ArchiveEntry entry{};
  ArchiveGetEntry(handle, -1, &entry);
  int32_t count = entry.index;
  int status = 0;
  FailureTally tally;
  for (int32_t i = 0; i < count; ++i) {
    ArchiveResult result = ArchiveGetEntry(handle, i, &entry);
    if (result != ArchiveResult::Ok) {
      status = 1;
      if (!TallyFailure(&tally, static_cast<uint32_t>(result))) continue;
      std::fprintf(stderr, "fwpkg list: entry %d: %s\n", static_cast<int>(i), ResultText(result).c_str());
      continue;
    }
    std::string name = Printable(entry.name);
    char time[64];
    FormatFileTime(entry.writeTime, time, sizeof time);
    // The sizes are the directory's 32-bit fields: 2 GiB and more are no negative numbers.
    std::printf("%d\t%s\t0x%08X\t%u\t%u\t%s\n", static_cast<int>(entry.index), name.c_str(),
                static_cast<unsigned>(entry.attributes), static_cast<unsigned>(static_cast<uint32_t>(entry.uncompressedSize)),
                static_cast<unsigned>(static_cast<uint32_t>(entry.compressedSize)), time);
  }
  ArchiveClose(handle);
  PrintHidden(stderr, "fwpkg list: ", tally);
  return status;
}

int CommandUnpack(int argc, char** argv) {
  const char* archive = nullptr;
  const char* folder = nullptr;
  const char* password = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--password") == 0) {
      if (i + 1 >= argc) {
        archive = nullptr;
        break;
      }
      password = argv[++i];
    } else if (archive == nullptr) {
      archive = argv[i];
    } else if (folder == nullptr) {
      folder = argv[i];
    } else {
      folder = nullptr;
      break;
    }
  }
  if (archive == nullptr || folder == nullptr) {
    std::fprintf(stderr, "usage: fwpkg unpack ARCHIVE DIR [--password TEXT]\n");
    return 2;
  }
  InstallToolPlatform();
  char16_t archivePath[ARG_CAPACITY];
  char16_t folderPath[ARG_CAPACITY];
  ArgumentToWide(archive, archivePath, ARG_CAPACITY);
  ArgumentToWide(folder, folderPath, ARG_CAPACITY);
  // The archive first: one that does not open makes no folder.
  ArchiveHandle handle = ArchiveOpenFile(archivePath, password);
  if (handle == nullptr) {
    std::fprintf(stderr, "fwpkg unpack: %s: %s\n", archive, UnpackFailureText(ArchiveLastResult()).c_str());
    return 1;
  }
  UnpackTarget target;
  std::string why;
  ArchiveResult opened = OpenTarget(folderPath, &target, &why);
  if (opened != ArchiveResult::Ok) {
    ArchiveClose(handle);
    std::fprintf(stderr, "fwpkg unpack: %s: %s (%s)\n", folder, ResultText(opened).c_str(), why.c_str());
    return 1;
  }
  UnpackReport report{};
  ArchiveEntry count{};
  ArchiveGetEntry(handle, -1, &count);
  for (int32_t i = 0; i < count.index; ++i) {
    ArchiveEntry e{};
    ArchiveResult got = ArchiveGetEntry(handle, i, &e);
    ReportEntry(i, e, got, got == ArchiveResult::Ok ? UnpackEntry(handle, i, e, &target) : got, &report);
  }
  ArchiveClose(handle);
  PrintHidden(stdout, "", report.tally);
  std::fflush(stdout);
  return report.failures == 0 ? 0 : 1;
}
