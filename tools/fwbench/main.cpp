// fwbench: the updater's workflow, headless, on an emulated bench described by a bench file.
#include <cstdio>
#include <cstring>

#include "tools/fwbench/commands.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: fwbench list [--bench FILE] [--all]\n"
               "  list   the drives as the dialog lists them, with their details\n"
               "         --bench FILE  a bench file (docs/bench.md); the default bench otherwise\n"
               "         --all         also the drives the package does not apply to\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  if (std::strcmp(argv[1], "list") == 0) {
    int result = CommandList(argc - 2, argv + 2);
    return result == 2 ? Usage() : result;
  }
  return Usage();
}
