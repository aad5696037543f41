// The capture: one text line per device request the bench receives, and lines for events that
// are not requests (open, close, a drive leaving or returning). The format is fixed, because
// tools outside the project read it; docs/capture.md describes it.
//
//   <seq> <device> <code> in=<hex> [data=<hex>] [out=<hex>] ok=<0|1> [key=value ...]
//   <seq> <device> <event> [key=value ...]
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

class Capture {
 public:
  Capture() = default;
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Starts writing to a file (replacing it). Lines are also kept in memory while Keep is on.
  bool Open(const std::string& path);
  void Close();
  void Keep(bool keep) { keep_ = keep; }
  bool Active() const { return file_ != nullptr || keep_; }

  // A device control request. data is the buffer a SCSI pass-through record points at; out the
  // bytes returned by any other request. Either may be empty. extras are "key=value" words.
  void Request(const std::u16string& device, uint32_t code, const uint8_t* in, size_t inLength,
               const uint8_t* data, size_t dataLength, const uint8_t* out, size_t outLength,
               bool ok, const std::vector<std::string>& extras = {});
  // An event that is not a request; event is one word ("open", "close", "leave", "return").
  void Event(const std::u16string& device, const std::string& event,
             const std::vector<std::string>& extras = {});

  std::vector<std::string> Lines();
  uint64_t Count();

  static std::string Hex(const uint8_t* bytes, size_t length);
  // The device text of a line: UTF-8, with any blank turned into '_' so fields stay separable.
  static std::string DeviceText(const std::u16string& device);

 private:
  void Write(const std::string& line);  // mutex held
  std::mutex mutex_;
  FILE* file_ = nullptr;
  bool keep_ = false;
  uint64_t seq_ = 0;
  std::vector<std::string> lines_;
};

}  // namespace emu
