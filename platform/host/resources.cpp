// The program's own on the host: an in-memory resource table, INI reading with the private-profile
// rules, the program's folder and the shared data folder a test names.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/host/internal.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace platform {
namespace {

// The bytes of a whole file, for the private-profile reading; false when it cannot be read.
bool ReadWhole(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

HostSystem::HostSystem() {
  const char* tmp = std::getenv("TMPDIR");
  tempFolder_ = tmp != nullptr && *tmp != 0 ? tmp : "/tmp";
  // The folder of the running executable, as GetModuleFileNameW gives it on Windows.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  size_t slash = exe.rfind('/');
  programFolder_ = slash == std::string::npos ? "." : exe.substr(0, slash == 0 ? 1 : slash);
}

void HostSystem::AddResource(const std::u16string& type, uint32_t id, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> lock(mutex_);
  resources_.push_back(Resource{type, id, std::move(data)});
}

void HostSystem::ClearResources() {
  std::lock_guard<std::mutex> lock(mutex_);
  resources_.clear();
}

bool HostSystem::ProgramResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Resource& r : resources_) {
    if (r.id == id && TextEqualNoCase(r.type.c_str(), type)) {
      *data = r.data.data();
      *size = static_cast<uint32_t>(r.data.size());
      return true;
    }
  }
  return false;
}

uint32_t HostSystem::ProfileString(const char16_t* section, const char16_t* key,
                                      const char16_t* defaultValue, char16_t* buffer,
                                      uint32_t capacity, const char16_t* file) {
  std::string bytes;
  ReadWhole(HostPath(file), &bytes);
  return ProfileStringIn(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), section, key, defaultValue,
                         buffer, capacity);
}

int32_t HostSystem::ProfileInt(const char16_t* section, const char16_t* key, int32_t defaultValue,
                                  const char16_t* file) {
  std::string bytes;
  if (!ReadWhole(HostPath(file), &bytes)) return defaultValue;
  return ProfileIntIn(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), section, key, defaultValue);
}

void HostSystem::SetProgramFolder(const std::string& folder) { programFolder_ = folder; }

uint32_t HostSystem::GetProgramFolder(char16_t* buffer, uint32_t capacity) {
  return PutWide(programFolder_, buffer, capacity);
}

void HostSystem::SetSharedDataFolder(const std::string& folder) { sharedDataFolder_ = folder; }

uint32_t HostSystem::SharedDataFolder(char16_t* buffer, uint32_t capacity) {
  if (sharedDataFolder_.empty()) return 0;
  uint32_t n = PutWide(sharedDataFolder_, buffer, capacity);
  return n < capacity ? n : 0;
}

}  // namespace platform
