// fwbench update N: selects list entry N, presses RUN and answers the questions as told. Prints
// every message box, the progress bar's positions as they change, and the result. The exit status
// is 0 only when the update succeeded.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>

#include "app/fleet_dialog.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "platform/messages.h"
#include "resources/resource.h"
#include "tools/fwbench/bench_setup.h"
#include "tools/fwbench/commands.h"

namespace {

BenchSetup* g_setup = nullptr;
int g_lastPosition = -1;
int g_result = 0;
bool g_haveResult = false;

// The updater's procedure, watched: the bar's position after each progress message, the result.
intptr_t Watching(platform::WindowHandle w, uint32_t m, uintptr_t wp, intptr_t lp) {
  if (m == WM_UPDATE_RESULT) {
    g_result = static_cast<int>(lp);
    g_haveResult = true;
    std::printf("result %d (%s)\n", g_result, g_result == 1 ? "success" : "failure");
  }
  intptr_t r = RecordingDialogProc(w, m, wp, lp);
  if (m == WM_UPDATE_PROGRESS && g_setup != nullptr) {
    int position = g_setup->dialog->ProgressPos(IDC_PROGRESS);
    if (position != g_lastPosition) std::printf("progress %d\n", position);
    g_lastPosition = position;
  }
  return r;
}

const char* ButtonName(int id) {
  switch (id) {
    case platform::ID_OK: return "OK";
    case platform::ID_CANCEL: return "Cancel";
    case platform::ID_YES: return "Yes";
    case platform::ID_NO: return "No";
    default: return "?";
  }
}

uint64_t ProcessCpuMicroseconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto us = [](const timeval& t) { return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_usec); };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

}  // namespace

int CommandUpdate(int argc, char** argv) {
  BenchOptions options;
  int entry = -1;
  bool answerYes = true, afterOk = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--answer") == 0 && i + 1 < argc) {
      std::string a = argv[++i];
      if (a != "yes" && a != "no") return 2;
      answerYes = a == "yes";
    } else if (std::strcmp(argv[i], "--after") == 0 && i + 1 < argc) {
      std::string a = argv[++i];
      if (a != "ok" && a != "cancel") return 2;
      afterOk = a == "ok";
    } else if (ParseCommonOption(argc, argv, &i, &options)) {
    } else if (entry < 0 && argv[i][0] >= '0' && argv[i][0] <= '9') {
      entry = std::atoi(argv[i]);
    } else {
      return 2;
    }
  }
  if (entry < 0) return 2;

  BenchSetup setup;
  if (!SetUpBench(setup, options)) return 1;
  g_setup = &setup;
  setup.dialog->SetAnswer([&](const platform::HeadlessDialog::Box& box) {
    uint32_t buttons = box.type & 0x0F;
    int answer = buttons == platform::BOX_YESNO     ? (answerYes ? platform::ID_YES : platform::ID_NO)
                 : buttons == platform::BOX_OKCANCEL ? (afterOk ? platform::ID_OK : platform::ID_CANCEL)
                                                     : platform::ID_OK;
    std::printf("message box [%s] %s -> %s\n", Printable(box.caption.c_str()).c_str(),
                Printable(box.text.c_str(), true).c_str(), ButtonName(answer));
    return answer;
  });
  StartDialog(setup, Watching);

  auto entries = setup.dialog->ComboEntries(IDC_DRIVE_LIST);
  if (entry >= static_cast<int>(entries.size())) {
    std::fprintf(stderr, "fwbench: the list has %zu entries\n", entries.size());
    FinishBench(setup);
    return 1;
  }
  SelectEntry(setup, entry);
  std::printf("selected %d: %s\n", entry, Printable(entries[static_cast<size_t>(entry)].text.c_str()).c_str());
  g_lastPosition = setup.dialog->ProgressPos(IDC_PROGRESS);
  uint64_t startTick = setup.bench.Clock().TickCount64();
  uint64_t startCpu = ProcessCpuMicroseconds();
  uint64_t startSlept = setup.bench.Clock().Slept();
  auto startWall = std::chrono::steady_clock::now();
  setup.dialog->Deliver(platform::MSG_COMMAND, platform::ID_OK, 0);
  setup.dialog->PumpUntil([] { return !IsUpdateRunning(); });
  setup.dialog->Pump();
  uint64_t cpu = ProcessCpuMicroseconds() - startCpu;
  double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - startWall).count();

  if (!g_haveResult) std::printf("no update was started\n");
  for (uint32_t flags : setup.system.ShutdownRequests())
    std::printf("%s requested (recorded, not performed)\n",
                flags == platform::EXITWIN_REBOOT ? "restart" : flags == platform::EXITWIN_POWEROFF ? "power-off" : "shutdown");
  auto after = setup.dialog->ComboEntries(IDC_DRIVE_LIST);
  int selected = setup.dialog->Selection(IDC_DRIVE_LIST);
  if (selected >= 0 && selected < static_cast<int>(after.size()))
    std::printf("listed afterwards: %s, firmware %s\n", Printable(after[static_cast<size_t>(selected)].text.c_str()).c_str(),
                Printable(setup.dialog->ItemText(IDC_FIRMWARE).c_str()).c_str());
  // From RUN to the result: the time on the bench's clock, of which the waits were slept, and the
  // processor time the whole process spent (every thread).
  std::printf("timing: clock %llu ms, slept %llu ms, wall %.1f ms, cpu %.1f ms\n",
              static_cast<unsigned long long>(setup.bench.Clock().TickCount64() - startTick),
              static_cast<unsigned long long>(setup.bench.Clock().Slept() - startSlept), wall, cpu / 1000.0);
  FinishBench(setup);
  g_setup = nullptr;
  return g_haveResult && g_result == 1 ? 0 : 1;
}
