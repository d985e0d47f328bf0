#!/usr/bin/env python3
"""Checks of the bootstrapper executable, read from its PE image.

  check_executable.py size FILE MAX_BYTES [MAX_SIGNED_BYTES]
                                            the image (the file less its signature,
                                            if it has one) has at most MAX_BYTES
                                            bytes; with MAX_SIGNED_BYTES the file
                                            is signed and has at most that many
  check_executable.py imports FILE          it imports from system DLLs only, never msi.dll
  check_executable.py manifest FILE         its manifest asks for asInvoker, uiAccess false
  check_executable.py machine FILE x86|x64  it is a program for that processor: the PE
                                            header's machine and the optional header's
                                            kind both say so
  check_executable.py stamp FILE SECONDS    its PE time stamp is SECONDS and its PE checksum
                                            is 0 or the checksum of the file
  check_executable.py constructors OBJDUMP FILE...
                                            the objects or archives hold no static
                                            constructors or destructors

Exit code 0 when the check holds, 1 when it does not (with the reason on stderr).
"""
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

# The DLLs the program may import: the system's kernel, user-interface, shell
# utility and C run-time libraries. msi.dll is bound at run time instead.
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "shlwapi.dll", "msvcrt.dll"}

RT_MANIFEST = 24
# The data directory of the attribute certificates (the Authenticode signature),
# which names a file offset, not an address.
SECURITY_DIRECTORY = 4


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine = struct.unpack_from("<H", data, pe + 4)[0]
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        self.time_stamp = struct.unpack_from("<I", data, pe + 8)[0]
        optional = pe + 24
        # At the same place in the 32-bit and the 64-bit optional header.
        self.checksum_offset = optional + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        magic = self.magic = struct.unpack_from("<H", data, optional)[0]
        if magic == 0x10B:
            directories = optional + 96
        elif magic == 0x20B:
            directories = optional + 112
        else:
            raise ValueError("unknown optional header magic %#x" % magic)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            (virtual_size, address, raw_size,
             raw_offset) = struct.unpack_from("<8xIIII", data, table + 40 * i)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset, raw_size))

    def computed_checksum(self):
        """The image's checksum: its 16-bit words summed with end-around carry,
        the checksum field taken as 0, plus the file's length."""
        data = self.data[:self.checksum_offset] + bytes(4) + self.data[self.checksum_offset + 4:]
        if len(data) % 2:
            data += b"\0"
        total = 0
        for (word,) in struct.iter_unpack("<H", data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(self.data)

    def signature_size(self):
        """The bytes of the signature, which a signed file carries at its end."""
        offset, size = self.directory(SECURITY_DIRECTORY)
        if not size:
            return 0
        if offset + size != len(self.data):
            raise ValueError("the signature at %#x (%d bytes) does not end the file (%d bytes)"
                             % (offset, size, len(self.data)))
        return size

    def offset(self, rva):
        for address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size and rva - address < raw_size:
                return raw_offset + rva - address
        raise ValueError("address %#x lies in no section" % rva)

    def directory(self, index):
        if index >= len(self.directories):
            return 0, 0
        return self.directories[index]

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        rva, _ = self.directory(1)
        names = []
        if not rva:
            return names
        position = self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, position)
            if descriptor == (0, 0, 0, 0, 0):
                return names
            names.append(self.c_string(descriptor[3]))
            position += 20

    def resources_of_type(self, wanted_type):
        """The data of every resource of one numeric type."""
        root_rva, _ = self.directory(2)
        if not root_rva:
            return []
        root = self.offset(root_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<12xHH", self.data, directory)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
                yield name, target

        found = []

        def collect(target):
            if target & 0x80000000:
                for _, child in entries(root + (target & 0x7FFFFFFF)):
                    collect(child)
            else:
                data_rva, size = struct.unpack_from("<II", self.data, root + target)
                start = self.offset(data_rva)
                found.append(self.data[start:start + size])

        for name, target in entries(root):
            if name == wanted_type:
                collect(target)
        return found


def check_size(path, limit, signed_limit=None):
    with open(path, "rb") as f:
        data = f.read()
    signature = PeImage(data).signature_size()
    image = len(data) - signature
    if image > limit:
        return "%s: image of %d bytes, more than %d" % (path, image, limit)
    if not signature:
        if signed_limit is not None:
            return "%s: image of %d bytes, not signed" % (path, image)
        print("%s: image of %d bytes (limit %d), not signed" % (path, image, limit))
        return None
    if signed_limit is None:
        print("%s: image of %d bytes (limit %d), signature of %d bytes" % (path, image, limit,
                                                                           signature))
        return None
    if len(data) > signed_limit:
        return "%s: signed, %d bytes, more than %d (image %d, signature %d)" % (
            path, len(data), signed_limit, image, signature)
    print("%s: image of %d bytes (limit %d), signature of %d bytes, signed %d bytes (limit %d)"
          % (path, image, limit, signature, len(data), signed_limit))
    return None


def check_imports(path):
    with open(path, "rb") as f:
        dlls = PeImage(f.read()).imported_dlls()
    if not dlls:
        return "%s: no import table found" % path
    foreign = [name for name in dlls if name.lower() not in ALLOWED_IMPORTS]
    if foreign:
        return "%s imports %s (allowed: %s)" % (path, ", ".join(foreign),
                                                 ", ".join(sorted(ALLOWED_IMPORTS)))
    print("%s imports %s" % (path, ", ".join(dlls)))
    return None


def check_manifest(path):
    with open(path, "rb") as f:
        manifests = PeImage(f.read()).resources_of_type(RT_MANIFEST)
    if len(manifests) != 1:
        return "%s has %d manifest resources, expected 1" % (path, len(manifests))
    root = ElementTree.fromstring(manifests[0])
    levels = [element for element in root.iter()
              if element.tag.split("}")[-1] == "requestedExecutionLevel"]
    if len(levels) != 1:
        return "%s: %d requestedExecutionLevel elements, expected 1" % (path, len(levels))
    level = levels[0].get("level")
    ui_access = levels[0].get("uiAccess")
    if level != "asInvoker":
        return "%s: requested execution level %r, expected 'asInvoker'" % (path, level)
    if ui_access is None or ui_access.lower() != "false":
        return "%s: uiAccess %r, expected 'false'" % (path, ui_access)
    print("%s: level %s, uiAccess %s" % (path, level, ui_access))
    return None


# The PE machine and optional header magic of each processor's programs.
MACHINES = {"x86": (0x14C, 0x10B), "x64": (0x8664, 0x20B)}


def check_machine(path, wanted):
    with open(path, "rb") as f:
        image = PeImage(f.read())
    machine, magic = MACHINES[wanted]
    if (image.machine, image.magic) != (machine, magic):
        return "%s: machine %#x with optional header %#x, expected %s (%#x, %#x)" % (
            path, image.machine, image.magic, wanted, machine, magic)
    print("%s: a program for %s" % (path, wanted))
    return None


def check_stamp(path, seconds):
    with open(path, "rb") as f:
        image = PeImage(f.read())
    if image.time_stamp != seconds:
        return "%s: PE time stamp %d, expected %d" % (path, image.time_stamp, seconds)
    if image.checksum not in (0, image.computed_checksum()):
        return "%s: PE checksum %#x, the file's is %#x" % (path, image.checksum,
                                                        image.computed_checksum())
    print("%s: PE time stamp %d, checksum %#x" % (path, image.time_stamp, image.checksum))
    return None


# Sections of code that a C runtime's start-up runs before or after the program.
# The executable has its own entry point and no such start-up, so none may be
# linked into it.
START_UP_SECTIONS = (".ctors", ".dtors", ".init_array", ".fini_array")


def check_constructors(objdump, paths):
    listing = subprocess.run([objdump, "-h"] + paths, check=True, capture_output=True,
                             text=True).stdout
    member = None
    found = []
    for line in listing.splitlines():
        if "file format" in line:
            member = line.split(":")[0].strip()
        fields = line.split()
        if len(fields) > 2 and fields[0].isdigit() and fields[1].startswith(START_UP_SECTIONS):
            found.append("%s in %s" % (fields[1], member))
    if found:
        return "start-up sections found: " + ", ".join(found)
    print("no start-up sections in %s" % ", ".join(paths))
    return None


def main(argv):
    if len(argv) in (4, 5) and argv[1] == "size":
        problem = check_size(argv[2], *[int(limit) for limit in argv[3:]])
    elif len(argv) == 3 and argv[1] == "imports":
        problem = check_imports(argv[2])
    elif len(argv) == 3 and argv[1] == "manifest":
        problem = check_manifest(argv[2])
    elif len(argv) == 4 and argv[1] == "machine" and argv[3] in MACHINES:
        problem = check_machine(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "stamp":
        problem = check_stamp(argv[2], int(argv[3]))
    elif len(argv) >= 4 and argv[1] == "constructors":
        problem = check_constructors(argv[2], argv[3:])
    else:
        sys.stderr.write(__doc__)
        return 2
    if problem:
        sys.stderr.write(problem + "\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
