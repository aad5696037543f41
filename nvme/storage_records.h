// The Windows storage request records the command paths send, as our own plain records with their
// sizes and offsets checked here (and, on Windows builds, against the SDK's own definitions in
// nvme/storage_records_win32.cpp). Sizes that differ between 32-bit and 64-bit Windows come
// from sizeof.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

// Device control codes.
constexpr uint32_t IOCTL_STORAGE_QUERY_PROPERTY_CODE = 0x2D1400;
constexpr uint32_t IOCTL_STORAGE_PROTOCOL_COMMAND_CODE = 0x2DD3C0;
constexpr uint32_t IOCTL_STORAGE_FIRMWARE_GET_INFO_CODE = 0x2D1C00;
constexpr uint32_t IOCTL_STORAGE_FIRMWARE_DOWNLOAD_CODE = 0x2DDC04;
constexpr uint32_t IOCTL_STORAGE_FIRMWARE_ACTIVATE_CODE = 0x2DDC08;
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT_CODE = 0x4D014;

// ---- STORAGE_PROTOCOL_COMMAND ----------------------------------------------------------------

constexpr uint32_t STORAGE_PROTOCOL_STRUCTURE_VERSION_VALUE = 1;
constexpr uint32_t PROTOCOL_TYPE_NVME = 3;
constexpr uint32_t STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST_VALUE = 0x80000000;
constexpr uint32_t STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND_VALUE = 1;
constexpr uint32_t STORAGE_PROTOCOL_COMMAND_LENGTH_NVME_VALUE = 64;
constexpr uint32_t NVME_PASS_THROUGH_TIMEOUT_SECONDS = 10;
// ReturnStatus of a command the device completed without an error.
constexpr uint32_t STORAGE_PROTOCOL_STATUS_SUCCESS_VALUE = 1;

// The header; the 64-byte command starts at `command` and runs on past the record, as the system
// defines it (Command[ANYSIZE_ARRAY]).
struct StorageProtocolCommand {
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
  uint8_t command[4];
};
static_assert(std::is_standard_layout_v<StorageProtocolCommand>);
static_assert(sizeof(StorageProtocolCommand) == 84);
static_assert(offsetof(StorageProtocolCommand, version) == 0);
static_assert(offsetof(StorageProtocolCommand, length) == 4);
static_assert(offsetof(StorageProtocolCommand, protocolType) == 8);
static_assert(offsetof(StorageProtocolCommand, flags) == 12);
static_assert(offsetof(StorageProtocolCommand, returnStatus) == 16);
static_assert(offsetof(StorageProtocolCommand, errorCode) == 20);
static_assert(offsetof(StorageProtocolCommand, commandLength) == 24);
static_assert(offsetof(StorageProtocolCommand, errorInfoLength) == 28);
static_assert(offsetof(StorageProtocolCommand, dataToDeviceTransferLength) == 32);
static_assert(offsetof(StorageProtocolCommand, dataFromDeviceTransferLength) == 36);
static_assert(offsetof(StorageProtocolCommand, timeOutValue) == 40);
static_assert(offsetof(StorageProtocolCommand, errorInfoOffset) == 44);
static_assert(offsetof(StorageProtocolCommand, dataToDeviceBufferOffset) == 48);
static_assert(offsetof(StorageProtocolCommand, dataFromDeviceBufferOffset) == 52);
static_assert(offsetof(StorageProtocolCommand, commandSpecific) == 56);
static_assert(offsetof(StorageProtocolCommand, reserved0) == 60);
static_assert(offsetof(StorageProtocolCommand, fixedProtocolReturnData) == 64);
static_assert(offsetof(StorageProtocolCommand, reserved1) == 68);
static_assert(offsetof(StorageProtocolCommand, command) == 80);

// The native command request: header, command, then the data.
constexpr uint32_t NATIVE_COMMAND_OFFSET = offsetof(StorageProtocolCommand, command);  // 80
constexpr uint32_t NATIVE_DATA_OFFSET = NATIVE_COMMAND_OFFSET + 64;                    // 144
static_assert(NATIVE_DATA_OFFSET == 144);

// ---- STORAGE_PROPERTY_QUERY with STORAGE_PROTOCOL_SPECIFIC_DATA -------------------------------

constexpr uint32_t STORAGE_ADAPTER_PROTOCOL_SPECIFIC_PROPERTY = 49;
constexpr uint32_t STORAGE_DEVICE_PROTOCOL_SPECIFIC_PROPERTY = 50;
constexpr uint32_t PROPERTY_STANDARD_QUERY = 0;
constexpr uint32_t NVME_DATA_TYPE_IDENTIFY = 1;

struct StorageProtocolSpecificData {
  uint32_t protocolType;
  uint32_t dataType;
  uint32_t protocolDataRequestValue;
  uint32_t protocolDataRequestSubValue;
  uint32_t protocolDataOffset;  // counted from the start of this record
  uint32_t protocolDataLength;
  uint32_t fixedProtocolReturnData;
  uint32_t protocolDataRequestSubValue2;
  uint32_t protocolDataRequestSubValue3;
  uint32_t protocolDataRequestSubValue4;
};
static_assert(sizeof(StorageProtocolSpecificData) == 40);
static_assert(offsetof(StorageProtocolSpecificData, protocolDataRequestValue) == 8);
static_assert(offsetof(StorageProtocolSpecificData, protocolDataRequestSubValue) == 12);
static_assert(offsetof(StorageProtocolSpecificData, protocolDataOffset) == 16);
static_assert(offsetof(StorageProtocolSpecificData, protocolDataLength) == 20);
static_assert(offsetof(StorageProtocolSpecificData, fixedProtocolReturnData) == 24);
static_assert(offsetof(StorageProtocolSpecificData, protocolDataRequestSubValue4) == 36);

// STORAGE_PROPERTY_QUERY whose AdditionalParameters hold the protocol-specific data; the reply
// data follows at NATIVE_IDENTIFY_DATA_OFFSET.
struct StorageProtocolQuery {
  uint32_t propertyId;
  uint32_t queryType;
  StorageProtocolSpecificData specific;
};
static_assert(sizeof(StorageProtocolQuery) == 48);
static_assert(offsetof(StorageProtocolQuery, propertyId) == 0);
static_assert(offsetof(StorageProtocolQuery, queryType) == 4);
static_assert(offsetof(StorageProtocolQuery, specific) == 8);
constexpr uint32_t NATIVE_IDENTIFY_DATA_OFFSET = sizeof(StorageProtocolQuery);  // 48

// ---- Firmware download and activate -----------------------------------------------------------

constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER_VALUE = 0x00000001;
constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE_VALUE = 0x80000000;

// STORAGE_HW_FIRMWARE_DOWNLOAD; the chunk starts at imageBuffer and runs on past the record.
struct StorageHwFirmwareDownload {
  uint32_t version;
  uint32_t size;
  uint32_t flags;
  uint8_t slot;
  uint8_t reserved[3];
  uint64_t offset;
  uint64_t bufferSize;
  uint8_t imageBuffer[8];
};
static_assert(sizeof(StorageHwFirmwareDownload) == 40);
static_assert(offsetof(StorageHwFirmwareDownload, version) == 0);
static_assert(offsetof(StorageHwFirmwareDownload, size) == 4);
static_assert(offsetof(StorageHwFirmwareDownload, flags) == 8);
static_assert(offsetof(StorageHwFirmwareDownload, slot) == 12);
static_assert(offsetof(StorageHwFirmwareDownload, offset) == 16);
static_assert(offsetof(StorageHwFirmwareDownload, bufferSize) == 24);
static_assert(offsetof(StorageHwFirmwareDownload, imageBuffer) == 32);
constexpr uint32_t FW_DOWNLOAD_CHUNK_BYTES = 4096;
constexpr uint32_t FW_DOWNLOAD_REQUEST_BYTES = sizeof(StorageHwFirmwareDownload) + FW_DOWNLOAD_CHUNK_BYTES;
static_assert(FW_DOWNLOAD_REQUEST_BYTES == 4136);

struct StorageHwFirmwareActivate {
  uint32_t version;
  uint32_t size;
  uint32_t flags;
  uint8_t slot;
  uint8_t reserved0[3];
};
static_assert(sizeof(StorageHwFirmwareActivate) == 16);
static_assert(offsetof(StorageHwFirmwareActivate, flags) == 8);
static_assert(offsetof(StorageHwFirmwareActivate, slot) == 12);

// The activate error that still counts as success: the drive took the image, and it runs from the
// next reset.
constexpr uint32_t FW_ACTIVATE_ERROR_ACCEPTED = 0x30207;

// ---- Firmware information: IOCTL_STORAGE_FIRMWARE_GET_INFO -------------------------------------
// The request is a STORAGE_HW_FIRMWARE_INFO_QUERY; the reply a STORAGE_HW_FIRMWARE_INFO whose Slot
// records run on past it, one per firmware slot. No member is pointer-sized and every one is
// aligned to its size, so the 32-bit and the 64-bit layouts are the same.

struct StorageHwFirmwareInfoQuery {
  uint32_t version;  // sizeof(StorageHwFirmwareInfoQuery)
  uint32_t size;     // the same
  uint32_t flags;    // STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER for an NVMe drive
  uint32_t reserved;
};
static_assert(sizeof(StorageHwFirmwareInfoQuery) == 16 && alignof(StorageHwFirmwareInfoQuery) == 4);
static_assert(offsetof(StorageHwFirmwareInfoQuery, size) == 4);
static_assert(offsetof(StorageHwFirmwareInfoQuery, flags) == 8);
static_assert(offsetof(StorageHwFirmwareInfoQuery, reserved) == 12);

constexpr size_t STORAGE_HW_FIRMWARE_REVISION_LENGTH_VALUE = 16;
// PendingActivateSlot when no slot waits for activation.
constexpr uint8_t STORAGE_HW_FIRMWARE_INVALID_SLOT_VALUE = 0xFF;

struct StorageHwFirmwareSlotInfo {
  uint32_t version;  // sizeof(StorageHwFirmwareSlotInfo)
  uint32_t size;
  uint8_t slotNumber;
  uint8_t readOnly;  // bit 0 ReadOnly, bits 1-7 Reserved0
  uint8_t reserved1[6];
  uint8_t revision[STORAGE_HW_FIRMWARE_REVISION_LENGTH_VALUE];
};
static_assert(sizeof(StorageHwFirmwareSlotInfo) == 32 && alignof(StorageHwFirmwareSlotInfo) == 4);
static_assert(offsetof(StorageHwFirmwareSlotInfo, size) == 4);
static_assert(offsetof(StorageHwFirmwareSlotInfo, slotNumber) == 8);
static_assert(offsetof(StorageHwFirmwareSlotInfo, readOnly) == 9);
static_assert(offsetof(StorageHwFirmwareSlotInfo, reserved1) == 10);
static_assert(offsetof(StorageHwFirmwareSlotInfo, revision) == 16);

struct StorageHwFirmwareInfo {
  uint32_t version;  // sizeof(StorageHwFirmwareInfo), one slot record included
  uint32_t size;     // the whole reply: the head and SlotCount slot records
  uint8_t supportUpgrade;  // bit 0 SupportUpgrade, bits 1-7 Reserved0
  uint8_t slotCount;
  uint8_t activeSlot;
  uint8_t pendingActivateSlot;
  uint8_t firmwareShared;
  uint8_t reserved[3];
  uint32_t imagePayloadAlignment;
  uint32_t imagePayloadMaxSize;
  StorageHwFirmwareSlotInfo slot[1];  // Slot[ANYSIZE_ARRAY]
};
static_assert(sizeof(StorageHwFirmwareInfo) == 56 && alignof(StorageHwFirmwareInfo) == 4);
static_assert(offsetof(StorageHwFirmwareInfo, size) == 4);
static_assert(offsetof(StorageHwFirmwareInfo, supportUpgrade) == 8);
static_assert(offsetof(StorageHwFirmwareInfo, slotCount) == 9);
static_assert(offsetof(StorageHwFirmwareInfo, activeSlot) == 10);
static_assert(offsetof(StorageHwFirmwareInfo, pendingActivateSlot) == 11);
static_assert(offsetof(StorageHwFirmwareInfo, firmwareShared) == 12);
static_assert(offsetof(StorageHwFirmwareInfo, imagePayloadAlignment) == 16);
static_assert(offsetof(StorageHwFirmwareInfo, imagePayloadMaxSize) == 20);
static_assert(offsetof(StorageHwFirmwareInfo, slot) == 24);

// An NVMe controller has at most seven firmware slots; the reply buffer holds them all.
constexpr uint32_t FW_INFO_MAX_SLOTS = 7;
constexpr uint32_t FW_INFO_REPLY_BYTES =
    offsetof(StorageHwFirmwareInfo, slot) + FW_INFO_MAX_SLOTS * sizeof(StorageHwFirmwareSlotInfo);
static_assert(FW_INFO_REPLY_BYTES == 248);

// ---- SCSI_PASS_THROUGH_DIRECT ------------------------------------------------------------------

constexpr uint8_t SPTD_DATA_OUT = 0;
constexpr uint8_t SPTD_DATA_IN = 1;
constexpr uint8_t SPTD_DATA_UNSPECIFIED = 2;
constexpr uint8_t SPTD_STATUS_GOOD = 0;
constexpr uint8_t SPTD_STATUS_CHECK_CONDITION = 2;
constexpr uint8_t SPTD_CDB_LENGTH = 16;
constexpr uint8_t SPTD_SENSE_LENGTH = 24;
constexpr uint32_t SPTD_TIMEOUT_SECONDS = 10;
constexpr size_t SPTD_SENSE_AREA = 64;

// The layout of a 32-bit build: DataBuffer is a 32-bit address.
struct ScsiPassThroughDirect32 {
  uint16_t length;
  uint8_t scsiStatus;
  uint8_t pathId;
  uint8_t targetId;
  uint8_t lun;
  uint8_t cdbLength;
  uint8_t senseInfoLength;
  uint8_t dataIn;
  uint32_t dataTransferLength;
  uint32_t timeOutValue;
  uint32_t dataBuffer;
  uint32_t senseInfoOffset;
  uint8_t cdb[16];
};
static_assert(sizeof(ScsiPassThroughDirect32) == 44);
static_assert(offsetof(ScsiPassThroughDirect32, scsiStatus) == 2);
static_assert(offsetof(ScsiPassThroughDirect32, cdbLength) == 6);
static_assert(offsetof(ScsiPassThroughDirect32, senseInfoLength) == 7);
static_assert(offsetof(ScsiPassThroughDirect32, dataIn) == 8);
static_assert(offsetof(ScsiPassThroughDirect32, dataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect32, timeOutValue) == 16);
static_assert(offsetof(ScsiPassThroughDirect32, dataBuffer) == 20);
static_assert(offsetof(ScsiPassThroughDirect32, senseInfoOffset) == 24);
static_assert(offsetof(ScsiPassThroughDirect32, cdb) == 28);

// The layout of a 64-bit build: DataBuffer is a 64-bit address, aligned to 8.
struct ScsiPassThroughDirect64 {
  uint16_t length;
  uint8_t scsiStatus;
  uint8_t pathId;
  uint8_t targetId;
  uint8_t lun;
  uint8_t cdbLength;
  uint8_t senseInfoLength;
  uint8_t dataIn;
  uint32_t dataTransferLength;
  uint32_t timeOutValue;
  uint64_t dataBuffer;
  uint32_t senseInfoOffset;
  uint8_t cdb[16];
};
static_assert(sizeof(ScsiPassThroughDirect64) == 56);
static_assert(offsetof(ScsiPassThroughDirect64, scsiStatus) == 2);
static_assert(offsetof(ScsiPassThroughDirect64, cdbLength) == 6);
static_assert(offsetof(ScsiPassThroughDirect64, senseInfoLength) == 7);
static_assert(offsetof(ScsiPassThroughDirect64, dataIn) == 8);
static_assert(offsetof(ScsiPassThroughDirect64, dataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect64, timeOutValue) == 16);
static_assert(offsetof(ScsiPassThroughDirect64, dataBuffer) == 24);
static_assert(offsetof(ScsiPassThroughDirect64, senseInfoOffset) == 32);
static_assert(offsetof(ScsiPassThroughDirect64, cdb) == 36);

// The whole request: the record, then the sense area at the next 8-byte boundary (48 for the
// 32-bit layout, 56 for the 64-bit one).
struct ScsiRequest32 {
  ScsiPassThroughDirect32 sptd;
  uint32_t filler;
  uint8_t sense[SPTD_SENSE_AREA];
};
static_assert(sizeof(ScsiRequest32) == 112);
static_assert(offsetof(ScsiRequest32, sense) == 48);

struct ScsiRequest64 {
  ScsiPassThroughDirect64 sptd;
  uint8_t sense[SPTD_SENSE_AREA];
};
static_assert(sizeof(ScsiRequest64) == 120);
static_assert(offsetof(ScsiRequest64, sense) == 56);

// The layout of this build.
using ScsiPassThroughDirect =
    std::conditional_t<sizeof(void*) == 8, ScsiPassThroughDirect64, ScsiPassThroughDirect32>;
using ScsiRequest = std::conditional_t<sizeof(void*) == 8, ScsiRequest64, ScsiRequest32>;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);
