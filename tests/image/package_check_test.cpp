// The package check: the sample package passes; each kind of damage gives its own finding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_env.h"
#include "tools/sample/package_check.h"
#include "tools/sample/sample_package.h"
#include "tools/sample/zip_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

class PackageCheck : public testenv::Environment {
 protected:
  std::vector<ZipMember> Sample() {
    std::vector<ZipMember> members(2);
    std::string ini = MakeSampleIni();
    members[0].name = "QuorvelaInfo.ini";
    members[0].data.assign(ini.begin(), ini.end());
    members[1].name = "Micron-B47R.fw";
    members[1].data = MakeSampleImage();
    return members;
  }
  std::vector<ZipMember> WithIni(const std::string& ini) {
    std::vector<ZipMember> members = Sample();
    members[0].data.assign(ini.begin(), ini.end());
    return members;
  }
  std::vector<ZipMember> WithImage(const Bytes& image, const std::string& name = "Micron-B47R.fw") {
    std::vector<ZipMember> members = Sample();
    members[1].data = image;
    members[1].name = name;
    return members;
  }
  CheckReport Check(const std::vector<ZipMember>& members) { return CheckBytes(BuildZip(members)); }
  CheckReport CheckBytes(const Bytes& zip) {
    std::string path = Scratch() + "/package-" + std::to_string(count_++) + ".zip";
    EXPECT_TRUE(WriteBytesToFile(path, zip));
    CheckReport report;
    CheckPackage(testenv::Widen(path).c_str(), &report);
    return report;
  }
  static std::string Lines(const CheckReport& r) {
    std::string all;
    for (const CheckFinding& f : r.findings) all += FormatFinding(f) + "\n";
    return all;
  }
  // Whether the report has a finding of this level about subject whose text contains part.
  static bool Has(const CheckReport& r, CheckLevel level, const std::string& subject,
                  const std::string& part) {
    for (const CheckFinding& f : r.findings)
      if (f.level == level && f.subject == subject && f.text.find(part) != std::string::npos) return true;
    return false;
  }
  int count_ = 0;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST_F(PackageCheck, TheSamplePackagePasses) {
  std::string zip = Scratch() + "/sample.zip";
  ASSERT_TRUE(WriteSamplePackage(zip));
  CheckReport report;
  CheckPackage(testenv::Widen(zip).c_str(), &report);
  EXPECT_EQ(0, report.errors) << Lines(report);
  EXPECT_EQ(0, report.warnings) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Ok, "Micron-B47R.fw", "internal version 3.2.F.2F")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Ok, "Micron-B47R.fw", "163 pages")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Ok, "FWVersion", "2 revisions")) << Lines(report);
}

TEST_F(PackageCheck, AnUnpackedFolderIsCheckedToo) {
  std::string ini = MakeSampleIni();
  ASSERT_TRUE(WriteBytesToFile(Scratch() + "/QuorvelaInfo.ini", Bytes(ini.begin(), ini.end())));
  ASSERT_TRUE(WriteBytesToFile(Scratch() + "/Micron-B47R.fw", MakeSampleImage()));
  ASSERT_TRUE(WriteBytesToFile(Scratch() + "/notes.txt", Bytes{'x'}));
  CheckReport report;
  CheckPackage(ScratchW().c_str(), &report);
  EXPECT_EQ(0, report.errors) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Warning, "notes.txt", "not used")) << Lines(report);
}

TEST_F(PackageCheck, InformationFileValues) {
  std::string ini = MakeSampleIni();
  ini = Replace(ini, "TITLE=Quorvela Q7 Firmware Update (sample package)\r\n", "");
  ini = Replace(ini, "SOCID=7C63", "SOCID=7c63");
  ini = Replace(ini, "FWVersion=3.2.F.P7;3.2.F.2A", "FWVersion=" + std::string(258, 'V'));
  ini = Replace(ini, "NEWVERSION=3.2.F.2A", "NEWVERSION=");
  ini = Replace(ini, "iInternalFWVersionCheckPart=3", "iInternalFWVersionCheckPart=three");
  ini = Replace(ini, "BeforeMessage=Warning ! ", "BeforeMessage=" + std::string(950, 'w'));
  ini = Replace(ini, "PowerCtrl=2", "PowerCtrl=258");
  CheckReport report = Check(WithIni(ini));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "TITLE", "Package Error")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "SOCID", "\"7c63\"")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "FWVersion", "258 characters")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "NEWVERSION", "empty")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "iInternalFWVersionCheckPart", "three")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "BeforeMessage", "at most 999")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "PowerCtrl", "258")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Ok, "AfterMessage", "")) << Lines(report);
  EXPECT_EQ(7, report.errors) << Lines(report);
}

TEST_F(PackageCheck, LimitsThatStillFit) {
  std::string ini = MakeSampleIni();
  ini = Replace(ini, "FWVersion=3.2.F.P7;3.2.F.2A", "FWVersion=" + std::string(257, 'V'));
  ini = Replace(ini, "SOCID=7C63", "SOCID=*");
  ini = Replace(ini, "NEWVERSION=3.2.F.2A", "NEWVERSION=keep");
  ini = Replace(ini, "PowerCtrl=2", "PowerCtrl=0");
  // 995 characters; the one <BR> becomes two, 993 in all.
  ini = Replace(ini, "AfterMessage=Update FW OK !<BR>Reboot System Now ?",
                "AfterMessage=" + std::string(991, 'a') + "<BR>");
  CheckReport report = Check(WithIni(ini));
  EXPECT_EQ(0, report.errors) << Lines(report);
}

TEST_F(PackageCheck, ImageNamesMustBeFlashTypeNames) {
  CheckReport report = Check(WithImage(MakeSampleImage(), "Micron-B99Z.fw"));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "Micron-B99Z.fw", "not a known flash type name"))
      << Lines(report);
  EXPECT_EQ(1, report.errors) << Lines(report);
  report = Check(WithImage(MakeSampleImage(), "Unknow.fw"));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "Unknow.fw", "not a known")) << Lines(report);
  std::vector<ZipMember> none = Sample();
  none.pop_back();
  report = Check(none);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "package", "no .fw image")) << Lines(report);
}

TEST_F(PackageCheck, ImageDamage) {
  const Bytes sample = MakeSampleImage();

  Bytes partial = sample;
  partial.resize(partial.size() + 10);
  CheckReport report = Check(WithImage(partial));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "Micron-B47R.fw", "not a whole number of 4096-byte pages"))
      << Lines(report);

  Bytes flipped = sample;
  flipped[50 * 4096 + 17] ^= 0x01;
  report = Check(WithImage(flipped));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "Micron-B47R.fw", "trailer holds CRC")) << Lines(report);
  EXPECT_EQ(1, report.errors) << Lines(report);

  Bytes outside = sample;
  outside[32] = 0xA2;  // range 2 becomes (162, 162): the page after it, the trailer, would be
  outside[36] = 0xA2;  // page 163, one past the end
  report = Check(WithImage(outside));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "Micron-B47R.fw", "lie outside the image's 163 pages"))
      << Lines(report);

  Bytes plain = sample;
  plain[0] = 'X';
  report = Check(WithImage(plain));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "Micron-B47R.fw", "no CMFG page table")) << Lines(report);

  Bytes noVersion = sample;
  noVersion[138610] = '_';
  report = Check(WithImage(noVersion));
  EXPECT_TRUE(Has(report, CheckLevel::Error, "Micron-B47R.fw", "no internal version")) << Lines(report);
}

TEST_F(PackageCheck, ArchiveDamage) {
  Bytes zip = BuildZip(Sample());
  // A byte of the stored information file: its CRC no longer matches and it does not extract.
  zip[30 + 16 + 20] ^= 0x20;
  CheckReport report = CheckBytes(zip);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "entry 0 QuorvelaInfo.ini", "")) << Lines(report);
  EXPECT_TRUE(Has(report, CheckLevel::Error, "QuorvelaInfo.ini", "missing")) << Lines(report);

  report = CheckBytes(Bytes{'n', 'o', 't', ' ', 'a', ' ', 'z', 'i', 'p'});
  EXPECT_GE(report.errors, 1) << Lines(report);

  CheckReport missing;
  CheckPackage((ScratchW() + u"/no-such-package.zip").c_str(), &missing);
  EXPECT_EQ(1, missing.errors) << Lines(missing);
}

}  // namespace
