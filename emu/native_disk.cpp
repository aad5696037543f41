// The native disk: the requests of the storage driver's NVMe path, read from the request bytes
// as the driver receives them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "emu/disk_devices.h"
#include "emu/storage_wire.h"

namespace emu {

namespace {

std::string Hex16(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", v);
  return text;
}

bool Fail(uint32_t* error, uint32_t code) {
  *error = code;
  return false;
}

}  // namespace

bool NativeDisk::IsNvme() const { return description_.busType == 0 || description_.busType == BUS_TYPE_NVME; }

bool NativeDisk::Control(uint32_t code, void* inBuffer, uint32_t inLength, void* outBuffer, uint32_t outLength,
                         uint32_t* returned, uint32_t* error, RequestNotes* notes) {
  ++requests_;
  auto* in = static_cast<const uint8_t*>(inBuffer);
  auto* out = static_cast<uint8_t*>(outBuffer);
  if (in == nullptr) inLength = 0;
  if (out == nullptr) outLength = 0;
  if (const Fault* f = CountAny()) {
    ++faultsStruck_;
    return Fail(error, f->error);
  }
  bool ok = false;
  if (CommonControl(code, in, inLength, out, outLength, returned, error, &ok)) return ok;
  switch (code) {
    case wire::IOCTL_STORAGE_QUERY_PROPERTY: {
      // CommonControl answered StorageDeviceProperty; the protocol-specific queries remain.
      if (inLength < sizeof(wire::PropertyQueryHead)) return Fail(error, wire::ERROR_INVALID_PARAMETER);
      wire::PropertyQueryHead query;
      std::memcpy(&query, in, sizeof query);
      if (query.propertyId != wire::StorageAdapterProtocolSpecificProperty &&
          query.propertyId != wire::StorageDeviceProtocolSpecificProperty)
        return Fail(error, wire::ERROR_NOT_SUPPORTED);
      return ProtocolQuery(query.propertyId, in, inLength, out, outLength, returned, error, notes);
    }
    case wire::IOCTL_STORAGE_PROTOCOL_COMMAND:
      return ProtocolCommand(in, inLength, out, outLength, returned, error, notes);
    case wire::IOCTL_STORAGE_FIRMWARE_DOWNLOAD:
      return FirmwareDownload(in, inLength, error, notes);
    case wire::IOCTL_STORAGE_FIRMWARE_ACTIVATE:
      return FirmwareActivate(in, inLength, error, notes);
    case wire::IOCTL_STORAGE_FIRMWARE_GET_INFO:
      return FirmwareGetInfo(in, inLength, out, outLength, returned, error, notes);
    default:
      return Fail(error, wire::ERROR_INVALID_FUNCTION);
  }
}

bool NativeDisk::ProtocolQuery(uint32_t property, const uint8_t* in, uint32_t inLength, uint8_t* out,
                               uint32_t outLength, uint32_t* returned, uint32_t* error, RequestNotes* notes) {
  constexpr uint32_t head = sizeof(wire::PropertyQueryHead);
  constexpr uint32_t descriptorHead = offsetof(wire::ProtocolDataDescriptor, protocolSpecificData);
  if (!IsNvme()) return Fail(error, wire::ERROR_NOT_SUPPORTED);
  if (inLength < head + sizeof(wire::ProtocolSpecificData)) return Fail(error, wire::ERROR_INVALID_PARAMETER);
  wire::PropertyQueryHead query;
  wire::ProtocolSpecificData data;
  std::memcpy(&query, in, sizeof query);
  std::memcpy(&data, in + head, sizeof data);
  if (query.queryType != wire::PropertyStandardQuery || data.protocolType != wire::ProtocolTypeNvme)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  if (data.dataType != wire::NVMeDataTypeIdentify) return Fail(error, wire::ERROR_NOT_SUPPORTED);
  // The reply lands at ProtocolDataOffset from the protocol data, which sits 8 bytes into the
  // output; it must lie past the protocol data and inside the output buffer.
  uint64_t dataAt = static_cast<uint64_t>(descriptorHead) + data.protocolDataOffset;
  if (data.protocolDataOffset < sizeof(wire::ProtocolSpecificData) ||
      data.protocolDataLength < wire::MIN_PROTOCOL_DATA_LENGTH ||
      data.protocolDataLength > wire::MAX_TRANSFER || dataAt + data.protocolDataLength > outLength)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  const Fault* fault = BeginCommand(RequestKind::Identify);
  uint32_t cns = data.protocolDataRequestValue, nsid = data.protocolDataRequestSubValue;
  notes->extras.push_back("cns=" + std::to_string(cns));
  if (property == wire::StorageAdapterProtocolSpecificProperty && nsid != 0 &&
      description_.behaviour.refuseAdapterPropertyForNamespace)
    return Fail(error, wire::ERROR_NOT_SUPPORTED);
  if (fault != nullptr && fault->action == FaultAction::FailRequest && !fault->performed) {
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  std::vector<uint8_t> reply(data.protocolDataLength, 0);
  NvmeCompletion c;
  if (fault != nullptr && fault->action == FaultAction::ErrorCompletion) {
    ++faultsStruck_;
    if (fault->performed) controller_->Identify(cns, nsid, reply.data(), data.protocolDataLength);
    c.status = fault->status;
  } else {
    c = controller_->Identify(cns, nsid, reply.data(), data.protocolDataLength);
  }
  notes->extras.push_back("nvme=" + Hex16(c.status));
  if (c.status != NVME_SUCCESS) return Fail(error, wire::ERROR_IO_DEVICE);
  if (fault != nullptr && fault->action == FaultAction::FailRequest) {  // performed, then failed
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  wire::ProtocolDataDescriptor descriptor{};
  descriptor.version = sizeof(wire::ProtocolDataDescriptor);
  descriptor.size = sizeof(wire::ProtocolDataDescriptor);
  descriptor.protocolSpecificData = data;
  descriptor.protocolSpecificData.protocolDataLength = c.transferred;
  descriptor.protocolSpecificData.fixedProtocolReturnData = c.dw0;
  std::memcpy(out, &descriptor, sizeof descriptor);
  std::memcpy(out + dataAt, reply.data(), reply.size());
  *returned = static_cast<uint32_t>(dataAt + data.protocolDataLength);
  return true;
}

bool NativeDisk::ProtocolCommand(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength,
                                 uint32_t* returned, uint32_t* error, RequestNotes* notes) {
  constexpr uint32_t commandEnd = wire::PROTOCOL_COMMAND_OFFSET + wire::STORAGE_PROTOCOL_COMMAND_LENGTH_NVME;
  if (!IsNvme()) return Fail(error, wire::ERROR_NOT_SUPPORTED);
  if (inLength < commandEnd || outLength < sizeof(wire::ProtocolCommand))
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  wire::ProtocolCommand header;
  std::memcpy(&header, in, sizeof header);
  uint8_t command[64];
  std::memcpy(command, in + wire::PROTOCOL_COMMAND_OFFSET, sizeof command);
  if (header.version != wire::STORAGE_PROTOCOL_STRUCTURE_VERSION || header.length != sizeof(wire::ProtocolCommand) ||
      header.protocolType != wire::ProtocolTypeNvme ||
      header.commandLength != wire::STORAGE_PROTOCOL_COMMAND_LENGTH_NVME)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  if (header.commandSpecific == wire::STORAGE_PROTOCOL_SPECIFIC_NVME_NVM_COMMAND)
    return Fail(error, wire::ERROR_NOT_SUPPORTED);
  if (header.commandSpecific != wire::STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  uint32_t toLength = header.dataToDeviceTransferLength, fromLength = header.dataFromDeviceTransferLength;
  // One direction at most, within the request's buffers and past the command.
  if ((toLength != 0 && fromLength != 0) || toLength > wire::MAX_TRANSFER || fromLength > wire::MAX_TRANSFER)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  if (toLength != 0 && (header.dataToDeviceBufferOffset < commandEnd ||
                        static_cast<uint64_t>(header.dataToDeviceBufferOffset) + toLength > inLength))
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  if (fromLength != 0 && (header.dataFromDeviceBufferOffset < commandEnd ||
                          static_cast<uint64_t>(header.dataFromDeviceBufferOffset) + fromLength > outLength))
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  if (header.errorInfoLength != 0 &&
      static_cast<uint64_t>(header.errorInfoOffset) + header.errorInfoLength > outLength)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  // The storage driver keeps firmware commands to its own firmware requests.
  if (command[0] == 0x10 || command[0] == 0x11) return Fail(error, wire::ERROR_NOT_SUPPORTED);

  DataDirection direction = toLength != 0     ? DataDirection::ToDevice
                            : fromLength != 0 ? DataDirection::FromDevice
                                              : DataDirection::None;
  uint32_t length = toLength != 0 ? toLength : fromLength;
  std::vector<uint8_t> data(length, 0);
  if (toLength != 0) std::memcpy(data.data(), in + header.dataToDeviceBufferOffset, toLength);

  const Fault* fault = BeginCommand(KindOfOpcode(command[0]));
  if (fault != nullptr && fault->action == FaultAction::FailRequest && !fault->performed) {
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  NvmeCompletion c;
  if (fault != nullptr && fault->action == FaultAction::ErrorCompletion) {
    ++faultsStruck_;
    if (fault->performed) controller_->Execute(command, direction, data.data(), length);
    c.status = fault->status;
  } else {
    c = controller_->Execute(command, direction, data.data(), length);
  }
  notes->extras.push_back("nvme=" + Hex16(c.status));
  if (fault != nullptr && fault->action == FaultAction::FailRequest) {
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  // The request carried; an error completion shows in ReturnStatus and ErrorCode.
  header.returnStatus = c.status == NVME_SUCCESS ? wire::STORAGE_PROTOCOL_STATUS_SUCCESS
                                                 : wire::STORAGE_PROTOCOL_STATUS_ERROR;
  header.errorCode = c.status;
  header.fixedProtocolReturnData = c.dw0;
  std::memcpy(out, &header, wire::PROTOCOL_COMMAND_OFFSET);
  uint32_t n = sizeof(wire::ProtocolCommand);
  if (outLength >= commandEnd) {
    std::memcpy(out + wire::PROTOCOL_COMMAND_OFFSET, command, sizeof command);
    n = commandEnd;
  }
  if (fromLength != 0 && c.status == NVME_SUCCESS) {
    std::memcpy(out + header.dataFromDeviceBufferOffset, data.data(), fromLength);
    n = header.dataFromDeviceBufferOffset + fromLength;
  }
  *returned = n;
  return true;
}

bool NativeDisk::FirmwareDownload(const uint8_t* in, uint32_t inLength, uint32_t* error, RequestNotes* notes) {
  if (!IsNvme()) return Fail(error, wire::ERROR_NOT_SUPPORTED);
  if (inLength < sizeof(wire::FirmwareDownload)) return Fail(error, wire::ERROR_INVALID_PARAMETER);
  wire::FirmwareDownload request;
  std::memcpy(&request, in, sizeof request);
  // The image bytes follow the fixed part and must lie inside both Size and the input.
  if (request.version != sizeof(wire::FirmwareDownload) || request.size > inLength ||
      request.bufferSize == 0 || request.bufferSize > wire::MAX_TRANSFER ||
      wire::FIRMWARE_IMAGE_OFFSET + request.bufferSize > request.size || request.offset % 4 != 0 ||
      request.offset > MAX_FIRMWARE_IMAGE)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  // The driver keeps every piece to the firmware information it reports.
  const BehaviourDescription& behaviour = description_.behaviour;
  const uint64_t alignment = std::max<uint32_t>(behaviour.firmwarePayloadAlignment, 1);
  if (request.offset % alignment != 0 || request.bufferSize % alignment != 0 ||
      request.bufferSize > behaviour.firmwarePayloadMaxSize)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  const Fault* fault = BeginCommand(RequestKind::FirmwareDownload);
  if (fault != nullptr && fault->action == FaultAction::FailRequest && !fault->performed) {
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  uint32_t length = static_cast<uint32_t>(request.bufferSize);
  NvmeCompletion c;
  // The driver sends whole dwords; a tail that is not one is padded on the way.
  if (fault != nullptr && fault->action == FaultAction::ErrorCompletion) {
    ++faultsStruck_;
    if (fault->performed)
      controller_->DownloadPiece(request.offset, in + wire::FIRMWARE_IMAGE_OFFSET, length, (length + 3ull) & ~3ull);
    c.status = fault->status;
  } else {
    c = controller_->DownloadPiece(request.offset, in + wire::FIRMWARE_IMAGE_OFFSET, length, (length + 3ull) & ~3ull);
  }
  notes->extras.push_back("nvme=" + Hex16(c.status));
  if (c.status != NVME_SUCCESS) return Fail(error, wire::ERROR_IO_DEVICE);
  if (fault != nullptr && fault->action == FaultAction::FailRequest) {
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  return true;
}

bool NativeDisk::FirmwareActivate(const uint8_t* in, uint32_t inLength, uint32_t* error, RequestNotes* notes) {
  if (!IsNvme()) return Fail(error, wire::ERROR_NOT_SUPPORTED);
  if (inLength < sizeof(wire::FirmwareActivate)) return Fail(error, wire::ERROR_INVALID_PARAMETER);
  wire::FirmwareActivate request;
  std::memcpy(&request, in, sizeof request);
  if (request.version != sizeof(wire::FirmwareActivate) || request.size < sizeof(wire::FirmwareActivate) ||
      request.size > inLength)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  const Fault* fault = BeginCommand(RequestKind::FirmwareCommit);
  if (fault != nullptr && fault->action == FaultAction::FailRequest && !fault->performed) {
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  // Switching to the firmware already in the slot is commit action 2; otherwise the downloaded
  // image replaces the slot's and runs from the next reset (action 1).
  uint32_t action =
      (request.flags & wire::STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE) != 0 ? 2 : 1;
  NvmeCompletion c;
  if (fault != nullptr && fault->action == FaultAction::ErrorCompletion) {
    ++faultsStruck_;
    if (fault->performed) controller_->Commit(request.slot, action);
    c.status = fault->status;
  } else {
    c = controller_->Commit(request.slot, action);
  }
  notes->extras.push_back("nvme=" + Hex16(c.status));
  // A commit whose activation needs a reset has been done; the driver reports it with its own
  // error.
  uint16_t code = c.status & 0x7FF;
  if (code == 0x10B || code == 0x110 || code == 0x111) return Fail(error, wire::ERROR_FIRMWARE_ACTIVATION_AFTER_RESET);
  if (c.status != NVME_SUCCESS) return Fail(error, wire::ERROR_IO_DEVICE);
  if (fault != nullptr && fault->action == FaultAction::FailRequest) {
    ++faultsStruck_;
    return Fail(error, fault->error);
  }
  return true;
}

// The firmware information as the storage stack gives it: a query of at least its own size
// (STATUS_INFO_LENGTH_MISMATCH otherwise), room for at least STORAGE_HW_FIRMWARE_INFO with its one
// slot record (STATUS_BUFFER_TOO_SMALL otherwise), and as much of the reply as the buffer holds,
// Size telling how much there is. The drive has one slot; it names it pending from a commit with
// activation at the next reset until that reset.
bool NativeDisk::FirmwareGetInfo(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength,
                                 uint32_t* returned, uint32_t* error, RequestNotes* notes) {
  if (!IsNvme()) return Fail(error, wire::ERROR_NOT_SUPPORTED);
  if (inLength < sizeof(wire::FirmwareInfoQuery)) return Fail(error, wire::ERROR_BAD_LENGTH);
  if (outLength < sizeof(wire::FirmwareInfo)) return Fail(error, wire::ERROR_INSUFFICIENT_BUFFER);
  wire::FirmwareInfoQuery query;
  std::memcpy(&query, in, sizeof query);
  if (query.version != sizeof(wire::FirmwareInfoQuery) || query.size < sizeof(wire::FirmwareInfoQuery) ||
      (query.flags & ~wire::STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) != 0)
    return Fail(error, wire::ERROR_INVALID_PARAMETER);
  const Fault* fault = BeginCommand(RequestKind::FirmwareInfo);
  if (fault != nullptr && (fault->action == FaultAction::FailRequest || fault->action == FaultAction::ErrorCompletion)) {
    ++faultsStruck_;
    if (fault->action == FaultAction::ErrorCompletion) {
      notes->extras.push_back("nvme=" + Hex16(fault->status));
      return Fail(error, wire::ERROR_IO_DEVICE);
    }
    return Fail(error, fault->error);
  }
  // What the driver reads from the Firmware Slot Information log page and Identify Controller.
  notes->extras.push_back("nvme=0000");
  const BehaviourDescription& behaviour = description_.behaviour;
  wire::FirmwareInfo info{};
  info.version = sizeof(wire::FirmwareInfo);
  info.size = sizeof(wire::FirmwareInfo);
  info.supportUpgrade = 1;
  info.slotCount = 1;
  info.activeSlot = 1;
  info.pendingActivateSlot = controller_->ActivationPending() ? 1 : wire::STORAGE_HW_FIRMWARE_INVALID_SLOT;
  info.firmwareShared = 1;
  info.imagePayloadAlignment = behaviour.firmwarePayloadAlignment;
  info.imagePayloadMaxSize = behaviour.firmwarePayloadMaxSize;
  info.slot[0].version = sizeof(wire::FirmwareSlotInfo);
  info.slot[0].size = sizeof(wire::FirmwareSlotInfo);
  info.slot[0].slotNumber = 1;
  std::string revision = controller_->FirmwareName();
  std::memcpy(info.slot[0].revision, revision.data(), std::min<size_t>(revision.size(), sizeof info.slot[0].revision));
  std::memcpy(out, &info, sizeof info);
  *returned = sizeof info;
  return true;
}

}  // namespace emu
