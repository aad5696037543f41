#include "tools/fwbench/bench_setup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/main_dialog.h"
#include "core/app_state.h"
#include "core/guards.h"
#include "emu/bench_state.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "resources/resource.h"
#include "tools/sample/sample_package.h"

BenchSetup::~BenchSetup() {
  if (!tempFolder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempFolder, ec);
  }
}

bool ParseCommonOption(int argc, char** argv, int* i, BenchOptions* options) {
  const char* a = argv[*i];
  auto value = [&](std::string* out) {
    if (*i + 1 >= argc) return false;
    *out = argv[++*i];
    return true;
  };
  if (std::strcmp(a, "--bench") == 0) return value(&options->benchPath);
  if (std::strcmp(a, "--package") == 0) return value(&options->packagePath);
  if (std::strcmp(a, "--capture") == 0) return value(&options->capturePath);
  if (std::strcmp(a, "--state") == 0) return value(&options->statePath);
  if (std::strcmp(a, "--stop-after") == 0) {
    std::string n;
    if (!value(&n) || n.empty() || n.find_first_not_of("0123456789") != std::string::npos || n.size() > 12) return false;
    options->stopAfter = std::stoull(n);
    return options->stopAfter != 0;
  }
  if (std::strcmp(a, "--real-time") == 0) {
    options->realTime = true;
    return true;
  }
  return false;
}

bool LoadBenchAndState(BenchSetup& setup, const BenchOptions& options) {
  std::string error;
  bool loaded = options.benchPath.empty()
                    ? emu::LoadBench(setup.bench, emu::DefaultBenchText(), &setup.contents, &error)
                    : emu::LoadBenchFile(setup.bench, options.benchPath, &setup.contents, &error);
  if (loaded && !options.statePath.empty()) loaded = emu::LoadBenchStateFile(setup.contents, options.statePath, &error);
  if (!loaded) {
    std::fprintf(stderr, "fwbench: %s\n", error.c_str());
    return false;
  }
  setup.statePath = options.statePath;
  if (options.stopAfter != 0) {
    // As a killed program ends: no clean-up, nothing flushed; the drives keep what they hold now.
    setup.bench.StopAfter(options.stopAfter, [&setup, n = options.stopAfter] {
      if (!setup.statePath.empty()) emu::SaveBenchStateFile(setup.contents, setup.statePath);
      std::fprintf(stderr, "fwbench: stopped right after device request %llu\n", static_cast<unsigned long long>(n));
      std::_Exit(STOPPED_EXIT);
    });
  }
  return true;
}

bool SaveState(BenchSetup& setup) {
  if (setup.statePath.empty() || emu::SaveBenchStateFile(setup.contents, setup.statePath)) return true;
  std::fprintf(stderr, "fwbench: cannot write %s\n", setup.statePath.c_str());
  return false;
}

bool SetUpBench(BenchSetup& setup, const BenchOptions& options) {
  if (!LoadBenchAndState(setup, options)) return false;
  // The machine's boot, and each drive's update state (what the registry keeps on Windows) in a
  // file beside the bench state, so that both travel from one run to the next as the drives do.
  setup.system.SetBoot(setup.contents.boot);
  if (!options.statePath.empty()) setup.system.SetStateFile(options.statePath + STATE_REGISTRY_SUFFIX);
  std::vector<uint8_t> package;
  if (options.packagePath.empty()) {
    package = MakeSamplePackage();
  } else {
    std::ifstream in(options.packagePath, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "fwbench: cannot read %s\n", options.packagePath.c_str());
      return false;
    }
    package.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (!options.capturePath.empty() && !setup.bench.Capture().Open(options.capturePath)) {
    std::fprintf(stderr, "fwbench: cannot write %s\n", options.capturePath.c_str());
    return false;
  }
  if (options.realTime) setup.bench.Clock().FollowRealTime();

  // The run's own temporary folder, so that runs side by side never share the package archive.
  std::string pattern = (std::filesystem::temp_directory_path() / "fwbench-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    std::fprintf(stderr, "fwbench: cannot make a temporary folder\n");
    return false;
  }
  setup.tempFolder = name.data();
  setup.system.SetTempFolder(setup.tempFolder);
  setup.system.AddResource(u"FWPACKAGEZIP", IDR_FWPACKAGE, std::move(package));

  setup.dialog = std::make_unique<platform::HeadlessDialog>(setup.bench.Clock());
  platform::Services services;
  services.io = &setup.bench;
  services.tree = &setup.bench;
  services.system = &setup.system;
  services.clock = &setup.bench.Clock();
  services.dialog = setup.dialog.get();
  platform::Install(services);
  AppStateReset();
  // Devices that leave or return tell the dialog, as the system tells every top-level window.
  setup.bench.SetDeviceChangeListener([dialog = setup.dialog.get()] {
    dialog->Post(AppStateGet().dialogWindow, platform::MSG_DEVICECHANGE, 7, 0);
  });
  // The device changes and the timers they set happen at the same points of a run every time.
  if (!setup.bench.Clock().RealTime())
    setup.bench.Clock().SetPacer([dialog = setup.dialog.get(), &clock = setup.bench.Clock()](uint64_t until) {
      dialog->Pace(until, [&clock](uint64_t tick) { clock.AdvanceTo(tick); });
    });
  return true;
}

void StartDialog(BenchSetup& setup, platform::HeadlessDialog::Procedure procedure) {
  setup.window = setup.dialog->Create(procedure);
}

void FinishBench(BenchSetup& setup) {
  setup.dialog->PumpUntil([] { return !IsUpdateRunning(); });
  setup.dialog->Deliver(platform::MSG_COMMAND, platform::ID_CANCEL, 0);
  setup.system.JoinThreads();
  setup.bench.SetDeviceChangeListener(nullptr);
  setup.bench.Clock().SetPacer(nullptr);
  SaveState(setup);
}

void SelectEntry(BenchSetup& setup, int entry) {
  setup.dialog->ComboSetCurSel(setup.window, IDC_DRIVE_LIST, entry);
  setup.dialog->Deliver(platform::MSG_COMMAND,
                        (static_cast<uintptr_t>(platform::NOTIFY_SELENDOK) << 16) | IDC_DRIVE_LIST, 0);
}

std::string Printable(const char16_t* text, bool escape) {
  std::string out = platform::Utf8(text);
  if (!escape) return out;
  std::string escaped;
  for (char c : out) {
    if (c == '\r') escaped += "\\r";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  return escaped;
}
