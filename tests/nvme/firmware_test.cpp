// Firmware download on the bridge and native paths (chunks, NUMD and OFST, the native record,
// the progress reported, failures and who keeps the image), commit, the firmware information,
// and the legacy firmware name.
#include <gtest/gtest.h>

#include <cstring>

#include "core/app_state.h"
#include "nvme/bridge.h"
#include "nvme/firmware.h"
#include "tests/nvme/nvme_fixture.h"

using namespace nvmetest;

namespace {

std::vector<intptr_t> g_progress;

void RecordProgress(int percent) { g_progress.push_back(percent); }

std::vector<uint8_t> Image(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8));
  return v;
}

// The 64-byte command a bridge carried in phase 1 of a request.
std::vector<uint8_t> CommandOf(const Seen& phase1, int32_t type) {
  const size_t at = type == CMD_TYPE_JMI ? 8 : 0;
  return std::vector<uint8_t>(phase1.data.begin() + at, phase1.data.begin() + at + 64);
}

}  // namespace

class Firmware : public NvmeTest {
 protected:
  void SetUp() override {
    NvmeTest::SetUp();
    g_progress.clear();
  }
  std::vector<intptr_t> Progress() { return g_progress; }
};

TEST_F(Firmware, BridgeChunksOfFullPagesCountDwords) {
  for (int32_t type : {CMD_TYPE_ASM, CMD_TYPE_JMI}) {
    device->seen.clear();
    const auto bytes = Image(3 * 4096);
    uint8_t* image = PageCopy(bytes);
    ASSERT_EQ(DownloadFW(type, handle, image, 3 * 4096), 1);
    ASSERT_EQ(device->seen.size(), 9u);
    const std::vector<uint8_t> ofst[3] = {Bytes({0, 0, 0, 0}), Bytes({0x00, 0x04, 0, 0}),
                                          Bytes({0x00, 0x08, 0, 0})};
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> want(64, 0);
      want[0] = 0x11;  // NSID 0
      want[40] = 0xFF;
      want[41] = 0x03;  // NUMD 1023
      std::memcpy(want.data() + 44, ofst[i].data(), 4);
      EXPECT_EQ(CommandOf(device->seen[3 * i], type), want) << "chunk " << i;
      const Seen& data = device->seen[3 * i + 1];
      EXPECT_EQ(data.dataIn, 0);
      EXPECT_EQ(data.data, std::vector<uint8_t>(bytes.begin() + 4096 * i, bytes.begin() + 4096 * (i + 1)));
    }
    if (type == CMD_TYPE_ASM)
      EXPECT_EQ(device->seen[1].Cdb(), Bytes({0xEA, 0x5A, 0x81, 0x00, 0x02, 0, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0, 0}));
    else
      EXPECT_EQ(device->seen[1].Cdb(), Bytes({0xA1, 0x83, 0x00, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    system.PageFree(image);
  }
}

TEST_F(Firmware, ShortLastChunkCarriesExactlyItsBytes) {
  for (int32_t type : {CMD_TYPE_ASM, CMD_TYPE_JMI}) {
    device->seen.clear();
    const auto bytes = Image(4096 + 5);
    uint8_t* image = PageCopy(bytes);
    ASSERT_EQ(DownloadFW(type, handle, image, 4096 + 5), 1);
    ASSERT_EQ(device->seen.size(), 6u);
    const auto command = CommandOf(device->seen[3], type);
    EXPECT_EQ(std::vector<uint8_t>(command.begin() + 40, command.begin() + 48),
              Bytes({0x01, 0, 0, 0, 0x00, 0x04, 0, 0}));  // NUMD 1, OFST 1024
    const Seen& data = device->seen[4];
    EXPECT_EQ(data.transferLength, 5u);
    EXPECT_EQ(data.data, std::vector<uint8_t>(bytes.begin() + 4096, bytes.end()));
    if (type == CMD_TYPE_ASM)
      EXPECT_EQ(data.Cdb(), Bytes({0xEA, 0x5A, 0x81, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0}));
    else
      EXPECT_EQ(data.Cdb(), Bytes({0xA1, 0x83, 0x00, 0x00, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    system.PageFree(image);
  }
}

TEST_F(Firmware, PackagedImageSizeGoesIn163Chunks) {
  const uint32_t size = 667648;
  const auto bytes = Image(size);
  for (int32_t type : {CMD_TYPE_JMI, CMD_TYPE_NVME}) {
    device->seen.clear();
    g_progress.clear();
    uint8_t* image = PageCopy(bytes);
    ASSERT_EQ(DownloadFW(type, handle, image, size, RecordProgress), 1);
    if (type == CMD_TYPE_NVME) {
      const auto requests = device->Of(kFirmwareDownload);
      ASSERT_EQ(requests.size(), 163u);
      EXPECT_EQ(U64(requests.back().in, 16), 162u * 4096u);
      EXPECT_EQ(U64(requests.back().in, 24), 4096u);
    } else {
      ASSERT_EQ(device->seen.size(), 3u * 163u);
      const auto last = CommandOf(device->seen[3 * 162], type);
      EXPECT_EQ(U32(last, 40), 1023u);
      EXPECT_EQ(U32(last, 44), 162u * 1024u);
    }
    EXPECT_EQ(Progress(), (std::vector<intptr_t>{10, 20, 30, 40, 50, 60, 70, 80, 90}));
    system.PageFree(image);
  }
}

TEST_F(Firmware, NativeChunkRecords) {
  const auto bytes = Image(5000);
  uint8_t* image = PageCopy(bytes);
  ASSERT_EQ(DownloadFW(CMD_TYPE_NVME, handle, image, 5000), 1);
  const auto requests = device->Of(kFirmwareDownload);
  ASSERT_EQ(requests.size(), 2u);
  const Seen& a = requests[0];
  ASSERT_EQ(a.in.size(), 4136u);
  EXPECT_EQ(a.outLength, 0u);
  EXPECT_EQ(std::vector<uint8_t>(a.in.begin(), a.in.begin() + 32),
            Bytes({0x28, 0, 0, 0,  0x28, 0x10, 0, 0,  0x01, 0, 0, 0,  0x01, 0, 0, 0,  // 40, 4136, controller, slot 1
                   0, 0, 0, 0, 0, 0, 0, 0,                                            // offset 0
                   0x00, 0x10, 0, 0, 0, 0, 0, 0}));                                   // 4096 bytes
  EXPECT_EQ(std::vector<uint8_t>(a.in.begin() + 32, a.in.begin() + 32 + 4096),
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4096));
  const Seen& b = requests[1];
  ASSERT_EQ(b.in.size(), 944u);  // 904 + 40
  EXPECT_EQ(std::vector<uint8_t>(b.in.begin(), b.in.begin() + 32),
            Bytes({0x28, 0, 0, 0,  0xB0, 0x03, 0, 0,  0x01, 0, 0, 0,  0x01, 0, 0, 0,
                   0x00, 0x10, 0, 0, 0, 0, 0, 0,
                   0x88, 0x03, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(std::vector<uint8_t>(b.in.begin() + 32, b.in.begin() + 32 + 904),
            std::vector<uint8_t>(bytes.begin() + 4096, bytes.end()));
  EXPECT_EQ(std::vector<uint8_t>(b.in.begin() + 936, b.in.end()), std::vector<uint8_t>(8, 0))
      << "nothing of the previous chunk rides along";
  // Only the request buffer was taken and given back; the image stays with the caller.
  EXPECT_EQ(system.allocated - 1, system.freed);
  system.PageFree(image);
}

TEST_F(Firmware, ProgressIsPostedOnlyForLargerImages) {
  for (int32_t type : {CMD_TYPE_ASM, CMD_TYPE_NVME}) {
    for (uint32_t size : {0u, 5u, 4096u}) {
      g_progress.clear();
      device->seen.clear();
      uint8_t* image = PageCopy(Image(size));
      ASSERT_EQ(DownloadFW(type, handle, image, size, RecordProgress), 1);
      EXPECT_TRUE(Progress().empty()) << size;
      if (size == 0) {
        EXPECT_TRUE(device->seen.empty());
      }
      system.PageFree(image);
    }
    g_progress.clear();
    system.lines.clear();
    uint8_t* image = PageCopy(Image(12288));
    ASSERT_EQ(DownloadFW(type, handle, image, 12288, RecordProgress), 1);
    EXPECT_EQ(Progress(), (std::vector<intptr_t>{30, 60}));
    const std::u16string prefix = u"[TX]          [middle] ";
    EXPECT_EQ(system.lines, (std::vector<std::u16string>{prefix + u"DownloadFW IN", prefix + u"DownloadFW  30%",
                                                         prefix + u"DownloadFW  60%",
                                                         prefix + u"DownloadFW Success OUT"}));
    system.PageFree(image);
  }
}

// A failed chunk ends the download. Whatever failed, the image stays with its caller, untouched,
// and every request buffer has been given back.
TEST_F(Firmware, FailedChunkEndsTheDownloadAndLeavesTheImageWithItsCaller) {
  const auto bytes = Image(4 * 4096);
  auto expectKept = [&](uint8_t* image, const char* what) {
    EXPECT_EQ(system.allocated - system.freed, 1) << what;
    EXPECT_EQ(std::memcmp(image, bytes.data(), bytes.size()), 0) << what;
    system.PageFree(image);
    EXPECT_EQ(system.allocated, system.freed) << what;
  };
  // Native: the second chunk fails.
  device->answer = [](const Seen& s) {
    Reply r;
    if (s.code == kFirmwareDownload && U64(s.in, 16) == 4096) r = Fail(1117);
    return r;
  };
  uint8_t* image = PageCopy(bytes);
  EXPECT_EQ(DownloadFW(CMD_TYPE_NVME, handle, image, 4 * 4096), -4);
  EXPECT_EQ(device->Of(kFirmwareDownload).size(), 2u);
  EXPECT_EQ(AppStateGet().lastSystemError, 1117u);
  expectKept(image, "native");

  // Bridge: phase 2 of the third chunk fails.
  device->answer = nullptr;
  device->seen.clear();
  device->replies = {{}, {}, {}, {}, {}, {}, {}, Fail(31)};
  image = PageCopy(bytes);
  EXPECT_EQ(DownloadFW(CMD_TYPE_ASM, handle, image, 4 * 4096), -4);
  EXPECT_EQ(device->seen.size(), 8u);
  expectKept(image, "bridge request");

  // Bridge: the drive completes the last chunk with Internal Error (status field 0x0006 in the
  // entry's fourth dword), or the bridge ends the first chunk's completion phase with CHECK
  // CONDITION. Nothing is sent after it.
  device->seen.clear();
  device->replies = {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
                     Data(Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x0D, 0x00}))};
  image = PageCopy(bytes);
  EXPECT_EQ(DownloadFW(CMD_TYPE_ASM, handle, image, 4 * 4096), NVME_RESULT_DEVICE_ERROR);
  EXPECT_EQ(device->seen.size(), 12u);
  expectKept(image, "drive status");
  device->seen.clear();
  device->replies = {{}, {}, CheckCondition()};
  image = PageCopy(bytes);
  EXPECT_EQ(DownloadFW(CMD_TYPE_JMI, handle, image, 4 * 4096), NVME_RESULT_DEVICE_ERROR);
  EXPECT_EQ(device->seen.size(), 3u);
  expectKept(image, "check condition");

  // Unknown command type: -5, nothing sent.
  device->seen.clear();
  image = PageCopy(bytes);
  EXPECT_EQ(DownloadFW(CMD_TYPE_NONE, handle, image, 4 * 4096), -5);
  EXPECT_TRUE(device->seen.empty());
  expectKept(image, "command type");

  // No request buffer: -4 without a request.
  image = PageCopy(bytes);
  system.refuse = true;
  EXPECT_EQ(DownloadFW(CMD_TYPE_NVME, handle, image, 4 * 4096), -4);
  system.refuse = false;
  EXPECT_EQ(AppStateGet().lastSystemError, 8u);
  EXPECT_TRUE(device->seen.empty());
  expectKept(image, "no request buffer");
}

TEST_F(Firmware, CommitRecordsAndTheErrorsTheyMeet) {
  ASSERT_EQ(FWCommit(CMD_TYPE_NVME, handle, 1, 1), 1);
  ASSERT_EQ(device->seen.size(), 1u);
  EXPECT_EQ(device->seen[0].code, kFirmwareActivate);
  EXPECT_EQ(device->seen[0].in, Bytes({0x10, 0, 0, 0, 0x10, 0, 0, 0, 0x01, 0, 0, 0, 0x01, 0, 0, 0}));
  EXPECT_EQ(device->seen[0].outLength, 0u);
  const std::u16string prefix = u"[TX]          [middle] ";
  EXPECT_EQ(system.lines, (std::vector<std::u16string>{prefix + u"FW Commit IN", prefix + u"FW Commit Success OUT "}));

  // Another commit action switches to the existing image.
  ASSERT_EQ(IO_NVMe_FwActivate(handle, 1, 2), 1);
  EXPECT_EQ(device->seen[1].in, Bytes({0x10, 0, 0, 0, 0x10, 0, 0, 0, 0x01, 0, 0, 0x80, 0x01, 0, 0, 0}));

  device->replies = {Fail(0x30207)};
  EXPECT_EQ(FWCommit(CMD_TYPE_NVME, handle, 1, 1), 1);
  EXPECT_EQ(AppStateGet().lastSystemError, 0x30207u);
  system.lines.clear();
  device->replies = {Fail(0x30206)};
  EXPECT_EQ(FWCommit(CMD_TYPE_NVME, handle, 1, 1), -4);
  EXPECT_EQ(AppStateGet().lastSystemError, 0x30206u);
  EXPECT_EQ(system.lines, (std::vector<std::u16string>{prefix + u"FW Commit IN"}));

  device->seen.clear();
  EXPECT_EQ(FWCommit(CMD_TYPE_NONE, handle, 1, 1), -5);
  EXPECT_TRUE(device->seen.empty());

  // A bridged drive that refuses the commit (Invalid Firmware Image, 0x0107): no success line.
  system.lines.clear();
  device->replies = {{}, {}, Data(Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x0F, 0x02}))};
  EXPECT_EQ(FWCommit(CMD_TYPE_ASM, handle, 1, 1), NVME_RESULT_DEVICE_ERROR);
  EXPECT_EQ(system.lines, (std::vector<std::u16string>{prefix + u"FW Commit IN"}));
}

// The firmware information of a native drive: the query for the controller, and a reply of three
// slot records whose second waits for activation, written out from the storage driver's layout.
TEST_F(Firmware, FirmwareInformationNamesThePendingSlotAndItsRevision) {
  auto slot = [](uint8_t number, const char* revision) {
    std::vector<uint8_t> b = {0x20, 0, 0, 0, 0x20, 0, 0, 0, number, 0, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < 16; ++i) b.push_back(i < std::strlen(revision) ? static_cast<uint8_t>(revision[i]) : 0);
    return b;
  };
  auto reply = [&](uint8_t slotCount, uint8_t pending) {
    std::vector<uint8_t> b = {0x38, 0, 0, 0, 0x78, 0, 0, 0, 0x01, slotCount, 0x01, pending,
                              0, 0, 0, 0, 0x00, 0x10, 0, 0, 0x00, 0x00, 0x02, 0x00};
    for (const auto& s : {slot(1, "3.2.F.P7"), slot(2, "3.2.F.2A"), slot(3, "OLDREV01")}) b.insert(b.end(), s.begin(), s.end());
    return Data(b);
  };
  FirmwareSlots slots{};
  device->replies = {reply(3, 2)};
  ASSERT_EQ(IO_NVMe_FwGetInfo(handle, &slots), NVME_RESULT_OK);
  ASSERT_EQ(device->seen.size(), 1u);
  EXPECT_EQ(device->seen[0].code, 0x2D1C00u);
  EXPECT_EQ(device->seen[0].in, Bytes({0x10, 0, 0, 0, 0x10, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(device->seen[0].outLength, 248u);
  EXPECT_EQ(slots.activeSlot, 1);
  EXPECT_EQ(slots.pendingSlot, 2);
  EXPECT_EQ(std::u16string(slots.pendingRevision), u"3.2.F.2A");
  // No slot waits: NVMe says 0, the storage driver 0xFF.
  for (uint8_t none : {uint8_t{0}, uint8_t{0xFF}}) {
    device->replies = {reply(3, none)};
    ASSERT_EQ(IO_NVMe_FwGetInfo(handle, &slots), NVME_RESULT_OK);
    EXPECT_EQ(slots.pendingSlot, 0);
    EXPECT_EQ(slots.pendingRevision[0], 0);
  }
  // More slots than a controller has, or none, is no such reply; a failed request keeps its error.
  for (uint8_t count : {uint8_t{0}, uint8_t{8}}) {
    device->replies = {reply(count, 2)};
    EXPECT_EQ(IO_NVMe_FwGetInfo(handle, &slots), NVME_RESULT_DEVICE_ERROR) << int(count);
    EXPECT_EQ(slots.pendingSlot, 0);
  }
  device->replies = {Fail(1)};
  EXPECT_EQ(IO_NVMe_FwGetInfo(handle, &slots), NVME_RESULT_IO_FAILED);
  EXPECT_EQ(slots.error, 1u);
}

TEST_F(Firmware, LegacyNameGoesIntoBytes88To95) {
  std::vector<uint8_t> legacy(4096);
  for (size_t i = 0; i < legacy.size(); ++i) legacy[i] = static_cast<uint8_t>(0x80 | i);
  device->answer = [&](const Seen& s) {
    Reply r;
    if (s.code == kProtocolCommand && s.in[80] == 0xF2) r = Data(legacy, 144);
    return r;
  };
  struct Case { const char16_t* name; std::vector<uint8_t> field; };
  const Case cases[] = {
      {u"QV1.2", Bytes({'Q', 'V', '1', '.', '2', 0, 0, 0})},
      {u"ABCDEFGHIJK", Bytes({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'})},
      {u"", Bytes({0, 0, 0, 0, 0, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    device->seen.clear();
    ASSERT_EQ(WriteVendorFwName(CMD_TYPE_NVME, handle, c.name), 1);
    ASSERT_EQ(device->seen.size(), 2u);
    EXPECT_EQ(device->seen[0].in[80], 0xF2);
    EXPECT_EQ(U32(device->seen[0].in, 128), 0u);
    const Seen& w = device->seen[1];
    EXPECT_EQ(w.in[80], 0xF1);
    EXPECT_EQ(U32(w.in, 32), 4096u);
    EXPECT_EQ(U32(w.in, 120), 0x400u);
    EXPECT_EQ(U32(w.in, 128), 0u);
    std::vector<uint8_t> want(4096, 0);
    std::memcpy(want.data(), legacy.data(), 144);
    std::memcpy(want.data() + 88, c.field.data(), 8);
    EXPECT_EQ(std::vector<uint8_t>(w.in.begin() + 144, w.in.end()), want);
  }

  // A failed read writes nothing.
  device->answer = nullptr;
  device->seen.clear();
  device->replies = {Fail(1117)};
  EXPECT_EQ(WriteVendorFwName(CMD_TYPE_NVME, handle, u"QV1.2"), -4);
  EXPECT_EQ(device->seen.size(), 1u);
  EXPECT_EQ(WriteVendorFwName(CMD_TYPE_NONE, handle, u"QV1.2"), -5);
}
