"""The worker pool: set_num_threads, its one line on fd 1 and its errors, the
default size from the environment and the machine, and failed builds. Each
test runs in its own interpreter, because the pool is built once per process."""

import textwrap

import pytest

from helpers import index_conversion_error, run_child

ALREADY = "Failed to set number of threads: The global thread pool has already been initialized."

# Prepended to the children's code: NumPy loaded first so its import adds no
# threads between two counts, and a few small helpers.
SETUP = """
import os, time
import numpy
import vastrel
from vastrel import Circuit, Gate

def available():
    n = len(os.sched_getaffinity(0))
    try:
        with open("/sys/fs/cgroup/cpu.max") as f:
            quota, period = f.read().split()
        if quota != "max":
            n = min(n, max(1, int(quota) // int(period)))
    except (OSError, ValueError):
        pass
    return n

def settle():
    time.sleep(0.2)
    return num_os_threads()

def outcome(call):
    try:
        return ["ok", call()]
    except BaseException as e:
        return [type(e).__name__, str(e)]

BEFORE = num_os_threads()
"""


def child(code, env=None, **kw):
    return run_child(SETUP + textwrap.dedent(code), env=env, **kw)


def test_first_call_prints_on_fd1_and_starts_the_workers():
    res = child("""
        import contextlib, io
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            result = vastrel.set_num_threads(4)
        started = num_os_threads() - BEFORE
        report(none=result is None, python_stdout=buf.getvalue(), started=started,
               later=settle() - BEFORE)
    """)
    assert res.stdout == b"Using 4 threads\n"
    assert res.data == {"none": True, "python_stdout": "", "started": 4, "later": 4}


def test_line_is_not_held_back():
    res = child("""
        print("before", flush=True)
        vastrel.set_num_threads(2)
        report(done=True)
        os._exit(0)
    """)
    assert res.stdout == b"before\nUsing 2 threads\n"


@pytest.mark.parametrize("second", [1, 3, 4, 100000, True])
def test_second_call_is_refused_and_prints_nothing(second):
    res = child(f"""
        vastrel.set_num_threads(3)
        os.write(1, b"|")
        err = outcome(lambda: vastrel.set_num_threads({second!r}))
        report(err=err, threads=settle() - BEFORE,
               zero=outcome(lambda: vastrel.set_num_threads(0)),
               third=outcome(lambda: vastrel.set_num_threads(3)))
    """)
    assert res.stdout == b"Using 3 threads\n|"
    assert res.data == {
        "err": ["RuntimeError", ALREADY],
        "threads": 3,
        "zero": ["ValueError", "Number of threads must be greater than 0"],
        "third": ["RuntimeError", ALREADY],
    }


def test_running_gates_first_builds_the_pool():
    res = child("""
        Circuit([]).run(3)
        untouched = num_os_threads() - BEFORE
        Circuit([Gate.h(0)]).run(1)
        report(untouched=untouched, built=settle() - BEFORE, expected=available(),
               err=outcome(lambda: vastrel.set_num_threads(2)))
    """)
    assert res.stdout == b""
    assert res.data["untouched"] == 0
    assert res.data["built"] == res.data["expected"]
    assert res.data["err"] == ["RuntimeError", ALREADY]


@pytest.mark.parametrize("gates, n", [
    ("[Gate.h(3)]", 3),                   # stops with index out of bounds
    ("[Gate.cnot(0, 5)]", 2),             # changes nothing
    ("[Gate.crz(0, 7, 0.5)]", 2),         # changes nothing
    ("[Gate.cnot(1, 1)]", 2),             # changes nothing
])
def test_any_kernel_call_builds_the_pool(gates, n):
    # Even a gate that fails or has nothing to do asks the pool for its size.
    res = child(f"""
        try:
            Circuit({gates}).run({n})
        except BaseException:
            pass
        report(built=settle() - BEFORE, expected=available(),
               err=outcome(lambda: vastrel.set_num_threads(2)))
    """)
    assert res.data["built"] == res.data["expected"]
    assert res.data["err"] == ["RuntimeError", ALREADY]
    assert res.stdout == b""


def test_empty_circuit_first_leaves_the_pool_unbuilt():
    res = child("""
        for n in (0, 1, 5, 20):
            Circuit([]).run(n)
        gates = [Gate.h(0), Gate.x(1), Gate.rz(0, 1.0), Gate.crz(0, 1, 1.0), Gate.cnot(0, 1)]
        Circuit(gates)
        Circuit(gates * 10)
        unbuilt = num_os_threads() - BEFORE
        result = outcome(lambda: vastrel.set_num_threads(2))
        report(unbuilt=unbuilt, result=result, threads=settle() - BEFORE)
    """)
    assert res.stdout == b"Using 2 threads\n"
    assert res.data == {"unbuilt": 0, "result": ["ok", None], "threads": 2}


@pytest.mark.parametrize("bad, kind, message", [
    ("0", "ValueError", "Number of threads must be greater than 0"),
    ("False", "ValueError", "Number of threads must be greater than 0"),
    ("-1", "OverflowError", str(index_conversion_error(-1))),
    ("2**64", "OverflowError", str(index_conversion_error(2**64))),
    ("2.0", "TypeError", f"argument 'num_threads': {index_conversion_error(2.0)}"),
    ("'2'", "TypeError", f"argument 'num_threads': {index_conversion_error('2')}"),
    ("None", "TypeError", f"argument 'num_threads': {index_conversion_error(None)}"),
])
def test_refused_values_leave_the_pool_unbuilt(bad, kind, message):
    res = child(f"""
        err = outcome(lambda: vastrel.set_num_threads({bad}))
        unbuilt = num_os_threads() - BEFORE
        ok = outcome(lambda: vastrel.set_num_threads(2))
        report(err=err, unbuilt=unbuilt, ok=ok)
    """)
    assert res.data == {"err": [kind, message], "unbuilt": 0, "ok": ["ok", None]}
    assert res.stdout == b"Using 2 threads\n"


@pytest.mark.parametrize("call, line, count", [
    ("vastrel.set_num_threads(True)", b"Using 1 threads\n", 1),
    ("vastrel.set_num_threads(num_threads=3)", b"Using 3 threads\n", 3),
    ("vastrel.set_num_threads(numpy.int64(2))", b"Using 2 threads\n", 2),
    ("vastrel.set_num_threads(1)", b"Using 1 threads\n", 1),
])
def test_accepted_forms(call, line, count):
    res = child(f"""
        result = {call}
        report(none=result is None, threads=num_os_threads() - BEFORE)
    """)
    assert res.stdout == line
    assert res.data == {"none": True, "threads": count}


def test_pool_size_is_fixed_for_every_run():
    res = child("""
        vastrel.set_num_threads(3)
        c = Circuit([Gate.h(q) for q in range(18)] + [Gate.cnot(17, 0), Gate.crz(0, 17, 0.5)])
        for _ in range(3):
            c.run(18)
        report(threads=settle() - BEFORE)
    """)
    assert res.data == {"threads": 3}


# Default size: each child pins itself to one CPU first, so the machine's
# available parallelism (1) differs from every count set in the environment.
DEFAULT_POOL = """
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    Circuit([]).run(2)
    unbuilt = num_os_threads() - BEFORE
    Circuit([Gate.h(0), Gate.cnot(0, 1)]).run(2)
    report(unbuilt=unbuilt, threads=settle() - BEFORE, available=available(),
           err=outcome(lambda: vastrel.set_num_threads(1)))
"""


@pytest.mark.parametrize("env, expected", [
    ({}, "available"),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "2"}, 3),
    ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "007", "RAYON_RS_NUM_CPUS": "2"}, 7),
    ({"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "2"}, 1),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "2"}, "available"),
    ({"RAYON_NUM_THREADS": "0"}, "available"),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": " 3 ", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "3 ", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "3.0", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "0x3", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "++3", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "\udcff3", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "+2"}, 2),
    ({"RAYON_RS_NUM_CPUS": "0"}, "available"),
    ({"RAYON_RS_NUM_CPUS": "abc"}, "available"),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "-2"}, "available"),
], ids=lambda v: repr(v) if isinstance(v, dict) else str(v))
def test_default_pool_size_from_environment(env, expected):
    res = child(DEFAULT_POOL, env=env)
    data = res.data
    assert data["available"] == 1
    want = data["available"] if expected == "available" else expected
    assert data["unbuilt"] == 0
    assert data["threads"] == want
    assert data["err"] == ["RuntimeError", ALREADY]
    assert res.stdout == b""


def test_default_pool_uses_the_whole_affinity_mask():
    res = child("""
        Circuit([Gate.h(0)]).run(1)
        report(threads=settle() - BEFORE, available=available())
    """)
    assert res.data["threads"] == res.data["available"]


def test_environment_is_ignored_by_set_num_threads():
    res = child("""
        vastrel.set_num_threads(2)
        Circuit([Gate.h(0)]).run(1)
        report(threads=settle() - BEFORE)
    """, env={"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "4"})
    assert res.stdout == b"Using 2 threads\n"
    assert res.data == {"threads": 2}


# Thread creation made to fail: a cap on the address space leaves no room
# for the workers' stacks.
STARVE = """
    import errno, resource
    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    def starved(call):
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (24 << 20), hard))
        try:
            return outcome(call)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    os_errors = {f"{os.strerror(e)} (os error {e})" for e in (errno.EAGAIN, errno.ENOMEM)}
"""


def starve(code):
    return textwrap.dedent(STARVE) + textwrap.dedent(code)


def test_failed_explicit_build_leaves_no_pool():
    res = child(starve("""
        first = starved(lambda: vastrel.set_num_threads(16))
        prefix = "Failed to set number of threads: "
        report(kind=first[0], prefixed=first[1].startswith(prefix),
               os_error=first[1][len(prefix):] in os_errors, text=first[1],
               threads=settle() - BEFORE,
               again=outcome(lambda: vastrel.set_num_threads(2)),
               run=outcome(lambda: Circuit([Gate.h(0)]).run(1)),
               run_again=outcome(lambda: Circuit([Gate.x(0)]).run(1)),
               empty=outcome(lambda: Circuit([]).run(1).tolist() == [1 + 0j, 0j]))
    """))
    d = res.data
    assert (d["kind"], d["prefixed"], d["os_error"]) == ("RuntimeError", True, True), d["text"]
    assert d["threads"] == 0
    assert d["again"] == ["RuntimeError", ALREADY]
    for key in ("run", "run_again"):
        kind, message = d[key]
        assert kind == "PanicException"
        assert message.startswith("The global thread pool has not been initialized.: ")
    assert d["empty"] == ["ok", True]
    assert res.stdout == b""


def test_failed_default_build_fails_every_run():
    res = child(starve("""
        first = starved(lambda: Circuit([Gate.h(0)]).run(1))
        report(first=first, threads=settle() - BEFORE,
               later=outcome(lambda: Circuit([Gate.x(0)]).run(1)),
               explicit=outcome(lambda: vastrel.set_num_threads(2)))
    """), env={"RAYON_NUM_THREADS": "16"})
    d = res.data
    for key in ("first", "later"):
        kind, message = d[key]
        assert kind == "PanicException"
        assert message.startswith("The global thread pool has not been initialized.: ")
    assert d["threads"] == 0
    assert d["explicit"] == ["RuntimeError", ALREADY]


def test_failed_write_of_the_line_is_a_panic_and_the_pool_stays():
    res = child("""
        import errno
        os.close(1)
        err = outcome(lambda: vastrel.set_num_threads(2))
        report(err=err, bad_fd=os.strerror(errno.EBADF), threads=settle() - BEFORE,
               again=outcome(lambda: vastrel.set_num_threads(2)))
    """)
    d = res.data
    kind, message = d["err"]
    assert kind == "PanicException"
    assert message.startswith("failed printing to stdout: ")
    assert d["bad_fd"] in message
    assert d["threads"] == 2
    assert d["again"] == ["RuntimeError", ALREADY]
