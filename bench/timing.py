"""Timing helpers: one timed call with the collector quiet, medians, progress."""

import gc
import statistics
import sys
import time

_start = time.perf_counter()


def progress(message):
    """One line on stderr, stamped with the seconds since the harness began."""
    print(f"[{time.perf_counter() - _start:7.1f}s] {message}", file=sys.stderr, flush=True)


def timed(fn, *args):
    """(seconds, result) of one call. The garbage collector runs before the
    call, not during it, so no simulator pays for another's garbage."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn(*args)
        t1 = time.perf_counter()
    finally:
        gc.enable()
    return t1 - t0, result


def timed_loop(fn, count):
    """Seconds per call over `count` back-to-back calls (results dropped)."""
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(count):
            fn()
        t1 = time.perf_counter()
    finally:
        gc.enable()
    return (t1 - t0) / count


def median(values):
    return statistics.median(values) if values else None


def calibrate(fn, target_s, limit=100_000):
    """How many back-to-back calls of fn take about target_s seconds."""
    count = 1
    while True:
        per_call = timed_loop(fn, count)
        if per_call * count >= target_s / 4 or count >= limit:
            break
        count *= 4
    return max(1, min(limit, int(target_s / max(per_call, 1e-9))))
