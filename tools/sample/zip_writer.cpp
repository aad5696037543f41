#include "tools/sample/zip_writer.h"

#include <zlib.h>

#include <cstdio>

namespace {

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void PutBytes(std::vector<uint8_t>& out, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + length);
}

// Raw deflate (no zlib header), best compression.
bool Deflate(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  out->resize(deflateBound(&z, static_cast<uLong>(in.size())));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(out->size());
  int rc = deflate(&z, Z_FINISH);
  out->resize(z.total_out);
  deflateEnd(&z);
  return rc == Z_STREAM_END;
}

constexpr uint16_t VERSION_NEEDED_STORED = 10;
constexpr uint16_t VERSION_NEEDED_DEFLATED = 20;
constexpr uint16_t FLAG_UTF8_NAME = 0x0800;

}  // namespace

std::vector<uint8_t> BuildZip(const std::vector<ZipMember>& members, const std::string& comment) {
  if (members.size() > 0xFFFF || comment.size() > 0xFFFF) return {};
  std::vector<uint8_t> zip;
  std::vector<uint8_t> directory;
  for (const ZipMember& m : members) {
    if (m.name.empty() || m.name.size() > 0xFFFF || m.data.size() >= 0xFFFFFFFFull) return {};
    bool folder = m.name.back() == '/';
    bool deflated = m.deflate && !folder;
    std::vector<uint8_t> packed;
    if (deflated && !Deflate(m.data, &packed)) return {};
    const std::vector<uint8_t>& body = deflated ? packed : m.data;
    if (body.size() >= 0xFFFFFFFFull || zip.size() >= 0xFFFFFFFFull) return {};
    uint32_t crc = static_cast<uint32_t>(crc32(0, m.data.data(), static_cast<uInt>(m.data.size())));
    uint16_t needed = deflated ? VERSION_NEEDED_DEFLATED : VERSION_NEEDED_STORED;
    bool ascii = true;
    for (unsigned char c : m.name) ascii = ascii && c < 0x80;
    uint16_t flags = ascii ? 0 : FLAG_UTF8_NAME;
    uint32_t localOffset = static_cast<uint32_t>(zip.size());

    Put32(zip, 0x04034B50);
    Put16(zip, needed);
    Put16(zip, flags);
    Put16(zip, deflated ? 8 : 0);
    Put16(zip, m.dosTime);
    Put16(zip, m.dosDate);
    Put32(zip, crc);
    Put32(zip, static_cast<uint32_t>(body.size()));
    Put32(zip, static_cast<uint32_t>(m.data.size()));
    Put16(zip, static_cast<uint32_t>(m.name.size()));
    Put16(zip, 0);
    PutBytes(zip, m.name.data(), m.name.size());
    PutBytes(zip, body.data(), body.size());

    uint32_t attributes = m.externalAttributes | (folder ? 0x10u : 0u);
    Put32(directory, 0x02014B50);
    Put16(directory, (static_cast<uint32_t>(m.hostSystem) << 8) | VERSION_NEEDED_DEFLATED);
    Put16(directory, needed);
    Put16(directory, flags);
    Put16(directory, deflated ? 8 : 0);
    Put16(directory, m.dosTime);
    Put16(directory, m.dosDate);
    Put32(directory, crc);
    Put32(directory, static_cast<uint32_t>(body.size()));
    Put32(directory, static_cast<uint32_t>(m.data.size()));
    Put16(directory, static_cast<uint32_t>(m.name.size()));
    Put16(directory, 0);  // extra
    Put16(directory, 0);  // comment
    Put16(directory, 0);  // disk number start
    Put16(directory, 0);  // internal attributes
    Put32(directory, attributes);
    Put32(directory, localOffset);
    PutBytes(directory, m.name.data(), m.name.size());
  }
  if (zip.size() + directory.size() >= 0xFFFFFFFFull) return {};
  uint32_t directoryOffset = static_cast<uint32_t>(zip.size());
  PutBytes(zip, directory.data(), directory.size());
  Put32(zip, 0x06054B50);
  Put16(zip, 0);  // this disk
  Put16(zip, 0);  // disk with the directory
  Put16(zip, static_cast<uint32_t>(members.size()));
  Put16(zip, static_cast<uint32_t>(members.size()));
  Put32(zip, static_cast<uint32_t>(directory.size()));
  Put32(zip, directoryOffset);
  Put16(zip, static_cast<uint32_t>(comment.size()));
  PutBytes(zip, comment.data(), comment.size());
  return zip;
}

bool WriteBytesToFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) std::remove(path.c_str());
  return ok;
}
