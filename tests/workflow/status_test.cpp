// Errors the drive or the bridge reports during an update, one injected fault per update on every
// command path: the update ends with the failing step's code, nothing after that step reaches the
// drive, the user is told "Update FW Fail !", and the drive's configuration block is never replaced
// by one that does not begin with "CONF".
#include <array>
#include <cstring>

#include "emu/drive.h"
#include "image/firmware_image.h"
#include "nvme/nvme_command.h"
#include "tests/workflow/workflow_fixture.h"

using namespace platform;
using namespace workflow;

namespace {

// One update with one fault: the bench, the list entry, and the drive's name on the bench.
struct Case {
  std::string what;
  std::string bench;
  int entry;
  const char* drive;
};

// The ordinal of the worker's configuration read among the drive's vendor reads: before it, the
// flash information and legacy blocks are read at the first listing, when the first entry is
// shown (the native drive), at the selection, and at RUN.
constexpr int kConfigReadNative = 9;
constexpr int kConfigReadBridged = 7;

std::string Fault(const std::string& kind, int nth, const std::string& action) {
  return "fault = " + kind + " nth=" + std::to_string(nth) + " " + action;
}

std::vector<Case> OnEveryPath(const std::string& kind, int nthNative, int nthBridged,
                              const std::array<std::string, 3>& actions) {
  return {
      {"native " + kind, BenchWith("drive q7-native", Fault(kind, nthNative, actions[0])), 0, "q7-native"},
      {"ASMedia " + kind, BenchWith("drive q7-asmedia", Fault(kind, nthBridged, actions[1])), 1, "q7-asmedia"},
      {"JMicron " + kind, BenchWith("drive q7-jmicron", Fault(kind, nthBridged, actions[2]), MicronJMicronBench()), 2,
       "q7-jmicron"},
  };
}

// The configuration block as the drive keeps it.
std::vector<uint8_t> Config(emu::EmuDisk& drive) {
  const auto& block = drive.Controller().ConfigBlock();
  return std::vector<uint8_t>(block.begin(), block.end());
}

// Writes a block over the drive's configuration block, as the drive's own 0xE5 command does.
void WriteConfig(emu::EmuDisk& drive, std::vector<uint8_t> block) {
  NvmeCommand c = VendorCommand(NVME_OPC_VENDOR_WRITE_CONFIG, VENDOR_BLOCK_BYTES, VENDOR_SUB_CONFIG, 0,
                                VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15);
  uint8_t command[64];
  std::memcpy(command, &c, sizeof command);
  ASSERT_EQ(drive.Controller().Execute(command, emu::DataDirection::ToDevice, block.data(), VENDOR_BLOCK_BYTES).status, 0);
}

class Status : public Workflow {
 protected:
  // Runs the update of the case's drive and checks what every failed update has in common.
  emu::EmuDisk& RunFailing(const Case& c, int result) {
    Start(c.bench);
    Select(c.entry);
    emu::EmuDisk& drive = *contents_.Drive(c.drive);
    before_ = Config(drive);
    RunUpdate();
    EXPECT_EQ(LastResult(), result) << c.what;
    EXPECT_EQ(LastBox(), u"Update FW Fail !") << c.what;
    EXPECT_EQ(drive.FaultsStruck(), 1u) << c.what;
    EXPECT_EQ(drive.Controller().Resets(), 0u) << c.what << ": no power cycle after a failed step";
    return drive;
  }
  // A fresh bench and dialog for the next case.
  void Again() {
    TearDown();
    SetUp();
    contents_ = {};
  }
  std::vector<uint8_t> before_;
};

}  // namespace

TEST_F(Status, ConfigurationReadErrorStopsBeforeAnythingIsWritten) {
  for (const Case& c : OnEveryPath("vendor-read", kConfigReadNative, kConfigReadBridged,
                                   {"action=error-completion status=0x0006", "action=check-condition phase=3",
                                    "action=error-completion status=0x0002"})) {
    emu::EmuDisk& drive = RunFailing(c, NVME_RESULT_DEVICE_ERROR);
    EXPECT_EQ(drive.Controller().DownloadedPieces(), 0u) << c.what;
    EXPECT_FALSE(drive.Controller().ActivationPending()) << c.what;
    EXPECT_EQ(Config(drive), before_) << c.what;
    Again();
  }
}

TEST_F(Status, DownloadOrCommitErrorLeavesTheDriveAsItWas) {
  // The last chunk completes with an error or ends in CHECK CONDITION in its completion phase, a
  // middle one in its command or data phase; the commit completes with an error or its data phase
  // ends in CHECK CONDITION. Nothing is committed, named or power-cycled. (The native path's
  // firmware requests fail as requests when the drive completes them with an error.)
  std::vector<Case> cases = OnEveryPath("firmware-download", 163, 163,
                                        {"action=error-completion status=0x0006", "action=error-completion status=0x0006",
                                         "action=check-condition phase=3"});
  for (Case& c : OnEveryPath("firmware-commit", 1, 1,
                             {"action=error-completion status=0x0107", "action=error-completion status=0x0107",
                              "action=check-condition phase=2"}))
    cases.push_back(c);
  for (const char* phase : {"phase=1", "phase=2"})
    cases.push_back({"ASMedia middle chunk",
                     BenchWith("drive q7-asmedia", Fault("firmware-download", 82, "action=check-condition ") + phase), 1,
                     "q7-asmedia"});
  for (const Case& c : cases) {
    emu::EmuDisk& drive = RunFailing(c, c.entry == 0 ? NVME_RESULT_IO_FAILED : NVME_RESULT_DEVICE_ERROR);
    EXPECT_TRUE(drive.Controller().SlotImage().empty()) << c.what;
    EXPECT_FALSE(drive.Controller().ActivationPending()) << c.what;
    EXPECT_EQ(Config(drive), before_) << c.what << ": no name written";
    drive.ResetController();
    EXPECT_EQ(drive.Controller().FirmwareName(), "3.2.F.P7") << c.what;
    Again();
  }
}

TEST_F(Status, SecondConfigurationReadErrorSkipsTheWriteBack) {
  for (const Case& c : OnEveryPath("vendor-read", kConfigReadNative + 1, kConfigReadBridged + 1,
                                   {"action=error-completion status=0x0006", "action=check-condition phase=2",
                                    "action=error-completion status=0x0006"})) {
    emu::EmuDisk& drive = RunFailing(c, NVME_RESULT_DEVICE_ERROR);
    EXPECT_EQ(Config(drive), before_) << c.what << ": nothing written back";
    // The committed image carries the configuration the drive had, under the new name.
    ASSERT_TRUE(drive.Controller().ActivationPending()) << c.what;
    drive.ResetController();
    EXPECT_EQ(drive.Controller().FirmwareName(), "3.2.F.2A") << c.what;
    std::vector<uint8_t> expected = before_;
    std::memcpy(expected.data() + offsetof(ConfigBlock, fwName), "3.2.F.2A", 8);
    EXPECT_EQ(Config(drive), expected) << c.what;
    Again();
  }
}

TEST_F(Status, BlockWithoutItsMarkIsNeitherCarriedOverNorWrittenBack) {
  // A drive that answers the configuration read with zeros, or with its own block whose mark is
  // wrong in its last letter: nothing reaches it.
  for (const char* mark : {"\0\0\0\0", "CONX"}) {
    Start();
    emu::EmuDisk& drive = *contents_.Drive("q7-native");
    std::vector<uint8_t> block = mark[0] == 0 ? std::vector<uint8_t>(VENDOR_BLOCK_BYTES, 0) : Config(drive);
    std::memcpy(block.data(), mark, 4);
    WriteConfig(drive, block);
    RunUpdate();
    EXPECT_EQ(LastResult(), UPDATE_CONFIG_INVALID) << mark;
    EXPECT_EQ(LastBox(), u"Update FW Fail !") << mark;
    EXPECT_TRUE(CaptureWith(kDownloadCode).empty()) << mark;
    EXPECT_EQ(Config(drive), block) << mark;
    Again();
  }

  // The block is lost while the image is committed (after the first 3-second wait): the name is
  // not written back over it.
  Start();
  emu::EmuDisk& other = *contents_.Drive("q7-native");
  std::vector<uint8_t> wiped(VENDOR_BLOCK_BYTES, 0);
  std::memcpy(wiped.data(), "XONF", 4);
  bench().At(bench().Clock().TickCount64() + FW_STAGE_WAIT_MS + 500, [&other, wiped] { WriteConfig(other, wiped); });
  RunUpdate();
  EXPECT_EQ(LastResult(), UPDATE_CONFIG_INVALID);
  EXPECT_EQ(LastBox(), u"Update FW Fail !");
  EXPECT_EQ(CaptureWith(kActivateCode).size(), 1u);
  EXPECT_EQ(Config(other), wiped);
}

TEST_F(Status, EmptyNewVersionWritesNoName) {
  for (const char* lines : {"", "flash-info = no"}) {
    Start(BenchWith("drive q7-native", lines));
    AppStateGet().newVersion[0] = 0;  // a package without NEWVERSION
    emu::EmuDisk& drive = *contents_.Drive("q7-native");
    const auto legacy = drive.Controller().LegacyBlock();
    RunUpdate();
    EXPECT_EQ(LastResult(), 1) << lines;
    int writes = 0;
    for (const std::string& line : CaptureWith(kProtocolCode)) {
      std::string in = line.substr(line.find("in=") + 3);
      if (in.size() >= 2 * (80 + 64) && (in.substr(160, 2) == "E5" || in.substr(160, 2) == "F1")) ++writes;
    }
    EXPECT_EQ(writes, 0) << lines;
    EXPECT_EQ(drive.Controller().LegacyBlock(), legacy) << lines;
    // The drive runs the new image under its old name; on the configuration path the image
    // carried the drive's own block.
    drive.ResetController();
    EXPECT_EQ(drive.Controller().FirmwareName(), "3.2.F.P7") << lines;
    const auto& config = drive.Controller().ConfigBlock();
    if (lines[0] == 0) {
      EXPECT_EQ(std::string(config.begin() + offsetof(ConfigBlock, fwName), config.begin() + offsetof(ConfigBlock, fwName) + 8),
                "3.2.F.P7");
    }
    Again();
  }
}
