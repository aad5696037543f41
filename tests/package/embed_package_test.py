#!/usr/bin/env python3
"""Embedding a package: a package named with -DQV_PACKAGE_ZIP passes "fwpkg check" at build time
(an error fails the build and leaves no package.zip to embed), and a build of the product that
embeds the generated sample says so in a CMake warning.

The builds here only configure and make the resources (QV_TESTS=OFF, the host's fwpkg named with
QV_HOST_FWPKG), so nothing is compiled.

usage: embed_package_test.py SOURCE_DIR FWPKG CMAKE
"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

WARNING = "embeds the generated sample package"
failures = []


def check(condition, what, output=""):
    if not condition:
        failures.append(what + ("\n" + output[-4000:] if output else ""))


def run(*args):
    p = subprocess.run(list(args), capture_output=True, text=True, errors="replace")
    return p.returncode, p.stdout + p.stderr


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    source, fwpkg, cmake = sys.argv[1:]
    work = tempfile.mkdtemp(prefix="qv-embed-package-")
    try:
        good = os.path.join(work, "good.zip")
        rc, out = run(fwpkg, "sample", good)
        check(rc == 0, "fwpkg sample", out)
        # A package without its information file and without an image: fwpkg check errors.
        bad = os.path.join(work, "bad.zip")
        with zipfile.ZipFile(bad, "w") as z:
            z.writestr("readme.txt", "no package information, no image\n")

        host = os.path.join(work, "host")
        embedded = os.path.join(host, "resources", "package.zip")
        common = ["-DQV_TESTS=OFF", "-DQV_HOST_FWPKG=" + fwpkg]
        rc, out = run(cmake, "-S", source, "-B", host, *common, "-DQV_PACKAGE_ZIP=" + bad)
        check(rc == 0, "configure with a bad package", out)
        rc, out = run(cmake, "--build", host, "--target", "qv_resources")
        check(rc != 0, "a package with errors was embedded", out)
        check("error: QuorvelaInfo.ini: missing" in out, "the build does not show the check's findings", out)
        check(not os.path.exists(embedded), "package.zip was left from a package that failed its check")

        rc, out = run(cmake, "-S", source, "-B", host, *common, "-DQV_PACKAGE_ZIP=" + good)
        check(rc == 0 and WARNING not in out, "configure with a good package", out)
        rc, out = run(cmake, "--build", host, "--target", "qv_resources")
        check(rc == 0, "a good package was not embedded", out)
        if os.path.exists(embedded):
            with open(embedded, "rb") as a, open(good, "rb") as b:
                check(a.read() == b.read(), "the embedded package differs from the named one")
        else:
            check(False, "no package.zip after a good package")

        # The product build (cross-compiled for Windows) warns when it embeds the sample.
        product = os.path.join(work, "product")
        toolchain = os.path.join(source, "cmake", "mingw-w64-x86_64.cmake")
        rc, out = run(cmake, "-S", source, "-B", product, "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, *common)
        check(rc == 0 and "CMake Warning" in out and WARNING in out,
              "a product build with the sample package gives no warning", out)
        rc, out = run(cmake, "-S", source, "-B", product, *common, "-DQV_PACKAGE_ZIP=" + good)
        check(rc == 0 and WARNING not in out, "a product build with a named package warns", out)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for f in failures:
        print("FAILED: " + f)
    print("%d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
