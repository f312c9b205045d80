"""Shared pieces of the Python benchmarks: timing, figures, output.

Every benchmark compares our code with a baseline measured in the same process
run, alternating the two so that drift in the machine's load falls on both
alike, and keeps the median of the repetitions.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import sys
import time
from collections.abc import Callable


def cpu_seconds(work: Callable[[], object]) -> float:
    """Seconds of this thread's CPU time that `work()` takes.

    CPU time rather than wall time: on a shared machine other processes stretch
    wall time, but not this. The cyclic collector is off while timing, as in
    `timeit`, so that a collection that the previous run provoked does not land
    on whichever side happens to come next.
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.thread_time()
        work()
        return time.thread_time() - start
    finally:
        if enabled:
            gc.enable()


def interleaved(ours: Callable[[], float], baseline: Callable[[], float], repeat: int,
                min_seconds: float = 0.0) -> tuple[list[float], list[float]]:
    """Runs `ours` and `baseline` alternately (each returns its own timing).

    Stops after `repeat` pairs and at least `min_seconds` spent on each side; the
    pair's order flips every round so that neither always goes first.
    """
    a: list[float] = []
    b: list[float] = []
    i = 0
    while i < repeat or sum(a) < min_seconds or sum(b) < min_seconds:
        if i % 2 == 0:
            a.append(ours())
            b.append(baseline())
        else:
            b.append(baseline())
            a.append(ours())
        i += 1
    return a, b


def cpu_interleaved(ours: Callable[[], object], baseline: Callable[[], object], repeat: int,
                    calls: int = 1) -> tuple[list[float], list[float]]:
    """`interleaved` over the CPU seconds of each side's work, per call where
    the work makes `calls` of them."""
    return interleaved(lambda: cpu_seconds(ours) / calls, lambda: cpu_seconds(baseline) / calls, repeat)


def figure(name: str, ours: float, baseline: float, unit: str, goal: str) -> dict[str, object]:
    """One row of the results: `ratio` is ours / baseline, `goal` applies to it."""
    return {
        "name": name,
        "ours": round(ours, 6),
        "baseline": round(baseline, 6),
        "unit": unit,
        "ratio": round(ours / baseline, 4),
        "goal": goal,
    }


def median(values: list[float]) -> float:
    return statistics.median(values)


def spread(values: list[float]) -> str:
    """min / median / max, for the detail lines."""
    return f"{min(values):.4g} / {statistics.median(values):.4g} / {max(values):.4g}"


def detail(text: str) -> None:
    """A line of context on standard error (the harness shows it as it comes)."""
    print(text, file=sys.stderr, flush=True)


def emit(figures: list[dict[str, object]], path: str | None) -> None:
    """Writes the figures as a JSON list to `path` ('-' or None: standard output)."""
    text = json.dumps(figures, indent=2)
    if path in (None, "-"):
        print(text)
    else:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text + "\n")


def valgrind_instructions(argv: list[str], cwd: str | None = None,
                          env: dict[str, str] | None = None) -> int:
    """Instructions executed by the command under callgrind (no cache simulation).

    Deterministic up to address-space randomisation and hash seeds, so it shows
    a difference that wall or CPU time on a noisy machine cannot.
    """
    import subprocess
    import tempfile

    with tempfile.TemporaryDirectory(prefix="orvan-cg-") as tmp:
        out = os.path.join(tmp, "callgrind.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv],
            cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True,
        )
        if proc.returncode != 0:
            raise RuntimeError(f"callgrind run failed ({proc.returncode}): {' '.join(argv)}\n{proc.stderr[-2000:]}")
        with open(out, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("totals:") or line.startswith("summary:"):
                    return int(line.split()[1])
    raise RuntimeError("callgrind wrote no totals")


def options(doc: str | None, size: str, default: int, size_help: str, repeat: int,
            tenth: str) -> argparse.ArgumentParser:
    """The options of a benchmark whose figures come from `run`: its size (named
    `size`), the repetitions, --callgrind, --json and the hidden --child."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(f"--{size}", type=int, default=default, help=size_help)
    parser.add_argument("--repeat", type=int, default=repeat, help=f"timed runs of each side (default {repeat})")
    parser.add_argument("--callgrind", action="store_true",
                        help=f"also count instructions under callgrind (with a tenth of the {tenth})")
    parser.add_argument("--json", metavar="FILE", help="write the figures as JSON ('-' for standard output)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    return parser


def run(measure: Callable[[int, int], list[dict[str, object]]],
        instructions: Callable[[int], list[dict[str, object]]],
        size: int, repeat: int, callgrind: bool, path: str | None) -> None:
    """Writes the timed figures, and with `callgrind` the instruction counts
    of a tenth of the size, to `path` as `emit` does."""
    figures = measure(size, repeat)
    if callgrind:
        figures += instructions(max(1, size // 10))
    emit(figures, path)
