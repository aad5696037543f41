// The storage requests that drive discovery sends to disks and volumes: the device-number request
// and the standard device-property query. Our own plain records, with sizes and offsets checked
// here and, on Windows builds, against the SDK in discovery/storage_device_win32.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

constexpr uint32_t IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE = 0x2D1080;
// IOCTL_STORAGE_QUERY_PROPERTY_CODE (0x2D1400) stands in nvme/storage_records.h.

// STORAGE_DEVICE_NUMBER: the reply of IOCTL_STORAGE_GET_DEVICE_NUMBER.
struct StorageDeviceNumber {
  uint32_t deviceType;  // DEVICE_TYPE
  uint32_t deviceNumber;
  uint32_t partitionNumber;
};
static_assert(std::is_standard_layout_v<StorageDeviceNumber>);
static_assert(sizeof(StorageDeviceNumber) == 12);
static_assert(offsetof(StorageDeviceNumber, deviceType) == 0);
static_assert(offsetof(StorageDeviceNumber, deviceNumber) == 4);
static_assert(offsetof(StorageDeviceNumber, partitionNumber) == 8);

constexpr uint32_t FILE_DEVICE_DISK_TYPE = 7;

// STORAGE_PROPERTY_QUERY for the standard device property: PropertyId StorageDeviceProperty (0),
// QueryType PropertyStandardQuery (0) and one byte of additional parameters, padded to 12.
struct StorageDevicePropertyQuery {
  uint32_t propertyId;
  uint32_t queryType;
  uint8_t additionalParameters[4];
};
static_assert(sizeof(StorageDevicePropertyQuery) == 12);
static_assert(offsetof(StorageDevicePropertyQuery, propertyId) == 0);
static_assert(offsetof(StorageDevicePropertyQuery, queryType) == 4);
static_assert(offsetof(StorageDevicePropertyQuery, additionalParameters) == 8);

constexpr uint32_t STORAGE_DEVICE_PROPERTY_ID = 0;

// The fixed head of STORAGE_DEVICE_DESCRIPTOR, 40 bytes. The texts it points at (vendor, product,
// revision, serial number: zero-terminated, at byte offsets from its start; 0 for none) follow it.
struct StorageDeviceDescriptorHead {
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
  uint32_t busType;  // STORAGE_BUS_TYPE
  uint32_t rawPropertiesLength;
  uint8_t rawDeviceProperties[4];
};
static_assert(std::is_standard_layout_v<StorageDeviceDescriptorHead>);
static_assert(sizeof(StorageDeviceDescriptorHead) == 40);
static_assert(offsetof(StorageDeviceDescriptorHead, deviceType) == 8);
static_assert(offsetof(StorageDeviceDescriptorHead, removableMedia) == 10);
static_assert(offsetof(StorageDeviceDescriptorHead, vendorIdOffset) == 12);
static_assert(offsetof(StorageDeviceDescriptorHead, productIdOffset) == 16);
static_assert(offsetof(StorageDeviceDescriptorHead, serialNumberOffset) == 24);
static_assert(offsetof(StorageDeviceDescriptorHead, busType) == 28);
static_assert(offsetof(StorageDeviceDescriptorHead, rawPropertiesLength) == 32);
static_assert(offsetof(StorageDeviceDescriptorHead, rawDeviceProperties) == 36);

// STORAGE_BUS_TYPE values discovery tells apart.
constexpr uint32_t BUS_TYPE_SCSI = 1;
constexpr uint32_t BUS_TYPE_ATA = 3;
constexpr uint32_t BUS_TYPE_USB = 7;
constexpr uint32_t BUS_TYPE_RAID = 8;
constexpr uint32_t BUS_TYPE_SATA = 11;
constexpr uint32_t BUS_TYPE_NVME = 17;
