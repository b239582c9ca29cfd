"""Thousands of calls, returning or raising, leak no references, objects or memory."""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
import zandrel_cpp

START = ([0.0, 0.0, 3.0, 0.0, -4.0, 2.0], [5.0, 0.0, 12.0, 1.0], [8.0, 0.0, -9.0, 3.0])
CALLS = 4000  # per window: a leak of one object per call stands far above the limits

libc = ctypes.CDLL(None)
# under AddressSanitizer the heap is the sanitizer's, and it counts the bytes in use
ASAN = hasattr(libc, "__sanitizer_get_current_allocated_bytes")


class MallInfo2(ctypes.Structure):
    # glibc's struct mallinfo2: ten size_t counters
    _fields_ = [("counters", ctypes.c_size_t * 10)]


def heap_bytes():
    if ASAN:
        libc.__sanitizer_get_current_allocated_bytes.restype = ctypes.c_size_t
        return libc.__sanitizer_get_current_allocated_bytes()
    libc.mallinfo2.restype = MallInfo2
    counters = libc.mallinfo2().counters
    return counters[4] + counters[7]  # hblkhd (mapped chunks) + uordblks (heap in use)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def name(i):
    # built at run time: the caller's own object, not an interned constant
    return "".join(["particle_", str(i)])


class Unnamed:
    def __str__(self):
        raise LookupError("no name")


def workload(kind):
    """One call of the given kind, the exception it must raise, and the caller's objects."""
    env = zandrel_cpp.Environment()
    env.init(*START, 3, False, True, 1.0)
    env.reset()
    if kind == "reset":
        return env.reset, None, []
    if kind == "init":
        lists = [list(points) for points in START]
        return (lambda: env.init(*lists, 3, False, True, 1.0)), None, lists
    actions = {
        name(0): np.array([3.0, 4.0]),
        name(1): [0.5, -0.25],
        name(2): np.array([0.1, 0.9], dtype=np.float32),
    }
    nested = type("Nested", (str,), {"__str__": lambda _: env.reset()})(name(3))
    # one bad entry after the good ones, and the error it raises
    bad = {
        "step": (None, None, None),
        "bad key": ("particle_x", [1.0, 0.0], ValueError),
        "key out of range": (name(99999999999), [1.0, 0.0], IndexError),
        "short action": (name(3), np.array([1.0]), ValueError),
        "str raises": (Unnamed(), [1.0, 0.0], LookupError),
        "surrogate": (name(1) + "\ud800", [1.0, 0.0], UnicodeEncodeError),
        "not a number": (name(3), ["a", "b"], ValueError),
        "nested": (nested, [1.0, 0.0], RuntimeError),
        "before init": (None, None, RuntimeError),
    }
    key, value, error = bad[kind]
    if key is not None:
        actions[key] = value
    if kind == "before init":
        env = zandrel_cpp.Environment()
    return (lambda: env.step(actions)), error, [*actions, *actions.values()]


def window(call, error, calls):
    for _ in range(calls):
        if error is None:
            call()
            continue
        with pytest.raises(error):
            call()


KINDS = ["step", "reset", "init", "bad key", "key out of range", "short action", "str raises"]


@pytest.mark.parametrize("kind", [*KINDS, "surrogate", "not a number", "nested", "before init"])
def test_calls_leak_nothing(kind):
    call, error, watched = workload(kind)
    references = [sys.getrefcount(o) for o in watched]
    window(call, error, CALLS)  # warm-up: caches and free lists fill here
    gc.collect()
    before = len(gc.get_objects()), heap_bytes(), resident_bytes()
    tracemalloc.start()
    try:
        window(call, error, CALLS)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == references
    # limits far below one leaked object or vector per call
    assert len(gc.get_objects()) - before[0] < CALLS // 20
    assert traced < 16 * CALLS
    assert heap_bytes() - before[1] < 16 * CALLS
    if not ASAN:  # the sanitizer's quarantine holds on to freed memory for a while
        assert resident_bytes() - before[2] < 256 * CALLS
