// The two kinds of emulated disk behind EmuDisk: the native NVMe disk and the USB disk of a
// bridge. MakeDrive chooses between them; tests reach them through device requests only.
#pragma once
#include <array>
#include <memory>
#include <vector>

#include "emu/drive.h"

namespace emu {

// The class of request an NVMe admin opcode counts as, for fault injection.
RequestKind KindOfOpcode(uint8_t opcode);

// A disk of the storage driver's NVMe path (or, with another bus type, a disk that answers only
// the common queries).
class NativeDisk : public EmuDisk {
 public:
  NativeDisk(Bench& bench, const DriveDescription& description) : EmuDisk(bench, description) {}
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
               uint32_t* returned, uint32_t* error, RequestNotes* notes) override;

 private:
  bool IsNvme() const;
  bool ProtocolQuery(uint32_t property, const uint8_t* in, uint32_t inLength, uint8_t* out,
                     uint32_t outLength, uint32_t* returned, uint32_t* error, RequestNotes* notes);
  bool ProtocolCommand(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength,
                       uint32_t* returned, uint32_t* error, RequestNotes* notes);
  bool FirmwareDownload(const uint8_t* in, uint32_t inLength, uint32_t* error, RequestNotes* notes);
  bool FirmwareActivate(const uint8_t* in, uint32_t inLength, uint32_t* error, RequestNotes* notes);
  bool FirmwareGetInfo(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength, uint32_t* returned,
                       uint32_t* error, RequestNotes* notes);
};

// What a SCSI command came to.
struct ScsiOutcome {
  uint8_t status = 0;  // SCSISTAT_GOOD or SCSISTAT_CHECK_CONDITION
  uint8_t senseKey = 0, asc = 0, ascq = 0;
  uint32_t transferred = 0;  // data bytes moved
  bool fail = false;         // the request itself fails with `error` (an injected fault)
  uint32_t error = 0;
  // What the request resets once it has completed. Either reset takes the drive off the bus; it
  // comes back after its delay with its controller reset.
  enum class Reset : uint8_t {
    None,
    Bridge,      // the bridge restarts: it forgets any command in flight
    Controller,  // the bridge resets the NVMe controller behind it
  };
  Reset reset = Reset::None;
};

// A USB disk whose bridge (ASMedia or JMicron) carries NVMe commands in vendor SCSI commands.
class BridgeDisk : public EmuDisk {
 public:
  BridgeDisk(Bench& bench, const DriveDescription& description) : EmuDisk(bench, description) {}
  bool Control(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
               uint32_t* returned, uint32_t* error, RequestNotes* notes) override;
  // Forgets a command in flight (the bridge restarts with the drive).
  void ResetTransport() override;
  // Carries out the reset a completed control request asked for.
  void ResetAfter(ScsiOutcome::Reset reset);

 private:
  enum class Phase : uint8_t { Idle, AwaitData, AwaitCompletion };

  ScsiOutcome Execute(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length,
                      RequestNotes* notes);
  ScsiOutcome Inquiry(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length);
  ScsiOutcome Asmedia(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length,
                      RequestNotes* notes);
  ScsiOutcome Jmicron(const uint8_t cdb[16], uint8_t dataIn, uint8_t* data, uint32_t length,
                      RequestNotes* notes);
  // The NVMe command held by phase 1, run at phase 2.
  ScsiOutcome RunCommand(DataDirection direction, uint8_t* data, uint32_t length, RequestNotes* notes);
  // Starts a command at phase 1: counts it and arms a fault when one is due.
  void BeginPhases(RequestKind kind);
  // Whether the fault due for a command strikes at this phase (any phase for a command of one
  // request); fills the outcome when it does and clears `fault` once it has struck.
  bool Strikes(const Fault*& fault, uint8_t phase, bool single, ScsiOutcome* outcome);

  Phase phase_ = Phase::Idle;
  std::array<uint8_t, 64> command_{};
  uint8_t directionCode_ = 0;  // ASMedia: 0 none, 1 read, 2 write
  uint8_t powerMode_ = 0;      // JMicron: the mode of a control block, 0 for a command
  uint8_t cdbLength_ = 16;     // CdbLength of the request being executed
  NvmeCompletion completion_;
  const Fault* armed_ = nullptr;      // the fault due for the command in flight
  const Fault* failAfter_ = nullptr;  // a fault that fails the request after it has acted
};

}  // namespace emu
