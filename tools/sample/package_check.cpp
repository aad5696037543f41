#include "tools/sample/package_check.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "image/firmware_image.h"
#include "nvme/flash_id.h"
#include "package/zip_reader.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr const char16_t* INI_NAME = u"QuorvelaInfo.ini";
constexpr const char16_t* SECTION = u"UPDATEINFO";
constexpr const char16_t* MISSING = u"\x01";  // a default no file can hold
constexpr uint32_t READ_ROOM = 8192;           // room to learn a value's full length
constexpr size_t PATH_ROOM = 1024;

// Read capacities of the program (terminator included) and the room its buffers leave.
constexpr size_t TITLE_CHARS = 260;
constexpr size_t SHORT_CHARS = 64;
constexpr size_t FWVERSION_CHARS = 260;
constexpr size_t MESSAGE_CHARS = 1024;
constexpr size_t REPLACE_CHARS = 1000;  // the working buffer of the "<BR>" replacement

std::string Narrow(const std::u16string& text) { return platform::Utf8(text.c_str()); }

std::string Quoted(const std::u16string& text) {
  std::string out(1, '"');
  out += Narrow(text);
  out += '"';
  return out;
}

void Add(CheckReport* report, CheckLevel level, const std::string& subject, const std::string& text) {
  report->findings.push_back({level, subject, text});
  if (level == CheckLevel::Error) ++report->errors;
  if (level == CheckLevel::Warning) ++report->warnings;
}

std::u16string Join(const std::u16string& folder, const std::u16string& name) {
  if (!folder.empty() && (folder.back() == u'\\' || folder.back() == u'/')) return folder + name;
  return folder + u"\\" + name;
}

bool EndsWithNoCase(const std::u16string& text, const char16_t* tail) {
  size_t n = platform::TextLength(tail);
  return text.size() >= n && platform::TextEqualNoCase(text.c_str() + (text.size() - n), tail);
}

// One folder listing: names and whether each is a folder, "." and ".." left out.
struct Listing {
  std::vector<std::pair<std::u16string, bool>> entries;
};
bool Collect(const platform::FindData& data, void* context) {
  std::u16string name = data.name;
  if (name == u"." || name == u"..") return true;
  static_cast<Listing*>(context)->entries.emplace_back(
      name, (data.attributes & platform::FILE_ATTR_DIRECTORY) != 0);
  return true;
}
Listing List(const std::u16string& folder) {
  Listing listing;
  platform::Sys().FindFiles(Join(folder, u"*.*").c_str(), Collect, &listing);
  return listing;
}

// ---- the information file

struct IniValue {
  bool present;
  std::u16string text;
};

IniValue ReadIni(const std::u16string& ini, const char16_t* key) {
  std::vector<char16_t> buffer(READ_ROOM, 0);
  platform::Sys().ProfileString(SECTION, key, MISSING, buffer.data(), READ_ROOM, ini.c_str());
  if (platform::TextEqual(buffer.data(), MISSING)) return {false, u""};
  return {true, buffer.data()};
}

bool IsUpperHex(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); }

// "-"? digits, as an integer key must read.
bool ParseInteger(const std::u16string& text, long long* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  if (i == text.size() || text.size() - i > 9) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    v = v * 10 + (text[i] - u'0');
  }
  *value = negative ? -v : v;
  return true;
}

std::u16string ReplaceTag(std::u16string text, const std::u16string& find, const std::u16string& with) {
  for (size_t at = text.find(find); at != std::u16string::npos; at = text.find(find, at + with.size()))
    text.replace(at, find.size(), with);
  return text;
}

void CheckLength(CheckReport* report, const char* key, const IniValue& v, size_t capacity) {
  if (v.text.size() >= capacity)
    Add(report, CheckLevel::Error, key,
        std::to_string(v.text.size()) + " characters; only " + std::to_string(capacity - 1) +
            " are read");
}

void CheckMessage(CheckReport* report, const std::u16string& ini, const char16_t* key) {
  std::string name = Narrow(key);
  IniValue v = ReadIni(ini, key);
  if (!v.present || v.text.empty()) {
    Add(report, CheckLevel::Warning, name, "empty: the box shows no text");
    return;
  }
  std::u16string shown = ReplaceTag(v.text, u"<BR>", u"\r\n");
  if (v.text.size() >= MESSAGE_CHARS) {
    CheckLength(report, name.c_str(), v, MESSAGE_CHARS);
  } else if (v.text.size() >= REPLACE_CHARS || shown.size() >= REPLACE_CHARS) {
    Add(report, CheckLevel::Error, name,
        std::to_string(shown.size()) + " characters with line breaks; at most " +
            std::to_string(REPLACE_CHARS - 1) + " fit");
  } else {
    Add(report, CheckLevel::Ok, name, std::to_string(shown.size()) + " characters");
  }
}

void CheckIni(const std::u16string& folder, CheckReport* report) {
  std::u16string ini = Join(folder, INI_NAME);
  platform::FileHandle f = platform::Sys().OpenFile(ini.c_str(), platform::FileMode::ReadExisting);
  if (f == platform::INVALID_FILE) {
    Add(report, CheckLevel::Error, "QuorvelaInfo.ini", "missing: the program runs as \"Package Error\"");
    return;
  }
  platform::Sys().CloseFile(f);

  IniValue title = ReadIni(ini, u"TITLE");
  if (!title.present || title.text.empty())
    Add(report, CheckLevel::Error, "TITLE", "missing: the caption reads \"Package Error\"");
  else if (title.text.size() >= TITLE_CHARS)
    CheckLength(report, "TITLE", title, TITLE_CHARS);
  else
    Add(report, CheckLevel::Ok, "TITLE", Quoted(title.text));

  IniValue soc = ReadIni(ini, u"SOCID");
  bool hex = soc.text.size() == 4;
  for (char16_t c : soc.text) hex = hex && IsUpperHex(c);
  if (soc.text.empty())
    Add(report, CheckLevel::Error, "SOCID", "empty: no drive is listed");
  else if (soc.text == u"*" || soc.text == u"TORVANEX" || hex)
    Add(report, CheckLevel::Ok, "SOCID", Narrow(soc.text));
  else
    Add(report, CheckLevel::Error, "SOCID",
        Quoted(soc.text) + " is not *, TORVANEX or four upper-case hexadecimal digits");

  IniValue model = ReadIni(ini, u"ModelName");
  if (model.text.empty())
    Add(report, CheckLevel::Warning, "ModelName", "empty: drives of every model are listed");
  else if (model.text.size() >= SHORT_CHARS)
    CheckLength(report, "ModelName", model, SHORT_CHARS);
  else
    Add(report, CheckLevel::Ok, "ModelName", Quoted(model.text));

  IniValue fw = ReadIni(ini, u"FWVersion");
  if (fw.text.empty()) {
    Add(report, CheckLevel::Error, "FWVersion", "empty: no drive's firmware revision can match");
  } else if (fw.text.size() + 2 >= FWVERSION_CHARS) {
    Add(report, CheckLevel::Error, "FWVersion",
        std::to_string(fw.text.size()) + " characters; at most " +
            std::to_string(FWVERSION_CHARS - 3) + " fit with a semicolon at each end");
  } else {
    size_t items = 1;
    bool emptyItem = fw.text.front() == u';' || fw.text.back() == u';';
    for (size_t i = 0; i < fw.text.size(); ++i) {
      if (fw.text[i] != u';') continue;
      ++items;
      if (i + 1 < fw.text.size() && fw.text[i + 1] == u';') emptyItem = true;
    }
    if (emptyItem)
      Add(report, CheckLevel::Warning, "FWVersion", "the list has an empty item");
    Add(report, CheckLevel::Ok, "FWVersion", std::to_string(items) + " revisions");
  }

  IniValue next = ReadIni(ini, u"NEWVERSION");
  report->newVersion = Narrow(next.text);
  if (next.text.empty())
    Add(report, CheckLevel::Error, "NEWVERSION",
        "empty: the drive's firmware name would be cleared (KEEP keeps it)");
  else if (next.text.size() >= SHORT_CHARS)
    CheckLength(report, "NEWVERSION", next, SHORT_CHARS);
  else if (platform::TextEqualNoCase(next.text.c_str(), u"KEEP"))
    Add(report, CheckLevel::Ok, "NEWVERSION", "KEEP: the drive keeps its firmware name");
  else if (next.text.size() > sizeof(ConfigBlock::fwName))
    Add(report, CheckLevel::Warning, "NEWVERSION",
        Quoted(next.text) + " is cut to the 8 bytes of the firmware name");
  else
    Add(report, CheckLevel::Ok, "NEWVERSION", Quoted(next.text));

  IniValue parts = ReadIni(ini, u"iInternalFWVersionCheckPart");
  long long n = 3;
  if (parts.present && (!ParseInteger(parts.text, &n) || n < 0))
    Add(report, CheckLevel::Error, "iInternalFWVersionCheckPart",
        Quoted(parts.text) + " is not a count of version parts");
  else
    Add(report, CheckLevel::Ok, "iInternalFWVersionCheckPart",
        std::to_string(n) + (parts.present ? "" : " (the default)"));

  CheckMessage(report, ini, u"BeforeMessage");
  CheckMessage(report, ini, u"AfterMessage");

  IniValue power = ReadIni(ini, u"PowerCtrl");
  long long p = 0;
  if (power.present && (!ParseInteger(power.text, &p) || p < 0 || p > 2))
    Add(report, CheckLevel::Error, "PowerCtrl", Quoted(power.text) + " is not 0, 1 or 2");
  else
    Add(report, CheckLevel::Ok, "PowerCtrl", std::to_string(p) + (power.present ? "" : " (the default)"));
}

// ---- the images

bool KnownFlashTypeName(const std::u16string& name, bool* exactCase) {
  for (size_t i = 0; i < FlashTypeCount(); ++i) {
    const char16_t* known = FlashTypeNameAt(i);
    if (known == nullptr || !platform::TextEqualNoCase(known, name.c_str())) continue;
    *exactCase = platform::TextEqual(known, name.c_str());
    return true;
  }
  return false;
}

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(v));
  return text;
}

void CheckImage(const std::u16string& folder, const std::u16string& fileName, CheckReport* report) {
  std::string subject = Narrow(fileName);
  std::u16string type = fileName.substr(0, fileName.size() - 3);
  bool exactCase = false;
  if (!KnownFlashTypeName(type, &exactCase))
    Add(report, CheckLevel::Error, subject, Quoted(type) + " is not a known flash type name");
  else if (!exactCase)
    Add(report, CheckLevel::Warning, subject, "the flash type name differs in letter case");

  std::u16string path = Join(folder, fileName);
  int32_t size = ReadFileData(path.c_str(), 0, nullptr);
  if (size <= 0) {
    Add(report, CheckLevel::Error, subject, "empty or unreadable");
    return;
  }
  platform::System& sys = platform::Sys();
  uint8_t* image = static_cast<uint8_t*>(sys.PageAlloc(static_cast<size_t>(size)));
  if (image == nullptr) {
    Add(report, CheckLevel::Error, subject, "too large to hold in memory");
    return;
  }
  int32_t read = ReadFileData(path.c_str(), static_cast<uint32_t>(size), image);
  size_t bytes = read > 0 ? static_cast<size_t>(read) : 0;
  if (bytes != static_cast<size_t>(size)) Add(report, CheckLevel::Error, subject, "could not be read whole");

  if (bytes % IMAGE_PAGE_BYTES != 0)
    Add(report, CheckLevel::Error, subject,
        std::to_string(bytes) + " bytes is not a whole number of 4096-byte pages");

  ImageLayout layout{};
  int result = ReadImageLayout(image, bytes, &layout);
  if (result == IMAGE_NOT_CONFIG) {
    Add(report, CheckLevel::Error, subject,
        "no CMFG page table: the drive's configuration cannot be carried into it");
  } else if (result != IMAGE_OK) {
    Add(report, CheckLevel::Error, subject,
        "the page ranges or the trailer page lie outside the image's " +
            std::to_string(bytes / IMAGE_PAGE_BYTES) + " pages");
  } else {
    uint32_t computed = ComputeImageCrc(image, layout);
    uint32_t stored = StoredImageCrc(image, layout);
    std::string pages = std::to_string(bytes / IMAGE_PAGE_BYTES) + " pages, configuration page " +
                        std::to_string(layout.ranges[IMAGE_CONFIG_RANGE].first) + ", trailer page " +
                        std::to_string(layout.trailerOffset / IMAGE_PAGE_BYTES);
    if (computed == stored)
      Add(report, CheckLevel::Ok, subject, pages + ", CRC " + Hex32(stored));
    else
      Add(report, CheckLevel::Error, subject,
          pages + ": the trailer holds CRC " + Hex32(stored) + " but the image gives " + Hex32(computed));
  }

  char version[INTERNAL_VERSION_BUFFER] = {};
  if (FindInternalVersion(image, bytes, version))
    Add(report, CheckLevel::Ok, subject, std::string("internal version ") + version);
  else
    Add(report, CheckLevel::Error, subject, "no internal version: every update would be declined");
  sys.PageFree(image);
}

// ---- temporary folders

void RemoveTree(const std::u16string& folder) {
  platform::System& sys = platform::Sys();
  for (const auto& [name, isFolder] : List(folder).entries) {
    std::u16string path = Join(folder, name);
    if (isFolder) {
      RemoveTree(path);
    } else {
      sys.SetAttributes(path.c_str(), platform::FILE_ATTR_NORMAL);
      sys.RemoveFile(path.c_str());
    }
  }
  sys.RemoveFolder(folder.c_str());
}

std::u16string MakeScratchFolder() {
  static std::atomic<unsigned> counter{0};
  char16_t temp[PATH_ROOM] = {};
  platform::Sys().TempFolderPath(temp, PATH_ROOM);
  auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  char name[64];
  std::snprintf(name, sizeof(name), "qv-check-%llx-%u", static_cast<unsigned long long>(ticks),
                counter++);
  std::u16string folder = Join(temp, platform::Utf16(name));
  if (!platform::Sys().MakeFolder(folder.c_str())) return u"";
  return folder;
}

// ---- entry names

// An entry's name as the program gets it and as the archive stores it.
struct StoredName {
  int32_t index;
  std::u16string name;
  std::vector<uint8_t> bytes;
};

StoredName ReadStoredName(ArchiveHandle handle, const ArchiveEntry& entry) {
  StoredName n{entry.index, entry.name, std::vector<uint8_t>(260)};
  uint32_t length = 0;
  ArchiveGetStoredName(handle, entry.index, n.bytes.data(), static_cast<uint32_t>(n.bytes.size()), &length);
  n.bytes.resize(length < n.bytes.size() ? length : n.bytes.size());
  return n;
}

std::string StoredBytes(const StoredName& n) {
  std::string hex = "(bytes";
  char byte[4];
  for (uint8_t b : n.bytes) {
    std::snprintf(byte, sizeof byte, " %02X", b);
    hex += byte;
  }
  return hex + ")";
}

// The path that Windows opens for a name, in a form to compare: its components between either
// separator, each without the trailing dots and blanks that Windows drops, without empty and "."
// components, joined by "\\" and in one letter case as the system compares names.
std::u16string WindowsPathKey(const std::u16string& name) {
  std::u16string key;
  for (size_t start = 0; start <= name.size();) {
    size_t end = start;
    while (end < name.size() && name[end] != u'\\' && name[end] != u'/') ++end;
    size_t keep = end;
    while (keep > start && (name[keep - 1] == u'.' || name[keep - 1] == u' ')) --keep;
    if (keep > start) {
      if (!key.empty()) key += u'\\';
      for (size_t k = start; k < keep; ++k) key += platform::LowerChar(name[k]);
    }
    start = end + 1;
  }
  return key;
}

// Names the program cannot tell apart: a stored name that is not UTF-8 (its bytes become U+FFFD),
// and two entries that land on one path on Windows, where the later replaces the earlier without
// a word. Names that climb out of the folder are refused on extraction and not compared.
void CheckNames(const std::vector<StoredName>& names, CheckReport* report) {
  int notUtf8 = 0;
  std::vector<std::pair<std::u16string, size_t>> keys;
  for (size_t i = 0; i < names.size(); ++i) {
    const StoredName& n = names[i];
    if (n.name.find(u'\uFFFD') != std::u16string::npos && ++notUtf8 <= FAILURES_SHOWN)
      Add(report, CheckLevel::Error, "entry " + std::to_string(n.index) + " " + Narrow(n.name),
          "the stored name " + StoredBytes(n) + " is not UTF-8, which the program reads every name as: it unpacks as " +
              Quoted(n.name) + " (written in another code page, such as 437, without the UTF-8 flag)");
    std::u16string key = WindowsPathKey(n.name);
    if (!key.empty() && !ArchivePathClimbs(n.name.c_str())) keys.emplace_back(key, i);
  }
  // Each entry whose path an earlier one has, with the earliest of them, in the archive's order.
  std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<size_t, size_t>> same;
  for (size_t i = 1, first = 0; i < keys.size(); ++i) {
    if (keys[i].first != keys[first].first) first = i;
    else same.emplace_back(keys[i].second, keys[first].second);
  }
  std::sort(same.begin(), same.end());
  for (size_t i = 0; i < same.size() && i < FAILURES_SHOWN; ++i) {
    const StoredName& a = names[same[i].second];
    const StoredName& b = names[same[i].first];
    Add(report, CheckLevel::Error, "entries " + std::to_string(a.index) + " and " + std::to_string(b.index),
        Quoted(a.name) + " " + StoredBytes(a) + " and " + Quoted(b.name) + " " + StoredBytes(b) +
            " unpack to the same path on Windows, where the later entry replaces the earlier");
  }
  if (notUtf8 > FAILURES_SHOWN)
    Add(report, CheckLevel::Error, "package", std::to_string(notUtf8 - FAILURES_SHOWN) + " more names that are not UTF-8");
  if (same.size() > FAILURES_SHOWN)
    Add(report, CheckLevel::Error, "package",
        std::to_string(same.size() - FAILURES_SHOWN) + " more entries on a path an earlier one has");
}

}  // namespace

void CheckPackageFolder(const char16_t* folder, CheckReport* report) {
  std::u16string base = folder;
  CheckIni(base, report);
  Listing listing = List(base);
  int images = 0;
  for (const auto& [name, isFolder] : listing.entries) {
    if (isFolder) {
      Add(report, CheckLevel::Warning, Narrow(name),
          "a sub-folder: the program leaves it behind when it removes the package folder");
    } else if (EndsWithNoCase(name, u".fw") && name.size() > 3) {
      ++images;
      CheckImage(base, name, report);
    } else if (!platform::TextEqualNoCase(name.c_str(), INI_NAME)) {
      Add(report, CheckLevel::Warning, Narrow(name), "not used by the updater");
    }
  }
  if (images == 0) Add(report, CheckLevel::Error, "package", "no .fw image: no drive can be updated");
}

void CheckPackageArchive(const char16_t* archive, CheckReport* report) {
  std::string subject = Narrow(archive);
  ArchiveHandle handle = ArchiveOpenFile(archive, nullptr);
  if (handle == nullptr) {
    char16_t text[256];
    ArchiveOpenFailureText(text, 256);
    Add(report, CheckLevel::Error, subject, "cannot be unpacked: " + Narrow(text));
    return;
  }
  std::u16string folder = MakeScratchFolder();
  if (folder.empty()) {
    Add(report, CheckLevel::Error, subject, "no temporary folder to unpack into");
    ArchiveClose(handle);
    return;
  }
  ArchiveEntry entry{};
  ArchiveResult counted = ArchiveGetEntry(handle, -1, &entry);
  int32_t count = counted == ArchiveResult::Ok ? entry.index : 0;
  if (counted != ArchiveResult::Ok) {
    char16_t text[128];
    ArchiveResultText(counted, text, 128);
    Add(report, CheckLevel::Error, subject, Narrow(text));
  } else if (count == 0) {
    Add(report, CheckLevel::Error, subject, "the archive holds no entries");
  }
  bool directoryOk = ArchiveSetBaseFolder(handle, folder.c_str()) == ArchiveResult::Ok;
  FailureTally tally;
  std::vector<StoredName> names;
  for (int32_t i = 0; directoryOk && i < count; ++i) {
    ArchiveEntry e{};
    ArchiveResult r = ArchiveGetEntry(handle, i, &e);
    if (r == ArchiveResult::Ok) names.push_back(ReadStoredName(handle, e));
    if (r == ArchiveResult::Ok) r = ArchiveExtractEntry(handle, i, e.name);
    if (r != ArchiveResult::Ok && TallyFailure(&tally, static_cast<uint32_t>(r))) {
      char16_t text[128];
      ArchiveResultText(r, text, 128);
      Add(report, CheckLevel::Error, "entry " + std::to_string(i) + " " + Narrow(e.name), Narrow(text));
    }
  }
  for (const auto& [code, entries] : tally.counts) {
    if (entries <= FAILURES_SHOWN) continue;
    char16_t text[128];
    ArchiveResultText(static_cast<ArchiveResult>(code), text, 128);
    Add(report, CheckLevel::Error, subject,
        std::to_string(entries - FAILURES_SHOWN) + " more entries: " + Narrow(text));
  }
  ArchiveClose(handle);
  CheckNames(names, report);
  if (!directoryOk) Add(report, CheckLevel::Error, subject, "cannot unpack into the temporary folder");
  else if (count > 0) CheckPackageFolder(folder.c_str(), report);
  RemoveTree(folder);
}

void CheckPackage(const char16_t* path, CheckReport* report) {
  platform::FileHandle f = platform::Sys().OpenFile(path, platform::FileMode::ReadExisting);
  if (f != platform::INVALID_FILE) {
    platform::Sys().CloseFile(f);
    CheckPackageArchive(path, report);
    return;
  }
  std::u16string folder = path;
  if (platform::Sys().FindFiles(Join(folder, u"*.*").c_str(), nullptr, nullptr)) {
    CheckPackageFolder(path, report);
    return;
  }
  Add(report, CheckLevel::Error, Narrow(path), "neither a package archive nor a package folder");
}

std::string FormatFinding(const CheckFinding& finding) {
  const char* level = finding.level == CheckLevel::Error     ? "error"
                      : finding.level == CheckLevel::Warning ? "warning"
                                                             : "ok";
  return platform::EscapeControls(std::string(level) + ": " + finding.subject + ": " + finding.text);
}

bool TallyFailure(FailureTally* tally, uint32_t code) {
  for (auto& [seen, entries] : tally->counts) {
    if (seen != code) continue;
    ++entries;
    return entries <= FAILURES_SHOWN;
  }
  tally->counts.emplace_back(code, 1);
  return true;
}
