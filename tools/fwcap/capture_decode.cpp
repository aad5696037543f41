#include "tools/fwcap/capture_decode.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace fwcap {

namespace {

// Control codes and opcodes of the capture format.
constexpr uint32_t QUERY_PROPERTY = 0x002D1400;
constexpr uint32_t PROTOCOL_COMMAND = 0x002DD3C0;
constexpr uint32_t FIRMWARE_DOWNLOAD = 0x002DDC04;
constexpr uint32_t FIRMWARE_ACTIVATE = 0x002DDC08;
constexpr uint32_t FIRMWARE_GET_INFO = 0x002D1C00;
constexpr uint8_t OPCODE_GET_LOG_PAGE = 0x02;
// The firmware slot information log page (LID 3), 512 bytes: NUMDL 127 in CDW10 bits 27:16.
constexpr uint32_t FIRMWARE_SLOT_LOG_CDW10 = 127u << 16 | 3u;
constexpr uint32_t FIRMWARE_SLOT_LOG_BYTES = 512;
// The error of a native activate that the drive answered with "activation needs a reset": the
// image is committed.
constexpr char ACTIVATED_BY_RESET_ERROR[] = "197127";
constexpr uint32_t SCSI_PASS_THROUGH_DIRECT = 0x0004D014;
constexpr uint8_t OPCODE_IDENTIFY = 0x06;
constexpr uint8_t OPCODE_COMMIT = 0x10;
constexpr uint8_t OPCODE_DOWNLOAD = 0x11;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->resize(text.size() / 2);
  for (size_t i = 0; i < bytes->size(); ++i) {
    int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*bytes)[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

// Little-endian fields; a field that does not lie inside the bytes reads as 0 and clears *inside.
uint32_t Le32(const std::vector<uint8_t>& b, size_t at, bool* inside = nullptr) {
  if (at + 4 > b.size()) {
    if (inside != nullptr) *inside = false;
    return 0;
  }
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint64_t Le64(const std::vector<uint8_t>& b, size_t at, bool* inside = nullptr) {
  uint64_t low = Le32(b, at, inside);
  return low | static_cast<uint64_t>(Le32(b, at + 4, inside)) << 32;
}
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t Be24(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

std::vector<uint8_t> Slice(const std::vector<uint8_t>& b, uint64_t at, uint64_t length) {
  if (at >= b.size()) return {};
  uint64_t end = std::min<uint64_t>(b.size(), at + length);
  return std::vector<uint8_t>(b.begin() + static_cast<ptrdiff_t>(at), b.begin() + static_cast<ptrdiff_t>(end));
}

// The 64-byte command record: opcode, NSID, CDW10 to CDW15.
void FromRecord(const uint8_t* record, Command* c) {
  std::vector<uint8_t> r(record, record + 64);
  c->opcode = r[0];
  c->nsid = Le32(r, 4);
  for (int i = 0; i < 6; ++i) c->cdw[i] = Le32(r, 40 + 4 * i);
}

// The completion status in a 16-byte completion entry: bits 31:17 of its last dword, as status
// code type << 8 | status code.
int EntryStatus(const std::vector<uint8_t>& b, size_t at) {
  bool inside = true;
  uint32_t dw3 = Le32(b, at + 12, &inside);
  return inside ? static_cast<int>((dw3 >> 17) & 0x7FF) : -1;
}

std::string Key(const Line& line, const std::string& key) {
  auto it = line.keys.find(key);
  return it == line.keys.end() ? std::string() : it->second;
}

// A pass-through request that the device carried with GOOD status.
bool ScsiGood(const Line& line) {
  std::string s = Key(line, "scsi");
  return line.ok && (s.empty() || s == "00");
}
std::string ScsiNote(const Line& line) {
  if (!line.ok) return "request failed, error " + Key(line, "error");
  return "SCSI status " + Key(line, "scsi");
}

// The pass-through record: its CDB, DataIn and DataTransferLength, by the layout its Length names.
struct Scsi {
  bool valid = false;
  uint8_t cdb[16] = {};
  uint8_t dataIn = 0;
  uint32_t length = 0;
};
Scsi ReadScsi(const Line& line) {
  Scsi s;
  if (line.in.size() < 44) return s;
  uint16_t recordLength = static_cast<uint16_t>(line.in[0] | line.in[1] << 8);
  size_t cdbAt = recordLength == 56 ? 36 : recordLength == 44 ? 28 : 0;
  if (cdbAt == 0 || line.in.size() < recordLength) return s;
  s.valid = true;
  s.dataIn = line.in[8];
  s.length = Le32(line.in, 12);
  std::copy(line.in.begin() + static_cast<ptrdiff_t>(cdbAt), line.in.begin() + static_cast<ptrdiff_t>(cdbAt + 16), s.cdb);
  return s;
}

// A bridge command whose later phases are still to come, per device.
struct Pending {
  size_t index = 0;  // into the commands
  int phase = 0;     // the last phase seen: 1 command, 2 data; 0 none pending
  bool power = false;  // a JMicron power-control block: phases that carry no NVMe command
};

}  // namespace

const char* PathName(Path path) {
  switch (path) {
    case Path::Native: return "native";
    case Path::ASMedia: return "ASMedia";
    case Path::JMicron: return "JMicron";
  }
  return "?";
}

bool ParseLine(const std::string& text, Line* line, std::string* error) {
  *line = Line{};
  std::istringstream words(text);
  std::string seq, word;
  if (!(words >> seq >> line->device >> word)) {
    *error = "fewer than three fields";
    return false;
  }
  if (seq.empty() || seq.find_first_not_of("0123456789") != std::string::npos) {
    *error = "the sequence number is not a number";
    return false;
  }
  line->seq = std::stoull(seq);
  if (word.size() == 10 && word[0] == '0' && word[1] == 'x') {
    std::vector<uint8_t> code;
    if (!ParseHex(word.substr(2), &code)) {
      *error = "the control code is not hexadecimal";
      return false;
    }
    line->request = true;
    line->code = static_cast<uint32_t>(code[0]) << 24 | code[1] << 16 | code[2] << 8 | code[3];
  } else {
    line->event = word;
  }
  while (words >> word) {
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "a field without a key: " + word.substr(0, 20);
      return false;
    }
    std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    if (line->request && (key == "in" || key == "data" || key == "out")) {
      std::vector<uint8_t>& target = key == "in" ? line->in : key == "data" ? line->data : line->out;
      if (!ParseHex(value, &target)) {
        *error = "the " + key + "= bytes are not hexadecimal";
        return false;
      }
    } else if (key == "ok") {
      line->ok = value == "1";
      line->keys[key] = value;
    } else {
      line->keys[key] = value;
    }
  }
  if (line->request && line->keys.find("ok") == line->keys.end()) {
    *error = "a request without ok=";
    return false;
  }
  return true;
}

std::vector<Line> ParseCapture(const std::string& text, size_t* skipped, std::string* firstError) {
  std::vector<Line> lines;
  std::istringstream stream(text);
  std::string row, error;
  size_t number = 0;
  while (std::getline(stream, row)) {
    ++number;
    if (!row.empty() && row.back() == '\r') row.pop_back();
    if (row.empty()) continue;
    Line line;
    if (ParseLine(row, &line, &error)) {
      lines.push_back(std::move(line));
    } else {
      if (skipped != nullptr) ++*skipped;
      if (firstError != nullptr && firstError->empty()) *firstError = "line " + std::to_string(number) + ": " + error;
    }
  }
  return lines;
}

std::vector<Command> DecodeCommands(const std::vector<Line>& lines) {
  std::vector<Command> commands;
  std::map<std::string, Pending> pending;
  for (const Line& line : lines) {
    if (!line.request) continue;
    Command c;
    c.seq = line.seq;
    c.device = line.device;
    c.carried = line.ok;
    if (!line.ok) c.note = "request failed, error " + Key(line, "error");

    if (line.code == PROTOCOL_COMMAND) {
      if (line.in.size() < 144) continue;
      FromRecord(line.in.data() + 80, &c);
      uint32_t to = Le32(line.in, 32), from = Le32(line.in, 36);
      c.direction = to != 0 ? '>' : from != 0 ? '<' : '-';
      c.dataLength = to != 0 ? to : from;
      if (to != 0) c.payload = Slice(line.in, Le32(line.in, 48), to);
      if (line.ok && line.out.size() >= 24)
        c.status = Le32(line.out, 16) == 1 ? 0 : static_cast<int>(Le32(line.out, 20) & 0x7FF);
      commands.push_back(std::move(c));
    } else if (line.code == QUERY_PROPERTY) {
      uint32_t property = Le32(line.in, 0);
      if ((property != 49 && property != 50) || line.in.size() < 32 || Le32(line.in, 8) != 3 || Le32(line.in, 12) != 1)
        continue;
      c.opcode = OPCODE_IDENTIFY;
      c.nsid = Le32(line.in, 20);
      c.cdw[0] = Le32(line.in, 16);
      c.dataLength = Le32(line.in, 28);
      c.direction = '<';
      commands.push_back(std::move(c));
    } else if (line.code == FIRMWARE_DOWNLOAD) {
      bool inside = true;
      uint64_t offset = Le64(line.in, 16, &inside), size = Le64(line.in, 24, &inside);
      if (!inside || size == 0) continue;
      c.opcode = OPCODE_DOWNLOAD;
      c.cdw[0] = static_cast<uint32_t>((size + 3) / 4 - 1);
      c.cdw[1] = static_cast<uint32_t>(offset / 4);
      c.dataLength = static_cast<uint32_t>(size);
      c.direction = '>';
      c.payload = Slice(line.in, 32, size);
      commands.push_back(std::move(c));
    } else if (line.code == FIRMWARE_ACTIVATE) {
      if (line.in.size() < 16) continue;
      uint32_t flags = Le32(line.in, 8);
      c.opcode = OPCODE_COMMIT;
      c.cdw[0] = line.in[12] | ((flags & 0x80000000u) != 0 ? 2u : 1u) << 3;
      if (!line.ok && Key(line, "error") == ACTIVATED_BY_RESET_ERROR) {
        // Committed, to be activated by a reset: the completion status says which reset.
        std::vector<uint8_t> status;
        c.carried = true;
        c.note.clear();
        if (ParseHex(Key(line, "nvme"), &status) && status.size() == 2) c.status = (status[0] << 8 | status[1]) & 0x7FF;
      }
      commands.push_back(std::move(c));
    } else if (line.code == FIRMWARE_GET_INFO) {
      // The driver reads the firmware slot log page (and Identify Controller) for the reply.
      if (line.in.size() < 16) continue;
      c.opcode = OPCODE_GET_LOG_PAGE;
      c.nsid = 0xFFFFFFFF;
      c.cdw[0] = FIRMWARE_SLOT_LOG_CDW10;
      c.dataLength = FIRMWARE_SLOT_LOG_BYTES;
      c.direction = '<';
      commands.push_back(std::move(c));
    } else if (line.code == SCSI_PASS_THROUGH_DIRECT) {
      Scsi s = ReadScsi(line);
      if (!s.valid) continue;
      Pending& p = pending[line.device];
      const uint8_t* cdb = s.cdb;
      bool asmedia = (cdb[0] == 0xEA || cdb[0] == 0xEB) && cdb[1] == 0x5A;
      if (cdb[0] == 0xE6 && cdb[1] == OPCODE_IDENTIFY) {  // ASMedia Identify in one command
        c.path = Path::ASMedia;
        c.opcode = OPCODE_IDENTIFY;
        c.cdw[0] = cdb[3];
        c.nsid = cdb[7];
        c.dataLength = s.length;
        c.direction = '<';
        c.carried = ScsiGood(line);
        if (!c.carried) c.note = ScsiNote(line);
        commands.push_back(std::move(c));
      } else if ((asmedia && cdb[0] == 0xEA && cdb[2] == 0x80) ||
                 (cdb[0] == 0xA1 && cdb[1] == 0x80)) {  // command phase
        bool jmicron = cdb[0] == 0xA1;
        size_t at = jmicron ? 8 : 0;
        p = Pending{};
        if (line.data.size() < at + 64) continue;
        if (jmicron && line.data.size() > 72 && line.data[72] != 0) {
          p.power = true;  // power control; nothing to list
          p.phase = 1;
          continue;
        }
        c.path = jmicron ? Path::JMicron : Path::ASMedia;
        FromRecord(line.data.data() + at, &c);
        if (!jmicron) c.direction = cdb[4] == 1 ? '<' : cdb[4] == 2 ? '>' : '-';
        c.carried = ScsiGood(line);
        if (!c.carried) c.note = "command phase: " + ScsiNote(line);
        commands.push_back(std::move(c));
        p.index = commands.size() - 1;
        p.phase = commands.back().carried ? 1 : 0;
      } else if ((asmedia && cdb[2] == 0x81) || (cdb[0] == 0xA1 && cdb[1] >= 0x81 && cdb[1] <= 0x83)) {
        if (p.phase != 1) continue;
        p.phase = 2;
        if (p.power) continue;
        Command& k = commands[p.index];
        bool jmicron = cdb[0] == 0xA1;
        k.dataLength = jmicron ? Be24(cdb + 3) : Be32(cdb + 10);
        if (jmicron) k.direction = cdb[1] == 0x82 ? '<' : cdb[1] == 0x83 ? '>' : '-';
        if (k.direction == '>') k.payload = line.data;
        if (!ScsiGood(line)) {
          k.carried = false;
          k.note = "data phase: " + ScsiNote(line);
          p.phase = 0;
        }
      } else if ((asmedia && cdb[0] == 0xEB && cdb[2] == 0x82) || (cdb[0] == 0xA1 && cdb[1] == 0x8F)) {
        if (p.phase != 2) continue;
        p.phase = 0;
        if (p.power || !ScsiGood(line)) continue;  // the completion's outcome is not the command's
        commands[p.index].status = EntryStatus(line.data, cdb[0] == 0xA1 ? 8 : 0);
      }
    }
  }
  return commands;
}

std::string ListHeading() {
  return "   seq path    device                          op nsid     cdw10    cdw11    cdw12    cdw13    "
         "cdw14    cdw15      length dir status";
}

std::string ListLine(const Command& c) {
  char text[512];
  std::string status;
  if (!c.carried) {
    status = "not carried: " + c.note;
  } else if (c.status >= 0) {
    char s[8];
    std::snprintf(s, sizeof s, "%04X", c.status);
    status = s;
  } else {
    status = "carried";
  }
  std::snprintf(text, sizeof text, "%6llu %-7s %-31s %02X %08X %08X %08X %08X %08X %08X %08X %8u %c   %s",
                static_cast<unsigned long long>(c.seq), PathName(c.path), c.device.c_str(), c.opcode, c.nsid,
                c.cdw[0], c.cdw[1], c.cdw[2], c.cdw[3], c.cdw[4], c.cdw[5], c.dataLength, c.direction,
                status.c_str());
  return text;
}

bool ReassembleImage(const std::vector<Command>& commands, std::vector<uint8_t>* image, std::string* message) {
  struct Piece {
    uint64_t offset;
    const std::vector<uint8_t>* bytes;
  };
  std::map<std::string, std::vector<Piece>> open;  // per device: pieces since the last commit
  std::vector<Piece> chosen;
  bool committed = false;
  std::string lastDevice;  // of the last piece
  for (const Command& c : commands) {
    if (c.opcode == OPCODE_DOWNLOAD && c.carried && c.status <= 0 && !c.payload.empty()) {
      open[c.device].push_back(Piece{static_cast<uint64_t>(c.cdw[1]) * 4, &c.payload});
      lastDevice = c.device;
    } else if (c.opcode == OPCODE_COMMIT) {
      std::vector<Piece>& pieces = open[c.device];
      if (!pieces.empty()) {
        chosen = pieces;
        committed = true;
      }
      pieces.clear();
    }
  }
  // No commit: the last download that was sent at all.
  if (!committed && !lastDevice.empty()) chosen = open[lastDevice];
  if (chosen.empty()) {
    *message = "no firmware download in the capture";
    return false;
  }
  std::stable_sort(chosen.begin(), chosen.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  image->clear();
  for (const Piece& p : chosen) {
    if (p.offset > image->size()) {
      *message = "the download leaves a gap at byte " + std::to_string(image->size());
      return false;
    }
    if (p.offset < image->size()) {
      *message = "two pieces of the download overlap at byte " + std::to_string(p.offset);
      return false;
    }
    image->insert(image->end(), p.bytes->begin(), p.bytes->end());
  }
  *message = std::to_string(image->size()) + " bytes in " + std::to_string(chosen.size()) + " pieces" +
             (committed ? "" : " (not committed)");
  return true;
}

}  // namespace fwcap
