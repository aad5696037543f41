// fwbench list: the drive list of the updater's dialog on the bench, each entry followed by the
// five value lines the dialog shows when it is selected.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/main_dialog.h"
#include "core/app_state.h"
#include "resources/resource.h"
#include "tools/fwbench/bench_setup.h"
#include "tools/fwbench/commands.h"

int CommandList(int argc, char** argv) {
  BenchOptions options;
  for (int i = 0; i < argc; ++i)
    if (!ParseCommonOption(argc, argv, &i, &options)) return 2;
  BenchSetup setup;
  if (!SetUpBench(setup, options)) return 1;
  StartDialog(setup, MainDialogProc);

  platform::HeadlessDialog& dialog = *setup.dialog;
  AppState& state = AppStateGet();
  auto entries = dialog.ComboEntries(IDC_DRIVE_LIST);
  std::printf("%s: \"%s\"; %u drive(s) found, %zu listed\n",
              options.benchPath.empty() ? "default bench" : options.benchPath.c_str(),
              Printable(dialog.Caption().c_str()).c_str(), state.driveCount, entries.size());
  static const struct {
    int id;
    const char* label;
  } kLines[] = {{IDC_MODEL, "Model"}, {IDC_SERIAL, "Serial No."}, {IDC_INTERFACE, "Interface"},
                {IDC_FIRMWARE, "Firmware"}, {IDC_CAPACITY, "Capacity"}};
  for (size_t i = 0; i < entries.size(); ++i) {
    SelectEntry(setup, static_cast<int>(i));
    std::printf("\n%zu  %s\n", i, Printable(entries[i].text.c_str()).c_str());
    for (const auto& line : kLines)
      std::printf("   %-10s %s\n", line.label, Printable(dialog.ItemText(line.id).c_str()).c_str());
    const DriveRecord& d = state.selectedDrive;
    std::printf("   (%s, port ID %lld, SoC %04X, flash type %04X, internal version %s)\n",
                Printable(d.devicePath).c_str(), static_cast<long long>(d.iPort), d.controllerCode, d.flashType,
                Printable(d.internalFwVersion).c_str());
  }
  if (entries.empty()) std::printf("\n(no drive)\n");
  FinishBench(setup);
  return 0;
}
