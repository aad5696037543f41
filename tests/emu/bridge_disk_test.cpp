// The bridge disks: SCSI pass-through records and CDBs written out by hand, the three-phase
// protocols of both makes, their refusals, power cycles on the virtual clock, and faults.
#include <gtest/gtest.h>

#include <random>

#include "emu/drive.h"
#include "tests/emu/emu_bytes.h"

using namespace emutest;

namespace {

constexpr uint8_t OUT = 0, IN = 1, NONE = 2;

emu::DriveDescription Bridged(emu::BridgeKind kind, uint32_t disk) {
  emu::DriveDescription s;
  s.diskNumber = disk;
  s.identity.serial = "BRIDGED-1";
  s.firmware.name = "QV1A0B12";
  s.bridge.kind = kind;
  emu::DefaultInquiryBytes(s.bridge);
  return s;
}

std::u16string DrivePath(uint32_t n) {
  std::u16string p = u"\\\\.\\PhysicalDrive";
  for (char c : std::to_string(n)) p.push_back(static_cast<char16_t>(c));
  return p;
}

// DW3 of a completion entry: the status field is bits 31:17.
uint32_t EntryStatus(const std::vector<uint8_t>& entry, size_t at = 0) { return Get32(entry, at + 12) >> 17; }

class Bridges : public ::testing::Test {
 protected:
  void SetUp() override {
    bench.Capture().Keep(true);
    asmedia = emu::MakeDrive(bench, Bridged(emu::BridgeKind::ASMedia, 2));
    jmicron = emu::MakeDrive(bench, Bridged(emu::BridgeKind::JMicron, 3));
  }
  // ASMedia: a command in three SCSI commands, read or write.
  std::vector<uint8_t> AsmRead(const std::vector<uint8_t>& command, std::vector<uint8_t>* entry = nullptr) {
    std::vector<uint8_t> cmd = command, data(4096, 0), completion(16, 0);
    Scsi p1({0xEA, 0x5A, 0x80, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, OUT, cmd.data(), 64);
    Scsi p2({0xEB, 0x5A, 0x81, 0, 0x01, 0, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0, 0}, IN, data.data(), 4096);
    Scsi p3({0xEB, 0x5A, 0x82, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, IN, completion.data(), 16);
    for (Scsi* s : {&p1, &p2, &p3}) {
      EXPECT_TRUE(Pass(bench, DrivePath(2), *s).ok);
      EXPECT_EQ(s->Status(), 0);
    }
    if (entry != nullptr) *entry = completion;
    return data;
  }
  // JMicron: the 512-byte block, the data phase, the completion block.
  std::vector<uint8_t> JmiRead(const std::vector<uint8_t>& command, std::vector<uint8_t>* reply = nullptr) {
    std::vector<uint8_t> block(512, 0), data(4096, 0), back(512, 0);
    std::memcpy(block.data(), "NVME", 4);
    std::copy(command.begin(), command.end(), block.begin() + 8);
    Scsi p1({0xA1, 0x80, 0, 0x00, 0x02, 0x00}, OUT, block.data(), 512);
    Scsi p2({0xA1, 0x82, 0, 0x00, 0x10, 0x00}, IN, data.data(), 4096);
    Scsi p3({0xA1, 0x8F, 0, 0x00, 0x02, 0x00}, IN, back.data(), 512);
    for (Scsi* s : {&p1, &p2, &p3}) {
      EXPECT_TRUE(Pass(bench, DrivePath(3), *s).ok);
      EXPECT_EQ(s->Status(), 0);
    }
    if (reply != nullptr) *reply = back;
    return data;
  }
  emu::Bench bench;
  std::shared_ptr<emu::EmuDisk> asmedia, jmicron;
};

}  // namespace

TEST_F(Bridges, InquiryNamesTheBridgeInBytes36And37) {
  for (uint32_t disk : {2u, 3u}) {
    std::vector<uint8_t> reply(4096, 0);
    Scsi inquiry({0x12, 0x00, 0x00, 0x00, 0x26, 0x00}, IN, reply.data(), 4096);
    ASSERT_TRUE(Pass(bench, DrivePath(disk), inquiry).ok);
    EXPECT_EQ(inquiry.Status(), 0);
    EXPECT_EQ(inquiry.Transferred(), 38u);  // the allocation length
    if (disk == 2)
      EXPECT_EQ(Bytes({0x60, 0x23}), std::vector<uint8_t>(reply.begin() + 36, reply.begin() + 38));
    else
      EXPECT_EQ(Bytes({0x30, 0x35}), std::vector<uint8_t>(reply.begin() + 36, reply.begin() + 38));
    EXPECT_EQ(reply[38], 0);
  }
  // The USB disk reports the USB bus and answers no request of the NVMe driver.
  std::vector<uint8_t> query(12, 0), out(40, 0);
  ASSERT_TRUE(Send(bench, DrivePath(2), 0x002D1400, query, out).ok);
  EXPECT_EQ(Get32(out, 28), 0x07u);
  std::vector<uint8_t> identify(48 + 4096, 0);
  Put32(identify, 0, 49), Put32(identify, 8, 3), Put32(identify, 12, 1), Put32(identify, 16, 1);
  Put32(identify, 24, 40), Put32(identify, 28, 4096);
  EXPECT_FALSE(SendInPlace(bench, DrivePath(2), 0x002D1400, identify).ok);
}

TEST_F(Bridges, AsmediaCarriesReadsWritesIdentifyAndItsInformation) {
  std::vector<uint8_t> entry;
  std::vector<uint8_t> flash = AsmRead(Vendor(0xE6, 3), &entry);
  EXPECT_EQ(flash[0], 0x5A);
  EXPECT_EQ(Text(flash, 32, 8), "3.2.F.2A");
  EXPECT_EQ(EntryStatus(entry), 0u);
  EXPECT_EQ(entry[14] & 1, 1);  // phase tag

  // A write of the configuration block: direction code 2, phase 2 is 0xEA with data out.
  std::vector<uint8_t> config = AsmRead(Vendor(0xE6, 1));
  std::memcpy(config.data() + 1064, "QV1A0C01", 8);
  std::vector<uint8_t> cmd = Vendor(0xE5, 1), completion(16, 0);
  Scsi p1({0xEA, 0x5A, 0x80, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, OUT, cmd.data(), 64);
  Scsi p2({0xEA, 0x5A, 0x81, 0, 0x02, 0, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0, 0}, OUT, config.data(), 4096);
  Scsi p3({0xEB, 0x5A, 0x82, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, IN, completion.data(), 16);
  for (Scsi* s : {&p1, &p2, &p3}) ASSERT_TRUE(Pass(bench, DrivePath(2), *s).ok);
  EXPECT_EQ(p2.Status(), 0);
  EXPECT_EQ(EntryStatus(completion), 0u);
  EXPECT_EQ(Text(std::vector<uint8_t>(asmedia->Controller().ConfigBlock().begin(), asmedia->Controller().ConfigBlock().end()), 1064, 8),
            "QV1A0C01");

  // Identify in one command: CNS in byte 3, NSID in byte 7.
  std::vector<uint8_t> id(4096, 0);
  Scsi identify({0xE6, 0x06, 0, 0x01, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, IN, id.data(), 4096);
  ASSERT_TRUE(Pass(bench, DrivePath(2), identify).ok);
  EXPECT_EQ(identify.Status(), 0);
  EXPECT_EQ(Text(id, 4, 9), "BRIDGED-1");
  std::vector<uint8_t> ns(4096, 0);
  Scsi nsIdentify({0xE6, 0x06, 0, 0x00, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, IN, ns.data(), 4096);
  ASSERT_TRUE(Pass(bench, DrivePath(2), nsIdentify).ok);
  EXPECT_EQ(ns[130], 9);
  // Namespace 7 does not exist: the bridge answers CHECK CONDITION.
  Scsi missing({0xE6, 0x06, 0, 0x00, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0}, IN, ns.data(), 4096);
  ASSERT_TRUE(Pass(bench, DrivePath(2), missing).ok);
  EXPECT_EQ(missing.Status(), 2);

  std::vector<uint8_t> info(16, 0xFF);
  Scsi readInfo({0xEB, 0x5A, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, IN, info.data(), 16);
  ASSERT_TRUE(Pass(bench, DrivePath(2), readInfo).ok);
  EXPECT_EQ(Text(info, 0, 16), std::string("ASM2362 fw 1.00") + '\0');
}

TEST_F(Bridges, MalformedNvmeCommandBehindABridgeCompletesWithAnError) {
  // The bridge carries it; the controller's completion entry says Invalid Field in Command.
  std::vector<uint8_t> entry, reply;
  std::vector<uint8_t> data = AsmRead(Command(0xE6, 0xFFFFFFFF, 1024, 0, 3), &entry);
  EXPECT_EQ(EntryStatus(entry), 0x0002u);
  EXPECT_EQ(data, std::vector<uint8_t>(4096, 0));
  data = JmiRead(Vendor(0xE6, 7), &reply);
  EXPECT_EQ(Text(reply, 0, 4), "NVME");
  EXPECT_EQ(EntryStatus(reply, 8), 0x0002u);
}

TEST_F(Bridges, PhasesOutOfOrderAndMalformedCdbsGetCheckCondition) {
  std::vector<uint8_t> cmd = Vendor(0xE6, 3), data(4096, 0), completion(16, 0);
  struct Case {
    const char* what;
    std::vector<int> cdb;
    uint8_t dataIn;
    uint8_t* buffer;
    uint32_t length;
    uint8_t asc;
  };
  std::vector<Case> asmCases = {
      {"data before command", {0xEB, 0x5A, 0x81, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0}, IN, data.data(), 4096, 0x2C},
      {"completion before command", {0xEB, 0x5A, 0x82, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, IN, completion.data(), 16, 0x2C},
      {"command length 0x20", {0xEA, 0x5A, 0x80, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0}, OUT, cmd.data(), 64, 0x24},
      {"direction code 3", {0xEA, 0x5A, 0x80, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, OUT, cmd.data(), 64, 0x24},
      {"command as data in", {0xEA, 0x5A, 0x80, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, IN, cmd.data(), 64, 0x24},
      {"JMicron CDB", {0xA1, 0x80, 0, 0x00, 0x02, 0x00}, OUT, data.data(), 512, 0x20},
      {"power mode 2", {0xEA, 0x5A, 0x02}, OUT, nullptr, 0, 0x24},
  };
  for (const Case& k : asmCases) {
    Scsi s(k.cdb, k.dataIn, k.buffer, k.length);
    ASSERT_TRUE(Pass(bench, DrivePath(2), s).ok) << k.what;
    EXPECT_EQ(s.Status(), 2) << k.what;
    EXPECT_EQ(s.SenseKey(), 0x05) << k.what;
    EXPECT_EQ(s.Asc(), k.asc) << k.what;
  }
  // A command, then a second command before its data: the sequence breaks and starts over.
  Scsi p1({0xEA, 0x5A, 0x80, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, OUT, cmd.data(), 64);
  ASSERT_TRUE(Pass(bench, DrivePath(2), p1).ok);
  Scsi again = p1;
  ASSERT_TRUE(Pass(bench, DrivePath(2), again).ok);
  EXPECT_EQ(again.Status(), 2);
  // The data phase must match the command's direction code.
  Scsi p1b = Scsi({0xEA, 0x5A, 0x80, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, OUT, cmd.data(), 64);
  ASSERT_TRUE(Pass(bench, DrivePath(2), p1b).ok);
  EXPECT_EQ(p1b.Status(), 0);
  Scsi wrongWay({0xEA, 0x5A, 0x81, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0}, OUT, data.data(), 4096);
  ASSERT_TRUE(Pass(bench, DrivePath(2), wrongWay).ok);
  EXPECT_EQ(wrongWay.Status(), 2);
  // After all that a whole sequence works.
  EXPECT_EQ(AsmRead(Vendor(0xE6, 3))[0], 0x5A);

  std::vector<uint8_t> block(512, 0);
  std::memcpy(block.data(), "NVMF", 4);
  Scsi badMagic({0xA1, 0x80, 0, 0x00, 0x02, 0x00}, OUT, block.data(), 512);
  ASSERT_TRUE(Pass(bench, DrivePath(3), badMagic).ok);
  EXPECT_EQ(badMagic.Status(), 2);
  Scsi jmiData({0xA1, 0x82, 0, 0x00, 0x10, 0x00}, IN, data.data(), 4096);
  ASSERT_TRUE(Pass(bench, DrivePath(3), jmiData).ok);
  EXPECT_EQ(jmiData.Status(), 2);
  EXPECT_EQ(jmiData.Asc(), 0x2C);
  std::memcpy(block.data(), "NVME", 4);
  Scsi lengthMismatch({0xA1, 0x80, 0, 0x00, 0x01, 0x00}, OUT, block.data(), 512);  // CDB says 256
  ASSERT_TRUE(Pass(bench, DrivePath(3), lengthMismatch).ok);
  EXPECT_EQ(lengthMismatch.Status(), 2);
  // A CdbLength the bridge does not take (its commands are 12 or 16 bytes long).
  Scsi shortCdb({0xA1, 0x80, 0, 0x00, 0x02, 0x00}, OUT, block.data(), 512);
  shortCdb.record[6] = 10;
  ASSERT_TRUE(Pass(bench, DrivePath(3), shortCdb).ok);
  EXPECT_EQ(shortCdb.Status(), 2);
  EXPECT_EQ(shortCdb.Asc(), 0x24);
  // A command block with a byte set past the command and the control mode: invalid field in the
  // parameter list.
  std::vector<uint8_t> tail(512, 0);
  std::memcpy(tail.data(), "NVME", 4);
  std::vector<uint8_t> read = Vendor(0xF2, 0);
  std::copy(read.begin(), read.end(), tail.begin() + 8);
  tail[511] = 0x01;
  Scsi dirtyBlock({0xA1, 0x80, 0, 0x00, 0x02, 0x00}, OUT, tail.data(), 512);
  ASSERT_TRUE(Pass(bench, DrivePath(3), dirtyBlock).ok);
  EXPECT_EQ(dirtyBlock.Status(), 2);
  EXPECT_EQ(dirtyBlock.SenseKey(), 0x05);
  EXPECT_EQ(dirtyBlock.Asc(), 0x26);
  EXPECT_EQ(JmiRead(Vendor(0xF2, 0))[281], 0x06);
}

TEST_F(Bridges, JmicronCarriesACommitWithoutData) {
  std::vector<uint8_t> config(4096, 0);
  std::memcpy(config.data() + 1064, "QV1A0C01", 8);
  std::vector<uint8_t> image = CmfgImage(5, config);
  ASSERT_EQ(jmicron->Controller().DownloadPiece(0, image.data(), static_cast<uint32_t>(image.size()), image.size()).status, 0);
  std::vector<uint8_t> block(512, 0), back(512, 0);
  std::memcpy(block.data(), "NVME", 4);
  block[8] = 0x10;
  block[48] = 0x09;  // CDW10: slot 1, action 1
  Scsi p1({0xA1, 0x80, 0, 0x00, 0x02, 0x00}, OUT, block.data(), 512);
  Scsi p2({0xA1, 0x81, 0, 0x00, 0x00, 0x00}, NONE, nullptr, 0);
  Scsi p3({0xA1, 0x8F, 0, 0x00, 0x02, 0x00}, IN, back.data(), 512);
  for (Scsi* s : {&p1, &p2, &p3}) {
    ASSERT_TRUE(Pass(bench, DrivePath(3), *s).ok);
    EXPECT_EQ(s->Status(), 0);
  }
  EXPECT_EQ(EntryStatus(back, 8), 0u);
  EXPECT_TRUE(jmicron->Controller().ActivationPending());
}

TEST_F(Bridges, PassThroughRecordsTheDriverRefuses) {
  std::vector<uint8_t> data(4096, 0);
  Scsi good({0x12, 0, 0, 0, 0x26, 0}, IN, data.data(), 4096);
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
    int width;
  };
  std::vector<Case> cases = {{"the other layout's record length", 0, SPTD_OTHER_LENGTH, 2},
                             {"CDB of 17 bytes", 6, 17, 1},
                             {"CDB of none", 6, 0, 1},
                             {"DataIn 3", 8, 3, 1},
                             {"no data buffer", SPTD_DATA_BUFFER, 0, 4},
                             {"sense inside the record", SPTD_SENSE_OFFSET, 40, 4},
                             {"sense past the output", 7, 41, 1},
                             {"over the transfer limit", 12, 0x100000, 4}};
  for (const Case& k : cases) {
    Scsi s = good;
    if (k.width == 1) s.record[k.at] = static_cast<uint8_t>(k.value);
    if (k.width == 2) Put16(s.record, k.at, static_cast<uint16_t>(k.value));
    if (k.width == 4) Put32(s.record, k.at, k.value);
    if (std::string(k.what) == "no data buffer" && k64) Put32(s.record, SPTD_DATA_BUFFER + 4, 0);
    Reply r = Pass(bench, DrivePath(2), s);
    EXPECT_FALSE(r.ok) << k.what;
    EXPECT_EQ(r.error, 87u) << k.what;
  }
  std::vector<uint8_t> shortRecord(40, 0);
  EXPECT_FALSE(SendInPlace(bench, DrivePath(2), 0x0004D014, shortRecord).ok);

  // A data buffer off the adapter's alignment: dword by default, whole pages where the adapter's
  // AlignmentMask is 0xFFF. A page block passes there.
  Scsi offDword = good;
  Put64(offDword.record, 24, reinterpret_cast<uintptr_t>(data.data()) + 2);
  Put32(offDword.record, 12, 36);
  Reply r = Pass(bench, DrivePath(2), offDword);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, 87u);
  emu::DriveDescription strict = Bridged(emu::BridgeKind::JMicron, 4);
  strict.behaviour.alignmentMask = 0xFFF;
  emu::MakeDrive(bench, strict);
  alignas(4096) static uint8_t page[2 * 4096];
  Scsi offPage({0x12, 0, 0, 0, 0x26, 0}, IN, page + 16, 4096);
  r = Pass(bench, DrivePath(4), offPage);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, 87u);
  Scsi onPage({0x12, 0, 0, 0, 0x26, 0}, IN, page, 4096);
  EXPECT_TRUE(Pass(bench, DrivePath(4), onPage).ok);
  EXPECT_EQ(onPage.Status(), 0);
}

TEST_F(Bridges, CaptureShowsTheDataBufferOfEveryPassThrough) {
  AsmRead(Vendor(0xE6, 3));
  std::vector<std::string> requests;
  for (const std::string& line : bench.Capture().Lines())
    if (line.find(" 0x0004D014 ") != std::string::npos) requests.push_back(line);
  ASSERT_EQ(requests.size(), 3u);
  for (const std::string& line : requests) {
    EXPECT_EQ(line.find(" out="), std::string::npos) << line;
    EXPECT_NE(line.find(" scsi=00"), std::string::npos) << line;
  }
  // Phase 1 carries the command: E6, all namespaces, CDW10 0x400, CDW12 3, "ANEX" "TORV".
  EXPECT_NE(requests[0].find(" data=E6000000FFFFFFFF" + std::string(64, '0') +
                             "00040000000000000300000000000000414E4558544F5256 "),
            std::string::npos)
      << requests[0];
  EXPECT_NE(requests[1].find(" data=5A00417C"), std::string::npos) << requests[1];
  EXPECT_NE(requests[1].find(" nvme=0000"), std::string::npos);
  EXPECT_NE(requests[2].find(" data=0000000000000000000000000000"), std::string::npos);
}

TEST_F(Bridges, PowerControlTakesTheDriveAwayForItsDelay) {
  std::vector<std::pair<bool, uint32_t>> seen;
  asmedia->SetPresenceHook([&seen](bool present, uint32_t disk) { seen.emplace_back(present, disk); });
  Scsi power({0xEA, 0x5A, 0x01}, OUT, nullptr, 0);
  ASSERT_TRUE(Pass(bench, DrivePath(2), power).ok);
  EXPECT_EQ(power.Status(), 0);
  EXPECT_FALSE(asmedia->Present());
  uint32_t error = 0;
  EXPECT_EQ(bench.Open(DrivePath(2).c_str(), &error), platform::INVALID_DEVICE);
  EXPECT_EQ(error, 2u);
  bench.Clock().Advance(1999);
  EXPECT_EQ(bench.Open(DrivePath(2).c_str(), &error), platform::INVALID_DEVICE);
  bench.Clock().Advance(1);
  platform::DeviceHandle h = bench.Open(DrivePath(2).c_str(), &error);
  ASSERT_NE(h, platform::INVALID_DEVICE);
  bench.Close(h);
  EXPECT_EQ(asmedia->Controller().Resets(), 1u);
  EXPECT_EQ(seen, (std::vector<std::pair<bool, uint32_t>>{{false, 2}, {true, 2}}));
  bool leave = false, back = false;
  for (const std::string& line : bench.Capture().Lines()) {
    leave = leave || line.find("\\\\.\\PhysicalDrive2 leave delay=2000") != std::string::npos;
    back = back || line.find("\\\\.\\PhysicalDrive2 return disk=2") != std::string::npos;
  }
  EXPECT_TRUE(leave);
  EXPECT_TRUE(back);
}

TEST_F(Bridges, JmicronPowerControlLeavesAfterItsDataPhase) {
  std::vector<uint8_t> block(512, 0), back(512, 0);
  std::memcpy(block.data(), "NVME", 4);
  block[72] = 5;
  platform::DeviceHandle h = bench.Open(DrivePath(3).c_str(), nullptr);
  Scsi p1({0xA1, 0x80, 0, 0x00, 0x02, 0x00}, OUT, block.data(), 512);
  Scsi p2({0xA1, 0x81, 0, 0x00, 0x00, 0x00}, IN, block.data(), 0);
  Scsi p3({0xA1, 0x8F, 0, 0x00, 0x02, 0x00}, IN, back.data(), 512);
  EXPECT_TRUE(Pass(bench, h, p1).ok);
  EXPECT_TRUE(Pass(bench, h, p2).ok);
  Reply r3 = Pass(bench, h, p3);  // the drive is already off the bus
  EXPECT_FALSE(r3.ok);
  EXPECT_EQ(r3.error, 433u);
  bench.Close(h);
  bench.Clock().Advance(2000);
  bench.Tick();
  EXPECT_TRUE(jmicron->Present());
  EXPECT_EQ(JmiRead(Vendor(0xF2, 0))[280], 0xE8);
}

TEST(BridgeBehaviour, ComesBackUnderAnotherNumberOrNever) {
  emu::Bench bench;
  emu::DriveDescription moving = Bridged(emu::BridgeKind::ASMedia, 3);
  moving.behaviour.returnDiskNumber = 7;
  moving.behaviour.powerCycleDelayMs = 500;
  auto disk = emu::MakeDrive(bench, moving);
  uint32_t lastNumber = 0;
  disk->SetPresenceHook([&lastNumber](bool present, uint32_t n) {
    if (present) lastNumber = n;
  });
  disk->PowerCycle();
  bench.Clock().Advance(500);
  bench.Tick();
  EXPECT_EQ(lastNumber, 7u);
  EXPECT_EQ(disk->Path(), DrivePath(7));
  EXPECT_EQ(bench.Open(DrivePath(3).c_str(), nullptr), platform::INVALID_DEVICE);
  std::vector<uint8_t> none, number(12, 0);
  Reply r = Send(bench, DrivePath(7), 0x002D1080, none, number);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Get32(number, 4), 7u);

  emu::DriveDescription gone = Bridged(emu::BridgeKind::JMicron, 4);
  gone.behaviour.neverReturn = true;
  auto lost = emu::MakeDrive(bench, gone);
  lost->PowerCycle();
  bench.Clock().Advance(3600 * 1000);
  bench.Tick();
  EXPECT_FALSE(lost->Present());
  EXPECT_EQ(bench.Open(DrivePath(4).c_str(), nullptr), platform::INVALID_DEVICE);
}

TEST(BridgeFaults, FailCheckConditionAndErrorCompletionStrikeWhereTold) {
  emu::Bench bench;
  emu::DriveDescription s = Bridged(emu::BridgeKind::ASMedia, 2);
  // The second vendor read fails its phase 1; the first firmware download gets CHECK CONDITION
  // on its data phase; every Identify completes with an error.
  s.behaviour.faults = {
      {emu::RequestKind::VendorRead, 2, 1, emu::FaultAction::FailRequest, 31, 1},
      {emu::RequestKind::FirmwareDownload, 1, 1, emu::FaultAction::CheckCondition, 0, 2},
      {emu::RequestKind::Identify, 1, 0, emu::FaultAction::ErrorCompletion, 0, 1, 0x0006},
  };
  auto disk = emu::MakeDrive(bench, s);
  std::vector<uint8_t> cmd = Vendor(0xF2, 0), data(4096, 0);
  auto phase1 = [&](std::vector<uint8_t>& command, uint8_t dir) {
    Scsi p({0xEA, 0x5A, 0x80, 0, dir, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, OUT, command.data(), 64);
    Reply r = Pass(bench, DrivePath(2), p);
    return std::make_pair(r, p.Status());
  };
  auto phase2 = [&](uint8_t op, uint8_t dir, uint8_t dataIn) {
    Scsi p({op, 0x5A, 0x81, 0, dir, 0, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00, 0, 0}, dataIn, data.data(), 4096);
    Reply r = Pass(bench, DrivePath(2), p);
    return std::make_pair(r, p.Status());
  };
  std::vector<uint8_t> completion(16, 0);
  Scsi p3({0xEB, 0x5A, 0x82, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, IN, completion.data(), 16);
  EXPECT_TRUE(phase1(cmd, 1).first.ok);  // first vendor read: fine
  EXPECT_EQ(phase2(0xEB, 1, IN).second, 0);
  EXPECT_TRUE(Pass(bench, DrivePath(2), p3).ok);
  auto second = phase1(cmd, 1);  // second: the request fails
  EXPECT_FALSE(second.first.ok);
  EXPECT_EQ(second.first.error, 31u);
  EXPECT_TRUE(phase1(cmd, 1).first.ok);  // third: fine again
  EXPECT_EQ(phase2(0xEB, 1, IN).second, 0);

  std::vector<uint8_t> download = Command(0x11, 0, 1023, 0);
  EXPECT_EQ(phase1(download, 2).second, 0);
  auto dataPhase = phase2(0xEA, 2, OUT);
  EXPECT_TRUE(dataPhase.first.ok);
  EXPECT_EQ(dataPhase.second, 2);  // CHECK CONDITION on phase 2
  EXPECT_EQ(disk->Controller().DownloadedPieces(), 0u);
  EXPECT_EQ(phase1(download, 2).second, 0);  // the second download is carried
  EXPECT_EQ(phase2(0xEA, 2, OUT).second, 0);
  EXPECT_EQ(disk->Controller().DownloadedPieces(), 1u);

  std::vector<uint8_t> id(4096, 0);
  Scsi identify({0xE6, 0x06, 0, 0x01}, IN, id.data(), 4096);
  ASSERT_TRUE(Pass(bench, DrivePath(2), identify).ok);
  EXPECT_EQ(identify.Status(), 2);
  EXPECT_EQ(id, std::vector<uint8_t>(4096, 0));
  EXPECT_EQ(disk->FaultsStruck(), 3u);
}

TEST(BridgeFaults, AnyRequestFaultCountsEveryRequest) {
  emu::Bench bench;
  emu::DriveDescription s = Bridged(emu::BridgeKind::JMicron, 2);
  s.behaviour.faults = {{emu::RequestKind::Any, 3, 2, emu::FaultAction::FailRequest, 1117}};
  emu::MakeDrive(bench, s);
  std::vector<uint8_t> query(12, 0), out(40, 0);
  std::vector<bool> results;
  for (int i = 0; i < 5; ++i) results.push_back(Send(bench, DrivePath(2), 0x002D1400, query, out).ok);
  EXPECT_EQ(results, (std::vector<bool>{true, true, false, false, true}));
}

TEST(BridgeRobustness, AnyCdbAndBlockIsAnsweredWithinItsBuffers) {
  emu::Bench bench;
  emu::MakeDrive(bench, Bridged(emu::BridgeKind::ASMedia, 2));
  emu::MakeDrive(bench, Bridged(emu::BridgeKind::JMicron, 3));
  std::mt19937 random(77);
  std::vector<uint8_t> data(8192, 0);
  const int opcodes[] = {0xEA, 0xEB, 0xE6, 0xA1, 0x12, 0x00, 0x28};
  for (int round = 0; round < 6000; ++round) {
    uint32_t disk = 2 + random() % 2;
    uint32_t length = random() % 3 == 0 ? 0 : random() % 4097;
    Scsi s({opcodes[random() % std::size(opcodes)]}, static_cast<uint8_t>(random() % 3), data.data(), length);
    for (int i = 1; i < 16; ++i) s.record[SPTD_CDB + i] = static_cast<uint8_t>(random() % 4 == 0 ? random() : 0);
    s.record[SPTD_CDB + 1] = static_cast<uint8_t>(random() % 2 ? 0x5A : random() % 0x90);
    if (random() % 4 == 0) s.record[SPTD_CDB + 2] = static_cast<uint8_t>(0x80 + random() % 3);
    for (size_t i = 0; i < 512; ++i) data[i] = static_cast<uint8_t>(random() % 8 == 0 ? random() : 0);
    if (random() % 2) std::memcpy(data.data(), "NVME", 4);
    Reply r = Pass(bench, DrivePath(disk), s);
    if (r.ok) {
      EXPECT_LE(s.Transferred(), length);
    }
    bench.Clock().Advance(5000);  // a power cycle that struck is over by the next round
  }
}
