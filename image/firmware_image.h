// The firmware image as far as the updater reads and patches it: the page range table, the
// configuration region that receives the drive's configuration block, the trailer page with the
// image CRC-32, the configuration block's fields, and the internal version string inside the
// image. Every operation works on memory the caller owns and keeps no state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

constexpr size_t IMAGE_PAGE_BYTES = 4096;
constexpr size_t CONFIG_BLOCK_BYTES = 4096;
constexpr uint32_t IMAGE_MAGIC = 0x47464D43;  // "CMFG" read as a little-endian u32
constexpr size_t IMAGE_RANGE_COUNT = 8;
constexpr size_t IMAGE_CONFIG_RANGE = 2;      // ranges 0 and 1 are covered as they stand
constexpr size_t IMAGE_HEADER_BYTES = 80;     // magic, 12 bytes, the range table
// Characters of an internal version ("3.2.F.2F") and the room FindInternalVersion writes.
constexpr size_t INTERNAL_VERSION_CHARS = 8;
constexpr size_t INTERNAL_VERSION_BUFFER = 10;

// Results of the image operations. A result of 0 is an image without the "CMFG" magic: it is
// not a configuration image and is sent as packaged. IMAGE_BAD_LAYOUT is an image whose page
// ranges or trailer page do not lie inside it: nothing was touched and the image must not be sent.
constexpr int IMAGE_OK = 1;
constexpr int IMAGE_NOT_CONFIG = 0;
constexpr int IMAGE_BAD_LAYOUT = -6;

// Page 0 of the image, all integers little-endian.
struct ImagePageRange {
  uint32_t first;  // inclusive
  uint32_t last;   // inclusive
};
struct ImageHeader {
  uint32_t magic;
  uint8_t reserved[12];  // not interpreted; part of the CRC
  ImagePageRange ranges[IMAGE_RANGE_COUNT];
};
static_assert(sizeof(ImagePageRange) == 8);
static_assert(offsetof(ImageHeader, magic) == 0);
static_assert(offsetof(ImageHeader, reserved) == 4);
static_assert(offsetof(ImageHeader, ranges) == 16);
static_assert(sizeof(ImageHeader) == IMAGE_HEADER_BYTES);

// The first 16 bytes of the trailer page (the page after the configuration region).
struct ImageTrailer {
  uint8_t unused[8];
  uint32_t zero;  // set to 0 with every new CRC
  uint32_t crc;
};
static_assert(offsetof(ImageTrailer, zero) == 8);
static_assert(offsetof(ImageTrailer, crc) == 12);
static_assert(sizeof(ImageTrailer) == 16);

// The drive's 4096-byte configuration block (vendor 0xE6 / 0xE5 with CDW12 = 1). It begins with
// the ASCII bytes "CONF", as the image's template configuration page does. Only the named fields
// are known; everything else is carried byte for byte. Text fields hold ANSI bytes padded with
// zero bytes and have no terminator when full.
struct ConfigBlock {
  char magic[4];                   // "CONF"
  uint8_t head[524];
  char workorder[20];              // "Workorder"
  uint8_t gap1[484];
  uint16_t vid;                    // "VID", hexadecimal
  uint16_t did;                    // "DID", hexadecimal
  uint16_t ssvid;                  // "SSVID", hexadecimal
  uint16_t ssdid;                  // "SSDID", hexadecimal
  char serialNumber[20];           // "Drv_Serial_Number"
  uint8_t gap2[4];
  char fwName[8];                  // "Vendor_Fw_Name"
  char modelName[40];              // "Vendor_Model_Name"
  uint8_t gap3[480];
  uint16_t capacity;               // "Vendor_Capacity", decimal
  uint8_t tail[2502];
};
static_assert(std::is_trivially_copyable_v<ConfigBlock>);
static_assert(offsetof(ConfigBlock, magic) == 0);
static_assert(offsetof(ConfigBlock, workorder) == 528);
static_assert(offsetof(ConfigBlock, vid) == 1032);
static_assert(offsetof(ConfigBlock, did) == 1034);
static_assert(offsetof(ConfigBlock, ssvid) == 1036);
static_assert(offsetof(ConfigBlock, ssdid) == 1038);
static_assert(offsetof(ConfigBlock, serialNumber) == 1040);
static_assert(offsetof(ConfigBlock, fwName) == 1064);
static_assert(offsetof(ConfigBlock, modelName) == 1072);
static_assert(offsetof(ConfigBlock, capacity) == 1592);
static_assert(sizeof(ConfigBlock) == CONFIG_BLOCK_BYTES);

// Whether a 4096-byte block read from a drive is a configuration block: it begins with "CONF".
// Any other block (a drive that answered with zeros, a reply that never came) must neither be
// carried into an image nor written back to the drive.
bool IsConfigBlock(const uint8_t* block);

// Where the parts of a configuration image lie, in bytes from the image start; every part lies
// wholly inside the image.
struct ImageLayout {
  ImagePageRange ranges[IMAGE_RANGE_COUNT];
  size_t configOffset;   // first page of range 2
  size_t configLength;   // all pages of range 2
  size_t trailerOffset;  // the page after range 2
};

// Reads the page range table and checks it against the image size: ranges 0 to 2 must have
// first <= last and lie inside the image, and so must the whole trailer page. Returns IMAGE_OK
// with *layout filled, IMAGE_NOT_CONFIG without the magic, or IMAGE_BAD_LAYOUT.
int ReadImageLayout(const uint8_t* image, size_t size, ImageLayout* layout);

// The CRC the trailer should hold: bytes 0..79, then 4016 zero bytes in place of the rest of
// page 0, then ranges 0, 1 and 2 as the image holds them now.
uint32_t ComputeImageCrc(const uint8_t* image, const ImageLayout& layout);
// The CRC the trailer holds.
uint32_t StoredImageCrc(const uint8_t* image, const ImageLayout& layout);

// Copies configBlock (4096 bytes, or none) over the first page of the configuration region, sets
// the field key to value unless value is "KEEP" (any case), and renews the trailer: u32 0 at byte
// 8 and the CRC at byte 12. Without the magic it writes the trace "Not Config FW" and returns
// IMAGE_NOT_CONFIG; with ranges or a trailer outside size it returns IMAGE_BAD_LAYOUT. In both
// cases the image is left exactly as it was.
int CarryOverConfig(uint8_t* image, size_t size, const uint8_t* configBlock, const char16_t* key,
                    const char16_t* value);

// Sets one field of a 4096-byte configuration block. "KEEP" (any case) and unknown keys change
// nothing. Text values are converted to the ANSI code page and cut or zero-padded to the field's
// width; number values are parsed as wcstoul does in the field's base and stored as their low
// 16 bits.
void SetConfigField(uint8_t* block, const char16_t* key, const char16_t* value);

// CRC-32 of ZIP and zlib, continued from crc (start with 0). A length of 0 returns crc.
uint32_t Crc32Update(const void* data, size_t length, uint32_t crc);

// With buffer null: the size of the file in bytes. With a buffer: reads up to count bytes from
// the start of the file and returns the number read. 0 when the file cannot be opened, and for
// a file of 2 GiB or more, whose size an i32 cannot carry.
int32_t ReadFileData(const char16_t* path, uint32_t count, void* buffer);

// Finds the first 8-byte window with three dots (see the walk in the source) and copies it into
// out (room for INTERNAL_VERSION_BUFFER bytes). Returns whether a version was found.
bool FindInternalVersion(const uint8_t* image, size_t size, char* out);

// The same as UTF-16 (at most capacity - 1 units), for an image in memory and for an image file.
bool ImageInternalVersion(const uint8_t* image, size_t size, char16_t* out, size_t capacity);
bool GetImageInternalVersion(const char16_t* path, char16_t* out, size_t capacity);

// 1 when the drive's internal version and the image's agree in their first parts dot-separated
// parts, 0 otherwise and when the image holds no version.
int32_t CheckInternalVersion(const char16_t* driveVersion, int32_t parts, const char16_t* imagePath);
// The same for an image in memory.
int32_t CheckInternalVersionOf(const char16_t* driveVersion, int32_t parts, const uint8_t* image, size_t size);
