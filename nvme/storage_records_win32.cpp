// The storage request records of the command paths (nvme/storage_records.h) against the Windows
// SDK's own definitions: device control codes, enumeration values, sizes and field offsets. The
// records MinGW's headers lack are checked where the SDK defines them (MSVC builds).
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>

#include "nvme/storage_records.h"

static_assert(IOCTL_STORAGE_QUERY_PROPERTY == IOCTL_STORAGE_QUERY_PROPERTY_CODE);
static_assert(IOCTL_STORAGE_PROTOCOL_COMMAND == IOCTL_STORAGE_PROTOCOL_COMMAND_CODE);
static_assert(IOCTL_STORAGE_FIRMWARE_GET_INFO == IOCTL_STORAGE_FIRMWARE_GET_INFO_CODE);
static_assert(IOCTL_STORAGE_FIRMWARE_DOWNLOAD == IOCTL_STORAGE_FIRMWARE_DOWNLOAD_CODE);
static_assert(IOCTL_STORAGE_FIRMWARE_ACTIVATE == IOCTL_STORAGE_FIRMWARE_ACTIVATE_CODE);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == IOCTL_SCSI_PASS_THROUGH_DIRECT_CODE);

static_assert(StorageAdapterProtocolSpecificProperty == STORAGE_ADAPTER_PROTOCOL_SPECIFIC_PROPERTY);
static_assert(StorageDeviceProtocolSpecificProperty == STORAGE_DEVICE_PROTOCOL_SPECIFIC_PROPERTY);
static_assert(PropertyStandardQuery == PROPERTY_STANDARD_QUERY);
static_assert(ProtocolTypeNvme == PROTOCOL_TYPE_NVME);
static_assert(NVMeDataTypeIdentify == NVME_DATA_TYPE_IDENTIFY);

// STORAGE_PROPERTY_QUERY: the protocol-specific data stands in AdditionalParameters.
static_assert(offsetof(STORAGE_PROPERTY_QUERY, PropertyId) == offsetof(StorageProtocolQuery, propertyId));
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == offsetof(StorageProtocolQuery, queryType));
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) == offsetof(StorageProtocolQuery, specific));
static_assert(sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) == sizeof(StorageProtocolSpecificData));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolType) == offsetof(StorageProtocolSpecificData, protocolType));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, DataType) == offsetof(StorageProtocolSpecificData, dataType));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestValue) ==
              offsetof(StorageProtocolSpecificData, protocolDataRequestValue));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue) ==
              offsetof(StorageProtocolSpecificData, protocolDataRequestSubValue));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataOffset) ==
              offsetof(StorageProtocolSpecificData, protocolDataOffset));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataLength) ==
              offsetof(StorageProtocolSpecificData, protocolDataLength));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, FixedProtocolReturnData) ==
              offsetof(StorageProtocolSpecificData, fixedProtocolReturnData));
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue4) ==
              offsetof(StorageProtocolSpecificData, protocolDataRequestSubValue4));

// SCSI_PASS_THROUGH_DIRECT in the layout of this build.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == sizeof(ScsiPassThroughDirect));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == offsetof(ScsiPassThroughDirect, length));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == offsetof(ScsiPassThroughDirect, scsiStatus));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == offsetof(ScsiPassThroughDirect, pathId));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == offsetof(ScsiPassThroughDirect, targetId));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == offsetof(ScsiPassThroughDirect, lun));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == offsetof(ScsiPassThroughDirect, cdbLength));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == offsetof(ScsiPassThroughDirect, senseInfoLength));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == offsetof(ScsiPassThroughDirect, dataIn));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) ==
              offsetof(ScsiPassThroughDirect, dataTransferLength));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == offsetof(ScsiPassThroughDirect, timeOutValue));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == offsetof(ScsiPassThroughDirect, dataBuffer));
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::DataBuffer) == sizeof(ScsiPassThroughDirect::dataBuffer));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == offsetof(ScsiPassThroughDirect, senseInfoOffset));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == offsetof(ScsiPassThroughDirect, cdb));
// The system's record pinned for each bitness: 44 bytes with a 4-byte DataBuffer at 20 on 32-bit
// Windows, 56 bytes with an 8-byte one at 24 on 64-bit; the request's sense area follows at the
// next 8-byte boundary (48 or 56).
#ifdef _WIN64
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
static_assert(offsetof(ScsiRequest, sense) == 56 && sizeof(ScsiRequest) == 120);
#else
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
static_assert(offsetof(ScsiRequest, sense) == 48 && sizeof(ScsiRequest) == 112);
#endif
static_assert(SCSI_IOCTL_DATA_OUT == SPTD_DATA_OUT && SCSI_IOCTL_DATA_IN == SPTD_DATA_IN &&
              SCSI_IOCTL_DATA_UNSPECIFIED == SPTD_DATA_UNSPECIFIED);

#if defined(_MSC_VER) && defined(_WIN64)
// The 32-bit layout as a 64-bit SDK defines it for 32-bit callers (MinGW's copy declares its
// DataBuffer with the native pointer size, so it is checked with the SDK only).
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT32) == sizeof(ScsiPassThroughDirect32));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT32, DataBuffer) == offsetof(ScsiPassThroughDirect32, dataBuffer));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT32, SenseInfoOffset) ==
              offsetof(ScsiPassThroughDirect32, senseInfoOffset));
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT32, Cdb) == offsetof(ScsiPassThroughDirect32, cdb));
#endif

#ifdef STORAGE_PROTOCOL_STRUCTURE_VERSION
static_assert(STORAGE_PROTOCOL_STRUCTURE_VERSION == STORAGE_PROTOCOL_STRUCTURE_VERSION_VALUE);
static_assert(STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST == STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST_VALUE);
static_assert(STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND == STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND_VALUE);
static_assert(STORAGE_PROTOCOL_STATUS_SUCCESS == STORAGE_PROTOCOL_STATUS_SUCCESS_VALUE);
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ReturnStatus) == offsetof(StorageProtocolCommand, returnStatus));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ErrorCode) == offsetof(StorageProtocolCommand, errorCode));
static_assert(sizeof(STORAGE_PROTOCOL_COMMAND) == sizeof(StorageProtocolCommand));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ProtocolType) == offsetof(StorageProtocolCommand, protocolType));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Flags) == offsetof(StorageProtocolCommand, flags));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, CommandLength) == offsetof(StorageProtocolCommand, commandLength));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataToDeviceTransferLength) ==
              offsetof(StorageProtocolCommand, dataToDeviceTransferLength));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataFromDeviceTransferLength) ==
              offsetof(StorageProtocolCommand, dataFromDeviceTransferLength));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, TimeOutValue) == offsetof(StorageProtocolCommand, timeOutValue));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataToDeviceBufferOffset) ==
              offsetof(StorageProtocolCommand, dataToDeviceBufferOffset));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataFromDeviceBufferOffset) ==
              offsetof(StorageProtocolCommand, dataFromDeviceBufferOffset));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, CommandSpecific) == offsetof(StorageProtocolCommand, commandSpecific));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, FixedProtocolReturnData) ==
              offsetof(StorageProtocolCommand, fixedProtocolReturnData));
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Command) == offsetof(StorageProtocolCommand, command));
#endif

#ifdef STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER
static_assert(STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER == STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER_VALUE);
static_assert(STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE ==
              STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE_VALUE);
static_assert(sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) == sizeof(StorageHwFirmwareDownload));
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Slot) == offsetof(StorageHwFirmwareDownload, slot));
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Offset) == offsetof(StorageHwFirmwareDownload, offset));
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, BufferSize) == offsetof(StorageHwFirmwareDownload, bufferSize));
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer) == offsetof(StorageHwFirmwareDownload, imageBuffer));
static_assert(sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) == sizeof(StorageHwFirmwareActivate));
static_assert(offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Flags) == offsetof(StorageHwFirmwareActivate, flags));
static_assert(offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Slot) == offsetof(StorageHwFirmwareActivate, slot));
#endif

#ifdef STORAGE_HW_FIRMWARE_REVISION_LENGTH
// The firmware information records (the SDK's; MinGW's headers have only the control code). The
// bit fields SupportUpgrade and ReadOnly have no offset of their own: they are bit 0 of the byte
// at 8 and at 9.
static_assert(STORAGE_HW_FIRMWARE_REVISION_LENGTH == STORAGE_HW_FIRMWARE_REVISION_LENGTH_VALUE);
static_assert(STORAGE_HW_FIRMWARE_INVALID_SLOT == STORAGE_HW_FIRMWARE_INVALID_SLOT_VALUE);
static_assert(sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY) == sizeof(StorageHwFirmwareInfoQuery));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO_QUERY, Flags) == offsetof(StorageHwFirmwareInfoQuery, flags));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO_QUERY, Reserved) == offsetof(StorageHwFirmwareInfoQuery, reserved));
static_assert(sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO) == sizeof(StorageHwFirmwareSlotInfo));
static_assert(offsetof(STORAGE_HW_FIRMWARE_SLOT_INFO, SlotNumber) == offsetof(StorageHwFirmwareSlotInfo, slotNumber));
static_assert(offsetof(STORAGE_HW_FIRMWARE_SLOT_INFO, Revision) == offsetof(StorageHwFirmwareSlotInfo, revision));
static_assert(sizeof(STORAGE_HW_FIRMWARE_INFO) == sizeof(StorageHwFirmwareInfo));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, SlotCount) == offsetof(StorageHwFirmwareInfo, slotCount));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ActiveSlot) == offsetof(StorageHwFirmwareInfo, activeSlot));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, PendingActivateSlot) ==
              offsetof(StorageHwFirmwareInfo, pendingActivateSlot));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, FirmwareShared) == offsetof(StorageHwFirmwareInfo, firmwareShared));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ImagePayloadAlignment) ==
              offsetof(StorageHwFirmwareInfo, imagePayloadAlignment));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ImagePayloadMaxSize) ==
              offsetof(StorageHwFirmwareInfo, imagePayloadMaxSize));
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, Slot) == offsetof(StorageHwFirmwareInfo, slot));
#endif
