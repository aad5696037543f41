// The discovery suites' fixture: the test environment with a bench described in bench-file text,
// and a dialog that records the messages posted to it.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "discovery/drive_record.h"
#include "emu/bench_file.h"
#include "platform/host/headless_dialog.h"
#include "tests/support/test_env.h"

namespace discoverytest {

// Records what is posted instead of queueing it for a dialog procedure.
class PostRecorder : public platform::HeadlessDialog {
 public:
  using platform::HeadlessDialog::HeadlessDialog;
  bool Post(platform::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    posts.push_back({message, lParam});
    return true;
  }
  std::vector<std::pair<uint32_t, intptr_t>> posts;
};

class Fixture : public testenv::Environment {
 protected:
  void SetUp() override {
    testenv::Environment::SetUp();
    recorder_ = std::make_unique<PostRecorder>(bench().Clock());
    platform::Services s = platform::Installed();
    s.dialog = recorder_.get();
    platform::Install(s);
  }
  void TearDown() override {
    platform::Services s = platform::Installed();
    s.dialog = &dialog();
    platform::Install(s);
    testenv::Environment::TearDown();
  }

  // Loads bench-file text into the test's bench; a fault in the text fails the test.
  emu::BenchContents Load(const std::string& text) {
    emu::BenchContents contents;
    std::string error;
    EXPECT_TRUE(emu::LoadBench(bench(), text, &contents, &error)) << error;
    return contents;
  }

  PostRecorder& posts() { return *recorder_; }

  static std::u16string Text(const char16_t* text) { return text; }

 private:
  std::unique_ptr<PostRecorder> recorder_;
};

inline bool AllZero(const DriveRecord& record) {
  const auto* p = reinterpret_cast<const uint8_t*>(&record);
  for (size_t i = 0; i < sizeof record; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace discoverytest
