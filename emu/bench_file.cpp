#include "emu/bench_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "emu/section_file.h"
#include "platform/text.h"

namespace emu {

// The built-in default bench, generated from emu/benches/default.bench.
extern const unsigned char DEFAULT_BENCH_BYTES[];
extern const size_t DEFAULT_BENCH_SIZE;

namespace {

// The device tree's own values, as Windows has them.
constexpr platform::Guid DISK_CLASS = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr platform::Guid USB_DEVICE_CLASS = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr platform::Guid USB_HUB_CLASS = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
constexpr platform::Guid USB_HOST_CLASS = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
constexpr platform::Guid PCI_DEVICE_KEYS = {0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
constexpr uint32_t PCI_CURRENT_LINK_SPEED = 9;
constexpr uint32_t PCI_CURRENT_LINK_WIDTH = 10;
constexpr uint32_t PCI_MAX_LINK_SPEED = 11;
constexpr uint32_t PCI_MAX_LINK_WIDTH = 12;
constexpr uint32_t REG_LOCATION_INFORMATION = 0x0D;
constexpr uint32_t REG_BUSNUMBER = 0x15;

// Limits of what a file may say: the sizes of the fields the values go into.
constexpr size_t MAX_INSTANCE_ID = 199;  // MAX_DEVICE_ID_LEN less the terminator
constexpr size_t MAX_PATH_CHARS = 1000;
constexpr size_t MAX_LOCATION_CHARS = 259;
constexpr uint64_t MAX_DISK_NUMBER = 999;
constexpr size_t MAX_LBA_FORMATS = 16;
constexpr size_t MAX_LEGACY_IDS = 100;

std::u16string Wide(const std::string& s) {
  std::u16string out(s.size() + 1, u'\0');
  out.resize(platform::Utf8ToWide(s.data(), static_cast<ptrdiff_t>(s.size()), out.data(), out.size()));
  return out;
}

enum class Kind { Pci, Nvme, UsbHost, RootHub, Hub, UsbDevice, Drive, Disk, Volume };

bool KindOf(const std::string& word, Kind* kind) {
  static const std::pair<const char*, Kind> kinds[] = {
      {"pci", Kind::Pci},         {"nvme", Kind::Nvme}, {"usb-host", Kind::UsbHost},
      {"root-hub", Kind::RootHub}, {"hub", Kind::Hub},   {"usb-device", Kind::UsbDevice},
      {"drive", Kind::Drive},     {"disk", Kind::Disk}, {"volume", Kind::Volume}};
  for (const auto& [name, k] : kinds) {
    if (word == name) {
      *kind = k;
      return true;
    }
  }
  return false;
}

struct NodePlan {
  std::string name;
  Kind kind = Kind::Pci;
  int line = 0;
  int parent = -1;
  std::u16string id;
  const platform::Guid* interfaceClass = nullptr;
  std::u16string path;
  bool present = true;
  bool hasBus = false;
  uint32_t bus = 0;
  bool hasLocation = false;
  std::u16string location;
  std::vector<std::pair<uint32_t, uint32_t>> link;  // property id, value
  int drive = -1;                                   // index into Plan::drives
  int disk = -1;                                    // index into Plan::disks
};

struct VolumeRef {
  int node = -1;  // a drive or disk section, whose current number the volume follows
  uint32_t number = 0;
};

struct VolumePlan {
  char letter = 'C';
  int line = 0;
  std::vector<VolumeRef> refs;
};

struct Plan {
  std::vector<NodePlan> nodes;
  std::vector<DriveDescription> drives;
  std::vector<PlainDiskDescription> disks;
  std::vector<VolumePlan> volumes;
};

std::string GuidText(const platform::Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.data1, g.data2, g.data3,
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

// The interface path Windows forms from an instance ID: "\\?\" + the ID in lower case with its
// backslashes turned into '#', then '#' and the class GUID.
std::u16string InterfacePath(const std::u16string& id, const platform::Guid& guid) {
  std::u16string path = u"\\\\?\\";
  for (char16_t c : id) path += c == u'\\' ? u'#' : platform::LowerChar(c);
  path += u"#";
  path += Wide(GuidText(guid));
  return path;
}

std::string Hex(uint32_t v, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", width, v);
  return text;
}

// A plausible instance ID for a node that the file gives none.
std::string DefaultId(Kind kind, size_t index, const DriveDescription* drive, const PlainDiskDescription* disk) {
  std::string n = Hex(static_cast<uint32_t>(0x1A2B00 + index), 6);
  switch (kind) {
    case Kind::Pci: return "PCI\\VEN_8086&DEV_7ABC&SUBSYS_00000000&REV_11\\3&" + n + "&0&" + Hex(static_cast<uint32_t>(index), 2);
    case Kind::Nvme: return "PCI\\VEN_1E4B&DEV_5016&SUBSYS_50161E4B&REV_01\\4&" + n + "&0&0008";
    case Kind::UsbHost: return "PCI\\VEN_8086&DEV_7AE0&SUBSYS_00000000&REV_11\\3&" + n + "&0&A0";
    case Kind::RootHub: return "USB\\ROOT_HUB30\\4&" + n + "&0&0";
    case Kind::Hub: return "USB\\VID_05E3&PID_0610\\5&" + n + "&0&1";
    case Kind::UsbDevice: return "USB\\VID_174C&PID_2362\\QV" + n;
    case Kind::Drive:
      if (drive != nullptr && drive->bridge.kind != BridgeKind::None)
        return "USBSTOR\\DISK&VEN_QUORVELA&PROD_USB_ENCLOSURE&REV_0100\\" + n + "&0";
      return "SCSI\\DISK&VEN_NVME&PROD_QUORVELA\\5&" + n + "&0&000000";
    case Kind::Disk:
      if (disk != nullptr && disk->busType == BUS_TYPE_USB) return "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_1.00\\" + n + "&0";
      return "SCSI\\DISK&VEN_&PROD_SATA_DISK\\4&" + n + "&0&000000";
    case Kind::Volume: break;
  }
  return n;
}

int FindNode(const Plan& plan, const std::string& name) {
  for (size_t i = 0; i < plan.nodes.size(); ++i)
    if (plan.nodes[i].name == name) return static_cast<int>(i);
  return -1;
}

bool ParseBusType(const std::string& text, uint8_t* out) {
  std::string s = Lower(text);
  static const std::pair<const char*, uint8_t> names[] = {{"scsi", 0x01},          {"ata", 0x03},
                                                         {"usb", BUS_TYPE_USB},   {"raid", BUS_TYPE_RAID},
                                                         {"sas", 0x0A},           {"sata", BUS_TYPE_SATA},
                                                         {"nvme", BUS_TYPE_NVME}};
  for (const auto& [name, value] : names) {
    if (s == name) {
      *out = value;
      return true;
    }
  }
  uint64_t v = 0;
  if (!ParseNumber(text, 0xFF, &v)) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

bool ParseFault(Keys& keys, const Entry* e, Fault* fault) {
  std::vector<std::string> words = Words(e->value);
  static const std::pair<const char*, RequestKind> kinds[] = {
      {"any", RequestKind::Any},
      {"device-property", RequestKind::DeviceProperty},
      {"device-number", RequestKind::DeviceNumber},
      {"inquiry", RequestKind::Inquiry},
      {"identify", RequestKind::Identify},
      {"vendor-read", RequestKind::VendorRead},
      {"vendor-write", RequestKind::VendorWrite},
      {"firmware-download", RequestKind::FirmwareDownload},
      {"firmware-commit", RequestKind::FirmwareCommit},
      {"power-control", RequestKind::PowerControl},
      {"firmware-info", RequestKind::FirmwareInfo},
      {"activation", RequestKind::Activation}};
  bool known = false;
  if (!words.empty()) {
    for (const auto& [name, kind] : kinds) {
      if (Lower(words[0]) == name) {
        fault->kind = kind;
        known = true;
      }
    }
  }
  if (!known) return keys.Fail(e->line, "\"fault\" starts with the kind of request (identify, vendor-read, ...)");
  bool actionGiven = false;
  for (size_t i = 1; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    std::string key = Lower(words[i].substr(0, eq));
    std::string value = eq == std::string::npos ? "" : words[i].substr(eq + 1);
    uint64_t v = 0;
    bool ok = true;
    if (key == "nth" || key == "repeat" || key == "error") {
      ok = ParseNumber(value, 0xFFFFFFFF, &v);
      (key == "nth" ? fault->nth : key == "repeat" ? fault->repeat : fault->error) = static_cast<uint32_t>(v);
    } else if (key == "phase") {
      ok = ParseNumber(value, 3, &v) && v >= 1;
      fault->phase = static_cast<uint8_t>(v);
    } else if (key == "status") {
      ok = ParseNumber(value, 0xFFFF, &v);
      fault->status = static_cast<uint16_t>(v);
    } else if (key == "performed") {
      ok = ParseBool(value, &fault->performed);
    } else if (key == "action") {
      actionGiven = true;
      std::string a = Lower(value);
      if (a == "fail") fault->action = FaultAction::FailRequest;
      else if (a == "check-condition") fault->action = FaultAction::CheckCondition;
      else if (a == "error-completion") fault->action = FaultAction::ErrorCompletion;
      else if (a == "keep-old") fault->action = FaultAction::KeepOld;
      else ok = false;
    } else {
      return keys.Fail(e->line, "\"fault\" has no setting \"" + key + "\"");
    }
    if (!ok) return keys.Fail(e->line, "\"fault\" setting \"" + words[i] + "\" has a bad value");
  }
  // An activation is no request: it can only keep the old firmware, and only it can.
  if (fault->kind == RequestKind::Activation && !actionGiven) fault->action = FaultAction::KeepOld;
  if ((fault->kind == RequestKind::Activation) != (fault->action == FaultAction::KeepOld))
    return keys.Fail(e->line, "\"fault\": the action keep-old belongs to the kind activation, and activation takes no other");
  return true;
}

// The keys of a drive section that fill its DriveDescription.
bool ReadDrive(Keys& keys, DriveDescription* description) {
  DriveIdentity& id = description->identity;
  keys.Text("model", 40, &id.model);
  keys.Text("serial", 20, &id.serial);
  keys.Number("vendor-id", 0xFFFF, &id.vendorId);
  keys.Number("subsystem-vendor-id", 0xFFFF, &id.subsystemVendorId);
  keys.Number("blocks", UINT64_MAX, &id.namespaceBlocks);
  if (const Entry* e = keys.Take("lba-formats")) {
    id.lbaFormats.clear();
    for (const std::string& w : Words(e->value)) {
      uint64_t v = 0;
      if (!ParseNumber(w, 63, &v)) return keys.Fail(e->line, "\"lba-formats\" lists LBADS values (9 for 512-byte blocks, 12 for 4096)");
      LbaFormat f;
      f.lbads = static_cast<uint8_t>(v);
      id.lbaFormats.push_back(f);
    }
    if (id.lbaFormats.empty() || id.lbaFormats.size() > MAX_LBA_FORMATS)
      return keys.Fail(e->line, "\"lba-formats\" lists 1 to 16 formats");
  }
  keys.Number("flbas", 0xFF, &id.flbas);
  keys.Text("firmware", 8, &description->firmware.name);

  FlashInfoDescription& flash = description->flashInfo;
  keys.Flag("flash-info", &flash.answers);
  keys.Number("flash-info-marker", 0xFF, &flash.marker);
  bool socGiven = keys.Number("soc-id", 0xFFFF, &flash.socId);
  keys.Bytes("flash-id", 6, flash.flashId.data());
  keys.Text("internal-version", 8, &flash.internalVersion);

  LegacyBlockDescription& legacy = description->legacy;
  keys.Number("legacy-marker", 0xFFFF, &legacy.layoutMarker);
  if (!keys.Number("legacy-soc-id", 0xFFFF, &legacy.socId) && socGiven) legacy.socId = flash.socId;
  if (const Entry* e = keys.Take("legacy-entries")) {
    std::vector<std::string> w = Words(e->value);
    uint64_t a = 0, b = 0;
    if (w.size() != 2 || !ParseNumber(w[0], 0xFF, &a) || !ParseNumber(w[1], 0xFF, &b))
      return keys.Fail(e->line, "\"legacy-entries\" takes the two factors of the entry count (bytes 295 and 296)");
    legacy.entryFactor1 = static_cast<uint8_t>(a);
    legacy.entryFactor2 = static_cast<uint8_t>(b);
  }
  std::vector<const Entry*> ids = keys.TakeAll("legacy-flash-id");
  if (ids.size() > MAX_LEGACY_IDS) return keys.Fail(ids.back()->line, "too many \"legacy-flash-id\" entries");
  for (const Entry* e : ids) {
    std::array<uint8_t, 6> flashId{};
    if (!keys.Bytes(e, 6, flashId.data())) return false;
    legacy.flashIds.push_back(flashId);
  }

  ConfigBlockDescription& config = description->config;
  keys.Text("workorder", 20, &config.workorder);
  keys.Number("device-id", 0xFFFF, &config.deviceId);
  keys.Number("subsystem-device-id", 0xFFFF, &config.subsystemDeviceId);
  keys.Number("config-capacity-gb", 0xFFFF, &config.capacityGb);

  BridgeDescription& bridge = description->bridge;
  if (const Entry* e = keys.Take("bridge")) {
    std::string b = Lower(e->value);
    if (b == "none") bridge.kind = BridgeKind::None;
    else if (b == "asmedia") bridge.kind = BridgeKind::ASMedia;
    else if (b == "jmicron") bridge.kind = BridgeKind::JMicron;
    else return keys.Fail(e->line, "\"bridge\" is none, asmedia or jmicron");
  }
  DefaultInquiryBytes(bridge);
  if (const Entry* e = keys.Take("inquiry")) {
    uint8_t bytes[2];
    if (!keys.Bytes(e, 2, bytes)) return false;
    bridge.inquiry36 = bytes[0];
    bridge.inquiry37 = bytes[1];
  }
  keys.Text("bridge-vendor", 8, &bridge.vendor);
  keys.Text("bridge-product", 16, &bridge.product);
  keys.Text("bridge-revision", 4, &bridge.revision);
  keys.Text("bridge-info", 16, &bridge.info);
  if (const Entry* e = keys.Take("bus-type")) {
    if (!ParseBusType(e->value, &description->busType)) return keys.Fail(e->line, "\"bus-type\" is nvme, usb, raid, sata, sas, scsi, ata or a number");
  }

  BehaviourDescription& behaviour = description->behaviour;
  keys.Number("power-cycle-ms", 0xFFFFFFFF, &behaviour.powerCycleDelayMs);
  if (const Entry* e = keys.Take("activation")) {
    std::string a = Lower(e->value);
    if (a == "reset") behaviour.activation = ActivationAt::Reset;
    else if (a == "power-off") behaviour.activation = ActivationAt::PowerOff;
    else return keys.Fail(e->line, "\"activation\" is reset or power-off");
  }
  keys.Flag("never-return", &behaviour.neverReturn);
  uint32_t returnDisk = 0;
  if (keys.Number("return-disk", MAX_DISK_NUMBER, &returnDisk)) behaviour.returnDiskNumber = static_cast<int32_t>(returnDisk);
  keys.Flag("refuse-namespace-property", &behaviour.refuseAdapterPropertyForNamespace);
  if (const Entry* e = keys.Take("alignment-mask")) {
    uint64_t v = 0;
    if (!ParseNumber(e->value, 0xFFF, &v) || (v & (v + 1)) != 0)
      return keys.Fail(e->line, "\"alignment-mask\" takes a mask of low bits up to 0xFFF (0, 1, 3, 7, ... 0xFFF)");
    behaviour.alignmentMask = static_cast<uint32_t>(v);
  }
  if (const Entry* e = keys.Take("fw-payload-alignment")) {
    uint64_t v = 0;
    if (!ParseNumber(e->value, 4096, &v) || v == 0 || (v & (v - 1)) != 0)
      return keys.Fail(e->line, "\"fw-payload-alignment\" takes a power of two from 1 to 4096");
    behaviour.firmwarePayloadAlignment = static_cast<uint32_t>(v);
  }
  keys.Number("fw-payload-max", 0xFFFFFFFF, &behaviour.firmwarePayloadMaxSize);
  for (const Entry* e : keys.TakeAll("fault")) {
    Fault fault;
    if (!ParseFault(keys, e, &fault)) return false;
    behaviour.faults.push_back(fault);
  }
  return keys.Ok();
}

bool ReadPlainDisk(Keys& keys, PlainDiskDescription* description) {
  if (const Entry* e = keys.Take("bus-type")) {
    if (!ParseBusType(e->value, &description->busType)) return keys.Fail(e->line, "\"bus-type\" is sata, usb, raid, nvme, sas, scsi, ata or a number");
    if (description->busType == BUS_TYPE_USB) {
      description->vendor = "Generic";
      description->product = "Flash Disk";
      description->removable = true;
    }
  }
  keys.Flag("removable", &description->removable);
  keys.Text("vendor", 8, &description->vendor);
  keys.Text("product", 16, &description->product);
  keys.Text("revision", 4, &description->revision);
  keys.Text("serial", 20, &description->serial);
  if (const Entry* e = keys.Take("inquiry")) {
    uint8_t bytes[2];
    if (!keys.Bytes(e, 2, bytes)) return false;
    description->inquiry36 = bytes[0];
    description->inquiry37 = bytes[1];
  }
  return keys.Ok();
}

// One section of the device tree, a drive or a disk.
bool ReadNode(Section& section, Kind kind, Plan* plan, std::string* error) {
  Keys keys(section, error);
  NodePlan node;
  node.name = section.name;
  node.kind = kind;
  node.line = section.line;
  if (FindNode(*plan, section.name) >= 0) return keys.Fail(section.line, "the name is used twice");

  if (const Entry* e = keys.Take("parent")) {
    node.parent = FindNode(*plan, e->value);
    if (node.parent < 0) return keys.Fail(e->line, "parent \"" + e->value + "\" is not a section above this one");
  } else if (kind == Kind::RootHub || kind == Kind::Hub || kind == Kind::UsbDevice || kind == Kind::Drive) {
    if (keys.Ok()) return keys.Fail(section.line, "\"parent\" is missing");
  }
  std::string id;
  bool hasId = keys.Text("id", MAX_INSTANCE_ID, &id);
  if (kind != Kind::Drive) keys.Flag("present", &node.present);
  if (kind == Kind::Pci || kind == Kind::Nvme || kind == Kind::UsbHost)
    node.hasBus = keys.Number("bus", 0xFFFFFFFF, &node.bus);
  std::string location;
  if (kind == Kind::Hub || kind == Kind::UsbDevice || kind == Kind::RootHub) {
    if (keys.Text("location", MAX_LOCATION_CHARS, &location)) {
      node.hasLocation = true;
      node.location = Wide(location);
    }
  }
  if (kind == Kind::Nvme) {
    static const std::pair<const char*, uint32_t> linkKeys[] = {{"link-speed", PCI_CURRENT_LINK_SPEED},
                                                               {"link-width", PCI_CURRENT_LINK_WIDTH},
                                                               {"max-link-speed", PCI_MAX_LINK_SPEED},
                                                               {"max-link-width", PCI_MAX_LINK_WIDTH}};
    for (const auto& [key, pid] : linkKeys) {
      uint32_t v = 0;
      if (keys.Number(key, 0xFFFFFFFF, &v)) node.link.emplace_back(pid, v);
    }
  }

  std::string path;
  bool hasPath = false;
  const DriveDescription* driveSpec = nullptr;
  const PlainDiskDescription* diskSpec = nullptr;
  if (kind == Kind::Drive || kind == Kind::Disk) {
    hasPath = keys.Text("path", MAX_PATH_CHARS, &path);
    uint32_t number = 0;
    if (!keys.Number("disk", MAX_DISK_NUMBER, &number)) {
      if (keys.Ok()) return keys.Fail(section.line, "\"disk\" (the disk number) is missing");
      return false;
    }
    for (const NodePlan& other : plan->nodes) {
      uint32_t otherNumber = other.drive >= 0 ? plan->drives[static_cast<size_t>(other.drive)].diskNumber
                             : other.disk >= 0 ? plan->disks[static_cast<size_t>(other.disk)].diskNumber
                                               : UINT32_MAX;
      if (otherNumber == number) return keys.Fail(section.line, "disk " + std::to_string(number) + " is also [" + other.name + "]");
    }
    if (kind == Kind::Drive) {
      DriveDescription description;
      description.name = section.name;
      description.diskNumber = number;
      if (!ReadDrive(keys, &description)) return false;
      plan->drives.push_back(std::move(description));
      node.drive = static_cast<int>(plan->drives.size() - 1);
      driveSpec = &plan->drives.back();
    } else {
      PlainDiskDescription description;
      description.name = section.name;
      description.diskNumber = number;
      if (!ReadPlainDisk(keys, &description)) return false;
      plan->disks.push_back(std::move(description));
      node.disk = static_cast<int>(plan->disks.size() - 1);
      diskSpec = &plan->disks.back();
    }
  }
  if (!keys.Finish()) return false;

  switch (kind) {
    case Kind::UsbHost: node.interfaceClass = &USB_HOST_CLASS; break;
    case Kind::RootHub:
    case Kind::Hub: node.interfaceClass = &USB_HUB_CLASS; break;
    case Kind::UsbDevice: node.interfaceClass = &USB_DEVICE_CLASS; break;
    case Kind::Drive:
    case Kind::Disk: node.interfaceClass = &DISK_CLASS; break;
    default: break;
  }
  node.id = Wide(hasId ? id : DefaultId(kind, plan->nodes.size() + 1, driveSpec, diskSpec));
  for (const NodePlan& other : plan->nodes)
    if (platform::TextEqualNoCase(other.id.c_str(), node.id.c_str()))
      return keys.Fail(section.line, "instance ID " + (hasId ? id : std::string("(made up)")) + " is also [" + other.name + "]'s");
  if (node.interfaceClass != nullptr) node.path = hasPath ? Wide(path) : InterfacePath(node.id, *node.interfaceClass);
  if (!node.path.empty()) {
    for (const NodePlan& other : plan->nodes)
      if (platform::TextEqualNoCase(other.path.c_str(), node.path.c_str()))
        return keys.Fail(section.line, "the interface path is also [" + other.name + "]'s");
  }
  plan->nodes.push_back(std::move(node));
  return true;
}

bool ReadVolume(Section& section, Plan* plan, std::string* error) {
  Keys keys(section, error);
  VolumePlan volume;
  volume.line = section.line;
  std::string name = section.name;
  if (name.size() == 2 && name[1] == ':') name.pop_back();
  char letter = name.size() == 1 ? name[0] : 0;
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return keys.Fail(section.line, "a volume is named by its letter, A to Z");
  volume.letter = letter;
  for (const VolumePlan& other : plan->volumes)
    if (other.letter == letter) return keys.Fail(section.line, std::string("volume ") + letter + " is given twice");
  const Entry* e = keys.Take("disks");
  if (e == nullptr) {
    if (keys.Ok()) keys.Fail(section.line, "\"disks\" is missing");
    return false;
  }
  for (const std::string& word : Words(e->value)) {
    VolumeRef ref;
    uint64_t number = 0;
    if (ParseNumber(word, MAX_DISK_NUMBER, &number)) {
      ref.number = static_cast<uint32_t>(number);
    } else {
      ref.node = FindNode(*plan, word);
      if (ref.node < 0 || (plan->nodes[static_cast<size_t>(ref.node)].drive < 0 && plan->nodes[static_cast<size_t>(ref.node)].disk < 0))
        return keys.Fail(e->line, "\"" + word + "\" is neither a disk number nor a drive or disk above");
    }
    volume.refs.push_back(ref);
  }
  if (volume.refs.empty()) return keys.Fail(e->line, "\"disks\" names one disk, or several for a spanning volume");
  if (!keys.Finish()) return false;
  plan->volumes.push_back(std::move(volume));
  return true;
}

std::vector<uint8_t> U32Bytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> TextBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::u16string PhysicalDrivePath(uint32_t number) { return Wide("\\\\.\\PhysicalDrive" + std::to_string(number)); }

// Adds what the plan describes to the bench.
void Build(Bench& bench, const Plan& plan, BenchContents* contents) {
  std::vector<platform::DeviceNode> made(plan.nodes.size(), 0);
  std::vector<std::shared_ptr<EmuDisk>> drives(plan.nodes.size());
  std::vector<std::shared_ptr<PlainDisk>> disks(plan.nodes.size());
  for (size_t i = 0; i < plan.nodes.size(); ++i) {
    const NodePlan& p = plan.nodes[i];
    EmuNode node;
    node.parent = p.parent >= 0 ? made[static_cast<size_t>(p.parent)] : 0;
    node.instanceId = p.id;
    if (p.interfaceClass != nullptr) node.interfaceClasses.push_back(*p.interfaceClass);
    node.interfacePath = p.path;
    node.present = p.present;
    if (p.hasBus) node.registryProperties[REG_BUSNUMBER] = U32Bytes(p.bus);
    if (p.hasLocation) node.registryProperties[REG_LOCATION_INFORMATION] = TextBytes(p.location);
    for (const auto& [pid, value] : p.link)
      node.deviceProperties.emplace_back(platform::PropertyKey{PCI_DEVICE_KEYS, pid}, U32Bytes(value));
    made[i] = bench.AddNode(std::move(node));
    if (contents != nullptr) contents->nodes.emplace_back(p.name, made[i]);

    if (p.drive >= 0) {
      const DriveDescription& description = plan.drives[static_cast<size_t>(p.drive)];
      std::shared_ptr<EmuDisk> drive = MakeDrive(bench, description);
      bench.AddDevice(p.path, drive);
      // A drive that leaves the bus takes its disk node with it, and behind a bridge the
      // bridge's USB device too; both return with it, in the same places of the tree.
      platform::DeviceNode diskNode = made[i];
      platform::DeviceNode bridgeNode = 0;
      if (description.bridge.kind != BridgeKind::None && p.parent >= 0 &&
          plan.nodes[static_cast<size_t>(p.parent)].kind == Kind::UsbDevice)
        bridgeNode = made[static_cast<size_t>(p.parent)];
      Bench* b = &bench;
      drive->SetPresenceHook([b, diskNode, bridgeNode](bool present, uint32_t) {
        if (EmuNode* n = b->Node(diskNode)) n->present = present;
        if (bridgeNode != 0)
          if (EmuNode* n = b->Node(bridgeNode)) n->present = present;
      });
      drives[i] = drive;
      if (contents != nullptr) contents->drives.emplace_back(p.name, drive);
    }
    if (p.disk >= 0) {
      auto disk = std::make_shared<PlainDisk>(plan.disks[static_cast<size_t>(p.disk)]);
      disk->SetPresent(p.present);
      bench.AddDevice(PhysicalDrivePath(disk->DiskNumber()), disk);
      bench.AddDevice(p.path, disk);
      disks[i] = disk;
      if (contents != nullptr) contents->disks.emplace_back(p.name, disk);
    }
  }
  for (const VolumePlan& v : plan.volumes) {
    std::vector<VolumeExtent> extents;
    for (const VolumeRef& ref : v.refs) {
      VolumeExtent extent;
      if (ref.node >= 0 && drives[static_cast<size_t>(ref.node)] != nullptr) {
        std::weak_ptr<EmuDisk> d = drives[static_cast<size_t>(ref.node)];
        extent.present = [d] { auto s = d.lock(); return s != nullptr && s->Present(); };
        extent.diskNumber = [d] { auto s = d.lock(); return s != nullptr ? s->DiskNumber() : 0u; };
      } else if (ref.node >= 0) {
        std::weak_ptr<PlainDisk> d = disks[static_cast<size_t>(ref.node)];
        extent.present = [d] { auto s = d.lock(); return s != nullptr && s->Present(); };
        extent.diskNumber = [d] { auto s = d.lock(); return s != nullptr ? s->DiskNumber() : 0u; };
      } else {
        uint32_t number = ref.number;
        extent.present = [] { return true; };
        extent.diskNumber = [number] { return number; };
      }
      extents.push_back(std::move(extent));
    }
    auto volume = std::make_shared<Volume>(v.letter, std::move(extents));
    bench.AddDevice(Wide(std::string("\\\\.\\") + v.letter + ":"), volume);
    if (contents != nullptr) contents->volumes.emplace_back(v.letter, volume);
  }
}

}  // namespace

platform::DeviceNode BenchContents::Node(const std::string& name) const {
  for (const auto& [n, node] : nodes)
    if (n == name) return node;
  return 0;
}

std::shared_ptr<EmuDisk> BenchContents::Drive(const std::string& name) const {
  for (const auto& [n, d] : drives)
    if (n == name) return d;
  return nullptr;
}

std::shared_ptr<PlainDisk> BenchContents::Disk(const std::string& name) const {
  for (const auto& [n, d] : disks)
    if (n == name) return d;
  return nullptr;
}

bool LoadBench(Bench& bench, const std::string& text, BenchContents* contents, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::vector<Section> sections;
  if (!Split(text, &sections, error)) return false;
  Plan plan;
  for (Section& section : sections) {
    Kind kind;
    if (!KindOf(section.kind, &kind)) {
      *error = LineError(section.line, "unknown kind \"" + section.kind +
                                           "\" (pci, nvme, usb-host, root-hub, hub, usb-device, drive, disk, volume)");
      return false;
    }
    bool ok = kind == Kind::Volume ? ReadVolume(section, &plan, error) : ReadNode(section, kind, &plan, error);
    if (!ok) return false;
  }
  Build(bench, plan, contents);
  return true;
}

bool LoadBenchFile(Bench& bench, const std::string& path, BenchContents* contents, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = path + ": cannot be read";
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string message;
  if (LoadBench(bench, text, contents, &message)) return true;
  if (error != nullptr) *error = path + ": " + message;
  return false;
}

const std::string& DefaultBenchText() {
  static const std::string text(reinterpret_cast<const char*>(DEFAULT_BENCH_BYTES), DEFAULT_BENCH_SIZE);
  return text;
}

}  // namespace emu
