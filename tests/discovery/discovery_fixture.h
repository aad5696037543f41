// The discovery suites' fixture: the test environment with a bench described in bench-file text,
// and a dialog that records the messages posted to it.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/drive_record.h"
#include "emu/bench_file.h"
#include "platform/host/headless_dialog.h"
#include "tests/support/test_env.h"

namespace discoverytest {

class Fixture : public testenv::Environment {
 protected:
  // Loads bench-file text into the test's bench; a fault in the text fails the test.
  emu::BenchContents Load(const std::string& text) {
    emu::BenchContents contents;
    std::string error;
    EXPECT_TRUE(emu::LoadBench(bench(), text, &contents, &error)) << error;
    return contents;
  }

  static std::u16string Text(const char16_t* text) { return text; }
};

inline bool AllZero(const DriveRecord& record) {
  const auto* p = reinterpret_cast<const uint8_t*>(&record);
  for (size_t i = 0; i < sizeof record; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace discoverytest
