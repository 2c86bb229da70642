"""One adapter per simulator: translate a gate list, build, run, read the state.

Every adapter has the same shape, so the harness can time them round-robin:
  build(gates, n) -> the simulator's own circuit object (its construction cost)
  run(built, n)   -> an opaque result; timed as "run"
  state(result, n) -> complex ndarray in vastrel's ordering (qubit q = bit q of
                      the index), only for cross-checks, never timed
A simulator that cannot be imported is reported with the reason and skipped.

Gate mapping (all phase gates, no global phase):
  vastrel rz(t, a)     Aer p(a)    qsim ZPowGate(a/pi)   Qulacs U1(a)   Lightning PhaseShift(a)
  vastrel crz(c, t, a) Aer cp(a)   qsim CZPowGate(a/pi)  Qulacs U1 + control   Lightning ControlledPhaseShift(a)
"""

import math

import numpy as np


def _dist_version(name):
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "?"


class Unavailable(Exception):
    """The simulator cannot be used here; the message says why."""


class Vastrel:
    name = "vastrel"
    precision = "complex64"

    def __init__(self, threads):
        try:
            import vastrel
        except ImportError as e:
            raise Unavailable(f"import vastrel failed ({e}); was `pip install .` successful?") from e
        self.v = vastrel
        # Once per process: the pool is built with exactly this size.
        vastrel.set_num_threads(threads)
        self.version = f"vastrel {_dist_version('vastrel')} from the working tree"

    def build(self, gates, n):
        G = self.v.Gate
        out = []
        for g in gates:
            k = g[0]
            if k == "h":
                out.append(G.h(g[1]))
            elif k == "x":
                out.append(G.x(g[1]))
            elif k == "rz":
                out.append(G.rz(g[1], g[2]))
            elif k == "crz":
                out.append(G.crz(g[1], g[2], g[3]))
            else:
                out.append(G.cnot(g[1], g[2]))
        return self.v.Circuit(out)

    def run(self, built, n):
        return built.run(n)

    def state(self, result, n):
        return np.asarray(result)


class Aer:
    name = "aer"
    precision = "complex64"

    def __init__(self, threads):
        try:
            import qiskit
            import qiskit_aer
            from qiskit_aer import AerSimulator
        except ImportError as e:
            raise Unavailable(f"qiskit-aer not importable ({e})") from e
        self.QuantumCircuit = qiskit.QuantumCircuit
        # Fusion and the parallel threshold stay at Aer's defaults.
        self.sim = AerSimulator(method="statevector", precision="single", max_parallel_threads=threads)
        self.version = f"qiskit-aer {qiskit_aer.__version__}, qiskit {qiskit.__version__}"

    def build(self, gates, n):
        qc = self.QuantumCircuit(n)
        for g in gates:
            k = g[0]
            if k == "h":
                qc.h(g[1])
            elif k == "x":
                qc.x(g[1])
            elif k == "rz":
                qc.p(g[2], g[1])
            elif k == "crz":
                qc.cp(g[3], g[1], g[2])
            else:
                qc.cx(g[1], g[2])
        qc.save_statevector()
        return qc

    def run(self, built, n):
        return self.sim.run(built, shots=1).result()

    def state(self, result, n):
        # Qiskit orders qubits as vastrel does (qubit 0 least significant).
        return np.asarray(result.get_statevector())


class Qsim:
    name = "qsim"
    precision = "complex64"

    def __init__(self, threads, max_fused_gate_size=None):
        try:
            import cirq
            import qsimcirq
        except ImportError as e:
            raise Unavailable(f"qsimcirq not importable ({e})") from e
        self.cirq = cirq
        # Options as shipped except the thread count (its default is 1) and,
        # when given, the largest gate fusion makes (bench/large.py and the
        # harness try 2-4); such a variant is named qsim-f<size>.
        options = {"cpu_threads": threads}
        if max_fused_gate_size is not None:
            options["max_fused_gate_size"] = max_fused_gate_size
            self.name = f"qsim-f{max_fused_gate_size}"
        self.fusion = max_fused_gate_size
        self.default_fusion = qsimcirq.QSimOptions().max_fused_gate_size
        self.sim = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(**options))
        self.version = f"qsimcirq {qsimcirq.__version__}, cirq {cirq.__version__}"
        self._qubits = {}

    def _line(self, n):
        # Cirq puts the first qubit of qubit_order in the most significant
        # bit; vastrel's qubit q is LineQubit(n-1-q), so index bit q is qubit q.
        if n not in self._qubits:
            self._qubits[n] = self.cirq.LineQubit.range(n)
        return self._qubits[n]

    def build(self, gates, n):
        cirq = self.cirq
        line = self._line(n)

        def q(i):
            return line[n - 1 - i]

        ops = []
        for g in gates:
            k = g[0]
            if k == "h":
                ops.append(cirq.H(q(g[1])))
            elif k == "x":
                ops.append(cirq.X(q(g[1])))
            elif k == "rz":
                ops.append(cirq.ZPowGate(exponent=g[2] / math.pi)(q(g[1])))
            elif k == "crz":
                ops.append(cirq.CZPowGate(exponent=g[3] / math.pi)(q(g[1]), q(g[2])))
            else:
                ops.append(cirq.CNOT(q(g[1]), q(g[2])))
        return cirq.Circuit(ops)

    def run(self, built, n):
        return self.sim.simulate(built, qubit_order=self._line(n))

    def state(self, result, n):
        return np.asarray(result.final_state_vector)


class Qulacs:
    name = "qulacs"
    precision = "complex128"

    def __init__(self, threads):
        try:
            import qulacs
            import qulacs.gate
        except ImportError as e:
            raise Unavailable(f"qulacs not importable ({e})") from e
        self.q = qulacs
        self.version = f"qulacs {_dist_version('qulacs')}"

    def build(self, gates, n):
        q = self.q
        qc = q.QuantumCircuit(n)
        for g in gates:
            k = g[0]
            if k == "h":
                qc.add_H_gate(g[1])
            elif k == "x":
                qc.add_X_gate(g[1])
            elif k == "rz":
                qc.add_U1_gate(g[1], g[2])
            elif k == "crz":
                c, t, theta = g[1], g[2], g[3]
                gate = q.gate.DenseMatrix(t, [[1.0, 0.0], [0.0, complex(math.cos(theta), math.sin(theta))]])
                gate.add_control_qubit(c, 1)
                qc.add_gate(gate)
            else:
                qc.add_CNOT_gate(g[1], g[2])
        return qc

    def run(self, built, n):
        # The state stays inside Qulacs: copying it out is not charged to it.
        state = self.q.QuantumState(n)
        built.update_quantum_state(state)
        return state

    def state(self, result, n):
        return np.asarray(result.get_vector())


class Lightning:
    name = "lightning"
    precision = "complex64"

    def __init__(self, threads):
        try:
            import pennylane as qml
            import pennylane_lightning  # noqa: F401
        except ImportError as e:
            raise Unavailable(f"pennylane-lightning not importable ({e})") from e
        self.qml = qml
        self.version = f"pennylane-lightning {_dist_version('pennylane-lightning')}, pennylane {qml.__version__}"
        self._devices = {}
        try:
            self._device(2)
        except Exception as e:  # a device that cannot be made is unusable
            raise Unavailable(f"lightning.qubit with complex64 failed ({e})") from e

    def _device(self, n):
        # A device per width, made once, as a user would keep it.
        if n not in self._devices:
            self._devices[n] = self.qml.device("lightning.qubit", wires=n, c_dtype=np.complex64)
        return self._devices[n]

    def build(self, gates, n):
        qml = self.qml

        # PennyLane puts wire 0 in the most significant bit: vastrel's qubit
        # q is wire n-1-q.
        def w(i):
            return n - 1 - i

        ops = []
        for g in gates:
            k = g[0]
            if k == "h":
                ops.append(qml.Hadamard(w(g[1])))
            elif k == "x":
                ops.append(qml.PauliX(w(g[1])))
            elif k == "rz":
                ops.append(qml.PhaseShift(g[2], wires=w(g[1])))
            elif k == "crz":
                ops.append(qml.ControlledPhaseShift(g[3], wires=[w(g[1]), w(g[2])]))
            else:
                ops.append(qml.CNOT(wires=[w(g[1]), w(g[2])]))
        return qml.tape.QuantumScript(ops, [qml.state()])

    def run(self, built, n):
        return self._device(n).execute(built)

    def state(self, result, n):
        return np.asarray(result)


ALL = (Vastrel, Aer, Qsim, Qulacs, Lightning)

# max_fused_gate_size of the qsim variants timed beside qsim as shipped.
QSIM_FUSION = (2, 3, 4)


def load(threads, only=None, log=print, qsim_fusion=()):
    """Instantiate every simulator that works here; return (sims, skipped).
    qsim_fusion: sizes of the qsim-f<size> variants to add after qsim (a
    size equal to qsim's own default is qsim as shipped, and not added)."""
    sims, skipped = [], {}
    for cls in ALL:
        if only and cls.name not in only:
            continue
        try:
            sims.append(cls(threads))
        except Unavailable as e:
            skipped[cls.name] = str(e)
            log(f"skipping {cls.name}: {e}")
            continue
        except Exception as e:  # a peer broken in some other way is skipped too
            skipped[cls.name] = f"{type(e).__name__}: {e}"
            log(f"skipping {cls.name}: {type(e).__name__}: {e}")
            continue
        if cls is Qsim:
            for size in qsim_fusion:
                if size != sims[-1].default_fusion:
                    sims.append(Qsim(threads, max_fused_gate_size=size))
    return sims, skipped
