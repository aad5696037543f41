// The fixture of the command-path tests: one recording fake disk on the bench, opened through the
// device seam, and a System that counts page blocks and can refuse them.
#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "core/app_state.h"
#include "platform/platform.h"
#include "tests/nvme/recording_device.h"
#include "tests/support/test_env.h"

#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#else
#include "platform/host/host_system.h"
#endif

namespace nvmetest {

#ifdef _WIN32
using BuildSystemClass = platform::Win32System;
#else
using BuildSystemClass = platform::HostSystem;
#endif

// The build's System with page blocks counted; refuses them while refuse is set.
class CountingSystem : public BuildSystemClass {
 public:
  bool refuse = false;
  int allocated = 0;
  int freed = 0;
  std::vector<void*> blocks;
  void* PageAlloc(size_t size) override {
    if (refuse) return nullptr;
    void* p = BuildSystemClass::PageAlloc(size);
    if (p != nullptr) {
      ++allocated;
      blocks.push_back(p);
    }
    return p;
  }
  void PageFree(void* block) override {
    ++freed;
    BuildSystemClass::PageFree(block);
  }
  void DebugOutput(const char16_t* text) override { lines.emplace_back(text); }
  std::vector<std::u16string> lines;
};

class NvmeTest : public testenv::Environment {
 protected:
  void SetUp() override {
    Environment::SetUp();
    device = std::make_shared<RecordingDevice>();
    bench().AddDevice(u"\\\\.\\PhysicalDrive3", device);
    uint32_t error = 0;
    handle = platform::Io().Open(u"\\\\.\\PhysicalDrive3", &error);
    ASSERT_NE(handle, platform::INVALID_DEVICE);
    platform::Services s = platform::Installed();
    s.system = &system;
    previous = testenv::InstallServices(s);
    AppStateGet().traceEnabled = 1;
  }
  void TearDown() override {
    testenv::InstallServices(previous);
    platform::Io().Close(handle);
    Environment::TearDown();
  }
  // A page block holding the given bytes, as the worker hands an image over.
  uint8_t* PageCopy(const std::vector<uint8_t>& bytes) {
    auto* p = static_cast<uint8_t*>(system.PageAlloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    return p;
  }

  std::shared_ptr<RecordingDevice> device;
  platform::DeviceHandle handle = platform::INVALID_DEVICE;
  CountingSystem system;
  platform::Services previous;
};

}  // namespace nvmetest
