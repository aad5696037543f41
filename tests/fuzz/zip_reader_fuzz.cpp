// Fuzz target for the ZIP reader: the input is the archive file. It is opened (with a
// password for inputs of odd length), every entry is read and extracted with the calls the
// program makes, an earlier entry is asked for again (the walk's restart), and the result texts
// are taken. After each input the scratch folder must hold nothing but the archive and the base
// folder: an extraction outside the base folder aborts the run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "package/zip_reader.h"
#include "platform/host/host_system.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr int32_t MAX_EXTRACTED_SIZE = 1 << 20;  // larger entries are listed, not extracted

struct Scratch {
  std::filesystem::path root;
  std::filesystem::path archive;
  std::filesystem::path out;
  std::u16string archiveW;
  std::u16string outW;
};

std::u16string Wide(const std::string& s) {
  std::u16string w(s.size() + 1, u'\0');
  w.resize(platform::Utf8ToWide(s.c_str(), -1, w.data(), w.size()));
  return w;
}

Scratch& Setup() {
  static Scratch* scratch = [] {
    static platform::HostSystem system;
    static platform::RealClock clock;
    platform::Services services;
    services.system = &system;
    services.clock = &clock;
    platform::Install(services);
    auto* s = new Scratch;
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                      : std::filesystem::temp_directory_path();
    s->root = base / ("qv-zip-fuzz-" + std::to_string(getpid()));
    s->archive = s->root / "input.zip";
    s->out = s->root / "l1" / "l2" / "out";  // two levels to climb out of, both watched
    std::filesystem::remove_all(s->root);
    std::filesystem::create_directories(s->out);
    s->archiveW = Wide(s->archive.string());
    s->outW = Wide(s->out.string());
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(Setup().root, ec);
    });
    return s;
  }();
  return *scratch;
}

void CheckNothingEscaped(const Scratch& s) {
  const std::filesystem::path l1 = s.root / "l1", l2 = l1 / "l2";
  for (const auto& folder : {s.root, l1, l2}) {
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
      if (e.path() == s.archive || e.path() == l1 || e.path() == l2 || e.path() == s.out) continue;
      std::fprintf(stderr, "written outside the base folder: %s\n", e.path().c_str());
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch& s = Setup();
  {
    std::FILE* f = std::fopen(s.archive.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  ArchiveHandle h = ArchiveOpenFile(s.archiveW.c_str(), (size & 1) != 0 ? "secret" : nullptr);
  char16_t text[64];
  ArchiveResultText(ArchiveResult::Recent, text, 64);
  if (h != nullptr) {
    ArchiveSetBaseFolder(h, s.outW.c_str());
    ArchiveEntry entry{};
    ArchiveGetEntry(h, -1, &entry);
    int32_t count = entry.index;
    for (int32_t i = 0; i < count; ++i) {
      ArchiveEntry e{};
      ArchiveResult got = ArchiveGetEntry(h, i, &e);
      if (got == ArchiveResult::Ok && e.uncompressedSize >= 0 && e.uncompressedSize <= MAX_EXTRACTED_SIZE)
        ArchiveExtractEntry(h, i, e.name);
      ArchiveResultText(ArchiveResult::Recent, text, 64);
    }
    if (count > 1) {
      ArchiveEntry e{};
      ArchiveGetEntry(h, count / 2, &e);
      ArchiveGetEntry(h, 0, &e);
    }
    ArchiveClose(h);
  }
  CheckNothingEscaped(s);
  std::error_code ec;
  std::filesystem::remove_all(s.out, ec);
  std::filesystem::create_directories(s.out, ec);
  return 0;
}
