// The emulated NVMe controller, command by command: what it answers, checked against bytes
// written out by hand, and how it refuses what a real controller refuses.
#include <gtest/gtest.h>

#include "emu/nvme_controller.h"
#include "tests/emu/emu_bytes.h"

using namespace emutest;

namespace {

emu::DriveDescription Sample() {
  emu::DriveDescription s;
  s.identity.model = "QV Model 512";
  s.identity.serial = "SN123";
  s.identity.vendorId = 0x1E4B;
  s.identity.subsystemVendorId = 0x1D97;
  s.identity.namespaceBlocks = 0x3A386030;  // 976773168 blocks
  s.identity.lbaFormats = {{0, 9, 2}, {0, 12, 0}};
  s.identity.flbas = 1;
  s.firmware.name = "QV1A0B12";
  s.flashInfo.socId = 0x7C63;
  s.flashInfo.flashId = {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00};
  s.flashInfo.internalVersion = "3.2.F.2A";
  s.legacy.socId = 0x7C41;
  s.legacy.entryFactor1 = 4;
  s.legacy.entryFactor2 = 8;
  s.legacy.flashIds = {{0, 0, 0, 0, 0, 0}, {0x98, 0x3C, 0x98, 0xB3, 0x76, 0xF2}};
  s.config.workorder = "WO-77";
  s.config.deviceId = 0x5016;
  s.config.subsystemDeviceId = 0x0001;
  s.config.capacityGb = 512;
  return s;
}

struct Outcome {
  emu::NvmeCompletion completion;
  std::vector<uint8_t> data;
};
Outcome Exec(emu::NvmeController& c, const std::vector<uint8_t>& command, emu::DataDirection direction,
         std::vector<uint8_t> data) {
  Outcome r;
  r.completion = c.Execute(command.data(), direction, data.empty() ? nullptr : data.data(),
                           static_cast<uint32_t>(data.size()));
  r.data = std::move(data);
  return r;
}
Outcome Read(emu::NvmeController& c, const std::vector<uint8_t>& command, size_t length = 4096) {
  return Exec(c, command, emu::DataDirection::FromDevice, std::vector<uint8_t>(length, 0));
}

}  // namespace

TEST(Controller, IdentifyControllerAndNamespaceHoldTheDescribedIdentity) {
  emu::NvmeController c(Sample());
  Outcome id = Read(c, Command(0x06, 0, 1));
  ASSERT_EQ(id.completion.status, 0);
  EXPECT_EQ(id.completion.transferred, 4096u);
  EXPECT_EQ(Bytes({0x4B, 0x1E, 0x97, 0x1D}), std::vector<uint8_t>(id.data.begin(), id.data.begin() + 4));
  EXPECT_EQ(Text(id.data, 4, 20), "SN123               ");
  EXPECT_EQ(Text(id.data, 24, 40), "QV Model 512                            ");
  EXPECT_EQ(Text(id.data, 64, 8), "QV1A0B12");
  EXPECT_EQ(id.data[260] & 0x0E, 0x02);  // one firmware slot

  Outcome ns = Read(c, Command(0x06, 1, 0));
  ASSERT_EQ(ns.completion.status, 0);
  // NSZE 976773168 = 0x3A386030, little-endian.
  EXPECT_EQ(Bytes({0x30, 0x60, 0x38, 0x3A, 0, 0, 0, 0}), std::vector<uint8_t>(ns.data.begin(), ns.data.begin() + 8));
  EXPECT_EQ(ns.data[25], 1);  // two formats, zero-based
  EXPECT_EQ(ns.data[26], 1);  // FLBAS
  EXPECT_EQ(Bytes({0, 0, 9, 2, 0, 0, 12, 0}), std::vector<uint8_t>(ns.data.begin() + 128, ns.data.begin() + 136));

  // Namespace 2 does not exist; CNS 0x7F is no Identify the controller knows.
  EXPECT_EQ(Read(c, Command(0x06, 2, 0)).completion.status, emu::NVME_INVALID_NAMESPACE);
  EXPECT_EQ(Read(c, Command(0x06, 0, 0x7F)).completion.status, emu::NVME_INVALID_FIELD);
  // Identify sent as a write is refused and moves nothing.
  EXPECT_EQ(Exec(c, Command(0x06, 0, 1), emu::DataDirection::ToDevice, std::vector<uint8_t>(4096)).completion.status,
            emu::NVME_INVALID_FIELD);
}

TEST(Controller, VendorBlocksCarryTheirFieldsAtTheirOffsets) {
  emu::NvmeController c(Sample());
  Outcome flash = Read(c, Vendor(0xE6, 3));
  ASSERT_EQ(flash.completion.status, 0);
  EXPECT_EQ(flash.data[0], 0x5A);
  EXPECT_EQ(Bytes({0x63, 0x7C}), std::vector<uint8_t>(flash.data.begin() + 2, flash.data.begin() + 4));
  EXPECT_EQ(Bytes({0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x00}),
            std::vector<uint8_t>(flash.data.begin() + 16, flash.data.begin() + 22));
  EXPECT_EQ(Text(flash.data, 32, 8), "3.2.F.2A");

  Outcome legacy = Read(c, Vendor(0xF2, 0));
  ASSERT_EQ(legacy.completion.status, 0);
  EXPECT_EQ(Text(legacy.data, 88, 8), "QV1A0B12");
  EXPECT_EQ(legacy.data[280], 0xE8);
  EXPECT_EQ(legacy.data[281], 0x06);
  EXPECT_EQ(legacy.data[295], 4);
  EXPECT_EQ(legacy.data[296], 8);
  EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0x98, 0x3C, 0x98, 0xB3, 0x76, 0xF2}),
            std::vector<uint8_t>(legacy.data.begin() + 1352, legacy.data.begin() + 1364));
  EXPECT_EQ(legacy.data[1582], 0x41);
  EXPECT_EQ(legacy.data[1583], 0x7C);

  Outcome config = Read(c, Vendor(0xE6, 1));
  ASSERT_EQ(config.completion.status, 0);
  EXPECT_EQ(Text(config.data, 0, 4), "CONF");
  EXPECT_EQ(Text(config.data, 528, 20), std::string("WO-77") + std::string(15, '\0'));
  EXPECT_EQ(Bytes({0x4B, 0x1E, 0x16, 0x50, 0x97, 0x1D, 0x01, 0x00}),
            std::vector<uint8_t>(config.data.begin() + 1032, config.data.begin() + 1040));
  EXPECT_EQ(Text(config.data, 1040, 20), std::string("SN123") + std::string(15, '\0'));
  EXPECT_EQ(Text(config.data, 1064, 8), "QV1A0B12");
  EXPECT_EQ(Text(config.data, 1072, 12), std::string("QV Model 512"));
  EXPECT_EQ(config.data[1084], 0);
  EXPECT_EQ(Bytes({0x00, 0x02}), std::vector<uint8_t>(config.data.begin() + 1592, config.data.begin() + 1594));
}

TEST(Controller, MalformedVendorCommandsGetAnErrorCompletionAndNoData) {
  emu::NvmeController c(Sample());
  struct Case {
    const char* what;
    std::vector<uint8_t> command;
    emu::DataDirection direction;
    size_t length;
    uint16_t status;
  };
  const uint32_t anex = 0x58454E41, torv = 0x56524F54;
  std::vector<Case> cases = {
      {"signature halves swapped", Command(0xE6, 0xFFFFFFFF, 1024, 0, 3, 0, torv, anex), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_FIELD},
      {"no signature", Command(0xE6, 0xFFFFFFFF, 1024, 0, 3), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_FIELD},
      {"zero-based dword count", Command(0xE6, 0xFFFFFFFF, 1023, 0, 3, 0, anex, torv), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_FIELD},
      {"namespace 1", Command(0xE6, 1, 1024, 0, 3, 0, anex, torv), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_NAMESPACE},
      {"CDW11 set", Command(0xE6, 0xFFFFFFFF, 1024, 1, 3, 0, anex, torv), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_FIELD},
      {"CDW13 set", Command(0xE6, 0xFFFFFFFF, 1024, 0, 3, 9, anex, torv), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_FIELD},
      {"unknown sub-function", Vendor(0xE6, 2), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_FIELD},
      {"legacy read with CDW12 1", Vendor(0xF2, 1), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_FIELD},
      {"read sent as a write", Vendor(0xE6, 3), emu::DataDirection::ToDevice, 4096, emu::NVME_INVALID_FIELD},
      {"short transfer", Vendor(0xE6, 3), emu::DataDirection::FromDevice, 512, emu::NVME_INVALID_FIELD},
      {"no data at all", Vendor(0xF2, 0), emu::DataDirection::None, 0, emu::NVME_INVALID_FIELD},
      {"unknown opcode", Vendor(0xE7, 3), emu::DataDirection::FromDevice, 4096, emu::NVME_INVALID_OPCODE},
  };
  for (const Case& k : cases) {
    Outcome r = Exec(c, k.command, k.direction, std::vector<uint8_t>(k.length, 0));
    EXPECT_EQ(r.completion.status, k.status) << k.what;
    EXPECT_EQ(r.completion.transferred, 0u) << k.what;
    EXPECT_EQ(std::vector<uint8_t>(k.length, 0), r.data) << k.what;
  }
  // A refused write changes nothing.
  std::vector<uint8_t> junk(4096, 0xEE);
  EXPECT_NE(Exec(c, Command(0xE5, 0xFFFFFFFF, 1024, 0, 1), emu::DataDirection::ToDevice, junk).completion.status, 0);
  EXPECT_EQ(Text(std::vector<uint8_t>(c.ConfigBlock().begin(), c.ConfigBlock().end()), 0, 4), "CONF");
}

TEST(Controller, DriveWithoutFlashInformationRefusesIt) {
  emu::DriveDescription s = Sample();
  s.flashInfo.answers = false;
  emu::NvmeController c(s);
  Outcome r = Read(c, Vendor(0xE6, 3));
  EXPECT_EQ(r.completion.status, emu::NVME_INVALID_FIELD);
  EXPECT_EQ(r.data[0], 0);
  EXPECT_EQ(Read(c, Vendor(0xF2, 0)).completion.status, 0);
}

TEST(Controller, DownloadAssemblesPiecesAndRefusesOverlapsAndGaps) {
  auto download = [](emu::NvmeController& c, uint32_t numd, uint32_t ofst, std::vector<uint8_t> data) {
    return Exec(c, Command(0x11, 0, numd, ofst), emu::DataDirection::ToDevice, std::move(data)).completion.status;
  };
  std::vector<uint8_t> a(4096, 0xA1), b(4096, 0xB2), tail = Bytes({1, 2, 3, 4, 5});
  {
    // Pieces in any order; a 5-byte tail sent with NUMD 1 (two dwords) ends the image.
    emu::NvmeController c(Sample());
    EXPECT_EQ(download(c, 1023, 1024, b), 0);
    EXPECT_EQ(download(c, 1023, 0, a), 0);
    EXPECT_EQ(download(c, 1, 2048, tail), 0);
    EXPECT_EQ(Exec(c, Command(0x10, 0, 0x09), emu::DataDirection::None, {}).completion.status, 0);
    std::vector<uint8_t> expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(c.SlotImage(), expected);
    EXPECT_TRUE(c.ActivationPending());
    EXPECT_EQ(c.DownloadedPieces(), 0u);
  }
  {
    // A piece reaching into another is refused with Overlapping Range; the first stays.
    emu::NvmeController c(Sample());
    EXPECT_EQ(download(c, 1023, 0, a), 0);
    EXPECT_EQ(download(c, 1023, 1023, b), emu::NVME_OVERLAPPING_RANGE);
    EXPECT_EQ(download(c, 1023, 0, b), emu::NVME_OVERLAPPING_RANGE);
    EXPECT_EQ(c.DownloadedPieces(), 1u);
    // One that ends where a later one begins is fine.
    EXPECT_EQ(download(c, 1023, 2048, b), 0);
    EXPECT_EQ(download(c, 1023, 1024, b), 0);
  }
  {
    // A hole between pieces: the commit finds no whole image.
    emu::NvmeController c(Sample());
    EXPECT_EQ(download(c, 1023, 0, a), 0);
    EXPECT_EQ(download(c, 1023, 2048, b), 0);
    EXPECT_EQ(Exec(c, Command(0x10, 0, 0x09), emu::DataDirection::None, {}).completion.status,
              emu::NVME_INVALID_FIRMWARE_IMAGE);
    EXPECT_FALSE(c.ActivationPending());
    // Nor does an image that does not begin at offset 0, or a short piece before the end.
    emu::NvmeController d(Sample());
    EXPECT_EQ(download(d, 1023, 1024, a), 0);
    EXPECT_EQ(Exec(d, Command(0x10, 0, 0x09), emu::DataDirection::None, {}).completion.status,
              emu::NVME_INVALID_FIRMWARE_IMAGE);
    emu::NvmeController e(Sample());
    EXPECT_EQ(download(e, 1023, 0, tail), 0);
    EXPECT_EQ(download(e, 1023, 1024, a), 0);
    EXPECT_EQ(Exec(e, Command(0x10, 0, 0x09), emu::DataDirection::None, {}).completion.status,
              emu::NVME_INVALID_FIRMWARE_IMAGE);
  }
  {
    // More data than NUMD claims, an unaligned offset, or nothing downloaded.
    emu::NvmeController c(Sample());
    EXPECT_EQ(download(c, 0, 0, a), emu::NVME_INVALID_FIELD);
    EXPECT_EQ(c.DownloadPiece(2, a.data(), 4096, 4096).status, emu::NVME_INVALID_FIELD);
    EXPECT_EQ(c.DownloadPiece(emu::MAX_FIRMWARE_IMAGE, a.data(), 4096, 4096).status, emu::NVME_INVALID_FIELD);
    EXPECT_EQ(Exec(c, Command(0x10, 0, 0x09), emu::DataDirection::None, {}).completion.status,
              emu::NVME_INVALID_FIRMWARE_IMAGE);
  }
}

TEST(Controller, CommitStagesAndTheNextResetActivatesACheckedImage) {
  emu::DriveDescription description = Sample();
  emu::NvmeController c(description);
  // The image's configuration region names the firmware "QV1A0C01" and carries another serial
  // number; the running identity keeps its own.
  std::vector<uint8_t> config(4096, 0);
  std::memcpy(config.data(), "CONF", 4);
  std::memcpy(config.data() + 1040, "SN-FROM-IMAGE", 13);
  std::memcpy(config.data() + 1064, "QV1A0C01", 8);
  std::vector<uint8_t> image = CmfgImage(6, config);
  for (size_t at = 0; at < image.size(); at += 4096) {
    std::vector<uint8_t> piece(image.begin() + at, image.begin() + at + 4096);
    ASSERT_EQ(Exec(c, Command(0x11, 0, 1023, static_cast<uint32_t>(at / 4)), emu::DataDirection::ToDevice, piece)
                  .completion.status, 0);
  }
  // Slot 2 does not exist; commit action 3 (activate at once) is not offered.
  EXPECT_EQ(Exec(c, Command(0x10, 0, 0x0A), emu::DataDirection::None, {}).completion.status,
            emu::NVME_INVALID_FIRMWARE_SLOT);
  EXPECT_EQ(Exec(c, Command(0x10, 0, 0x19), emu::DataDirection::None, {}).completion.status, emu::NVME_INVALID_FIELD);
  ASSERT_EQ(Exec(c, Command(0x10, 0, 0x09), emu::DataDirection::None, {}).completion.status, 0);
  // Nothing changes before the reset.
  EXPECT_EQ(c.FirmwareName(), "QV1A0B12");
  c.Reset();
  EXPECT_EQ(c.LastActivation(), emu::Activation::Activated);
  EXPECT_EQ(c.ActiveImage(), image);
  EXPECT_EQ(c.FirmwareName(), "QV1A0C01");
  Outcome id = Read(c, Command(0x06, 0, 1));
  EXPECT_EQ(Text(id.data, 64, 8), "QV1A0C01");
  EXPECT_EQ(Text(id.data, 4, 20), "SN123               ");
  Outcome block = Read(c, Vendor(0xE6, 1));
  EXPECT_EQ(block.data, config);
  // A second reset has nothing to activate.
  c.Reset();
  EXPECT_EQ(c.LastActivation(), emu::Activation::None);
  EXPECT_EQ(c.Resets(), 2u);
}

TEST(Controller, ImagesThatFailTheirCheckAreNotActivated) {
  std::vector<uint8_t> config(4096, 0);
  std::memcpy(config.data() + 1064, "BADNAME0", 8);
  struct Case {
    const char* what;
    std::vector<uint8_t> image;
    emu::Activation result;
  };
  std::vector<uint8_t> good = CmfgImage(5, config);
  std::vector<uint8_t> flipped = good;
  flipped[4096 + 100] ^= 1;  // a byte of range 0
  std::vector<uint8_t> magic = good;
  magic[0] = 'X';
  std::vector<uint8_t> ranges = good;
  Put32(ranges, 36, 4);  // the configuration region ends on the last page: no trailer
  std::vector<uint8_t> ragged(good.begin(), good.end() - 10);
  std::vector<Case> cases = {{"changed byte", flipped, emu::Activation::BadChecksum},
                             {"no magic", magic, emu::Activation::NotCmfg},
                             {"no trailer page", ranges, emu::Activation::BadLayout},
                             {"not whole pages", ragged, emu::Activation::NotCmfg}};
  for (const Case& k : cases) {
    emu::NvmeController c(Sample());
    ASSERT_EQ(c.DownloadPiece(0, k.image.data(), static_cast<uint32_t>(k.image.size()), (k.image.size() + 3) & ~size_t{3})
                  .status, 0) << k.what;
    ASSERT_EQ(c.Commit(1, 1).status, 0) << k.what;
    c.Reset();
    EXPECT_EQ(c.LastActivation(), k.result) << k.what;
    EXPECT_EQ(c.FirmwareName(), "QV1A0B12") << k.what;
    EXPECT_TRUE(c.ActiveImage().empty()) << k.what;
  }
  // Bytes of page 0 after the table do not count.
  std::vector<uint8_t> padded = good;
  padded[2000] = 0x77;
  emu::NvmeController c(Sample());
  ASSERT_EQ(c.DownloadPiece(0, padded.data(), static_cast<uint32_t>(padded.size()), padded.size()).status, 0);
  ASSERT_EQ(c.Commit(1, 1).status, 0);
  c.Reset();
  EXPECT_EQ(c.LastActivation(), emu::Activation::Activated);
  EXPECT_EQ(c.FirmwareName(), "BADNAME0");
}

TEST(Controller, WrittenNamesTakeEffectAtTheNextReset) {
  // A drive with the configuration block names itself from it.
  emu::NvmeController c(Sample());
  Outcome block = Read(c, Vendor(0xE6, 1));
  std::memcpy(block.data.data() + 1064, "3.2\0\0\0\0\0", 8);
  ASSERT_EQ(Exec(c, Vendor(0xE5, 1), emu::DataDirection::ToDevice, block.data).completion.status, 0);
  EXPECT_EQ(c.FirmwareName(), "QV1A0B12");
  c.Reset();
  EXPECT_EQ(c.FirmwareName(), "3.2");

  // A drive of the older kind names itself from the legacy block, which takes only its head:
  // the flash ID entries and SoC ID after byte 143 stay the drive's.
  emu::DriveDescription s = Sample();
  s.flashInfo.answers = false;
  emu::NvmeController old(s);
  Outcome legacy = Read(old, Vendor(0xF2, 0));
  std::vector<uint8_t> written(4096, 0);
  std::memcpy(written.data(), legacy.data.data(), 144);
  std::memcpy(written.data() + 88, "QV2NAME1", 8);
  ASSERT_EQ(Exec(old, Vendor(0xF1, 0), emu::DataDirection::ToDevice, written).completion.status, 0);
  old.Reset();
  EXPECT_EQ(old.FirmwareName(), "QV2NAME1");
  Outcome after = Read(old, Vendor(0xF2, 0));
  EXPECT_EQ(Text(after.data, 88, 8), "QV2NAME1");
  EXPECT_EQ(after.data[1582], 0x41);
  EXPECT_EQ(after.data[1358], 0x98);
}
