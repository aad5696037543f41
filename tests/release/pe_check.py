#!/usr/bin/env python3
"""Hardening of the executables we ship, read from the bytes of their PE headers.

    pe_check.py --machine amd64|i386 --shipped EXE... [--also EXE...]

Every file named must keep ASLR (DYNAMIC_BASE, with its relocations) and DEP (NX_COMPAT), on
64-bit also high-entropy ASLR (HIGH_ENTROPY_VA), and have no section that is both writable and
executable. The --shipped files must in addition import only DLLs that Windows loads from System32
whatever the search order (KnownDLLs), or comctl32 through the manifest: a DLL found by name beside
the executable would be another user's code running elevated. Prints each file's flags and
imports; exit status 1 when any rule fails.
"""
import struct
import sys

# MS-DOS stub header
DOS_MAGIC = b"MZ"
DOS_E_LFANEW = 0x3C                 # uint32: file offset of the PE signature

PE_SIGNATURE = b"PE\0\0"
# COFF file header, after the signature
COFF_HEADER_SIZE = 20
COFF_MACHINE = 0                    # uint16
COFF_NUMBER_OF_SECTIONS = 2         # uint16
COFF_SIZE_OF_OPTIONAL_HEADER = 16   # uint16
COFF_CHARACTERISTICS = 18           # uint16
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
MACHINES = {"i386": 0x014C, "amd64": 0x8664}

# Optional header, after the COFF header
OPT_MAGIC = 0                       # uint16
PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B
OPT_DLL_CHARACTERISTICS = 70        # uint16, the same offset in PE32 and PE32+
OPT_NUMBER_OF_RVA_AND_SIZES = {PE32_MAGIC: 92, PE32_PLUS_MAGIC: 108}  # uint32
OPT_DATA_DIRECTORIES = {PE32_MAGIC: 96, PE32_PLUS_MAGIC: 112}         # 8 bytes each: RVA, size
DIRECTORY_IMPORT = 1
DIRECTORY_BASE_RELOCATION = 5
DIRECTORY_DELAY_IMPORT = 13

DLLCHARACTERISTICS_HIGH_ENTROPY_VA = 0x0020
DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
DLLCHARACTERISTICS_NX_COMPAT = 0x0100

# Section header, 40 bytes each, after the optional header
SECTION_HEADER_SIZE = 40
SECTION_NAME = 0                    # 8 bytes
SECTION_VIRTUAL_SIZE = 8            # uint32
SECTION_VIRTUAL_ADDRESS = 12        # uint32
SECTION_SIZE_OF_RAW_DATA = 16       # uint32
SECTION_POINTER_TO_RAW_DATA = 20    # uint32
SECTION_CHARACTERISTICS = 36        # uint32
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

# Import descriptor, 20 bytes each, a zero one ends the table
IMPORT_DESCRIPTOR_SIZE = 20
IMPORT_NAME = 12                    # uint32: RVA of the DLL's name
# Delay-load descriptor, 32 bytes each, a zero one ends the table
DELAY_DESCRIPTOR_SIZE = 32
DELAY_DLL_NAME = 4                  # uint32: RVA of the DLL's name

# The KnownDLLs of Windows 10 and 11 (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\
# KnownDLLs, with ntdll, which every process has) and comctl32, which the manifest binds to the
# side-by-side common controls.
ALLOWED_IMPORTS = {name + ".dll" for name in (
    "advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus",
    "imagehlp", "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32",
    "psapi", "rpcrt4", "sechost", "setupapi", "shcore", "shell32", "shlwapi", "user32", "wldap32",
    "ws2_32", "ntdll", "comctl32")}


class PeError(Exception):
    pass


class Pe:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != DOS_MAGIC or len(d) < DOS_E_LFANEW + 4:
            raise PeError("no MS-DOS header")
        pe = self.u32(DOS_E_LFANEW)
        if d[pe:pe + 4] != PE_SIGNATURE:
            raise PeError("no PE signature")
        coff = pe + 4
        self.machine = self.u16(coff + COFF_MACHINE)
        self.characteristics = self.u16(coff + COFF_CHARACTERISTICS)
        sections = self.u16(coff + COFF_NUMBER_OF_SECTIONS)
        opt = coff + COFF_HEADER_SIZE
        opt_size = self.u16(coff + COFF_SIZE_OF_OPTIONAL_HEADER)
        self.magic = self.u16(opt + OPT_MAGIC)
        if self.magic not in (PE32_MAGIC, PE32_PLUS_MAGIC):
            raise PeError("unknown optional header magic 0x%X" % self.magic)
        self.dll_characteristics = self.u16(opt + OPT_DLL_CHARACTERISTICS)
        count = self.u32(opt + OPT_NUMBER_OF_RVA_AND_SIZES[self.magic])
        self.directories = []
        for i in range(count):
            at = opt + OPT_DATA_DIRECTORIES[self.magic] + 8 * i
            if at + 8 > opt + opt_size:
                break
            self.directories.append((self.u32(at), self.u32(at + 4)))
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            at = table + SECTION_HEADER_SIZE * i
            name = d[at + SECTION_NAME:at + SECTION_NAME + 8].rstrip(b"\0").decode("latin-1")
            self.sections.append({
                "name": name,
                "virtual_size": self.u32(at + SECTION_VIRTUAL_SIZE),
                "virtual_address": self.u32(at + SECTION_VIRTUAL_ADDRESS),
                "raw_size": self.u32(at + SECTION_SIZE_OF_RAW_DATA),
                "raw_pointer": self.u32(at + SECTION_POINTER_TO_RAW_DATA),
                "characteristics": self.u32(at + SECTION_CHARACTERISTICS),
            })

    def u16(self, at):
        if at < 0 or at + 2 > len(self.data):
            raise PeError("header outside the file at 0x%X" % at)
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        if at < 0 or at + 4 > len(self.data):
            raise PeError("header outside the file at 0x%X" % at)
        return struct.unpack_from("<I", self.data, at)[0]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for s in self.sections:
            if s["virtual_address"] <= rva < s["virtual_address"] + max(s["virtual_size"], s["raw_size"]):
                at = rva - s["virtual_address"]
                if at >= s["raw_size"]:
                    raise PeError("RVA 0x%X lies in the uninitialised part of %s" % (rva, s["name"]))
                return s["raw_pointer"] + at
        raise PeError("RVA 0x%X lies in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise PeError("unterminated name at RVA 0x%X" % rva)
        return self.data[at:end].decode("latin-1")

    def dll_names(self, index, size, name_field):
        rva, _ = self.directory(index)
        names = []
        if rva == 0:
            return names
        at = self.offset(rva)
        while True:
            entry = self.data[at:at + size]
            if len(entry) < size:
                raise PeError("import table runs past the end of the file")
            if entry == b"\0" * size:
                return names
            names.append(self.string(struct.unpack_from("<I", entry, name_field)[0]))
            at += size

    def imports(self):
        return (self.dll_names(DIRECTORY_IMPORT, IMPORT_DESCRIPTOR_SIZE, IMPORT_NAME),
                self.dll_names(DIRECTORY_DELAY_IMPORT, DELAY_DESCRIPTOR_SIZE, DELAY_DLL_NAME))


def check(path, machine, shipped):
    """Prints the file's flags and imports; returns its failures."""
    failures = []
    try:
        pe = Pe(path)
        wide = pe.magic == PE32_PLUS_MAGIC
        flags = [name for bit, name in ((DLLCHARACTERISTICS_HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA"),
                                        (DLLCHARACTERISTICS_DYNAMIC_BASE, "DYNAMIC_BASE"),
                                        (DLLCHARACTERISTICS_NX_COMPAT, "NX_COMPAT"))
                 if pe.dll_characteristics & bit]
        print("%s: %s, DllCharacteristics 0x%04X %s" % (path, "PE32+" if wide else "PE32",
                                                         pe.dll_characteristics, " ".join(flags)))
        if pe.machine != MACHINES[machine]:
            failures.append("machine 0x%04X, not %s" % (pe.machine, machine))
        if wide != (machine == "amd64"):
            failures.append("a %s optional header for %s" % ("PE32+" if wide else "PE32", machine))
        required = ["DYNAMIC_BASE", "NX_COMPAT"] + (["HIGH_ENTROPY_VA"] if machine == "amd64" else [])
        failures += ["lost %s" % f for f in required if f not in flags]
        if pe.characteristics & IMAGE_FILE_RELOCS_STRIPPED or pe.directory(DIRECTORY_BASE_RELOCATION)[1] == 0:
            failures.append("no base relocations: the loader cannot move it, DYNAMIC_BASE or not")
        for s in pe.sections:
            if s["characteristics"] & SCN_MEM_WRITE and s["characteristics"] & SCN_MEM_EXECUTE:
                failures.append("section %s is writable and executable" % s["name"])
        imports, delayed = pe.imports()
        print("  imports: %s" % " ".join(imports))
        if delayed:
            print("  delay-loaded: %s" % " ".join(delayed))
        if shipped:
            for name in imports + delayed:
                if name.lower() not in ALLOWED_IMPORTS:
                    failures.append("imports %s, which is no KnownDLL: Windows would look for it beside "
                                    "the executable" % name)
    except (OSError, PeError) as e:
        failures.append(str(e))
    for f in failures:
        print("  FAIL %s" % f)
    return failures


def main(argv):
    machine, shipped, also, target = None, [], [], None
    for a in argv:
        if a == "--machine":
            target = "machine"
        elif a == "--shipped":
            target = shipped
        elif a == "--also":
            target = also
        elif target == "machine":
            machine, target = a, None
        elif isinstance(target, list):
            target.append(a)
        else:
            machine = None
            break
    if machine not in MACHINES or not shipped:
        print(__doc__, file=sys.stderr)
        return 2
    failures = 0
    for path in shipped:
        failures += len(check(path, machine, True))
    for path in also:
        failures += len(check(path, machine, False))
    print("%d failures" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
