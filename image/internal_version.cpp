// Reading an image file, and the internal version string inside an image.
#include <cstdint>
#include <cstring>

#include "image/firmware_image.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

bool IsAsciiAlnum(uint8_t b) {
  return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
}

// Counts the dots of the 8-byte window that starts at start (which may lie one byte before the
// image): the walk ends at the first byte that is neither a letter, a digit nor a dot, at a
// second dot in a row, and at the image's edges.
int CountWindowDots(const uint8_t* image, size_t size, ptrdiff_t start) {
  int dots = 0;
  bool afterDot = false;
  for (size_t i = 0; i < INTERNAL_VERSION_CHARS; ++i) {
    ptrdiff_t p = start + static_cast<ptrdiff_t>(i);
    if (p < 0 || static_cast<size_t>(p) >= size) break;
    uint8_t b = image[p];
    if (b == '.') {
      if (afterDot) break;
      ++dots;
      afterDot = true;
    } else if (IsAsciiAlnum(b)) {
      afterDot = false;
    } else {
      break;
    }
  }
  return dots;
}

}  // namespace

int32_t ReadFileData(const char16_t* path, uint32_t count, void* buffer) {
  if (path == nullptr) return 0;
  platform::System& sys = platform::Sys();
  platform::FileHandle file = sys.OpenFile(path, platform::FileMode::ReadExisting);
  if (file == platform::INVALID_FILE) return 0;
  int32_t result = 0;
  if (buffer == nullptr) {
    uint64_t size = 0;
    if (sys.GetFileSize(file, &size) && size <= static_cast<uint64_t>(INT32_MAX))
      result = static_cast<int32_t>(size);
  } else {
    uint32_t done = 0;
    if (count > static_cast<uint32_t>(INT32_MAX)) count = static_cast<uint32_t>(INT32_MAX);
    if (sys.ReadFile(file, buffer, count, &done) && done <= count) result = static_cast<int32_t>(done);
  }
  sys.CloseFile(file);
  return result;
}

bool FindInternalVersion(const uint8_t* image, size_t size, char* out) {
  if (out == nullptr) return false;
  out[0] = 0;
  if (image == nullptr) return false;
  size_t position = 0;
  while (position < size) {
    const void* found = std::memchr(image + position, '.', size - position);
    if (found == nullptr) break;
    ptrdiff_t dot = static_cast<const uint8_t*>(found) - image;
    ptrdiff_t start = dot - 1;
    if (CountWindowDots(image, size, start) == 3) {
      // The window starts at a letter, digit or dot inside the image; bytes past the image's end
      // read as the terminator.
      size_t n = 0;
      for (; n < INTERNAL_VERSION_CHARS; ++n) {
        size_t p = static_cast<size_t>(start) + n;
        if (p >= size) break;
        out[n] = static_cast<char>(image[p]);
      }
      out[n] = 0;
      break;
    }
    position = static_cast<size_t>(start + static_cast<ptrdiff_t>(INTERNAL_VERSION_CHARS));
  }
  return out[0] != 0;
}

bool ImageInternalVersion(const uint8_t* image, size_t size, char16_t* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = 0;
  char version[INTERNAL_VERSION_BUFFER] = {};
  if (image == nullptr || !FindInternalVersion(image, size, version)) return false;
  platform::AnsiToWide(version, -1, out, capacity);
  return out[0] != 0;
}

bool GetImageInternalVersion(const char16_t* path, char16_t* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = 0;
  int32_t size = ReadFileData(path, 0, nullptr);
  if (size <= 0) return false;
  platform::System& sys = platform::Sys();
  uint8_t* image = static_cast<uint8_t*>(sys.PageAlloc(static_cast<size_t>(size)));
  if (image == nullptr) return false;
  int32_t read = ReadFileData(path, static_cast<uint32_t>(size), image);
  bool found = read > 0 && ImageInternalVersion(image, static_cast<size_t>(read), out, capacity);
  sys.PageFree(image);
  return found;
}

namespace {

// 1 when the drive's version and the image's agree in their first parts dot-separated parts.
int32_t VersionsAgree(const char16_t* driveVersion, int32_t parts, char16_t* image) {
  char16_t drive[64] = {};
  platform::TextCopy(drive, 64, driveVersion != nullptr ? driveVersion : u"");
  int dots = 0;
  for (size_t j = 0; j < INTERNAL_VERSION_CHARS && drive[j] != 0; ++j) {
    if (drive[j] == u'.') ++dots;
    if (dots == parts) {
      drive[j] = 0;
      image[j] = 0;
      break;
    }
  }
  return platform::TextEqual(drive, image) ? 1 : 0;
}

}  // namespace

int32_t CheckInternalVersion(const char16_t* driveVersion, int32_t parts, const char16_t* imagePath) {
  char16_t image[INTERNAL_VERSION_BUFFER] = {};
  if (!GetImageInternalVersion(imagePath, image, INTERNAL_VERSION_BUFFER)) return 0;
  return VersionsAgree(driveVersion, parts, image);
}

int32_t CheckInternalVersionOf(const char16_t* driveVersion, int32_t parts, const uint8_t* image, size_t size) {
  char16_t version[INTERNAL_VERSION_BUFFER] = {};
  if (!ImageInternalVersion(image, size, version, INTERNAL_VERSION_BUFFER)) return 0;
  return VersionsAgree(driveVersion, parts, version);
}
