#include "platform/profile.h"

#include <string>

#include "platform/text.h"

namespace platform {
namespace {

std::u16string Lower(std::u16string s) {
  for (auto& c : s) c = LowerChar(c);
  return s;
}

std::u16string Trim(const std::u16string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t' || s[b] == u'\r')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t' || s[e - 1] == u'\r')) --e;
  return s.substr(b, e - b);
}

std::u16string Decode(const uint8_t* bytes, size_t size) {
  std::u16string text;
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    for (size_t i = 2; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return text;
  }
  bool utf8 = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
  size_t start = utf8 ? 3 : 0;
  text.resize(size - start + 1);
  const char* from = reinterpret_cast<const char*>(bytes + start);
  auto length = static_cast<ptrdiff_t>(size - start);
  text.resize(utf8 ? Utf8ToWide(from, length, text.data(), text.size())
                   : AnsiToWide(from, length, text.data(), text.size()));
  return text;
}

bool FindValue(const uint8_t* file, size_t size, const char16_t* section, const char16_t* key,
               std::u16string* value) {
  if (file == nullptr || section == nullptr || key == nullptr) return false;
  std::u16string text = Decode(file, size);
  std::u16string wantSection = Lower(section), wantKey = Lower(key);
  bool inSection = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == u';') continue;
    if (line[0] == u'[') {
      if (inSection) return false;  // only the first section of that name is read
      size_t close = line.find(u']');
      inSection = close != std::u16string::npos && Lower(line.substr(1, close - 1)) == wantSection;
      continue;
    }
    if (!inSection) continue;
    size_t eq = line.find(u'=');
    if (eq == std::u16string::npos) continue;
    if (Lower(Trim(line.substr(0, eq))) != wantKey) continue;
    std::u16string v = Trim(line.substr(eq + 1));
    if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    *value = v;
    return true;
  }
  return false;
}

}  // namespace

uint32_t ProfileStringIn(const uint8_t* file, size_t size, const char16_t* section, const char16_t* key,
                         const char16_t* defaultValue, char16_t* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  std::u16string value;
  if (!FindValue(file, size, section, key, &value)) {
    value = defaultValue != nullptr ? std::u16string(defaultValue) : std::u16string();
    while (!value.empty() && value.back() == u' ') value.pop_back();  // a default loses its trailing blanks
  }
  return static_cast<uint32_t>(TextCopy(buffer, capacity, value.c_str()));
}

int32_t ProfileIntIn(const uint8_t* file, size_t size, const char16_t* section, const char16_t* key,
                     int32_t defaultValue) {
  std::u16string value;
  if (!FindValue(file, size, section, key, &value)) return defaultValue;
  size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == u'-' || value[i] == u'+')) negative = value[i++] == u'-';
  uint32_t v = 0;
  while (i < value.size() && value[i] >= u'0' && value[i] <= u'9') v = v * 10 + (value[i++] - u'0');
  return static_cast<int32_t>(negative ? 0u - v : v);
}

}  // namespace platform
