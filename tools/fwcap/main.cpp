// fwcap: reads a capture of the emulated bench. "fwcap list FILE" lists the NVMe commands it
// carried; "fwcap image FILE OUT.bin" writes the firmware image that a download sent.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/fwcap/capture_decode.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: fwcap list FILE         list the NVMe commands of a capture\n"
               "       fwcap image FILE OUT    write the firmware image its last download sent\n");
  return 2;
}

bool ReadAll(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream all;
  all << file.rdbuf();
  *text = all.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string verb = argv[1];
  if ((verb == "list" && argc != 3) || (verb == "image" && argc != 4) || (verb != "list" && verb != "image"))
    return Usage();
  std::string text;
  if (!ReadAll(argv[2], &text)) {
    std::fprintf(stderr, "fwcap: cannot read %s\n", argv[2]);
    return 1;
  }
  size_t skipped = 0;
  std::string firstError;
  std::vector<fwcap::Line> lines = fwcap::ParseCapture(text, &skipped, &firstError);
  if (skipped != 0) std::fprintf(stderr, "fwcap: %zu lines skipped (%s)\n", skipped, firstError.c_str());
  std::vector<fwcap::Command> commands = fwcap::DecodeCommands(lines);

  if (verb == "list") {
    std::printf("%s\n", fwcap::ListHeading().c_str());
    for (const fwcap::Command& c : commands) std::printf("%s\n", fwcap::ListLine(c).c_str());
    std::printf("%zu NVMe commands in %zu lines\n", commands.size(), lines.size());
    return 0;
  }
  std::vector<uint8_t> image;
  std::string message;
  if (!fwcap::ReassembleImage(commands, &image, &message)) {
    std::fprintf(stderr, "fwcap: %s\n", message.c_str());
    return 1;
  }
  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "fwcap: cannot write %s\n", argv[3]);
    return 1;
  }
  std::printf("%s: %s\n", argv[3], message.c_str());
  return 0;
}
