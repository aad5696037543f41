// The USB disk of a bridge: SCSI pass-through requests read from the request record as the
// driver receives it, and the two makes' vendor protocols that carry NVMe commands.
//
// ASMedia carries a command in three SCSI commands: 0xEA 0x5A 0x80 sends the 64-byte command,
// 0xEB/0xEA 0x5A 0x81 moves its data, 0xEB 0x5A 0x82 returns the 16-byte completion entry. CDB
// byte 4 is the direction code (0 none, 1 read, 2 write), bytes 10-13 the length, big-endian.
// 0xE6 0x06 is a one-command Identify (CNS in byte 3, NSID in byte 7), 0xEB 0x5A 0x02 reads
// 16 bytes of bridge information, 0xEA 0x5A <mode> is a bridge control (mode 1 resets the bridge).
//
// JMicron wraps the command in a 512-byte block ("NVME", 4 zero bytes, the command at 8, a
// control mode at 72, zeros after it): 0xA1 0x80 sends the block, 0xA1 0x81/0x82/0x83 moves no
// data, reads or writes, 0xA1 0x8F returns a block with the completion entry at 8. Lengths are
// 24-bit big-endian in CDB bytes 3-5. A block with mode 5 and no command resets the NVMe controller
// behind the bridge.
//
// Either reset takes the drive off the bus; it comes back after its delay (power-cycle-ms).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "emu/disk_devices.h"
#include "emu/storage_wire.h"

namespace emu {

namespace {

constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x05;
constexpr uint8_t SENSE_HARDWARE_ERROR = 0x04;
constexpr uint8_t ASC_INVALID_OPCODE = 0x20;
constexpr uint8_t ASC_INVALID_FIELD_IN_CDB = 0x24;
constexpr uint8_t ASC_COMMAND_SEQUENCE_ERROR = 0x2C;
constexpr uint8_t ASC_INTERNAL_TARGET_FAILURE = 0x44;
constexpr uint32_t SENSE_LENGTH = 18;  // fixed-format sense data
constexpr uint32_t INQUIRY_LENGTH = 96;
constexpr uint8_t ASC_INVALID_FIELD_IN_PARAMETER_LIST = 0x26;
constexpr uint32_t JMICRON_BLOCK = 512;
// The CDB lengths the JMicron bridge takes for its 0xA1 commands: the 12 bytes of the opcode's
// group, or the 16 of the longest CDB, the tail zero.
constexpr uint8_t JMICRON_CDB_SHORT = 12;
constexpr uint8_t JMICRON_CDB_LONG = 16;
// The bridge controls: ASMedia 0xEA 0x5A 0x01 resets the bridge; a JMicron control block of mode 5
// resets the NVMe controller behind it.
constexpr uint8_t ASMEDIA_RESET_BRIDGE = 0x01;
constexpr uint8_t JMICRON_RESET_CONTROLLER = 5;

ScsiOutcome Check(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
  ScsiOutcome o;
  o.status = wire::SCSISTAT_CHECK_CONDITION;
  o.senseKey = key, o.asc = asc, o.ascq = ascq;
  return o;
}
ScsiOutcome InvalidField() { return Check(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB); }
ScsiOutcome OutOfSequence() { return Check(SENSE_ILLEGAL_REQUEST, ASC_COMMAND_SEQUENCE_ERROR); }
ScsiOutcome Good(uint32_t transferred) {
  ScsiOutcome o;
  o.transferred = transferred;
  return o;
}

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t Be24(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

// Whether the CDB bytes at the given positions are all zero.
bool Zero(const uint8_t cdb[16], std::initializer_list<int> positions) {
  for (int i : positions)
    if (cdb[i] != 0) return false;
  return true;
}

void PutPadded(uint8_t* p, size_t width, const std::string& text) {
  std::memset(p, ' ', width);
  std::memcpy(p, text.data(), std::min(width, text.size()));
}

std::string Hex(unsigned value, int digits) {
  char text[12];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

}  // namespace

void BridgeDisk::ResetTransport() {
  phase_ = Phase::Idle;
  armed_ = nullptr;
  failAfter_ = nullptr;
  powerMode_ = 0;
}

void BridgeDisk::ResetAfter(ScsiOutcome::Reset reset) {
  if (reset == ScsiOutcome::Reset::None) return;
  if (reset == ScsiOutcome::Reset::Bridge) ResetTransport();
  Leave();
}

bool BridgeDisk::Control(uint32_t code, void* inBuffer, uint32_t inLength, void* outBuffer, uint32_t outLength,
                         uint32_t* returned, uint32_t* error, RequestNotes* notes) {
  using Record = wire::ScsiPassThroughDirect;
  ++requests_;
  auto* in = static_cast<const uint8_t*>(inBuffer);
  auto* out = static_cast<uint8_t*>(outBuffer);
  if (in == nullptr) inLength = 0;
  if (out == nullptr) outLength = 0;
  const Fault* any = CountAny();
  if (any != nullptr && (any->action != FaultAction::CheckCondition || code != wire::IOCTL_SCSI_PASS_THROUGH_DIRECT)) {
    ++faultsStruck_;
    *error = any->error;
    return false;
  }
  bool ok = false;
  if (CommonControl(code, in, inLength, out, outLength, returned, error, &ok)) return ok;
  if (code != wire::IOCTL_SCSI_PASS_THROUGH_DIRECT) {
    // A USB disk knows nothing of the NVMe driver's requests.
    bool nvmeRequest = code == wire::IOCTL_STORAGE_QUERY_PROPERTY || code == wire::IOCTL_STORAGE_PROTOCOL_COMMAND ||
                       code == wire::IOCTL_STORAGE_FIRMWARE_DOWNLOAD || code == wire::IOCTL_STORAGE_FIRMWARE_ACTIVATE;
    *error = nvmeRequest ? wire::ERROR_NOT_SUPPORTED : wire::ERROR_INVALID_FUNCTION;
    return false;
  }

  // The record, checked as the port driver checks it before anything reaches the device.
  Record record;
  if (inLength < sizeof record || outLength < sizeof record) {
    *error = wire::ERROR_INVALID_PARAMETER;
    return false;
  }
  std::memcpy(&record, in, sizeof record);
  bool valid = record.length == sizeof record && record.cdbLength >= 1 && record.cdbLength <= 16 &&
               record.dataIn <= wire::SCSI_IOCTL_DATA_UNSPECIFIED &&
               record.dataTransferLength <= wire::MAX_TRANSFER &&
               (record.dataTransferLength == 0 || record.dataBuffer != 0) &&
               (record.senseInfoLength == 0 ||
                (record.senseInfoOffset >= sizeof record &&
                 static_cast<uint64_t>(record.senseInfoOffset) + record.senseInfoLength <= outLength));
  if (!valid) {
    *error = wire::ERROR_INVALID_PARAMETER;
    return false;
  }
  // The data moves directly from and to the caller's buffer, which must be aligned as the
  // adapter's AlignmentMask says.
  if (record.dataTransferLength != 0 && (record.dataBuffer & description_.behaviour.alignmentMask) != 0) {
    *error = wire::ERROR_INVALID_PARAMETER;
    return false;
  }
  cdbLength_ = record.cdbLength;
  uint8_t cdb[16] = {};
  std::memcpy(cdb, record.cdb, record.cdbLength);
  uint32_t length = record.dataTransferLength;
  uint8_t* data = length != 0 ? reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(record.dataBuffer)) : nullptr;
  bool dataOut = record.dataIn == wire::SCSI_IOCTL_DATA_OUT;
  if (dataOut && length != 0) notes->data.assign(data, data + length);

  ScsiOutcome outcome;
  if (any != nullptr) {
    ++faultsStruck_;
    outcome = Check(SENSE_HARDWARE_ERROR, ASC_INTERNAL_TARGET_FAILURE);
    phase_ = Phase::Idle;
  } else {
    outcome = Execute(cdb, record.dataIn, data, length, notes);
  }
  if (failAfter_ != nullptr) {  // an injected fault that lets the request act, then fails it
    outcome.fail = true;
    outcome.error = failAfter_->error;
    failAfter_ = nullptr;
  }
  if (outcome.fail) {
    *error = outcome.error;
    ResetAfter(outcome.reset);
    return false;
  }
  if (!dataOut && outcome.transferred != 0) notes->data.assign(data, data + outcome.transferred);

  record.scsiStatus = outcome.status;
  record.dataTransferLength = outcome.transferred;
  uint32_t n = sizeof record;
  if (outcome.status == wire::SCSISTAT_CHECK_CONDITION && record.senseInfoLength != 0) {
    uint8_t sense[SENSE_LENGTH] = {};
    sense[0] = 0x70;
    sense[2] = outcome.senseKey;
    sense[7] = SENSE_LENGTH - 8;
    sense[12] = outcome.asc;
    sense[13] = outcome.ascq;
    uint32_t senseLength = std::min<uint32_t>(record.senseInfoLength, SENSE_LENGTH);
    std::memcpy(out + record.senseInfoOffset, sense, senseLength);
    record.senseInfoLength = static_cast<uint8_t>(senseLength);
    n = record.senseInfoOffset + senseLength;
  } else {
    record.senseInfoLength = 0;
  }
  std::memcpy(out, &record, sizeof record);
  *returned = n;
  notes->extras.push_back("scsi=" + Hex(outcome.status, 2));
  ResetAfter(outcome.reset);
  return true;
}

ScsiOutcome BridgeDisk::Execute(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length,
                                RequestNotes* notes) {
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
      return Good(0);
    case 0x12:
      return Inquiry(cdb, dataIn, data, length);
    default:
      break;
  }
  if (description_.bridge.kind == BridgeKind::ASMedia) return Asmedia(cdb, dataIn, data, length, notes);
  return Jmicron(cdb, dataIn, data, length, notes);
}

ScsiOutcome BridgeDisk::Inquiry(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length) {
  ScsiOutcome o;
  const Fault* fault = BeginCommand(RequestKind::Inquiry);
  if (Strikes(fault, 1, true, &o)) return o;
  if ((cdb[1] & 1) != 0 || cdb[2] != 0) return InvalidField();  // no vital product data pages
  uint32_t allocation = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
  if (allocation != 0 && length != 0 && dataIn != wire::SCSI_IOCTL_DATA_IN) return InvalidField();
  uint8_t reply[INQUIRY_LENGTH] = {};
  reply[0] = 0x00;  // direct-access block device
  reply[2] = 0x06;  // SPC-4
  reply[3] = 0x02;  // response data format
  reply[4] = INQUIRY_LENGTH - 5;
  PutPadded(reply + 8, 8, description_.bridge.vendor);
  PutPadded(reply + 16, 16, description_.bridge.product);
  PutPadded(reply + 32, 4, description_.bridge.revision);
  reply[36] = description_.bridge.inquiry36;
  reply[37] = description_.bridge.inquiry37;
  uint32_t n = std::min({allocation, length, INQUIRY_LENGTH});
  if (n != 0) std::memcpy(data, reply, n);
  return Good(n);
}

void BridgeDisk::BeginPhases(RequestKind kind) { armed_ = BeginCommand(kind); }

bool BridgeDisk::Strikes(const Fault*& fault, uint8_t phase, bool single, ScsiOutcome* outcome) {
  const Fault* f = fault;
  if (f == nullptr || f->action == FaultAction::ErrorCompletion) return false;
  if (!single && f->phase != phase) return false;
  ++faultsStruck_;
  fault = nullptr;
  if (f->action == FaultAction::CheckCondition) {
    *outcome = Check(SENSE_HARDWARE_ERROR, ASC_INTERNAL_TARGET_FAILURE);
    phase_ = Phase::Idle;
    return true;
  }
  if (f->performed) {
    failAfter_ = f;
    return false;
  }
  outcome->fail = true;
  outcome->error = f->error;
  return true;
}

ScsiOutcome BridgeDisk::RunCommand(DataDirection direction, uint8_t* data, uint32_t length, RequestNotes* notes) {
  NvmeCompletion c;
  if (armed_ != nullptr && armed_->action == FaultAction::ErrorCompletion) {
    ++faultsStruck_;
    if (armed_->performed) controller_->Execute(command_.data(), direction, data, length);
    c.status = armed_->status;
    armed_ = nullptr;
  } else {
    c = controller_->Execute(command_.data(), direction, data, length);
  }
  notes->extras.push_back("nvme=" + Hex(c.status, 4));
  completion_ = c;
  phase_ = Phase::AwaitCompletion;
  // A read that the controller refused moves no data.
  if (direction == DataDirection::FromDevice) return Good(c.status == NVME_SUCCESS ? c.transferred : 0);
  return Good(length);
}

ScsiOutcome BridgeDisk::Asmedia(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length,
                                RequestNotes* notes) {
  ScsiOutcome o;
  if (cdb[0] == 0xE6) {  // Identify in one command
    const Fault* fault = BeginCommand(RequestKind::Identify);
    if (Strikes(fault, 1, true, &o)) return o;
    if (cdb[1] != 0x06 || !Zero(cdb, {2, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15}) ||
        dataIn != wire::SCSI_IOCTL_DATA_IN || length == 0)
      return InvalidField();
    NvmeCompletion c;
    if (fault != nullptr && fault->action == FaultAction::ErrorCompletion) {
      ++faultsStruck_;
      if (fault->performed) controller_->Identify(cdb[3], cdb[7], data, length);
      c.status = fault->status;
    } else {
      c = controller_->Identify(cdb[3], cdb[7], data, length);
    }
    notes->extras.push_back("nvme=" + Hex(c.status, 4));
    if (c.status != NVME_SUCCESS) return InvalidField();
    return Good(c.transferred);
  }
  if ((cdb[0] != 0xEA && cdb[0] != 0xEB) || cdb[1] != 0x5A) return Check(SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE);
  const uint8_t sub = cdb[2];
  const uint32_t cdbLength = Be32(cdb + 10);
  const bool tailZero = Zero(cdb, {3, 5, 6, 7, 8, 9, 14, 15});

  if (cdb[0] == 0xEB && sub == 0x02) {  // bridge information
    if (cdbLength != 16 || cdb[4] != 0 || !tailZero || dataIn != wire::SCSI_IOCTL_DATA_IN || length < 16)
      return InvalidField();
    std::memset(data, 0, 16);
    std::memcpy(data, description_.bridge.info.data(), std::min<size_t>(16, description_.bridge.info.size()));
    return Good(16);
  }

  if (cdb[0] == 0xEA && sub == 0x80) {  // phase 1: the command
    if (phase_ == Phase::AwaitData) {
      phase_ = Phase::Idle;
      return OutOfSequence();
    }
    if (cdb[4] > 2 || cdbLength != 64 || !tailZero || dataIn != wire::SCSI_IOCTL_DATA_OUT || length != 64)
      return InvalidField();
    BeginPhases(KindOfOpcode(data[0]));
    if (Strikes(armed_, 1, false, &o)) return o;
    std::memcpy(command_.data(), data, 64);
    directionCode_ = cdb[4];
    phase_ = Phase::AwaitData;
    return Good(64);
  }

  if (sub == 0x81) {  // phase 2: the data
    if (phase_ != Phase::AwaitData) {
      phase_ = Phase::Idle;
      return OutOfSequence();
    }
    const uint8_t dir = directionCode_;
    bool framing = cdb[0] == (dir == 2 ? 0xEA : 0xEB) && cdb[4] == dir && cdbLength == length && tailZero;
    bool transfer = dir == 0   ? length == 0 && dataIn == wire::SCSI_IOCTL_DATA_UNSPECIFIED
                    : dir == 1 ? length != 0 && dataIn == wire::SCSI_IOCTL_DATA_IN
                               : length != 0 && dataIn == wire::SCSI_IOCTL_DATA_OUT;
    if (!framing || !transfer) {
      phase_ = Phase::Idle;
      return InvalidField();
    }
    if (Strikes(armed_, 2, false, &o)) return o;
    DataDirection direction = dir == 0 ? DataDirection::None : dir == 1 ? DataDirection::FromDevice : DataDirection::ToDevice;
    return RunCommand(direction, data, length, notes);
  }

  if (cdb[0] == 0xEB && sub == 0x82) {  // phase 3: the completion entry
    if (phase_ != Phase::AwaitCompletion) {
      phase_ = Phase::Idle;
      return OutOfSequence();
    }
    if (cdb[4] != directionCode_ || cdbLength != 16 || !tailZero || dataIn != wire::SCSI_IOCTL_DATA_IN || length != 16) {
      phase_ = Phase::Idle;
      return InvalidField();
    }
    if (Strikes(armed_, 3, false, &o)) return o;
    completion_.Entry(data, static_cast<uint16_t>(command_[2] | command_[3] << 8));
    phase_ = Phase::Idle;
    armed_ = nullptr;
    return Good(16);
  }

  if (cdb[0] == 0xEA && sub != 0x81) {  // bridge control, mode in byte 2
    const Fault* fault = BeginCommand(RequestKind::PowerControl);
    if (Strikes(fault, 1, true, &o)) return o;
    if (sub != ASMEDIA_RESET_BRIDGE || !Zero(cdb, {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) || length != 0)
      return InvalidField();
    ScsiOutcome done = Good(0);
    done.reset = ScsiOutcome::Reset::Bridge;
    return done;
  }
  return InvalidField();
}

ScsiOutcome BridgeDisk::Jmicron(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length,
                                RequestNotes* notes) {
  ScsiOutcome o;
  if (cdb[0] != 0xA1) return Check(SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE);
  const uint8_t sub = cdb[1];
  const uint32_t cdbLength = Be24(cdb + 3);
  if ((cdbLength_ != JMICRON_CDB_SHORT && cdbLength_ != JMICRON_CDB_LONG) ||
      !Zero(cdb, {2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) || cdbLength != length) {
    if (sub != 0x80) phase_ = Phase::Idle;
    return InvalidField();
  }

  if (sub == 0x80) {  // phase 1: the command block
    if (phase_ == Phase::AwaitData) {
      phase_ = Phase::Idle;
      return OutOfSequence();
    }
    if (length != JMICRON_BLOCK || dataIn != wire::SCSI_IOCTL_DATA_OUT || std::memcmp(data, "NVME", 4) != 0 ||
        !(data[4] == 0 && data[5] == 0 && data[6] == 0 && data[7] == 0))
      return InvalidField();
    const uint8_t mode = data[72];
    // Nothing follows the command and the control mode.
    if (!std::all_of(data + 73, data + JMICRON_BLOCK, [](uint8_t b) { return b == 0; }))
      return Check(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_PARAMETER_LIST);
    if (mode != 0) {
      // A control block carries no command; mode 5 resets the controller behind the bridge.
      bool empty = std::all_of(data + 8, data + 72, [](uint8_t b) { return b == 0; });
      if (mode != JMICRON_RESET_CONTROLLER || !empty) return InvalidField();
    }
    BeginPhases(mode != 0 ? RequestKind::PowerControl : KindOfOpcode(data[8]));
    if (Strikes(armed_, 1, false, &o)) return o;
    std::memcpy(command_.data(), data + 8, 64);
    powerMode_ = mode;
    phase_ = Phase::AwaitData;
    return Good(JMICRON_BLOCK);
  }

  if (sub == 0x81 || sub == 0x82 || sub == 0x83) {  // phase 2: no data, read, write
    if (phase_ != Phase::AwaitData) {
      phase_ = Phase::Idle;
      return OutOfSequence();
    }
    bool transfer = sub == 0x81   ? length == 0
                    : sub == 0x82 ? length != 0 && dataIn == wire::SCSI_IOCTL_DATA_IN
                                  : length != 0 && dataIn == wire::SCSI_IOCTL_DATA_OUT;
    if (!transfer || (powerMode_ != 0 && sub != 0x81)) {
      phase_ = Phase::Idle;
      return InvalidField();
    }
    if (Strikes(armed_, 2, false, &o)) return o;
    if (powerMode_ != 0) {
      completion_ = NvmeCompletion{};
      phase_ = Phase::AwaitCompletion;
      ScsiOutcome done = Good(0);
      done.reset = ScsiOutcome::Reset::Controller;
      return done;
    }
    DataDirection direction = sub == 0x81 ? DataDirection::None : sub == 0x82 ? DataDirection::FromDevice : DataDirection::ToDevice;
    return RunCommand(direction, data, length, notes);
  }

  if (sub == 0x8F) {  // phase 3: the completion block
    if (phase_ != Phase::AwaitCompletion) {
      phase_ = Phase::Idle;
      return OutOfSequence();
    }
    if (length != JMICRON_BLOCK || dataIn != wire::SCSI_IOCTL_DATA_IN) {
      phase_ = Phase::Idle;
      return InvalidField();
    }
    if (Strikes(armed_, 3, false, &o)) return o;
    std::memset(data, 0, JMICRON_BLOCK);
    std::memcpy(data, "NVME", 4);
    completion_.Entry(data + 8, static_cast<uint16_t>(command_[2] | command_[3] << 8));
    phase_ = Phase::Idle;
    armed_ = nullptr;
    return Good(JMICRON_BLOCK);
  }
  phase_ = Phase::Idle;
  return InvalidField();
}

}  // namespace emu
