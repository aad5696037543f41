// The capture decoder on capture lines written out by hand from the documented format.
#include <gtest/gtest.h>

#include "tools/fwcap/capture_decode.h"

namespace {

// The input record of a pass-through request: a 64-bit record (Length 56, DataIn at 8,
// DataTransferLength at 12, CDB at 36) or a 32-bit one (Length 44, CDB at 28), then zeros.
std::string Record(bool wide, int dataIn, const std::string& lengthLe, const std::string& cdb) {
  std::string head = wide ? "3800" : "2C00";
  head += "0000000010" "18";                    // status, path, target, LUN, CdbLength 16, sense 24
  head += dataIn == 0 ? "00" : dataIn == 1 ? "01" : "02";
  head += "000000" + lengthLe + "0A000000";       // DataTransferLength, TimeOutValue
  head += wide ? "00000000" "1122334455667788" "38000000" : "11223344" "2C000000";
  head += cdb;
  while (head.size() < (wide ? 112u : 88u)) head += "00";
  return head + std::string(48, '0');             // the sense area
}

std::vector<fwcap::Command> Decode(const std::string& text) {
  size_t skipped = 0;
  std::vector<fwcap::Line> lines = fwcap::ParseCapture(text, &skipped);
  EXPECT_EQ(skipped, 0u);
  return fwcap::DecodeCommands(lines);
}

// A JMicron command block: "NVME", four zero bytes, then the 64-byte command given as hex.
std::string Block(const std::string& command) {
  std::string b = "4E564D45" "00000000" + command;
  return b + std::string(1024 - b.size(), '0');
}
std::string NvmeCommand(const std::string& opcodeNsid, const std::string& cdw10to15) {
  return opcodeNsid + std::string(64, '0') + cdw10to15;
}

}  // namespace

TEST(Fwcap, LinesFollowTheFormatOrAreRefused) {
  fwcap::Line line;
  std::string error;
  ASSERT_TRUE(fwcap::ParseLine("12 \\\\.\\PhysicalDrive2 0x0004D014 in=0A0b data=FF ok=1 scsi=02 extra=x", &line, &error));
  EXPECT_EQ(line.seq, 12u);
  EXPECT_EQ(line.device, "\\\\.\\PhysicalDrive2");
  EXPECT_TRUE(line.request);
  EXPECT_EQ(line.code, 0x0004D014u);
  EXPECT_EQ(line.in, (std::vector<uint8_t>{0x0A, 0x0B}));
  EXPECT_EQ(line.data, (std::vector<uint8_t>{0xFF}));
  EXPECT_TRUE(line.ok);
  EXPECT_EQ(line.keys["scsi"], "02");
  ASSERT_TRUE(fwcap::ParseLine("13 \\\\.\\PhysicalDrive2 return disk=4 firmware=3.2.F.2A", &line, &error));
  EXPECT_FALSE(line.request);
  EXPECT_EQ(line.event, "return");
  EXPECT_EQ(line.keys["disk"], "4");
  for (const char* bad : {"1 dev 0x0004D014 in=ABC ok=1", "1 dev 0x0004D014 in=ZZ ok=1", "x dev open",
                          "1 dev 0x0004D014 in=00", "1 dev", "1 dev 0x0004D014 in=00 ok=1 loose"})
    EXPECT_FALSE(fwcap::ParseLine(bad, &line, &error)) << bad;
  size_t skipped = 0;
  std::string first;
  EXPECT_EQ(fwcap::ParseCapture("1 a open\r\n\r\nbroken\n2 a close\n", &skipped, &first).size(), 2u);
  EXPECT_EQ(skipped, 1u);
  EXPECT_EQ(first.rfind("line 3:", 0), 0u);
}

TEST(Fwcap, JmicronDownloadWithAShortTailIsRebuilt) {
  // Two pieces: 8 bytes at OFST 0 (NUMD 1), 5 bytes at OFST 2 (NUMD 1), then a commit; the
  // first command is a vendor read listed with its fields.
  std::string c;
  c += "1 D 0x0004D014 in=" + Record(true, 0, "00020000", "A18000000200") + " data=" +
       Block(NvmeCommand("E6000000FFFFFFFF", "00040000" "00000000" "03000000" "00000000" "414E4558" "544F5256")) +
       " ok=1 scsi=00\n";
  c += "2 D 0x0004D014 in=" + Record(true, 1, "00100000", "A18200001000") + " data=5A00 ok=1 scsi=00\n";
  c += "3 D 0x0004D014 in=" + Record(true, 1, "00020000", "A18F00000200") + " data=" +
       Block("00000000000000000000000000000000") + " ok=1 scsi=00\n";
  auto download = [&c](int seq, const std::string& numd, const std::string& ofst, const std::string& length,
                       const std::string& cdb, const std::string& bytes) {
    std::string s = std::to_string(seq);
    c += s + "1 D 0x0004D014 in=" + Record(true, 0, "00020000", "A18000000200") + " data=" +
         Block(NvmeCommand("1100000000000000", numd + ofst + std::string(32, '0'))) + " ok=1 scsi=00\n";
    c += s + "2 D 0x0004D014 in=" + Record(true, 0, length, cdb) + " data=" + bytes + " ok=1 scsi=00\n";
    c += s + "3 D 0x0004D014 in=" + Record(true, 1, "00020000", "A18F00000200") + " data=" +
         Block("00000000000000000000000000000100") + " ok=1 scsi=00\n";
  };
  download(4, "01000000", "00000000", "08000000", "A18300000008", "0102030405060708");
  download(5, "01000000", "02000000", "05000000", "A18300000005", "090A0B0C0D");
  c += "61 D 0x0004D014 in=" + Record(true, 0, "00020000", "A18000000200") + " data=" +
       Block(NvmeCommand("1000000000000000", "09000000" + std::string(40, '0'))) + " ok=1 scsi=00\n";
  c += "62 D 0x0004D014 in=" + Record(true, 2, "00000000", "A18100000000") + " ok=1 scsi=00\n";

  std::vector<fwcap::Command> commands = Decode(c);
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0].path, fwcap::Path::JMicron);
  EXPECT_EQ(commands[0].opcode, 0xE6);
  EXPECT_EQ(commands[0].nsid, 0xFFFFFFFFu);
  EXPECT_EQ(commands[0].cdw[0], 0x400u);
  EXPECT_EQ(commands[0].cdw[2], 3u);
  EXPECT_EQ(commands[0].cdw[4], 0x58454E41u);
  EXPECT_EQ(commands[0].cdw[5], 0x56524F54u);
  EXPECT_EQ(commands[0].dataLength, 4096u);
  EXPECT_EQ(commands[0].direction, '<');
  EXPECT_EQ(commands[0].status, 0);
  EXPECT_EQ(commands[1].cdw[1], 0u);
  EXPECT_EQ(commands[2].cdw[1], 2u);
  EXPECT_EQ(commands[3].opcode, 0x10);
  EXPECT_EQ(commands[3].cdw[0], 9u);
  EXPECT_EQ(commands[3].status, -1);  // its completion was never read
  std::vector<uint8_t> image;
  std::string message;
  ASSERT_TRUE(fwcap::ReassembleImage(commands, &image, &message)) << message;
  EXPECT_EQ(image, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
}

TEST(Fwcap, AsmediaPhasesOfA32BitRecordAndRefusedPieces) {
  // ASMedia with 32-bit records: the piece at OFST 0 is carried; a second piece at OFST 0 the
  // drive refused (status 0x0114 in its completion entry); a third one broke on CHECK CONDITION.
  std::string c;
  auto piece = [&c](int seq, const std::string& status, const std::string& scsi2) {
    std::string s = std::to_string(seq);
    c += s + "1 D 0x0004D014 in=" + Record(false, 0, "40000000", "EA5A8000" "02000000" "00000000" "00400000") +
         " data=" + NvmeCommand("1100000000000000", "00000000" + std::string(40, '0')) + " ok=1 scsi=00\n";
    c += s + "2 D 0x0004D014 in=" + Record(false, 0, "04000000", "EA5A8100" "02000000" "00000000" "00040000") +
         " data=CAFEF00D ok=1 scsi=" + scsi2 + "\n";
    c += s + "3 D 0x0004D014 in=" + Record(false, 1, "10000000", "EB5A8200" "02000000" "00000000" "00100000") +
         " data=000000000000000000000000" + status + " ok=1 scsi=00\n";
  };
  piece(1, "00000100", "00");
  piece(2, "00002902", "00");  // status field 0x114 << 17, phase tag set
  piece(3, "00000100", "02");
  std::vector<fwcap::Command> commands = Decode(c);
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].path, fwcap::Path::ASMedia);
  EXPECT_EQ(commands[0].direction, '>');
  EXPECT_EQ(commands[0].dataLength, 4u);
  EXPECT_EQ(commands[0].status, 0);
  EXPECT_EQ(commands[1].status, 0x114);
  EXPECT_FALSE(commands[2].carried);
  EXPECT_NE(fwcap::ListLine(commands[2]).find("not carried: data phase: SCSI status 02"), std::string::npos);
  std::vector<uint8_t> image;
  std::string message;
  ASSERT_TRUE(fwcap::ReassembleImage(commands, &image, &message)) << message;
  EXPECT_EQ(image, (std::vector<uint8_t>{0xCA, 0xFE, 0xF0, 0x0D}));
  EXPECT_NE(message.find("not committed"), std::string::npos);
}

TEST(Fwcap, NativeDownloadsMustMeetEndToEnd) {
  // IOCTL_STORAGE_FIRMWARE_DOWNLOAD: Version 40, Size, Flags 1, Slot 1, Offset, BufferSize, bytes.
  auto piece = [](int seq, const std::string& offset, const std::string& bytes) {
    return std::to_string(seq) + " D 0x002DDC04 in=28000000" "2C000000" "01000000" "01000000" + offset +
           "0400000000000000" + bytes + "00000000 ok=1\n";
  };
  std::string commit = "9 D 0x002DDC08 in=10000000100000000100000001000000 ok=1\n";
  std::vector<uint8_t> image;
  std::string message;

  std::vector<fwcap::Command> whole = Decode(piece(1, "0400000000000000", "55667788") +
                                             piece(2, "0000000000000000", "11223344") + commit);
  ASSERT_EQ(whole.size(), 3u);
  EXPECT_EQ(whole[0].opcode, 0x11);
  EXPECT_EQ(whole[0].cdw[0], 0u);  // NUMD of 4 bytes
  EXPECT_EQ(whole[0].cdw[1], 1u);  // OFST of byte 4
  EXPECT_EQ(whole[2].cdw[0], 9u);  // slot 1, action 1
  ASSERT_TRUE(fwcap::ReassembleImage(whole, &image, &message)) << message;
  EXPECT_EQ(image, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));

  std::vector<fwcap::Command> gap = Decode(piece(1, "0000000000000000", "11223344") +
                                           piece(2, "0800000000000000", "55667788") + commit);
  EXPECT_FALSE(fwcap::ReassembleImage(gap, &image, &message));
  EXPECT_EQ(message, "the download leaves a gap at byte 4");
  std::vector<fwcap::Command> overlap = Decode(piece(1, "0000000000000000", "11223344") +
                                               piece(2, "0000000000000000", "55667788") + commit);
  EXPECT_FALSE(fwcap::ReassembleImage(overlap, &image, &message));
  EXPECT_FALSE(fwcap::ReassembleImage(Decode(commit), &image, &message));
  EXPECT_EQ(message, "no firmware download in the capture");
  // Truncated records decode to nothing rather than past their bytes.
  EXPECT_TRUE(Decode("1 D 0x002DDC04 in=2800 ok=1\n2 D 0x002DD3C0 in=01 ok=1\n3 D 0x0004D014 in=3800 ok=1\n").empty());
}

TEST(Fwcap, NativeCommitActivatedByAResetAndTheFirmwareInformation) {
  // A native activate that failed with 0x30207 (197127) was committed: listed with the drive's
  // completion status. Any other error is a commit that was not carried.
  std::vector<fwcap::Command> commits =
      Decode("1 D 0x002DDC08 in=10000000100000000100000001000000 ok=0 error=197127 nvme=010B\n"
             "2 D 0x002DDC08 in=10000000100000000100000001000000 ok=0 error=1117 nvme=0107\n");
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_TRUE(commits[0].carried);
  EXPECT_EQ(commits[0].status, 0x10B);
  EXPECT_NE(fwcap::ListLine(commits[0]).find("   010B"), std::string::npos) << fwcap::ListLine(commits[0]);
  EXPECT_FALSE(commits[1].carried);
  // IOCTL_STORAGE_FIRMWARE_GET_INFO: STORAGE_HW_FIRMWARE_INFO_QUERY (Version 16, Size 16, Flags 1);
  // the driver reads the firmware slot log page, LID 3, 512 bytes.
  std::vector<fwcap::Command> info = Decode(
      "3 D 0x002D1C00 in=10000000100000000100000000000000 out=380000003800000001010101010000000010000000000200"
      "2000000020000000010000000000000051563141304231320000000000000000 ok=1 nvme=0000\n");
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].opcode, 0x02);
  EXPECT_EQ(info[0].cdw[0], 0x007F0003u);
  EXPECT_EQ(info[0].dataLength, 512u);
  EXPECT_EQ(info[0].direction, '<');
  EXPECT_TRUE(info[0].carried);
}
