// Bench files: a machine described in text, so that a scenario needs no code. A file is a list of
// sections, each one device node or device:
//
//   # comment
//   [kind name]
//   key = value
//
// Kinds: pci, nvme, usb-host, root-hub, hub, usb-device (the device tree), drive (an NVMe drive
// and its disk), disk (a disk that is not an NVMe drive: SATA, a USB stick), volume (a volume
// letter on one or more disks). docs/bench.md describes every key, with examples.
//
// A file is read whole and checked before anything is added to the bench: a file with a fault
// adds nothing and gives a message naming the line.
#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emu/bench.h"
#include "emu/drive.h"
#include "emu/plain_disk.h"

namespace emu {

// What a loaded file made, by the names it gave.
struct BenchContents {
  std::vector<std::pair<std::string, platform::DeviceNode>> nodes;
  std::vector<std::pair<std::string, std::shared_ptr<EmuDisk>>> drives;
  std::vector<std::pair<std::string, std::shared_ptr<PlainDisk>>> disks;
  std::vector<std::pair<char, std::shared_ptr<Volume>>> volumes;
  // The boot the machine is in: 1 as the file describes it, raised by each restart or power-off
  // (RestartBench, emu/bench_state.h); a bench state file carries it from one run to the next.
  uint64_t boot = 1;

  platform::DeviceNode Node(const std::string& name) const;  // 0 when unknown
  std::shared_ptr<EmuDisk> Drive(const std::string& name) const;
  std::shared_ptr<PlainDisk> Disk(const std::string& name) const;
};

// Reads a bench description (UTF-8, an optional byte-order mark) into the bench. Returns true
// when the whole description was added; otherwise false with "line N: ..." in *error, and the
// bench untouched. contents may be null.
bool LoadBench(Bench& bench, const std::string& text, BenchContents* contents, std::string* error);

// The same from a file on the host's file system.
bool LoadBenchFile(Bench& bench, const std::string& path, BenchContents* contents, std::string* error);

// The default bench that ships with the program (emu/benches/default.bench), built in.
const std::string& DefaultBenchText();

}  // namespace emu
