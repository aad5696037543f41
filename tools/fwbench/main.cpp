// fwbench: the updater's workflow, headless, on an emulated bench described by a bench file.
#include <cstdio>
#include <cstring>

#include "tools/fwbench/commands.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: fwbench list [OPTIONS]\n"
               "       fwbench update N [--answer yes|no] [--after ok|cancel] [OPTIONS]\n"
               "       fwbench restart [--power-off] [OPTIONS]\n"
               "       fwbench cli [OPTIONS] -- COMMAND [ARGS]\n"
               "  list     the drive list of the dialog, each entry with the details it shows\n"
               "  update   select entry N, press RUN, answer the question (--answer, default yes)\n"
               "           and the result box (--after, default cancel); exit 0 only on success\n"
               "  restart  a restart of the computer: every drive is reset, a waiting image activated;\n"
               "           with --power-off the computer is switched off in between, which also\n"
               "           activates the image of a drive that waits for a power-off\n"
               "  cli      a command of the console program (list, update --all --yes, ...); its exit\n"
               "           code is the last line of standard error, \"exit N\"\n"
               "options:\n"
               "  --bench FILE     a bench file (docs/bench.md); the default bench otherwise\n"
               "  --package ZIP    the package to embed; the sample package otherwise\n"
               "  --capture FILE   record every device request in a capture (docs/capture.md)\n"
               "  --state FILE     the machine's and the drives' state: read when FILE exists, written\n"
               "                   when the run ends; the drives' update states go to FILE.registry\n"
               "  --stop-after N   end abruptly right after device request N, as a killed program\n"
               "                   (exit status 3); the state file holds what the drives hold then\n"
               "  --real-time      run on the wall clock instead of the virtual clock\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  int result = 2;
  if (std::strcmp(argv[1], "list") == 0) result = CommandList(argc - 2, argv + 2);
  else if (std::strcmp(argv[1], "update") == 0) result = CommandUpdate(argc - 2, argv + 2);
  else if (std::strcmp(argv[1], "restart") == 0) result = CommandRestart(argc - 2, argv + 2);
  else if (std::strcmp(argv[1], "cli") == 0) result = CommandCli(argc - 2, argv + 2);
  return result == 2 ? Usage() : result;
}
