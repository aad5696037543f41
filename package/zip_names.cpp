// The ZIP reader's rules for entry names, and the paths and folders they become: a name is
// sanitised (drive prefixes, leading separators and climbing parts dropped), refused when a
// component climbs to a parent or names a Windows device, and joined to the base folder.
#include <cstring>
#include <initializer_list>

#include "package/zip_reader_private.h"
#include "platform/platform.h"
#include "platform/text.h"

using platform::Sys;

namespace zipreader {
namespace {

// A device name of n units, compared without regard to ASCII letter case.
bool IsDeviceName(const char16_t* name, size_t n) {
  auto same = [&](const char16_t* device, size_t length) {
    if (n < length) return false;
    for (size_t k = 0; k < length; ++k) {
      char16_t c = name[k];
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
      if (c != device[k]) return false;
    }
    return true;
  };
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    size_t length = platform::TextLength(device);
    if (n == length && same(device, length)) return true;
  }
  if (n == 4 && (same(u"COM", 3) || same(u"LPT", 3))) {
    char16_t digit = name[3];
    return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
  }
  return false;
}

}  // namespace

bool IsAbsolute(const char16_t* path) {
  return IsSeparator(path[0]) || (path[0] != 0 && path[1] == u':');
}

bool JoinPath(char16_t* out, const char16_t* a, const char16_t* b, size_t bLength, const char16_t* c) {
  size_t la = platform::TextLength(a), lc = platform::TextLength(c);
  if (la + bLength + lc > ARCHIVE_MAX_PATH) return false;
  std::memcpy(out, a, la * sizeof(char16_t));
  std::memcpy(out + la, b, bLength * sizeof(char16_t));
  std::memcpy(out + la + bLength, c, lc * sizeof(char16_t));
  out[la + bLength + lc] = 0;
  return true;
}

bool EnsureFolder(const char16_t* base, const char16_t* folder, size_t length) {
  if (platform::TextLength(base) + length > ARCHIVE_MAX_PATH) return false;
  if (base[0] != 0) Sys().MakeFolder(base);
  char16_t path[ARCHIVE_MAX_PATH + 1];
  for (size_t i = 1; i <= length; ++i) {
    if (i < length && !IsSeparator(folder[i])) continue;
    if (IsSeparator(folder[i - 1]) && i == length) break;  // "a/b/": "a/b" was made already
    if (!JoinPath(path, base, folder, i, u"")) return false;
    Sys().MakeFolder(path);
  }
  return true;
}

}  // namespace zipreader

using zipreader::IsDeviceName;
using zipreader::IsSeparator;

void ArchiveSanitiseName(char16_t* name) {
  static const char16_t* const patterns[] = {u"\\..\\", u"\\../", u"/../", u"/..\\"};
  for (;;) {
    size_t length = platform::TextLength(name);
    size_t drop = 0;
    if (length > 0 && name[1] == u':') {
      drop = 2;
    } else if (IsSeparator(name[0])) {
      drop = 1;
    } else {
      for (const char16_t* pattern : patterns) {
        ptrdiff_t at = platform::TextFind(name, pattern);
        if (at >= 0) {
          drop = static_cast<size_t>(at) + 4;
          break;
        }
      }
    }
    if (drop == 0) return;
    std::memmove(name, name + drop, (length - drop + 1) * sizeof(char16_t));
  }
}

namespace {

// True when test holds for some component of path (the text between separators), each given
// as its first unit and its length.
bool AnyComponent(const char16_t* path, bool (*test)(const char16_t* component, size_t length)) {
  size_t i = 0;
  for (;;) {
    size_t start = i;
    while (path[i] != 0 && !IsSeparator(path[i])) ++i;
    if (test(path + start, i - start)) return true;
    if (path[i] == 0) return false;
    ++i;
  }
}

// Dots and blanks only, with two dots or more, up to the first ':' (what follows names a stream).
bool NamesParent(const char16_t* c, size_t length) {
  size_t end = 0;
  while (end < length && c[end] != u':') ++end;
  size_t dots = 0;
  bool onlyDotsAndBlanks = end > 0;
  for (size_t k = 0; k < end; ++k) {
    if (c[k] == u'.') ++dots;
    else if (c[k] != u' ') onlyDotsAndBlanks = false;
  }
  return onlyDotsAndBlanks && dots >= 2;
}

// What Windows takes for the device: the component up to its first '.' or ':', without the blanks
// that end it.
bool NamesDevice(const char16_t* c, size_t length) {
  size_t end = 0;
  while (end < length && c[end] != u'.' && c[end] != u':') ++end;
  while (end > 0 && c[end - 1] == u' ') --end;
  return IsDeviceName(c, end);
}

}  // namespace

bool ArchivePathClimbs(const char16_t* path) { return AnyComponent(path, NamesParent); }

bool ArchivePathNamesDevice(const char16_t* path) { return AnyComponent(path, NamesDevice); }
