#!/usr/bin/env python3
"""lint-select.py BUILD_DIR BASE — the product's translation units that the
changes since commit BASE can affect: a unit is listed when its source or any
header it includes (as the build recorded it, `ninja -t deps`) differs from
BASE, in the work tree or the index. Prints one absolute path a line. Prints
ALL instead when a change reaches every unit (the clang-tidy configuration,
the build's flags; a component's CMakeLists.txt reaches its own units) or
the recorded dependencies are missing."""
import os
import re
import subprocess
import sys

build, base = sys.argv[1], sys.argv[2]
root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True,
                      capture_output=True, text=True).stdout.strip()
changed = subprocess.run(["git", "diff", "--name-only", base, "--"], check=True,
                         capture_output=True, text=True, cwd=root).stdout.split()
changed += subprocess.run(["git", "ls-files", "--others", "--exclude-standard"],
                          check=True, capture_output=True, text=True,
                          cwd=root).stdout.split()
everything = re.compile(r"^(\.clang-tidy|CMakeLists\.txt|CMakePresets\.json"
                        r"|cmake/Xq(Flags|Deps|Daemon)\.cmake|scripts/lint(\.sh|-select\.py))$")
if any(everything.match(c) for c in changed):
    print("ALL")
    sys.exit(0)
# A component's own CMakeLists.txt sets the flags of the units below it.
folders = [os.path.join(root, os.path.dirname(c)) + "/" for c in changed
           if os.path.basename(c) == "CMakeLists.txt"]
changed = {os.path.join(root, c) for c in changed}

deps = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True,
                      text=True)
if deps.returncode != 0 or "VALID" not in deps.stdout:
    print("ALL")
    sys.exit(0)
product = re.compile(r"^" + re.escape(root) +
                     r"/(main\.cpp|(platform|Common|Main|Lldp|codesign_verify|tools)/.*\.cpp)$")
builddir = os.path.abspath(build)
selected = set()
source, hit = None, False


def finish():
    if source and (hit or any(source.startswith(f) for f in folders)) and product.match(source):
        selected.add(source)


for line in deps.stdout.splitlines():
    if line and not line[0].isspace():
        finish()
        source, hit = None, False
        continue
    path = line.strip()
    if not path:
        continue
    path = os.path.normpath(os.path.join(builddir, path))
    if source is None and path.endswith(".cpp"):
        source = path
    if path in changed:
        hit = True
finish()
for s in sorted(selected):
    print(s)
