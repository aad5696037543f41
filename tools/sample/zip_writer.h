// A small ZIP writer for the sample package and for tests: stored or deflated members, correct
// CRC-32s, DOS times, one central directory and an end record. It writes the classic format only
// (no ZIP64, no encryption, no data descriptors).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// DOS date and time as the ZIP headers hold them (local time, two-second resolution).
constexpr uint16_t DosDate(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
constexpr uint16_t DosTime(int hour, int minute, int second) {
  return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

// Host systems of the "version made by" field.
constexpr uint8_t ZIP_HOST_DOS = 0;
constexpr uint8_t ZIP_HOST_UNIX = 3;

struct ZipMember {
  std::string name;  // UTF-8 with "/" between folders; a name ending in "/" is a folder entry
  std::vector<uint8_t> data;
  bool deflate = true;  // method 8 (raw deflate, best compression), otherwise method 0
  uint16_t dosDate = DosDate(2024, 1, 1);
  uint16_t dosTime = DosTime(12, 0, 0);
  uint8_t hostSystem = ZIP_HOST_DOS;
  uint32_t externalAttributes = 0x20;  // the archive bit; folder entries add 0x10
};

// The archive bytes of the members in their order, with an optional archive comment (at most
// 65,535 bytes). Returns an empty vector when a member cannot be stored in the classic format
// (a name over 65,535 bytes, 4 GiB or more of data, more than 65,535 members) or deflate fails.
std::vector<uint8_t> BuildZip(const std::vector<ZipMember>& members, const std::string& comment = "");

// Writes bytes to a host file, replacing it. Returns false when the file cannot be written whole.
bool WriteBytesToFile(const std::string& path, const std::vector<uint8_t>& bytes);
