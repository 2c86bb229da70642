"""Fork after the pool exists: the child's first kernel builds a fresh pool of
the parent's size (the parent's workers were not copied into it), the
build-once rule still holds there, and the parent is unaffected. Each case
runs in its own interpreter, with every wait bounded, so a child waiting on
workers that do not exist shows as a hang rather than stopping the suite."""

import pytest

from helpers import run_child

SCRIPT = """
import hashlib, multiprocessing, os, time, warnings
import numpy
import vastrel
from vastrel import Circuit, Gate

# Python warns that forking a threaded process is unsafe; here that is what
# is under test.
warnings.filterwarnings("ignore", category=DeprecationWarning, message=".*fork")
BEFORE = num_os_threads()

def outcome(call):
    try:
        return ["ok", call()]
    except BaseException as e:
        return [type(e).__name__, str(e)]

# Big enough that every gate is split over the workers.
c = Circuit([Gate.h(q) for q in range(17)] + [Gate.rz(16, 0.3), Gate.cnot(16, 0),
                                              Gate.crz(0, 16, 0.5), Gate.h(16)])
def digest():
    return hashlib.sha256(c.run(17).tobytes()).hexdigest()

def in_child():
    # The build-once rule must hold before the child's first kernel too.
    if REFUSE_FIRST:
        refused = outcome(lambda: vastrel.set_num_threads(2))
    before = num_os_threads()
    first = digest()
    started = num_os_threads() - before
    again = digest()
    if not REFUSE_FIRST:
        refused = outcome(lambda: vastrel.set_num_threads(2))
    # A grandchild of a rebuilt pool rebuilds its own in turn.
    pid = os.fork()
    if pid == 0:
        os._exit(0 if digest() == first else 3)
    grandchild = wait(pid)
    return {"digest": first, "stable": again == first, "started": started,
            "refused": refused, "grandchild": grandchild}

def wait(pid, limit=60):
    deadline = time.time() + limit
    while time.time() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hang"

def with_multiprocessing():
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(1) as pool:
        try:
            return pool.apply_async(in_child).get(timeout=60)
        except multiprocessing.TimeoutError:
            return "hang"

def with_os_fork():
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            data = json_dumps(in_child())
        except BaseException as e:
            data = json_dumps(repr(e))
        os.write(w, data.encode())
        os._exit(0)
    os.close(w)
    status = wait(pid)
    with os.fdopen(r) as f:
        text = f.read()
    return json_loads(text) if status == 0 else status

from json import dumps as json_dumps, loads as json_loads
"""

ALREADY = ["RuntimeError",
           "Failed to set number of threads: The global thread pool has already been initialized."]


@pytest.mark.parametrize("child_first", ["run", "set_num_threads"])
@pytest.mark.parametrize("fork", ["multiprocessing", "os.fork"])
@pytest.mark.parametrize("built_by", ["set_num_threads", "first run"])
def test_child_runs_on_a_fresh_pool_of_the_same_size(built_by, fork, child_first):
    build = "vastrel.set_num_threads(3)" if built_by == "set_num_threads" else "digest()"
    res = run_child(SCRIPT + f"""
REFUSE_FIRST = {child_first == "set_num_threads"}
{build}
parent = digest()
pool_threads = num_os_threads() - BEFORE
child = with_multiprocessing() if {fork!r} == "multiprocessing" else with_os_fork()
report(child=child, parent=parent, pool_threads=pool_threads, parent_after=digest() == parent,
       parent_threads=num_os_threads() - BEFORE,
       parent_refused=outcome(lambda: vastrel.set_num_threads(2)))
""", env={"RAYON_NUM_THREADS": "3"}, timeout=180)
    d = res.data
    assert d["child"] != "hang", "the child waited on workers that were not copied into it"
    assert d["child"] == {"digest": d["parent"], "stable": True, "started": 3,
                          "refused": ALREADY, "grandchild": 0}
    assert (d["pool_threads"], d["parent_threads"]) == (3, 3)
    assert d["parent_after"]
    assert d["parent_refused"] == ALREADY


def test_fork_before_any_pool_leaves_the_choice_to_the_child():
    # Nothing was built before the fork, so the child may still choose the
    # size, and so may the parent afterwards.
    res = run_child(SCRIPT + """
def choose():
    vastrel.set_num_threads(2)
    before = num_os_threads()
    return [digest(), num_os_threads() - before]
ctx = multiprocessing.get_context("fork")
with ctx.Pool(1) as pool:
    child = pool.apply_async(choose).get(timeout=60)
vastrel.set_num_threads(4)
report(child=child, parent=digest(), parent_threads=num_os_threads() - BEFORE)
""", timeout=180)
    d = res.data
    assert d["child"] == [d["parent"], 0]
    assert d["parent_threads"] == 4
