// The bench's state between runs: the boot the machine is in, and what each drive holds that a
// process of the bench would otherwise forget (its firmware running and in the slot, an activation
// that waits, the configuration and legacy blocks with the firmware name, a download under way,
// and whether it is away from the bus). The text has the form of a bench file: a [machine bench]
// section with the boot, then one [drive name] section per drive of the bench by its name there;
// docs/bench.md describes the keys.
#pragma once
#include <string>

#include "emu/bench_file.h"

namespace emu {

std::string BenchStateText(const BenchContents& contents);

// Takes a state text back into the bench's drives. The whole text is checked first: a fault (an
// unknown section or key, a bad value, a block of the wrong size, a drive the bench does not
// have) changes nothing and gives "line N: ..." in *error.
bool RestoreBenchState(BenchContents& contents, const std::string& text, std::string* error);

// The same with files. A state file that does not exist yet is no fault: the drives stay as the
// bench file describes them. Saving writes a new file beside the old one and renames it over.
bool LoadBenchStateFile(BenchContents& contents, const std::string& path, std::string* error);
bool SaveBenchStateFile(const BenchContents& contents, const std::string& path);

// A restart of the bench's computer: every drive is reset as a restart resets it (a committed
// image that waits is activated, or kept out by an activation fault; one that waits for a
// power-off keeps waiting), a drive that was away comes back, and the boot count rises. With
// powerOff the computer was switched off in between: every drive lost power, and an image that
// waits for a power-off is activated too.
void RestartBench(BenchContents& contents, bool powerOff);

}  // namespace emu
