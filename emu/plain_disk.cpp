#include "emu/plain_disk.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace emu {
namespace {

// The requests as the disk driver receives them. The offsets are the SDK's, written out here
// rather than shared with the program, so a wrong offset on either side shows.
constexpr uint32_t QUERY_PROPERTY = 0x002D1400;
constexpr uint32_t GET_DEVICE_NUMBER = 0x002D1080;
constexpr uint32_t SCSI_PASS_THROUGH_DIRECT = 0x0004D014;

constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;

constexpr uint32_t DEVICE_TYPE_DISK = 7;
constexpr uint32_t DEVICE_NUMBER_BYTES = 12;
constexpr uint32_t DESCRIPTOR_BYTES = 40;  // STORAGE_DEVICE_DESCRIPTOR without its strings
constexpr uint32_t DESCRIPTOR_HEADER_BYTES = 8;
constexpr uint32_t DESCRIPTOR_REMOVABLE = 10;
constexpr uint32_t DESCRIPTOR_VENDOR = 12;
constexpr uint32_t DESCRIPTOR_PRODUCT = 16;
constexpr uint32_t DESCRIPTOR_REVISION = 20;
constexpr uint32_t DESCRIPTOR_SERIAL = 24;
constexpr uint32_t DESCRIPTOR_BUS_TYPE = 28;

// SCSI_PASS_THROUGH_DIRECT of this process's pointer size.
constexpr bool WIDE = sizeof(void*) == 8;
constexpr uint32_t SPTD_BYTES = WIDE ? 56 : 44;
constexpr uint32_t SPTD_STATUS = 2;
constexpr uint32_t SPTD_TRANSFER_LENGTH = 12;
constexpr uint32_t SPTD_DATA_BUFFER = WIDE ? 24 : 20;
constexpr uint32_t SPTD_CDB = WIDE ? 36 : 28;
constexpr uint8_t STATUS_GOOD = 0;
constexpr uint8_t STATUS_CHECK_CONDITION = 2;
constexpr uint8_t OP_INQUIRY = 0x12;

void Put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

bool Fail(uint32_t* error, uint32_t code) {
  *error = code;
  return false;
}

bool DeviceNumberReply(uint32_t number, uint32_t partition, void* out, uint32_t outLength, uint32_t* returned,
                       uint32_t* error) {
  if (out == nullptr || outLength < DEVICE_NUMBER_BYTES) return Fail(error, ERROR_INSUFFICIENT_BUFFER);
  auto* o = static_cast<uint8_t*>(out);
  Put32(o, DEVICE_TYPE_DISK);
  Put32(o + 4, number);
  Put32(o + 8, partition);
  *returned = DEVICE_NUMBER_BYTES;
  return true;
}

// A blank-padded ASCII field.
void PutField(uint8_t* at, size_t width, const std::string& text) {
  std::memset(at, ' ', width);
  std::memcpy(at, text.data(), std::min(width, text.size()));
}

}  // namespace

void PlainInquiryData(const PlainDiskDescription& description, uint8_t out[PLAIN_INQUIRY_BYTES]) {
  std::memset(out, 0, PLAIN_INQUIRY_BYTES);
  out[0] = 0x00;                          // direct-access block device
  out[1] = description.removable ? 0x80 : 0x00;  // RMB
  out[2] = 0x06;                          // SPC-4
  out[3] = 0x02;                          // response data format
  out[4] = PLAIN_INQUIRY_BYTES - 5;       // additional length
  PutField(out + 8, 8, description.vendor);
  PutField(out + 16, 16, description.product);
  PutField(out + 32, 4, description.revision);
  out[36] = description.inquiry36;
  out[37] = description.inquiry37;
}

bool PlainDisk::Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                        uint32_t* returned, uint32_t* error, RequestNotes* notes) {
  *returned = 0;
  switch (code) {
    case QUERY_PROPERTY: {
      if (in == nullptr || inLength < 8) return Fail(error, ERROR_INVALID_PARAMETER);
      const auto* q = static_cast<const uint8_t*>(in);
      uint32_t propertyId = Get32(q), queryType = Get32(q + 4);
      if (propertyId != 0) return Fail(error, ERROR_NOT_SUPPORTED);
      if (queryType == 1) return true;  // the property exists
      if (queryType != 0) return Fail(error, ERROR_INVALID_PARAMETER);
      if (out == nullptr || outLength < DESCRIPTOR_HEADER_BYTES) return Fail(error, ERROR_INSUFFICIENT_BUFFER);
      // The head, then the texts it points at, each zero-terminated: the INQUIRY fields as the
      // storage stack copies them, blank-padded to their widths, and the serial number when
      // there is one.
      std::vector<uint8_t> descriptor(DESCRIPTOR_BYTES, 0);
      auto text = [&descriptor](const std::string& t, size_t width) {
        if (t.empty()) return 0u;
        uint32_t at = static_cast<uint32_t>(descriptor.size());
        descriptor.insert(descriptor.end(), t.begin(), t.end());
        if (t.size() < width) descriptor.insert(descriptor.end(), width - t.size(), ' ');
        descriptor.push_back(0);
        return at;
      };
      Put32(descriptor.data() + DESCRIPTOR_VENDOR, text(description_.vendor, 8));
      Put32(descriptor.data() + DESCRIPTOR_PRODUCT, text(description_.product, 16));
      Put32(descriptor.data() + DESCRIPTOR_REVISION, text(description_.revision, 4));
      Put32(descriptor.data() + DESCRIPTOR_SERIAL, text(description_.serial, 0));
      Put32(descriptor.data(), DESCRIPTOR_BYTES);  // Version
      Put32(descriptor.data() + 4, static_cast<uint32_t>(descriptor.size()));  // Size
      descriptor[DESCRIPTOR_REMOVABLE] = description_.removable ? 1 : 0;
      Put32(descriptor.data() + DESCRIPTOR_BUS_TYPE, description_.busType);
      // A short buffer receives what fits; Size tells the caller how much there is.
      uint32_t n = std::min(outLength, static_cast<uint32_t>(descriptor.size()));
      std::memcpy(out, descriptor.data(), n);
      *returned = n;
      return true;
    }
    case GET_DEVICE_NUMBER:
      return DeviceNumberReply(description_.diskNumber, 0, out, outLength, returned, error);
    case SCSI_PASS_THROUGH_DIRECT:
      return ScsiPassThrough(in, inLength, out, outLength, returned, error, notes);
    default:
      // NVMe protocol commands, firmware requests and the rest: not a disk of that kind.
      return Fail(error, code == 0x002DD3C0 ? ERROR_NOT_SUPPORTED : ERROR_INVALID_FUNCTION);
  }
}

bool PlainDisk::ScsiPassThrough(void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
                                uint32_t* error, RequestNotes* notes) {
  if (in == nullptr || out == nullptr || inLength < SPTD_BYTES || outLength < SPTD_BYTES)
    return Fail(error, ERROR_INVALID_PARAMETER);
  uint8_t record[SPTD_BYTES];
  std::memcpy(record, in, SPTD_BYTES);
  uint32_t length = Get32(record + SPTD_TRANSFER_LENGTH);
  uintptr_t address = 0;
  std::memcpy(&address, record + SPTD_DATA_BUFFER, sizeof address);
  auto* data = reinterpret_cast<uint8_t*>(address);
  const uint8_t* cdb = record + SPTD_CDB;

  uint32_t moved = 0;
  uint8_t status = STATUS_CHECK_CONDITION;  // ILLEGAL REQUEST for everything but INQUIRY
  if (cdb[0] == OP_INQUIRY && (cdb[1] & 0x01) == 0) {
    uint8_t reply[PLAIN_INQUIRY_BYTES];
    PlainInquiryData(description_, reply);
    uint32_t allocation = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
    moved = std::min({allocation, length, PLAIN_INQUIRY_BYTES});
    if (moved > 0 && data == nullptr) return Fail(error, ERROR_INVALID_PARAMETER);
    if (moved > 0) std::memcpy(data, reply, moved);
    if (notes != nullptr) notes->data.assign(reply, reply + moved);
    status = STATUS_GOOD;
  }
  record[SPTD_STATUS] = status;
  Put32(record + SPTD_TRANSFER_LENGTH, moved);
  std::memcpy(out, record, SPTD_BYTES);
  *returned = SPTD_BYTES;
  return true;
}

bool Volume::Present() {
  for (const VolumeExtent& e : extents_)
    if (!e.present()) return false;
  return true;
}

bool Volume::Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* returned,
                     uint32_t* error, RequestNotes* notes) {
  *returned = 0;
  if (code != GET_DEVICE_NUMBER) return Fail(error, ERROR_INVALID_FUNCTION);
  // A volume across several disks has no one device number.
  if (extents_.size() != 1) return Fail(error, ERROR_INVALID_FUNCTION);
  return DeviceNumberReply(extents_[0].diskNumber(), 1, out, outLength, returned, error);
}

}  // namespace emu
