#include "tools/fwbench/bench_setup.h"

#include <cstdio>

#include "app/app_state.h"
#include "platform/platform.h"
#include "platform/text.h"

bool SetUpBench(BenchSetup& setup, const std::string& benchPath) {
  std::string error;
  bool loaded = benchPath.empty()
                    ? emu::LoadBench(setup.bench, emu::DefaultBenchText(), &setup.contents, &error)
                    : emu::LoadBenchFile(setup.bench, benchPath, &setup.contents, &error);
  if (!loaded) {
    std::fprintf(stderr, "fwbench: %s\n", error.c_str());
    return false;
  }
  setup.dialog = std::make_unique<platform::HeadlessDialog>(setup.bench.Clock());
  platform::Services services;
  services.io = &setup.bench;
  services.tree = &setup.bench;
  services.system = &setup.system;
  services.clock = &setup.bench.Clock();
  services.dialog = setup.dialog.get();
  platform::Install(services);
  AppStateReset();
  return true;
}

std::string Printable(const char16_t* text) {
  std::string out(platform::TextLength(text) * 3 + 1, '\0');
  out.resize(platform::WideToUtf8(text, out.data(), out.size()));
  return out;
}
