// Device I/O: open a device path, issue a device control request, close it. This is all the
// command paths ever ask of the storage stack.
#pragma once
#include "platform/types.h"

namespace platform {

class DeviceIo {
 public:
  virtual ~DeviceIo() = default;
  // Opens a device for reading and writing, shared for reading and writing, existing only.
  // Returns INVALID_DEVICE on failure and stores the system error in *error when given.
  virtual DeviceHandle Open(const char16_t* path, uint32_t* error) = 0;
  // DeviceIoControl: input and output may be the same buffer. *returned receives the number of
  // output bytes. Returns false on failure with the system error in *error.
  virtual bool Control(DeviceHandle device, uint32_t code, void* in, uint32_t inLength, void* out,
                       uint32_t outLength, uint32_t* returned, uint32_t* error) = 0;
  virtual void Close(DeviceHandle device) = 0;
};

}  // namespace platform
