// The update workflow on the emulated bench and the virtual clock: the drive list and its
// rebuilds, the eligibility check, the worker's stages on every command path, completion, and
// whole updates that leave the emulated drives running the new image.
#include <atomic>

#include "app/progress.h"
#include "core/guards.h"
#include "emu/bench_state.h"
#include "tests/workflow/workflow_fixture.h"

using namespace platform;
using testenv::Narrow;
using namespace workflow;

TEST_F(Workflow, StartListsThePackagesDrivesWithTheirDetails) {
  Start();
  EXPECT_EQ(dialog().Caption(), u"Quorvela Q7 Firmware Update (sample package)");
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 3u);  // the Q5 is not the package's model
  EXPECT_EQ(entries[0].text, u"QUORVELA Q7 1TB [D: ]");
  EXPECT_EQ(entries[1].text, u"QUORVELA Q7 1TB (RAW)");
  EXPECT_EQ(entries[2].text, u"QUORVELA Q7 1TB (RAW)");
  // Item data: indexes into AppState.drives that skip the filtered drive (disk 4 is the Q5).
  EXPECT_EQ(entries[0].data, 0);
  EXPECT_EQ(entries[1].data, 1);
  EXPECT_EQ(entries[2].data, 2);
  EXPECT_EQ(AppStateGet().driveCount, 4u);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 0);
  EXPECT_EQ(dialog().ItemText(IDC_MODEL), u"QUORVELA Q7 1TB");
  EXPECT_EQ(dialog().ItemText(IDC_SERIAL), u"QV7A24110001        ");
  EXPECT_EQ(dialog().ItemText(IDC_INTERFACE), u"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4");
  EXPECT_EQ(dialog().ItemText(IDC_FIRMWARE), u"3.2.F.P7");
  EXPECT_EQ(dialog().ItemText(IDC_CAPACITY), u"1000 GB");
  EXPECT_TRUE(dialog().ItemEnabled(ID_OK));

  Select(1);
  EXPECT_EQ(dialog().ItemText(IDC_INTERFACE), u"ASMedia Bridge NVME to USB-4");
  Select(2);
  EXPECT_EQ(dialog().ItemText(IDC_INTERFACE), u"JMicron Bridge NVME to USB-2");
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110003        ");
}

TEST_F(Workflow, PackageFilterBySocIdAndModel) {
  DriveRecord d{};
  TextCopy(d.model, DRIVE_TEXT_CHARS, u"QUORVELA Q7 1TB");
  d.controllerCode = 0x7C63;
  EXPECT_TRUE(DriveMatchesPackage(d, u"", u"*"));
  EXPECT_TRUE(DriveMatchesPackage(d, u"quorvela q7", u"7C63"));
  EXPECT_FALSE(DriveMatchesPackage(d, u"", u"7c63"));  // the code is compared exactly
  EXPECT_TRUE(DriveMatchesPackage(d, u"", u"TORVANEX"));
  EXPECT_FALSE(DriveMatchesPackage(d, u"", u""));
  EXPECT_FALSE(DriveMatchesPackage(d, u"QUORVELA Q5", u"*"));
  d.controllerCode = 0;
  EXPECT_FALSE(DriveMatchesPackage(d, u"", u"TORVANEX"));
  EXPECT_TRUE(DriveMatchesPackage(d, u"", u"0000"));
  d.controllerCode = 0xA;
  EXPECT_TRUE(DriveMatchesPackage(d, u"", u"000A"));
}

TEST_F(Workflow, InterfaceTextsAndLinkSpeedsBeyondTheTable) {
  DriveRecord d{};
  d.iCmdType = CMD_TYPE_NVME;
  d.linkWidth = 4;
  char16_t text[128];
  struct {
    uint32_t speed;
    const char16_t* text;
  } speeds[] = {
      {0, u" x 4"},
      {4, u"PCIE Gen4 Signaling Speed (16.0 Gbps) x 4"},
      {5, u"PCIE Gen5 Signaling Speed (32.0 Gbps) x 4"},
      {6, u"PCIE Gen6 Signaling Speed (64.0 Gbps) x 4"},
      {7, u" x 4"},  // beyond the table: no name is shown
      {0xFFFFFFFF, u" x 4"},
  };
  for (const auto& row : speeds) {
    d.linkSpeed = row.speed;
    FormatInterfaceText(d, text, 128);
    EXPECT_EQ(std::u16string(text), row.text) << row.speed;
  }
  d.iCmdType = CMD_TYPE_JMI;
  d.iPort = 1010203;
  FormatInterfaceText(d, text, 128);
  EXPECT_EQ(std::u16string(text), u"JMicron Bridge NVME to USB-3");
  d.iCmdType = CMD_TYPE_ASM;
  d.iPort = -1;  // the remainder is taken of the unsigned value
  FormatInterfaceText(d, text, 128);
  EXPECT_EQ(std::u16string(text), u"ASMedia Bridge NVME to USB-15");
}

TEST_F(Workflow, RebuildKeepsTheSelectedDrive) {
  Start();
  Select(1);  // the ASMedia drive
  dialog().SetItemText(window_, IDC_STATUS, u"marker");
  // The native drive in front of it goes away: after the rebuild the same drive is still
  // selected, now as the first entry, and the status line is untouched.
  bench().RemoveDevice(u"\\\\.\\PhysicalDrive1");
  RefreshDriveList(window_, false);
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 0);
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110002        ");
  EXPECT_EQ(dialog().ItemText(IDC_STATUS), u"marker");

  // When the selected drive itself is gone, the first entry is selected and the status cleared.
  bench().RemoveDevice(u"\\\\.\\PhysicalDrive2");
  RefreshDriveList(window_, false);
  EXPECT_EQ(dialog().ComboEntries(IDC_DRIVE_LIST).size(), 1u);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 0);
  EXPECT_EQ(dialog().ItemText(IDC_STATUS), u"");
}

TEST_F(Workflow, ABridgedDriveBackUnderAnotherDiskNumberStaysSelected) {
  // Disk numbers are not the drive's: it is found again at its port ID.
  Start(BenchWith("drive q7-asmedia", "return-disk = 7\npower-cycle-ms = 1000"));
  Select(1);
  contents_.Drive("q7-asmedia")->PowerCycle();
  bench().Clock().Advance(1000);
  bench().Tick();
  RefreshDriveList(window_, false);
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 2);  // disk 7 now comes after disk 3
  EXPECT_EQ(AppStateGet().selectedDrive.diskNumber, 7u);
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110002        ");
}

TEST_F(Workflow, WaitsPostTheirStepsAndSendTheirEnd) {
  // The steps of a wait are posted; its last 100 is sent, so the worker waits until the bar has
  // reached the stage's end before it changes the stage.
  Start();
  g_percents.clear();
  WaitWithProgress(3000);
  EXPECT_EQ(g_percents, std::vector<int>{100});
  EXPECT_EQ(dialog().Pump(), 2);
  EXPECT_EQ(g_percents, (std::vector<int>{100, 33, 66}));
  g_percents.clear();
  WaitWithProgress(1000);
  EXPECT_EQ(g_percents, std::vector<int>{100});
  EXPECT_EQ(dialog().Pump(), 0);
  EXPECT_EQ(bench().Clock().Slept(), 4000u);
}

TEST_F(Workflow, DisconnectEntryDuringABridgePowerCycle) {
  Start(BenchWith("drive q7-asmedia", "power-cycle-ms = 5000"));
  Select(1);
  AppState& s = AppStateGet();
  // An update of the ASMedia drive is under way and its bridge has just been power-cycled.
  s.workerThread = reinterpret_cast<ThreadHandle>(0x1);
  contents_.Drive("q7-asmedia")->PowerCycle();
  RefreshDriveList(window_, false);
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].text, u"QUORVELA Q7 1TB (RAW) - Disconnect");
  EXPECT_EQ(entries[2].data, static_cast<intptr_t>(s.driveCount));
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 2);

  // It returns: the next rebuild selects its normal entry again.
  bench().Clock().Advance(5000);
  bench().Tick();
  RefreshDriveList(window_, false);
  entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 1);
  EXPECT_EQ(entries[1].text, u"QUORVELA Q7 1TB (RAW)");
  s.workerThread = nullptr;
}

TEST_F(Workflow, TheDisconnectEntryAfterAnUpdateNamesNoDrive) {
  Start(BenchWith("drive q7-asmedia", "never-return = yes"));
  Select(1);
  AppState& s = AppStateGet();
  s.workerThread = reinterpret_cast<ThreadHandle>(0x1);
  contents_.Drive("q7-asmedia")->PowerCycle();
  RefreshDriveList(window_, false);
  s.workerThread = nullptr;
  ASSERT_EQ(dialog().Selection(IDC_DRIVE_LIST), 2);
  // Selecting it or pressing RUN on it reads nothing past the enumerated drives: the list is
  // rebuilt instead, and no update starts.
  Select(2);
  EXPECT_EQ(dialog().ComboEntries(IDC_DRIVE_LIST).size(), 2u);
  s.workerThread = reinterpret_cast<ThreadHandle>(0x1);
  RefreshDriveList(window_, false);
  s.workerThread = nullptr;
  dialog().ComboSetCurSel(window_, IDC_DRIVE_LIST, 2);
  dialog().Deliver(MSG_COMMAND, ID_OK, 0);
  EXPECT_FALSE(IsUpdateRunning());
  EXPECT_TRUE(dialog().Boxes().empty());
}

TEST_F(Workflow, EligibilityByRevisionImageAndInternalVersion) {
  Start();
  DriveRecord d = AppStateGet().drives[0];
  for (const char16_t* rev : {u"3.2.F.2A", u"3.2.f.2a", u"3.2.F.P7"}) {
    TextCopy(d.fwRevision, DRIVE_TEXT_CHARS, rev);
    EXPECT_TRUE(DriveIsEligible(d)) << Narrow(rev);
  }
  for (const char16_t* rev : {u"3.2.F", u"3.2.F.2A1", u"", u"P7"}) {
    TextCopy(d.fwRevision, DRIVE_TEXT_CHARS, rev);
    EXPECT_FALSE(DriveIsEligible(d)) << Narrow(rev);
  }
  TextCopy(d.fwRevision, DRIVE_TEXT_CHARS, u"3.2.F.P7");
  // Internal versions: three parts must agree; a drive without one skips the test.
  TextCopy(d.internalFwVersion, DRIVE_TEXT_CHARS, u"3.2.E.2F");
  EXPECT_FALSE(DriveIsEligible(d));
  d.internalFwVersion[0] = 0;
  EXPECT_TRUE(DriveIsEligible(d));
  // An empty list lets every revision through to the image test.
  AppStateGet().fwVersionList[0] = 0;
  TextCopy(d.fwRevision, DRIVE_TEXT_CHARS, u"0.0.0.0");
  EXPECT_TRUE(DriveIsEligible(d));
  // A FWVersion whose first version is too long to keep (300 characters) lets none through.
  std::u16string list = std::u16string(300, u'V') + u";3.2.F.P7";
  WrapVersionList(list.c_str(), AppStateGet().fwVersionList, TEXT_PATH);
  for (const char16_t* rev : {u"3.2.F.P7", u"0.0.0.0", u""}) {
    TextCopy(d.fwRevision, DRIVE_TEXT_CHARS, rev);
    EXPECT_FALSE(DriveIsEligible(d)) << Narrow(rev);
  }
}

TEST_F(Workflow, NoImageForTheDrivesFlashIsNotEligible) {
  Start();
  Select(2);  // the JMicron drive carries a flash type without an image
  dialog().Deliver(MSG_COMMAND, ID_OK, 0);
  EXPECT_EQ(BoxTexts(), std::vector<std::u16string>{u"Do not need to update."});
  EXPECT_FALSE(IsUpdateRunning());
  EXPECT_TRUE(dialog().ItemEnabled(ID_OK));
  EXPECT_TRUE(dialog().ItemEnabled(IDC_DRIVE_LIST));
}

TEST_F(Workflow, AnsweringNoStartsNothing) {
  Start();
  dialog().SetAnswer([](const HeadlessDialog::Box&) { return ID_NO; });
  dialog().Deliver(MSG_COMMAND, ID_OK, 0);
  auto boxes = dialog().Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].type, BOX_YESNO | BOX_ICONWARNING);
  EXPECT_EQ(Narrow(boxes[0].text),
            "Warning ! \r\nIf FW is not back compatible, The user data will be erased.");
  EXPECT_FALSE(IsUpdateRunning());
  EXPECT_TRUE(dialog().ItemEnabled(ID_OK));
  EXPECT_TRUE(dialog().ItemEnabled(IDC_DRIVE_LIST));
  EXPECT_TRUE(CaptureWith(kDownloadCode).empty());
}

TEST_F(Workflow, NativeUpdateStagesAndResult) {
  Start();
  // The result is posted while the update still counts as running: the list the worker rebuilds
  // last must not meet a second start.
  std::atomic<int> runningAtResult{-1};
  dialog().SetPostObserver([&runningAtResult](uint32_t message, uintptr_t, intptr_t) {
    if (message == WM_UPDATE_RESULT) runningAtResult = IsUpdateRunning() ? 1 : 0;
  });
  RunUpdate();
  dialog().SetPostObserver(nullptr);
  EXPECT_EQ(runningAtResult.load(), 1);
  // The question, then the AfterMessage with OK and Cancel (PowerCtrl 2), answered Cancel.
  auto boxes = dialog().Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, u"Update FW OK !\r\nReboot System Now ?");
  EXPECT_EQ(boxes[1].type, BOX_OKCANCEL | BOX_ICONINFORMATION);
  EXPECT_TRUE(testenv::Shutdowns().empty());
  // Stage starts (sent 0s), the download's tens, the two waits, no wait on the native path, the
  // drive found again at once.
  std::vector<int> expected = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90,  // 0..30
                               0, 33, 66, 100,                          // 30..40
                               0, 33, 66, 100,                          // 40..60
                               0,                                       // 60..80
                               0,                                       // 80..100
                               0};                                      // 100..100
  EXPECT_EQ(g_percents, expected);
  // The bar: each stage's share of it. The download's tens are left out: the worker may change the
  // stage while they still wait in the queue.
  std::vector<int> bar = dialog().ProgressHistory(IDC_PROGRESS);
  ASSERT_GE(bar.size(), 11u);
  EXPECT_EQ(std::vector<int>(bar.end() - 11, bar.end()),
            (std::vector<int>{30, 33, 36, 40, 40, 46, 53, 60, 60, 80, 100}));
  EXPECT_EQ(dialog().ProgressPos(IDC_PROGRESS), 100);
  EXPECT_TRUE(dialog().ItemEnabled(ID_OK));
  EXPECT_TRUE(dialog().ItemEnabled(IDC_DRIVE_LIST));
  // The name went through the configuration block: read, carried over, read again and written.
  EXPECT_EQ(CaptureWith(kDownloadCode).size(), 163u);
  EXPECT_EQ(CaptureWith(kActivateCode).size(), 1u);
  EXPECT_EQ(bench().Clock().Slept(), 6000u);
#ifndef _WIN32
  // The host tests give no log folder: the dialog's record of the update is lost, and it says so.
  EXPECT_NE(EventsText().find("\\Quorvela\\FwUpdate.log | "), std::string::npos) << EventsText();
#endif
}

TEST_F(Workflow, KeepInLowerCaseLeavesTheNameAlone) {
  Start();
  TextCopy(AppStateGet().newVersion, TEXT_SHORT, u"keep");
  RunUpdate();
  auto& controller = contents_.Drive("q7-native")->Controller();
  controller.Reset();
  EXPECT_EQ(controller.FirmwareName(), "3.2.F.P7");
  // One configuration read for the carry-over, no second read and no write.
  int configReads = 0, configWrites = 0;
  for (const std::string& line : CaptureWith(kProtocolCode)) {
    // IOCTL_STORAGE_PROTOCOL_COMMAND: the command starts at byte 80 of the record.
    // CDW12 at byte 48 of the command selects the block: 1 is the configuration block.
    std::string in = line.substr(line.find("in=") + 3);
    if (in.size() < 2 * (80 + 64)) continue;
    std::string opcode = in.substr(160, 2), cdw12 = in.substr(2 * (80 + 48), 8);
    if (opcode == "E6" && cdw12 == "01000000") ++configReads;
    if (opcode == "E5" && cdw12 == "01000000") ++configWrites;
  }
  EXPECT_EQ(configReads, 1);
  EXPECT_EQ(configWrites, 0);
}

TEST_F(Workflow, AsmediaUpdatePowerCyclesWithModeOne) {
  Start();
  Select(1);
  RunUpdate();
  auto boxes = BoxTexts();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1], u"Update FW OK !\r\nReboot System Now ?");
  // 60..80: the power control and its 3-second wait.
  ASSERT_GE(g_percents.size(), 6u);
  std::vector<int> tail(g_percents.end() - 6, g_percents.end());
  EXPECT_EQ(tail, (std::vector<int>{0, 33, 66, 100, 0, 0})) << testing::PrintToString(g_percents);
  std::vector<int> bar = dialog().ProgressHistory(IDC_PROGRESS);
  ASSERT_GE(bar.size(), 14u);
  EXPECT_EQ(std::vector<int>(bar.end() - 14, bar.end()),
            (std::vector<int>{30, 33, 36, 40, 40, 46, 53, 60, 60, 66, 73, 80, 80, 100}));
  EXPECT_EQ(bench().Clock().Slept(), 9000u);
  // The drive came back through its power cycle and runs the new image under its own identity.
  auto& controller = contents_.Drive("q7-asmedia")->Controller();
  EXPECT_EQ(controller.FirmwareName(), "3.2.F.2A");
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.fwRevision), "3.2.F.2A");
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110002        ");
  EXPECT_EQ(AppStateGet().selectedDrive.capacityGB, 1000u);
  EXPECT_EQ(dialog().ItemText(IDC_FIRMWARE), u"3.2.F.2A");
}

TEST_F(Workflow, JmicronUpdatePowerCyclesWithModeFive) {
  Start(MicronJMicronBench());
  Select(2);
  RunUpdate();
  ASSERT_EQ(BoxTexts().size(), 2u);
  EXPECT_EQ(BoxTexts()[1], u"Update FW OK !\r\nReboot System Now ?");
  ASSERT_GE(g_percents.size(), 6u);
  std::vector<int> tail(g_percents.end() - 6, g_percents.end());
  EXPECT_EQ(tail, (std::vector<int>{0, 33, 66, 100, 0, 0}));
  auto& controller = contents_.Drive("q7-jmicron")->Controller();
  EXPECT_EQ(controller.FirmwareName(), "3.2.F.2A");
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.serial), "QV7A24110003        ");
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.model), "QUORVELA Q7 1TB");
  EXPECT_EQ(AppStateGet().selectedDrive.capacityGB, 1000u);
}

TEST_F(Workflow, NativeDriveRunsTheNewImageAfterAControllerReset) {
  Start();
  RunUpdate();
  auto drive = contents_.Drive("q7-native");
  // Until the restart the drive still runs the old firmware; the commit staged the new one.
  EXPECT_EQ(drive->Controller().FirmwareName(), "3.2.F.P7");
  EXPECT_TRUE(drive->Controller().ActivationPending());
  drive->ResetController();
  Select(0);
  EXPECT_EQ(dialog().ItemText(IDC_FIRMWARE), u"3.2.F.2A");
  EXPECT_EQ(dialog().ItemText(IDC_SERIAL), u"QV7A24110001        ");
  EXPECT_EQ(dialog().ItemText(IDC_MODEL), u"QUORVELA Q7 1TB");
  EXPECT_EQ(dialog().ItemText(IDC_CAPACITY), u"1000 GB");
}

TEST_F(Workflow, FailingCommitStopsEverythingAfterIt) {
  Start(BenchWith("drive q7-asmedia", "fault = firmware-commit"));
  Select(1);
  size_t before = bench().Capture().Lines().size();
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW Fail !");
  // Nothing after the commit: no name write, no power control, no re-read, no list rebuild.
  auto lines = bench().Capture().Lines();
  std::vector<std::string> after(lines.begin() + static_cast<ptrdiff_t>(before), lines.end());
  auto commit = std::find_if(after.rbegin(), after.rend(), [](const std::string& l) {
    return l.find("error=") != std::string::npos;
  });
  ASSERT_NE(commit, after.rend());
  for (auto it = after.rbegin(); it != commit; ++it)
    EXPECT_EQ(it->find(" 0x"), std::string::npos) << "request after the failed commit: " << *it;
  ASSERT_FALSE(g_percents.empty());
  EXPECT_EQ(g_percents.back(), 0);  // the bar stays at the commit's stage start
  EXPECT_EQ(contents_.Drive("q7-asmedia")->Controller().Resets(), 0u);
  EXPECT_TRUE(dialog().ItemEnabled(ID_OK));
}

TEST_F(Workflow, DriveThatNeverReturnsStillEndsWithSuccess) {
  Start(BenchWith("drive q7-asmedia", "never-return = yes"));
  Select(1);
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?");
  // Ten attempts one second apart, the bar from 80 towards 100.
  ASSERT_GE(g_percents.size(), 12u);
  std::vector<int> tail(g_percents.end() - 12, g_percents.end());
  EXPECT_EQ(tail, (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 0}));
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().text, u"QUORVELA Q7 1TB (RAW) - Disconnect");
}

TEST_F(Workflow, SecondStartIsRefused) {
  Start();
  AppState& s = AppStateGet();
  s.traceEnabled = 1;
  ThreadHandle busy = reinterpret_cast<ThreadHandle>(0x42);
  s.workerThread = busy;
  EXPECT_FALSE(StartWorker(window_, &s.workerThread, UpdateWorker));
  EXPECT_EQ(s.workerThread, busy);
  auto lines = testenv::DebugLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(Narrow(lines.back()), "[TX]          [middle] Thread is Running");
  s.workerThread = nullptr;
}

// Replaces the package's image file by the first size bytes of the sample image.
void WriteCutSampleImage(const char16_t* path, size_t size) {
  std::vector<uint8_t> bytes = MakeSampleImage();
  bytes.resize(size);
  FileHandle f = testenv::BuildSystem().OpenFile(path, FileMode::CreateAlways);
  ASSERT_NE(f, INVALID_FILE);
  testenv::BuildSystem().WriteFile(f, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
  testenv::BuildSystem().CloseFile(f);
}

TEST_F(Workflow, VanishedOrDamagedImageDownloadsNothing) {
  Start();
  char16_t image[TEXT_PATH];
  ASSERT_TRUE(ImagePathFor(AppStateGet().drives[0], image, TEXT_PATH));
  // The image is gone between the check and the worker.
  AppStateGet().selectedDrive = AppStateGet().drives[0];
  ASSERT_TRUE(testenv::BuildSystem().RemoveFile(image));
  RunWorker();
  EXPECT_EQ(LastBox(), u"Update FW Fail !");

  // An empty image, and one whose page table lies outside it.
  for (size_t size : {size_t{0}, size_t{4096}}) {
    WriteCutSampleImage(image, size);
    RunWorker();
    EXPECT_EQ(LastBox(), u"Update FW Fail !") << size;
  }
  EXPECT_TRUE(CaptureWith(kDownloadCode).empty());
  EXPECT_TRUE(CaptureWith(kActivateCode).empty());
}

TEST_F(Workflow, ADamagedImageIsRefusedOnTheLegacyPathToo) {
  // Without the configuration carry-over nothing else looks at the image's page table.
  Start(BenchWith("drive q7-native", "flash-info = no"));
  AppState& s = AppStateGet();
  s.selectedDrive = s.drives[0];
  char16_t image[TEXT_PATH];
  ASSERT_TRUE(ImagePathFor(s.selectedDrive, image, TEXT_PATH));
  WriteCutSampleImage(image, 4096);
  RunWorker();
  EXPECT_EQ(LastBox(), u"Update FW Fail !");
  EXPECT_TRUE(CaptureWith(kDownloadCode).empty());
}

TEST_F(Workflow, CompletionByPowerCtrl) {
  Start();
  AppState& s = AppStateGet();
  struct Row {
    uint8_t powerCtrl;
    int answer;
    size_t boxes;
    std::vector<uint32_t> shutdowns;
  };
  const Row rows[] = {
      {0, ID_OK, 1, {}},
      {1, ID_OK, 1, {EXITWIN_POWEROFF}},
      {1, ID_CANCEL, 1, {}},
      {2, ID_OK, 1, {EXITWIN_REBOOT}},
      {2, ID_CANCEL, 1, {}},
      {3, ID_OK, 0, {}},
  };
  for (const Row& row : rows) {
    dialog().SetAnswer([&row](const HeadlessDialog::Box&) { return row.answer; });
    size_t boxesBefore = dialog().Boxes().size();
    size_t shutdownsBefore = testenv::Shutdowns().size();
    s.powerCtrl = row.powerCtrl;
    dialog().EnableItem(window_, ID_OK, false);
    dialog().EnableItem(window_, IDC_DRIVE_LIST, false);
    OnUpdateResult(window_, 1);
    EXPECT_EQ(dialog().Boxes().size() - boxesBefore, row.boxes) << int(row.powerCtrl);
    auto shutdowns = testenv::Shutdowns();
    std::vector<uint32_t> added(shutdowns.begin() + static_cast<ptrdiff_t>(shutdownsBefore), shutdowns.end());
    EXPECT_EQ(added, row.shutdowns) << int(row.powerCtrl) << " answer " << row.answer;
    if (row.boxes == 1) {
      auto box = dialog().Boxes().back();
      EXPECT_EQ(box.caption, std::u16string(s.title));
      EXPECT_EQ(box.type, row.powerCtrl == 0 ? BOX_OK : (BOX_OKCANCEL | BOX_ICONINFORMATION));
    }
    EXPECT_TRUE(dialog().ItemEnabled(ID_OK));
    EXPECT_TRUE(dialog().ItemEnabled(IDC_DRIVE_LIST));
  }
  // A failed update shows only the failure box; an empty AfterMessage shows nothing at all.
  s.powerCtrl = 2;
  size_t before = dialog().Boxes().size();
  size_t shutdownsBefore = testenv::Shutdowns().size();
  OnUpdateResult(window_, -4);
  ASSERT_EQ(dialog().Boxes().size(), before + 1);
  EXPECT_EQ(dialog().Boxes().back().text, u"Update FW Fail !");
  EXPECT_EQ(dialog().Boxes().back().type, BOX_OK);
  s.afterMessage[0] = 0;
  OnUpdateResult(window_, 1);
  EXPECT_EQ(dialog().Boxes().size(), before + 1);
  EXPECT_EQ(testenv::Shutdowns().size(), shutdownsBefore);
  // A restart or power-off the user asked for and Windows did not start is said in a box.
  s.afterMessage[0] = u'!';
  dialog().SetAnswer([](const HeadlessDialog::Box&) { return ID_OK; });
  testenv::SetShutdownRefusal(1115);
  OnUpdateResult(window_, 1);
  EXPECT_EQ(LastBox(), u"Windows did not restart the computer: it refused the request (error 1115).\r\n"
                       u"Restart the computer to finish the firmware update.");
  EXPECT_EQ(dialog().Boxes().back().type, BOX_OK | BOX_ICONWARNING);
  s.powerCtrl = 1;
  testenv::SetShutdownPrivilege(false);
  OnUpdateResult(window_, 1);
  EXPECT_NE(LastBox().find(u"did not power off the computer: the shutdown privilege could not be enabled"), std::u16string::npos);
}

// The bench's state carries what the drives hold from one run to the next, and a restart on it
// activates what waits, or keeps the old firmware where the activation fails. A bridged drive
// whose power cycle keeps the old firmware fails the update in the dialog.
TEST_F(Workflow, BenchStateCarriesDrivesAcrossRunsAndRestarts) {
  Start(BenchWith("drive q7-asmedia", "fault = activation"));
  Select(1);
  RunUpdate();
  EXPECT_EQ(LastResult(), UPDATE_ACTIVATION_FAILED);
  EXPECT_EQ(LastBox(), u"Update FW Fail !");
  auto lines = testenv::DebugLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::u16string& l) {
    return l.find(u"running firmware 3.2.F.P7, not the new 3.2.F.2A") != std::u16string::npos;
  }));
  Select(0);
  RunUpdate();  // the native drive's image waits for the restart
  const std::string state = emu::BenchStateText(contents_);

  // The next run on a bench whose native drive keeps its old firmware at the restart.
  emu::Bench next;
  emu::BenchContents c;
  std::string error;
  ASSERT_TRUE(emu::LoadBench(next, BenchWith("drive q7-native", "fault = activation"), &c, &error)) << error;
  ASSERT_TRUE(emu::RestoreBenchState(c, state, &error)) << error;
  EXPECT_EQ(emu::BenchStateText(c), state);
  // A faulty state changes nothing, not even the drives it gives well.
  std::string faulty = state;
  faulty.replace(faulty.find("activation-pending = yes"), 24, "activation-pending = no");
  EXPECT_FALSE(emu::RestoreBenchState(c, faulty + "[drive nowhere]\n", &error));
  EXPECT_FALSE(emu::RestoreBenchState(c, faulty + "[drive q5-native]\nfirmware = X\n", &error));
  EXPECT_EQ(emu::BenchStateText(c), state);
  auto& kept = c.Drive("q7-native")->Controller();
  for (int restart = 0; restart < 2; ++restart) {
    c.Drive("q7-native")->Restart();
    EXPECT_EQ(kept.FirmwareName(), "3.2.F.P7") << restart;
    EXPECT_TRUE(kept.SlotImage().empty());
  }
  EXPECT_EQ(kept.LastActivation(), emu::Activation::None);  // the second restart: nothing waited
  contents_.Drive("q7-native")->Restart();
  EXPECT_EQ(contents_.Drive("q7-native")->Controller().FirmwareName(), "3.2.F.2A");
}

TEST_F(Workflow, LegacyDriveIsNamedThroughTheLegacyBlock) {
  // A drive without the flash information block: no carry-over, the name through 0xF1.
  Start(BenchWith("drive q7-native", "flash-info = no"));
  const DriveRecord& d = AppStateGet().drives[0];
  ASSERT_EQ(d.hasVendorInfo, 0);
  EXPECT_EQ(d.internalFwVersion[0], 0);  // no internal version: that test is skipped
  RunUpdate();
  EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?");
  int configReads = 0, legacyWrites = 0;
  for (const std::string& line : CaptureWith(kProtocolCode)) {
    std::string in = line.substr(line.find("in=") + 3);
    if (in.size() < 2 * (80 + 64)) continue;
    std::string opcode = in.substr(160, 2);
    if (opcode == "E6" && in.substr(2 * (80 + 48), 8) == "01000000") ++configReads;
    if (opcode == "F1") ++legacyWrites;
  }
  EXPECT_EQ(configReads, 0);
  EXPECT_EQ(legacyWrites, 1);
  // The image went as packaged: the drive activates the sample image itself at its next reset.
  auto& controller = contents_.Drive("q7-native")->Controller();
  controller.Reset();
  EXPECT_EQ(controller.ActiveImage(), MakeSampleImage());
}

TEST_F(Workflow, DeviceChangesDuringAnUpdateRefreshTheListAlongsideTheWorker) {
  // The bridge's power cycle makes the drive leave and return; the bench tells the dialog as the
  // system would, and the timer-driven rebuilds run on the dialog thread while the worker sends
  // its commands. The update still ends well, and the list shows the drive with its new firmware.
  Start();
  bench().SetDeviceChangeListener([this] { dialog().Post(window_, MSG_DEVICECHANGE, 7, 0); });
  Select(1);
  RunUpdate();
  bench().SetDeviceChangeListener(nullptr);
  EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?");
  bench().Clock().Advance(DEVICE_CHANGE_DELAY_MS);
  dialog().Pump();  // the last burst's rebuild, now that the update has ended
  EXPECT_FALSE(dialog().TimerPending(IDT_DEVICE_CHANGE));
  auto entries = dialog().ComboEntries(IDC_DRIVE_LIST);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(dialog().Selection(IDC_DRIVE_LIST), 1);
  EXPECT_EQ(dialog().ItemText(IDC_FIRMWARE), u"3.2.F.2A");
  EXPECT_TRUE(dialog().ItemEnabled(ID_OK));
}

TEST_F(Workflow, UpdatesKeepToAnAdapterThatWantsWholePages) {
  // Every adapter asks for page-aligned pass-through buffers (AlignmentMask 0xFFF): the whole
  // update still passes on every path, on the configuration path and on the legacy one. A bridge's
  // power cycle cuts the drive's power, so it activates a drive that waits for a power-off too.
  struct Case {
    const char* drive;
    int entry;
    const char* lines;
  };
  for (const Case& c : {Case{"q7-native", 0, ""}, Case{"q7-asmedia", 1, ""}, Case{"q7-jmicron", 2, ""},
                        Case{"q7-asmedia", 1, "flash-info = no"}, Case{"q7-jmicron", 2, "flash-info = no"},
                        Case{"q7-jmicron", 2, "activation = power-off"}}) {
    std::string text = MicronJMicronBench();
    for (const char* drive : {"q7-native", "q7-asmedia", "q7-jmicron"})
      text = BenchWith(std::string("drive ") + drive, "alignment-mask = 0xFFF", text);
    text = BenchWith(std::string("drive ") + c.drive, c.lines, text);
    Start(text);
    Select(c.entry);
    RunUpdate();
    std::string what = std::string(c.drive) + " " + c.lines;
    EXPECT_EQ(LastResult(), 1) << what;
    EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?") << what;
    auto& controller = contents_.Drive(c.drive)->Controller();
    if (std::string(c.drive) == "q7-native") controller.Reset();
    EXPECT_EQ(controller.LastActivation(), emu::Activation::Activated) << what;
    EXPECT_EQ(controller.FirmwareName(), "3.2.F.2A") << what;
    TearDown();
    SetUp();
    contents_ = {};
  }
}
