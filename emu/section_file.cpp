#include "emu/section_file.h"

namespace emu {

std::string LineError(int line, const std::string& message) { return "line " + std::to_string(line) + ": " + message; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  std::string word;
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!word.empty()) out.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  std::string s = Lower(text);
  if (s.empty()) return false;
  uint64_t base = 10;
  size_t i = 0;
  if (s.size() > 2 && s[0] == '0' && s[1] == 'x') {
    base = 16;
    i = 2;
  }
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    uint64_t digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<uint64_t>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<uint64_t>(c - 'a' + 10);
    else
      return false;
    // A digit above the maximum would wrap the bound below and let any value through.
    if (digit > max || v > (max - digit) / base) return false;
    v = v * base + digit;
  }
  *out = v;
  return true;
}

bool ParseBool(const std::string& text, bool* out) {
  std::string s = Lower(text);
  if (s == "yes" || s == "true" || s == "on" || s == "1") {
    *out = true;
    return true;
  }
  if (s == "no" || s == "false" || s == "off" || s == "0") {
    *out = false;
    return true;
  }
  return false;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
  auto nibble = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '-' || c == ':') continue;
    int v = nibble(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (bytes.empty() || high >= 0) return false;
  *out = std::move(bytes);
  return true;
}

bool Split(const std::string& text, std::vector<Section>* sections, std::string* error) {
  size_t start = 0;
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB &&
      static_cast<unsigned char>(text[2]) == 0xBF)
    start = 3;
  int line = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string raw = text.substr(start, end - start);
    start = end + 1;
    ++line;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (raw.find('\0') != std::string::npos) {
      *error = LineError(line, "the line holds a zero byte");
      return false;
    }
    std::string s = Trim(raw);
    if (s.empty() || s[0] == '#' || s[0] == ';') continue;
    if (s[0] == '[') {
      if (s.back() != ']') {
        *error = LineError(line, "a section header ends with ']'");
        return false;
      }
      std::vector<std::string> words = Words(s.substr(1, s.size() - 2));
      if (words.size() != 2) {
        *error = LineError(line, "a section header is [kind name]");
        return false;
      }
      Section section;
      section.line = line;
      section.kind = Lower(words[0]);
      section.name = words[1];
      sections->push_back(std::move(section));
      continue;
    }
    size_t equals = s.find('=');
    if (equals == std::string::npos) {
      *error = LineError(line, "expected key = value, or a [kind name] header");
      return false;
    }
    if (sections->empty()) {
      *error = LineError(line, "a value before the first [kind name] header");
      return false;
    }
    Entry entry;
    entry.line = line;
    entry.key = Lower(Trim(s.substr(0, equals)));
    entry.value = Trim(s.substr(equals + 1));
    if (entry.value.size() >= 2 && entry.value.front() == '"' && entry.value.back() == '"')
      entry.value = entry.value.substr(1, entry.value.size() - 2);
    if (entry.key.empty()) {
      *error = LineError(line, "a key is missing before '='");
      return false;
    }
    sections->back().entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace emu
