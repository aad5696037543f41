// The workflow fixture: the dialog logic on the emulated bench and the virtual clock, with the
// helpers that start the dialog, select an entry, press RUN and read what it showed and sent.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/completion.h"
#include "app/drive_list.h"
#include "app/eligibility.h"
#include "app/fleet.h"
#include "app/fleet_dialog.h"
#include "app/main_dialog.h"
#include "app/package_info.h"
#include "app/progress.h"
#include "app/update_worker.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "emu/bench_file.h"
#include "platform/messages.h"
#include "platform/text.h"
#include "resources/resource.h"
#include "tests/support/test_env.h"
#include "tools/sample/sample_package.h"

namespace workflow {

using namespace platform;
using testenv::Narrow;

// Every percentage the dialog receives, in the order it handles them (the worker is their only
// sender, and one queue carries both the posted and the sent ones).
inline std::vector<int> g_percents;

// The result codes the worker posted, in order.
inline std::vector<int> g_results;

inline intptr_t RecordingProcedure(WindowHandle w, uint32_t m, uintptr_t wp, intptr_t lp) {
  if (m == WM_UPDATE_PROGRESS) g_percents.push_back(static_cast<int>(lp));
  if (m == WM_UPDATE_RESULT) g_results.push_back(static_cast<int>(lp));
  return RecordingDialogProc(w, m, wp, lp);
}

// The default bench with lines added to one section (after its header line).
inline std::string BenchWith(const std::string& section, const std::string& lines,
                      std::string text = emu::DefaultBenchText()) {
  size_t at = text.find("[" + section + "]");
  EXPECT_NE(at, std::string::npos) << section;
  at = text.find('\n', at) + 1;
  text.insert(at, lines + "\n");
  return text;
}

// The JMicron drive of the default bench carries a flash type the sample package has no image
// for; these tests give it the Micron-B47R flash.
inline std::string MicronJMicronBench() {
  std::string text = emu::DefaultBenchText();
  size_t at = text.find("[drive q7-jmicron]");
  size_t flash = text.find("flash-id = 98 3E 98 B3 76 E3", at);
  EXPECT_NE(flash, std::string::npos);
  text.replace(flash, 28, "flash-id = 2C C3 08 32 EA 00");
  return text;
}

class Workflow : public testenv::Environment {
 protected:
  void SetUp() override {
    Environment::SetUp();
    g_percents.clear();
    g_results.clear();
    // Questions are answered Yes, result boxes Cancel (no restart), unless a test says otherwise.
    dialog().SetAnswer([](const HeadlessDialog::Box& box) {
      uint32_t buttons = box.type & 0x0F;
      return buttons == BOX_YESNO ? ID_YES : buttons == BOX_OKCANCEL ? ID_CANCEL : ID_OK;
    });
  }

  void Start(const std::string& benchText = emu::DefaultBenchText(),
             const std::vector<uint8_t>& package = MakeSamplePackage()) {
    std::string error;
    ASSERT_TRUE(emu::LoadBench(bench(), benchText, &contents_, &error)) << error;
    testenv::AddResource(u"FWPACKAGEZIP", 1000, package);
    window_ = dialog().Create(RecordingProcedure);
  }

  void Select(int entry) {
    dialog().ComboSetCurSel(window_, IDC_DRIVE_LIST, entry);
    dialog().Deliver(MSG_COMMAND, (static_cast<uintptr_t>(NOTIFY_SELENDOK) << 16) | IDC_DRIVE_LIST, 0);
  }

  // Presses RUN, lets the update run to its end and handles its result message.
  void RunUpdate() {
    g_percents.clear();
    dialog().Deliver(MSG_COMMAND, ID_OK, 0);
    dialog().PumpUntil([] { return !IsUpdateRunning(); });
    dialog().Pump();
  }

  // Runs the worker on the current selectedDrive, as RUN would after its checks, to its end.
  void RunWorker() {
    AppState& s = AppStateGet();
    ASSERT_TRUE(StartWorker(window_, &s.workerThread, UpdateWorker));
    dialog().PumpUntil([] { return !IsUpdateRunning(); });
    dialog().Pump();
  }

  std::vector<std::string> CaptureWith(const std::string& part) {
    std::vector<std::string> out;
    for (const std::string& line : bench().Capture().Lines())
      if (line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }

  // The result code of the last update, 0 when none ended.
  int LastResult() { return g_results.empty() ? 0 : g_results.back(); }

  std::u16string LastBox() {
    auto boxes = dialog().Boxes();
    return boxes.empty() ? u"<no box>" : boxes.back().text;
  }

  std::vector<std::u16string> BoxTexts() {
    std::vector<std::u16string> out;
    for (const auto& b : dialog().Boxes()) out.push_back(b.text);
    return out;
  }

  emu::BenchContents contents_;
  WindowHandle window_ = nullptr;
};

// The console program's standard output and standard error, kept.
class StringConsole : public FleetConsole {
 public:
  void Out(const char* text, size_t length) override { out.append(text, length); }
  void Err(const char* text, size_t length) override { err.append(text, length); }
  std::string out, err;
};

// The device requests of one run on a fresh default bench, with the services of the fixture
// otherwise. No device-change message reaches the dialog: a refresh it starts lands wherever the
// threads meet, which would make two runs differ in their order.
inline std::vector<std::string> CaptureOf(const std::function<void(HeadlessDialog&)>& run) {
  emu::Bench bench;
  bench.Capture().Keep(true);
  std::string error;
  EXPECT_TRUE(emu::LoadBench(bench, emu::DefaultBenchText(), nullptr, &error)) << error;
  HeadlessDialog dialog(bench.Clock());
  Services services = Installed();
  services.io = &bench;
  services.tree = &bench;
  services.clock = &bench.Clock();
  services.dialog = &dialog;
  Services previous = testenv::InstallServices(services);
  AppStateReset();
  run(dialog);
  dialog.PumpUntil([] { return !IsUpdateRunning(); });
  testenv::InstallServices(previous);
  // SCSI_PASS_THROUGH_DIRECT carries the address of the caller's buffer, which differs from run to
  // run; everything else of a request is compared.
  std::vector<std::string> lines = bench.Capture().Lines();
  const size_t pointerAt = (sizeof(void*) == 8 ? 24 : 20) * 2, pointerHex = sizeof(void*) * 2;
  for (std::string& line : lines) {
    size_t in = line.find(" 0x0004D014 in=");
    if (in != std::string::npos && line.size() > in + 15 + pointerAt + pointerHex)
      line.replace(in + 15 + pointerAt, pointerHex, pointerHex, '-');
  }
  return lines;
}

// The events written since the test began, one a line: "ID: string | string | ...".
inline std::string EventsText() {
  std::string text;
  for (const testenv::Event& e : testenv::Events()) {
    text += std::to_string(e.id & 0xFFFF) + ":";
    for (size_t k = 0; k < e.strings.size(); ++k) text += (k == 0 ? " " : " | ") + testenv::Narrow(e.strings[k]);
    text += "\n";
  }
  return text;
}

// IOCTL_STORAGE_FIRMWARE_DOWNLOAD and IOCTL_STORAGE_FIRMWARE_ACTIVATE, as the capture writes them.
inline const char* kDownloadCode = "0x002DDC04";
inline const char* kActivateCode = "0x002DDC08";
// IOCTL_STORAGE_PROTOCOL_COMMAND.
inline const char* kProtocolCode = "0x002DD3C0";

}  // namespace workflow
