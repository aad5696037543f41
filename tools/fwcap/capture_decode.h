// Reading a capture file of the emulated bench (docs/capture.md): its lines, the NVMe commands
// they carried on the native path and through ASMedia and JMicron bridges, and the firmware image
// a download sent. Written from the capture format alone, by byte offsets; it shares no code with
// the updater or the bench.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fwcap {

// One line of a capture.
struct Line {
  uint64_t seq = 0;
  std::string device;
  bool request = false;   // a request (code) or an event (word)
  uint32_t code = 0;      // requests
  std::string event;      // events
  std::vector<uint8_t> in, data, out;
  bool ok = false;
  std::map<std::string, std::string> keys;  // every other key=value word
};

// Parses one line; false with a reason for a line that does not follow the format.
bool ParseLine(const std::string& text, Line* line, std::string* error);

// Reads every line of a capture text. Lines that do not parse are skipped and counted in
// *skipped (with the first reason in *firstError) when those are given.
std::vector<Line> ParseCapture(const std::string& text, size_t* skipped = nullptr,
                               std::string* firstError = nullptr);

enum class Path : uint8_t { Native, ASMedia, JMicron };
const char* PathName(Path path);

// One NVMe command as the drive received it.
struct Command {
  uint64_t seq = 0;  // the line that carried the command (the first phase on a bridge)
  std::string device;
  Path path = Path::Native;
  uint8_t opcode = 0;
  uint32_t nsid = 0;
  uint32_t cdw[6] = {};       // CDW10 to CDW15
  uint32_t dataLength = 0;    // bytes of data the command moved (asked for, on a failed read)
  char direction = '-';       // '>' to the drive, '<' from it, '-' none
  bool carried = false;       // every request of the command succeeded (and no CHECK CONDITION)
  int status = -1;            // NVMe completion status, -1 when the capture does not tell
  std::string note;           // why it was not carried, when it was not
  std::vector<uint8_t> payload;  // the data sent to the drive
};

std::vector<Command> DecodeCommands(const std::vector<Line>& lines);

// One line of `fwcap list` for a command, and the heading above them.
std::string ListHeading();
std::string ListLine(const Command& command);

// The image of the last download that a Firmware Commit ended (or, with none, of the last
// download). False with a message when there is none or its pieces do not meet end to end.
bool ReassembleImage(const std::vector<Command>& commands, std::vector<uint8_t>* image,
                     std::string* message);

}  // namespace fwcap
