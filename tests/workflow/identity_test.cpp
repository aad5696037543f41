// A firmware image reaches only the drive the user chose: look-ups by port ID that meet other
// drives, disk numbers that another drive takes over, failed re-reads, and the last check behind
// the opened handle. Each case asserts which disks received anything that changes a drive.
#include <map>

#include "core/guards.h"
#include "tests/workflow/workflow_fixture.h"
#include "tools/fwcap/capture_decode.h"

using namespace platform;
using testenv::Narrow;
using namespace workflow;

namespace {

// Commands that change a drive (a firmware download or commit, any command that sends data), by
// the path they were sent through, decoded from the capture.
std::map<std::string, int> WritesByPath(emu::Bench& bench) {
  std::string text;
  for (const std::string& line : bench.Capture().Lines()) text += line + "\n";
  std::map<std::string, int> writes;
  for (const fwcap::Command& c : fwcap::DecodeCommands(fwcap::ParseCapture(text)))
    if (c.opcode == 0x10 || c.opcode == 0x11 || c.direction == '>') ++writes[c.device];
  return writes;
}

// The text with the first occurrence of from replaced.
std::string ReplacedFirst(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The Q5 of the default bench takes over disk number 2 when it comes back from a power cycle.
std::string Q5TakesDiskTwoBench() {
  std::string text = BenchWith("drive q7-asmedia", "never-return = yes");
  return BenchWith("drive q5-native", "return-disk = 2\npower-cycle-ms = 500", text);
}

// A native Q7 drive on its own controller at bus controllerBus, below a PCI device at bus
// parentBus: its port ID is parentBus x 99 + controllerBus.
std::string NativeQ7(const std::string& name, int parentBus, int controllerBus, int disk, const std::string& serial) {
  return "[pci " + name + "-port]\nparent = host-bridge\nbus = " + std::to_string(parentBus) + "\n" +
         "[nvme " + name + "-controller]\nparent = " + name + "-port\nbus = " + std::to_string(controllerBus) + "\n" +
         "[drive " + name + "]\nparent = " + name + "-controller\ndisk = " + std::to_string(disk) +
         "\nmodel = QUORVELA Q7 1TB\nfirmware = 3.2.F.P7\nserial = " + serial +
         "\nblocks = 1953525168\nsoc-id = 0x7C63\nflash-id = 2C C3 08 32 EA 00\ninternal-version = 3.2.F.2C\n";
}

// Two native Q7 drives whose port IDs collide: 0 x 99 + 201 and 2 x 99 + 3 are both 201.
std::string CollidingNativeBench() {
  return emu::DefaultBenchText() + "\n" + NativeQ7("qa", 0, 201, 6, "QV7A2411000A") + NativeQ7("qb", 2, 3, 7, "QV7A2411000B");
}

class Identity : public Workflow {
 protected:
  void Unplug(const char* drive) { contents_.Drive(drive)->PowerCycle(); }
  void LetTimePass(uint32_t ms) {
    bench().Clock().Advance(ms);
    bench().Tick();
  }
  bool Untouched(const char* drive) {
    auto& c = contents_.Drive(drive)->Controller();
    return !c.ActivationPending() && c.DownloadedPieces() == 0 && c.FirmwareName() == "3.2.F.P7";
  }
};

}  // namespace

TEST_F(Identity, AFailedReadOfTheSelectionDoesNotSendTheImageElsewhere) {
  // The third Identify of the ASMedia drive is the re-read on selection. A record left empty by
  // it would read as an ASMedia drive at port ID 0, the port ID of every disk not behind USB.
  Start(BenchWith("drive q7-asmedia", "fault = identify nth=3"));
  Select(1);
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110002        ");
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?");
  auto writes = WritesByPath(bench());
  ASSERT_EQ(writes.size(), 1u) << testing::PrintToString(writes);
  EXPECT_EQ(writes.begin()->first, "\\\\.\\PhysicalDrive2");
  EXPECT_TRUE(Untouched("q7-native"));
}

TEST_F(Identity, AFailedReadAtRunStartsNothing) {
  // The fifth Identify is RUN's re-read of the selected ASMedia drive.
  Start(BenchWith("drive q7-asmedia", "fault = identify nth=5"));
  Select(1);
  dialog().Deliver(MSG_COMMAND, ID_OK, 0);
  EXPECT_EQ(BoxTexts(), std::vector<std::u16string>{u"Update FW Fail !"});
  EXPECT_FALSE(IsUpdateRunning());
  EXPECT_TRUE(WritesByPath(bench()).empty());
  // The list was rebuilt and still selects the drive under its own name.
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 1);
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110002        ");
}

TEST_F(Identity, ADiskNumberTakenOverBeforeRunStartsNothing) {
  // The selected bridged drive is unplugged and a drive that was never listed comes back under
  // its disk number.
  Start(Q5TakesDiskTwoBench());
  Select(1);
  Unplug("q7-asmedia");
  Unplug("q5-native");
  LetTimePass(500);
  ASSERT_EQ(contents_.Drive("q5-native")->DiskNumber(), 2u);
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW Fail !");
  EXPECT_TRUE(WritesByPath(bench()).empty());
  EXPECT_EQ(contents_.Drive("q5-native")->Controller().DownloadedPieces(), 0u);
  EXPECT_FALSE(contents_.Drive("q5-native")->Controller().ActivationPending());
}

TEST_F(Identity, ADiskNumberTakenOverWhileTheQuestionIsOpenStartsNothing) {
  Start(Q5TakesDiskTwoBench());
  Select(1);
  // While the warning is open the drive leaves, the Q5 takes its disk number, and the device
  // change rebuilds the list; then the user answers Yes.
  dialog().SetAnswer([this](const HeadlessDialog::Box& box) {
    if ((box.type & 0x0F) != BOX_YESNO) return ID_OK;
    Unplug("q7-asmedia");
    Unplug("q5-native");
    LetTimePass(500);
    dialog().Deliver(MSG_DEVICECHANGE, 7, 0);
    LetTimePass(DEVICE_CHANGE_DELAY_MS);
    return ID_YES;
  });
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW Fail !");
  EXPECT_TRUE(WritesByPath(bench()).empty());
  EXPECT_EQ(contents_.Drive("q5-native")->Controller().DownloadedPieces(), 0u);
}

TEST_F(Identity, TheWorkerWritesNothingToAnotherDriveBehindThePath) {
  // The path of the chosen drive leads to another drive by the time the worker opens it: one of
  // the same model with another serial number, or a drive with the same serial number and model
  // on another command path. The drive behind the handle is identified before anything is written.
  struct Case {
    const char* what;
    std::string bench;
    const char16_t* serial;  // given to the chosen drive's record
    const char16_t* path;    // where the worker finds it
  };
  const Case cases[] = {
      {"another serial number", emu::DefaultBenchText(), u"QV7A24110009        ", nullptr},
      {"a bridged drive with the native drive's serial and model",
       BenchWith("drive q7-asmedia", "serial = QV7A24110001", ReplacedFirst(emu::DefaultBenchText(), "serial = QV7A24110002", "")),
       nullptr, u"\\\\.\\PhysicalDrive2"},
  };
  for (const Case& c : cases) {
    Start(c.bench);
    AppState& s = AppStateGet();
    s.traceEnabled = 1;
    s.selectedDrive = s.drives[0];
    ASSERT_EQ(s.selectedDrive.iCmdType, CMD_TYPE_NVME) << c.what;
    if (c.serial != nullptr) TextCopy(s.selectedDrive.serial, DRIVE_TEXT_CHARS, c.serial);
    if (c.path != nullptr) TextCopy(s.selectedDrive.devicePath, DRIVE_TEXT_CHARS, c.path);
    RunWorker();
    EXPECT_EQ(LastBox(), u"Update FW Fail !") << c.what;
    EXPECT_TRUE(WritesByPath(bench()).empty()) << c.what;
    bool traced = false;
    for (const std::u16string& line : testenv::DebugLines())
      traced |= Narrow(line).find("does not answer as the chosen drive") != std::string::npos;
    EXPECT_TRUE(traced) << c.what;
    TearDown();
    SetUp();
    contents_ = {};
  }
}

TEST_F(Identity, DrivesWhosePortIdsCollideStayApart) {
  Start(CollidingNativeBench());
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 5u);
  ASSERT_EQ(AppStateGet().drives[entries[3].data].iPort, AppStateGet().drives[entries[4].data].iPort);
  Select(4);
  EXPECT_EQ(dialog().ItemText(IDC_SERIAL), u"QV7A2411000B        ");
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?");
  auto writes = WritesByPath(bench());
  ASSERT_EQ(writes.size(), 1u) << testing::PrintToString(writes);
  EXPECT_EQ(writes.begin()->first, "\\\\.\\PhysicalDrive7");
  EXPECT_TRUE(Untouched("qa"));
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 4);
}

TEST_F(Identity, ANativeAndABridgedDriveAtOnePortIdStayApartInTheList) {
  // A native Q7 below a root port on bus 1 at bus 5: 1 x 99 + 5 = 104, the ASMedia drive's port ID.
  Start(emu::DefaultBenchText() + "\n" + NativeQ7("qn", 1, 5, 6, "QV7A2411000N"));
  ASSERT_EQ(dialog().ComboEntries(IDC_DRIVE_LIST).size(), 4u);
  Select(1);
  RefreshDriveList(window_, false);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 1);
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110002        ");
  EXPECT_EQ(dialog().ItemText(IDC_INTERFACE), u"ASMedia Bridge NVME to USB-4");
}

TEST_F(Identity, AFailedReadAfterTheUpdateKeepsTheDrivesRecord) {
  // The eighth Identify of the ASMedia drive is the first after its power cycle.
  Start(BenchWith("drive q7-asmedia", "fault = identify nth=8"));
  Select(1);
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?");
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& e : entries) EXPECT_EQ(e.text.find(u"Disconnect"), std::u16string::npos) << Narrow(e.text);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 1);
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110002        ");
}

TEST_F(Identity, AReadThatLosesTheFlashInformationIsNotTrusted) {
  // The fifth vendor read of the ASMedia drive is RUN's read of its flash information. Taken as a
  // drive without it, the update would take the legacy path and replace the drive's
  // configuration with the image's template.
  Start(BenchWith("drive q7-asmedia", "fault = vendor-read nth=5 action=error-completion status=0x0006"));
  Select(1);
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW Fail !");
  EXPECT_TRUE(WritesByPath(bench()).empty());
  EXPECT_EQ(AppStateGet().selectedDrive.hasVendorInfo, 1);
}
