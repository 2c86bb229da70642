"""No build flag may change a bit: the module built with the flags a user or
a distribution adds (here -march=native, in its own build directory) gives
the same amplitudes as the default build installed in the environment that
runs this, on random circuits whose long runs of single-qubit gates are
fused into products, from 1 to 18 qubits (cache-blocked passes included).

    python tests/native_build.py DIR   # DIR holds the other build's module
"""

import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "python"))
from helpers import random_angle, run_batch, write_batch  # noqa: E402


def fused_circuit(rng, n):
    """Runs of 2 to 24 single-qubit gates on one qubit between two-qubit
    gates: 16 or more single-qubit gates in all, so the circuit is fused."""
    ops, singles = [], 0
    while singles < 16 or rng.random() < 0.6:
        q = rng.randrange(n)
        for _ in range(rng.randint(2, 24)):
            kind = rng.choice(["x", "h", "rz", "rz"])
            ops.append(("rz", q, random_angle(rng)) if kind == "rz" else (kind, q))
            singles += 1
        if n > 1:
            c, t = rng.sample(range(n), 2)
            ops.append(rng.choice([("cnot", c, t), ("crz", c, t, random_angle(rng))]))
    return ops


def main(other_dir):
    env = {"PYTHONPATH": os.path.abspath(other_dir)}
    where = subprocess.run([sys.executable, "-c", "import vastrel; print(vastrel.__file__)"],
                           env={**os.environ, **env}, capture_output=True, text=True, check=True)
    assert where.stdout.startswith(os.path.abspath(other_dir)), where.stdout
    rng = random.Random(20261208)
    batch = [(n, fused_circuit(rng, n)) for n in (1, 2, 3, 5, 8, 12, 16, 17, 18) for _ in range(8)]
    path = write_batch(batch)
    try:
        default, other = run_batch(path), run_batch(path, env=env)
    finally:
        os.unlink(path)
    differ = [i // 2 for i, (a, b) in enumerate(zip(default, other)) if a != b]
    if differ:
        n, ops = batch[differ[0]]
        sys.exit(f"{len(differ) // 2} of {len(batch)} circuits differ between the builds; "
                 f"the first on {n} qubits: {ops}")
    print(f"native build: {len(batch)} fused circuits, the same amplitudes as the default build")


if __name__ == "__main__":
    main(sys.argv[1])
