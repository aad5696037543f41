// Command framing and the native path: STORAGE_PROTOCOL_COMMAND for admin commands and the
// protocol-specific property query for Identify.
#include "nvme/nvme_command.h"

#include <cstring>

#include "core/app_state.h"
#include "core/page_block.h"
#include "nvme/storage_records.h"
#include "platform/platform.h"

NvmeCommand VendorCommand(uint8_t opcode, uint32_t length, uint32_t cdw12, uint32_t cdw13,
                          uint32_t cdw14, uint32_t cdw15) {
  NvmeCommand command{};
  command.opcode = opcode;
  command.nsid = VENDOR_NSID;
  command.cdw10 = length / 4;
  command.cdw12 = cdw12;
  command.cdw13 = cdw13;
  command.cdw14 = cdw14;
  command.cdw15 = cdw15;
  return command;
}

uint16_t CompletionStatus(const uint8_t* entry) {
  const auto high = static_cast<uint16_t>(entry[NVME_COMPLETION_STATUS_AT] |
                                          entry[NVME_COMPLETION_STATUS_AT + 1] << 8);
  return static_cast<uint16_t>(high >> 1);  // bit 0 there is the phase tag
}

NvmeCommand IdentifyCommand(uint32_t cns, uint32_t nsid) {
  NvmeCommand command{};
  command.opcode = NVME_OPC_IDENTIFY;
  command.nsid = nsid;
  command.cdw10 = cns;
  return command;
}

int IO_NVMe_PassThrough(platform::DeviceHandle device, uint32_t direction, uint8_t opcode,
                        uint32_t cdw12, uint32_t cdw13, uint32_t cdw14, uint32_t cdw15,
                        void* buffer, uint32_t length) {
  const uint32_t dataLength = direction == NVME_DATA_NONE ? 0 : length;
  if (dataLength > UINT32_MAX - NATIVE_DATA_OFFSET) {
    RecordSystemError(NVME_ERROR_INVALID_PARAMETER);
    return NVME_RESULT_IO_FAILED;
  }
  const uint32_t size = NATIVE_DATA_OFFSET + dataLength;
  PageBlock block(size);
  uint8_t* request = block.data();
  if (request == nullptr) return NVME_RESULT_IO_FAILED;
  if (direction == NVME_DATA_WRITE && dataLength != 0)
    std::memcpy(request + NATIVE_DATA_OFFSET, buffer, dataLength);

  StorageProtocolCommand header{};
  header.version = STORAGE_PROTOCOL_STRUCTURE_VERSION_VALUE;
  header.length = sizeof(StorageProtocolCommand);
  header.protocolType = PROTOCOL_TYPE_NVME;
  header.flags = STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST_VALUE;
  header.commandLength = STORAGE_PROTOCOL_COMMAND_LENGTH_NVME_VALUE;
  header.dataToDeviceTransferLength = direction == NVME_DATA_WRITE ? dataLength : 0;
  header.dataFromDeviceTransferLength = direction == NVME_DATA_READ ? dataLength : 0;
  header.timeOutValue = NVME_PASS_THROUGH_TIMEOUT_SECONDS;
  header.dataToDeviceBufferOffset = NATIVE_DATA_OFFSET;
  header.dataFromDeviceBufferOffset = NATIVE_DATA_OFFSET;
  header.commandSpecific = STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND_VALUE;
  // The header's last bytes are the first bytes of the command, which is written over them.
  std::memcpy(request, &header, NATIVE_COMMAND_OFFSET);
  const NvmeCommand command = VendorCommand(opcode, length, cdw12, cdw13, cdw14, cdw15);
  std::memcpy(request + NATIVE_COMMAND_OFFSET, &command, sizeof(command));

  uint32_t returned = 0;
  uint32_t error = 0;
  const bool ok = platform::Io().Control(device, IOCTL_STORAGE_PROTOCOL_COMMAND_CODE, request,
                                         size, request, size, &returned, &error);
  if (!ok) {
    RecordSystemError(error);
    return NVME_RESULT_IO_FAILED;
  }
  // The request was carried; the record tells how the drive completed the command.
  StorageProtocolCommand reply;
  std::memcpy(&reply, request, sizeof(reply));
  if (reply.returnStatus != STORAGE_PROTOCOL_STATUS_SUCCESS_VALUE || reply.errorCode != 0)
    return NVME_RESULT_DEVICE_ERROR;
  if (direction == NVME_DATA_READ && dataLength != 0)
    std::memcpy(buffer, request + NATIVE_DATA_OFFSET, dataLength);
  return NVME_RESULT_OK;
}

namespace {

// One protocol-specific Identify query through the given property.
int QueryIdentify(platform::DeviceHandle device, uint32_t propertyId, uint32_t cns, uint32_t nsid,
                  void* buffer, uint32_t length) {
  if (length > UINT32_MAX - NATIVE_IDENTIFY_DATA_OFFSET) {
    RecordSystemError(NVME_ERROR_INVALID_PARAMETER);
    return NVME_RESULT_IO_FAILED;
  }
  const uint32_t size = NATIVE_IDENTIFY_DATA_OFFSET + length;
  PageBlock block(size);
  uint8_t* request = block.data();
  if (request == nullptr) return NVME_RESULT_IO_FAILED;
  StorageProtocolQuery query{};
  query.propertyId = propertyId;
  query.queryType = PROPERTY_STANDARD_QUERY;
  query.specific.protocolType = PROTOCOL_TYPE_NVME;
  query.specific.dataType = NVME_DATA_TYPE_IDENTIFY;
  query.specific.protocolDataRequestValue = cns;
  query.specific.protocolDataRequestSubValue = nsid;
  query.specific.protocolDataOffset = sizeof(StorageProtocolSpecificData);
  query.specific.protocolDataLength = length;
  std::memcpy(request, &query, sizeof(query));

  uint32_t returned = 0;
  uint32_t error = 0;
  const bool ok = platform::Io().Control(device, IOCTL_STORAGE_QUERY_PROPERTY_CODE, request, size,
                                         request, size, &returned, &error);
  if (!ok) {
    RecordSystemError(error);
    return NVME_RESULT_IO_FAILED;
  }
  if (length != 0) std::memcpy(buffer, request + NATIVE_IDENTIFY_DATA_OFFSET, length);
  return NVME_RESULT_OK;
}

}  // namespace

int IO_NVMe_Identify(platform::DeviceHandle device, uint32_t cns, uint32_t nsid, void* buffer,
                     uint32_t length) {
  int result = QueryIdentify(device, STORAGE_ADAPTER_PROTOCOL_SPECIFIC_PROPERTY, cns, nsid, buffer,
                             length);
  // Windows serves namespace data through the device property; some drivers refuse it through
  // the adapter property.
  if (result == NVME_RESULT_IO_FAILED && nsid != 0)
    result = QueryIdentify(device, STORAGE_DEVICE_PROTOCOL_SPECIFIC_PROPERTY, cns, nsid, buffer,
                           length);
  return result;
}
