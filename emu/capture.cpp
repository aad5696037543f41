#include "emu/capture.h"

#include "platform/text.h"

namespace emu {

Capture::~Capture() { Close(); }

bool Capture::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "wb");
  return file_ != nullptr;
}

void Capture::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

std::string Capture::Hex(const uint8_t* bytes, size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    s.push_back(digits[bytes[i] >> 4]);
    s.push_back(digits[bytes[i] & 15]);
  }
  return s;
}

std::string Capture::DeviceText(const std::u16string& device) {
  std::string s(device.size() * 3 + 1, '\0');
  s.resize(platform::WideToUtf8(device.c_str(), s.data(), s.size()));
  for (char& c : s)
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = '_';
  if (s.empty()) s = "-";
  return s;
}

void Capture::Write(const std::string& line) {
  if (file_ != nullptr) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }
  if (keep_) lines_.push_back(line);
}

void Capture::Request(const std::u16string& device, uint32_t code, const uint8_t* in, size_t inLength,
                      const uint8_t* data, size_t dataLength, const uint8_t* out, size_t outLength,
                      bool ok, const std::vector<std::string>& extras) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Active()) return;
  char codeText[16];
  std::snprintf(codeText, sizeof codeText, "0x%08X", code);
  std::string line = std::to_string(++seq_) + " " + DeviceText(device) + " " + codeText + " in=" +
                     Hex(in, inLength);
  if (data != nullptr && dataLength > 0) line += " data=" + Hex(data, dataLength);
  if (out != nullptr && outLength > 0) line += " out=" + Hex(out, outLength);
  line += ok ? " ok=1" : " ok=0";
  for (const std::string& e : extras) line += " " + e;
  Write(line);
}

void Capture::Event(const std::u16string& device, const std::string& event,
                    const std::vector<std::string>& extras) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Active()) return;
  std::string line = std::to_string(++seq_) + " " + DeviceText(device) + " " + event;
  for (const std::string& e : extras) line += " " + e;
  Write(line);
}

std::vector<std::string> Capture::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

uint64_t Capture::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seq_;
}

}  // namespace emu
