#include "emu/bench_state.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "emu/capture.h"
#include "emu/section_file.h"

namespace emu {

namespace {

std::string HexOf(const std::vector<uint8_t>& bytes) { return Capture::Hex(bytes.data(), bytes.size()); }

struct Planned {
  std::shared_ptr<EmuDisk> drive;
  ControllerState state;
  bool away = false;
};

bool ReadState(Keys& keys, Planned* plan) {
  ControllerState& s = plan->state;
  keys.Text("firmware", 8, &s.firmwareName);
  keys.Flag("away", &plan->away);
  keys.Flag("activation-pending", &s.activationPending);
  const std::pair<const char*, std::vector<uint8_t>*> images[] = {
      {"running", &s.activeImage}, {"slot", &s.slotImage}, {"config", &s.config}, {"legacy", &s.legacy}};
  for (const auto& [key, bytes] : images) {
    const Entry* e = keys.Take(key);
    if (e != nullptr && !ParseHexBytes(e->value, bytes)) return keys.Fail(e->line, std::string("\"") + key + "\" takes hexadecimal bytes");
  }
  if (keys.Ok() && (s.config.size() != VENDOR_BLOCK_SIZE || s.legacy.size() != VENDOR_BLOCK_SIZE))
    return keys.Fail(keys.section().line, "\"config\" and \"legacy\" take 4096 bytes each");
  for (const Entry* e : keys.TakeAll("piece")) {
    std::vector<std::string> w = Words(e->value);
    ControllerState::Piece piece;
    if (w.size() != 3 || !ParseNumber(w[0], MAX_FIRMWARE_IMAGE, &piece.offset) ||
        !ParseNumber(w[1], MAX_FIRMWARE_IMAGE, &piece.length) || !ParseHexBytes(w[2], &piece.bytes))
      return keys.Fail(e->line, "\"piece\" takes the byte offset, the length and the bytes of a download piece");
    s.pieces.push_back(std::move(piece));
  }
  if (!keys.Finish()) return false;
  // What the controller would refuse: try it on a copy, so that a fault changes nothing.
  NvmeController scratch(plan->drive->Description());
  if (!scratch.Restore(s)) return keys.Fail(keys.section().line, "the pieces overlap or lie beyond the largest image");
  return true;
}

// The one section that is no drive: the machine, by this name.
constexpr char MACHINE_KIND[] = "machine";
constexpr char MACHINE_NAME[] = "bench";

bool ReadMachine(Keys& keys, uint64_t* boot) {
  if (keys.section().name != MACHINE_NAME)
    return keys.Fail(keys.section().line, std::string("the machine's section is [machine ") + MACHINE_NAME + "]");
  const Entry* e = keys.Take("boot");
  uint64_t n = 0;
  if (e == nullptr || !ParseNumber(e->value, UINT64_MAX, &n) || n == 0)
    return keys.Fail(e != nullptr ? e->line : keys.section().line, "\"boot\" takes the boot count, from 1");
  *boot = n;
  return keys.Finish();
}

}  // namespace

std::string BenchStateText(const BenchContents& contents) {
  std::string text = "# The bench's state between runs (docs/bench.md).\n";
  text += std::string("\n[") + MACHINE_KIND + " " + MACHINE_NAME + "]\nboot = " + std::to_string(contents.boot) + "\n";
  for (const auto& [name, drive] : contents.drives) {
    ControllerState s = drive->State();
    text += "\n[drive " + name + "]\n";
    text += "firmware = \"" + s.firmwareName + "\"\n";
    text += std::string("away = ") + (drive->Away() ? "yes" : "no") + "\n";
    text += std::string("activation-pending = ") + (s.activationPending ? "yes" : "no") + "\n";
    if (!s.activeImage.empty()) text += "running = " + HexOf(s.activeImage) + "\n";
    if (!s.slotImage.empty()) text += "slot = " + HexOf(s.slotImage) + "\n";
    text += "config = " + HexOf(s.config) + "\n";
    text += "legacy = " + HexOf(s.legacy) + "\n";
    for (const ControllerState::Piece& p : s.pieces)
      text += "piece = " + std::to_string(p.offset) + " " + std::to_string(p.length) + " " + HexOf(p.bytes) + "\n";
  }
  return text;
}

bool RestoreBenchState(BenchContents& contents, const std::string& text, std::string* error) {
  std::vector<Section> sections;
  if (!Split(text, &sections, error)) return false;
  std::vector<Planned> plans;
  // A state written before the boot was kept has no machine section: the machine's first boot.
  uint64_t boot = 1;
  bool machine = false;
  for (Section& section : sections) {
    Keys keys(section, error);
    if (section.kind == MACHINE_KIND) {
      if (machine) return keys.Fail(section.line, "the machine is given twice");
      machine = true;
      if (!ReadMachine(keys, &boot)) return false;
      continue;
    }
    Planned plan;
    plan.drive = section.kind == "drive" ? contents.Drive(section.name) : nullptr;
    if (plan.drive == nullptr) return keys.Fail(section.line, "the bench has no such drive");
    for (const Planned& other : plans)
      if (other.drive == plan.drive) return keys.Fail(section.line, "the drive is given twice");
    if (!ReadState(keys, &plan)) return false;
    plans.push_back(std::move(plan));
  }
  for (Planned& plan : plans) plan.drive->Restore(plan.state, plan.away);
  contents.boot = boot;
  return true;
}

bool LoadBenchStateFile(BenchContents& contents, const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
      std::fclose(probe);
      *error = path + ": cannot be read";
      return false;
    }
    return true;  // none yet
  }
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string message;
  if (RestoreBenchState(contents, text, &message)) return true;
  *error = path + ": " + message;
  return false;
}

bool SaveBenchStateFile(const BenchContents& contents, const std::string& path) {
  std::string text = BenchStateText(contents);
  std::string next = path + ".new";
  std::FILE* file = std::fopen(next.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = std::fclose(file) == 0 && ok;
  if (ok) {
#ifdef _WIN32
    std::remove(path.c_str());  // the C library's rename does not replace a file there
#endif
    ok = std::rename(next.c_str(), path.c_str()) == 0;
  }
  if (!ok) std::remove(next.c_str());
  return ok;
}

void RestartBench(BenchContents& contents, bool powerOff) {
  for (const auto& [name, drive] : contents.drives) drive->Restart(powerOff);
  if (contents.boot < UINT64_MAX) ++contents.boot;
}

}  // namespace emu
