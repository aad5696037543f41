// The circumstances around an update: one updater per machine, the power supply, sleep, a commit
// whose activation waits for a reset, firmware that waits for a restart, and a restart reported
// only when it began. The dialog and the console program meet the same guards.
#include <fstream>
#include <iterator>

#include "app/result_codes.h"
#include "app/update_lock.h"
#include "core/guards.h"
#include "emu/drive.h"
#include "nvme/nvme_command.h"
#include "tests/workflow/workflow_fixture.h"

using namespace platform;
using namespace workflow;
using testenv::Narrow;

namespace {

const std::u16string kBusyBox = u"Another firmware update is running on this computer. Try again when it has finished.";
const std::u16string kPendingBox = u"New firmware is waiting for a restart of this computer. Restart, then update again.";

class Safety : public Workflow {
 protected:
  // The console program on a bench of its own, as a deployment tool starts it; the log goes to
  // the scratch folder.
  int Console(const std::string& benchText, std::vector<std::u16string> args, StringConsole* console) {
    std::string error;
    EXPECT_TRUE(emu::LoadBench(bench(), benchText, &contents_, &error)) << error;
    testenv::AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, MakeSamplePackage());
    return ConsoleAgain(args, console);
  }
  // Another run of the console program on the same bench: a new process, with a fresh AppState
  // and a dialog of its own.
  int ConsoleAgain(std::vector<std::u16string> args, StringConsole* console) {
    logPath_ = ScratchW() + u"/fleet.log";
    if (!args.empty() && args[0] == u"update") args.insert(args.end(), {u"--log", logPath_});
    std::vector<const char16_t*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    testenv::JoinThreads();  // the last run's worker has ended, as its process has
    AppStateReset();
    runs_.push_back(std::make_unique<HeadlessDialog>(bench().Clock()));
    return RunFleet(static_cast<int>(argv.size()), argv.data(), *runs_.back(), *console);
  }
  std::string Log() {
    std::ifstream in(Scratch() + "/fleet.log", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  bool Sent(const char* drive) {
    const auto& c = contents_.Drive(drive)->Controller();
    return c.DownloadedPieces() > 0 || !c.SlotImage().empty();
  }
  void Again() {
    TearDown();
    SetUp();
    contents_ = {};
  }
  std::u16string logPath_;
  std::vector<std::unique_ptr<HeadlessDialog>> runs_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(Safety, OneUpdaterRunsOnTheMachineAtATime) {
  Start();
  Select(0);
  {
    // Another updater holds the lock: RUN checks nothing and starts nothing.
    testenv::LockHolder other(UPDATE_LOCK_NAME);
    ASSERT_EQ(other.Taken(), LockResult::TAKEN);
    RunUpdate();
    EXPECT_EQ(BoxTexts(), std::vector<std::u16string>{kBusyBox});
    EXPECT_TRUE(g_results.empty());
    EXPECT_FALSE(Sent("q7-native"));
    EXPECT_TRUE(dialog().ItemEnabled(ID_OK));
    // It ends without releasing the lock, as a program that crashes does: the lock is free.
    other.Abandon();
  }
  // While the worker runs the lock is held; with the result it is free again.
  LockResult duringUpdate = LockResult::FAILED;
  bench().At(bench().Clock().TickCount64() + FW_STAGE_WAIT_MS, [&duringUpdate] {
    testenv::LockHolder probe(UPDATE_LOCK_NAME);
    duringUpdate = probe.Taken();
  });
  RunUpdate();
  EXPECT_EQ(LastResult(), 1);
  EXPECT_EQ(duringUpdate, LockResult::BUSY);
  testenv::LockHolder after(UPDATE_LOCK_NAME);
  EXPECT_EQ(after.Taken(), LockResult::TAKEN);
  after.Release();
  // A box of a RUN that starts nothing, left open, keeps no other update waiting.
  testenv::SetPowerStatus(PowerStatus{POWER_AC_OFFLINE, 0x02, 12});
  LockResult duringBox = LockResult::FAILED;
  dialog().SetAnswer([&duringBox](const HeadlessDialog::Box&) {
    testenv::LockHolder probe(UPDATE_LOCK_NAME);
    duringBox = probe.Taken();
    return ID_OK;
  });
  RunUpdate();
  EXPECT_EQ(duringBox, LockResult::TAKEN);
  // This program's own update holds the lock against a second RUN as well.
  ASSERT_TRUE(TakeUpdateLock());
  EXPECT_FALSE(TakeUpdateLock());
  ReleaseUpdateLock();
  // A lock outside a private namespace of its own, where any user may make it first, is refused.
  for (const char16_t* name : {u"Global\\QuorvelaFwUpdate", u"QuorvelaFwUpdate"})
    EXPECT_EQ(testenv::LockHolder(name).Taken(), LockResult::FAILED) << Narrow(name);
}

TEST_F(Safety, TheConsoleProgramReportsBusyAndExits1618) {
  testenv::LockHolder other(UPDATE_LOCK_NAME);
  StringConsole console;
  EXPECT_EQ(Console(emu::DefaultBenchText(), {u"update", u"--all", u"--yes", u"--json"}, &console), EXIT_TRY_AGAIN_LATER)
      << console.out << console.err;
  EXPECT_TRUE(Has(console.out, "\"serial\":\"QV7A24110001\",\"portId\":1,\"outcome\":\"busy\",\"reason\":null")) << console.out;
  EXPECT_TRUE(Has(console.out, "\"serial\":\"QV7A24110002\",\"portId\":104,\"outcome\":\"busy\"")) << console.out;
  EXPECT_TRUE(Has(Log(), "serial=QV7A24110001 port=1 package=3.2.F.2A before=3.2.F.P7 after=3.2.F.P7 result=busy\r\n")) << Log();
  EXPECT_TRUE(Has(Log(), "end exit=1618")) << Log();
  EXPECT_FALSE(Sent("q7-native") || Sent("q7-asmedia"));
}

TEST_F(Safety, NoUpdateStartsOnALowBattery) {
  struct Case {
    const char* what;
    PowerStatus power;
    bool answers;
    bool refused;
  };
  const Case cases[] = {
      {"battery at 10 %", {POWER_AC_OFFLINE, 0x01, 10}, true, true},
      {"battery at 24 %", {POWER_AC_OFFLINE, 0x02, 24}, true, true},
      {"battery at 0 %", {POWER_AC_OFFLINE, 0x04, 0}, true, true},
      {"battery at 25 %", {POWER_AC_OFFLINE, 0x00, 25}, true, false},
      {"AC with the battery at 3 %", {POWER_AC_ONLINE, 0x08, 3}, true, false},
      {"unknown line status", {POWER_AC_UNKNOWN, 0x04, 3}, true, false},
      {"on battery, charge unknown", {POWER_AC_OFFLINE, 0x00, POWER_PERCENT_UNKNOWN}, true, false},
      {"no battery", {POWER_AC_OFFLINE, POWER_NO_BATTERY, 3}, true, false},
      {"battery state unknown", {POWER_AC_OFFLINE, POWER_BATTERY_UNKNOWN, 3}, true, false},
      {"no answer", {POWER_AC_OFFLINE, 0x04, 3}, false, false},
  };
  for (const Case& c : cases) {
    testenv::SetPowerStatus(c.power, c.answers);
    Start();
    Select(1);
    RunUpdate();
    if (c.refused) {
      // Before the question: only the box, nothing sent.
      std::u16string text = u"The computer runs on battery at " + testenv::Widen(std::to_string(c.power.batteryLifePercent)) +
                            u" %. Connect the AC adapter, then press RUN again.";
      EXPECT_EQ(BoxTexts(), std::vector<std::u16string>{text}) << c.what;
      EXPECT_FALSE(Sent("q7-asmedia")) << c.what;
      EXPECT_TRUE(g_results.empty()) << c.what;
    } else {
      EXPECT_EQ(LastResult(), 1) << c.what;
    }
    Again();
  }
  testenv::SetPowerStatus(PowerStatus{POWER_AC_OFFLINE, 0x02, 12});
  StringConsole console;
  EXPECT_EQ(Console(emu::DefaultBenchText(), {u"update", u"--entry", u"1", u"--yes", u"--json"}, &console), EXIT_TRY_AGAIN_LATER);
  EXPECT_TRUE(Has(console.out, "\"serial\":\"QV7A24110002\",\"portId\":104,\"outcome\":\"power\"")) << console.out;
  EXPECT_TRUE(Has(EventsText(), "1103: QuorvelaFwUpdate-cli | QUORVELA Q7 1TB | QV7A24110002 | 104 | 3.2.F.P7 | 3.2.F.2A | "
                                "power | The computer runs on battery at 12 %")) << EventsText();
  EXPECT_TRUE(Has(Log(), "result=power")) << Log();
  EXPECT_FALSE(Sent("q7-asmedia"));
}

TEST_F(Safety, TheSystemStaysAwakeFromTheWorkersStartToItsResult) {
  struct Case {
    const char* what;
    std::string bench;
    int entry;
    int result;
  };
  const Case cases[] = {
      {"native", emu::DefaultBenchText(), 0, 1},
      {"ASMedia", emu::DefaultBenchText(), 1, 1},
      {"native commit fails", BenchWith("drive q7-native", "fault = firmware-commit"), 0, NVME_RESULT_IO_FAILED},
      {"ASMedia download fails", BenchWith("drive q7-asmedia", "fault = firmware-download nth=5"), 1,
       NVME_RESULT_IO_FAILED},
      {"native configuration read fails", BenchWith("drive q7-native", "fault = vendor-read nth=9 action=error-completion"), 0,
       NVME_RESULT_DEVICE_ERROR},
  };
  for (const Case& c : cases) {
    Start(c.bench);
    Select(c.entry);
    RunUpdate();
    EXPECT_EQ(LastResult(), c.result) << c.what;
    std::vector<testenv::ExecutionCall> calls = testenv::ExecutionCalls();
    ASSERT_EQ(calls.size(), 2u) << c.what;
    EXPECT_EQ(calls[0].flags, EXECUTION_CONTINUOUS | EXECUTION_SYSTEM_REQUIRED) << c.what;
    EXPECT_EQ(calls[1].flags, EXECUTION_CONTINUOUS) << c.what;
    EXPECT_EQ(calls[0].thread, calls[1].thread) << c.what;
    Again();
  }
}

TEST_F(Safety, ACommitThatWaitsForAResetIsSuccessOnEveryPath) {
  struct Case {
    const char* what;
    std::string bench;
    int entry;
    const char* drive;
    int result;
  };
  auto commit = [](const char* drive, const char* status, std::string text = emu::DefaultBenchText()) {
    return BenchWith(drive, std::string("fault = firmware-commit action=error-completion performed=yes status=") + status, text);
  };
  const Case cases[] = {
      {"ASMedia 0x10B", commit("drive q7-asmedia", "0x010B"), 1, "q7-asmedia", 1},
      {"ASMedia 0x110", commit("drive q7-asmedia", "0x0110"), 1, "q7-asmedia", 1},
      {"ASMedia 0x111", commit("drive q7-asmedia", "0x0111"), 1, "q7-asmedia", 1},
      {"JMicron 0x111", commit("drive q7-jmicron", "0x0111", MicronJMicronBench()), 2, "q7-jmicron", 1},
      {"native 0x10B", commit("drive q7-native", "0x010B"), 0, "q7-native", 1},
      {"ASMedia 0x106", commit("drive q7-asmedia", "0x0106"), 1, "q7-asmedia", NVME_RESULT_DEVICE_ERROR},
      {"JMicron 0x107", commit("drive q7-jmicron", "0x0107", MicronJMicronBench()), 2, "q7-jmicron",
       NVME_RESULT_DEVICE_ERROR},
      {"ASMedia 0x10C", commit("drive q7-asmedia", "0x010C"), 1, "q7-asmedia", NVME_RESULT_DEVICE_ERROR},
      {"native 0x106", commit("drive q7-native", "0x0106"), 0, "q7-native", NVME_RESULT_IO_FAILED},
  };
  for (const Case& c : cases) {
    Start(c.bench);
    Select(c.entry);
    RunUpdate();
    emu::EmuDisk& drive = *contents_.Drive(c.drive);
    EXPECT_EQ(LastResult(), c.result) << c.what;
    bool bridged = c.entry != 0;
    if (c.result == 1) {
      EXPECT_EQ(LastBox(), u"Update FW OK !\r\nReboot System Now ?") << c.what;
      EXPECT_EQ(AppStateGet().commitNeedsReset, 1u) << c.what;
      // Behind a bridge the power cycle follows and activates the image; a native drive keeps it
      // for the restart.
      EXPECT_EQ(drive.Controller().Resets(), bridged ? 1u : 0u) << c.what;
      EXPECT_EQ(drive.Controller().FirmwareName(), bridged ? "3.2.F.2A" : "3.2.F.P7") << c.what;
      EXPECT_EQ(drive.Controller().ActivationPending(), !bridged) << c.what;
    } else {
      EXPECT_EQ(LastBox(), u"Update FW Fail !") << c.what;
      EXPECT_EQ(drive.Controller().Resets(), 0u) << c.what;
    }
    Again();
  }
  // The console program names it, in the JSON and in the log.
  for (const char* drive : {"drive q7-asmedia", "drive q7-native"}) {
    StringConsole console;
    bool native = std::string(drive) == "drive q7-native";
    std::u16string entry = native ? u"0" : u"1";
    EXPECT_EQ(Console(commit(drive, "0x010B"), {u"update", u"--entry", entry, u"--yes", u"--json"}, &console),
              EXIT_RESTART_NEEDED);
    EXPECT_TRUE(Has(console.out, "\"outcome\":\"updated\"")) << console.out;
    EXPECT_TRUE(Has(console.out, "\"restartNeeded\":true,\"activation\":\"reset\"}")) << console.out;
    EXPECT_TRUE(Has(EventsText(), native ? "1101: " : "1100: ")) << EventsText();
    EXPECT_TRUE(Has(Log(), "result=1 \"success\"")) << Log();
    EXPECT_TRUE(Has(Log(), " activation=reset\r\n")) << Log();
    Again();
  }
}

TEST_F(Safety, FirmwareThatWaitsForARestartIsNotFlashedAgain) {
  // The deployment tool runs the console program twice before the computer restarts.
  StringConsole first;
  ASSERT_EQ(Console(emu::DefaultBenchText(), {u"update", u"--entry", u"0", u"--yes"}, &first), EXIT_RESTART_NEEDED)
      << first.out << first.err;
  size_t downloads = CaptureWith(kDownloadCode).size();
  ASSERT_GT(downloads, 0u);
  StringConsole list;
  EXPECT_EQ(ConsoleAgain({u"list", u"--json"}, &list), EXIT_DONE);
  EXPECT_TRUE(Has(list.out, "\"portId\":1,\"eligible\":false,\"reason\":\"pending-restart\",")) << list.out;
  StringConsole second;
  EXPECT_EQ(ConsoleAgain({u"update", u"--entry", u"0", u"--yes", u"--json"}, &second), EXIT_RESTART_NEEDED)
      << second.out << second.err;
  EXPECT_TRUE(Has(second.out, "\"outcome\":\"skipped\",\"reason\":\"pending-restart\"")) << second.out;
  EXPECT_TRUE(Has(second.out, "\"restartNeeded\":true")) << second.out;
  EXPECT_EQ(CaptureWith(kDownloadCode).size(), downloads);
  EXPECT_EQ(CaptureWith(kActivateCode).size(), 1u);

  // The dialog refuses RUN with its box; after the restart nothing waits any more.
  Again();
  Start();
  Select(0);
  RunUpdate();
  ASSERT_EQ(LastResult(), 1);
  downloads = CaptureWith(kDownloadCode).size();
  Select(0);
  RunUpdate();
  EXPECT_EQ(LastBox(), kPendingBox);
  EXPECT_EQ(CaptureWith(kDownloadCode).size(), downloads);
  contents_.Drive("q7-native")->ResetController();
  Select(0);
  EXPECT_EQ(AppStateGet().selectedDrive.activationPending, 0);
  EXPECT_EQ(Narrow(AppStateGet().selectedDrive.fwRevision), "3.2.F.2A");

  // A drive that does not answer the firmware information is offered as before, and the trace
  // says so.
  Again();
  Start(BenchWith("drive q7-native", "fault = firmware-info repeat=0"));
  AppStateGet().traceEnabled = 1;
  Select(0);
  RunUpdate();
  ASSERT_EQ(LastResult(), 1);
  Select(0);
  RunUpdate();
  EXPECT_EQ(LastResult(), 1);
  EXPECT_EQ(CaptureWith(kActivateCode).size(), 2u);
  bool traced = false;
  for (const std::u16string& line : testenv::DebugLines())
    traced |= Has(Narrow(line), "\\\\.\\PhysicalDrive1 - no answer to the firmware information request (-4, error 1117)");
  EXPECT_TRUE(traced);
}
