// A block of whole pages for the data of one device request, released when it goes out of scope.
//
// A SCSI pass-through moves its data directly between the device and the buffer it names, and
// the adapter refuses a buffer that is not aligned as its AlignmentMask asks; a page block
// satisfies every adapter. Every pass-through data buffer of the command paths (the command and
// completion of an ASMedia command, the JMicron command block, the replies of INQUIRY and the
// bridge information, and the vendor blocks the callers pass down) is therefore one of these,
// never a buffer on the stack.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/app_state.h"
#include "platform/platform.h"

constexpr uint32_t PAGE_BLOCK_ERROR_NO_MEMORY = 8;  // ERROR_NOT_ENOUGH_MEMORY

class PageBlock {
 public:
  // Zero-filled whole pages (VirtualAlloc). When none can be had, data() is null and the system
  // error ERROR_NOT_ENOUGH_MEMORY has been recorded.
  explicit PageBlock(size_t bytes) : data_(static_cast<uint8_t*>(platform::Sys().PageAlloc(bytes))) {
    if (data_ == nullptr) RecordSystemError(PAGE_BLOCK_ERROR_NO_MEMORY);
  }
  ~PageBlock() {
    if (data_ != nullptr) platform::Sys().PageFree(data_);
  }
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;

  uint8_t* data() const { return data_; }

 private:
  uint8_t* data_;
};
