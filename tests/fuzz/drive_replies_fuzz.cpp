// Fuzz target: the command paths reading what a drive or a bridge answers. A fake disk takes its
// replies from the input, one after another, and the operations that parse them run on it:
// ReadFlashInfo (flash information and legacy blocks), IdentifyCmd (Identify data on every path),
// IO_USB_GetBridgeType (INQUIRY and the ASMedia information reply), IO_USB_ASM_ReadInfo,
// WriteVendorFwName and a configuration-block read.
//
// Input: byte 0 chooses the operation, byte 1 the command type; the rest is the reply stream.
// Each request takes a flags byte (bit 0 fail, bit 1 CHECK CONDITION, bit 2 write the reply from
// the start of the output buffer), a 16-bit little-endian length and that many reply bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/app_state.h"
#include "core/drive_record.h"
#include "nvme/bridge.h"
#include "nvme/firmware.h"
#include "nvme/flash_id.h"
#include "nvme/nvme_command.h"
#include "nvme/storage_records.h"
#include "platform/host/host_system.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

class ReplyStream : public platform::DeviceIo {
 public:
  void Reset(const uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
    pos_ = 0;
  }
  platform::DeviceHandle Open(const char16_t*, uint32_t*) override { return 1; }
  void Close(platform::DeviceHandle) override {}
  bool Control(platform::DeviceHandle, uint32_t code, void* in, uint32_t inLength, void* out,
               uint32_t outLength, uint32_t* returned, uint32_t* error) override {
    const uint8_t flags = Take();
    size_t length = Take();
    length |= static_cast<size_t>(Take()) << 8;
    if (length > size_ - pos_) length = size_ - pos_;
    const uint8_t* reply = data_ + pos_;
    pos_ += length;
    *returned = 0;
    if (flags & 1) {
      *error = 31;
      return false;
    }
    auto* outBytes = static_cast<uint8_t*>(out);
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT_CODE) {
      if (inLength < sizeof(ScsiPassThroughDirect) || outLength < sizeof(ScsiPassThroughDirect))
        std::abort();  // the command paths always send the whole record
      ScsiPassThroughDirect sptd;
      std::memcpy(&sptd, in, sizeof(sptd));
      auto* buffer = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(sptd.dataBuffer));
      if (buffer != nullptr && sptd.dataIn == SPTD_DATA_IN && length != 0)
        std::memcpy(buffer, reply, length < sptd.dataTransferLength ? length : sptd.dataTransferLength);
      sptd.scsiStatus = (flags & 2) ? SPTD_STATUS_CHECK_CONDITION : static_cast<uint8_t>(flags >> 3);
      std::memcpy(out, &sptd, sizeof(sptd));
    } else if (outBytes != nullptr) {
      size_t at = 0;
      if (!(flags & 4)) {
        if (code == IOCTL_STORAGE_PROTOCOL_COMMAND_CODE) at = NATIVE_DATA_OFFSET;
        if (code == IOCTL_STORAGE_QUERY_PROPERTY_CODE) at = NATIVE_IDENTIFY_DATA_OFFSET;
      }
      if (at < outLength && length != 0)
        std::memcpy(outBytes + at, reply, length < outLength - at ? length : outLength - at);
    }
    *returned = outLength;
    return true;
  }

 private:
  uint8_t Take() { return pos_ < size_ ? data_[pos_++] : 0; }
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
};

ReplyStream g_io;
platform::HostSystem* g_system = nullptr;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool Terminated(const char16_t* text, size_t capacity) {
  return platform::TextLengthMax(text, capacity) < capacity;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_system = new platform::HostSystem();
  platform::Services services;
  services.io = &g_io;
  services.system = g_system;
  platform::Install(services);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  AppStateReset();
  const uint8_t operation = data[0];
  const int32_t types[4] = {CMD_TYPE_ASM, CMD_TYPE_JMI, CMD_TYPE_NVME, CMD_TYPE_NONE};
  const int32_t type = types[data[1] & 3];
  g_io.Reset(data + 2, size - 2);
  const platform::DeviceHandle device = 1;

  switch (operation % 6) {
    case 0: {
      DriveRecord record{};
      const int result = ReadFlashInfo(type, device, &record);
      Check(result == 1 || result == -4 || result == -5);
      Check(Terminated(record.internalFwVersion, DRIVE_TEXT_CHARS));
      Check(platform::TextLength(record.internalFwVersion) <= 8);
      Check(record.hasVendorInfo <= 1);
      if (result == 1) Check(record.flashType == FlashIdToType(record.flashId));
      char16_t name[FLASH_TYPE_NAME_CHARS] = {};
      FlashTypeToName(record.flashType, name);
      Check(Terminated(name, FLASH_TYPE_NAME_CHARS));
      break;
    }
    case 1: {
      static uint8_t controller[4096], ns[4096];
      std::memset(controller, 0, sizeof(controller));
      std::memset(ns, 0, sizeof(ns));
      uint8_t status = 0;
      const int a = IdentifyCmd(type, device, IDENTIFY_CNS_CONTROLLER, 0, controller, 4096, &status);
      Check(status == 0 || status == 2);
      status = 0;
      const int b = IdentifyCmd(type, device, IDENTIFY_CNS_NAMESPACE, 1, ns, 4096, &status);
      Check(a == 1 || a == -4 || a == -5);
      Check(b == 1 || b == -4 || b == -5);
      break;
    }
    case 2: {
      const int32_t kind = IO_USB_GetBridgeType(device);
      Check(kind == CMD_TYPE_ASM || kind == CMD_TYPE_JMI || kind == CMD_TYPE_NONE);
      break;
    }
    case 3: {
      const size_t capacity = 1 + (operation >> 3) % ASM_INFO_CHARS;
      char16_t text[ASM_INFO_CHARS];
      std::memset(text, 0x55, sizeof(text));
      if (IO_USB_ASM_ReadInfo(device, text, capacity) == 1) {
        Check(Terminated(text, capacity));
        Check(platform::TextLength(text) <= 16);
      }
      break;
    }
    case 4: {
      const int result = WriteVendorFwName(type, device, u"QVFW-0042-LONGNAME");
      Check(result == 1 || result == -4 || result == -5);
      break;
    }
    case 5: {
      static uint8_t block[4096];
      std::memset(block, 0, sizeof(block));
      SendVendorCmd(type, device, NVME_DATA_READ, NVME_OPC_VENDOR_READ, VENDOR_SUB_CONFIG, 0,
                    VENDOR_SIGNATURE_CDW14, VENDOR_SIGNATURE_CDW15, block, sizeof(block));
      break;
    }
  }
  return 0;
}
