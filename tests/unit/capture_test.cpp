// The bench's capture: the line format other tools read, request by request.
#include <gtest/gtest.h>

#include <fstream>

#include "emu/bench.h"
#include "tests/support/test_env.h"

namespace {

// A device that echoes its input reversed, or fails with error 31 when the code says so.
class Echo : public emu::EmuDevice {
 public:
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
               uint32_t* error, emu::RequestNotes* notes) override {
    if (code == 0xDEAD) {
      *error = 31;
      return false;
    }
    auto* src = static_cast<const uint8_t*>(in);
    auto* dst = static_cast<uint8_t*>(out);
    uint32_t n = inLength < outLength ? inLength : outLength;
    for (uint32_t i = 0; i < n; ++i) dst[i] = src[inLength - 1 - i];
    *returned = n;
    if (code == 0x4D014) {
      notes->data = {0xAA, 0xBB};
      notes->extras.push_back("dir=in");
    }
    return true;
  }
};

}  // namespace

TEST(Capture, OneLinePerRequestInTheFixedFormat) {
  emu::Bench bench;
  std::string path = testing::TempDir() + "/capture-format.txt";
  ASSERT_TRUE(bench.Capture().Open(path));
  bench.AddDevice(u"\\\\.\\PhysicalDrive2", std::make_shared<Echo>());
  uint32_t error = 0, returned = 0;
  platform::DeviceHandle h = bench.Open(u"\\\\.\\physicaldrive2", &error);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  uint8_t in[3] = {0x01, 0x02, 0xFF}, out[3] = {};
  EXPECT_TRUE(bench.Control(h, 0x002D1400, in, 3, out, 3, &returned, &error));
  EXPECT_EQ(returned, 3u);
  EXPECT_TRUE(bench.Control(h, 0x0004D014, in, 3, in, 3, &returned, &error));
  EXPECT_FALSE(bench.Control(h, 0xDEAD, nullptr, 0, nullptr, 0, &returned, &error));
  EXPECT_EQ(error, 31u);
  bench.Close(h);
  EXPECT_EQ(bench.Open(u"\\\\.\\PhysicalDrive9", &error), platform::INVALID_DEVICE);
  bench.Capture().Close();

  std::ifstream f(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(f, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "1 \\\\.\\physicaldrive2 open ok=1 handle=256");
  EXPECT_EQ(lines[1], "2 \\\\.\\physicaldrive2 0x002D1400 in=0102FF out=FF0201 ok=1");
  // A pass-through request carries data=, never out=.
  EXPECT_EQ(lines[2], "3 \\\\.\\physicaldrive2 0x0004D014 in=0102FF data=AABB ok=1 dir=in");
  EXPECT_EQ(lines[3], "4 \\\\.\\physicaldrive2 0x0000DEAD in= ok=0 error=31");
  EXPECT_EQ(lines[4], "5 \\\\.\\physicaldrive2 close handle=256");
  EXPECT_EQ(lines[5], "6 \\\\.\\PhysicalDrive9 open ok=0");
}

TEST(Capture, DeviceTextNeverHoldsABlank) {
  EXPECT_EQ(emu::Capture::DeviceText(u"\\\\?\\usb#vid 1&pid"), "\\\\?\\usb#vid_1&pid");
  EXPECT_EQ(emu::Capture::DeviceText(u""), "-");
}
