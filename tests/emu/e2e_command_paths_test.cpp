// The command paths against the emulated drives, on the native path and behind both bridges:
// identify a drive, read its flash information, carry its configuration into the sample image,
// download and commit it, name the firmware, power-cycle, and find the drive running the new
// image with its configuration intact. Each run leaves a capture, and the capture decoder, which
// shares no code with either side, rebuilds the image the download carried.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/drive_record.h"
#include "emu/drive.h"
#include "image/firmware_image.h"
#include "nvme/bridge.h"
#include "nvme/firmware.h"
#include "nvme/flash_id.h"
#include "platform/platform.h"
#include "tests/support/test_env.h"
#include "tools/fwcap/capture_decode.h"
#include "tools/sample/sample_package.h"

namespace {

constexpr uint32_t SIGNATURE_CDW14 = 0x58454E41;  // "ANEX"
constexpr uint32_t SIGNATURE_CDW15 = 0x56524F54;  // "TORV"

struct Path {
  const char* name;
  emu::BridgeKind bridge;
  int32_t cmdType;
};

std::string Text(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

class CommandPaths : public testenv::Environment, public ::testing::WithParamInterface<Path> {
 protected:
  emu::DriveDescription Description() const {
    emu::DriveDescription s;
    s.name = GetParam().name;
    s.diskNumber = 1;
    s.identity.model = "QUORVELA Q7 1TB";
    s.identity.serial = "Q7-0042-7781";
    s.firmware.name = "3.2.F.1C";
    s.flashInfo.internalVersion = "3.2.F.2A";
    s.config.workorder = "WO-2024-1187";
    s.bridge.kind = GetParam().bridge;
    emu::DefaultInquiryBytes(s.bridge);
    return s;
  }

  std::vector<uint8_t> ReadCapture() {
    bench().Capture().Close();
    std::ifstream f(capturePath, std::ios::binary);
    std::ostringstream all;
    all << f.rdbuf();
    const std::string text = all.str();
    return std::vector<uint8_t>(text.begin(), text.end());
  }

  std::string capturePath;
};

TEST_P(CommandPaths, UpdateRunsTheNewImageWithTheDrivesConfiguration) {
  const int32_t cmdType = GetParam().cmdType;
  // The capture stays in the test's working folder (captures/), for fwcap and for people.
  std::filesystem::create_directories("captures");
  capturePath = std::string("captures/e2e-") + GetParam().name + ".txt";
  ASSERT_TRUE(bench().Capture().Open(capturePath));
  emu::DriveDescription description = Description();
  std::shared_ptr<emu::EmuDisk> disk = emu::MakeDrive(bench(), description);
  std::vector<uint8_t> original(disk->Controller().ConfigBlock().begin(), disk->Controller().ConfigBlock().end());

  // Identify the drive and read its flash information.
  uint32_t error = 0;
  platform::DeviceHandle h = platform::Io().Open(u"\\\\.\\PhysicalDrive1", &error);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  if (cmdType != CMD_TYPE_NVME) {
    EXPECT_EQ(IO_USB_GetBridgeType(h), cmdType);
  }
  std::vector<uint8_t> id(4096, 0), ns(4096, 0);
  uint8_t status = 0;
  ASSERT_EQ(IdentifyCmd(cmdType, h, 1, 0, id.data(), 4096, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Text(id.data() + 4, 20), "Q7-0042-7781        ");
  EXPECT_EQ(Text(id.data() + 64, 8), "3.2.F.1C");
  ASSERT_EQ(IdentifyCmd(cmdType, h, 0, 1, ns.data(), 4096, &status), 1);
  EXPECT_EQ(std::memcmp(ns.data(), id.data(), 8) != 0, true);
  EXPECT_EQ(ns[130], 9);
  DriveRecord record{};
  ASSERT_EQ(ReadFlashInfo(cmdType, h, &record), 1);
  EXPECT_EQ(record.hasVendorInfo, 1);
  EXPECT_EQ(record.controllerCode, 0x7C41u);
  EXPECT_EQ(record.flashType, 0x2C04u);  // Micron-B47R

  // The drive's configuration block goes into the sample image with the new firmware name.
  std::vector<uint8_t> block(4096, 0);
  ASSERT_EQ(SendVendorCmd(cmdType, h, 2, 0xE6, 1, 0, SIGNATURE_CDW14, SIGNATURE_CDW15, block.data(), 4096), 1);
  EXPECT_EQ(block, original);
  std::vector<uint8_t> sample = MakeSampleImage();
  ASSERT_EQ(sample.size(), SAMPLE_IMAGE_BYTES);
  auto* image = static_cast<uint8_t*>(platform::Sys().PageAlloc(sample.size()));
  ASSERT_NE(image, nullptr);
  std::memcpy(image, sample.data(), sample.size());
  ASSERT_EQ(CarryOverConfig(image, sample.size(), block.data(), u"Vendor_Fw_Name", u"3.2.F.2A"), IMAGE_OK);
  std::vector<uint8_t> sent(image, image + sample.size());

  ASSERT_EQ(DownloadFW(cmdType, h, image, static_cast<uint32_t>(sent.size())), 1);
  platform::Sys().PageFree(image);
  platform::Time().Sleep(3000);
  ASSERT_EQ(FWCommit(cmdType, h, FW_SLOT, FW_COMMIT_ACTION_REPLACE), 1);
  platform::Time().Sleep(3000);
  EXPECT_TRUE(disk->Controller().ActivationPending());
  EXPECT_EQ(disk->Controller().SlotImage(), sent);

  // The name through the configuration block, as the worker writes it.
  std::fill(block.begin(), block.end(), 0);
  ASSERT_EQ(SendVendorCmd(cmdType, h, 2, 0xE6, 1, 0, SIGNATURE_CDW14, SIGNATURE_CDW15, block.data(), 4096), 1);
  SetConfigField(block.data(), u"Vendor_Fw_Name", u"3.2.F.2A");
  ASSERT_EQ(SendVendorCmd(cmdType, h, 1, 0xE5, 1, 0, SIGNATURE_CDW14, SIGNATURE_CDW15, block.data(), 4096), 1);

  // Power cycle: the bridge's power control, or a controller reset of the native drive.
  if (cmdType == CMD_TYPE_ASM) {
    EXPECT_EQ(IO_USB_ASM_PowerCtrl(h, ASM_POWER_MODE_CYCLE), 1);
  } else if (cmdType == CMD_TYPE_JMI) {
    EXPECT_EQ(IO_USB_JMI_PowerCtrl(h, JMI_POWER_MODE_CYCLE), 1);
  }
  platform::Io().Close(h);
  if (cmdType == CMD_TYPE_NVME) {
    disk->ResetController();
  } else {
    EXPECT_FALSE(disk->Present());
    EXPECT_EQ(platform::Io().Open(u"\\\\.\\PhysicalDrive1", &error), platform::INVALID_DEVICE);
    platform::Time().Sleep(3000);
  }

  // The drive runs the new image, names itself by it, and keeps its own configuration.
  h = platform::Io().Open(u"\\\\.\\PhysicalDrive1", &error);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  EXPECT_EQ(disk->Controller().LastActivation(), emu::Activation::Activated);
  EXPECT_EQ(disk->Controller().ActiveImage(), sent);
  std::fill(id.begin(), id.end(), 0);
  ASSERT_EQ(IdentifyCmd(cmdType, h, 1, 0, id.data(), 4096, &status), 1);
  EXPECT_EQ(Text(id.data() + 64, 8), "3.2.F.2A");
  EXPECT_EQ(Text(id.data() + 4, 20), "Q7-0042-7781        ");
  EXPECT_EQ(Text(id.data() + 24, 15), "QUORVELA Q7 1TB");
  std::fill(block.begin(), block.end(), 0);
  ASSERT_EQ(SendVendorCmd(cmdType, h, 2, 0xE6, 1, 0, SIGNATURE_CDW14, SIGNATURE_CDW15, block.data(), 4096), 1);
  std::vector<uint8_t> expected = original;
  std::memcpy(expected.data() + 1064, "3.2.F.2A", 8);
  EXPECT_EQ(block, expected);
  platform::Io().Close(h);

  // The capture holds the whole exchange; the decoder finds the commands and the image.
  std::vector<uint8_t> capture = ReadCapture();
  size_t skipped = 0;
  std::vector<fwcap::Line> lines =
      fwcap::ParseCapture(std::string(capture.begin(), capture.end()), &skipped);
  EXPECT_EQ(skipped, 0u);
  std::vector<fwcap::Command> commands = fwcap::DecodeCommands(lines);
  const fwcap::Path path = cmdType == CMD_TYPE_NVME ? fwcap::Path::Native
                           : cmdType == CMD_TYPE_ASM ? fwcap::Path::ASMedia
                                                     : fwcap::Path::JMicron;
  size_t downloads = 0, commits = 0, vendorReads = 0;
  for (const fwcap::Command& c : commands) {
    EXPECT_EQ(c.path, path) << fwcap::ListLine(c);
    EXPECT_TRUE(c.carried) << fwcap::ListLine(c);
    if (c.opcode == 0x11) ++downloads;
    if (c.opcode == 0x10) {
      ++commits;
      EXPECT_EQ(c.cdw[0], 0x09u);
    }
    if (c.opcode == 0xE6 && c.cdw[2] == 3) {
      ++vendorReads;
      EXPECT_EQ(c.nsid, 0xFFFFFFFFu);
      EXPECT_EQ(c.cdw[0], 0x400u);
      EXPECT_EQ(c.cdw[4], SIGNATURE_CDW14);
      EXPECT_EQ(c.cdw[5], SIGNATURE_CDW15);
      EXPECT_EQ(c.dataLength, 4096u);
    }
  }
  EXPECT_EQ(downloads, 163u);
  EXPECT_EQ(commits, 1u);
  EXPECT_EQ(vendorReads, 1u);
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0].opcode, 0x06);
  EXPECT_EQ(commands[0].cdw[0], 1u);
  std::vector<uint8_t> rebuilt;
  std::string message;
  ASSERT_TRUE(fwcap::ReassembleImage(commands, &rebuilt, &message)) << message;
  EXPECT_EQ(rebuilt.size(), sent.size());
  EXPECT_TRUE(rebuilt == sent);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, CommandPaths,
                         ::testing::Values(Path{"native", emu::BridgeKind::None, CMD_TYPE_NVME},
                                           Path{"asmedia", emu::BridgeKind::ASMedia, CMD_TYPE_ASM},
                                           Path{"jmicron", emu::BridgeKind::JMicron, CMD_TYPE_JMI}),
                         [](const ::testing::TestParamInfo<Path>& info) { return std::string(info.param.name); });

// A drive of the older kind, without the flash information block: the image goes unpatched and
// the name travels in the legacy block.
TEST_P(CommandPaths, LegacyDriveTakesItsNameFromTheLegacyBlock) {
  const int32_t cmdType = GetParam().cmdType;
  emu::DriveDescription description = Description();
  description.flashInfo.answers = false;
  std::shared_ptr<emu::EmuDisk> disk = emu::MakeDrive(bench(), description);
  platform::DeviceHandle h = platform::Io().Open(u"\\\\.\\PhysicalDrive1", nullptr);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  DriveRecord record{};
  ASSERT_EQ(ReadFlashInfo(cmdType, h, &record), 1);
  EXPECT_EQ(record.hasVendorInfo, 0);
  EXPECT_EQ(record.flashType, 0x2C04u);  // from the legacy block's flash ID entries
  std::vector<uint8_t> sample = MakeSampleImage();
  auto* image = static_cast<uint8_t*>(platform::Sys().PageAlloc(sample.size()));
  std::memcpy(image, sample.data(), sample.size());
  ASSERT_EQ(DownloadFW(cmdType, h, image, static_cast<uint32_t>(sample.size())), 1);
  platform::Sys().PageFree(image);
  ASSERT_EQ(FWCommit(cmdType, h, FW_SLOT, FW_COMMIT_ACTION_REPLACE), 1);
  ASSERT_EQ(WriteVendorFwName(cmdType, h, u"3.2.F.2A"), 1);
  if (cmdType == CMD_TYPE_ASM) IO_USB_ASM_PowerCtrl(h, ASM_POWER_MODE_CYCLE);
  if (cmdType == CMD_TYPE_JMI) IO_USB_JMI_PowerCtrl(h, JMI_POWER_MODE_CYCLE);
  platform::Io().Close(h);
  if (cmdType == CMD_TYPE_NVME) disk->ResetController();
  platform::Time().Sleep(3000);
  h = platform::Io().Open(u"\\\\.\\PhysicalDrive1", nullptr);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  EXPECT_EQ(disk->Controller().LastActivation(), emu::Activation::Activated);
  EXPECT_EQ(disk->Controller().FirmwareName(), "3.2.F.2A");
  // The legacy block keeps the drive's identification after its head.
  DriveRecord again{};
  ASSERT_EQ(ReadFlashInfo(cmdType, h, &again), 1);
  EXPECT_EQ(again.flashType, 0x2C04u);
  platform::Io().Close(h);
}

}  // namespace
