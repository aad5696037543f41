// A fake disk for the command-path tests: it keeps the exact bytes of every request it receives
// (and, for SCSI pass-through, the bytes the request points at) and answers with canned replies.
// It knows the request layouts only through the offsets written out below, not through the code
// under test.
#pragma once
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "emu/bench.h"

namespace nvmetest {

// Device control codes, as the system defines them.
constexpr uint32_t kQueryProperty = 0x2D1400;
constexpr uint32_t kProtocolCommand = 0x2DD3C0;
constexpr uint32_t kFirmwareDownload = 0x2DDC04;
constexpr uint32_t kFirmwareActivate = 0x2DDC08;
constexpr uint32_t kScsiPassThroughDirect = 0x4D014;

// SCSI_PASS_THROUGH_DIRECT of this build: the 32-bit layout has DataBuffer at 20 and the CDB at
// 28 (44 bytes, sense area at 48, 112 in all); the 64-bit one has DataBuffer at 24, the CDB at 36
// (56 bytes, sense area at 56, 120 in all).
constexpr bool k64 = sizeof(void*) == 8;
constexpr size_t kSptdBytes = k64 ? 56 : 44;
constexpr size_t kDataBufferAt = k64 ? 24 : 20;
constexpr size_t kSenseOffsetAt = k64 ? 32 : 24;
constexpr size_t kCdbAt = k64 ? 36 : 28;
constexpr size_t kSenseAt = k64 ? 56 : 48;
constexpr size_t kScsiRequestBytes = k64 ? 120 : 112;

inline uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint32_t U32(const std::vector<uint8_t>& b, size_t at) { return U32(b.data() + at); }
inline uint64_t U64(const std::vector<uint8_t>& b, size_t at) {
  return U32(b, at) | (static_cast<uint64_t>(U32(b, at + 4)) << 32);
}

struct Reply {
  bool ok = true;
  uint32_t error = 0;
  uint8_t scsiStatus = 0;
  // SCSI pass-through: written to the data buffer (as far as the transfer length allows);
  // anything else: written to the output buffer from byte `at` on (as far as it reaches).
  std::vector<uint8_t> bytes;
  size_t at = 0;
};

inline Reply Fail(uint32_t error) {
  Reply r;
  r.ok = false;
  r.error = error;
  return r;
}
inline Reply CheckCondition() {
  Reply r;
  r.scsiStatus = 2;
  return r;
}
inline Reply Data(std::vector<uint8_t> bytes, size_t at = 0, uint8_t scsiStatus = 0) {
  Reply r;
  r.bytes = std::move(bytes);
  r.at = at;
  r.scsiStatus = scsiStatus;
  return r;
}

struct Seen {
  uint32_t code = 0;
  std::vector<uint8_t> in;
  uint32_t outLength = 0;
  bool inIsOut = false;
  uintptr_t inAddress = 0;
  // SCSI pass-through only.
  uint8_t dataIn = 0xFF;
  uint32_t transferLength = 0;
  uint64_t dataAddress = 0;
  std::vector<uint8_t> data;  // what the data buffer held when the request arrived
  std::vector<uint8_t> Cdb() const {
    return std::vector<uint8_t>(in.begin() + kCdbAt, in.begin() + kCdbAt + 16);
  }
};

class RecordingDevice : public emu::EmuDevice {
 public:
  std::vector<Seen> seen;
  std::deque<Reply> replies;                    // taken in order
  std::function<Reply(const Seen&)> answer;     // when no canned reply is left

  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
               uint32_t* returned, uint32_t* error, emu::RequestNotes* notes) override {
    Seen s;
    s.code = code;
    const auto* inBytes = static_cast<const uint8_t*>(in);
    if (in != nullptr) s.in.assign(inBytes, inBytes + inLength);
    s.outLength = outLength;
    s.inIsOut = in == out;
    s.inAddress = reinterpret_cast<uintptr_t>(in);
    uint8_t* data = nullptr;
    if (code == kScsiPassThroughDirect && inLength >= kSptdBytes) {
      s.dataIn = inBytes[8];
      s.transferLength = U32(inBytes + 12);
      s.dataAddress = k64 ? (U32(inBytes + kDataBufferAt) |
                             (static_cast<uint64_t>(U32(inBytes + kDataBufferAt + 4)) << 32))
                          : U32(inBytes + kDataBufferAt);
      data = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(s.dataAddress));
      if (data != nullptr) s.data.assign(data, data + s.transferLength);
      if (notes != nullptr) notes->data = s.data;
    }
    seen.push_back(s);

    Reply r;
    if (!replies.empty()) {
      r = replies.front();
      replies.pop_front();
    } else if (answer) {
      r = answer(s);
    }
    if (!r.ok) {
      *error = r.error;
      return false;
    }
    auto* outBytes = static_cast<uint8_t*>(out);
    if (code == kScsiPassThroughDirect) {
      // A JMicron completion phase without a canned reply brings back a block that reports
      // success: "NVME" and an all-zero completion entry.
      if (data != nullptr && r.bytes.empty() && s.transferLength >= 4 && inBytes[kCdbAt] == 0xA1 &&
          inBytes[kCdbAt + 1] == 0x8F)
        std::memcpy(data, "NVME", 4);
      if (data != nullptr && !r.bytes.empty())
        std::memcpy(data, r.bytes.data(), r.bytes.size() < s.transferLength ? r.bytes.size()
                                                                             : s.transferLength);
      if (outBytes != nullptr && outLength > 2) outBytes[2] = r.scsiStatus;
      *returned = outLength;
    } else {
      // The driver completes a protocol command with ReturnStatus STORAGE_PROTOCOL_STATUS_SUCCESS
      // (1 at byte 16) and ErrorCode 0 (byte 20) unless the canned reply says otherwise.
      if (code == kProtocolCommand && outBytes != nullptr && outLength >= 24) {
        const uint8_t success[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        std::memcpy(outBytes + 16, success, sizeof(success));
      }
      if (outBytes != nullptr && r.at < outLength && !r.bytes.empty()) {
        const size_t room = outLength - r.at;
        std::memcpy(outBytes + r.at, r.bytes.data(), r.bytes.size() < room ? r.bytes.size() : room);
      }
      *returned = outLength;
    }
    return true;
  }

  // The requests of one control code.
  std::vector<Seen> Of(uint32_t code) const {
    std::vector<Seen> out;
    for (const Seen& s : seen)
      if (s.code == code) out.push_back(s);
    return out;
  }
};

// Bytes from a list of hand-written values.
inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

}  // namespace nvmetest
