// fwpkg check and sample: placeholders until the image checks and the package writer land.
#include <cstdio>

#include "tools/fwpkg/commands.h"

int CommandCheck(int, char**) {
  std::fprintf(stderr, "fwpkg check: not built yet\n");
  return 1;
}
int CommandSample(int, char**) {
  std::fprintf(stderr, "fwpkg sample: not built yet\n");
  return 1;
}
