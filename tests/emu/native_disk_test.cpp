// The native disk: storage driver requests built here byte by byte, as the tables lay them out,
// and read back at the offsets where a driver puts its replies.
#include <gtest/gtest.h>

#include <random>

#include "emu/drive.h"
#include "tests/emu/emu_bytes.h"

using namespace emutest;

namespace {

constexpr uint32_t QUERY_PROPERTY = 0x002D1400;
constexpr uint32_t DEVICE_NUMBER = 0x002D1080;
constexpr uint32_t PROTOCOL_COMMAND = 0x002DD3C0;
constexpr uint32_t FW_DOWNLOAD = 0x002DDC04;
constexpr uint32_t FW_ACTIVATE = 0x002DDC08;
constexpr uint32_t FW_GET_INFO = 0x002D1C00;
const std::u16string kDisk = u"\\\\.\\PhysicalDrive1";

emu::DriveDescription Native() {
  emu::DriveDescription s;
  s.diskNumber = 1;
  s.identity.serial = "S1";
  s.firmware.name = "QV1A0B12";
  return s;
}

// STORAGE_PROTOCOL_COMMAND with the command at 80 and the data at 144.
std::vector<uint8_t> ProtocolCommand(const std::vector<uint8_t>& command, uint32_t toDevice, uint32_t fromDevice) {
  std::vector<uint8_t> b(144 + toDevice + fromDevice, 0);
  Put32(b, 0, 1);            // Version
  Put32(b, 4, 84);           // Length
  Put32(b, 8, 3);            // ProtocolTypeNvme
  Put32(b, 12, 0x80000000);  // adapter request
  Put32(b, 24, 64);          // CommandLength
  Put32(b, 32, toDevice);
  Put32(b, 36, fromDevice);
  Put32(b, 40, 10);
  Put32(b, 48, 144);
  Put32(b, 52, 144);
  Put32(b, 56, 1);  // admin command
  std::copy(command.begin(), command.end(), b.begin() + 80);
  return b;
}

// STORAGE_PROPERTY_QUERY for Identify with STORAGE_PROTOCOL_SPECIFIC_DATA, room for 4096 bytes.
std::vector<uint8_t> IdentifyQuery(uint32_t property, uint32_t cns, uint32_t nsid) {
  std::vector<uint8_t> b(48 + 4096, 0);
  Put32(b, 0, property);
  Put32(b, 8, 3);   // ProtocolTypeNvme
  Put32(b, 12, 1);  // NVMeDataTypeIdentify
  Put32(b, 16, cns);
  Put32(b, 20, nsid);
  Put32(b, 24, 40);  // ProtocolDataOffset, from byte 8
  Put32(b, 28, 4096);
  return b;
}

class NativeDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    bench.Capture().Keep(true);
    disk = emu::MakeDrive(bench, description);
  }
  emu::DriveDescription description = Native();
  emu::Bench bench;
  std::shared_ptr<emu::EmuDisk> disk;
};

}  // namespace

TEST_F(NativeDisk, DescriptorAndDeviceNumberAsTheStorageStackGivesThem) {
  std::vector<uint8_t> query(12, 0), out(40, 0);
  Reply r = Send(bench, kDisk, QUERY_PROPERTY, query, out);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.returned, 40u);
  EXPECT_EQ(Get32(out, 0), 40u);  // Version: sizeof(STORAGE_DEVICE_DESCRIPTOR)
  EXPECT_GT(Get32(out, 4), 40u);  // Size: with the texts after it
  EXPECT_EQ(Get32(out, 28), 0x11u);  // BusTypeNvme

  std::vector<uint8_t> whole(512, 0);
  ASSERT_TRUE(Send(bench, kDisk, QUERY_PROPERTY, query, whole).ok);
  EXPECT_STREQ(reinterpret_cast<const char*>(whole.data() + Get32(whole, 24)), "S1");

  std::vector<uint8_t> none, number(12, 0xFF);
  r = Send(bench, kDisk, DEVICE_NUMBER, none, number);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(number, Bytes({7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));  // FILE_DEVICE_DISK, disk 1, partition 0
  std::vector<uint8_t> shortOut(8, 0);
  r = Send(bench, kDisk, DEVICE_NUMBER, none, shortOut);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, 122u);

  // A SATA disk says so and answers no NVMe request.
  emu::DriveDescription sata = Native();
  sata.diskNumber = 4;
  sata.busType = emu::BUS_TYPE_SATA;
  emu::MakeDrive(bench, sata);
  ASSERT_TRUE(Send(bench, u"\\\\.\\PhysicalDrive4", QUERY_PROPERTY, query, out).ok);
  EXPECT_EQ(Get32(out, 28), 0x0Bu);
  std::vector<uint8_t> identify = IdentifyQuery(49, 1, 0);
  EXPECT_FALSE(SendInPlace(bench, u"\\\\.\\PhysicalDrive4", QUERY_PROPERTY, identify).ok);
}

TEST_F(NativeDisk, ProtocolCommandCarriesAVendorReadAndItsReply) {
  std::vector<uint8_t> b = ProtocolCommand(Vendor(0xE6, 3), 0, 4096);
  Reply r = SendInPlace(bench, kDisk, PROTOCOL_COMMAND, b);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.returned, 144u + 4096u);
  EXPECT_EQ(Get32(b, 16), 1u);  // ReturnStatus: STORAGE_PROTOCOL_STATUS_SUCCESS
  EXPECT_EQ(Get32(b, 20), 0u);  // ErrorCode
  EXPECT_EQ(b[144], 0x5A);
  EXPECT_EQ(Text(b, 144 + 32, 8), "3.2.F.2A");
  // The capture shows the request as it came, and the reply.
  std::vector<std::string> lines = bench.Capture().Lines();
  bool seen = false;
  for (const std::string& line : lines)
    if (line.find("0x002DD3C0 in=01000000540000000300000000000080") != std::string::npos &&
        line.find(" out=") != std::string::npos && line.find(" ok=1") != std::string::npos)
      seen = true;
  EXPECT_TRUE(seen);
}

TEST_F(NativeDisk, ProtocolCommandErrorCompletionShowsInReturnStatus) {
  // A vendor read without the signature: carried, but completed with Invalid Field in Command.
  std::vector<uint8_t> b = ProtocolCommand(Command(0xE6, 0xFFFFFFFF, 1024, 0, 3), 0, 4096);
  Reply r = SendInPlace(bench, kDisk, PROTOCOL_COMMAND, b);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Get32(b, 16), 2u);  // STORAGE_PROTOCOL_STATUS_ERROR
  EXPECT_EQ(Get32(b, 20), 0x0002u);
  EXPECT_EQ(std::vector<uint8_t>(4096, 0), std::vector<uint8_t>(b.begin() + 144, b.end()));
}

TEST_F(NativeDisk, ProtocolCommandHeadersTheDriverRefuses) {
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
  };
  std::vector<Case> cases = {{"version 2", 0, 2},           {"length 80", 4, 80},
                             {"SCSI protocol", 8, 2},       {"command length 16", 24, 16},
                             {"reply past the buffer", 36, 8192}, {"reply over the command", 52, 100},
                             {"both directions", 32, 16},   {"error info past the buffer", 28, 4096},
                             {"unknown command kind", 56, 7}};
  for (const Case& k : cases) {
    std::vector<uint8_t> b = ProtocolCommand(Vendor(0xE6, 3), 0, 4096);
    Put32(b, k.at, k.value);
    if (std::string(k.what) == "error info past the buffer") Put32(b, 44, 1000);
    Reply r = SendInPlace(bench, kDisk, PROTOCOL_COMMAND, b);
    EXPECT_FALSE(r.ok) << k.what;
    EXPECT_EQ(r.error, 87u) << k.what;
  }
  // Firmware commands go through the firmware requests, never through pass-through.
  std::vector<uint8_t> commit = ProtocolCommand(Command(0x10, 0, 0x09), 0, 0);
  EXPECT_FALSE(SendInPlace(bench, kDisk, PROTOCOL_COMMAND, commit).ok);
  // A buffer too short for the command itself.
  std::vector<uint8_t> shortBuffer(100, 0);
  Put32(shortBuffer, 0, 1), Put32(shortBuffer, 4, 84), Put32(shortBuffer, 8, 3), Put32(shortBuffer, 24, 64);
  EXPECT_FALSE(SendInPlace(bench, kDisk, PROTOCOL_COMMAND, shortBuffer).ok);
}

TEST_F(NativeDisk, IdentifyThroughTheProtocolSpecificQuery) {
  std::vector<uint8_t> b = IdentifyQuery(49, 1, 0);
  Reply r = SendInPlace(bench, kDisk, QUERY_PROPERTY, b);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.returned, 48u + 4096u);
  EXPECT_EQ(Get32(b, 0), 48u);  // STORAGE_PROTOCOL_DATA_DESCRIPTOR Version
  EXPECT_EQ(Get32(b, 4), 48u);  // Size
  EXPECT_EQ(Get32(b, 8 + 16), 40u);
  EXPECT_EQ(Get32(b, 8 + 20), 4096u);
  EXPECT_EQ(Text(b, 48 + 4, 2), "S1");
  EXPECT_EQ(Text(b, 48 + 64, 8), "QV1A0B12");

  std::vector<uint8_t> ns = IdentifyQuery(50, 0, 1);
  ASSERT_TRUE(SendInPlace(bench, kDisk, QUERY_PROPERTY, ns).ok);
  EXPECT_EQ(ns[48 + 130], 9);  // LBADS of format 0

  // A namespace that does not exist fails the request; a data offset inside the protocol
  // data, or a reply that does not fit the output, is refused.
  std::vector<uint8_t> missing = IdentifyQuery(49, 0, 5);
  EXPECT_FALSE(SendInPlace(bench, kDisk, QUERY_PROPERTY, missing).ok);
  std::vector<uint8_t> inside = IdentifyQuery(49, 1, 0);
  Put32(inside, 24, 20);
  EXPECT_FALSE(SendInPlace(bench, kDisk, QUERY_PROPERTY, inside).ok);
  std::vector<uint8_t> query = IdentifyQuery(49, 1, 0), small(48 + 100, 0);
  Reply shortReply = Send(bench, kDisk, QUERY_PROPERTY, query, small);
  EXPECT_FALSE(shortReply.ok);
  EXPECT_EQ(shortReply.error, 87u);
  // ProtocolDataLength must be at least 512.
  std::vector<uint8_t> under = IdentifyQuery(49, 1, 0);
  Put32(under, 28, 511);
  Reply refused = SendInPlace(bench, kDisk, QUERY_PROPERTY, under);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.error, 87u);
  std::vector<uint8_t> least = IdentifyQuery(49, 1, 0);
  Put32(least, 28, 512);
  ASSERT_TRUE(SendInPlace(bench, kDisk, QUERY_PROPERTY, least).ok);
  EXPECT_EQ(Text(least, 48 + 4, 2), "S1");
}

TEST(NativeDiskFaults, AdapterPropertyRefusedForNamespaceData) {
  emu::Bench bench;
  emu::DriveDescription s = Native();
  s.behaviour.refuseAdapterPropertyForNamespace = true;
  emu::MakeDrive(bench, s);
  std::vector<uint8_t> controller = IdentifyQuery(49, 1, 0);
  EXPECT_TRUE(SendInPlace(bench, kDisk, QUERY_PROPERTY, controller).ok);
  std::vector<uint8_t> adapter = IdentifyQuery(49, 0, 1);
  EXPECT_FALSE(SendInPlace(bench, kDisk, QUERY_PROPERTY, adapter).ok);
  std::vector<uint8_t> device = IdentifyQuery(50, 0, 1);
  EXPECT_TRUE(SendInPlace(bench, kDisk, QUERY_PROPERTY, device).ok);
  EXPECT_EQ(device[48 + 130], 9);
}

TEST_F(NativeDisk, FirmwareDownloadAndActivateRecordsThenAReset) {
  std::vector<uint8_t> config(4096, 0);
  std::memcpy(config.data() + 1064, "QV1A0C01", 8);
  std::vector<uint8_t> image = CmfgImage(5, config);
  for (size_t sent = 0; sent < image.size(); sent += 4096) {
    // STORAGE_HW_FIRMWARE_DOWNLOAD: Version 40, Size chunk + 40, Flags controller, Slot 1, Offset,
    // BufferSize, the bytes at 32.
    std::vector<uint8_t> b(4096 + 40, 0);
    Put32(b, 0, 40);
    Put32(b, 4, 4096 + 40);
    Put32(b, 8, 1);
    b[12] = 1;
    Put64(b, 16, sent);
    Put64(b, 24, 4096);
    std::copy(image.begin() + static_cast<ptrdiff_t>(sent), image.begin() + static_cast<ptrdiff_t>(sent + 4096),
              b.begin() + 32);
    std::vector<uint8_t> none;
    ASSERT_TRUE(Send(bench, kDisk, FW_DOWNLOAD, b, none).ok) << sent;
  }
  std::vector<uint8_t> activate = Bytes({16, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}), none;
  ASSERT_TRUE(Send(bench, kDisk, FW_ACTIVATE, activate, none).ok);
  EXPECT_TRUE(disk->Controller().ActivationPending());
  EXPECT_EQ(disk->Controller().SlotImage(), image);
  EXPECT_EQ(disk->Controller().FirmwareName(), "QV1A0B12");
  disk->ResetController();
  EXPECT_EQ(disk->Controller().FirmwareName(), "QV1A0C01");
  std::vector<uint8_t> id = IdentifyQuery(49, 1, 0);
  ASSERT_TRUE(SendInPlace(bench, kDisk, QUERY_PROPERTY, id).ok);
  EXPECT_EQ(Text(id, 48 + 64, 8), "QV1A0C01");

  // A second download of the same first piece overlaps nothing after the reset; a piece that
  // overlaps within one download fails the request.
  std::vector<uint8_t> piece(4096 + 40, 0);
  Put32(piece, 0, 40), Put32(piece, 4, 4096 + 40), Put32(piece, 8, 1), Put64(piece, 24, 4096);
  EXPECT_TRUE(Send(bench, kDisk, FW_DOWNLOAD, piece, none).ok);
  Reply overlap = Send(bench, kDisk, FW_DOWNLOAD, piece, none);
  EXPECT_FALSE(overlap.ok);
  // Records that lie about their sizes.
  std::vector<uint8_t> liar = piece;
  Put32(liar, 4, 8192);  // Size beyond the input
  EXPECT_FALSE(Send(bench, kDisk, FW_DOWNLOAD, liar, none).ok);
  liar = piece;
  Put64(liar, 24, 8192);  // BufferSize beyond Size
  EXPECT_FALSE(Send(bench, kDisk, FW_DOWNLOAD, liar, none).ok);
  liar = piece;
  Put32(liar, 0, 48);
  EXPECT_FALSE(Send(bench, kDisk, FW_DOWNLOAD, liar, none).ok);
  // Pieces off the drive's ImagePayloadAlignment (4096) or over its ImagePayloadMaxSize.
  struct Off {
    const char* what;
    uint64_t offset, size;
    uint32_t maxSize;
  };
  for (const Off& k : {Off{"offset 2048", 2048 + 8192, 4096, 128 * 1024}, Off{"size 2048", 8192, 2048, 128 * 1024},
                       Off{"size 4100", 8192, 4100, 128 * 1024}, Off{"8192 over a maximum of 4096", 8192, 8192, 4096}}) {
    emu::Bench strictBench;
    emu::DriveDescription s = Native();
    s.behaviour.firmwarePayloadMaxSize = k.maxSize;
    emu::MakeDrive(strictBench, s);
    std::vector<uint8_t> b(40 + k.size, 0);
    Put32(b, 0, 40), Put32(b, 4, static_cast<uint32_t>(40 + k.size)), Put32(b, 8, 1), b[12] = 1;
    Put64(b, 16, k.offset), Put64(b, 24, k.size);
    Reply r = Send(strictBench, kDisk, FW_DOWNLOAD, b, none);
    EXPECT_FALSE(r.ok) << k.what;
    EXPECT_EQ(r.error, 87u) << k.what;
  }
  std::vector<uint8_t> badActivate = activate;
  badActivate[12] = 3;  // no slot 3
  EXPECT_FALSE(Send(bench, kDisk, FW_ACTIVATE, badActivate, none).ok);
}

TEST_F(NativeDisk, FirmwareInformationNamesThePendingSlotUntilTheReset) {
  // STORAGE_HW_FIRMWARE_INFO_QUERY: Version 16, Size 16, Flags controller, Reserved.
  const std::vector<uint8_t> query = Bytes({16, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
  // STORAGE_HW_FIRMWARE_INFO: Version and Size 56, SupportUpgrade, SlotCount 1, ActiveSlot 1,
  // PendingActivateSlot, FirmwareShared, Reserved[3], ImagePayloadAlignment 4096,
  // ImagePayloadMaxSize 128 KiB; then STORAGE_HW_FIRMWARE_SLOT_INFO: Version and Size 32,
  // SlotNumber 1, ReadOnly 0, Reserved1[6], Revision[16].
  auto expected = [](uint8_t pending) {
    std::vector<uint8_t> b = Bytes({56, 0, 0, 0, 56, 0, 0, 0, 1, 1, 1, pending, 1, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 2, 0,
                                    32, 0, 0, 0, 32, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    for (char c : std::string("QV1A0B12")) b.push_back(static_cast<uint8_t>(c));
    b.resize(56, 0);
    return b;
  };
  auto info = [this](std::vector<uint8_t> in, uint32_t outLength) {
    std::vector<uint8_t> out(outLength, 0xEE);
    Reply r = Send(bench, kDisk, FW_GET_INFO, in, out);
    out.resize(r.ok ? r.returned : 0);
    return std::make_pair(r, out);
  };
  auto [before, beforeOut] = info(query, 248);
  ASSERT_TRUE(before.ok);
  EXPECT_EQ(beforeOut, expected(0xFF));  // STORAGE_HW_FIRMWARE_INVALID_SLOT: nothing waits

  // A commit with activation at the next reset: the slot waits until then.
  std::vector<uint8_t> image = CmfgImage(5, std::vector<uint8_t>(4096, 0));
  ASSERT_EQ(disk->Controller().DownloadPiece(0, image.data(), static_cast<uint32_t>(image.size()), image.size()).status, 0);
  std::vector<uint8_t> activate = Bytes({16, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}), none;
  ASSERT_TRUE(Send(bench, kDisk, FW_ACTIVATE, activate, none).ok);
  EXPECT_EQ(info(query, 248).second, expected(1));
  EXPECT_EQ(info(query, 56).second, expected(1));
  disk->ResetController();
  EXPECT_EQ(info(query, 248).second[11], 0xFF);
  // A commit that only replaces the slot's image (action 0) activates nothing.
  ASSERT_EQ(disk->Controller().DownloadPiece(0, image.data(), static_cast<uint32_t>(image.size()), image.size()).status, 0);
  ASSERT_EQ(disk->Controller().Commit(1, 0).status, 0);
  EXPECT_EQ(info(query, 248).second[11], 0xFF);

  // The stack's own checks: a query shorter than its record (STATUS_INFO_LENGTH_MISMATCH), room for
  // less than the information with one slot (STATUS_BUFFER_TOO_SMALL), a record that is not one.
  std::vector<uint8_t> shortQuery(query.begin(), query.begin() + 15);
  EXPECT_EQ(info(shortQuery, 248).first.error, 24u);
  EXPECT_EQ(info(query, 55).first.error, 122u);
  EXPECT_EQ(info(query, 0).first.error, 122u);
  std::vector<uint8_t> wrong = query;
  wrong[0] = 12;  // Version
  EXPECT_EQ(info(wrong, 248).first.error, 87u);
  wrong = query;
  wrong[8] = 2;  // a flag the request does not know
  EXPECT_EQ(info(wrong, 248).first.error, 87u);
}

TEST(NativeDiskRobustness, AnyRequestBytesAreAnsweredWithinTheirBuffers) {
  emu::Bench bench;
  emu::MakeDrive(bench, Native());
  std::mt19937 random(20240607);
  const uint32_t codes[] = {QUERY_PROPERTY, DEVICE_NUMBER, PROTOCOL_COMMAND, FW_DOWNLOAD, FW_ACTIVATE, FW_GET_INFO,
                            0x0004D014, 0x12345678};
  platform::DeviceHandle h = bench.Open(kDisk.c_str(), nullptr);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  for (int round = 0; round < 4000; ++round) {
    uint32_t code = codes[random() % std::size(codes)];
    std::vector<uint8_t> in(random() % 300, 0), out(random() % 300, 0);
    for (uint8_t& b : in) b = static_cast<uint8_t>(random());
    // Some rounds keep the headers plausible so that the deeper checks run.
    if (round % 2 == 0 && in.size() >= 48) {
      Put32(in, 0, code == QUERY_PROPERTY ? 49 + random() % 2 : code == FW_DOWNLOAD ? 40 : 1);
      Put32(in, 4, code == PROTOCOL_COMMAND ? 84 : static_cast<uint32_t>(in.size()));
      Put32(in, 8, 3);
    }
    uint32_t returned = 0, error = 0;
    bool sameBuffer = random() % 2 == 0;
    if (sameBuffer) in.resize(std::max(in.size(), out.size()));
    uint8_t* outPointer = sameBuffer ? in.data() : out.data();
    uint32_t outLength = static_cast<uint32_t>(sameBuffer ? in.size() : out.size());
    bench.Control(h, code, in.data(), static_cast<uint32_t>(in.size()), outPointer, outLength, &returned, &error);
    EXPECT_LE(returned, outLength);
  }
  bench.Close(h);
}

TEST(NativeDiskFaults, NthRequestOfAKindFailsOrActsAndThenFails) {
  emu::Bench bench;
  emu::DriveDescription s = Native();
  // The second Identify fails; the activate stages the image and still fails with 0x30207, as
  // some storage drivers report a commit that waits for a reset.
  s.behaviour.faults = {{emu::RequestKind::Identify, 2, 1, emu::FaultAction::FailRequest, 1117},
                        {emu::RequestKind::FirmwareCommit, 1, 1, emu::FaultAction::FailRequest, 0x30207, 1, 0, true}};
  auto disk = emu::MakeDrive(bench, s);
  std::vector<bool> identified;
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> q = IdentifyQuery(49, 1, 0);
    identified.push_back(SendInPlace(bench, kDisk, QUERY_PROPERTY, q).ok);
  }
  EXPECT_EQ(identified, (std::vector<bool>{true, false, true}));

  std::vector<uint8_t> config(4096, 0);
  std::vector<uint8_t> image = CmfgImage(5, config);
  ASSERT_EQ(disk->Controller().DownloadPiece(0, image.data(), static_cast<uint32_t>(image.size()), image.size()).status, 0);
  std::vector<uint8_t> activate = Bytes({16, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}), none;
  Reply r = Send(bench, kDisk, FW_ACTIVATE, activate, none);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, 0x30207u);
  EXPECT_TRUE(disk->Controller().ActivationPending());
  EXPECT_EQ(disk->FaultsStruck(), 2u);
}
