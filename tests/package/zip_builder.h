// A small ZIP writer for the tests that need archives no real writer makes: damaged headers,
// wrong CRCs, sizes that lie, odd extra fields, names that climb. Deflate through zlib.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace packagetest {

// 2021-06-15 10:20:30 as a DOS date (high half) and time (low half).
constexpr uint32_t DOS_2021_06_15_102030 = (((41u << 9) | (6u << 5) | 15u) << 16) | ((10u << 11) | (20u << 5) | 15u);

struct ZipItem {
  ZipItem() = default;
  ZipItem(std::string n, std::string d, uint16_t m = 8) : name(std::move(n)), data(std::move(d)), method(m) {}
  std::string name;
  std::string data;
  uint16_t method = 8;
  uint16_t madeBy = (3 << 8) | 30;  // Unix, version 3.0
  uint32_t external = 0x81A40000;   // -rw-r--r--
  uint16_t flags = 0;
  uint32_t dosDateTime = DOS_2021_06_15_102030;
  std::string localExtra;
  std::string centralExtra;
  bool descriptor = false;  // flag bit 3, zero CRC and sizes in the local header, a descriptor after the data
  // Lies, written into both headers (or only the local one where named).
  std::optional<uint32_t> crc, compressedSize, uncompressedSize;
  std::optional<uint16_t> localMethod, localNameLength;
  std::optional<uint32_t> localCrc;
  std::optional<std::string> rawData;  // written instead of the (compressed) data
};

struct ZipLayout {
  std::vector<size_t> localOffsets;
  std::vector<size_t> dataOffsets;
  std::vector<size_t> centralOffsets;
  size_t centralOffset = 0;
  size_t endOffset = 0;
};

inline void Put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}
inline void Patch16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void Patch32(std::string& s, size_t at, uint32_t v) {
  Patch16(s, at, v & 0xFFFF);
  Patch16(s, at + 2, v >> 16);
}

inline std::string RawDeflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// The "UT" extra field with the times whose flags are set (bit 0 write, 1 access, 2 creation).
inline std::string UtExtra(uint8_t flags, int32_t write, int32_t access, int32_t creation) {
  std::string body(1, static_cast<char>(flags));
  if (flags & 1) Put32(body, static_cast<uint32_t>(write));
  if (flags & 2) Put32(body, static_cast<uint32_t>(access));
  if (flags & 4) Put32(body, static_cast<uint32_t>(creation));
  std::string s = "UT";
  Put16(s, static_cast<uint32_t>(body.size()));
  return s + body;
}

inline std::string BuildZip(const std::vector<ZipItem>& items, ZipLayout* layout = nullptr,
                            const std::string& comment = "", const std::string& prefix = "") {
  ZipLayout l;
  std::string out = prefix;
  std::string central;
  for (const ZipItem& item : items) {
    std::string payload = item.method == 8 ? RawDeflate(item.data) : item.data;
    if (item.rawData) payload = *item.rawData;
    uint32_t crc = item.crc ? *item.crc : Crc(item.data);
    uint32_t csize = item.compressedSize ? *item.compressedSize : static_cast<uint32_t>(payload.size());
    uint32_t usize = item.uncompressedSize ? *item.uncompressedSize : static_cast<uint32_t>(item.data.size());
    uint16_t flags = static_cast<uint16_t>(item.flags | (item.descriptor ? 8 : 0));
    size_t local = out.size() - prefix.size();
    l.localOffsets.push_back(out.size());
    Put32(out, 0x04034B50);
    Put16(out, 20);
    Put16(out, flags);
    Put16(out, item.localMethod ? *item.localMethod : item.method);
    Put32(out, item.dosDateTime);
    Put32(out, item.descriptor ? 0 : (item.localCrc ? *item.localCrc : crc));
    Put32(out, item.descriptor ? 0 : csize);
    Put32(out, item.descriptor ? 0 : usize);
    Put16(out, item.localNameLength ? *item.localNameLength : static_cast<uint32_t>(item.name.size()));
    Put16(out, static_cast<uint32_t>(item.localExtra.size()));
    out += item.name;
    out += item.localExtra;
    l.dataOffsets.push_back(out.size());
    out += payload;
    if (item.descriptor) {
      Put32(out, 0x08074B50);
      Put32(out, crc);
      Put32(out, csize);
      Put32(out, usize);
    }
    l.centralOffsets.push_back(central.size());
    Put32(central, 0x02014B50);
    Put16(central, item.madeBy);
    Put16(central, 20);
    Put16(central, flags);
    Put16(central, item.method);
    Put32(central, item.dosDateTime);
    Put32(central, crc);
    Put32(central, csize);
    Put32(central, usize);
    Put16(central, static_cast<uint32_t>(item.name.size()));
    Put16(central, static_cast<uint32_t>(item.centralExtra.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, item.external);
    Put32(central, static_cast<uint32_t>(local));
    central += item.name;
    central += item.centralExtra;
  }
  l.centralOffset = out.size();
  for (size_t& c : l.centralOffsets) c += l.centralOffset;
  out += central;
  l.endOffset = out.size();
  Put32(out, 0x06054B50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint32_t>(items.size()));
  Put16(out, static_cast<uint32_t>(items.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, static_cast<uint32_t>(l.centralOffset - prefix.size()));
  Put16(out, static_cast<uint32_t>(comment.size()));
  out += comment;
  if (layout != nullptr) *layout = l;
  return out;
}

}  // namespace packagetest
