// The sample package: a synthetic firmware image and the package information file that goes with
// it, packed into a ZIP archive. The image is no firmware at all; it only has the layout the
// updater reads and patches, so that the updater, the emulated drives and the tools have a
// package to work with.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t SAMPLE_PAGE_BYTES = 4096;
constexpr uint32_t SAMPLE_IMAGE_PAGES = 163;
constexpr uint32_t SAMPLE_IMAGE_BYTES = SAMPLE_IMAGE_PAGES * SAMPLE_PAGE_BYTES;  // 667,648
constexpr uint32_t SAMPLE_CONFIG_PAGE = 161;   // first (and only) page of range 2
constexpr uint32_t SAMPLE_TRAILER_PAGE = 162;  // the page after range 2, the last one
// Where the internal version string begins: page 33, byte 3441.
constexpr uint32_t SAMPLE_VERSION_OFFSET = 138609;

constexpr char SAMPLE_IMAGE_NAME[] = "Micron-B47R.fw";
constexpr char SAMPLE_INI_NAME[] = "QuorvelaInfo.ini";
constexpr char SAMPLE_INTERNAL_VERSION[] = "3.2.F.2F";
constexpr char SAMPLE_NEW_VERSION[] = "3.2.F.2A";
constexpr char SAMPLE_MODEL_NAME[] = "QUORVELA Q7";
constexpr char SAMPLE_TITLE[] = "Quorvela Q7 Firmware Update (sample package)";

// The synthetic image: SAMPLE_IMAGE_BYTES bytes, the same every time.
std::vector<uint8_t> MakeSampleImage();
// The text of QuorvelaInfo.ini (CR LF line ends).
std::string MakeSampleIni();
// The archive: QuorvelaInfo.ini stored, Micron-B47R.fw deflated.
std::vector<uint8_t> MakeSamplePackage();
// Writes the archive to a host path; false when it cannot be written.
bool WriteSamplePackage(const std::string& path);
