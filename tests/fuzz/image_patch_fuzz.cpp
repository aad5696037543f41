// The image patcher and the internal version search on arbitrary bytes.
//
// Byte 0 chooses the form and the field: in the raw form the rest of the input is the image as it
// stands; in the paged form byte 1 gives a page count (1 to 16) and a shortfall, and the rest
// fills the start of an image of that many pages, so that short inputs still reach tables that
// lie inside the image. Every image is an allocation of exactly its size, so a read or write
// outside it is a sanitizer finding. A patch that is refused must leave the image as it was; one
// that is done may change only the first configuration page and the trailer's 8 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "image/firmware_image.h"
#include "platform/host/host_system.h"
#include "platform/platform.h"

namespace {

const char16_t* const KEYS[] = {u"Vendor_Fw_Name", u"VID", u"Vendor_Capacity", u"Workorder",
                                u"Vendor_Model_Name", u"Drv_Serial_Number", u"SSDID", u"nokey"};
const char16_t* const VALUES[] = {u"KEEP", u"keep", u"3.2.F.2A", u"0x12AB", u""};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static platform::HostSystem system;  // for the trace line of an image without the magic
  if (platform::Installed().system == nullptr) {
    platform::Services services;
    services.system = &system;
    platform::Install(services);
  }
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  size_t imageSize;
  const uint8_t* fill = data + 1;
  size_t fillSize = size - 1;
  if (mode & 1) {
    imageSize = ((data[1] & 0x0F) + 1) * IMAGE_PAGE_BYTES - (data[1] >> 4) * 255;
    fill = data + 2;
    fillSize = size - 2;
  } else {
    imageSize = fillSize;
  }
  std::unique_ptr<uint8_t[]> image(new uint8_t[imageSize == 0 ? 1 : imageSize]);
  std::memset(image.get(), 0, imageSize);
  std::memcpy(image.get(), fill, fillSize < imageSize ? fillSize : imageSize);
  std::unique_ptr<uint8_t[]> before(new uint8_t[imageSize == 0 ? 1 : imageSize]);
  std::memcpy(before.get(), image.get(), imageSize);

  // The version search on the untouched bytes.
  char version[INTERNAL_VERSION_BUFFER];
  std::memset(version, 0x7F, sizeof(version));
  bool found = FindInternalVersion(image.get(), imageSize, version);
  Check(found == (version[0] != 0));
  Check(std::memchr(version, 0, sizeof(version)) != nullptr);

  // The patch, with a block or none, and a value from the list or from the input's tail.
  std::unique_ptr<uint8_t[]> block(new uint8_t[CONFIG_BLOCK_BYTES]);
  for (size_t i = 0; i < CONFIG_BLOCK_BYTES; ++i) block[i] = static_cast<uint8_t>(i * 31 + mode);
  char16_t tail[80] = {};
  size_t tailUnits = fillSize / 2 < 79 ? fillSize / 2 : 79;
  std::memcpy(tail, fill + fillSize - tailUnits * 2, tailUnits * 2);
  const char16_t* key = KEYS[(mode >> 1) & 7];
  const char16_t* value = (mode & 0x80) ? tail : VALUES[(mode >> 4) % 5];
  const bool withBlock = (mode & 0x40) != 0;

  ImageLayout layout{};
  int expected = ReadImageLayout(image.get(), imageSize, &layout);
  int result = CarryOverConfig(image.get(), imageSize, withBlock ? block.get() : nullptr, key, value);
  Check(result == expected);
  if (result != IMAGE_OK) {
    Check(std::memcmp(before.get(), image.get(), imageSize) == 0);
  } else {
    Check(layout.trailerOffset + IMAGE_PAGE_BYTES <= imageSize);
    Check(layout.configOffset + layout.configLength <= imageSize);
    for (size_t i = 0; i < imageSize; ++i) {
      bool inConfig = i >= layout.configOffset && i < layout.configOffset + CONFIG_BLOCK_BYTES;
      bool inTrailer = i >= layout.trailerOffset + 8 && i < layout.trailerOffset + 16;
      if (!inConfig && !inTrailer) Check(image[i] == before[i]);
    }
  }

  // The field setter on a block of its own, with the input's text as the value.
  SetConfigField(block.get(), key, tail);
  return 0;
}
