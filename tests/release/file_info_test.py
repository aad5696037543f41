#!/usr/bin/env python3
"""What the built executables say about themselves, read back under Wine.

    file_info_test.py VERSION PACKAGE_ZIP FILE_INFO_EXE EXE...

Reads NEWVERSION from the information file of the package the build embedded, then runs
file_info.exe (version information, and the manifest's DPI awareness of the updater's own
executables) on every executable with the program's VERSION and that package version to expect.
The event IDs and types of the README's table must be those of the message table's source, and
file_info formats each of them from every updater executable's own message table.
"""
import os
import re
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(HERE, "..", "wine-run.sh")


def package_version(archive):
    """NEWVERSION of section UPDATEINFO, as a plain INI reader finds it."""
    text = zipfile.ZipFile(archive).read("QuorvelaInfo.ini")
    try:
        text = text.decode("utf-8-sig")
    except UnicodeDecodeError:
        text = text.decode("latin-1")
    section = None
    for line in text.splitlines():
        line = line.strip()
        m = re.match(r"^\[(.*)\]$", line)
        if m:
            section = m.group(1).strip().upper()
        elif section == "UPDATEINFO" and "=" in line:
            key, value = line.split("=", 1)
            if key.strip().upper() == "NEWVERSION":
                return value.strip()
    return ""


ROOT = os.path.join(HERE, "..", "..")
SEVERITY = {"Informational": 1, "Warning": 2, "Error": 3, "Information": 1}


def events_in(name, pattern):
    """(ID, severity) of every event the file lists: the README's table or the message table's source."""
    text = open(os.path.join(ROOT, name), encoding="utf-8").read()
    return [(int(m.group(1)), SEVERITY[m.group(2)]) for m in re.finditer(pattern, text, re.M)]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    version, archive, tool, files = argv[0], argv[1], argv[2], argv[3:]
    expected = package_version(archive)
    print("expecting version %s, package version %s" % (version, expected))
    events = events_in("README.md", r"^\| (\d{4}) \| (Information|Warning|Error) \|")
    table = events_in(os.path.join("resources", "event_messages.mc"), r"^MessageId=(\d+)\s*\nSeverity=(\w+)")
    if not events or events != table:
        print("FAIL the README's table of events %s is not the message table's %s" % (events, table))
        return 1
    listed = ",".join("%d" % (severity << 30 | number) for number, severity in events)
    result = subprocess.run(["sh", WINE_RUN, tool, "--events", listed, version, expected] +
                            [windows_path(f) for f in files],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    sys.stdout.write(result.stdout.decode("utf-8", "replace").replace("\r", ""))
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
