// The emulated NVMe controller: it executes admin commands given as the 64-byte submission queue
// entry and their data, whatever path carried them (the storage driver or a USB bridge). It
// answers Identify, the vendor information and configuration commands, Firmware Image Download
// and Firmware Commit, and keeps one firmware slot: a committed image becomes active at the next
// controller reset, when its CMFG checksum is right.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "emu/drive_description.h"

namespace emu {

// Completion status: status code type << 8 | status code.
constexpr uint16_t NVME_SUCCESS = 0x0000;
constexpr uint16_t NVME_INVALID_OPCODE = 0x0001;
constexpr uint16_t NVME_INVALID_FIELD = 0x0002;
constexpr uint16_t NVME_INVALID_NAMESPACE = 0x000B;
constexpr uint16_t NVME_INVALID_FIRMWARE_SLOT = 0x0106;
constexpr uint16_t NVME_INVALID_FIRMWARE_IMAGE = 0x0107;
constexpr uint16_t NVME_OVERLAPPING_RANGE = 0x0114;

constexpr uint32_t VENDOR_BLOCK_SIZE = 4096;
constexpr uint32_t IDENTIFY_SIZE = 4096;
// The signature of every vendor command: "TORVANEX", CDW15 holding "TORV" and CDW14 "ANEX".
constexpr uint32_t VENDOR_SIGNATURE_CDW14 = 0x58454E41;
constexpr uint32_t VENDOR_SIGNATURE_CDW15 = 0x56524F54;
// The most a download may assemble; pieces beyond it are refused.
constexpr uint64_t MAX_FIRMWARE_IMAGE = 64ull << 20;

// Which way data moves, as the carrying path saw it.
enum class DataDirection : uint8_t { None = 0, ToDevice = 1, FromDevice = 2 };

struct NvmeCompletion {
  uint16_t status = NVME_SUCCESS;
  uint32_t dw0 = 0;
  uint32_t transferred = 0;  // data bytes moved to or from the host
  // The 16-byte completion queue entry: DW0, DW1, SQ head and ID, command ID, phase and status.
  void Entry(uint8_t out[16], uint16_t commandId) const;
};

// What the last controller reset did with a committed image.
enum class Activation : uint8_t {
  None,          // nothing was waiting
  Activated,     // the image runs now
  NotCmfg,       // refused: no "CMFG" magic, or not whole pages
  BadLayout,     // refused: its page ranges or trailer lie outside the image
  BadChecksum,   // refused: the CRC in the trailer does not match
  KeptOld,       // an injected fault: the old firmware kept running and the image was dropped
  AwaitsPowerOff,  // a reset with power kept on a drive that activates only at a power-off: the
                   // image still waits, and the running firmware keeps its name
};

// What a controller holds that outlives a process of the bench: its firmware, the slot, the
// blocks a host may write, and a download under way. A bench state file carries it between runs.
struct ControllerState {
  std::string firmwareName;  // Identify Controller bytes 64-71, without trailing blanks
  std::vector<uint8_t> activeImage;
  std::vector<uint8_t> slotImage;
  bool activationPending = false;
  std::vector<uint8_t> config;  // VENDOR_BLOCK_SIZE bytes
  std::vector<uint8_t> legacy;  // VENDOR_BLOCK_SIZE bytes
  struct Piece {
    uint64_t offset = 0;
    uint64_t length = 0;  // what the command claimed; bytes may hold fewer at the image's end
    std::vector<uint8_t> bytes;
  };
  std::vector<Piece> pieces;
};

class NvmeController {
 public:
  explicit NvmeController(const DriveDescription& description);

  // One admin command. `data` holds `length` bytes: what the host sent (ToDevice), or room for
  // the reply (FromDevice), which the controller fills up to what the command returns.
  NvmeCompletion Execute(const uint8_t command[64], DataDirection direction, uint8_t* data,
                         uint32_t length);
  // The pieces of Execute that the storage driver's own requests reach directly.
  NvmeCompletion Identify(uint32_t cns, uint32_t nsid, uint8_t* data, uint32_t length);
  NvmeCompletion DownloadPiece(uint64_t byteOffset, const uint8_t* data, uint32_t length,
                               uint64_t pieceLength);
  NvmeCompletion Commit(uint32_t slot, uint32_t action);

  // A controller reset: a committed image is checked and activated, its configuration region
  // becomes the configuration block, and the firmware name is taken anew. With keepOld the
  // activation goes wrong as some drives' does: the committed image is dropped, the old firmware
  // keeps running under its old name, and it sets that name back where a host rewrote it. A drive
  // that activates only at a power-off keeps a committed image waiting through a reset that kept
  // its power (powerLost false).
  void Reset(bool keepOld = false, bool powerLost = true);
  // Whether a reset with power kept leaves a committed image waiting.
  bool ActivatesAtPowerOffOnly() const { return activatesAtPowerOff_; }

  // The state a bench state file keeps; Restore takes one back (false when a block has the
  // wrong size, a piece lies beyond the largest image or overlaps another, and nothing changes).
  ControllerState State() const;
  bool Restore(const ControllerState& state);

  // What the drive holds, for tests and the bench.
  std::string FirmwareName() const;  // Identify Controller bytes 64-71 without trailing blanks
  const std::vector<uint8_t>& ActiveImage() const { return activeImage_; }
  const std::vector<uint8_t>& SlotImage() const { return slotImage_; }
  bool ActivationPending() const { return activatePending_; }
  Activation LastActivation() const { return lastActivation_; }
  uint32_t Resets() const { return resets_; }
  const std::array<uint8_t, VENDOR_BLOCK_SIZE>& ConfigBlock() const { return config_; }
  const std::array<uint8_t, VENDOR_BLOCK_SIZE>& LegacyBlock() const { return legacy_; }
  const std::array<uint8_t, VENDOR_BLOCK_SIZE>& FlashInfoBlock() const { return flashInfo_; }
  std::array<uint8_t, IDENTIFY_SIZE> IdentifyController() const;
  std::array<uint8_t, IDENTIFY_SIZE> IdentifyNamespace() const;
  // Bytes assembled by downloads since the last commit or reset.
  size_t DownloadedPieces() const { return pieces_.size(); }

 private:
  NvmeCompletion Vendor(const uint8_t command[64], DataDirection direction, uint8_t* data,
                        uint32_t length);
  Activation Activate(const std::vector<uint8_t>& image);
  bool AssembleDownload(std::vector<uint8_t>* image) const;

  DriveIdentity identity_;
  bool keepsNameInConfig_;  // a drive with the flash information block names itself by its config
  bool answersFlashInfo_;
  bool activatesAtPowerOff_;
  std::array<uint8_t, 8> firmwareName_{};  // Identify Controller bytes 64-71
  std::array<uint8_t, VENDOR_BLOCK_SIZE> flashInfo_{};
  std::array<uint8_t, VENDOR_BLOCK_SIZE> legacy_{};
  std::array<uint8_t, VENDOR_BLOCK_SIZE> config_{};
  std::vector<uint8_t> activeImage_;
  std::vector<uint8_t> slotImage_;
  bool activatePending_ = false;
  Activation lastActivation_ = Activation::None;
  uint32_t resets_ = 0;
  // Download pieces by byte offset: the bytes received and the length the command claimed.
  struct Piece {
    std::vector<uint8_t> bytes;
    uint64_t length;
  };
  std::map<uint64_t, Piece> pieces_;
};

// Fills the three vendor blocks of a drive as its description says (4096 bytes each).
void ComposeFlashInfoBlock(const DriveDescription& description, uint8_t block[VENDOR_BLOCK_SIZE]);
void ComposeLegacyBlock(const DriveDescription& description, uint8_t block[VENDOR_BLOCK_SIZE]);
void ComposeConfigBlock(const DriveDescription& description, uint8_t block[VENDOR_BLOCK_SIZE]);

// The checksum a CMFG image carries in its trailer page, computed over what the image covers.
// False when the image is not CMFG or its ranges do not fit.
bool CmfgChecksum(const uint8_t* image, size_t size, uint32_t* crc, size_t* trailerOffset);

}  // namespace emu
