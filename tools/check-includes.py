#!/usr/bin/env python3
"""Checks the includes of the program's sources, from the checkout's root:

  tools/check-includes.py

- no file includes a header of a layer above its own (the layers, from the
  bottom: platform, text, msiutil, setup, mivocheck; the build refuses such an
  include too, this names every one at once);
- within a folder, no modules (x.h with x.cc) include each other in a cycle.

Exit code 0 when both hold, 1 with each finding on stderr."""
import os
import re
import subprocess
import sys

LAYERS = ["platform", "text", "msiutil", "setup", "mivocheck"]


def main():
    files = subprocess.run(["git", "ls-files", *LAYERS], capture_output=True, text=True,
                           check=True).stdout.split()
    findings = []
    uses = {}  # module -> modules of its folder that it includes
    for path in files:
        if not path.endswith((".h", ".cc")):
            continue
        folder = path.split("/")[0]
        with open(path, encoding="utf-8") as source:
            included = re.findall(r'^#include "([^"]+)"', source.read(), re.M)
        for header in included:
            layer = header.split("/")[0]
            if layer in LAYERS and LAYERS.index(layer) > LAYERS.index(folder):
                findings.append("%s includes %s, a layer above its own" % (path, header))
            if layer == folder and os.path.splitext(header)[0] != os.path.splitext(path)[0]:
                uses.setdefault(os.path.splitext(path)[0], set()).add(os.path.splitext(header)[0])
    # A cycle shows as a module reached again from itself.
    for start in sorted(uses):
        stack, seen = [(start, [start])], set()
        while stack:
            module, trail = stack.pop()
            for used in sorted(uses.get(module, ())):
                if used == start:
                    findings.append("include cycle: " + " -> ".join(trail + [start]))
                elif used not in seen:
                    seen.add(used)
                    stack.append((used, trail + [used]))
    for finding in findings:
        sys.stderr.write(finding + "\n")
    if not findings:
        print("includes: no upward include and no cycle in %d files" % len(files))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
