"""Measuring helpers for the leak tests, and scratch directories for the
hostile-input and thread tests. The cases themselves are in entry_cases.py."""

import contextlib
import ctypes
import functools
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import tracemalloc
from pathlib import Path

# scripts/asan.sh runs the suite against an instrumented build with
# PYTHONMALLOC=malloc: pymalloc's block count is then always 0, and the C heap
# belongs to the sanitizer's allocator.
SANITIZED = os.environ.get("ORVAN_SANITIZED") == "1"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _c_heap_reader():
    """Bytes in use on the C heap (glibc's mallinfo2), where C++ containers
    live; None where that cannot be read meaningfully."""
    if SANITIZED:
        return None
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []
    return lambda: mallinfo2().uordblks


c_heap_in_use = _c_heap_reader()


class Growth:
    """What one round of calls left behind."""

    def __init__(self, traced, blocks, c_heap):
        self.traced, self.blocks, self.c_heap = traced, blocks, c_heap

    def __repr__(self):
        return f"Growth(traced={self.traced} B, blocks={self.blocks}, c_heap={self.c_heap} B)"


def _settle():
    gc.collect()


def _heap():
    return c_heap_in_use() if c_heap_in_use else 0


def measure(call, iterations, watch=(), rounds=3, warmup=None):
    """Runs `call` `warmup` times, then `rounds` rounds of `iterations` calls
    each while tracemalloc, pymalloc's block count and the C heap are watched.
    Returns the growth of each round and the change in the reference count of
    each object in `watch` over all rounds ({index: change}, zeros left out)."""
    was_tracing = tracemalloc.is_tracing()
    if not was_tracing:
        tracemalloc.start()
    # What exists now is left out of every collection during the loops, so
    # that their cost does not grow with whatever earlier tests left alive.
    gc.collect()
    gc.freeze()
    try:
        # Warmed up under tracing: cache entries that later calls replace
        # were then traced when made, so replacing them shows no growth.
        for _ in range(warmup if warmup is not None else max(50, iterations // 4)):
            call()
        _settle()
        refs = [sys.getrefcount(obj) for obj in watch]
        growth = []
        for _ in range(rounds):
            traced, blocks, heap = (tracemalloc.get_traced_memory()[0],
                                    sys.getallocatedblocks(), _heap())
            for _ in range(iterations):
                call()
            _settle()
            growth.append(Growth(tracemalloc.get_traced_memory()[0] - traced,
                                 sys.getallocatedblocks() - blocks, _heap() - heap))
        after = [sys.getrefcount(obj) for obj in watch]
    finally:
        gc.unfreeze()
        if not was_tracing:
            tracemalloc.stop()
    changed = {i: a - b for i, (b, a) in enumerate(zip(refs, after)) if a != b}
    return growth, changed


def leak_limits(iterations):
    """Growth per round that counts as a leak. A leak grows every round by
    at least one object (16 bytes or more, one pymalloc block) per call; the
    interpreter's own caches and the occasional resize of one of its tables
    grow once, in one round."""
    return {"traced": max(16384, 12 * iterations), "blocks": max(64, iterations // 4),
            "c_heap": max(32768, 48 * iterations)}


def assert_no_leak(call, iterations=800, watch=(), rounds=3, warmup=None):
    """Each measure must stay below its limit in at least one round, and no
    reference count may change at all."""
    growth, refcounts = measure(call, iterations, watch, rounds, warmup)
    assert refcounts == {}, f"reference counts changed: {refcounts}"
    limits = leak_limits(iterations)
    if not SANITIZED:
        # The size bounds hold in the ordinary build, which `make test` runs.
        # Under the sanitizer build (Debug, PYTHONMALLOC=malloc) the traced
        # totals of some paths drift by a few dozen bytes per call late in a
        # full run, on paths that stay flat in isolation and in the ordinary
        # build, so there only the reference counts are checked.
        assert min(g.traced for g in growth) < limits["traced"], growth
        assert min(g.blocks for g in growth) < limits["blocks"], growth
    if c_heap_in_use is not None:
        assert min(g.c_heap for g in growth) < limits["c_heap"], growth
    return growth


@contextlib.contextmanager
def scratch_dir(fallback):
    """A directory for files written in loops: on tmpfs where there is one,
    as truncating files on a disk-backed file system costs a flush each."""
    shm = "/dev/shm"
    if not (os.path.isdir(shm) and os.access(shm, os.W_OK)):
        yield fallback
        return
    path = tempfile.mkdtemp(prefix="orvan-hardening-", dir=shm)
    try:
        yield Path(path)
    finally:
        shutil.rmtree(path, ignore_errors=True)


ROOT = Path(__file__).resolve().parent.parent


def isolated(test):
    """Runs the test in a pytest process of its own. For cases where a fault
    in the module (a use after free in a walk, a parser stack overrun) would
    crash the interpreter: the crash then fails this one test, rather than
    ending the whole run without a summary."""
    @functools.wraps(test)
    def run(*args, **kwargs):
        nodeid = os.environ["PYTEST_CURRENT_TEST"].rsplit(" ", 1)[0]
        if os.environ.get("ORVAN_ISOLATED") == nodeid:
            return test(*args, **kwargs)
        dev = ["-X", "dev"] if sys.flags.dev_mode else []
        # Hypothesis's plugin is most of pytest's start-up; no isolated test uses it.
        plugins = ["-p", "no:cacheprovider", "-p", "no:hypothesispytest"]
        result = subprocess.run(
            [sys.executable, *dev, "-P", "-m", "pytest", "-q", *plugins, nodeid],
            cwd=ROOT, env=dict(os.environ, ORVAN_ISOLATED=nodeid), capture_output=True,
            text=True, timeout=600)
        assert result.returncode == 0, (
            f"{nodeid} in its own process: exit status {result.returncode}\n"
            f"{result.stdout[-3000:]}\n{result.stderr[-3000:]}")
    return run
