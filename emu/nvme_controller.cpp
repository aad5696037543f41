#include "emu/nvme_controller.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace emu {

namespace {

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// A text field as the drive holds it: the bytes, then `pad` up to the width.
void PutText(uint8_t* p, size_t width, const std::string& text, uint8_t pad) {
  std::memset(p, pad, width);
  std::memcpy(p, text.data(), std::min(width, text.size()));
}

// Command dword n (0-15) of a submission queue entry.
uint32_t Dword(const uint8_t command[64], int n) { return Get32(command + 4 * n); }

// Bits 1:0 of an opcode name its data transfer: 01 host to controller, 10 controller to host.
DataDirection OpcodeDirection(uint8_t opcode) {
  switch (opcode & 3) {
    case 1: return DataDirection::ToDevice;
    case 2: return DataDirection::FromDevice;
    default: return DataDirection::None;
  }
}

NvmeCompletion Status(uint16_t status) {
  NvmeCompletion c;
  c.status = status;
  return c;
}

// Configuration block fields the drive itself fills.
constexpr size_t CONFIG_WORKORDER = 528;
constexpr size_t CONFIG_VID = 1032;
constexpr size_t CONFIG_DID = 1034;
constexpr size_t CONFIG_SSVID = 1036;
constexpr size_t CONFIG_SSDID = 1038;
constexpr size_t CONFIG_SERIAL = 1040;
constexpr size_t CONFIG_FW_NAME = 1064;
constexpr size_t CONFIG_MODEL = 1072;
constexpr size_t CONFIG_CAPACITY = 1592;
constexpr size_t LEGACY_FW_NAME = 88;
constexpr size_t LEGACY_WRITABLE = 144;  // the part of the legacy block a write replaces

constexpr size_t PAGE = 4096;

}  // namespace

void NvmeCompletion::Entry(uint8_t out[16], uint16_t commandId) const {
  std::memset(out, 0, 16);
  Put32(out, dw0);
  // DW3: command identifier in bits 15:0, phase tag in bit 16, status field in bits 31:17.
  uint32_t dw3 = commandId | 1u << 16 | static_cast<uint32_t>(status & 0x7FF) << 17;
  Put32(out + 12, dw3);
}

void ComposeFlashInfoBlock(const DriveDescription& description, uint8_t block[VENDOR_BLOCK_SIZE]) {
  std::memset(block, 0, VENDOR_BLOCK_SIZE);
  block[0] = description.flashInfo.marker;
  Put16(block + 2, description.flashInfo.socId);
  std::memcpy(block + 16, description.flashInfo.flashId.data(), 6);
  PutText(block + 32, 8, description.flashInfo.internalVersion, 0);
}

void ComposeLegacyBlock(const DriveDescription& description, uint8_t block[VENDOR_BLOCK_SIZE]) {
  const LegacyBlockDescription& l = description.legacy;
  if (l.raw.size() == VENDOR_BLOCK_SIZE) {
    std::memcpy(block, l.raw.data(), VENDOR_BLOCK_SIZE);
    return;
  }
  std::memset(block, 0, VENDOR_BLOCK_SIZE);
  PutText(block + LEGACY_FW_NAME, 8, description.firmware.name, 0);
  Put16(block + 280, l.layoutMarker);
  block[295] = l.entryFactor1;
  block[296] = l.entryFactor2;
  // Entries up to the SoC ID field at 1582: at most 38 of them.
  std::vector<std::array<uint8_t, 6>> ids = l.flashIds;
  if (ids.empty()) ids.push_back(description.flashInfo.flashId);
  for (size_t i = 0; i < ids.size() && 1352 + 6 * (i + 1) <= 1582; ++i)
    std::memcpy(block + 1352 + 6 * i, ids[i].data(), 6);
  Put16(block + 1582, l.socId);
}

void ComposeConfigBlock(const DriveDescription& description, uint8_t block[VENDOR_BLOCK_SIZE]) {
  const ConfigBlockDescription& c = description.config;
  if (c.raw.size() == VENDOR_BLOCK_SIZE) {
    std::memcpy(block, c.raw.data(), VENDOR_BLOCK_SIZE);
    return;
  }
  std::memset(block, 0, VENDOR_BLOCK_SIZE);
  std::memcpy(block, "CONF", 4);
  PutText(block + CONFIG_WORKORDER, 20, c.workorder, 0);
  Put16(block + CONFIG_VID, description.identity.vendorId);
  Put16(block + CONFIG_DID, c.deviceId);
  Put16(block + CONFIG_SSVID, description.identity.subsystemVendorId);
  Put16(block + CONFIG_SSDID, c.subsystemDeviceId);
  PutText(block + CONFIG_SERIAL, 20, description.identity.serial, 0);
  PutText(block + CONFIG_FW_NAME, 8, description.firmware.name, 0);
  PutText(block + CONFIG_MODEL, 40, description.identity.model, 0);
  Put16(block + CONFIG_CAPACITY, c.capacityGb);
}

bool CmfgChecksum(const uint8_t* image, size_t size, uint32_t* crc, size_t* trailerOffset) {
  if (size < PAGE || size % PAGE != 0 || std::memcmp(image, "CMFG", 4) != 0) return false;
  uint64_t pages = size / PAGE;
  uint32_t first[3], last[3];
  for (int r = 0; r < 3; ++r) {
    first[r] = Get32(image + 16 + 8 * r);
    last[r] = Get32(image + 20 + 8 * r);
    if (first[r] > last[r] || last[r] >= pages) return false;
  }
  if (static_cast<uint64_t>(last[2]) + 1 >= pages) return false;  // no room for the trailer
  // Page 0 counts with everything after the table as zero bytes.
  static const uint8_t zeros[PAGE] = {};
  uLong c = crc32(0L, image, 80);
  c = crc32(c, zeros, PAGE - 80);
  for (int r = 0; r < 3; ++r) {
    size_t from = static_cast<size_t>(first[r]) * PAGE;
    size_t length = (static_cast<size_t>(last[r]) - first[r] + 1) * PAGE;
    c = crc32(c, image + from, static_cast<uInt>(length));
  }
  *crc = static_cast<uint32_t>(c);
  *trailerOffset = (static_cast<size_t>(last[2]) + 1) * PAGE;
  return true;
}

NvmeController::NvmeController(const DriveDescription& description)
    : identity_(description.identity),
      keepsNameInConfig_(description.flashInfo.answers),
      answersFlashInfo_(description.flashInfo.answers),
      activatesAtPowerOff_(description.behaviour.activation == ActivationAt::PowerOff),
      activeImage_(description.firmware.image) {
  PutText(firmwareName_.data(), 8, description.firmware.name, ' ');
  ComposeFlashInfoBlock(description, flashInfo_.data());
  ComposeLegacyBlock(description, legacy_.data());
  ComposeConfigBlock(description, config_.data());
  if (identity_.lbaFormats.empty()) identity_.lbaFormats.push_back(LbaFormat{});
  if (identity_.lbaFormats.size() > 16) identity_.lbaFormats.resize(16);
}

std::string NvmeController::FirmwareName() const {
  std::string name(firmwareName_.begin(), firmwareName_.end());
  while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
  return name;
}

std::array<uint8_t, IDENTIFY_SIZE> NvmeController::IdentifyController() const {
  std::array<uint8_t, IDENTIFY_SIZE> d{};
  Put16(&d[0], identity_.vendorId);
  Put16(&d[2], identity_.subsystemVendorId);
  PutText(&d[4], 20, identity_.serial, ' ');
  PutText(&d[24], 40, identity_.model, ' ');
  std::memcpy(&d[64], firmwareName_.data(), 8);
  d[72] = 0;                                 // RAB
  d[73] = 0x38, d[74] = 0x4B, d[75] = 0x1E;  // IEEE OUI
  d[77] = 5;                                 // MDTS: 128 KiB
  Put16(&d[78], 1);                          // CNTLID
  Put32(&d[80], 0x00010400);                 // VER 1.4
  Put16(&d[256], 0x0004);                    // OACS: Firmware Commit and Image Download
  d[258] = 3;                                // ACL
  d[259] = 3;                                // AERL
  d[260] = 0x02;                             // FRMW: one slot, slot 1 writable
  d[261] = 0x02;                             // LPA
  d[319] = 1;                                // FWUG: 4 KiB
  d[512] = 0x66;                             // SQES
  d[513] = 0x44;                             // CQES
  Put32(&d[516], 1);                         // NN
  return d;
}

std::array<uint8_t, IDENTIFY_SIZE> NvmeController::IdentifyNamespace() const {
  std::array<uint8_t, IDENTIFY_SIZE> d{};
  Put64(&d[0], identity_.namespaceBlocks);   // NSZE
  Put64(&d[8], identity_.namespaceBlocks);   // NCAP
  Put64(&d[16], identity_.namespaceBlocks);  // NUSE
  d[25] = static_cast<uint8_t>(identity_.lbaFormats.size() - 1);  // NLBAF, zero-based
  d[26] = identity_.flbas;
  for (size_t i = 0; i < identity_.lbaFormats.size(); ++i) {
    const LbaFormat& f = identity_.lbaFormats[i];
    Put16(&d[128 + 4 * i], f.metadataSize);
    d[130 + 4 * i] = f.lbads;
    d[131 + 4 * i] = f.relativePerformance & 3;
  }
  return d;
}

NvmeCompletion NvmeController::Identify(uint32_t cns, uint32_t nsid, uint8_t* data, uint32_t length) {
  std::array<uint8_t, IDENTIFY_SIZE> reply{};
  switch (cns) {
    case 1:
      reply = IdentifyController();
      break;
    case 0:
      if (nsid == 1) {
        reply = IdentifyNamespace();
      } else if (nsid == 0xFFFFFFFF) {
        // The capabilities common to all namespaces: formats, no sizes.
        reply = IdentifyNamespace();
        std::memset(reply.data(), 0, 24);
      } else {
        return Status(NVME_INVALID_NAMESPACE);
      }
      break;
    case 2:  // active namespace list
      Put32(&reply[0], nsid < 1 ? 1 : 0);
      break;
    default:
      return Status(NVME_INVALID_FIELD);
  }
  NvmeCompletion c;
  c.transferred = std::min<uint32_t>(length, IDENTIFY_SIZE);
  if (data != nullptr) std::memcpy(data, reply.data(), c.transferred);
  return c;
}

NvmeCompletion NvmeController::DownloadPiece(uint64_t byteOffset, const uint8_t* data, uint32_t length,
                                             uint64_t pieceLength) {
  if (pieceLength == 0 || byteOffset % 4 != 0 || byteOffset + pieceLength > MAX_FIRMWARE_IMAGE)
    return Status(NVME_INVALID_FIELD);
  // A piece may not cover bytes another piece already holds.
  auto next = pieces_.lower_bound(byteOffset);
  if (next != pieces_.end() && next->first < byteOffset + pieceLength) return Status(NVME_OVERLAPPING_RANGE);
  if (next != pieces_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second.length > byteOffset) return Status(NVME_OVERLAPPING_RANGE);
  }
  Piece piece;
  size_t take = static_cast<size_t>(std::min<uint64_t>(length, pieceLength));
  piece.bytes.assign(data, data + take);
  piece.length = pieceLength;
  pieces_.emplace(byteOffset, std::move(piece));
  NvmeCompletion c;
  c.transferred = static_cast<uint32_t>(take);
  return c;
}

bool NvmeController::AssembleDownload(std::vector<uint8_t>* image) const {
  image->clear();
  uint64_t expected = 0;
  for (auto it = pieces_.begin(); it != pieces_.end(); ++it) {
    if (it->first != expected) return false;  // a gap
    // Only the last piece may carry fewer bytes than its command claimed (a tail that is not a
    // whole number of dwords).
    if (it->second.bytes.size() != it->second.length && std::next(it) != pieces_.end()) return false;
    image->insert(image->end(), it->second.bytes.begin(), it->second.bytes.end());
    expected = it->first + it->second.length;
  }
  return !image->empty();
}

NvmeCompletion NvmeController::Commit(uint32_t slot, uint32_t action) {
  if (slot > 1) return Status(NVME_INVALID_FIRMWARE_SLOT);
  switch (action) {
    case 0:  // replace the image in the slot
    case 1: {  // replace it and activate it at the next reset
      std::vector<uint8_t> image;
      if (!AssembleDownload(&image)) return Status(NVME_INVALID_FIRMWARE_IMAGE);
      slotImage_ = std::move(image);
      pieces_.clear();
      activatePending_ = action == 1;
      return Status(NVME_SUCCESS);
    }
    case 2:  // activate the slot's image at the next reset
      if (slotImage_.empty()) return Status(NVME_INVALID_FIRMWARE_IMAGE);
      activatePending_ = true;
      return Status(NVME_SUCCESS);
    default:  // activation without a reset is not supported (FRMW bit 4 is clear)
      return Status(NVME_INVALID_FIELD);
  }
}

Activation NvmeController::Activate(const std::vector<uint8_t>& image) {
  uint32_t crc = 0;
  size_t trailer = 0;
  if (image.size() < PAGE || image.size() % PAGE != 0 || std::memcmp(image.data(), "CMFG", 4) != 0)
    return Activation::NotCmfg;
  if (!CmfgChecksum(image.data(), image.size(), &crc, &trailer)) return Activation::BadLayout;
  if (Get32(image.data() + trailer + 12) != crc) return Activation::BadChecksum;
  activeImage_ = image;
  size_t region = static_cast<size_t>(Get32(image.data() + 32)) * PAGE;  // range 2, first page
  std::memcpy(config_.data(), image.data() + region, VENDOR_BLOCK_SIZE);
  return Activation::Activated;
}

void NvmeController::Reset(bool keepOld, bool powerLost) {
  ++resets_;
  pieces_.clear();
  if (activatePending_ && activatesAtPowerOff_ && !powerLost) {
    // The old firmware starts again and keeps its own name; the name the host wrote for the new
    // image waits with it.
    lastActivation_ = Activation::AwaitsPowerOff;
    return;
  }
  uint8_t* name = keepsNameInConfig_ ? config_.data() + CONFIG_FW_NAME : legacy_.data() + LEGACY_FW_NAME;
  if (activatePending_ && keepOld) {
    activatePending_ = false;
    slotImage_.clear();
    lastActivation_ = Activation::KeptOld;
    std::string old = FirmwareName();
    PutText(name, 8, old, 0);
    return;
  }
  if (activatePending_) {
    activatePending_ = false;
    lastActivation_ = Activate(slotImage_);
  } else {
    lastActivation_ = Activation::None;
  }
  // The firmware names itself from what it keeps: the configuration block, or on a drive of the
  // older kind the legacy block. An empty field leaves the name as it was.
  bool any = false;
  for (int i = 0; i < 8; ++i) any = any || name[i] != 0;
  if (any)
    for (int i = 0; i < 8; ++i) firmwareName_[i] = name[i] != 0 ? name[i] : ' ';
}

ControllerState NvmeController::State() const {
  ControllerState state;
  state.firmwareName = FirmwareName();
  state.activeImage = activeImage_;
  state.slotImage = slotImage_;
  state.activationPending = activatePending_;
  state.config.assign(config_.begin(), config_.end());
  state.legacy.assign(legacy_.begin(), legacy_.end());
  for (const auto& [offset, piece] : pieces_) state.pieces.push_back({offset, piece.length, piece.bytes});
  return state;
}

bool NvmeController::Restore(const ControllerState& state) {
  if (state.config.size() != VENDOR_BLOCK_SIZE || state.legacy.size() != VENDOR_BLOCK_SIZE ||
      state.firmwareName.size() > 8 || state.activeImage.size() > MAX_FIRMWARE_IMAGE ||
      state.slotImage.size() > MAX_FIRMWARE_IMAGE)
    return false;
  std::map<uint64_t, Piece> pieces;
  uint64_t end = 0;
  for (const ControllerState::Piece& p : state.pieces) {
    // In offset order, each within the largest image and after the one before it, holding at
    // most what it claims.
    if (p.length == 0 || p.offset < end || p.offset > MAX_FIRMWARE_IMAGE || p.length > MAX_FIRMWARE_IMAGE - p.offset ||
        p.bytes.size() > p.length)
      return false;
    end = p.offset + p.length;
    pieces.emplace(p.offset, Piece{p.bytes, p.length});
  }
  PutText(firmwareName_.data(), 8, state.firmwareName, ' ');
  activeImage_ = state.activeImage;
  slotImage_ = state.slotImage;
  activatePending_ = state.activationPending;
  std::memcpy(config_.data(), state.config.data(), VENDOR_BLOCK_SIZE);
  std::memcpy(legacy_.data(), state.legacy.data(), VENDOR_BLOCK_SIZE);
  pieces_ = std::move(pieces);
  return true;
}

NvmeCompletion NvmeController::Vendor(const uint8_t command[64], DataDirection direction, uint8_t* data,
                                      uint32_t length) {
  uint8_t opcode = command[0];
  // Framing shared by every vendor command: all namespaces, a dword count of the 4096-byte block,
  // CDW11 and CDW13 clear, the signature, the transfer the opcode names.
  if (Dword(command, 1) != 0xFFFFFFFF) return Status(NVME_INVALID_NAMESPACE);
  if (Dword(command, 10) != VENDOR_BLOCK_SIZE / 4 || Dword(command, 11) != 0 || Dword(command, 13) != 0 ||
      Dword(command, 14) != VENDOR_SIGNATURE_CDW14 || Dword(command, 15) != VENDOR_SIGNATURE_CDW15)
    return Status(NVME_INVALID_FIELD);
  if (direction != OpcodeDirection(opcode) || length != VENDOR_BLOCK_SIZE || data == nullptr)
    return Status(NVME_INVALID_FIELD);
  uint32_t sub = Dword(command, 12);
  NvmeCompletion done;
  done.transferred = VENDOR_BLOCK_SIZE;
  switch (opcode) {
    case 0xE6:
      if (sub == 3 && answersFlashInfo_) {
        std::memcpy(data, flashInfo_.data(), VENDOR_BLOCK_SIZE);
        return done;
      }
      if (sub == 1) {
        std::memcpy(data, config_.data(), VENDOR_BLOCK_SIZE);
        return done;
      }
      break;
    case 0xE5:
      if (sub == 1) {
        std::memcpy(config_.data(), data, VENDOR_BLOCK_SIZE);
        return done;
      }
      break;
    case 0xF2:
      if (sub == 0) {
        std::memcpy(data, legacy_.data(), VENDOR_BLOCK_SIZE);
        return done;
      }
      break;
    case 0xF1:
      if (sub == 0) {
        // The host may change the block's head (the firmware name among it); the identification
        // after it is the drive's own and stays.
        std::memcpy(legacy_.data(), data, LEGACY_WRITABLE);
        return done;
      }
      break;
    default:
      break;
  }
  return Status(NVME_INVALID_FIELD);
}

NvmeCompletion NvmeController::Execute(const uint8_t command[64], DataDirection direction, uint8_t* data,
                                       uint32_t length) {
  if (data == nullptr) length = 0;
  uint8_t opcode = command[0];
  switch (opcode) {
    case 0x06:  // Identify
      if (direction != DataDirection::FromDevice) return Status(NVME_INVALID_FIELD);
      return Identify(Dword(command, 10) & 0xFF, Dword(command, 1), data, length);
    case 0x11: {  // Firmware Image Download: NUMD zero-based dwords at dword offset OFST
      if (direction != DataDirection::ToDevice || length == 0) return Status(NVME_INVALID_FIELD);
      uint64_t pieceLength = (static_cast<uint64_t>(Dword(command, 10)) + 1) * 4;
      if (length > pieceLength) return Status(NVME_INVALID_FIELD);
      return DownloadPiece(static_cast<uint64_t>(Dword(command, 11)) * 4, data, length, pieceLength);
    }
    case 0x10: {  // Firmware Commit: slot in bits 2:0, commit action in bits 5:3
      if (direction != DataDirection::None) return Status(NVME_INVALID_FIELD);
      uint32_t cdw10 = Dword(command, 10);
      return Commit(cdw10 & 7, (cdw10 >> 3) & 7);
    }
    case 0xE5:
    case 0xE6:
    case 0xF1:
    case 0xF2:
      return Vendor(command, direction, data, length);
    default:
      return Status(NVME_INVALID_OPCODE);
  }
}

}  // namespace emu
