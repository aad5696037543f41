// fwpkg list and unpack: the package archive through the program's own ZIP reader.
//
//   fwpkg list ARCHIVE
//     One line per entry, tab-separated: index, sanitised name, attributes (hex), uncompressed
//     size, compressed size (both unsigned, as the directory holds them), write time in UTC
//     (ISO 8601; "-" when the entry has none). An entry that cannot be read is reported on the
//     error output.
//   fwpkg unpack ARCHIVE DIR [--password TEXT]
//     Extracts every entry as the program does at start (UnpackArchive: the same reader, the same
//     calls in the same order) and prints "name: result text" for each; for an entry whose
//     record cannot be read, that failure ("#index: text"). Exit status 0 only when the archive
//     opened and every entry gave Ok.
//   Of each failure, only the first FAILURES_SHOWN entries get a line of their own; one line then
//   counts the rest. Control characters in names are escaped (\xHH), so an entry is one line; an
//   archive that does not open is reported with the kind of archive or damage it is.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/package_info.h"
#include "package/zip_reader.h"
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
  UnpackReport report{};
  ArchiveResult failure = ArchiveResult::Ok;
  int32_t count = UnpackArchive(archivePath, folderPath, password, ReportEntry, &report, &failure);
  if (count < 0) {
    // The failure itself: the last result is by now that of closing the archive.
    std::fprintf(stderr, "fwpkg unpack: %s: %s\n", archive, UnpackFailureText(failure).c_str());
    return 1;
  }
  PrintHidden(stdout, "", report.tally);
  std::fflush(stdout);
  return report.failures == 0 ? 0 : 1;
}
