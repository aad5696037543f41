// Byte helpers for the emulator tests: little- and big-endian fields written at the offsets the
// tables give, requests sent through the bench, and a small CMFG image.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "emu/bench.h"
#include "tests/nvme/recording_device.h"

namespace emutest {

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
inline std::string Text(const std::vector<uint8_t>& b, size_t at, size_t n) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), n);
}
inline std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int x : list) v.push_back(static_cast<uint8_t>(x));
  return v;
}

// A 64-byte NVMe command: opcode, NSID, CDW10 to CDW15.
inline std::vector<uint8_t> Command(uint8_t opcode, uint32_t nsid, uint32_t cdw10, uint32_t cdw11 = 0,
                                    uint32_t cdw12 = 0, uint32_t cdw13 = 0, uint32_t cdw14 = 0,
                                    uint32_t cdw15 = 0) {
  std::vector<uint8_t> c(64, 0);
  c[0] = opcode;
  Put32(c, 4, nsid);
  Put32(c, 40, cdw10);
  Put32(c, 44, cdw11);
  Put32(c, 48, cdw12);
  Put32(c, 52, cdw13);
  Put32(c, 56, cdw14);
  Put32(c, 60, cdw15);
  return c;
}
// A vendor command framed as the updater frames it: all namespaces, 1024 dwords, the signature
// "TORVANEX" with "ANEX" in CDW14 and "TORV" in CDW15.
inline std::vector<uint8_t> Vendor(uint8_t opcode, uint32_t cdw12) {
  return Command(opcode, 0xFFFFFFFF, 1024, 0, cdw12, 0, 0x58454E41, 0x56524F54);
}

// Sends one request on a fresh handle of the path.
struct Reply {
  bool ok = false;
  uint32_t error = 0;
  uint32_t returned = 0;
};
inline Reply Send(emu::Bench& bench, const std::u16string& path, uint32_t code, std::vector<uint8_t>& in,
                  std::vector<uint8_t>& out) {
  Reply r;
  platform::DeviceHandle h = bench.Open(path.c_str(), &r.error);
  if (h == platform::INVALID_DEVICE) return r;
  r.ok = bench.Control(h, code, in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size()),
                       out.empty() ? nullptr : out.data(), static_cast<uint32_t>(out.size()), &r.returned,
                       &r.error);
  bench.Close(h);
  return r;
}
// The same with one buffer serving both ways.
inline Reply SendInPlace(emu::Bench& bench, const std::u16string& path, uint32_t code, std::vector<uint8_t>& buffer) {
  Reply r;
  platform::DeviceHandle h = bench.Open(path.c_str(), &r.error);
  if (h == platform::INVALID_DEVICE) return r;
  r.ok = bench.Control(h, code, buffer.data(), static_cast<uint32_t>(buffer.size()), buffer.data(),
                       static_cast<uint32_t>(buffer.size()), &r.returned, &r.error);
  bench.Close(h);
  return r;
}

// The SCSI pass-through record as the driver of this process receives it: the layout of this
// build, written out by hand beside the command-path tests' recording device.
using nvmetest::k64;
constexpr uint16_t SPTD_LENGTH = nvmetest::kSptdBytes;
constexpr uint16_t SPTD_OTHER_LENGTH = k64 ? 44 : 56;  // the record of the other bitness
constexpr size_t SPTD_DATA_BUFFER = nvmetest::kDataBufferAt;
constexpr size_t SPTD_SENSE_OFFSET = nvmetest::kSenseOffsetAt;
constexpr size_t SPTD_CDB = nvmetest::kCdbAt;
constexpr size_t SPTD_SENSE = nvmetest::kSenseAt;

// A SCSI pass-through request: the record, then 32 bytes of sense area, in 88 bytes.
struct Scsi {
  std::vector<uint8_t> record = std::vector<uint8_t>(88, 0);
  Scsi(std::initializer_list<int> cdb, uint8_t dataIn, void* buffer, uint32_t length)
      : Scsi(std::vector<int>(cdb), dataIn, buffer, length) {}
  Scsi(const std::vector<int>& cdb, uint8_t dataIn, void* buffer, uint32_t length) {
    Put16(record, 0, SPTD_LENGTH);
    record[6] = 16;  // CdbLength
    record[7] = 32;  // SenseInfoLength
    record[8] = dataIn;
    Put32(record, 12, length);  // DataTransferLength
    Put32(record, 16, 10);      // TimeOutValue
    if (k64) Put64(record, SPTD_DATA_BUFFER, reinterpret_cast<uintptr_t>(buffer));
    else Put32(record, SPTD_DATA_BUFFER, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer)));
    Put32(record, SPTD_SENSE_OFFSET, SPTD_SENSE);
    size_t i = SPTD_CDB;
    for (int b : cdb) record[i++] = static_cast<uint8_t>(b);
  }
  uint8_t Status() const { return record[2]; }
  uint32_t Transferred() const { return Get32(record, 12); }
  uint8_t SenseKey() const { return record[SPTD_SENSE + 2]; }
  uint8_t Asc() const { return record[SPTD_SENSE + 12]; }
};
inline Reply Pass(emu::Bench& bench, const std::u16string& path, Scsi& request) {
  return SendInPlace(bench, path, 0x0004D014, request.record);
}
inline Reply Pass(emu::Bench& bench, platform::DeviceHandle h, Scsi& request) {
  Reply r;
  r.ok = bench.Control(h, 0x0004D014, request.record.data(), 88, request.record.data(), 88, &r.returned, &r.error);
  return r;
}

// A CMFG image of `pages` pages: range 0 = page 1, range 1 = pages 2..pages-3, range 2 (the
// configuration region) = page pages-2, trailer = the last page; the CRC is zlib's over the
// covered bytes, page 0 counting as zero after byte 79.
inline std::vector<uint8_t> CmfgImage(size_t pages, const std::vector<uint8_t>& config, uint8_t fill = 0x3C) {
  std::vector<uint8_t> image(pages * 4096, fill);
  std::memcpy(image.data(), "CMFG", 4);
  std::memset(image.data() + 4, 0, 76);
  uint32_t config_page = static_cast<uint32_t>(pages - 2);
  Put32(image, 16, 1), Put32(image, 20, 1);
  Put32(image, 24, 2), Put32(image, 28, config_page - 1);
  Put32(image, 32, config_page), Put32(image, 36, config_page);
  std::memcpy(image.data() + config_page * 4096, config.data(), 4096);
  std::vector<uint8_t> zeros(4016, 0);
  uLong crc = crc32(0L, image.data(), 80);
  crc = crc32(crc, zeros.data(), 4016);
  crc = crc32(crc, image.data() + 4096, static_cast<uInt>((pages - 2) * 4096));
  Put32(image, (pages - 1) * 4096 + 8, 0);
  Put32(image, (pages - 1) * 4096 + 12, static_cast<uint32_t>(crc));
  return image;
}

}  // namespace emutest
