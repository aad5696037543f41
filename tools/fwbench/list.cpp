// fwbench list: the drives of the bench as the dialog lists them, the entry text first and the
// five value lines under it, for the drives the sample package applies to (all with --all).
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/drive_list.h"
#include "discovery/drive_info.h"
#include "platform/text.h"
#include "tools/fwbench/bench_setup.h"
#include "tools/fwbench/commands.h"
#include "tools/sample/sample_package.h"

namespace {

// A value of the sample package's QuorvelaInfo.ini, as UTF-16.
std::u16string SampleIniValue(const std::string& key) {
  std::string ini = MakeSampleIni();
  size_t at = ini.find("\n" + key + "=");
  if (at == std::string::npos) return u"";
  at += key.size() + 2;
  size_t end = ini.find_first_of("\r\n", at);
  std::string value = ini.substr(at, end == std::string::npos ? std::string::npos : end - at);
  std::u16string out(value.size() + 1, u'\0');
  out.resize(platform::Utf8ToWide(value.data(), static_cast<ptrdiff_t>(value.size()), out.data(), out.size()));
  return out;
}

}  // namespace

int CommandList(int argc, char** argv) {
  std::string benchPath;
  bool all = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--bench") == 0 && i + 1 < argc) {
      benchPath = argv[++i];
    } else if (std::strcmp(argv[i], "--all") == 0) {
      all = true;
    } else {
      return 2;
    }
  }
  BenchSetup setup;
  if (!SetUpBench(setup, benchPath)) return 1;

  AppState& state = AppStateGet();
  std::u16string model = SampleIniValue("ModelName");
  std::u16string soc = SampleIniValue("SOCID");
  state.driveCount = static_cast<uint32_t>(EnumerateDrives(state.drives, static_cast<int>(MAX_DRIVES)));
  std::printf("%s: %u drive(s) found; the sample package (ModelName \"%s\", SOCID \"%s\") lists:\n",
              benchPath.empty() ? "default bench" : benchPath.c_str(), state.driveCount,
              Printable(model.c_str()).c_str(), Printable(soc.c_str()).c_str());
  int listed = 0;
  for (uint32_t i = 0; i < state.driveCount; ++i) {
    const DriveRecord& drive = state.drives[i];
    bool matches = DriveMatchesPackage(drive, model.c_str(), soc.c_str());
    if (!matches && !all) continue;
    listed += matches ? 1 : 0;
    char16_t entry[TEXT_PATH], interface[TEXT_PATH], capacity[TEXT_SHORT];
    FormatEntryText(drive, entry, TEXT_PATH);
    FormatInterfaceText(drive, interface, TEXT_PATH);
    platform::FormatText(capacity, TEXT_SHORT, u"%d GB", static_cast<int>(drive.capacityGB));
    std::printf("\n%s%s\n", Printable(entry).c_str(), matches ? "" : "   (not listed: another model or SoC)");
    std::printf("  Model      %s\n", Printable(drive.model).c_str());
    std::printf("  Serial No. %s\n", Printable(drive.serial).c_str());
    std::printf("  Interface  %s\n", Printable(interface).c_str());
    std::printf("  Firmware   %s\n", Printable(drive.fwRevision).c_str());
    std::printf("  Capacity   %s\n", Printable(capacity).c_str());
    std::printf("  (%s, port ID %lld, SoC %04X, flash type %04X, internal version %s)\n",
                Printable(drive.devicePath).c_str(), static_cast<long long>(drive.iPort), drive.controllerCode,
                drive.flashType, Printable(drive.internalFwVersion).c_str());
  }
  if (listed == 0) std::printf("\n(no drive)\n");
  return 0;
}
