// The text format of a bench file, as far as it is no bench: sections headed "[kind name]" holding
// "key = value" lines, comments after '#' or ';', and the value types (numbers, yes/no, hexadecimal
// bytes). Keys reads one section's keys as its kind wants them and reports the first fault with its
// line. The bench's own kinds and keys are in bench_file.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace emu {

struct Entry {
  int line = 0;
  std::string key;
  std::string value;
  bool used = false;
};

struct Section {
  int line = 0;
  std::string kind;
  std::string name;
  std::vector<Entry> entries;
};

// "line N: message".
std::string LineError(int line, const std::string& message);
// Without the blanks and tabs around it.
std::string Trim(const std::string& s);
// The words of a text, split at blanks, tabs and commas.
std::vector<std::string> Words(const std::string& s);
std::string Lower(std::string s);
// A number up to max, decimal or hexadecimal with 0x; false for anything else.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out);
// yes/no, true/false, on/off, 1/0.
bool ParseBool(const std::string& text, bool* out);
// Hexadecimal bytes, written together or apart ("2C C3 08", "2C-C3-08", "2CC308").
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out);
// Splits the text into sections of key = value lines; false with the first fault's message.
bool Split(const std::string& text, std::vector<Section>* sections, std::string* error);

// The keys of one section: each is taken at most once (a few may repeat); what is left over at
// the end is a key the kind does not have. The first fault is kept and ends the reading.
class Keys {
 public:
  Keys(Section& section, std::string* error) : section_(section), error_(error) {}

  bool Ok() const { return ok_; }

  bool Fail(int line, const std::string& message) {
    if (ok_) *error_ = LineError(line, "[" + section_.kind + " " + section_.name + "] " + message);
    ok_ = false;
    return false;
  }

  // The one value of a key, or null when it is missing (or repeated, which is a fault).
  const Entry* Take(const char* key) {
    const Entry* found = nullptr;
    for (Entry& e : section_.entries) {
      if (e.key != key) continue;
      if (found != nullptr) {
        Fail(e.line, std::string("\"") + key + "\" is given twice");
        return nullptr;
      }
      e.used = true;
      found = &e;
    }
    return ok_ ? found : nullptr;
  }

  std::vector<const Entry*> TakeAll(const char* key) {
    std::vector<const Entry*> out;
    for (Entry& e : section_.entries) {
      if (e.key != key) continue;
      e.used = true;
      out.push_back(&e);
    }
    return out;
  }

  bool Has(const char* key) const {
    for (const Entry& e : section_.entries)
      if (e.key == key) return true;
    return false;
  }

  bool Text(const char* key, size_t maxBytes, std::string* out) {
    const Entry* e = Take(key);
    if (e == nullptr) return false;
    if (e->value.size() > maxBytes)
      return Fail(e->line, std::string("\"") + key + "\" is longer than " + std::to_string(maxBytes) + " bytes");
    *out = e->value;
    return true;
  }

  template <typename T>
  bool Number(const char* key, uint64_t max, T* out) {
    const Entry* e = Take(key);
    if (e == nullptr) return false;
    uint64_t v = 0;
    if (!ParseNumber(e->value, max, &v))
      return Fail(e->line, std::string("\"") + key + "\" takes a number from 0 to " + std::to_string(max) +
                               " (decimal, or hexadecimal with 0x)");
    *out = static_cast<T>(v);
    return true;
  }

  bool Flag(const char* key, bool* out) {
    const Entry* e = Take(key);
    if (e == nullptr) return false;
    if (!ParseBool(e->value, out)) return Fail(e->line, std::string("\"") + key + "\" takes yes or no");
    return true;
  }

  bool Bytes(const Entry* e, size_t count, uint8_t* out) {
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(e->value, &bytes) || bytes.size() != count)
      return Fail(e->line, "\"" + e->key + "\" takes " + std::to_string(count) + " hexadecimal bytes");
    std::memcpy(out, bytes.data(), count);
    return true;
  }

  bool Bytes(const char* key, size_t count, uint8_t* out) {
    const Entry* e = Take(key);
    return e != nullptr && Bytes(e, count, out);
  }

  // Every key read; anything else is a fault.
  bool Finish() {
    if (!ok_) return false;
    for (const Entry& e : section_.entries)
      if (!e.used) return Fail(e.line, "unknown key \"" + e.key + "\"");
    return true;
  }

  const Section& section() const { return section_; }

 private:
  Section& section_;
  std::string* error_;
  bool ok_ = true;
};

}  // namespace emu
