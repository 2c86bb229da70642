"""vastrel quick start: a Bell state, a GHZ state and a 20-qubit quantum
Fourier transform, each built from Gate values, run, and checked.

Run it with `make demo` (which sets up .venv first) or, with vastrel
installed, `python examples/quickstart.py`.
"""

import math
import time

import numpy as np

from vastrel import Circuit, Gate


def ket(index: int, num_qubits: int) -> str:
    # Qubit 0 is the least significant bit; kets are written qubit n-1 first.
    return "|" + format(index, f"0{num_qubits}b") + ">"


def show(state: np.ndarray, num_qubits: int, limit: int = 8) -> None:
    shown = 0
    for index in np.flatnonzero(np.abs(state) > 1e-6):
        print(f"    {ket(int(index), num_qubits)}  {complex(state[index]):.8f}")
        shown += 1
        if shown == limit:
            break


def timed_run(circuit: Circuit, num_qubits: int) -> tuple[np.ndarray, float]:
    start = time.perf_counter()
    state = circuit.run(num_qubits)
    return state, time.perf_counter() - start


def bell() -> None:
    state = Circuit([Gate.h(0), Gate.cnot(0, 1)]).run(2)
    print("Bell state: H on qubit 0, then CNOT 0 -> 1 (2 qubits)")
    show(state, 2)
    print(f"    dtype {state.dtype}, shape {state.shape}, base {type(state.base).__name__}")


def ghz(num_qubits: int = 10) -> None:
    gates = [Gate.h(0)] + [Gate.cnot(q, q + 1) for q in range(num_qubits - 1)]
    state, seconds = timed_run(Circuit(gates), num_qubits)
    print(f"\nGHZ state: H, then a CNOT chain ({num_qubits} qubits, {len(gates)} gates, "
          f"{seconds * 1e3:.3f} ms)")
    show(state, num_qubits)


def qft(num_qubits: int = 20, x: int = 0x5A5A5) -> None:
    # Prepare the basis state |x>, then the textbook QFT from H and controlled
    # phases (Crz), without the final swaps, so the output is bit-reversed.
    gates = [Gate.x(q) for q in range(num_qubits) if x >> q & 1]
    for j in reversed(range(num_qubits)):
        gates.append(Gate.h(j))
        for k in reversed(range(j)):
            gates.append(Gate.crz(k, j, math.pi / 2 ** (j - k)))
    state, seconds = timed_run(Circuit(gates), num_qubits)

    n = 1 << num_qubits
    indices = np.arange(n)
    reverse = np.zeros(n, dtype=np.int64)
    for q in range(num_qubits):
        reverse |= ((indices >> q) & 1) << (num_qubits - 1 - q)
    expected = np.exp(2j * np.pi * x * indices / n) / math.sqrt(n)
    error = np.max(np.abs(state[reverse] - expected))

    print(f"\nQFT of {ket(x, num_qubits)} ({num_qubits} qubits, {len(gates)} gates, "
          f"{seconds * 1e3:.1f} ms)")
    print(f"    every amplitude has magnitude 1/sqrt(2^{num_qubits}) = {1 / math.sqrt(n):.8f}")
    for k in range(4):
        print(f"    k = {k}:  {complex(state[reverse[k]]):.8f}   exact {expected[k]:.8f}")
    print(f"    largest deviation from the exact transform: {error:.2e}")
    print(f"    total probability: {float(np.sum(np.abs(state.astype(np.complex128)) ** 2)):.7f}")


if __name__ == "__main__":
    bell()
    ghz()
    qft()
