// Configuration carry-over: the page range table, the configuration fields and the image CRC.
#include "image/firmware_image.h"

#include <zlib.h>

#include <cstring>

#include "core/trace.h"
#include "platform/text.h"

namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

enum class FieldKind { Text, Hex, Decimal };

struct ConfigField {
  const char16_t* key;
  size_t offset;
  size_t width;
  FieldKind kind;
};

constexpr ConfigField FIELDS[] = {
    {u"Workorder", offsetof(ConfigBlock, workorder), sizeof(ConfigBlock::workorder), FieldKind::Text},
    {u"VID", offsetof(ConfigBlock, vid), 2, FieldKind::Hex},
    {u"DID", offsetof(ConfigBlock, did), 2, FieldKind::Hex},
    {u"SSVID", offsetof(ConfigBlock, ssvid), 2, FieldKind::Hex},
    {u"SSDID", offsetof(ConfigBlock, ssdid), 2, FieldKind::Hex},
    {u"Drv_Serial_Number", offsetof(ConfigBlock, serialNumber), sizeof(ConfigBlock::serialNumber),
     FieldKind::Text},
    {u"Vendor_Fw_Name", offsetof(ConfigBlock, fwName), sizeof(ConfigBlock::fwName), FieldKind::Text},
    {u"Vendor_Model_Name", offsetof(ConfigBlock, modelName), sizeof(ConfigBlock::modelName),
     FieldKind::Text},
    {u"Vendor_Capacity", offsetof(ConfigBlock, capacity), 2, FieldKind::Decimal},
};

constexpr size_t CONVERTED_VALUE_BYTES = 128;

bool IsKeep(const char16_t* value) { return platform::TextEqualNoCase(value, u"KEEP"); }

int DigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

// wcstoul with a 32-bit unsigned long, as the Windows program has it: blanks skipped, an
// optional sign (a minus negates), in base 16 an optional "0x" before a hex digit, digits up to
// the first non-digit of the base; no digits gives 0, too large a value gives 0xFFFFFFFF.
uint32_t ParseUnsigned(const char16_t* text, int base) {
  const char16_t* p = text;
  while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) ++p;
  bool negative = false;
  if (*p == u'+' || *p == u'-') {
    negative = *p == u'-';
    ++p;
  }
  if (base == 16 && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && DigitValue(p[2]) < 16) p += 2;
  uint64_t value = 0;
  bool overflow = false;
  bool any = false;
  for (; DigitValue(*p) < base; ++p) {
    any = true;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(DigitValue(*p));
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;
    }
  }
  if (!any) return 0;
  if (overflow) return 0xFFFFFFFFu;
  uint32_t result = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - result) : result;
}

}  // namespace

uint32_t Crc32Update(const void* data, size_t length, uint32_t crc) {
  const Bytef* p = static_cast<const Bytef*>(data);
  uLong c = crc;
  // zlib takes the length as a uInt; longer spans go in pieces.
  while (length > 0) {
    uInt piece = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
    c = crc32(c, p, piece);
    p += piece;
    length -= piece;
  }
  return static_cast<uint32_t>(c);
}

void SetConfigField(uint8_t* block, const char16_t* key, const char16_t* value) {
  if (block == nullptr || key == nullptr || value == nullptr) return;
  if (IsKeep(value)) return;
  char converted[CONVERTED_VALUE_BYTES] = {};
  platform::WideToAnsi(value, converted, CONVERTED_VALUE_BYTES);
  for (const ConfigField& field : FIELDS) {
    if (!platform::TextEqualNoCase(key, field.key)) continue;
    uint8_t* target = block + field.offset;
    if (field.kind == FieldKind::Text) {
      std::memset(target, 0, field.width);
      std::memcpy(target, converted, field.width);
    } else {
      uint32_t number = ParseUnsigned(value, field.kind == FieldKind::Hex ? 16 : 10);
      target[0] = static_cast<uint8_t>(number);
      target[1] = static_cast<uint8_t>(number >> 8);
    }
    return;
  }
}

int ReadImageLayout(const uint8_t* image, size_t size, ImageLayout* layout) {
  if (image == nullptr || size < 4 || ReadLe32(image) != IMAGE_MAGIC) return IMAGE_NOT_CONFIG;
  if (size < IMAGE_HEADER_BYTES) return IMAGE_BAD_LAYOUT;
  ImageLayout l{};
  for (size_t i = 0; i < IMAGE_RANGE_COUNT; ++i) {
    l.ranges[i].first = ReadLe32(image + offsetof(ImageHeader, ranges) + 8 * i);
    l.ranges[i].last = ReadLe32(image + offsetof(ImageHeader, ranges) + 8 * i + 4);
  }
  // Page numbers are 32-bit, so (page + 2) * 4096 cannot overflow 64 bits.
  const uint64_t pages = static_cast<uint64_t>(size) / IMAGE_PAGE_BYTES;
  for (size_t i = 0; i <= IMAGE_CONFIG_RANGE; ++i) {
    if (l.ranges[i].first > l.ranges[i].last) return IMAGE_BAD_LAYOUT;
    if (static_cast<uint64_t>(l.ranges[i].last) + 1 > pages) return IMAGE_BAD_LAYOUT;
  }
  const ImagePageRange& config = l.ranges[IMAGE_CONFIG_RANGE];
  if (static_cast<uint64_t>(config.last) + 2 > pages) return IMAGE_BAD_LAYOUT;  // the trailer
  l.configOffset = static_cast<size_t>(config.first) * IMAGE_PAGE_BYTES;
  l.configLength = (static_cast<size_t>(config.last) - config.first + 1) * IMAGE_PAGE_BYTES;
  l.trailerOffset = (static_cast<size_t>(config.last) + 1) * IMAGE_PAGE_BYTES;
  if (layout != nullptr) *layout = l;
  return IMAGE_OK;
}

namespace {

// The CRC up to the configuration region: bytes 0..79 (the first 16, then the table entry by
// entry), 4016 zero bytes for the rest of page 0, then ranges 0 and 1.
uint32_t CrcBeforeConfig(const uint8_t* image, const ImageLayout& layout) {
  static const uint8_t zeros[IMAGE_PAGE_BYTES - IMAGE_HEADER_BYTES] = {};
  uint32_t crc = Crc32Update(image, offsetof(ImageHeader, ranges), 0);
  for (size_t i = 0; i < IMAGE_RANGE_COUNT; ++i)
    crc = Crc32Update(image + offsetof(ImageHeader, ranges) + 8 * i, sizeof(ImagePageRange), crc);
  crc = Crc32Update(zeros, sizeof(zeros), crc);
  for (size_t i = 0; i < IMAGE_CONFIG_RANGE; ++i) {
    const ImagePageRange& r = layout.ranges[i];
    size_t offset = static_cast<size_t>(r.first) * IMAGE_PAGE_BYTES;
    size_t length = (static_cast<size_t>(r.last) - r.first + 1) * IMAGE_PAGE_BYTES;
    crc = Crc32Update(image + offset, length, crc);
  }
  return crc;
}

}  // namespace

bool IsConfigBlock(const uint8_t* block) {
  static constexpr char MAGIC[] = {'C', 'O', 'N', 'F'};
  static_assert(sizeof(MAGIC) == sizeof(ConfigBlock::magic));
  return block != nullptr && std::memcmp(block + offsetof(ConfigBlock, magic), MAGIC, sizeof(MAGIC)) == 0;
}

uint32_t ComputeImageCrc(const uint8_t* image, const ImageLayout& layout) {
  uint32_t crc = CrcBeforeConfig(image, layout);
  return Crc32Update(image + layout.configOffset, layout.configLength, crc);
}

uint32_t StoredImageCrc(const uint8_t* image, const ImageLayout& layout) {
  return ReadLe32(image + layout.trailerOffset + offsetof(ImageTrailer, crc));
}

int CarryOverConfig(uint8_t* image, size_t size, const uint8_t* configBlock, const char16_t* key,
                    const char16_t* value) {
  ImageLayout layout;
  int result = ReadImageLayout(image, size, &layout);
  if (result == IMAGE_NOT_CONFIG) {
    DebugTrace(u"Not Config FW");
    return result;
  }
  if (result != IMAGE_OK) {
    DebugTrace(u"Config FW layout outside the image (%I64d bytes)", static_cast<long long>(size));
    return result;
  }
  // The header and ranges 0 and 1 enter the CRC as they stand before the block is copied (which
  // matters only for a table whose configuration page overlaps them).
  uint32_t crc = CrcBeforeConfig(image, layout);
  uint8_t* config = image + layout.configOffset;
  if (configBlock != nullptr) std::memmove(config, configBlock, CONFIG_BLOCK_BYTES);
  if (value != nullptr && !IsKeep(value)) SetConfigField(config, key, value);
  crc = Crc32Update(config, layout.configLength, crc);
  WriteLe32(image + layout.trailerOffset + offsetof(ImageTrailer, zero), 0);
  WriteLe32(image + layout.trailerOffset + offsetof(ImageTrailer, crc), crc);
  return IMAGE_OK;
}
