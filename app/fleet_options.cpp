#include "app/fleet_options.h"

#include "app/fleet_output.h"
#include "core/drive_record.h"
#include "platform/text.h"

const char FLEET_USAGE[] =
    "usage: QuorvelaFwUpdate-cli --version\n"
    "       QuorvelaFwUpdate-cli info\n"
    "       QuorvelaFwUpdate-cli list [--all] [--json]\n"
    "       QuorvelaFwUpdate-cli update (--all | --serial S | --entry N) --yes [--retry] [--restart] [--json] [--log FILE]\n"
    "       QuorvelaFwUpdate-cli history [--json]\n"
    "\n"
    "  info     the embedded package: title, new version, model filter, SoC, accepted revisions,\n"
    "           images and their flash types\n"
    "  list     the drives the updater lists, each with whether it is eligible and why not\n"
    "           (pending-restart, needs-power-off, activation-failed, states-unavailable, current,\n"
    "           revision, no-image, internal-version); then the disks of the package's model it\n"
    "           cannot reach, with the reason and what to do (raid-controller, unknown-bridge,\n"
    "           unsupported-bus, unreadable). --all: every disk it sees, with its disk number,\n"
    "           whether it is the system disk and why it is not offered (also not-nvme, too-small,\n"
    "           other-model)\n"
    "  update   updates the chosen eligible drives one after the other. --yes answers the package's\n"
    "           warning, which is printed first; without it nothing is updated. --restart performs\n"
    "           the restart or power-off the package asks for after success; without it nothing is\n"
    "           shut down. --json prints one JSON object per drive on standard output. Every update\n"
    "           run appends to %ProgramData%\\Quorvela\\FwUpdate.log, or to --log FILE. A drive is\n"
    "           not updated while another update runs on the computer (busy) or the computer runs\n"
    "           on a low battery (power); the exit code then asks to retry later. A drive that\n"
    "           still ran its old firmware after its last update (activation-failed) is skipped and\n"
    "           the exit code is 1603; --retry updates it once more, on purpose. A drive of the\n"
    "           package's model it cannot reach is named with what to do, and the exit code is 1603.\n"
    "  history  the updates this program started on the computer, from the history in the log\n"
    "           folder; every command first settles those that waited for a restart\n";

namespace {

bool Is(const char16_t* a, const char16_t* b) { return platform::TextEqual(a, b); }

bool ParseEntry(const char16_t* text, int* entry) {
  int value = 0;
  if (text[0] == 0) return false;
  for (const char16_t* p = text; *p != 0; ++p) {
    if (*p < u'0' || *p > u'9') return false;
    value = value * 10 + (*p - u'0');
    if (value >= static_cast<int>(MAX_DRIVES)) return false;
  }
  *entry = value;
  return true;
}

}  // namespace

bool ParseOptions(int argc, const char16_t* const* argv, Options* o) {
  for (int i = 0; i < argc; ++i) o->commandLine += (i > 0 ? " " : "") + platform::Utf8(argv[i]);
  if (argc < 1) {
    o->error = "no command given";
    return false;
  }
  const char16_t* command = argv[0];
  if (Is(command, u"--help") || Is(command, u"-h") || Is(command, u"/?") || Is(command, u"help")) o->command = Command::HELP;
  else if (Is(command, u"--version")) o->command = Command::VERSION;
  else if (Is(command, u"info")) o->command = Command::INFO;
  else if (Is(command, u"list")) o->command = Command::LIST;
  else if (Is(command, u"update")) o->command = Command::UPDATE;
  else if (Is(command, u"history")) o->command = Command::HISTORY;
  else {
    o->error = "unknown command " + platform::Utf8(command);
    return false;
  }
  int selectors = 0;
  for (int i = 1; i < argc; ++i) {
    const char16_t* a = argv[i];
    bool update = o->command == Command::UPDATE;
    bool takesJson = o->command == Command::LIST || o->command == Command::HISTORY || update;
    auto value = [&](const char16_t** out) {
      if (i + 1 >= argc || *out != nullptr || argv[i + 1][0] == 0) return false;
      *out = argv[++i];
      return true;
    };
    bool ok;
    if (Is(a, u"--json") && takesJson) ok = !o->json && (o->json = true);
    else if (Is(a, u"--yes") && update) ok = !o->yes && (o->yes = true);
    else if (Is(a, u"--retry") && update) ok = !o->retry && (o->retry = true);
    else if (Is(a, u"--restart") && update) ok = !o->restart && (o->restart = true);
    else if (Is(a, u"--all") && update) ok = !o->all && (o->all = true) && ++selectors;
    else if (Is(a, u"--all") && o->command == Command::LIST) ok = !o->all && (o->all = true);
    else if (Is(a, u"--serial") && update)
      ok = value(&o->serial) && platform::TextLength(o->serial) < DRIVE_TEXT_CHARS && ++selectors;
    else if (Is(a, u"--entry") && update) ok = o->entry < 0 && i + 1 < argc && ParseEntry(argv[++i], &o->entry) && ++selectors;
    else if (Is(a, u"--log") && update) ok = value(&o->logPath);
    else ok = false;
    if (!ok) {
      o->error = "unknown, repeated or incomplete option " + platform::Utf8(a);
      return false;
    }
  }
  if (o->command == Command::UPDATE && selectors != 1) {
    o->error = "update takes exactly one of --all, --serial S and --entry N";
    return false;
  }
  return true;
}
