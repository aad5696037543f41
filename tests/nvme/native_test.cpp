// The native path: the command record, the STORAGE_PROTOCOL_COMMAND request of a vendor command,
// the protocol-specific Identify query and its retry through the device property, failures, and
// request buffers that cannot be had.
#include <gtest/gtest.h>

#include <cstring>

#include "nvme/bridge.h"
#include "nvme/nvme_command.h"
#include "tests/nvme/nvme_fixture.h"

using namespace nvmetest;

namespace {

// The request of a 4096-byte vendor read 0xE6/3 with the signature, bytes 0-143, from the tables.
const std::vector<uint8_t> kVendorReadHeader = Bytes({
    0x01, 0, 0, 0,  0x54, 0, 0, 0,  0x03, 0, 0, 0,  0, 0, 0, 0x80,  // Version, Length 84, NVMe, adapter request
    0, 0, 0, 0,     0, 0, 0, 0,     0x40, 0, 0, 0,  0, 0, 0, 0,     // ReturnStatus, ErrorCode, CommandLength 64, ErrorInfoLength
    0, 0, 0, 0,     0, 0x10, 0, 0,  0x0A, 0, 0, 0,  0, 0, 0, 0,     // to device 0, from device 4096, 10 s, ErrorInfoOffset
    0x90, 0, 0, 0,  0x90, 0, 0, 0,  0x01, 0, 0, 0,  0, 0, 0, 0,     // buffer offsets 144 and 144, admin command, Reserved0
    0, 0, 0, 0,     0, 0, 0, 0,     0, 0, 0, 0,     0, 0, 0, 0,     // FixedProtocolReturnData, Reserved1
    0xE6, 0, 0, 0,  0xFF, 0xFF, 0xFF, 0xFF,                         // command: opcode, NSID
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,                // CDW2-CDW5
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,                // CDW6-CDW9
    0x00, 0x04, 0, 0,  0, 0, 0, 0,  0x03, 0, 0, 0,  0, 0, 0, 0,     // CDW10 1024, CDW11, CDW12 3, CDW13
    'A', 'N', 'E', 'X',  'T', 'O', 'R', 'V',                        // CDW14, CDW15
});

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

}  // namespace

TEST(NvmeCommandRecord, VendorFramingAndIdentifyAsBytes) {
  NvmeCommand c = VendorCommand(0xF2, 4096, 0, 0, VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15);
  uint8_t bytes[64];
  std::memcpy(bytes, &c, 64);
  const auto expected = Bytes({
      0xF2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x04, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 'A', 'N', 'E', 'X', 'T', 'O', 'R', 'V'});
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 64), expected);

  NvmeCommand id = IdentifyCommand(1, 0);
  std::memcpy(bytes, &id, 64);
  std::vector<uint8_t> want(64, 0);
  want[0] = 0x06;
  want[40] = 0x01;
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 64), want);
  id = IdentifyCommand(0, 1);
  std::memcpy(bytes, &id, 64);
  want[4] = 0x01;
  want[40] = 0x00;
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 64), want);
}

TEST_F(NvmeTest, VendorReadCarriesTheTableHeaderAndCopiesTheReplyBack) {
  const auto reply = Pattern(4096, 3);
  device->replies.push_back(Data(reply, 144));
  std::vector<uint8_t> buffer(4096, 0);
  ASSERT_EQ(SendVendorCmd(CMD_TYPE_NVME, handle, NVME_DATA_READ, 0xE6, 3, 0,
                          VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
            1);
  ASSERT_EQ(device->seen.size(), 1u);
  const Seen& s = device->seen[0];
  EXPECT_EQ(s.code, kProtocolCommand);
  ASSERT_EQ(s.in.size(), 144u + 4096u);
  EXPECT_EQ(s.outLength, 144u + 4096u);
  EXPECT_TRUE(s.inIsOut);
#ifdef _WIN32
  EXPECT_EQ(s.inAddress % 4096, 0u) << "request buffers are page blocks";
#endif
  EXPECT_EQ(std::vector<uint8_t>(s.in.begin(), s.in.begin() + 144), kVendorReadHeader);
  EXPECT_EQ(std::vector<uint8_t>(s.in.begin() + 144, s.in.end()), std::vector<uint8_t>(4096, 0));
  EXPECT_EQ(buffer, reply);
  EXPECT_EQ(system.allocated, system.freed);
}

TEST_F(NvmeTest, VendorWriteAndNoDataRequests) {
  const auto block = Pattern(4096, 9);
  std::vector<uint8_t> buffer = block;
  ASSERT_EQ(IO_NVMe_PassThrough(handle, NVME_DATA_WRITE, 0xE5, 1, 0, VENDOR_SIGNATURE_CDW14,
                                VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
            1);
  // No data phase: 144 bytes, both transfer lengths 0.
  ASSERT_EQ(IO_NVMe_PassThrough(handle, NVME_DATA_NONE, 0xE6, 0, 0, 0, 0, nullptr, 0), 1);
  ASSERT_EQ(device->seen.size(), 2u);
  const Seen& w = device->seen[0];
  ASSERT_EQ(w.in.size(), 4240u);
  EXPECT_EQ(U32(w.in, 32), 4096u);  // to device
  EXPECT_EQ(U32(w.in, 36), 0u);     // from device
  EXPECT_EQ(w.in[80], 0xE5);
  EXPECT_EQ(U32(w.in, 120), 0x400u);
  EXPECT_EQ(U32(w.in, 128), 1u);
  EXPECT_EQ(std::vector<uint8_t>(w.in.begin() + 144, w.in.end()), block);
  const Seen& n = device->seen[1];
  ASSERT_EQ(n.in.size(), 144u);
  EXPECT_EQ(n.outLength, 144u);
  EXPECT_EQ(U32(n.in, 32), 0u);
  EXPECT_EQ(U32(n.in, 36), 0u);
  EXPECT_EQ(U32(n.in, 48), 144u);
  EXPECT_EQ(system.allocated, system.freed);
}

TEST_F(NvmeTest, FailedRequestRecordsTheErrorAndLeavesTheBufferAlone) {
  device->replies.push_back(Fail(1117));
  std::vector<uint8_t> buffer(4096, 0);
  EXPECT_EQ(SendVendorCmd(CMD_TYPE_NVME, handle, NVME_DATA_READ, 0xF2, 0, 0, VENDOR_SIGNATURE_CDW14,
                          VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
            -4);
  EXPECT_EQ(AppStateGet().lastSystemError, 1117u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(4096, 0));
  EXPECT_EQ(system.allocated, 1);
  EXPECT_EQ(system.freed, 1);
}

TEST_F(NvmeTest, RecordThatDoesNotReportSuccessIsADeviceError) {
  // The request is carried; the record returned tells how the drive completed the command:
  // ReturnStatus at byte 16 (1 success, 2 error, 0 pending) and ErrorCode at byte 20. The reply
  // data at 144 is there in every row, and reaches the caller only on success.
  struct Row {
    const char* what;
    std::vector<uint8_t> status;
    int result;
  };
  const Row rows[] = {
      {"error, Internal Error", Bytes({0x02, 0, 0, 0, 0x06, 0, 0, 0}), NVME_RESULT_DEVICE_ERROR},
      {"error, Invalid Field", Bytes({0x02, 0, 0, 0, 0x02, 0, 0, 0}), NVME_RESULT_DEVICE_ERROR},
      {"error, Invalid Firmware Image", Bytes({0x02, 0, 0, 0, 0x07, 0x01, 0, 0}), NVME_RESULT_DEVICE_ERROR},
      {"success with an error code", Bytes({0x01, 0, 0, 0, 0x06, 0, 0, 0}), NVME_RESULT_DEVICE_ERROR},
      {"still pending", Bytes({0x00, 0, 0, 0, 0x00, 0, 0, 0}), NVME_RESULT_DEVICE_ERROR},
      {"success", Bytes({0x01, 0, 0, 0, 0x00, 0, 0, 0}), 1},
  };
  const auto data = Pattern(4096, 11);
  for (const Row& row : rows) {
    std::vector<uint8_t> reply = row.status;
    reply.resize(144 - 16, 0);
    reply.insert(reply.end(), data.begin(), data.end());
    device->replies.push_back(Data(reply, 16));
    AppStateGet().lastSystemError = 0;
    std::vector<uint8_t> buffer(4096, 0);
    EXPECT_EQ(SendVendorCmd(CMD_TYPE_NVME, handle, NVME_DATA_READ, 0xE6, 1, 0, VENDOR_SIGNATURE_CDW14,
                            VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
              row.result) << row.what;
    EXPECT_EQ(buffer, row.result == 1 ? data : std::vector<uint8_t>(4096, 0)) << row.what;
    EXPECT_EQ(AppStateGet().lastSystemError, 0u) << row.what;
    EXPECT_EQ(system.allocated, system.freed) << row.what;
  }
  // A write the drive refused is reported the same way.
  device->replies.push_back(Data(Bytes({0x02, 0, 0, 0, 0x02, 0, 0, 0}), 16));
  std::vector<uint8_t> block(4096, 0x43);
  EXPECT_EQ(IO_NVMe_PassThrough(handle, NVME_DATA_WRITE, 0xE5, 1, 0, VENDOR_SIGNATURE_CDW14,
                                VENDOR_SIGNATURE_CDW15, block.data(), 4096),
            NVME_RESULT_DEVICE_ERROR);
}

TEST_F(NvmeTest, IdentifyGoesAsAProtocolSpecificQuery) {
  const auto reply = Pattern(4096, 1);
  device->replies.push_back(Data(reply, 48));
  std::vector<uint8_t> buffer(4096, 0);
  uint8_t status = 0x77;
  ASSERT_EQ(IdentifyCmd(CMD_TYPE_NVME, handle, 1, 0, buffer.data(), 4096, &status), 1);
  EXPECT_EQ(status, 0x77) << "the native path never touches the status byte";
  ASSERT_EQ(device->seen.size(), 1u);
  const Seen& s = device->seen[0];
  EXPECT_EQ(s.code, kQueryProperty);
  ASSERT_EQ(s.in.size(), 48u + 4096u);
  EXPECT_EQ(s.outLength, 48u + 4096u);
  EXPECT_TRUE(s.inIsOut);
  EXPECT_EQ(std::vector<uint8_t>(s.in.begin(), s.in.begin() + 48),
            Bytes({0x31, 0, 0, 0,  0, 0, 0, 0,        // StorageAdapterProtocolSpecificProperty, standard query
                   0x03, 0, 0, 0,  0x01, 0, 0, 0,     // NVMe, Identify
                   0x01, 0, 0, 0,  0x00, 0, 0, 0,     // CNS 1, NSID 0
                   0x28, 0, 0, 0,  0x00, 0x10, 0, 0,  // data at 40 from byte 8, 4096 bytes
                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(buffer, reply);
  EXPECT_EQ(system.allocated, system.freed);
}

TEST_F(NvmeTest, NamespaceIdentifyRefusedByTheAdapterPropertyAsksTheDeviceProperty) {
  const auto reply = Pattern(4096, 5);
  device->replies.push_back(Fail(50));
  device->replies.push_back(Data(reply, 48));
  std::vector<uint8_t> buffer(4096, 0);
  ASSERT_EQ(IdentifyCmd(CMD_TYPE_NVME, handle, 0, 1, buffer.data(), 4096, nullptr), 1);
  ASSERT_EQ(device->seen.size(), 2u);
  const auto first = Bytes({0x31, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0x01, 0, 0, 0,
                            0x00, 0, 0, 0, 0x01, 0, 0, 0, 0x28, 0, 0, 0, 0x00, 0x10, 0, 0});
  auto second = first;
  second[0] = 0x32;  // StorageDeviceProtocolSpecificProperty
  EXPECT_EQ(std::vector<uint8_t>(device->seen[0].in.begin(), device->seen[0].in.begin() + 32), first);
  EXPECT_EQ(std::vector<uint8_t>(device->seen[1].in.begin(), device->seen[1].in.begin() + 32), second);
  EXPECT_EQ(buffer, reply);
  EXPECT_EQ(system.allocated, system.freed);

  // Refused both ways: -4 with the last error, buffer untouched.
  device->seen.clear();
  device->replies.push_back(Fail(50));
  device->replies.push_back(Fail(87));
  std::vector<uint8_t> zero(4096, 0);
  EXPECT_EQ(IdentifyCmd(CMD_TYPE_NVME, handle, 0, 1, zero.data(), 4096, nullptr), -4);
  EXPECT_EQ(device->seen.size(), 2u);
  EXPECT_EQ(AppStateGet().lastSystemError, 87u);
  EXPECT_EQ(zero, std::vector<uint8_t>(4096, 0));

  // A controller Identify (NSID 0) is asked once only.
  device->seen.clear();
  device->replies.push_back(Fail(50));
  EXPECT_EQ(IdentifyCmd(CMD_TYPE_NVME, handle, 1, 0, zero.data(), 4096, nullptr), -4);
  EXPECT_EQ(device->seen.size(), 1u);
  EXPECT_EQ(AppStateGet().lastSystemError, 50u);
  EXPECT_EQ(system.allocated, system.freed);
}

TEST_F(NvmeTest, RequestBufferThatCannotBeHadFailsWithoutARequest) {
  system.refuse = true;
  std::vector<uint8_t> buffer(4096, 0);
  EXPECT_EQ(SendVendorCmd(CMD_TYPE_NVME, handle, NVME_DATA_READ, 0xE6, 3, 0,
                          VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
            -4);
  EXPECT_EQ(AppStateGet().lastSystemError, 8u);
  AppStateGet().lastSystemError = 0;
  EXPECT_EQ(IdentifyCmd(CMD_TYPE_NVME, handle, 0, 1, buffer.data(), 4096, nullptr), -4);
  EXPECT_EQ(AppStateGet().lastSystemError, 8u);
  EXPECT_TRUE(device->seen.empty());
  EXPECT_EQ(buffer, std::vector<uint8_t>(4096, 0));
}

TEST_F(NvmeTest, UnknownCommandTypeSendsNothing) {
  std::vector<uint8_t> buffer(4096, 0);
  uint8_t status = 0;
  for (int32_t type : {255, 3, -1}) {
    EXPECT_EQ(SendVendorCmd(type, handle, NVME_DATA_READ, 0xE6, 3, 0, VENDOR_SIGNATURE_CDW14,
                            VENDOR_SIGNATURE_CDW15, buffer.data(), 4096),
              -5);
    EXPECT_EQ(IdentifyCmd(type, handle, 1, 0, buffer.data(), 4096, &status), -5);
  }
  EXPECT_TRUE(device->seen.empty());
  EXPECT_EQ(status, 0);
}
