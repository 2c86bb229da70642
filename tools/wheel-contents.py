"""Checks that a repaired wheel holds the module, its stub (beside the module
for editors, as a stub-only package for mypy) and their metadata and nothing
else, and prints its tag. Run by tools/dist-check.

    python tools/wheel-contents.py WHEEL STUB [BUILD_PATH...]

STUB is the stub in the source tree (the wheel's must be the same file);
each BUILD_PATH is a directory name that must not appear in any file.
"""

import email.parser
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path


def fail(wheel, why):
    sys.exit(f"dist-check: {wheel.name}: {why}")


def main(argv):
    wheel, stub = Path(argv[1]), Path(argv[2])
    build_paths = [p.encode() for p in argv[3:]]
    m = re.fullmatch(r"vastrel-([^-]+)-(cp3\d+)-(cp3\d+)-(manylinux_\d+_\d+_x86_64)\.whl", wheel.name)
    if not m:
        fail(wheel, "not a CPython manylinux x86-64 wheel of vastrel")
    version, py, abi, plat = m.groups()
    info = f"vastrel-{version}.dist-info"
    so = f"vastrel.{abi.replace('cp', 'cpython-')}-x86_64-linux-gnu.so"
    stubs = ("vastrel.pyi", "vastrel-stubs/__init__.pyi")
    expected = {so, *stubs, f"{info}/METADATA", f"{info}/WHEEL", f"{info}/RECORD",
                f"{info}/licenses/LICENSE"}
    with zipfile.ZipFile(wheel) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        if names != expected:
            fail(wheel, f"unexpected files {sorted(names - expected)}, missing {sorted(expected - names)}")
        record = z.read(f"{info}/RECORD").decode()
        listed = {line.split(",")[0] for line in record.splitlines() if line}
        if listed != expected:
            fail(wheel, f"RECORD lists {sorted(listed)}")
        meta = email.parser.Parser().parsestr(z.read(f"{info}/METADATA").decode())
        tags = email.parser.Parser().parsestr(z.read(f"{info}/WHEEL").decode()).get_all("Tag")
        for name in stubs:
            if z.read(name) != stub.read_bytes():
                fail(wheel, f"{name} differs from {stub}")
        for name in names:
            data = z.read(name)
            for path in build_paths:
                if path in data:
                    fail(wheel, f"{name} holds the build path {path.decode()}")
        with tempfile.TemporaryDirectory() as tmp:
            lib = Path(tmp) / so
            lib.write_bytes(z.read(so))
            nm = subprocess.run(["nm", "-D", "--defined-only", str(lib)], capture_output=True, text=True,
                                check=True).stdout
    exported = sorted(line.split()[-1] for line in nm.splitlines() if line.strip())
    if exported != ["PyInit_vastrel"]:
        fail(wheel, f"exports {exported}, not PyInit_vastrel alone")
    if tags != [f"{py}-{abi}-{plat}"]:
        fail(wheel, f"WHEEL tags {tags} do not match its name")
    want = {
        "License-Expression": ["Apache-2.0"],
        "License-File": ["LICENSE"],
        "Requires-Python": [">=3.12"],
    }
    for key, value in want.items():
        if meta.get_all(key) != value:
            fail(wheel, f"METADATA {key}: {meta.get_all(key)}, expected {value}")
    if "numpy>=1.26" not in (meta.get_all("Requires-Dist") or []):
        fail(wheel, "METADATA does not require numpy>=1.26")
    minor = f"3.{py[3:]}"
    if f"Programming Language :: Python :: {minor}" not in (meta.get_all("Classifier") or []):
        fail(wheel, f"no classifier for Python {minor}")
    print(f"dist-check: {wheel.name}: tag {tags[0]}; holds {so}, {' and '.join(stubs)}, {info}/; "
          "exports PyInit_vastrel alone")


if __name__ == "__main__":
    main(sys.argv)
