// fwpkg list and unpack: placeholders until the ZIP reader lands.
#include <cstdio>

#include "tools/fwpkg/commands.h"

int CommandList(int, char**) {
  std::fprintf(stderr, "fwpkg list: not built yet\n");
  return 1;
}
int CommandUnpack(int, char**) {
  std::fprintf(stderr, "fwpkg unpack: not built yet\n");
  return 1;
}
