// The program's shell: the progress mapping, the device-change debounce, the close rule, the
// start-up layout, the debug trace and the drive record's value semantics.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "app/entry.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "core/trace.h"
#include "platform/messages.h"
#include "platform/text.h"
#include "resources/resource.h"
#include "tests/support/test_env.h"

using namespace platform;
using testenv::Narrow;

class Shell : public testenv::Environment {
 protected:
  WindowHandle Open() { return dialog().Create(MainDialogProc); }
};

TEST_F(Shell, MapProgressFollowsTheStage) {
  AppState& s = AppStateGet();
  s.progressFrom = 40;
  s.progressTo = 60;
  EXPECT_EQ(MapProgress(33), 46);
  EXPECT_EQ(MapProgress(66), 53);
  EXPECT_EQ(MapProgress(100), 60);
  EXPECT_EQ(MapProgress(0), 40);
  s.progressFrom = 0;
  s.progressTo = 30;
  EXPECT_EQ(MapProgress(50), 15);
  s.progressFrom = 30;
  s.progressTo = 40;
  EXPECT_EQ(MapProgress(50), 35);
  // progressTo 0 reads as 100 and is stored back; percent 0 never touches it.
  s.progressFrom = 80;
  s.progressTo = 0;
  EXPECT_EQ(MapProgress(0), 80);
  EXPECT_EQ(s.progressTo, 0);
  EXPECT_EQ(MapProgress(50), 90);
  EXPECT_EQ(s.progressTo, 100);
}

TEST_F(Shell, ProgressMessageMovesTheBar) {
  WindowHandle w = Open();
  AppState& s = AppStateGet();
  s.progressFrom = 40;
  s.progressTo = 60;
  dialog().Post(w, WM_UPDATE_PROGRESS, 0, 33);
  dialog().Post(w, WM_UPDATE_PROGRESS, 0, 100);
  dialog().Pump();
  EXPECT_EQ(dialog().ProgressHistory(IDC_PROGRESS), (std::vector<int>{46, 60}));
}

TEST_F(Shell, DeviceChangeBurstGivesOneRefreshTwoSecondsAfterTheLast) {
  Open();
  auto& clock = bench().Clock();
  int refreshes = 0;
  // Each refresh of the placeholder list disables RUN; count refreshes by the timer's messages.
  for (int i = 0; i < 5; ++i) {
    dialog().Deliver(MSG_DEVICECHANGE, 7, 0);
    clock.Advance(400);
    refreshes += dialog().Pump();
  }
  EXPECT_EQ(refreshes, 0);
  EXPECT_TRUE(dialog().TimerPending(IDT_DEVICE_CHANGE));
  clock.Advance(2000 - 400 - 1);  // 1 ms before two seconds after the last notification
  EXPECT_EQ(dialog().Pump(), 0);
  clock.Advance(1);
  EXPECT_EQ(dialog().Pump(), 1);  // the one MSG_TIMER, whose handler kills the timer
  EXPECT_FALSE(dialog().TimerPending(IDT_DEVICE_CHANGE));
  clock.Advance(10000);
  EXPECT_EQ(dialog().Pump(), 0);
}

// On a paced clock (the bench tools') a device change that a worker posts is handled at the time it
// was posted, and its refresh runs when the worker's sleep passes the due time, while the worker
// waits: at the same point of its work in every run, whatever the threads' timing.
uint64_t g_refreshTick = 0;
intptr_t TimingRefreshes(WindowHandle w, uint32_t m, uintptr_t wp, intptr_t lp) {
  if (m == MSG_TIMER) g_refreshTick = platform::Time().TickCount64();
  return MainDialogProc(w, m, wp, lp);
}

TEST_F(Shell, PacedClockRefreshesAtTheDeviceChangesOwnTime) {
  WindowHandle w = dialog().Create(TimingRefreshes);
  auto& clock = bench().Clock();
  clock.SetPacer([&](uint64_t until) { dialog().Pace(until, [&](uint64_t tick) { clock.AdvanceTo(tick); }); });
  const uint64_t start = clock.TickCount64();
  g_refreshTick = 0;
  std::atomic<bool> done{false};
  bool pendingAt1500 = false, pendingAt2500 = true;
  std::thread worker([&] {
    dialog().Post(w, MSG_DEVICECHANGE, 7, 0);
    clock.Sleep(1500);
    pendingAt1500 = dialog().TimerPending(IDT_DEVICE_CHANGE);
    clock.Sleep(1000);
    pendingAt2500 = dialog().TimerPending(IDT_DEVICE_CHANGE);
    done = true;
  });
  dialog().PumpUntil([&] { return done.load(); });
  worker.join();
  clock.SetPacer(nullptr);
  EXPECT_TRUE(pendingAt1500);
  EXPECT_FALSE(pendingAt2500);
  EXPECT_EQ(g_refreshTick, start + DEVICE_CHANGE_DELAY_MS);
  EXPECT_EQ(clock.TickCount64(), start + 2500);
}

TEST_F(Shell, CloseIsRefusedWhileAnUpdateRuns) {
  Open();
  AppState& s = AppStateGet();
  s.workerThread = reinterpret_cast<ThreadHandle>(0x1234);
  EXPECT_TRUE(IsUpdateRunning());
  EXPECT_EQ(dialog().Deliver(MSG_COMMAND, ID_CANCEL, 0), 0);
  EXPECT_FALSE(dialog().Ended());
  auto boxes = dialog().Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Narrow(boxes[0].text), "Update FW Now!\nCan't Exit Program.");
  EXPECT_EQ(boxes[0].caption, std::u16string(s.title));
  EXPECT_EQ(boxes[0].type, BOX_OK);

  s.workerThread = nullptr;
  EXPECT_EQ(dialog().Deliver(MSG_COMMAND, ID_CANCEL, 0), 1);
  EXPECT_TRUE(dialog().Ended());
  EXPECT_EQ(dialog().EndResult(), 0);
  EXPECT_EQ(dialog().Boxes().size(), 1u);
}

TEST_F(Shell, StartLayoutFitsTheStatusLineAndCentres) {
  // A 520 x 230 window (3 px frame, 26 px caption) with the status line at y 291..304.
  dialog().SetGeometry(1024, 768, Rect{100, 100, 620, 330}, Rect{0, 0, 514, 201},
                       Rect{201, 291, 588, 304});
  WindowHandle w = Open();
  Rect d{}, c{}, bar{}, status{};
  dialog().GetWindowRect(w, 0, &d);
  dialog().GetClientRect(w, 0, &c);
  dialog().GetWindowRect(w, IDC_PROGRESS, &bar);
  dialog().GetWindowRect(w, IDC_STATUS, &status);
  // Height (S.bottom - D.top) + (S.bottom - S.top) + 5 = 204 + 13 + 5.
  EXPECT_EQ(d.bottom - d.top, 222);
  EXPECT_EQ(d.right - d.left, 520);
  // Centred on the screen.
  EXPECT_EQ(d.left, (1024 - 520) / 2);
  EXPECT_EQ(d.top, (768 - 222) / 2);
  // The bottom edge lies one status-line height plus 5 px below the status line.
  EXPECT_EQ(d.bottom - status.bottom, (status.bottom - status.top) + 5);
  // The bar: 5 px high along the whole client width, at its bottom.
  EXPECT_EQ(bar.bottom - bar.top, 5);
  EXPECT_EQ(bar.right - bar.left, c.right - c.left);
  for (int id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS})
    EXPECT_EQ(dialog().ItemText(id), u"") << id;
  EXPECT_EQ(AppStateGet().dialogWindow, w);
}

// The margin below the status line, the bar's height and the icon follow the window's DPI: 5, 5
// and 64 px at 100 %.
struct DpiLayout {
  int dpi, margin, bar, icon;
};
class ShellAtDpi : public Shell, public ::testing::WithParamInterface<DpiLayout> {};

TEST_P(ShellAtDpi, StartLayoutScalesItsPixelLengths) {
  const DpiLayout& c = GetParam();
  dialog().SetDpi(c.dpi);
  dialog().SetGeometry(1920, 1080, Rect{100, 100, 880, 445}, Rect{0, 0, 774, 306}, Rect{301, 437, 882, 456});
  WindowHandle w = Open();
  Rect d{}, client{}, bar{}, status{};
  dialog().GetWindowRect(w, 0, &d);
  dialog().GetClientRect(w, 0, &client);
  dialog().GetWindowRect(w, IDC_PROGRESS, &bar);
  dialog().GetWindowRect(w, IDC_STATUS, &status);
  EXPECT_EQ(d.bottom - status.bottom, (status.bottom - status.top) + c.margin);
  EXPECT_EQ(bar.bottom - bar.top, c.bar);
  EXPECT_EQ(bar.right - bar.left, client.right - client.left);
  EXPECT_EQ(bar.bottom, d.bottom - (d.right - d.left - (client.right - client.left)) / 2);
  EXPECT_EQ(dialog().ShownIconSize(), c.icon);
}

INSTANTIATE_TEST_SUITE_P(Scales, ShellAtDpi,
                         ::testing::Values(DpiLayout{96, 5, 5, 64}, DpiLayout{120, 6, 6, 80},
                                           DpiLayout{144, 8, 8, 96}, DpiLayout{192, 10, 10, 128}),
                         [](const ::testing::TestParamInfo<DpiLayout>& info) {
                           return "dpi" + std::to_string(info.param.dpi);
                         });

TEST_F(Shell, UnknownMessagesAndCommandsAreLeftAlone) {
  Open();
  EXPECT_EQ(dialog().Deliver(0x0200, 0, 0), 0);  // WM_MOUSEMOVE
  EXPECT_EQ(dialog().Deliver(MSG_COMMAND, (1u << 16) | IDC_DRIVE_LIST, 0), 0);  // CBN_SELCHANGE
  EXPECT_FALSE(dialog().Ended());
}

TEST_F(Shell, DebugTracePrefixesGateAndCut) {
  AppState& s = AppStateGet();
  DebugTraceAlways(u"DownloadFW %s\n", u"IN");
  DebugTrace(u"gated %d", 1);
  s.traceEnabled = 1;
  DebugTrace(u"Thread is Running");
  s.traceEnabled = 2;  // only 1 opens the gate
  DebugTrace(u"still gated");
  auto lines = testenv::DebugLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Narrow(lines[0]), "[TX] DownloadFW IN\n");
  EXPECT_EQ(Narrow(lines[1]), "[TX]          [middle] Thread is Running");

  testenv::ClearDebug();
  std::u16string longText(3000, u'x');
  DebugTraceAlways(u"%s", longText.c_str());
  lines = testenv::DebugLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 1023u);  // 1024 characters with the terminator
  EXPECT_EQ(lines[0].substr(0, 6), u"[TX] x");
}

TEST_F(Shell, FindNoCaseReportsThePositionInTheGivenText) {
  EXPECT_EQ(FindNoCase(u"QUORVELA Q7 1TB", u"q7"), 9);
  EXPECT_EQ(FindNoCase(u";3.2.F.P7;3.2.F.2A;", u";3.2.f.2a;"), 9);
  EXPECT_EQ(FindNoCase(u";3.2.F.P7;3.2.F.2A;", u";3.2.F;"), -1);
  EXPECT_EQ(FindNoCase(u"abc", u""), 0);
  // Text beyond 1023 characters is not searched.
  std::u16string text(1100, u'a');
  text += u"NEEDLE";
  EXPECT_EQ(FindNoCase(text.c_str(), u"needle"), -1);
}

TEST_F(Shell, TraceSwitchFileBesideTheProgram) {
  // An empty file QuorvelaFwUpdate.trace beside the program opens the gate when AppState is
  // prepared; without it the gated lines stay silent.
  platform::System& sys = testenv::BuildSystem();
  char16_t folder[260];
  ASSERT_GT(sys.GetProgramFolder(folder, 260), 0u);
  char16_t path[600];
  platform::FormatText(path, 600, u"%s\\%s", folder, TRACE_SWITCH_FILE);
  sys.RemoveFile(path);
  PrepareAppState();
  EXPECT_EQ(AppStateGet().traceEnabled, 0u);
  DebugTrace(u"silent");
  EXPECT_TRUE(testenv::DebugLines().empty());

  platform::FileHandle f = sys.OpenFile(path, platform::FileMode::CreateAlways);
  ASSERT_NE(f, platform::INVALID_FILE);
  sys.CloseFile(f);
  PrepareAppState();
  EXPECT_EQ(AppStateGet().traceEnabled, 1u);
  DebugTrace(u"heard");
  ASSERT_EQ(testenv::DebugLines().size(), 1u);
  EXPECT_EQ(Narrow(testenv::DebugLines()[0]), "[TX]          [middle] heard");
  EXPECT_TRUE(sys.RemoveFile(path));
  PrepareAppState();
  EXPECT_EQ(AppStateGet().traceEnabled, 0u);
}

TEST(DriveRecord, ZeroFilledAndCopiedWhole) {
  DriveRecord a;
  std::memset(&a, 0xA5, sizeof a);
  a = DriveRecord{};
  const auto* bytes = reinterpret_cast<const uint8_t*>(&a);
  for (size_t i = 0; i < sizeof a; ++i) ASSERT_EQ(bytes[i], 0) << i;
  platform::TextCopy(a.model, DRIVE_TEXT_CHARS, u"QUORVELA Q7");
  a.iPort = -5;
  a.flashId[5] = 0xEA;
  DriveRecord b = a;
  a.model[0] = u'X';
  EXPECT_EQ(b.model[0], u'Q');
  EXPECT_EQ(b.iPort, -5);
  EXPECT_EQ(b.flashId[5], 0xEA);
  EXPECT_EQ(std::memcmp(&b.serial, &a.serial, sizeof a.serial), 0);
}

TEST(DriveRecord, LimitsAreNamed) {
  EXPECT_EQ(MAX_DRIVES, 26u);
  EXPECT_EQ(MAX_PROBED_DISKS, 20u);
  EXPECT_EQ(MIN_CAPACITY_BYTES, 16000000000ull);
  EXPECT_EQ(MAX_DRIVE_LETTERS * 3, DRIVE_TEXT_CHARS - 1);
  EXPECT_EQ(CMD_TYPE_ASM, 0);
  EXPECT_EQ(CMD_TYPE_JMI, 1);
  EXPECT_EQ(CMD_TYPE_NVME, 2);
  EXPECT_EQ(CMD_TYPE_NONE, 255);
  EXPECT_EQ(sizeof(AppStateGet().drives) / sizeof(DriveRecord), MAX_DRIVES);
}
