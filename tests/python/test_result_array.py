"""The result array: its type, layout and flags, the PySliceContainer that
owns its buffer, buffer lifetime, and NumPy's lazy import (and absence)."""

import gc
import random

import numpy as np
import pytest

from vastrel import Circuit, Gate
import vastrel
from helpers import S, assert_bits_equal, make_gates, random_specs, run_child, simulate

BELL = [("h", 0), ("cnot", 0, 1)]
CONTAINER_DOC = "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap"


def test_bell_state_of_the_overview():
    result = Circuit([Gate.h(0), Gate.cnot(0, 1)]).run(2)
    assert result.view(np.uint32).tolist() == [0x3F3504F3, 0, 0, 0, 0, 0, 0x3F3504F3, 0]
    assert result[0].real == S == np.float32(0.70710677)
    assert type(result.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("n", [0, 1, 2, 5, 12, 16])
def test_array_properties(n):
    a = Circuit(make_gates(BELL if n >= 2 else [])).run(n)
    assert type(a) is np.ndarray
    assert a.dtype == np.complex64
    assert a.ndim == 1
    assert a.shape == (2**n,)
    assert a.strides == (8,)
    assert a.itemsize == 8 and a.nbytes == 8 * 2**n
    assert a.flags.writeable
    assert a.flags.c_contiguous and a.flags.f_contiguous
    assert a.flags.aligned
    assert not a.flags.owndata
    base = a.base
    assert type(base).__name__ == "PySliceContainer"
    assert type(base).__qualname__ == "PySliceContainer"
    assert type(base).__module__ == "builtins"
    assert not isinstance(base, np.ndarray)


def test_zero_qubits_empty_circuit():
    a = Circuit([]).run(0)
    assert a.shape == (1,)
    assert a.tolist() == [1 + 0j]
    assert a.view(np.uint32).tolist() == [0x3F800000, 0]
    assert type(a.base).__name__ == "PySliceContainer"


def test_container_class():
    cls = type(Circuit([]).run(1).base)
    assert cls is type(Circuit([Gate.x(0)]).run(3).base)
    assert repr(cls) == "<class 'builtins.PySliceContainer'>"
    assert cls.__doc__ == CONTAINER_DOC
    assert cls.__text_signature__ is None
    assert cls.__bases__ == (object,)
    assert {n for n in dir(cls) if not n.startswith("_")} == set()
    assert not hasattr(vastrel, "PySliceContainer")
    for call in (lambda: cls(), lambda: cls(1, 2), lambda: cls.__new__(cls)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "No constructor defined"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        Circuit([]).run(1).base.anything = 1


def test_array_is_writeable_in_place():
    a = Circuit([]).run(3)
    a[5] = 2 - 3j
    a *= 2
    assert a.tolist() == [2 + 0j, 0j, 0j, 0j, 0j, 4 - 6j, 0j, 0j]


def test_two_runs_share_nothing():
    c = Circuit(make_gates(BELL))
    a, b = c.run(2), c.run(2)
    assert a is not b and a.base is not b.base
    assert not np.shares_memory(a, b)
    assert_bits_equal(a, b)
    a[:] = 7
    assert_bits_equal(b, simulate(BELL, 2))
    assert_bits_equal(c.run(2), simulate(BELL, 2))
    b[0] = 0
    assert a.tolist() == [7 + 0j] * 4


def test_views_keep_the_buffer_alive():
    specs = random_specs(random.Random(7), 12, 40, special_angles=False,
                         out_of_range=False)
    expected = simulate(specs, 12)
    c = Circuit(make_gates(specs))
    a = c.run(12)
    part = a[100:300]
    strided = a[::7]
    assert part.base is a
    del a, c
    gc.collect()
    # Churn the allocator: freed buffers of this size would be reused now.
    for _ in range(5):
        junk = Circuit(make_gates([("h", q) for q in range(12)])).run(12)
        junk[:] = 12345
        del junk
    filler = [np.full(4096, 99, dtype=np.complex64) for _ in range(8)]
    assert_bits_equal(part, expected[100:300])
    assert_bits_equal(strided, expected[::7])
    del part
    gc.collect()
    assert_bits_equal(strided, expected[::7])
    assert filler


def test_array_outlives_circuit_and_gates():
    gates = make_gates(BELL)
    c = Circuit(gates)
    a = c.run(2)
    del c, gates
    gc.collect()
    assert a.view(np.uint32).tolist() == [0x3F3504F3, 0, 0, 0, 0, 0, 0x3F3504F3, 0]


def test_buffers_are_freed():
    # 40 runs of 22 qubits (32 MiB each) with the results dropped: buffers
    # that were never freed would grow the resident set by 1.25 GiB.
    res = run_child("""
        import gc
        import vastrel
        def rss():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) * 1024
        c = vastrel.Circuit([vastrel.Gate.x(21)])
        c.run(22)
        start = rss()
        for i in range(40):
            a = c.run(22)
            view = a[1:]
            del a
            assert view[(1 << 21) - 1] == 1
            del view
        gc.collect()
        report(growth=rss() - start)
    """)
    assert res.data["growth"] < 256 << 20


def test_numpy_is_imported_lazily():
    res = run_child("""
        import sys
        import vastrel
        seen = ["numpy" in sys.modules]
        gates = [vastrel.Gate.h(0), vastrel.Gate.cnot(0, 1), vastrel.Gate.rz(0, 0.5),
                 vastrel.Gate.crz(0, 1, 0.5), vastrel.Gate.x(1)]
        c = vastrel.Circuit(gates)
        vastrel.Circuit(gates * 8)
        try:
            vastrel.Circuit([1])
        except BaseException:
            pass
        seen.append("numpy" in sys.modules)
        result = c.run(2)
        seen.append("numpy" in sys.modules)
        import numpy
        report(seen=seen, is_array=type(result) is numpy.ndarray,
               old_alias=int(numpy.__version__.split(".")[0]) >= 2 and "numpy.core" in sys.modules)
    """)
    assert res.data == {"seen": [False, False, True], "is_array": True, "old_alias": False}


def test_numpy_absent_then_present():
    res = run_child("""
        import sys
        import importlib.abc

        class BlockNumPy(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                return None

        blocker = BlockNumPy()
        sys.meta_path.insert(0, blocker)
        import vastrel
        c = vastrel.Circuit([vastrel.Gate.h(0), vastrel.Gate.cnot(0, 1)])
        messages = []
        for _ in range(2):
            try:
                c.run(2)
                messages.append(None)
            except BaseException as e:
                messages.append([type(e).__name__, str(e)])
        # The failed runs did simulate: their gates built the pool.
        try:
            vastrel.set_num_threads(2)
            refused = None
        except RuntimeError as e:
            refused = str(e)
        sys.meta_path.remove(blocker)
        result = c.run(2)
        import numpy
        report(messages=messages, refused=refused, type=type(result).__name__,
               bits=result.view(numpy.uint32).tolist(), again=c.run(2).view(numpy.uint32).tolist())
    """)
    data = res.data
    bell = [0x3F3504F3, 0, 0, 0, 0, 0, 0x3F3504F3, 0]
    for entry in data["messages"]:
        assert entry is not None, "run succeeded without NumPy"
        kind, message = entry
        assert kind == "PanicException"
        assert message.startswith("Failed to access NumPy array API capsule: PyErr { type: <class '")
        assert message.endswith("}")
    assert data["refused"] == ("Failed to set number of threads: "
                               "The global thread pool has already been initialized.")
    assert data["type"] == "ndarray"
    assert data["bits"] == bell and data["again"] == bell


@pytest.mark.parametrize("n", [20, 22])
def test_a_freed_buffer_comes_back_as_the_zero_state(n):
    # The buffer of a dropped result is reused by the next run of its size.
    # It must come back as |0...0> whether the run's first kernel zeroes it,
    # or no kernel runs at all, and a result still alive is never reused.
    scramble = [("x", q) for q in range(n)] + [("h", 3), ("rz", 7, 0.3), ("crz", 2, 5, 1.1)]
    circuit = Circuit(make_gates(scramble))
    a = circuit.run(n)
    a_bits = a.view(np.uint32).copy()
    b = circuit.run(n)
    assert not np.shares_memory(a, b)
    assert np.array_equal(a.view(np.uint32), a_bits)
    assert_bits_equal(b, simulate(scramble, n))
    zero_state = np.zeros(1 << n, dtype=np.complex64)
    zero_state[0] = 1
    for specs in ([], [("cnot", 3, 3)], [("crz", n + 4, 1, 0.5)]):  # no kernel runs
        del a, b
        gc.collect()
        a = Circuit(make_gates(specs)).run(n)
        assert np.array_equal(a.view(np.uint32), zero_state.view(np.uint32)), specs
        b = circuit.run(n)
    del a
    gc.collect()
    ghz = [("h", 0)] + [("cnot", q, q + 1) for q in range(n - 1)]
    assert_bits_equal(Circuit(make_gates(ghz)).run(n), simulate(ghz, n))
    assert_bits_equal(b, simulate(scramble, n))
