// The emulated bench: a described machine whose devices answer device requests at the level of
// their bytes. It implements the device-I/O and device-tree seams, keeps the virtual clock and
// records every request in the capture.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/capture.h"
#include "emu/virtual_clock.h"
#include "platform/device_io.h"
#include "platform/device_tree.h"

namespace emu {

// What a device hands back besides its reply, for the capture.
struct RequestNotes {
  std::vector<uint8_t> data;        // the bytes a pass-through record points at
  std::vector<std::string> extras;  // "key=value" words
};

// Anything that can be opened by path and answers device control requests: a disk (an NVMe
// controller on the native path, or a bridge in front of one), a volume, a hub.
class EmuDevice {
 public:
  virtual ~EmuDevice() = default;
  // Whether the device can be opened now (a drive behind a power-cycled bridge is away).
  virtual bool Present() { return true; }
  // One request. On failure returns false with a system error code in *error.
  virtual bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                       uint32_t* returned, uint32_t* error, RequestNotes* notes) = 0;
};

// One device node of the tree.
struct EmuNode {
  platform::DeviceNode node = 0;
  platform::DeviceNode parent = 0;
  std::u16string instanceId;
  std::vector<platform::Guid> interfaceClasses;  // classes the node has an interface of
  std::u16string interfacePath;                  // what CreateFileW opens for that interface
  std::map<uint32_t, std::vector<uint8_t>> registryProperties;  // SPDRP_* -> raw bytes
  std::vector<std::pair<platform::PropertyKey, std::vector<uint8_t>>> deviceProperties;
  bool present = true;
};

constexpr uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr uint32_t ERROR_INVALID_HANDLE_CODE = 6;
constexpr uint32_t ERROR_INVALID_FUNCTION_CODE = 1;
constexpr uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr uint32_t ERROR_IO_DEVICE_CODE = 1117;
constexpr uint32_t ERROR_NO_SUCH_DEVICE_CODE = 433;

class Bench : public platform::DeviceIo, public platform::DeviceTree {
 public:
  Bench();
  ~Bench() override;

  VirtualClock& Clock() { return clock_; }
  emu::Capture& Capture() { return capture_; }

  // Devices by path (compared without regard to case, as the object manager does).
  void AddDevice(const std::u16string& path, std::shared_ptr<EmuDevice> device);
  void RemoveDevice(const std::u16string& path);
  std::shared_ptr<EmuDevice> FindDevice(const std::u16string& path);

  // Device nodes. AddNode assigns the node number when node.node is 0 and returns it.
  platform::DeviceNode AddNode(EmuNode node);
  EmuNode* Node(platform::DeviceNode node);  // null when unknown
  std::vector<EmuNode>& Nodes() { return nodes_; }
  // A copy of every node as it is now, taken under the bench's lock after the due timed work
  // has run: what a caller on another thread may read while drives leave and return.
  std::vector<EmuNode> Snapshot();

  // Events that are not requests, for the capture. A device that leaves the bus or returns to it
  // notes "leave" or "return"; those two also tell the device-change listener, as the system
  // tells every top-level window that devices changed.
  void Note(const std::u16string& device, const std::string& event,
            const std::vector<std::string>& extras = {});
  void SetDeviceChangeListener(std::function<void()> listener);

  // Lets a device learn the time and register work for later (a drive returning after a delay):
  // Tick runs every due callback; the bench calls it before every request and list.
  void At(uint64_t tick, std::function<void()> action);
  void Tick();

  // platform::DeviceIo
  platform::DeviceHandle Open(const char16_t* path, uint32_t* error) override;
  bool Control(platform::DeviceHandle device, uint32_t code, void* in, uint32_t inLength, void* out,
               uint32_t outLength, uint32_t* returned, uint32_t* error) override;
  void Close(platform::DeviceHandle device) override;

  // platform::DeviceTree
  platform::DeviceList GetClassDevs(const platform::Guid* guid, uint32_t flags) override;
  void DestroyList(platform::DeviceList list) override;
  bool EnumMember(platform::DeviceList list, uint32_t index, platform::DeviceNode* node) override;
  bool GetInterfacePath(platform::DeviceList list, const platform::Guid& guid, uint32_t index,
                        char16_t* path, uint32_t capacity) override;
  bool GetRegistryProperty(platform::DeviceList list, platform::DeviceNode node, uint32_t property,
                           void* buffer, uint32_t size, uint32_t* required) override;
  bool GetDeviceProperty(platform::DeviceList list, platform::DeviceNode node,
                         const platform::PropertyKey& key, void* buffer, uint32_t size) override;
  bool GetParent(platform::DeviceNode node, platform::DeviceNode* parent) override;
  bool GetDeviceId(platform::DeviceNode node, char16_t* id, uint32_t capacity) override;

  // Calls stop right after the n-th device request (counted from 1, every request the bench
  // receives), so that a run can end there as a killed program ends. 0: never.
  void StopAfter(uint64_t n, std::function<void()> stop);

  // Open handles and lists, for tests that check nothing leaks.
  size_t OpenHandles();
  size_t OpenLists();

 private:
  struct Handle {
    std::u16string path;
    std::shared_ptr<EmuDevice> device;
  };
  struct Timed {
    uint64_t tick;
    std::function<void()> action;
  };
  std::recursive_mutex mutex_;
  VirtualClock clock_;
  emu::Capture capture_;
  std::vector<std::pair<std::u16string, std::shared_ptr<EmuDevice>>> devices_;
  std::map<platform::DeviceHandle, Handle> handles_;
  platform::DeviceHandle nextHandle_ = 0x100;
  std::vector<EmuNode> nodes_;
  platform::DeviceNode nextNode_ = 1;
  std::map<platform::DeviceList, std::vector<platform::DeviceNode>> lists_;
  platform::DeviceList nextList_ = 0x1000;
  std::vector<Timed> timed_;
  std::function<void()> deviceChange_;
  uint64_t requests_ = 0;
  uint64_t stopAfter_ = 0;
  std::function<void()> stop_;
};

}  // namespace emu
