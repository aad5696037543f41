// An emulated drive on the bench: the disk device that the storage stack shows for it (a native
// NVMe disk, or a USB disk whose ASMedia or JMicron bridge carries NVMe commands in vendor SCSI
// commands), with the NVMe controller behind it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "emu/bench.h"
#include "emu/drive_description.h"
#include "emu/nvme_controller.h"

namespace emu {

class EmuDisk : public EmuDevice, public std::enable_shared_from_this<EmuDisk> {
 public:
  // Called when the drive leaves the bus (false) and when it is back (true), with the disk number
  // it is back under. The bench builder hides and shows the disk's device node with it.
  using PresenceHook = std::function<void(bool present, uint32_t diskNumber)>;

  ~EmuDisk() override;

  const DriveDescription& Description() const { return description_; }
  NvmeController& Controller() { return *controller_; }
  uint32_t DiskNumber() const { return diskNumber_.load(); }
  // "\\.\PhysicalDriveN" with the current disk number.
  std::u16string Path() const;

  bool Present() override { return present_; }
  void SetPresenceHook(PresenceHook hook) { hook_ = std::move(hook); }

  // A controller reset while the drive stays on the bus and keeps its power: what a restart does
  // to a native drive. A staged firmware image becomes active, unless the drive activates only
  // at a power-off.
  void ResetController();
  // The drive leaves the bus now and returns after the described delay (or never), with a
  // controller reset; the same thing a bridge's control (a reset of the bridge or of the
  // controller behind it) does.
  void PowerCycle();

  // What the drive holds for a bench state file: its controller's state, and whether it is away
  // from the bus. Restore takes it back; a drive that was away returns at once (its delay has
  // passed between two runs) unless it never returns, and then it stays away until a restart.
  ControllerState State() const { return controller_->State(); }
  bool Away() const { return !present_; }
  bool Restore(const ControllerState& state, bool away);
  // A restart of the computer: every drive is reset, one that was away comes back. With powerOff
  // the computer was off in between, so the drive lost power: an image that waits for a
  // power-off is activated too.
  void Restart(bool powerOff = false);

  // Device requests answered so far, and the faults that struck.
  uint64_t Requests() const { return requests_; }
  uint32_t FaultsStruck() const { return faultsStruck_; }

 protected:
  EmuDisk(Bench& bench, const DriveDescription& description);

  // The parts every disk answers: the device descriptor and the device number. Returns false
  // when the code is not one of them.
  bool CommonControl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t outLength, uint32_t* returned, uint32_t* error, bool* ok);

  // Fault bookkeeping. BeginCommand counts a new command (or single request) of the kind and
  // arms a fault when one is due; Strike reports whether the armed fault hits at this phase.
  const Fault* BeginCommand(RequestKind kind);
  const Fault* CountAny();
  // Leaves the bus now (as a bridge control's reset does).
  void Leave();
  // What else a reset of the controller resets: nothing on a native disk; a bridge forgets the
  // command it holds.
  virtual void ResetTransport() {}

  Bench& bench_;
  DriveDescription description_;
  std::unique_ptr<NvmeController> controller_;
  std::atomic<uint32_t> diskNumber_;
  std::atomic<bool> present_{true};
  uint64_t requests_ = 0;
  uint32_t faultsStruck_ = 0;

 private:
  void Return();
  void Register();
  // The controller's reset, with the activation fault when one is due; powerLost for a reset
  // that cut the drive's power (a bridge's power cycle, a power-off of the computer).
  void ResetWithFaults(bool powerLost);
  PresenceHook hook_;
  std::vector<uint32_t> faultCounts_;
  uint64_t generation_ = 0;  // power cycles begun; a late return of an earlier one is ignored

  friend std::shared_ptr<EmuDisk> MakeDrive(Bench& bench, const DriveDescription& description);
};

// Makes the drive's devices and registers its disk at "\\.\PhysicalDriveN" on the bench. The
// bench builder adds the device-tree nodes and may register the same disk under its interface
// path (bench.AddDevice(path, disk)).
std::shared_ptr<EmuDisk> MakeDrive(Bench& bench, const DriveDescription& description);

}  // namespace emu
