// The storage records that drive discovery sends and reads (discovery/storage_device.h) against
// the Windows SDK's own definitions: control codes, enumeration values, sizes and field offsets.
// Only in the Windows builds.
#include <windows.h>
#include <winioctl.h>

#include <cstddef>

#include "discovery/storage_device.h"

static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER_CODE == IOCTL_STORAGE_GET_DEVICE_NUMBER);
static_assert(FILE_DEVICE_DISK_TYPE == FILE_DEVICE_DISK);
static_assert(sizeof(StorageDeviceNumber) == sizeof(STORAGE_DEVICE_NUMBER));
static_assert(offsetof(StorageDeviceNumber, deviceNumber) == offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber));
static_assert(offsetof(StorageDeviceNumber, partitionNumber) == offsetof(STORAGE_DEVICE_NUMBER, PartitionNumber));
static_assert(sizeof(StorageDevicePropertyQuery) == sizeof(STORAGE_PROPERTY_QUERY));
static_assert(offsetof(StorageDevicePropertyQuery, queryType) == offsetof(STORAGE_PROPERTY_QUERY, QueryType));
static_assert(offsetof(StorageDevicePropertyQuery, additionalParameters) ==
              offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters));
static_assert(STORAGE_DEVICE_PROPERTY_ID == StorageDeviceProperty);
static_assert(sizeof(StorageDeviceDescriptorHead) == sizeof(STORAGE_DEVICE_DESCRIPTOR));
static_assert(offsetof(StorageDeviceDescriptorHead, busType) == offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType));
static_assert(offsetof(StorageDeviceDescriptorHead, rawDeviceProperties) ==
              offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
static_assert(BUS_TYPE_USB == BusTypeUsb && BUS_TYPE_NVME == BusTypeNvme && BUS_TYPE_SATA == BusTypeSata);

