"""The installed type stub, checked by mypy --strict: a typed program that
uses every name passes, and wrong argument types are reported where they are.
mypy runs in a child without the sanitizer preloads: it never loads the module."""

import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extra)")

GOOD = """\
import numpy as np
import numpy.typing as npt

import vastrel
from vastrel import Circuit, Gate, set_num_threads


def ghz(n: int) -> npt.NDArray[np.complex64]:
    gates: list[Gate] = [Gate.h(0)] + [Gate.cnot(q, q + 1) for q in range(n - 1)]
    gates += [Gate.x(np.uint64(0)), Gate.rz(1, 0.5), Gate.crz(0, 1, np.float32(1.5)), Gate.rz(0, 2)]
    return Circuit(gates).run(n)


set_num_threads(2)
state: npt.NDArray[np.complex64] = ghz(3)
total: float = float(np.abs(state).sum())
names: list[str] = vastrel.__all__
"""

# Each line that must be reported, with mypy's error code.
BAD = {
    "Circuit((Gate.h(0),))": "arg-type",
    'Circuit([Gate.h(0)]).run("3")': "arg-type",
    "Gate.rz(0, '0.5')": "arg-type",
    "Gate.cnot(0)": "call-arg",
    "set_num_threads(None)": "arg-type",
}


def test_stub_is_the_one_beside_the_module():
    origin = os.path.dirname(importlib.util.find_spec("vastrel").origin)
    with open(os.path.join(origin, "vastrel.pyi")) as beside, \
            open(os.path.join(origin, "vastrel-stubs", "__init__.pyi")) as for_mypy:
        assert for_mypy.read() == beside.read()


def test_mypy_strict_accepts_typed_use_and_reports_wrong_calls(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    bad = "from vastrel import Circuit, Gate, set_num_threads\n" + "\n".join(BAD) + "\n"
    (tmp_path / "bad.py").write_text(bad)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "MYPYPATH", "PYTHONPATH")}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary",
         "--show-error-codes", "--hide-error-context", "good.py", "bad.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    errors = [line for line in proc.stdout.splitlines() if ": error: " in line]
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert not [e for e in errors if not e.startswith("bad.py:")], proc.stdout
    reported = {}
    for e in errors:
        line = int(e.split(":")[1])
        reported.setdefault(line, set()).add(e.rsplit("[", 1)[-1].rstrip("]"))
    expected = {i + 2: {code} for i, code in enumerate(BAD.values())}
    assert reported == expected, textwrap.indent(proc.stdout, "    ")
