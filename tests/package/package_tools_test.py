#!/usr/bin/env python3
"""The package tools as a release engineer meets them.

reports FWPKG
    fwpkg list, unpack and check report what the reader said: the failure of an unpack into a
    folder that is refused, the failure of an entry whose record does not read, sizes of 2 GiB and
    more as the unsigned numbers the directory holds, and a bounded number of lines for an archive
    of 65,535 broken entries. An archive that does not open says which kind it is (damaged count,
    truncated, no archive, multi-disk, ZIP64); check fails on names that are no UTF-8 and on two
    names that are one path on Windows; control characters in names are escaped.
embedding SOURCE_DIR FWPKG CMAKE
    A package named with -DQV_PACKAGE_ZIP passes "fwpkg check" at build time (an error fails the
    build and leaves no package.zip to embed), and a build of the product that embeds the
    generated sample says so in a CMake warning. These builds only configure and make the
    resources (QV_TESTS=OFF, the host's fwpkg named with QV_HOST_FWPKG), so nothing is compiled.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

SHOWN = 10  # FAILURES_SHOWN: lines of one failure before a single line counts the rest
CORRUPT = "Zipfile is corrupt or not a zipfile"
OPEN_FAILED = "Couldn't create/open file"
WARNING = "embeds the generated sample package"

failures = []


def check(condition, what, output=""):
    if not condition:
        failures.append(what + ("\n" + output[-3000:] if output else ""))


def run(*args):
    """Exit status, standard output and error output."""
    p = subprocess.run(list(args), capture_output=True, text=True, errors="replace")
    return p.returncode, p.stdout, p.stderr


def run_merged(*args):
    """Exit status and both outputs in one."""
    rc, out, err = run(*args)
    return rc, out + err


def end_record(entries, directory_size, directory_offset):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, entries, entries, directory_size,
                       directory_offset, 0)


def directory_record(name, method, crc, compressed, uncompressed, local_offset):
    return struct.pack("<IHHHHIIIIHHHHHII", 0x02014B50, (3 << 8) | 20, 20, 0, method, 0x52CF5A0F,
                       crc, compressed, uncompressed, len(name), 0, 0, 0, 0, 0x81A40000,
                       local_offset) + name


def huge_entry_archive():
    """One deflated entry whose headers say 3,000,000,000 bytes (4,000,000,000 compressed)."""
    name = b"huge.bin"
    local = struct.pack("<IHHHIIIIHH", 0x04034B50, 20, 0, 8, 0x52CF5A0F, 0x12345678, 4000000000,
                        3000000000, len(name), 0) + name + b"\x03\x00"
    directory = directory_record(name, 8, 0x12345678, 4000000000, 3000000000, 0)
    return local + directory + end_record(1, len(directory), len(local))


def broken_entries_archive(count):
    """count directory records whose local headers are no headers (30 zero bytes)."""
    head = bytes(30)
    directory = b"".join(directory_record(b"e%05d.fw" % i, 0, 0, 0, 0, 0) for i in range(count))
    return head + directory + end_record(count, len(directory), len(head))


def with_count(archive, count):
    """The archive with both entry counts of its end record set to count."""
    end = archive.rfind(b"PK\x05\x06")
    return archive[:end + 8] + struct.pack("<HH", count, count) + archive[end + 12:]


def info_zip(archive, folder, names, *options):
    """Info-ZIP zip adds files named by names (bytes, stored as they are), made in folder."""
    os.makedirs(folder, exist_ok=True)
    for name in names:
        with open(os.path.join(folder.encode(), name), "wb") as f:
            f.write(b"the entry " + name + b"\n")
    subprocess.run(["zip", "-q", *options, archive.encode()] + names, cwd=folder, check=True)


def refusals(work, fwpkg):
    """Each kind of archive that does not open, from real writers, changed by hand."""
    plain = os.path.join(work, "plain.zip")
    with zipfile.ZipFile(plain, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("QuorvelaInfo.ini", "[UPDATEINFO]\r\nTITLE=plain\r\n")
        z.writestr("Micron-B47R.fw", bytes(8192))
        z.writestr("TSB-BiCS4.fw", bytes(8192))
    with open(plain, "rb") as f:
        good = f.read()
    end = good.rfind(b"PK\x05\x06")
    info_zip(os.path.join(work, "zip64.zip"), os.path.join(work, "z64src"), [b"a.fw"], "-fz")
    with open(os.path.join(work, "zip64.zip"), "rb") as f:
        zip64 = f.read()
    damaged = CORRUPT + " (damaged: the central directory does not hold the entries its end record counts)"
    shapes = [("count-low", with_count(good, 2), damaged),
              ("count-zero", with_count(good, 0), damaged),
              ("zip64", zip64, CORRUPT + " (a ZIP64 archive"),
              ("truncated", good[:len(good) // 2], OPEN_FAILED + " (a truncated ZIP archive"),
              ("not-an-archive", b"MZ" + bytes(3000), OPEN_FAILED + " (not a ZIP archive"),
              ("multi-disk", good[:end + 4] + b"\x01" + good[end + 5:], OPEN_FAILED + " (a spanned or split ZIP archive")]
    for name, data, text in shapes:
        path = os.path.join(work, name + ".zip")
        with open(path, "wb") as f:
            f.write(data)
        rc, out, err = run(fwpkg, "list", path)
        check(rc == 1 and out == "" and err.startswith("fwpkg list: %s: %s" % (path, text)),
              "list of %s: %d" % (name, rc), out + err)
        folder = os.path.join(work, name)
        rc, out, err = run(fwpkg, "unpack", path, folder)
        check(rc == 1 and text in err and not any(files for _, _, files in os.walk(folder)),
              "unpack of %s: %d" % (name, rc), out + err)
        rc, out, err = run(fwpkg, "check", path)
        check(rc == 1 and ("error: %s: cannot be unpacked: %s" % (path, text)) in out,
              "check of %s: %d" % (name, rc), out + err)


def names(work, fwpkg):
    """The sample package with names Windows cannot tell apart, added by Info-ZIP: two names in
    code page 437 (no UTF-8 flag), which both decode to U+FFFD, and two that differ in case only."""
    package = os.path.join(work, "names.zip")
    rc, out, err = run(fwpkg, "sample", package)
    check(rc == 0, "fwpkg sample failed", err)
    info_zip(package, os.path.join(work, "names"), [b"readme-\x84.txt", b"readme-\x94.txt", b"NOTES.TXT", b"notes.txt"])
    rc, out, err = run(fwpkg, "check", package)
    stored = "(bytes 72 65 61 64 6D 65 2D %s 2E 74 78 74)"
    umlaut = '"readme-\ufffd.txt" ' + stored
    for line in ["error: entry 2 readme-\ufffd.txt: the stored name %s is not UTF-8" % (stored % "84"),
                 "error: entry 3 readme-\ufffd.txt: the stored name %s is not UTF-8" % (stored % "94"),
                 "error: entries 2 and 3: %s and %s unpack to the same path on Windows" % (umlaut % "84", umlaut % "94"),
                 'error: entries 4 and 5: "NOTES.TXT" (bytes 4E 4F 54 45 53 2E 54 58 54) and "notes.txt" '
                 '(bytes 6E 6F 74 65 73 2E 74 78 74) unpack to the same path on Windows']:
        check(rc == 1 and any(l.startswith(line) for l in out.splitlines()), "check of colliding names: " + line, out)

    # Control characters in names are escaped: one entry, one line. Python's splitlines() breaks
    # at NEL (U+0085, a C1 control) and U+2028 as a terminal may: unescaped, they split a line.
    controls = os.path.join(work, "controls.zip")
    with zipfile.ZipFile(controls, "w") as z:
        for name in ["two\nlines.txt", "tab\there.txt", "carriage\rreturn.txt", "c1\x85.txt", "line\u2028sep.txt"]:
            z.writestr(name, "x")
    shown = ["two\\x0Alines.txt", "tab\\x09here.txt", "carriage\\x0Dreturn.txt", "c1\\x85.txt", "line\\u2028sep.txt"]
    rc, out, err = run(fwpkg, "list", controls)
    lines = out.splitlines()
    check(rc == 0 and len(lines) == 5 and [l.split("\t")[1] for l in lines] == shown, "list of control characters", out)
    rc, out, err = run(fwpkg, "unpack", controls, os.path.join(work, "controls"))
    check(rc == 0 and out.splitlines() == [name + ": Success" for name in shown], "unpack of control characters", out)
    rc, out, err = run(fwpkg, "check", controls)
    check("warning: two\\x0Alines.txt: not used by the updater" in out.splitlines(), "check of control characters", out)


def reports(work, fwpkg):
    refusals(work, fwpkg)
    names(work, fwpkg)
    sample = os.path.join(work, "sample.zip")
    rc, out, err = run(fwpkg, "sample", sample)
    check(rc == 0, "fwpkg sample failed", err)

    # A folder of more than 259 characters: ArchiveSetBaseFolder refuses it, and that is what
    # is reported, not the result of closing the archive afterwards.
    deep = os.path.join(work, *(["d" * 50] * 6))
    rc, out, err = run(fwpkg, "unpack", sample, deep)
    check(rc == 1, "unpack into a too-long folder: exit status %d" % rc, out + err)
    check("Caller: faulty arguments" in err and "Success" not in err,
          "unpack into a too-long folder does not report the refusal", out + err)
    rc, out, err = run(fwpkg, "unpack", sample, os.path.join(work, "fine"))
    check(rc == 0 and out.count(": Success\n") == 2, "unpack of the sample", out + err)

    # A link in the target, or the target a link: nothing is written where it leads.
    outside, linked = os.path.join(work, "outside"), os.path.join(work, "linked")
    os.makedirs(outside)
    os.makedirs(linked)
    os.symlink(outside, os.path.join(linked, "sub"))
    os.symlink(outside, os.path.join(work, "link"))
    nested = os.path.join(work, "nested.zip")
    with zipfile.ZipFile(nested, "w") as z:
        z.writestr("sub/x.fw", "x")
    rc, out, err = run(fwpkg, "unpack", nested, linked)
    check(rc == 1 and out == "sub/x.fw: " + OPEN_FAILED + "\n", "unpack through a link in the target", out + err)
    rc, out, err = run(fwpkg, "unpack", sample, os.path.join(work, "link"))
    check(rc == 1 and "is a link" in err, "unpack into a link", out + err)
    check(os.listdir(outside) == [], "unpack wrote through a link", str(os.listdir(outside)))

    # Sizes of 2 GiB and more, unsigned.
    huge = os.path.join(work, "huge.zip")
    with open(huge, "wb") as f:
        f.write(huge_entry_archive())
    rc, out, err = run(fwpkg, "list", huge)
    fields = out.strip().split("\t")
    check(rc == 0 and len(fields) == 6 and fields[1] == "huge.bin", "list of a huge entry", out + err)
    if len(fields) == 6:
        check(fields[3] == "3000000000" and fields[4] == "4000000000",
              "sizes of 2 GiB and more: %s %s" % (fields[3], fields[4]), out)

    # 65,535 entries whose records point at no local header: each fails with Corrupt (not
    # "faulty arguments"), and only SHOWN lines and one count of the rest are printed.
    broken = os.path.join(work, "broken.zip")
    with open(broken, "wb") as f:
        f.write(broken_entries_archive(65535))
    rc, out, err = run(fwpkg, "list", broken)
    lines = err.splitlines()
    check(rc == 1 and out == "", "list of broken entries: exit %d" % rc, out + err)
    check(lines[:2] == ["fwpkg list: entry 0: " + CORRUPT, "fwpkg list: entry 1: " + CORRUPT],
          "list of broken entries: the failure of the record", err)
    check(len(lines) == SHOWN + 1 and lines[-1] == "fwpkg list: %d more entries: %s" % (65535 - SHOWN, CORRUPT),
          "list of broken entries: %d lines" % len(lines), err[:3000])

    rc, out, err = run(fwpkg, "unpack", broken, os.path.join(work, "broken"))
    lines = out.splitlines()
    check(rc == 1, "unpack of broken entries: exit %d" % rc, out + err)
    check(lines[:1] == ["#0: " + CORRUPT], "unpack of broken entries: the failure of the record", out[:3000])
    check(len(lines) == SHOWN + 1 and lines[-1] == "%d more entries: %s" % (65535 - SHOWN, CORRUPT),
          "unpack of broken entries: %d lines" % len(lines), out[:3000])

    rc, out, err = run(fwpkg, "check", broken)
    check(rc == 1 and len(out.splitlines()) < 40, "check of broken entries: %d lines" % len(out.splitlines()),
          out[:3000])
    check("%d more entries: %s" % (65535 - SHOWN, CORRUPT) in out, "check of broken entries: no count",
          out[:3000])


def embedding(work, source, fwpkg, cmake):
    good = os.path.join(work, "good.zip")
    rc, out = run_merged(fwpkg, "sample", good)
    check(rc == 0, "fwpkg sample", out)
    # A package without its information file and without an image: fwpkg check errors.
    bad = os.path.join(work, "bad.zip")
    with zipfile.ZipFile(bad, "w") as z:
        z.writestr("readme.txt", "no package information, no image\n")

    host = os.path.join(work, "host")
    embedded = os.path.join(host, "resources", "package.zip")
    common = ["-DQV_TESTS=OFF", "-DQV_HOST_FWPKG=" + fwpkg]
    rc, out = run_merged(cmake, "-S", source, "-B", host, *common, "-DQV_PACKAGE_ZIP=" + bad)
    check(rc == 0, "configure with a bad package", out)
    rc, out = run_merged(cmake, "--build", host, "--target", "qv_resources")
    check(rc != 0, "a package with errors was embedded", out)
    check("error: QuorvelaInfo.ini: missing" in out, "the build does not show the check's findings", out)
    check(not os.path.exists(embedded), "package.zip was left from a package that failed its check")

    rc, out = run_merged(cmake, "-S", source, "-B", host, *common, "-DQV_PACKAGE_ZIP=" + good)
    check(rc == 0 and WARNING not in out, "configure with a good package", out)
    rc, out = run_merged(cmake, "--build", host, "--target", "qv_resources")
    check(rc == 0, "a good package was not embedded", out)
    if os.path.exists(embedded):
        with open(embedded, "rb") as a, open(good, "rb") as b:
            check(a.read() == b.read(), "the embedded package differs from the named one")
    else:
        check(False, "no package.zip after a good package")

    # The product build (cross-compiled for Windows) warns when it embeds the sample.
    product = os.path.join(work, "product")
    toolchain = os.path.join(source, "cmake", "mingw-w64-x86_64.cmake")
    rc, out = run_merged(cmake, "-S", source, "-B", product, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, *common)
    check(rc == 0 and "CMake Warning" in out and WARNING in out,
          "a product build with the sample package gives no warning", out)
    rc, out = run_merged(cmake, "-S", source, "-B", product, *common, "-DQV_PACKAGE_ZIP=" + good)
    check(rc == 0 and WARNING not in out, "a product build with a named package warns", out)


def main():
    commands = {"reports": (reports, 1), "embedding": (embedding, 3)}
    if len(sys.argv) < 2 or sys.argv[1] not in commands or len(sys.argv) != 2 + commands[sys.argv[1]][1]:
        print(__doc__, file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="qv-package-tools-")
    try:
        commands[sys.argv[1]][0](work, *sys.argv[2:])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAILED: " + f)
    print("%d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
