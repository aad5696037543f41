#!/usr/bin/env python3
"""Writes the ZIP archives that the package tests read, with real writers: Info-ZIP zip and
Python's zipfile. Nothing here is checked in; the host suite runs this at test time, the Windows
build runs it at build time (the suite then reads the folder under Wine).

usage: make_archives.py OUT

OUT/src/...            the source files (fixed content, modes and times)
OUT/infozip.zip        zip -r: deflated entries, stored entries (-n .raw), folders
OUT/comment.zip        zip with an entry comment on each entry (zip -c) and an archive comment
                       of 5,000 bytes (zip -z)
OUT/password.zip       zip -P secret: encrypted deflated and stored entries
OUT/streamed.zip       zip writing to a pipe: data descriptors (flag bit 3)
OUT/stdin.zip          zip reading stdin and writing to a pipe: the entry "-", data descriptor
OUT/streamed_password.zip  zip -P secret to a pipe: encrypted, check byte from the DOS time
OUT/python.zip         zipfile: Unix host attributes, directory entries, stored, UTF-8 name,
                       DOS and NTFS host entries, an entry comment on the first entry
OUT/traversal.zip      zipfile: names with drive prefixes, leading separators and ".." parts
OUT/zip64.zip          zip -fz: a ZIP64 end record and locator before the classic end record
OUT/cp437.zip          zip of files whose names are code page 437 bytes (no UTF-8 flag), as many
                       Windows tools write them: "readme-\x84.txt" and "readme-\x94.txt"
OUT/done               written last
"""
import os
import random
import shutil
import subprocess
import sys
import zipfile

MTIME = 1700000000  # 2023-11-14T22:13:20Z, an even second
ATIME = 1700000100
DOS_TIME = (2021, 6, 15, 10, 20, 30)  # the explicit DOS time of the zipfile entries


def text_bytes(size, seed):
    rnd = random.Random(seed)
    words = ["firmware", "package", "NAND", "controller", "Quorvela", "image", "page", "CRC",
             "drive", "bridge", "update", "slot", "commit", "download", "flash"]
    out = []
    n = 0
    while n < size:
        w = rnd.choice(words) + (" " if rnd.random() < 0.9 else "\n")
        out.append(w)
        n += len(w)
    return "".join(out).encode()[:size]


def random_bytes(size, seed):
    rnd = random.Random(seed)
    return bytes(rnd.getrandbits(8) for _ in range(size))


def compressible_bytes(size, seed):
    rnd = random.Random(seed)
    block = bytearray()
    while len(block) < size:
        value = rnd.getrandbits(8)
        block += bytes([value]) * rnd.randint(1, 40)
        block += text_bytes(rnd.randint(1, 60), rnd.getrandbits(32))
    return bytes(block[:size])


SOURCES = {
    "text.txt": lambda: text_bytes(10000, 1),
    "blob.raw": lambda: random_bytes(70000, 2),
    "big.bin": lambda: compressible_bytes(300000, 3),
    "empty.txt": lambda: b"",
    "sub/deeper/nested.txt": lambda: text_bytes(777, 4),
    "sub/readonly.txt": lambda: text_bytes(123, 5),
}
FOLDERS = ["sub", "sub/deeper", "emptydir"]
CP437_NAMES = {b"readme-\x84.txt": b"a umlaut (0x84 in code page 437)\n",
               b"readme-\x94.txt": b"o umlaut (0x94 in code page 437)\n"}


def run(cmd, cwd, stdin=None):
    subprocess.run(cmd, cwd=cwd, check=True, input=stdin, shell=isinstance(cmd, str))


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = os.path.abspath(sys.argv[1])
    if os.path.exists(out):
        shutil.rmtree(out)
    src = os.path.join(out, "src")
    os.makedirs(src)
    for folder in FOLDERS:
        os.makedirs(os.path.join(src, folder), exist_ok=True)
    for name, make in SOURCES.items():
        path = os.path.join(src, name)
        with open(path, "wb") as f:
            f.write(make())
    os.chmod(os.path.join(src, "sub/readonly.txt"), 0o444)
    for name in list(SOURCES) + FOLDERS:
        os.utime(os.path.join(src, name), (ATIME, MTIME))

    env_names = ["text.txt", "blob.raw", "big.bin", "empty.txt", "sub", "emptydir"]
    run(["zip", "-q", "-r", "-n", ".raw", os.path.join(out, "infozip.zip")] + env_names, src)

    comment = b"".join(b"Comment line %04d of the Quorvela test package.\n" % i for i in range(200))[:5000]
    # zip -c asks for one comment line per entry on its input.
    run(["zip", "-q", "-c", os.path.join(out, "comment.zip"), "text.txt", "big.bin"], src,
        stdin=b"The first entry's comment.\nA comment of the second entry, somewhat longer.\n")
    run(["zip", "-q", "-z", os.path.join(out, "comment.zip")], src, stdin=comment)

    run(["zip", "-q", "-P", "secret", "-n", ".raw", os.path.join(out, "password.zip"),
         "text.txt", "blob.raw", "big.bin", "empty.txt"], src)

    # Writing to a pipe: zip cannot seek back, so every entry gets a data descriptor.
    run("zip -q -fz- - text.txt big.bin sub/deeper/nested.txt | cat > '%s'" % os.path.join(out, "streamed.zip"), src)
    run("cat big.bin | zip -q -fz- - - | cat > '%s'" % os.path.join(out, "stdin.zip"), src)
    run("zip -q -fz- -P secret - text.txt big.bin | cat > '%s'" % os.path.join(out, "streamed_password.zip"), src)

    with zipfile.ZipFile(os.path.join(out, "python.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        # ZipInfo.from_file takes the Unix mode into the external attributes (host 3) and makes
        # directory entries (name ending in "/", mode S_IFDIR) for folders; every entry gets the
        # one DOS time so that the tests know it.
        for name in ["sub", "sub/deeper", "emptydir", "text.txt", "big.bin", "sub/deeper/nested.txt",
                     "sub/readonly.txt", "empty.txt", "blob.raw"]:
            path = os.path.join(src, name)
            info = zipfile.ZipInfo.from_file(path, name)
            info.date_time = DOS_TIME
            if name == "sub":
                info.comment = b"A folder entry with a comment of its own"
            if info.is_dir():
                z.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_STORED if name.endswith(".raw") else zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    z.writestr(info, f.read())
        info = zipfile.ZipInfo("ünïcode-名前.txt", DOS_TIME)
        info.external_attr = (0o100644 << 16)
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, text_bytes(500, 6))
        # A DOS host (0): read-only, hidden and system from the low bits.
        info = zipfile.ZipInfo("dos-hidden.txt", DOS_TIME)
        info.create_system = 0
        info.external_attr = 0x07
        z.writestr(info, b"hidden system read-only\r\n")
        # An NTFS host (11) with the embedded package's external attributes.
        info = zipfile.ZipInfo("ntfs.txt", DOS_TIME)
        info.create_system = 11
        info.external_attr = 0x81800020
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, text_bytes(2000, 7))
        # A DOS-host folder entry: directory bit 4.
        info = zipfile.ZipInfo("dosdir/", DOS_TIME)
        info.create_system = 0
        info.external_attr = 0x10
        z.writestr(info, b"")

    with zipfile.ZipFile(os.path.join(out, "traversal.zip"), "w", zipfile.ZIP_STORED) as z:
        for name, data in [("a/../../b.txt", b"climbs one level\n"),
                           ("../evil.txt", b"climbs\n"),
                           ("/abs/x.txt", b"leading separator\n"),
                           ("C:\\dir\\x.bin", b"drive prefix\n"),
                           ("x\\..\\y/../z.txt", b"two patterns\n"),
                           ("a/../b.txt", b"one pattern\n"),
                           ("ok/../../../../../../../../tmp/escape.txt", b"far\n"),
                           ("ok.txt", b"plain\n")]:
            info = zipfile.ZipInfo(name, DOS_TIME)
            info.external_attr = (0o100644 << 16)
            z.writestr(info, data)

    run(["zip", "-q", "-fz", os.path.join(out, "zip64.zip"), "text.txt", "empty.txt"], src)

    # Names as raw bytes: the files live only while zip reads them.
    raw = os.path.join(out, "cp437src").encode()
    os.makedirs(raw)
    for name, data in CP437_NAMES.items():
        with open(os.path.join(raw, name), "wb") as f:
            f.write(data)
    run(["zip", "-q", os.path.join(out, "cp437.zip").encode()] + list(CP437_NAMES), raw)
    shutil.rmtree(raw)

    with open(os.path.join(out, "done"), "w") as f:
        f.write("ok\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
