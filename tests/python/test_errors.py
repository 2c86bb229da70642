"""Errors at the Python boundary: every argument-parsing message for every
callable, the panic exception's class and behaviour, the panic report on
standard error, and panics resumed from Python code."""

import sys

import pytest

from vastrel import Circuit, Gate
from helpers import panic_of, run_child


def panic_class():
    return type(panic_of(lambda: Circuit([]).run(64)))


# (full name, callable, parameter names, valid arguments)
CALLABLES = [
    ("Gate.x()", Gate.x, ("target",), (0,)),
    ("Gate.h()", Gate.h, ("target",), (0,)),
    ("Gate.rz()", Gate.rz, ("target", "theta"), (0, 0.5)),
    ("Gate.crz()", Gate.crz, ("control", "target", "theta"), (0, 1, 0.5)),
    ("Gate.cnot()", Gate.cnot, ("control", "target"), (0, 1)),
    ("Circuit.__new__()", Circuit, ("gates",), ([],)),
    ("Circuit.run()", Circuit([]).run, ("num_qubits",), (1,)),
]
IDS = [c[0] for c in CALLABLES]


def join_names(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def missing_message(full, names):
    word = "argument" if len(names) == 1 else "arguments"
    return f"{full} missing {len(names)} required positional {word}: {join_names(names)}"


def too_many_message(full, count, given):
    verb = "was" if given == 1 else "were"
    return f"{full} takes {count} positional arguments but {given} {verb} given"


def parse_cases(full, params, valid):
    """(args, kwargs, message) for every message shape of one callable."""
    k = len(params)
    cases = []
    # Too many positional arguments; reported before any keyword problem.
    for extra in (1, 3):
        args = tuple(valid) + (0,) * extra
        cases.append((args, {}, too_many_message(full, k, k + extra)))
    cases.append((tuple(valid) + (0,), {"bogus": 1}, too_many_message(full, k, k + 1)))
    # A keyword for a parameter already filled by position.
    for i in range(k):
        cases.append((tuple(valid[: i + 1]), {params[i]: valid[i]},
                      f"{full} got multiple values for argument '{params[i]}'"))
    # Unknown keywords: the first one given is reported, before missing ones.
    cases.append(((), {"bogus": 1}, f"{full} got an unexpected keyword argument 'bogus'"))
    cases.append(((), {"zz": 1, "aa": 2}, f"{full} got an unexpected keyword argument 'zz'"))
    cases.append((tuple(valid), {"bogus": 1}, f"{full} got an unexpected keyword argument 'bogus'"))
    cases.append(((), {params[0].upper(): 1}, f"{full} got an unexpected keyword argument '{params[0].upper()}'"))
    # The first offending keyword, in the order given, decides.
    cases.append(((valid[0],), {params[0]: valid[0], "bogus": 1},
                  f"{full} got multiple values for argument '{params[0]}'"))
    cases.append(((valid[0],), {"bogus": 1, params[0]: valid[0]},
                  f"{full} got an unexpected keyword argument 'bogus'"))
    # Missing arguments: every prefix given by position ...
    for given in range(k):
        cases.append((tuple(valid[:given]), {}, missing_message(full, params[given:])))
    # ... and every single parameter given by keyword alone.
    if k > 1:
        for i in range(k):
            rest = [p for j, p in enumerate(params) if j != i]
            cases.append(((), {params[i]: valid[i]}, missing_message(full, rest)))
    return cases


ALL_CASES = [(full, f, args, kwargs, msg) for full, f, params, valid in CALLABLES
             for args, kwargs, msg in parse_cases(full, params, valid)]


@pytest.mark.parametrize("full, f, args, kwargs, message", ALL_CASES,
                         ids=[f"{c[0]}:{c[4].split(c[0], 1)[1].strip()}" for c in ALL_CASES])
def test_argument_parsing_messages(full, f, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("call, message", [
    (lambda: Gate.rz(0), "Gate.rz() missing 1 required positional argument: 'theta'"),
    (lambda: Gate.crz(), "Gate.crz() missing 3 required positional arguments: 'control', 'target', and 'theta'"),
    (lambda: Gate.cnot(), "Gate.cnot() missing 2 required positional arguments: 'control' and 'target'"),
    (lambda: Circuit(), "Circuit.__new__() missing 1 required positional argument: 'gates'"),
    (lambda: Gate.x(1, 2), "Gate.x() takes 1 positional arguments but 2 were given"),
    (lambda: Gate.x(1, target=2), "Gate.x() got multiple values for argument 'target'"),
    (lambda: Gate.x(tgt=1), "Gate.x() got an unexpected keyword argument 'tgt'"),
    (lambda: Circuit([]).run(), "Circuit.run() missing 1 required positional argument: 'num_qubits'"),
    (lambda: Circuit([], []), "Circuit.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: Circuit(gates=[], extra=1), "Circuit.__new__() got an unexpected keyword argument 'extra'"),
])
def test_documented_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    # Parsing comes before any conversion: the bad value is never looked at.
    (lambda: Gate.x(1.5, bogus=1), "Gate.x() got an unexpected keyword argument 'bogus'"),
    (lambda: Gate.rz("bad"), "Gate.rz() missing 1 required positional argument: 'theta'"),
    (lambda: Gate.crz(-1, 0), "Gate.crz() missing 1 required positional argument: 'theta'"),
    (lambda: Circuit((1, 2), extra=1), "Circuit.__new__() got an unexpected keyword argument 'extra'"),
    (lambda: Circuit([]).run(-1, 2), "Circuit.run() takes 1 positional arguments but 2 were given"),
])
def test_parsing_precedes_conversion(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_run_receiver_must_be_a_circuit():
    with pytest.raises(TypeError):
        Circuit.run(Gate.x(0), 1)


def test_set_num_threads_parsing_messages():
    # In a child: a wrongly accepted call would build the process's pool.
    res = run_child("""
        import vastrel
        f = vastrel.set_num_threads
        out = []
        for args, kwargs in [((), {}), ((1, 2), {}), ((1, 2, 3), {}), ((1,), {"num_threads": 1}),
                             ((), {"threads": 1}), ((), {"n": 1, "num_threads": 2}),
                             ((), {"num_threads": 2, "n": 1}), ((2.5,), {"bogus": 1})]:
            try:
                f(*args, **kwargs)
                out.append(None)
            except TypeError as e:
                out.append([type(e).__name__, str(e)])
        import sys
        sys.stdout.flush()
        f(2)
        report(out=out)
    """)
    assert res.data["out"] == [
        ["TypeError", "set_num_threads() missing 1 required positional argument: 'num_threads'"],
        ["TypeError", "set_num_threads() takes 1 positional arguments but 2 were given"],
        ["TypeError", "set_num_threads() takes 1 positional arguments but 3 were given"],
        ["TypeError", "set_num_threads() got multiple values for argument 'num_threads'"],
        ["TypeError", "set_num_threads() got an unexpected keyword argument 'threads'"],
        ["TypeError", "set_num_threads() got an unexpected keyword argument 'n'"],
        ["TypeError", "set_num_threads() got an unexpected keyword argument 'n'"],
        ["TypeError", "set_num_threads() got an unexpected keyword argument 'bogus'"],
    ]
    # None of the refused calls touched the pool.
    assert res.stdout == b"Using 2 threads\n"


# --- the panic exception ----------------------------------------------------

def test_panic_exception_class():
    e = panic_of(lambda: Circuit([]).run(64))
    cls = type(e)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__mro__ == (cls, BaseException, object)
    assert not issubclass(cls, Exception)
    assert e.args == ("too many qubits",)
    assert str(e) == "too many qubits"


def test_panic_exception_doc():
    doc = panic_class().__doc__
    assert doc.endswith("\n")
    lines = doc[:-1].split("\n")
    assert len(lines) == 5
    assert lines[1] == ""
    assert all(line for i, line in enumerate(lines) if i != 1)
    assert "BaseException" in doc and "SystemExit" in doc and "panic" in doc


def test_every_panic_has_the_same_class():
    first = panic_class()
    others = [
        panic_of(lambda: Circuit([]).run(60)),
        panic_of(lambda: Circuit([Gate.h(3)]).run(3)),
        panic_of(lambda: Circuit([Gate.x(63)]).run(1)),
        panic_of(lambda: Circuit([5])),
    ]
    assert all(type(e) is first for e in others)


def test_panic_exception_is_not_importable():
    assert "pyo3_runtime" not in sys.modules
    with pytest.raises(ImportError):
        import pyo3_runtime  # noqa: F401


def test_except_exception_does_not_catch_a_panic():
    caught_by = None
    try:
        try:
            Circuit([]).run(64)
        except Exception:  # noqa: BLE001
            caught_by = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught_by = type(e).__name__
    assert caught_by == "PanicException"


def test_panic_report_precedes_the_traceback():
    res = run_child("""
        import vastrel
        c = vastrel.Circuit([])
        report(started=True)
        c.run(64)
    """, check=False)
    assert res.returncode == 1
    err = res.stderr
    assert "too many qubits" in err
    tb = err.index("Traceback (most recent call last):")
    assert err.index("too many qubits") < tb
    assert err.rstrip("\n").splitlines()[-1] == "pyo3_runtime.PanicException: too many qubits"
    assert res.stdout == b""


def test_caught_panic_is_still_reported_on_stderr():
    res = run_child("""
        import vastrel
        try:
            vastrel.Circuit([vastrel.Gate.h(3)]).run(3)
        except BaseException as e:
            report(message=str(e))
    """)
    msg = "index out of bounds: the len is 8 but the index is 8"
    assert res.data == {"message": msg}
    assert msg in res.stderr
    assert "Traceback" not in res.stderr


RESUME_BANNER = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
                 "Python stack trace below:\n")


def test_panic_raised_by_python_code_is_resumed():
    res = run_child("""
        import vastrel
        from vastrel import Gate, Circuit
        P = type(panic_of(lambda: Circuit([]).run(64)))

        class Boom:
            def __init__(self, exc):
                self.exc = exc
            def __index__(self):
                raise self.exc
            def __float__(self):
                raise self.exc

        out = []
        for name, call in [
            ("target", lambda b: Gate.x(b)),
            ("theta", lambda b: Gate.rz(0, b)),
            ("num_qubits", lambda b: Circuit([]).run(b)),
            ("num_threads", lambda b: vastrel.set_num_threads(b)),
        ]:
            original = P("boom " + name)
            _sys.stderr.write("<<" + name + ">>\\n")
            _sys.stderr.flush()
            e = panic_of(lambda: call(Boom(original)))
            out.append([type(e) is P, e is original, str(e)])

        class Unprintable:
            def __str__(self):
                raise ValueError("no text")
        e = panic_of(lambda: Gate.x(Boom(P(Unprintable()))))
        out.append([type(e) is P, False, str(e)])

        class SubPanic(P):
            pass
        sub = SubPanic("not exactly")
        e = panic_of(lambda: Gate.x(Boom(sub)))
        out.append([type(e) is SubPanic, e is sub, str(e)])
        report(out=out)
    """)
    assert res.data["out"] == [
        [True, False, "boom target"],
        [True, False, "boom theta"],
        [True, False, "boom num_qubits"],
        [True, False, "boom num_threads"],
        [True, False, "Unwrapped panic from Python code"],
        [True, True, "not exactly"],
    ]
    err = res.stderr
    for name in ("target", "theta", "num_qubits", "num_threads"):
        section = err.split(f"<<{name}>>\n", 1)[1]
        assert section.startswith(RESUME_BANNER)
        rest = section[len(RESUME_BANNER):]
        assert rest.startswith("Traceback (most recent call last):\n")
        assert f"pyo3_runtime.PanicException: boom {name}\n" in rest.split("<<", 1)[0]
    assert res.stdout == b""
