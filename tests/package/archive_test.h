// The fixture of the package suites: the test environment with a ForwardingSystem in front of the
// build's System, and file helpers that work alike on the host and under Wine.
#pragma once
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package/zip_reader.h"
#include "platform/platform.h"
#include "tests/package/forwarding_system.h"
#include "tests/support/test_env.h"

namespace packagetest {

// A path for std::filesystem; on the host a "\\" separates folders too, as the host System reads it.
inline std::filesystem::path FsPath(const std::string& utf8) {
  std::u16string wide = testenv::Widen(utf8);
#ifndef _WIN32
  for (char16_t& c : wide)
    if (c == u'\\') c = u'/';
#endif
  return std::filesystem::path(wide);
}

inline std::optional<std::string> ReadAll(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(FsPath(path), ec);
}

inline bool IsFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(FsPath(path), ec);
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every plain file below a folder, as paths relative to it with "/".
inline std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  if (!std::filesystem::exists(FsPath(folder), ec)) return out;
  for (auto it = std::filesystem::recursive_directory_iterator(FsPath(folder), ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file()) continue;
    std::u16string rel = std::filesystem::relative(it->path(), FsPath(folder)).generic_u16string();
    out.push_back(testenv::Narrow(rel));
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct Unpacked {
  std::u16string name;
  ArchiveResult entryResult;
  ArchiveResult result;
  ArchiveEntry entry;
};

class ArchiveTest : public testenv::Environment {
 protected:
  void SetUp() override {
    Environment::SetUp();
    forwarding_ = std::make_unique<ForwardingSystem>(platform::Sys());
    platform::Services s = platform::Installed();
    s.system = forwarding_.get();
    previous_ = testenv::InstallServices(s);
  }
  void TearDown() override {
    testenv::InstallServices(previous_);
    forwarding_.reset();
    MakeWritable(Scratch());  // extracted read-only files would keep the scratch folder alive
    Environment::TearDown();
  }

  static void MakeWritable(const std::string& folder) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(FsPath(folder), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, ec);
    }
  }

  ForwardingSystem& Fs() { return *forwarding_; }
  std::string At(const std::string& relative) const { return Scratch() + "/" + relative; }
  std::u16string AtW(const std::string& relative) const { return testenv::Widen(At(relative)); }
  // The base folder of the extractions: <scratch>/out.
  std::string Out(const std::string& relative = "") const {
    return relative.empty() ? At("out") : At("out/" + relative);
  }

  // Writes an archive into the scratch folder and returns its path.
  std::u16string Archive(const std::string& bytes, const std::string& name = "test.zip") {
    WriteAll(At(name), bytes);
    return AtW(name);
  }

  // Opens, sets the base folder to Out() and extracts every entry with the program's calls.
  std::vector<Unpacked> UnpackAll(const std::u16string& archive, const char* password = nullptr) {
    std::vector<Unpacked> out;
    ArchiveHandle h = ArchiveOpenFile(archive.c_str(), password);
    if (h == nullptr) return out;
    std::u16string base = testenv::Widen(Out());
    EXPECT_EQ(ArchiveSetBaseFolder(h, base.c_str()), ArchiveResult::Ok);
    ArchiveEntry count{};
    ArchiveGetEntry(h, -1, &count);
    for (int32_t i = 0; i < count.index; ++i) {
      Unpacked u{};
      u.entryResult = ArchiveGetEntry(h, i, &u.entry);
      u.name = u.entry.name;
      u.result = ArchiveExtractEntry(h, i, u.entry.name);
      out.push_back(u);
    }
    EXPECT_EQ(ArchiveClose(h), ArchiveResult::Ok);
    return out;
  }

 private:
  std::unique_ptr<ForwardingSystem> forwarding_;
  platform::Services previous_;
};

}  // namespace packagetest
