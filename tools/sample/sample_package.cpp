#include "tools/sample/sample_package.h"

#include <zlib.h>

#include <cstring>

#include "tools/sample/zip_writer.h"

namespace {

void Put32(std::vector<uint8_t>& image, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(std::vector<uint8_t>& image, size_t offset, uint32_t v) {
  image[offset] = static_cast<uint8_t>(v);
  image[offset + 1] = static_cast<uint8_t>(v >> 8);
}
void PutText(std::vector<uint8_t>& image, size_t offset, const char* text) {
  std::memcpy(image.data() + offset, text, std::strlen(text));
}

// Filler for the pages the updater never interprets: a fixed pseudo-random sequence of 32
// byte values (multiples of 5), so that it deflates to about two thirds, as code does. 0x2E is
// not among them: the only '.' bytes in the image are those of the internal version.
void Fill(std::vector<uint8_t>& image, size_t from, size_t to) {
  uint32_t x = 0x51A7E5EDu;
  for (size_t i = from; i < to; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    image[i] = static_cast<uint8_t>((x & 0x1F) * 5);
  }
}

constexpr size_t PAGE = SAMPLE_PAGE_BYTES;

}  // namespace

std::vector<uint8_t> MakeSampleImage() {
  std::vector<uint8_t> image(SAMPLE_IMAGE_BYTES, 0);

  // Page 0: magic, twelve uninterpreted bytes, the page range table, and a note that the CRC
  // does not see (it counts everything after byte 79 of page 0 as zero).
  PutText(image, 0, "CMFG");
  PutText(image, 4, "QVSAMPLE");
  Put32(image, 12, SAMPLE_IMAGE_PAGES);
  const uint32_t ranges[8][2] = {{1, 2}, {3, 160}, {161, 161}, {0, 0},
                                 {0, 0}, {0, 0},   {0, 0},     {0, 0}};
  for (int i = 0; i < 8; ++i) {
    Put32(image, 16 + 8 * i, ranges[i][0]);
    Put32(image, 16 + 8 * i + 4, ranges[i][1]);
  }
  PutText(image, 128, "Quorvela sample firmware image - synthetic bytes, not firmware for any drive");

  // Pages 1 to 160: ranges 0 and 1, filler with the internal version string inside.
  Fill(image, 1 * PAGE, 161 * PAGE);
  PutText(image, SAMPLE_VERSION_OFFSET - 6, "IFWVER");
  PutText(image, SAMPLE_VERSION_OFFSET, SAMPLE_INTERNAL_VERSION);
  image[SAMPLE_VERSION_OFFSET + 8] = 0;

  // Page 161: the configuration template. Every drive brings its own block; the template only
  // has to look like one.
  size_t conf = SAMPLE_CONFIG_PAGE * PAGE;
  PutText(image, conf, "CONF");
  PutText(image, conf + 0x210, "SAMPLE WORK ORDER");
  PutText(image, conf + 0x410, "SAMPLE0000000000");
  PutText(image, conf + 0x428, "TEMPLATE");
  PutText(image, conf + 0x430, "QUORVELA Q7 SAMPLE");
  Put16(image, conf + 0x638, 1000);

  // Page 162, the trailer: u32 0 at byte 8, the CRC at byte 12. The CRC runs over bytes 0..79,
  // 4016 zero bytes in place of the rest of page 0, and ranges 0, 1 and 2 (pages 1 to 161).
  uLong crc = crc32(0, image.data(), 80);
  const std::vector<uint8_t> zeros(PAGE - 80, 0);
  crc = crc32(crc, zeros.data(), static_cast<uInt>(zeros.size()));
  crc = crc32(crc, image.data() + PAGE, static_cast<uInt>(161 * PAGE));
  size_t trailer = SAMPLE_TRAILER_PAGE * PAGE;
  Put32(image, trailer + 8, 0);
  Put32(image, trailer + 12, static_cast<uint32_t>(crc));
  return image;
}

std::string MakeSampleIni() {
  std::string ini;
  ini += "[UPDATEINFO]\r\n";
  ini += std::string("TITLE=") + SAMPLE_TITLE + "\r\n";
  ini += std::string("NEWVERSION=") + SAMPLE_NEW_VERSION + "\r\n";
  ini += "SOCID=7C63\r\n";
  ini += std::string("ModelName=") + SAMPLE_MODEL_NAME + "\r\n";
  ini += "FWVersion=3.2.F.P7;3.2.F.2A\r\n";
  ini += "iInternalFWVersionCheckPart=3\r\n";
  ini += "BeforeMessage=Warning ! <BR>If FW is not back compatible, The user data will be erased.\r\n";
  ini += "AfterMessage=Update FW OK !<BR>Reboot System Now ?\r\n";
  ini += "PowerCtrl=2\r\n";
  return ini;
}

std::vector<uint8_t> MakeSamplePackage() {
  std::vector<ZipMember> members(2);
  std::string ini = MakeSampleIni();
  members[0].name = SAMPLE_INI_NAME;
  members[0].data.assign(ini.begin(), ini.end());
  members[0].deflate = false;
  members[1].name = SAMPLE_IMAGE_NAME;
  members[1].data = MakeSampleImage();
  members[1].deflate = true;
  return BuildZip(members, "Quorvela sample package - synthetic image, not firmware");
}

bool WriteSamplePackage(const std::string& path) {
  std::vector<uint8_t> zip = MakeSamplePackage();
  return !zip.empty() && WriteBytesToFile(path, zip);
}
