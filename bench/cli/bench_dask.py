"""`orvan run` on a local Dask cluster against the local executor.

The 200-job pipeline of bench_run.py (100 trivial partitions, and a
downstream asset reading each of them) is materialised with
`--executor dask --scheduler local -j 2` and, in the same run of this script,
with the local executor and `-j 2`: one `python -m orvan.worker` process per
job on both sides, so the ratio is what Dask adds. The dask side includes
starting and closing its cluster; that cost is also reported on its own, as
the difference between the two executors on a run of one job (a run that
finds every job fresh starts no cluster). The ratio against the local fork
server, orvan's default, is printed for information.

    python bench/cli/bench_dask.py [--repeat N] [--json FILE|-]

Run it with the interpreter that has orvan and its dask extra installed.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_run import PARTITIONS, PIPELINE, WORKERS  # noqa: E402

from figures import arguments, write_figures

GOAL = 1.3
DASK = ["--executor", "dask", "--scheduler", "local"]


def local_flags() -> list[str]:
    """The local executor, one process per job, however this version names it."""
    help_text = subprocess.run([sys.executable, "-m", "orvan", "run", "--help"], capture_output=True, text=True).stdout
    return ["--isolation", "spawn"] if "--isolation" in help_text else []


# One job, run again: what a run costs besides its jobs.
ONE_JOB = ["--select", "benchpipe.first", "--partition", "key=k000", "--force"]


def time_run(project: str, out: str, flags: list[str]) -> float:
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "orvan", "run", "benchpipe", "-j", str(WORKERS), "--out", out, *flags],
                          cwd=project, capture_output=True, text=True)
    elapsed = time.perf_counter() - t0
    if proc.returncode != 0:
        sys.exit(f"orvan run {' '.join(flags)} failed:\n{proc.stdout}\n{proc.stderr}")
    return elapsed


def measure(project: str, repeat: int, local: list[str]) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {"dask": [], "local": [], "fork": [], "dask one job": [], "local one job": []}
    for i in range(repeat):
        sides = [("dask", DASK), ("local", local), ("fork", [])]
        # Alternate which goes first, so that drift in the machine's load
        # falls on both alike.
        for name, flags in sides if i % 2 == 0 else reversed(sides):
            out = os.path.join(project, f"{name}-{i}")
            times[name].append(time_run(project, out, flags))
            if name != "fork":
                times[f"{name} one job"].append(time_run(project, out, flags + ONE_JOB))
    return times


def main() -> None:
    parser = arguments(__doc__, 3)
    args = parser.parse_args()

    local = local_flags()
    with tempfile.TemporaryDirectory(prefix="orvan-bench-dask-") as project:
        with open(os.path.join(project, "benchpipe.py"), "w") as f:
            f.write(PIPELINE)
        times = measure(project, args.repeat, local)

    m = {name: statistics.median(t) for name, t in times.items()}
    jobs = 2 * PARTITIONS
    print(f"{jobs} jobs, -j {WORKERS}, median of {args.repeat}; local executor: orvan run {' '.join(local)}".rstrip())
    for name, t in times.items():
        print(f"  {name + ':':<14} {m[name]:7.3f} s   runs: {', '.join(f'{x:.3f}' for x in t)}")
    print(f"  ratio dask/local: {m['dask'] / m['local']:.3f} (goal <= {GOAL})")
    startup = m["dask one job"] - m["local one job"]
    print(f"  cluster start-up and close (one-job runs, dask - local): {startup:.3f} s")
    print(f"  ratio without it: {(m['dask'] - startup) / m['local']:.3f}")
    print(f"  ratio dask/fork server (for information): {m['dask'] / m['fork']:.3f}")
    figures = [{"name": f"orvan run --executor dask --scheduler local, {jobs} trivial jobs, -j {WORKERS}",
                "ours": round(m["dask"], 4), "baseline": round(m["local"], 4), "unit": "s",
                "ratio": round(m["dask"] / m["local"], 4), "goal": GOAL}]
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
