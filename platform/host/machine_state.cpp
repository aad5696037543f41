// The machine state on the host: the drive states in memory and, for the bench tools, in a file;
// the boot a test or the bench sets; /dev/urandom.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/host/host_system.h"
#include "platform/text.h"

namespace platform {
namespace {

// A line of the file is "key<TAB>name<TAB>text" in UTF-8; a backslash, tab, line feed or carriage
// return inside a field is escaped.
std::string Escaped(const std::u16string& text) {
  std::string out;
  for (char c : Utf8(text.c_str())) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::u16string Unescaped(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    char c = field[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return Utf16(out);
}

}  // namespace

bool HostSystem::LoadStates() {
  if (stateFile_.empty()) return true;
  std::ifstream in(stateFile_, std::ios::binary);
  if (!in) return true;  // no file yet: no states
  std::map<std::u16string, std::map<std::u16string, std::u16string>> states;
  std::string line;
  while (std::getline(in, line)) {
    size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
    if (b == std::string::npos) return false;
    states[Unescaped(line.substr(0, a))][Unescaped(line.substr(a + 1, b - a - 1))] = Unescaped(line.substr(b + 1));
  }
  states_ = std::move(states);
  return true;
}

bool HostSystem::SaveStates() {
  if (stateFile_.empty()) return true;
  std::ostringstream text;
  for (const auto& [key, values] : states_)
    for (const auto& [name, value] : values) text << Escaped(key) << '\t' << Escaped(name) << '\t' << Escaped(value) << '\n';
  std::string temporary = stateFile_ + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text.str();
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), stateFile_.c_str()) == 0;
}

StateRead HostSystem::ReadDriveState(const char16_t* drive, const char16_t* name, char16_t* buffer,
                                     uint32_t capacity) {
  if (buffer == nullptr || capacity < 2) return StateRead::FAILED;
  buffer[0] = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (stateReadsFail_ || !IsDriveStateKey(drive) || !LoadStates()) return StateRead::FAILED;
  auto key = states_.find(drive);
  if (key == states_.end()) return StateRead::MISSING;
  auto value = key->second.find(name);
  if (value == key->second.end()) return StateRead::MISSING;
  if (value->second.size() >= capacity) return StateRead::FAILED;
  TextCopy(buffer, capacity, value->second.c_str());
  return StateRead::FOUND;
}

bool HostSystem::WriteDriveState(const char16_t* drive, const StateValue* values, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stateWritesFail_ || !IsDriveStateKey(drive) || !LoadStates()) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (TextLengthMax(values[i].text, STATE_TEXT_CHARS) >= STATE_TEXT_CHARS) return false;
    states_[drive][values[i].name] = values[i].text;
  }
  return SaveStates();
}

bool HostSystem::CurrentBoot(uint64_t* boot) {
  std::lock_guard<std::mutex> lock(mutex_);
  *boot = boot_;
  return true;
}

bool HostSystem::Random(void* buffer, uint32_t length) {
  FILE* source = std::fopen("/dev/urandom", "rb");
  if (source == nullptr) return false;
  bool read = std::fread(buffer, 1, length, source) == length;
  std::fclose(source);
  return read;
}

void HostSystem::SetStateFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  stateFile_ = path;
  states_.clear();
}

void HostSystem::SetStateFaults(bool reads, bool writes) {
  std::lock_guard<std::mutex> lock(mutex_);
  stateReadsFail_ = reads;
  stateWritesFail_ = writes;
}

void HostSystem::ClearDriveStates() {
  std::lock_guard<std::mutex> lock(mutex_);
  states_.clear();
}

void HostSystem::SetBoot(uint64_t boot) {
  std::lock_guard<std::mutex> lock(mutex_);
  boot_ = boot;
}

}  // namespace platform
