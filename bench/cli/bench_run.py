"""Scheduler overhead of `orvan run`.

A 200-job pipeline of trivial assets (100 partitions, and a downstream asset
reading each of them) is materialised with `-j 2`, against the floor: the same
200 `python -m orvan.worker` processes started two at a time by a bare thread
pool, with their keyword arguments prepared in advance and no scheduler,
catalog or discovery at all.

    python bench/cli/bench_run.py [--repeat N] [--json FILE|-]

Run it with the interpreter that has orvan installed; figures.py says what
its JSON holds.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

from figures import arguments, write_figures

PARTITIONS = 100
WORKERS = 2
GOAL = 1.15

PIPELINE = f"""\
from orvan import asset, partitions

KEYS = partitions([f"k{{i:03d}}" for i in range({PARTITIONS})])

@asset(partitions={{"key": KEYS}})
def first(key):
    return key

@asset(inputs={{"f": first}}, partitions={{"key": KEYS}})
def second(f, key):
    return f + "!"
"""


def time_orvan(project: str, out: str) -> float:
    t0 = time.perf_counter()
    proc = subprocess.run(
        [sys.executable, "-m", "orvan", "run", "benchpipe", "-j", str(WORKERS), "--out", out],
        cwd=project, capture_output=True, text=True,
    )
    elapsed = time.perf_counter() - t0
    if proc.returncode != 0:
        sys.exit(f"orvan run failed:\n{proc.stdout}\n{proc.stderr}")
    return elapsed


def worker_jobs(project: str, out: str) -> list[list[str]]:
    """The 200 worker command lines, upstream jobs first, arguments in files."""
    jobs = []
    for function in ("first", "second"):
        for i in range(PARTITIONS):
            key = f"k{i:03d}"
            directory = os.path.join(out, function, f"key={key}")
            os.makedirs(directory)
            kwargs = {"key": key} if function == "first" else {"key": key, "f": key}
            path = os.path.join(directory, "kwargs.json")
            with open(path, "w") as f:
                json.dump(kwargs, f)
            jobs.append([sys.executable, "-m", "orvan.worker", "benchpipe", function, directory, "--kwargs-file", path])
    return jobs


def time_floor(project: str, out: str) -> float:
    jobs = worker_jobs(project, out)
    # The same import path the runner gives its workers.
    env = dict(os.environ)
    env["PYTHONPATH"] = project + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")

    def run(cmd: list[str]) -> int:
        # Each worker in its own session, as the runner starts them: on some
        # hosts that alone makes process start-up markedly cheaper, and the
        # floor must not be slower than the runner for a reason of its own.
        return subprocess.run(cmd, cwd=project, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True).returncode

    t0 = time.perf_counter()
    with ThreadPoolExecutor(WORKERS) as pool:
        codes = list(pool.map(run, jobs))
    elapsed = time.perf_counter() - t0
    if any(codes):
        sys.exit(f"{sum(1 for c in codes if c)} worker processes failed in the floor run")
    return elapsed


def main() -> None:
    parser = arguments(__doc__, 5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="orvan-bench-") as project:
        with open(os.path.join(project, "benchpipe.py"), "w") as f:
            f.write(textwrap.dedent(PIPELINE))
        ours: list[float] = []
        floor: list[float] = []
        for i in range(args.repeat):
            # Alternate which goes first, so that drift in the machine's load
            # (and whatever the first of a pair pays) falls on both alike.
            steps = [(floor, time_floor, f"floor-{i}"), (ours, time_orvan, f"out-{i}")]
            for times, measure, name in steps if i % 2 == 0 else reversed(steps):
                times.append(measure(project, os.path.join(project, name)))

    o, b = statistics.median(ours), statistics.median(floor)
    jobs = 2 * PARTITIONS
    print(f"{jobs} jobs, -j {WORKERS}, median of {args.repeat}")
    print(f"  orvan run:           {o:7.3f} s   ({1000 * o / jobs:.1f} ms/job)   runs: {', '.join(f'{x:.3f}' for x in ours)}")
    print(f"  bare worker floor:   {b:7.3f} s   ({1000 * b / jobs:.1f} ms/job)   runs: {', '.join(f'{x:.3f}' for x in floor)}")
    print(f"  ratio: {o / b:.3f} (goal <= {GOAL}); of the fastest runs: {min(ours) / min(floor):.3f}")
    figures = [{"name": f"orvan run, {jobs} trivial jobs, -j {WORKERS}", "ours": round(o, 4), "baseline": round(b, 4),
                "unit": "s", "ratio": round(o / b, 4), "goal": GOAL}]
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
