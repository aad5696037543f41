// The storage requests as a Windows disk driver receives them: control codes, and the records of
// the Windows SDK laid out byte for byte (64-bit layouts, and the 32-bit one where the pointer
// size changes a record). The emulated disks read requests through these records only, by
// copying bytes in and out, so that a request of any content is read within its buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace emu::wire {

constexpr uint32_t IOCTL_STORAGE_QUERY_PROPERTY = 0x002D1400;
constexpr uint32_t IOCTL_STORAGE_GET_DEVICE_NUMBER = 0x002D1080;
constexpr uint32_t IOCTL_STORAGE_PROTOCOL_COMMAND = 0x002DD3C0;
constexpr uint32_t IOCTL_STORAGE_FIRMWARE_GET_INFO = 0x002D1C00;
constexpr uint32_t IOCTL_STORAGE_FIRMWARE_DOWNLOAD = 0x002DDC04;
constexpr uint32_t IOCTL_STORAGE_FIRMWARE_ACTIVATE = 0x002DDC08;
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x0004D014;

// System error codes the disks answer with.
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_BAD_LENGTH = 24;  // STATUS_INFO_LENGTH_MISMATCH
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_IO_DEVICE = 1117;
// What IOCTL_STORAGE_FIRMWARE_ACTIVATE fails with when the drive completed the commit with an
// "activation requires a reset" status (NVMe 0x10B, 0x110, 0x111): the image is committed.
constexpr uint32_t ERROR_FIRMWARE_ACTIVATION_AFTER_RESET = 0x30207;

// STORAGE_PROPERTY_ID and STORAGE_QUERY_TYPE values.
constexpr uint32_t StorageDeviceProperty = 0;
constexpr uint32_t StorageAdapterProtocolSpecificProperty = 49;
constexpr uint32_t StorageDeviceProtocolSpecificProperty = 50;
constexpr uint32_t PropertyStandardQuery = 0;
constexpr uint32_t PropertyExistsQuery = 1;

constexpr uint32_t ProtocolTypeNvme = 3;
constexpr uint32_t NVMeDataTypeIdentify = 1;
constexpr uint32_t STORAGE_PROTOCOL_STRUCTURE_VERSION = 1;
constexpr uint32_t STORAGE_PROTOCOL_COMMAND_LENGTH_NVME = 64;
constexpr uint32_t STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND = 1;
constexpr uint32_t STORAGE_PROTOCOL_SPECIFIC_NVME_NVM_COMMAND = 2;
constexpr uint32_t STORAGE_PROTOCOL_STATUS_SUCCESS = 1;
constexpr uint32_t STORAGE_PROTOCOL_STATUS_ERROR = 2;
constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER = 0x00000001;
constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE = 0x80000000;
constexpr uint32_t FILE_DEVICE_DISK = 7;

constexpr uint8_t SCSI_IOCTL_DATA_OUT = 0;
constexpr uint8_t SCSI_IOCTL_DATA_IN = 1;
constexpr uint8_t SCSI_IOCTL_DATA_UNSPECIFIED = 2;
constexpr uint8_t SCSISTAT_GOOD = 0;
constexpr uint8_t SCSISTAT_CHECK_CONDITION = 2;

// The most one request may move: the storage stack's maximum transfer length.
constexpr uint32_t MAX_TRANSFER = 128 * 1024;
// The least ProtocolDataLength a protocol-specific query may give.
constexpr uint32_t MIN_PROTOCOL_DATA_LENGTH = 512;

#pragma pack(push, 1)

// STORAGE_PROPERTY_QUERY without its AdditionalParameters.
struct PropertyQueryHead {
  uint32_t propertyId;
  uint32_t queryType;
};
static_assert(sizeof(PropertyQueryHead) == 8);

// STORAGE_PROTOCOL_SPECIFIC_DATA: follows the query head in the request, and the descriptor head
// in the reply.
struct ProtocolSpecificData {
  uint32_t protocolType;
  uint32_t dataType;
  uint32_t protocolDataRequestValue;
  uint32_t protocolDataRequestSubValue;
  uint32_t protocolDataOffset;  // from the start of this record
  uint32_t protocolDataLength;
  uint32_t fixedProtocolReturnData;
  uint32_t protocolDataRequestSubValue2;
  uint32_t protocolDataRequestSubValue3;
  uint32_t protocolDataRequestSubValue4;
};
static_assert(sizeof(ProtocolSpecificData) == 40);
static_assert(offsetof(ProtocolSpecificData, protocolDataOffset) == 16);
static_assert(offsetof(ProtocolSpecificData, fixedProtocolReturnData) == 24);

// STORAGE_PROTOCOL_DATA_DESCRIPTOR: the reply head of a protocol-specific query.
struct ProtocolDataDescriptor {
  uint32_t version;
  uint32_t size;
  ProtocolSpecificData protocolSpecificData;
};
static_assert(sizeof(ProtocolDataDescriptor) == 48);
static_assert(offsetof(ProtocolDataDescriptor, protocolSpecificData) == 8);

// STORAGE_DEVICE_DESCRIPTOR with its one RawDeviceProperties byte and the tail padding.
struct DeviceDescriptor {
  uint32_t version;
  uint32_t size;
  uint8_t deviceType;
  uint8_t deviceTypeModifier;
  uint8_t removableMedia;
  uint8_t commandQueueing;
  uint32_t vendorIdOffset;
  uint32_t productIdOffset;
  uint32_t productRevisionOffset;
  uint32_t serialNumberOffset;
  uint32_t busType;
  uint32_t rawPropertiesLength;
  uint8_t rawDeviceProperties[1];
  uint8_t padding[3];
};
static_assert(sizeof(DeviceDescriptor) == 40);
static_assert(offsetof(DeviceDescriptor, vendorIdOffset) == 12);
static_assert(offsetof(DeviceDescriptor, busType) == 28);
static_assert(offsetof(DeviceDescriptor, rawDeviceProperties) == 36);

// STORAGE_DEVICE_NUMBER.
struct DeviceNumber {
  uint32_t deviceType;
  uint32_t deviceNumber;
  uint32_t partitionNumber;
};
static_assert(sizeof(DeviceNumber) == 12);

// STORAGE_PROTOCOL_COMMAND up to its Command array; sizeof of the SDK record is 84.
struct ProtocolCommand {
  uint32_t version;
  uint32_t length;
  uint32_t protocolType;
  uint32_t flags;
  uint32_t returnStatus;
  uint32_t errorCode;
  uint32_t commandLength;
  uint32_t errorInfoLength;
  uint32_t dataToDeviceTransferLength;
  uint32_t dataFromDeviceTransferLength;
  uint32_t timeOutValue;
  uint32_t errorInfoOffset;
  uint32_t dataToDeviceBufferOffset;
  uint32_t dataFromDeviceBufferOffset;
  uint32_t commandSpecific;
  uint32_t reserved0;
  uint32_t fixedProtocolReturnData;
  uint32_t reserved1[3];
  uint8_t command[4];  // Command[ANYSIZE_ARRAY] and the tail padding
};
static_assert(sizeof(ProtocolCommand) == 84);
static_assert(offsetof(ProtocolCommand, commandLength) == 24);
static_assert(offsetof(ProtocolCommand, dataToDeviceTransferLength) == 32);
static_assert(offsetof(ProtocolCommand, dataFromDeviceTransferLength) == 36);
static_assert(offsetof(ProtocolCommand, dataToDeviceBufferOffset) == 48);
static_assert(offsetof(ProtocolCommand, dataFromDeviceBufferOffset) == 52);
static_assert(offsetof(ProtocolCommand, commandSpecific) == 56);
static_assert(offsetof(ProtocolCommand, fixedProtocolReturnData) == 64);
static_assert(offsetof(ProtocolCommand, command) == 80);
constexpr uint32_t PROTOCOL_COMMAND_OFFSET = 80;

// STORAGE_HW_FIRMWARE_DOWNLOAD; ImageBuffer begins at 32, sizeof is 40.
struct FirmwareDownload {
  uint32_t version;
  uint32_t size;
  uint32_t flags;
  uint8_t slot;
  uint8_t reserved[3];
  uint64_t offset;
  uint64_t bufferSize;
  uint8_t imageBuffer[8];  // ImageBuffer[ANYSIZE_ARRAY] and the tail padding
};
static_assert(sizeof(FirmwareDownload) == 40);
static_assert(offsetof(FirmwareDownload, slot) == 12);
static_assert(offsetof(FirmwareDownload, offset) == 16);
static_assert(offsetof(FirmwareDownload, bufferSize) == 24);
static_assert(offsetof(FirmwareDownload, imageBuffer) == 32);
constexpr uint32_t FIRMWARE_IMAGE_OFFSET = 32;

// STORAGE_HW_FIRMWARE_ACTIVATE.
struct FirmwareActivate {
  uint32_t version;
  uint32_t size;
  uint32_t flags;
  uint8_t slot;
  uint8_t reserved[3];
};
static_assert(sizeof(FirmwareActivate) == 16);
static_assert(offsetof(FirmwareActivate, slot) == 12);

// STORAGE_HW_FIRMWARE_INFO_QUERY.
struct FirmwareInfoQuery {
  uint32_t version;
  uint32_t size;
  uint32_t flags;
  uint32_t reserved;
};
static_assert(sizeof(FirmwareInfoQuery) == 16);

// STORAGE_HW_FIRMWARE_SLOT_INFO.
struct FirmwareSlotInfo {
  uint32_t version;
  uint32_t size;
  uint8_t slotNumber;
  uint8_t readOnly;  // bit 0
  uint8_t reserved1[6];
  uint8_t revision[16];
};
static_assert(sizeof(FirmwareSlotInfo) == 32);
static_assert(offsetof(FirmwareSlotInfo, slotNumber) == 8);
static_assert(offsetof(FirmwareSlotInfo, revision) == 16);

// STORAGE_HW_FIRMWARE_INFO with its first slot record; the other slots follow it.
struct FirmwareInfo {
  uint32_t version;
  uint32_t size;
  uint8_t supportUpgrade;  // bit 0
  uint8_t slotCount;
  uint8_t activeSlot;
  uint8_t pendingActivateSlot;
  uint8_t firmwareShared;
  uint8_t reserved[3];
  uint32_t imagePayloadAlignment;
  uint32_t imagePayloadMaxSize;
  FirmwareSlotInfo slot[1];
};
static_assert(sizeof(FirmwareInfo) == 56);
static_assert(offsetof(FirmwareInfo, slotCount) == 9);
static_assert(offsetof(FirmwareInfo, pendingActivateSlot) == 11);
static_assert(offsetof(FirmwareInfo, imagePayloadAlignment) == 16);
static_assert(offsetof(FirmwareInfo, slot) == 24);
constexpr uint8_t STORAGE_HW_FIRMWARE_INVALID_SLOT = 0xFF;

// SCSI_PASS_THROUGH_DIRECT of a 64-bit process: DataBuffer is 8 bytes on an 8-byte boundary.
struct ScsiPassThroughDirect64 {
  uint16_t length;
  uint8_t scsiStatus;
  uint8_t pathId;
  uint8_t targetId;
  uint8_t lun;
  uint8_t cdbLength;
  uint8_t senseInfoLength;
  uint8_t dataIn;
  uint8_t padding0[3];
  uint32_t dataTransferLength;
  uint32_t timeOutValue;
  uint32_t padding1;
  uint64_t dataBuffer;
  uint32_t senseInfoOffset;
  uint8_t cdb[16];
  uint8_t padding2[4];
};
static_assert(sizeof(ScsiPassThroughDirect64) == 56);
static_assert(offsetof(ScsiPassThroughDirect64, dataIn) == 8);
static_assert(offsetof(ScsiPassThroughDirect64, dataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect64, timeOutValue) == 16);
static_assert(offsetof(ScsiPassThroughDirect64, dataBuffer) == 24);
static_assert(offsetof(ScsiPassThroughDirect64, senseInfoOffset) == 32);
static_assert(offsetof(ScsiPassThroughDirect64, cdb) == 36);

// SCSI_PASS_THROUGH_DIRECT of a 32-bit process.
struct ScsiPassThroughDirect32 {
  uint16_t length;
  uint8_t scsiStatus;
  uint8_t pathId;
  uint8_t targetId;
  uint8_t lun;
  uint8_t cdbLength;
  uint8_t senseInfoLength;
  uint8_t dataIn;
  uint8_t padding0[3];
  uint32_t dataTransferLength;
  uint32_t timeOutValue;
  uint32_t dataBuffer;
  uint32_t senseInfoOffset;
  uint8_t cdb[16];
};
static_assert(sizeof(ScsiPassThroughDirect32) == 44);
static_assert(offsetof(ScsiPassThroughDirect32, dataBuffer) == 20);
static_assert(offsetof(ScsiPassThroughDirect32, senseInfoOffset) == 24);
static_assert(offsetof(ScsiPassThroughDirect32, cdb) == 28);

#pragma pack(pop)

// The record of this build's pointer size: what the driver of this process receives.
using ScsiPassThroughDirect =
    std::conditional_t<sizeof(void*) == 8, ScsiPassThroughDirect64, ScsiPassThroughDirect32>;

}  // namespace emu::wire
