// fwpkg: build, list, check and unpack firmware packages.
#include <cstdio>
#include <cstring>

#include "tools/fwpkg/commands.h"
#include "tools/fwpkg/tool_platform.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: fwpkg list ARCHIVE\n"
               "       fwpkg unpack ARCHIVE DIR [--password TEXT]\n"
               "       fwpkg check PACKAGE\n"
               "       fwpkg newversion PACKAGE\n"
               "       fwpkg sample OUT.zip\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  InstallToolPlatform();
  const char* command = argv[1];
  if (std::strcmp(command, "list") == 0) return CommandList(argc - 2, argv + 2);
  if (std::strcmp(command, "unpack") == 0) return CommandUnpack(argc - 2, argv + 2);
  if (std::strcmp(command, "check") == 0) return CommandCheck(argc - 2, argv + 2);
  if (std::strcmp(command, "newversion") == 0) return CommandNewVersion(argc - 2, argv + 2);
  if (std::strcmp(command, "sample") == 0) return CommandSample(argc - 2, argv + 2);
  return Usage();
}
