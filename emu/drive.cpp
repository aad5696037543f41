#include "emu/drive.h"

#include <algorithm>
#include <cstring>

#include "emu/disk_devices.h"
#include "emu/storage_wire.h"

namespace emu {

void DefaultInquiryBytes(BridgeDescription& bridge) {
  switch (bridge.kind) {
    case BridgeKind::ASMedia:
      bridge.inquiry36 = 0x60, bridge.inquiry37 = 0x23;
      break;
    case BridgeKind::JMicron:
      bridge.inquiry36 = 0x30, bridge.inquiry37 = 0x35;
      break;
    case BridgeKind::None:
      bridge.inquiry36 = 0, bridge.inquiry37 = 0;
      break;
  }
}

EmuDisk::EmuDisk(Bench& bench, const DriveDescription& description)
    : bench_(bench),
      description_(description),
      controller_(std::make_unique<NvmeController>(description)),
      diskNumber_(description.diskNumber),
      faultCounts_(description.behaviour.faults.size(), 0) {}

EmuDisk::~EmuDisk() = default;

std::u16string EmuDisk::Path() const {
  std::u16string path = u"\\\\.\\PhysicalDrive";
  for (char c : std::to_string(diskNumber_.load())) path.push_back(static_cast<char16_t>(c));
  return path;
}

void EmuDisk::Register() { bench_.AddDevice(Path(), shared_from_this()); }

const Fault* EmuDisk::BeginCommand(RequestKind kind) {
  const Fault* due = nullptr;
  for (size_t i = 0; i < description_.behaviour.faults.size(); ++i) {
    const Fault& f = description_.behaviour.faults[i];
    if (f.kind != kind || kind == RequestKind::Any) continue;
    uint32_t n = ++faultCounts_[i];
    if (due == nullptr && n >= f.nth && (f.repeat == 0 || n < f.nth + f.repeat)) due = &f;
  }
  return due;
}

const Fault* EmuDisk::CountAny() {
  const Fault* due = nullptr;
  for (size_t i = 0; i < description_.behaviour.faults.size(); ++i) {
    const Fault& f = description_.behaviour.faults[i];
    if (f.kind != RequestKind::Any) continue;
    uint32_t n = ++faultCounts_[i];
    if (due == nullptr && n >= f.nth && (f.repeat == 0 || n < f.nth + f.repeat)) due = &f;
  }
  return due;
}

bool EmuDisk::CommonControl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                            uint32_t outLength, uint32_t* returned, uint32_t* error, bool* ok) {
  if (code == wire::IOCTL_STORAGE_GET_DEVICE_NUMBER) {
    if (const Fault* f = BeginCommand(RequestKind::DeviceNumber)) {
      ++faultsStruck_;
      *error = f->error;
      *ok = false;
      return true;
    }
    if (out == nullptr || outLength < sizeof(wire::DeviceNumber)) {
      *error = wire::ERROR_INSUFFICIENT_BUFFER;
      *ok = false;
      return true;
    }
    wire::DeviceNumber number{wire::FILE_DEVICE_DISK, diskNumber_.load(), 0};
    std::memcpy(out, &number, sizeof number);
    *returned = sizeof number;
    *ok = true;
    return true;
  }
  if (code != wire::IOCTL_STORAGE_QUERY_PROPERTY || in == nullptr || inLength < sizeof(wire::PropertyQueryHead))
    return false;
  wire::PropertyQueryHead query;
  std::memcpy(&query, in, sizeof query);
  if (query.propertyId != wire::StorageDeviceProperty) return false;
  if (const Fault* f = BeginCommand(RequestKind::DeviceProperty)) {
    ++faultsStruck_;
    *error = f->error;
    *ok = false;
    return true;
  }
  if (query.queryType == wire::PropertyExistsQuery) {
    *ok = true;
    return true;
  }
  if (query.queryType != wire::PropertyStandardQuery) {
    *error = wire::ERROR_INVALID_PARAMETER;
    *ok = false;
    return true;
  }
  if (out == nullptr || outLength < 8) {  // not even the Version and Size of the descriptor
    *error = wire::ERROR_INSUFFICIENT_BUFFER;
    *ok = false;
    return true;
  }
  // The descriptor and its four texts after it. A short buffer receives what fits, as the
  // storage stack does; Size tells the caller how much there is.
  bool bridged = description_.bridge.kind != BridgeKind::None;
  uint8_t bus = description_.busType != 0 ? description_.busType : bridged ? BUS_TYPE_USB : BUS_TYPE_NVME;
  // Behind a RAID or VMD controller the drive's SCSI translation names the vendor "NVMe" too.
  std::string vendor = bridged ? description_.bridge.vendor : bus == BUS_TYPE_NVME || bus == BUS_TYPE_RAID ? "NVMe" : "ATA";
  std::string product = bridged ? description_.bridge.product : description_.identity.model;
  std::string revision = bridged ? description_.bridge.revision : controller_->FirmwareName();
  std::string serial = description_.identity.serial;
  std::vector<uint8_t> reply(sizeof(wire::DeviceDescriptor), 0);
  auto append = [&reply](const std::string& text) {
    uint32_t at = static_cast<uint32_t>(reply.size());
    reply.insert(reply.end(), text.begin(), text.end());
    reply.push_back(0);
    return at;
  };
  wire::DeviceDescriptor d{};
  d.version = sizeof(wire::DeviceDescriptor);
  d.deviceType = 0;  // direct-access block device
  d.commandQueueing = bus == BUS_TYPE_NVME ? 1 : 0;
  d.vendorIdOffset = append(vendor);
  d.productIdOffset = append(product);
  d.productRevisionOffset = append(revision);
  d.serialNumberOffset = append(serial);
  d.busType = bus;
  d.size = static_cast<uint32_t>(reply.size());
  std::memcpy(reply.data(), &d, sizeof d);
  uint32_t n = std::min<uint32_t>(outLength, static_cast<uint32_t>(reply.size()));
  std::memcpy(out, reply.data(), n);
  *returned = n;
  *ok = true;
  return true;
}

// The test hooks run as timed work of the bench, so that they take the bench's lock and never
// cut into a request another thread has in flight.
void EmuDisk::ResetController() {
  std::weak_ptr<EmuDisk> self = weak_from_this();
  bench_.At(bench_.Clock().TickCount64(), [self] {
    std::shared_ptr<EmuDisk> disk = self.lock();
    if (disk == nullptr) return;
    disk->ResetWithFaults(false);
    disk->ResetTransport();
    disk->bench_.Note(disk->Path(), "reset", {"firmware=" + disk->controller_->FirmwareName()});
  });
  bench_.Tick();
}

void EmuDisk::PowerCycle() {
  std::weak_ptr<EmuDisk> self = weak_from_this();
  bench_.At(bench_.Clock().TickCount64(), [self] {
    if (std::shared_ptr<EmuDisk> disk = self.lock()) disk->Leave();
  });
  bench_.Tick();
}

void EmuDisk::Leave() {
  if (!present_) return;
  present_ = false;
  uint64_t generation = ++generation_;
  const BehaviourDescription& b = description_.behaviour;
  bench_.Note(Path(), "leave",
              {b.neverReturn ? std::string("return=never") : "delay=" + std::to_string(b.powerCycleDelayMs)});
  if (hook_) hook_(false, diskNumber_);
  if (b.neverReturn) return;
  std::weak_ptr<EmuDisk> self = weak_from_this();
  bench_.At(bench_.Clock().TickCount64() + b.powerCycleDelayMs, [self, generation] {
    std::shared_ptr<EmuDisk> disk = self.lock();
    if (disk != nullptr && disk->generation_ == generation) disk->Return();
  });
}

void EmuDisk::Return() {
  // The drive comes back from a bridge's reset, which cut its power: its controller starts afresh,
  // and the storage stack may give it another disk number.
  ResetWithFaults(true);
  ResetTransport();
  const int32_t next = description_.behaviour.returnDiskNumber;
  if (next >= 0 && static_cast<uint32_t>(next) != diskNumber_) {
    if (bench_.FindDevice(Path()).get() == this) bench_.RemoveDevice(Path());
    diskNumber_ = static_cast<uint32_t>(next);
    Register();
  }
  present_ = true;
  bench_.Note(Path(), "return",
              {"disk=" + std::to_string(diskNumber_.load()), "firmware=" + controller_->FirmwareName()});
  if (hook_) hook_(true, diskNumber_);
}

void EmuDisk::ResetWithFaults(bool powerLost) {
  bool keepOld = false;
  // Only a reset that activates the waiting image counts as an activation.
  if (controller_->ActivationPending() && (powerLost || !controller_->ActivatesAtPowerOffOnly())) {
    const Fault* f = BeginCommand(RequestKind::Activation);
    keepOld = f != nullptr && f->action == FaultAction::KeepOld;
    if (f != nullptr) ++faultsStruck_;
  }
  controller_->Reset(keepOld, powerLost);
}

bool EmuDisk::Restore(const ControllerState& state, bool away) {
  if (!controller_->Restore(state)) return false;
  if (!away) return true;
  if (description_.behaviour.neverReturn) {
    Leave();
  } else {
    Return();
  }
  return true;
}

void EmuDisk::Restart(bool powerOff) {
  std::weak_ptr<EmuDisk> self = weak_from_this();
  bench_.At(bench_.Clock().TickCount64(), [self, powerOff] {
    std::shared_ptr<EmuDisk> disk = self.lock();
    if (disk == nullptr) return;
    ++disk->generation_;  // a return still due from a power cycle is now this one
    if (!disk->present_) {
      disk->Return();
      return;
    }
    disk->ResetWithFaults(powerOff);
    disk->ResetTransport();
    std::vector<std::string> extras = {"firmware=" + disk->controller_->FirmwareName()};
    if (powerOff) extras.push_back("power=off");
    disk->bench_.Note(disk->Path(), "reset", extras);
  });
  bench_.Tick();
}

std::shared_ptr<EmuDisk> MakeDrive(Bench& bench, const DriveDescription& description) {
  std::shared_ptr<EmuDisk> disk;
  if (description.bridge.kind == BridgeKind::None)
    disk = std::make_shared<NativeDisk>(bench, description);
  else
    disk = std::make_shared<BridgeDisk>(bench, description);
  disk->Register();
  return disk;
}

RequestKind KindOfOpcode(uint8_t opcode) {
  switch (opcode) {
    case 0x06: return RequestKind::Identify;
    case 0xE6:
    case 0xF2: return RequestKind::VendorRead;
    case 0xE5:
    case 0xF1: return RequestKind::VendorWrite;
    case 0x11: return RequestKind::FirmwareDownload;
    case 0x10: return RequestKind::FirmwareCommit;
    default: return RequestKind::Any;
  }
}

}  // namespace emu
