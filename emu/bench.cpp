#include "emu/bench.h"

#include <cstring>

#include "platform/text.h"

namespace emu {

using platform::DeviceHandle;
using platform::DeviceList;
using platform::DeviceNode;

Bench::Bench() = default;
Bench::~Bench() = default;

void Bench::AddDevice(const std::u16string& path, std::shared_ptr<EmuDevice> device) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& [p, d] : devices_) {
    if (platform::TextEqualNoCase(p.c_str(), path.c_str())) {
      d = std::move(device);
      return;
    }
  }
  devices_.emplace_back(path, std::move(device));
}

void Bench::RemoveDevice(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if (platform::TextEqualNoCase(it->first.c_str(), path.c_str())) {
      devices_.erase(it);
      return;
    }
  }
}

std::shared_ptr<EmuDevice> Bench::FindDevice(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& [p, d] : devices_)
    if (platform::TextEqualNoCase(p.c_str(), path.c_str())) return d;
  return nullptr;
}

DeviceNode Bench::AddNode(EmuNode node) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (node.node == 0) node.node = nextNode_;
  if (node.node >= nextNode_) nextNode_ = node.node + 1;
  nodes_.push_back(std::move(node));
  return nodes_.back().node;
}

EmuNode* Bench::Node(DeviceNode node) {
  for (EmuNode& n : nodes_)
    if (n.node == node) return &n;
  return nullptr;
}

std::vector<EmuNode> Bench::Snapshot() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tick();
  return nodes_;
}

void Bench::Note(const std::u16string& device, const std::string& event, const std::vector<std::string>& extras) {
  capture_.Event(device, event, extras);
  std::function<void()> listener;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    listener = deviceChange_;
  }
  if (listener && (event == "leave" || event == "return")) listener();
}

void Bench::SetDeviceChangeListener(std::function<void()> listener) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  deviceChange_ = std::move(listener);
}

void Bench::At(uint64_t tick, std::function<void()> action) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  timed_.push_back(Timed{tick, std::move(action)});
}

void Bench::Tick() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  uint64_t now = clock_.TickCount64();
  for (size_t i = 0; i < timed_.size();) {
    if (timed_[i].tick <= now) {
      std::function<void()> action = std::move(timed_[i].action);
      timed_.erase(timed_.begin() + static_cast<ptrdiff_t>(i));
      action();
      i = 0;  // an action may schedule or run others
    } else {
      ++i;
    }
  }
}

DeviceHandle Bench::Open(const char16_t* path, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tick();
  std::u16string p = path != nullptr ? path : u"";
  std::shared_ptr<EmuDevice> device = FindDevice(p);
  if (device == nullptr || !device->Present()) {
    if (error != nullptr) *error = ERROR_FILE_NOT_FOUND_CODE;
    capture_.Event(p, "open", {"ok=0"});
    return platform::INVALID_DEVICE;
  }
  DeviceHandle h = nextHandle_;
  nextHandle_ += 4;
  handles_[h] = Handle{p, device};
  capture_.Event(p, "open", {"ok=1", "handle=" + std::to_string(h)});
  return h;
}

bool Bench::Control(DeviceHandle device, uint32_t code, void* in, uint32_t inLength, void* out,
                    uint32_t outLength, uint32_t* returned, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tick();
  if (returned != nullptr) *returned = 0;
  auto it = handles_.find(device);
  if (it == handles_.end()) {
    if (error != nullptr) *error = ERROR_INVALID_HANDLE_CODE;
    return false;
  }
  // The request's input as the driver received it, before the device writes any reply into a
  // buffer that serves both ways.
  std::vector<uint8_t> input(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + (in ? inLength : 0));
  RequestNotes notes;
  uint32_t n = 0, e = 0;
  bool ok = false;
  if (!it->second.device->Present()) {
    e = ERROR_NO_SUCH_DEVICE_CODE;
  } else {
    ok = it->second.device->Control(code, in, inLength, out, outLength, &n, &e, &notes);
  }
  if (n > outLength) n = outLength;
  if (returned != nullptr) *returned = ok ? n : 0;
  if (!ok && error != nullptr) *error = e != 0 ? e : ERROR_IO_DEVICE_CODE;
  std::vector<std::string> extras = std::move(notes.extras);
  if (!ok) extras.push_back("error=" + std::to_string(e != 0 ? e : ERROR_IO_DEVICE_CODE));
  // A SCSI pass-through request shows its data buffer (data=), never the record it returns.
  constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x0004D014;
  const uint8_t* outBytes =
      notes.data.empty() && ok && code != IOCTL_SCSI_PASS_THROUGH_DIRECT ? static_cast<const uint8_t*>(out) : nullptr;
  capture_.Request(it->second.path, code, input.data(), input.size(), notes.data.data(), notes.data.size(),
                   outBytes, outBytes != nullptr ? n : 0, ok, extras);
  if (++requests_ == stopAfter_ && stop_) stop_();
  return ok;
}

void Bench::StopAfter(uint64_t n, std::function<void()> stop) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  stopAfter_ = n;
  stop_ = std::move(stop);
}

void Bench::Close(DeviceHandle device) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = handles_.find(device);
  if (it == handles_.end()) return;
  capture_.Event(it->second.path, "close", {"handle=" + std::to_string(device)});
  handles_.erase(it);
}

DeviceList Bench::GetClassDevs(const platform::Guid* guid, uint32_t flags) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tick();
  std::vector<DeviceNode> members;
  for (const EmuNode& n : nodes_) {
    if ((flags & platform::DEVLIST_PRESENT) && !n.present) continue;
    if (guid == nullptr) {
      if (!(flags & platform::DEVLIST_ALLCLASSES)) continue;
      members.push_back(n.node);
      continue;
    }
    for (const platform::Guid& g : n.interfaceClasses) {
      if (platform::SameGuid(g, *guid)) {
        members.push_back(n.node);
        break;
      }
    }
  }
  if (guid == nullptr && !(flags & platform::DEVLIST_ALLCLASSES)) return platform::INVALID_LIST;
  DeviceList list = nextList_++;
  lists_[list] = std::move(members);
  return list;
}

void Bench::DestroyList(DeviceList list) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  lists_.erase(list);
}

bool Bench::EnumMember(DeviceList list, uint32_t index, DeviceNode* node) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = lists_.find(list);
  if (it == lists_.end() || index >= it->second.size()) return false;
  *node = it->second[index];
  return true;
}

bool Bench::GetInterfacePath(DeviceList list, const platform::Guid& guid, uint32_t index, char16_t* path,
                             uint32_t capacity) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = lists_.find(list);
  if (it == lists_.end()) return false;
  // The i-th interface of the class among the list's members.
  uint32_t seen = 0;
  for (DeviceNode member : it->second) {
    EmuNode* n = Node(member);
    if (n == nullptr) continue;
    bool has = false;
    for (const platform::Guid& g : n->interfaceClasses) has = has || platform::SameGuid(g, guid);
    if (!has) continue;
    if (seen++ != index) continue;
    if (n->interfacePath.size() + 1 > capacity) return false;
    platform::TextCopy(path, capacity, n->interfacePath.c_str());
    return true;
  }
  return false;
}

bool Bench::GetRegistryProperty(DeviceList list, DeviceNode node, uint32_t property, void* buffer, uint32_t size,
                                uint32_t* required) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (required != nullptr) *required = 0;
  if (lists_.find(list) == lists_.end()) return false;
  EmuNode* n = Node(node);
  if (n == nullptr) return false;
  auto it = n->registryProperties.find(property);
  if (it == n->registryProperties.end()) return false;
  uint32_t need = static_cast<uint32_t>(it->second.size());
  if (required != nullptr) *required = need;
  if (buffer == nullptr || size < need) return false;
  std::memcpy(buffer, it->second.data(), need);
  return true;
}

bool Bench::GetDeviceProperty(DeviceList list, DeviceNode node, const platform::PropertyKey& key, void* buffer,
                              uint32_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (lists_.find(list) == lists_.end()) return false;
  EmuNode* n = Node(node);
  if (n == nullptr) return false;
  for (auto& [k, v] : n->deviceProperties) {
    if (k.pid == key.pid && platform::SameGuid(k.fmtid, key.fmtid)) {
      if (buffer == nullptr || size < v.size()) return false;
      std::memcpy(buffer, v.data(), v.size());
      return true;
    }
  }
  return false;
}

bool Bench::GetParent(DeviceNode node, DeviceNode* parent) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EmuNode* n = Node(node);
  if (n == nullptr || n->parent == 0) return false;
  *parent = n->parent;
  return true;
}

bool Bench::GetDeviceId(DeviceNode node, char16_t* id, uint32_t capacity) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EmuNode* n = Node(node);
  if (n == nullptr || n->instanceId.size() + 1 > capacity) return false;
  platform::TextCopy(id, capacity, n->instanceId.c_str());
  return true;
}

size_t Bench::OpenHandles() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return handles_.size();
}

size_t Bench::OpenLists() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return lists_.size();
}

}  // namespace emu
