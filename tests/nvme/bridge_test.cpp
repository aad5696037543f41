// The bridge transports: the SCSI pass-through record, the ASMedia and JMicron phases and CDBs,
// CHECK CONDITION and failures, the ASMedia Identify shortcut, bridge detection by INQUIRY, the
// information reply and power control.
#include <gtest/gtest.h>

#include <cstring>

#include "nvme/bridge.h"
#include "nvme/firmware.h"
#include "tests/nvme/nvme_fixture.h"

using namespace nvmetest;

namespace {

std::vector<uint8_t> Cdb(std::initializer_list<int> leading, std::initializer_list<std::pair<int, int>> at = {}) {
  std::vector<uint8_t> cdb(16, 0);
  size_t i = 0;
  for (int v : leading) cdb[i++] = static_cast<uint8_t>(v);
  for (auto [index, v] : at) cdb[index] = static_cast<uint8_t>(v);
  return cdb;
}

// The 64-byte vendor read 0xE6/3 with the signature, as a bridge carries it.
const std::vector<uint8_t> kVendorRead = Bytes({
    0xE6, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x04, 0, 0, 0, 0, 0, 0,
    0x03, 0, 0, 0, 0, 0, 0, 0, 'A', 'N', 'E', 'X', 'T', 'O', 'R', 'V'});

std::u16string TraceLine(const char16_t* text) { return std::u16string(u"[TX]          [middle] ") + text; }

bool Has(const std::vector<std::u16string>& lines, const std::u16string& line) {
  for (const auto& l : lines)
    if (l == line) return true;
  return false;
}

}  // namespace

class Bridge : public NvmeTest {};

TEST_F(Bridge, PassThroughRecordOfThisBuildAsBytes) {
  std::vector<uint8_t> buffer(4096, 0);
  ASSERT_EQ(SendVendorCmd(CMD_TYPE_ASM, handle, NVME_DATA_READ, 0xE6, 3, 0, VENDOR_SIGNATURE_CDW14,
                          VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
            1);
  ASSERT_EQ(device->seen.size(), 3u);
  Seen first = device->seen[0];
  EXPECT_EQ(first.code, kScsiPassThroughDirect);
  ASSERT_EQ(first.in.size(), kScsiRequestBytes);
  EXPECT_EQ(first.outLength, kScsiRequestBytes);
  EXPECT_TRUE(first.inIsOut);
  std::vector<uint8_t> record = first.in;
  std::memset(record.data() + kDataBufferAt, 0, k64 ? 8 : 4);  // the address varies
  std::vector<uint8_t> expected;
  if (k64) {
    expected = Bytes({0x38, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x18,  // Length 56, CDB 16, sense 24
                      0x00, 0, 0, 0,  0x40, 0, 0, 0,  0x0A, 0, 0, 0,  0, 0, 0, 0,  // data out, 64 bytes, 10 s
                      0, 0, 0, 0, 0, 0, 0, 0,                             // DataBuffer
                      0x38, 0, 0, 0,                                      // sense at 56
                      0xEA, 0x5A, 0x80, 0x00, 0x01, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40, 0, 0,
                      0, 0, 0, 0});
  } else {
    expected = Bytes({0x2C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x18,  // Length 44
                      0x00, 0, 0, 0,  0x40, 0, 0, 0,  0x0A, 0, 0, 0,
                      0, 0, 0, 0,                                         // DataBuffer
                      0x30, 0, 0, 0,                                      // sense at 48
                      0xEA, 0x5A, 0x80, 0x00, 0x01, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40, 0, 0,
                      0, 0, 0, 0});
  }
  expected.resize(kScsiRequestBytes, 0);  // the sense area
  EXPECT_EQ(record, expected);
  EXPECT_NE(first.dataAddress, 0u);
}

TEST_F(Bridge, AsmediaReadInThreePhases) {
  std::vector<uint8_t> reply(4096);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 13 + 1);
  device->replies.push_back({});
  device->replies.push_back(Data(reply));
  device->replies.push_back(Data(Bytes({0xC1, 0xC2, 0xC3, 0xC4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
  std::vector<uint8_t> buffer(4096, 0);
  ASSERT_EQ(SendVendorCmd(CMD_TYPE_ASM, handle, NVME_DATA_READ, 0xE6, 3, 0, VENDOR_SIGNATURE_CDW14,
                          VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
            1);
  ASSERT_EQ(device->seen.size(), 3u);
  const Seen& p1 = device->seen[0];
  const Seen& p2 = device->seen[1];
  const Seen& p3 = device->seen[2];
  EXPECT_EQ(p1.Cdb(), Cdb({0xEA, 0x5A, 0x80, 0x00, 0x01}, {{13, 0x40}}));
  EXPECT_EQ(p1.dataIn, 0);
  EXPECT_EQ(p1.transferLength, 64u);
  EXPECT_EQ(p1.data, kVendorRead);
  EXPECT_EQ(p2.Cdb(), Cdb({0xEB, 0x5A, 0x81, 0x00, 0x01}, {{10, 0x00}, {11, 0x00}, {12, 0x10}, {13, 0x00}}));
  EXPECT_EQ(p2.dataIn, 1);
  EXPECT_EQ(p2.transferLength, 4096u);
  EXPECT_EQ(p2.dataAddress, reinterpret_cast<uintptr_t>(buffer.data()));
  EXPECT_EQ(p3.Cdb(), Cdb({0xEB, 0x5A, 0x82, 0x00, 0x01}, {{13, 0x10}}));
  EXPECT_EQ(p3.dataIn, 1);
  EXPECT_EQ(p3.transferLength, 16u);
  EXPECT_EQ(p3.dataAddress, p1.dataAddress) << "the completion comes back over the command";
  EXPECT_EQ(buffer, reply);
}

TEST_F(Bridge, AsmediaWriteAndCommitPhases) {
  std::vector<uint8_t> block(4096, 0x5C);
  ASSERT_EQ(SendVendorCmd(CMD_TYPE_ASM, handle, NVME_DATA_WRITE, 0xE5, 1, 0, VENDOR_SIGNATURE_CDW14,
                          VENDOR_SIGNATURE_CDW15, block.data(), 4096),
            1);
  ASSERT_EQ(device->seen.size(), 3u);
  EXPECT_EQ(device->seen[0].Cdb(), Cdb({0xEA, 0x5A, 0x80, 0x00, 0x02}, {{13, 0x40}}));
  EXPECT_EQ(device->seen[0].data[0], 0xE5);
  EXPECT_EQ(device->seen[1].Cdb(), Cdb({0xEA, 0x5A, 0x81, 0x00, 0x02}, {{12, 0x10}}));
  EXPECT_EQ(device->seen[1].dataIn, 0);
  EXPECT_EQ(device->seen[1].data, block);
  EXPECT_EQ(device->seen[2].Cdb(), Cdb({0xEB, 0x5A, 0x82, 0x00, 0x02}, {{13, 0x10}}));
  EXPECT_EQ(device->seen[2].dataIn, 1);

  device->seen.clear();
  ASSERT_EQ(FWCommit(CMD_TYPE_ASM, handle, 1, 1), 1);
  ASSERT_EQ(device->seen.size(), 3u);
  std::vector<uint8_t> commit(64, 0);
  commit[0] = 0x10;
  commit[40] = 0x09;
  EXPECT_EQ(device->seen[0].Cdb(), Cdb({0xEA, 0x5A, 0x80, 0x00, 0x00}, {{13, 0x40}}));
  EXPECT_EQ(device->seen[0].data, commit);
  EXPECT_EQ(device->seen[1].Cdb(), Cdb({0xEB, 0x5A, 0x81, 0x00, 0x00}));
  EXPECT_EQ(device->seen[1].dataIn, 2);
  EXPECT_EQ(device->seen[1].transferLength, 0u);
  EXPECT_EQ(device->seen[2].Cdb(), Cdb({0xEB, 0x5A, 0x82, 0x00, 0x00}, {{13, 0x10}}));
}

TEST_F(Bridge, JmicronReadWrapsTheCommandInABlock) {
  std::vector<uint8_t> reply(4096, 0x3D);
  device->replies.push_back({});
  device->replies.push_back(Data(reply));
  std::vector<uint8_t> buffer(4096, 0xAA);  // zeroed by the transport before the read
  ASSERT_EQ(SendVendorCmd(CMD_TYPE_JMI, handle, NVME_DATA_READ, 0xE6, 3, 0, VENDOR_SIGNATURE_CDW14,
                          VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
            1);
  ASSERT_EQ(device->seen.size(), 3u);
  const Seen& p1 = device->seen[0];
  EXPECT_EQ(p1.Cdb(), Cdb({0xA1, 0x80, 0x00, 0x00, 0x02, 0x00}));
  EXPECT_EQ(p1.dataIn, 0);
  ASSERT_EQ(p1.transferLength, 512u);
  std::vector<uint8_t> blockBytes = Bytes({'N', 'V', 'M', 'E', 0, 0, 0, 0});
  blockBytes.insert(blockBytes.end(), kVendorRead.begin(), kVendorRead.end());
  blockBytes.resize(512, 0);
  EXPECT_EQ(p1.data, blockBytes);
  const Seen& p2 = device->seen[1];
  EXPECT_EQ(p2.Cdb(), Cdb({0xA1, 0x82, 0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(p2.dataIn, 1);
  EXPECT_EQ(p2.transferLength, 4096u);
  EXPECT_EQ(p2.data, std::vector<uint8_t>(4096, 0));
  const Seen& p3 = device->seen[2];
  EXPECT_EQ(p3.Cdb(), Cdb({0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00}));
  EXPECT_EQ(p3.dataIn, 1);
  EXPECT_EQ(p3.transferLength, 512u);
  EXPECT_EQ(p3.data, std::vector<uint8_t>(512, 0));
  EXPECT_EQ(buffer, reply);
}

TEST_F(Bridge, JmicronWriteAndCommit) {
  std::vector<uint8_t> block(4096, 0x71);
  ASSERT_EQ(SendVendorCmd(CMD_TYPE_JMI, handle, NVME_DATA_WRITE, 0xF1, 0, 0, VENDOR_SIGNATURE_CDW14,
                          VENDOR_SIGNATURE_CDW15, block.data(), 4096),
            1);
  ASSERT_EQ(device->seen.size(), 3u);
  EXPECT_EQ(device->seen[1].Cdb(), Cdb({0xA1, 0x83, 0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(device->seen[1].dataIn, 0);
  EXPECT_EQ(device->seen[1].data, block);

  device->seen.clear();
  ASSERT_EQ(FWCommit(CMD_TYPE_JMI, handle, 1, 1), 1);
  ASSERT_EQ(device->seen.size(), 3u);
  std::vector<uint8_t> commitBlock(512, 0);
  std::memcpy(commitBlock.data(), "NVME", 4);
  commitBlock[8] = 0x10;
  commitBlock[8 + 40] = 0x09;
  EXPECT_EQ(device->seen[0].data, commitBlock);
  EXPECT_EQ(device->seen[1].Cdb(), Cdb({0xA1, 0x81, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(device->seen[1].dataIn, 2);
  EXPECT_EQ(device->seen[1].transferLength, 0u);
  EXPECT_EQ(device->seen[2].Cdb(), Cdb({0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00}));
}

TEST_F(Bridge, CheckConditionInAnyPhaseEndsTheCommand) {
  std::vector<uint8_t> buffer(4096, 0);
  for (int32_t type : {CMD_TYPE_ASM, CMD_TYPE_JMI}) {
    for (size_t phase = 1; phase <= 3; ++phase) {
      // With a status byte (Identify during discovery): status 2, result 1, nothing more sent.
      device->seen.clear();
      device->replies.assign(phase - 1, Reply{});
      device->replies.push_back(CheckCondition());
      uint8_t status = 0;
      NvmeCommand command = IdentifyCommand(1, 0);
      int result = type == CMD_TYPE_ASM
                       ? IO_USB_ASM_NvmeCmd(handle, NVME_DATA_READ, &command, buffer.data(), 4096, &status)
                       : IO_USB_JMI_NvmeCmd(handle, NVME_DATA_READ, &command, buffer.data(), 4096, &status);
      EXPECT_EQ(result, 1) << type << " phase " << phase;
      EXPECT_EQ(status, 2) << type << " phase " << phase;
      EXPECT_EQ(device->seen.size(), phase) << type;

      // Without one (vendor commands, download, commit): the device reported an error.
      device->seen.clear();
      device->replies.assign(phase - 1, Reply{});
      device->replies.push_back(CheckCondition());
      EXPECT_EQ(SendVendorCmd(type, handle, NVME_DATA_READ, 0xF2, 0, 0, VENDOR_SIGNATURE_CDW14,
                              VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
                NVME_RESULT_DEVICE_ERROR) << type << " phase " << phase;
      EXPECT_EQ(device->seen.size(), phase) << type;

      // Any other status than GOOD is an error even with a status byte (0x08: BUSY).
      device->seen.clear();
      device->replies.assign(phase - 1, Reply{});
      device->replies.push_back(Data({}, 0, 0x08));
      status = 0;
      command = IdentifyCommand(1, 0);
      result = type == CMD_TYPE_ASM
                   ? IO_USB_ASM_NvmeCmd(handle, NVME_DATA_READ, &command, buffer.data(), 4096, &status)
                   : IO_USB_JMI_NvmeCmd(handle, NVME_DATA_READ, &command, buffer.data(), 4096, &status);
      EXPECT_EQ(result, NVME_RESULT_DEVICE_ERROR) << type << " phase " << phase;
      EXPECT_EQ(status, 0);
      EXPECT_EQ(device->seen.size(), phase) << type;
    }
  }
  // The ASMedia Identify is one command: BUSY on it is an error.
  device->seen.clear();
  device->replies = {Data({}, 0, 0x08)};
  uint8_t status = 0;
  EXPECT_EQ(IdentifyCmd(CMD_TYPE_ASM, handle, 1, 0, buffer.data(), 4096, &status), NVME_RESULT_DEVICE_ERROR);
  EXPECT_EQ(status, 0);
}

TEST_F(Bridge, FailedPhasesEndTheCommand) {
  std::vector<uint8_t> buffer(4096, 0);
  for (int32_t type : {CMD_TYPE_ASM, CMD_TYPE_JMI}) {
    for (size_t phase = 1; phase <= 3; ++phase) {
      device->seen.clear();
      device->replies.assign(phase - 1, Reply{});
      device->replies.push_back(Fail(static_cast<uint32_t>(30 + phase)));
      uint8_t status = 0;
      NvmeCommand command = IdentifyCommand(0, 1);
      int result = type == CMD_TYPE_ASM
                       ? IO_USB_ASM_NvmeCmd(handle, NVME_DATA_READ, &command, buffer.data(), 4096, &status)
                       : IO_USB_JMI_NvmeCmd(handle, NVME_DATA_READ, &command, buffer.data(), 4096, &status);
      EXPECT_EQ(result, -4) << type << " phase " << phase;
      EXPECT_EQ(status, 0);
      EXPECT_EQ(device->seen.size(), phase);
      EXPECT_EQ(AppStateGet().lastSystemError, 30 + phase);
    }
  }
}

TEST_F(Bridge, TheCompletionEntryDecidesTheResult) {
  // What the completion phase brings back, written out by hand. The status field is bits 31:17 of
  // the entry's fourth dword; bit 16 is the phase tag. ASMedia returns the 16-byte entry itself,
  // JMicron a 512-byte block with "NVME" and the entry from byte 8.
  auto entry = [](std::initializer_list<int> dword3) {
    std::vector<uint8_t> e = Bytes({0x5A, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0});
    for (int b : dword3) e.push_back(static_cast<uint8_t>(b));
    return e;
  };
  auto jmicron = [](const std::vector<uint8_t>& e, const char* mark = "NVME") {
    std::vector<uint8_t> block(512, 0);
    std::memcpy(block.data(), mark, 4);
    std::copy(e.begin(), e.end(), block.begin() + 8);
    return block;
  };
  struct Row {
    const char* what;
    std::vector<uint8_t> entry;
    int result;
  };
  const Row rows[] = {
      {"phase tag only", entry({0x00, 0x00, 0x01, 0x00}), 1},
      {"Internal Error 0x0006", entry({0x00, 0x00, 0x0D, 0x00}), NVME_RESULT_DEVICE_ERROR},
      {"Invalid Field 0x0002, phase tag clear", entry({0x00, 0x00, 0x04, 0x00}), NVME_RESULT_DEVICE_ERROR},
      {"Invalid Firmware Image 0x0107", entry({0x00, 0x00, 0x0F, 0x02}), NVME_RESULT_DEVICE_ERROR},
      {"do not retry, no status code", entry({0x00, 0x00, 0x00, 0x80}), NVME_RESULT_DEVICE_ERROR},
      {"command identifier", entry({0x34, 0x12, 0x01, 0x00}), 1},
  };
  std::vector<uint8_t> buffer(4096, 0);
  for (const Row& row : rows) {
    device->replies = {{}, {}, Data(row.entry)};
    EXPECT_EQ(SendVendorCmd(CMD_TYPE_ASM, handle, NVME_DATA_READ, 0xE6, 1, 0, VENDOR_SIGNATURE_CDW14,
                            VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
              row.result) << "ASMedia " << row.what;
    device->replies = {{}, {}, Data(jmicron(row.entry))};
    EXPECT_EQ(SendVendorCmd(CMD_TYPE_JMI, handle, NVME_DATA_READ, 0xE6, 1, 0, VENDOR_SIGNATURE_CDW14,
                            VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
              row.result) << "JMicron " << row.what;
  }
  // A JMicron block without its mark carries no completion: an error however good the rest.
  device->replies = {{}, {}, Data(jmicron(entry({0x00, 0x00, 0x01, 0x00}), "NVMF"))};
  EXPECT_EQ(FWCommit(CMD_TYPE_JMI, handle, 1, 1), NVME_RESULT_DEVICE_ERROR);
  device->replies = {{}, {}, Data(std::vector<uint8_t>(512, 0))};
  EXPECT_EQ(FWCommit(CMD_TYPE_JMI, handle, 1, 1), NVME_RESULT_DEVICE_ERROR);
  // An Identify through a JMicron bridge gets the same examination.
  device->replies = {{}, {}, Data(jmicron(entry({0x00, 0x00, 0x0D, 0x00})))};
  uint8_t status = 0;
  EXPECT_EQ(IdentifyCmd(CMD_TYPE_JMI, handle, 1, 0, buffer.data(), 4096, &status), NVME_RESULT_DEVICE_ERROR);
  EXPECT_EQ(status, 0);
}

TEST_F(Bridge, AsmediaIdentifyIsOneCommand) {
  std::vector<uint8_t> reply(4096, 0x42);
  device->replies.push_back(Data(reply));
  std::vector<uint8_t> buffer(4096, 0);
  uint8_t status = 0;
  ASSERT_EQ(IdentifyCmd(CMD_TYPE_ASM, handle, 0, 1, buffer.data(), 4096, &status), 1);
  ASSERT_EQ(IdentifyCmd(CMD_TYPE_ASM, handle, 1, 0, buffer.data(), 4096, &status), 1);
  ASSERT_EQ(device->seen.size(), 2u);
  EXPECT_EQ(device->seen[0].Cdb(), Cdb({0xE6, 0x06, 0x00, 0x00, 0, 0, 0, 0x01}));
  EXPECT_EQ(device->seen[0].dataIn, 1);
  EXPECT_EQ(device->seen[0].transferLength, 4096u);
  EXPECT_EQ(device->seen[0].dataAddress, reinterpret_cast<uintptr_t>(buffer.data()));
  EXPECT_EQ(device->seen[1].Cdb(), Cdb({0xE6, 0x06, 0x00, 0x01, 0, 0, 0, 0x00}));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(buffer, reply);

  device->replies.push_back(CheckCondition());
  EXPECT_EQ(IdentifyCmd(CMD_TYPE_ASM, handle, 1, 0, buffer.data(), 4096, &status), 1);
  EXPECT_EQ(status, 2);
  device->replies.push_back(Fail(55));
  EXPECT_EQ(IdentifyCmd(CMD_TYPE_ASM, handle, 1, 0, buffer.data(), 4096, &status), -4);
  EXPECT_EQ(AppStateGet().lastSystemError, 55u);
}

TEST_F(Bridge, BridgeKindByInquiryBytes36And37) {
  auto inquiry = [](int b36, int b37) {
    std::vector<uint8_t> r(38, 0x20);
    r[36] = static_cast<uint8_t>(b36);
    r[37] = static_cast<uint8_t>(b37);
    return r;
  };
  device->replies = {Data(inquiry(0x60, 0x23))};
  EXPECT_EQ(IO_USB_GetBridgeType(handle), CMD_TYPE_ASM);
  ASSERT_EQ(device->seen.size(), 2u);
  EXPECT_EQ(device->seen[0].Cdb(), Cdb({0x12, 0x00, 0x00, 0x00, 0x26}));
  EXPECT_EQ(device->seen[0].dataIn, 1);
  EXPECT_EQ(device->seen[0].transferLength, 4096u);
  EXPECT_EQ(device->seen[0].data, std::vector<uint8_t>(4096, 0));
  EXPECT_EQ(device->seen[1].Cdb(), Cdb({0xEB, 0x5A, 0x02}, {{13, 0x10}}));
  EXPECT_EQ(device->seen[1].dataIn, 1);
  EXPECT_EQ(device->seen[1].transferLength, 16u);
  // Both replies come into page blocks, as an adapter that wants whole pages takes them.
  EXPECT_EQ(device->seen[0].dataAddress % 4096, 0u);
  EXPECT_EQ(device->seen[1].dataAddress % 4096, 0u);

  struct Case { Reply reply; int32_t kind; size_t requests; };
  const Case cases[] = {
      {Data(inquiry(0x60, 0x24)), CMD_TYPE_NONE, 1},
      {Data(inquiry(0x30, 0x35)), CMD_TYPE_JMI, 1},
      {Data(inquiry(0x30, 0x23)), CMD_TYPE_NONE, 1},
      {Data(inquiry(0x35, 0x30)), CMD_TYPE_NONE, 1},
      {Data(inquiry(0x60, 0x23), 0, 2), CMD_TYPE_NONE, 1},  // CHECK CONDITION
      {Fail(1117), CMD_TYPE_NONE, 1},
      {Data(Bytes({0x00, 0x00})), CMD_TYPE_NONE, 1},  // short reply
  };
  for (const Case& c : cases) {
    device->seen.clear();
    device->replies = {c.reply};
    EXPECT_EQ(IO_USB_GetBridgeType(handle), c.kind);
    EXPECT_EQ(device->seen.size(), c.requests);
  }
}

TEST_F(Bridge, InformationTextStaysWithinItsBuffers) {
  device->replies = {Data(Bytes({'A', 'S', 'M', '2', '3', '6', '2', ' ', 'F', 'W', ' ', '1', '.', '2', '.', '3'}))};
  char16_t text[ASM_INFO_CHARS];
  std::fill(std::begin(text), std::end(text), u'#');
  ASSERT_EQ(IO_USB_ASM_ReadInfo(handle, text, ASM_INFO_CHARS), 1);
  EXPECT_EQ(std::u16string(text), u"ASM2362 FW 1.2.3");

  char16_t small[8];
  device->replies = {Data(Bytes({'A', 'S', 'M', '2', '3', '6', '2', ' ', 'F', 'W', ' ', '1', '.', '2', '.', '3'}))};
  ASSERT_EQ(IO_USB_ASM_ReadInfo(handle, small, 8), 1);
  EXPECT_EQ(std::u16string(small), u"ASM2362");

  device->replies = {Data(Bytes({'J', 'S', 0, 'X'}))};
  ASSERT_EQ(IO_USB_ASM_ReadInfo(handle, text, ASM_INFO_CHARS), 1);
  EXPECT_EQ(std::u16string(text), u"JS");

  device->replies = {Fail(21)};
  EXPECT_EQ(IO_USB_ASM_ReadInfo(handle, text, ASM_INFO_CHARS), -4);
  EXPECT_EQ(AppStateGet().lastSystemError, 21u);
}

TEST_F(Bridge, PowerControlRequestsAndTraceLines) {
  ASSERT_EQ(IO_USB_ASM_PowerCtrl(handle, 1), 1);
  ASSERT_EQ(device->seen.size(), 1u);
  EXPECT_EQ(device->seen[0].Cdb(), Cdb({0xEA, 0x5A, 0x01}));
  EXPECT_EQ(device->seen[0].dataIn, 0);
  EXPECT_EQ(device->seen[0].transferLength, 0u);
  EXPECT_EQ(device->seen[0].dataAddress, 0u);
  EXPECT_TRUE(Has(system.lines, TraceLine(u"IO_USB_ASM_PowerCtrl IN 1")));
  EXPECT_TRUE(Has(system.lines, TraceLine(u"IO_USB_ASM_PowerCtrl Success OUT ")));

  device->seen.clear();
  system.lines.clear();
  ASSERT_EQ(IO_USB_JMI_PowerCtrl(handle, 5), 1);
  ASSERT_EQ(device->seen.size(), 3u);
  std::vector<uint8_t> block(512, 0);
  std::memcpy(block.data(), "NVME", 4);
  block[72] = 5;
  EXPECT_EQ(device->seen[0].Cdb(), Cdb({0xA1, 0x80, 0x00, 0x00, 0x02, 0x00}));
  EXPECT_EQ(device->seen[0].dataIn, 0);
  EXPECT_EQ(device->seen[0].data, block);
  EXPECT_EQ(device->seen[1].Cdb(), Cdb({0xA1, 0x81, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(device->seen[1].dataIn, 1);
  EXPECT_EQ(device->seen[1].transferLength, 0u);
  EXPECT_EQ(device->seen[1].dataAddress, device->seen[0].dataAddress);
  EXPECT_EQ(device->seen[2].Cdb(), Cdb({0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00}));
  EXPECT_EQ(device->seen[2].dataIn, 1);
  EXPECT_EQ(device->seen[2].data, std::vector<uint8_t>(512, 0));
  EXPECT_TRUE(Has(system.lines, TraceLine(u"IO_USB_JMI_PowerCtrl IN 5")));
  EXPECT_TRUE(Has(system.lines, TraceLine(u"IO_USB_JMI_PowerCtrl Success OUT")));

  // A failed second phase ends it; a failed third does not.
  device->seen.clear();
  system.lines.clear();
  device->replies = {{}, Fail(1167)};
  EXPECT_EQ(IO_USB_JMI_PowerCtrl(handle, 5), -4);
  EXPECT_EQ(device->seen.size(), 2u);
  EXPECT_EQ(AppStateGet().lastSystemError, 1167u);
  EXPECT_FALSE(Has(system.lines, TraceLine(u"IO_USB_JMI_PowerCtrl Success OUT")));
  device->replies = {{}, {}, Fail(1167)};
  EXPECT_EQ(IO_USB_JMI_PowerCtrl(handle, 5), 1);
  device->replies = {Fail(1167)};
  EXPECT_EQ(IO_USB_ASM_PowerCtrl(handle, 1), -4);
}
