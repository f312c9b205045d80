"""The runner at scale, and what the fork server saves per job.

    python bench/cli/bench_scale.py [--repeat N] [--skip-100k-run] [--json FILE|-]

One trivial asset partitioned on two dimensions (A keys by B keys, so that
each job's import of the module builds A + B keys, not A * B) is run with
`orvan run -j 2`:

  overhead  1,000 jobs with the fork server against the same with
            `--isolation spawn`, alternating, the median of --repeat each
            (goal: ratio <= 0.15)
  10,000    10,000 jobs with the fork server, plan to summary: jobs per
            second against a budget of 200
  100,000   100,000 jobs: the plan (inspection, graph, plan: `load()`)
            against 3 s; then the whole run, whose peak RSS (the largest of
            the runner and the processes it waited for, from wait4) goes
            against 500 MB; then `orvan status` on the finished catalog
            against 3 s. --skip-100k-run keeps the plan figure only.

The overhead ratio and jobs per second are wall time. Plan and status are
CPU time (user + system, with the children they wait for), which other load
on a shared machine does not stretch; both times are printed.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time

from figures import arguments, write_figures

WORKERS = 2
OVERHEAD_GOAL = "<=0.15"
JOBS_PER_SECOND_BUDGET = 200.0
PLAN_BUDGET_S = 3.0
STATUS_BUDGET_S = 3.0
RSS_BUDGET_MB = 500.0

PIPELINE = """\
import os
from orvan import asset, partitions

A = int(os.environ["ORVAN_BENCH_A"])
B = int(os.environ["ORVAN_BENCH_B"])

@asset(partitions={"a": partitions([f"a{i:05d}" for i in range(A)]),
                   "b": partitions([f"b{i:04d}" for i in range(B)])})
def leaf(a, b):
    return a + b
"""

PLAN_TIMER = """\
import os, sys, time
t0 = time.perf_counter()
from orvan.cli.plan.pipeline import load

graph, plan = load(["scalepipe"], os.getcwd())
print(len(plan.jobs), time.perf_counter() - t0)
"""


def detail(text: str) -> None:
    print(text, flush=True)


def command(project: str, argv: list[str], shape: tuple[int, int]) -> tuple[float, float, float, str]:
    """Runs argv in the project; (wall s, CPU s with children, peak RSS MB, stdout)."""
    env = dict(os.environ, ORVAN_BENCH_A=str(shape[0]), ORVAN_BENCH_B=str(shape[1]))
    with tempfile.TemporaryFile() as out:
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=project, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - t0
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    if proc.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed ({proc.returncode}):\n{text[-3000:]}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, text


def orvan(project: str, out: str, shape: tuple[int, int], *extra: str) -> tuple[float, float, float, str]:
    argv = [sys.executable, "-m", "orvan", "run", "scalepipe", "-j", str(WORKERS), "--out", out, *extra]
    return command(project, argv, shape)


def figure(name: str, ours: float, baseline: float, unit: str, goal: str) -> dict[str, object]:
    return {"name": name, "ours": round(ours, 4), "baseline": round(baseline, 4), "unit": unit,
            "ratio": round(ours / baseline, 4), "goal": goal}


def overhead(project: str, repeat: int) -> list[dict[str, object]]:
    shape = (100, 10)
    times: dict[str, list[float]] = {"fork": [], "spawn": []}
    for i in range(repeat):
        order = ["fork", "spawn"] if i % 2 == 0 else ["spawn", "fork"]
        for isolation in order:
            wall, cpu, _, _ = orvan(project, os.path.join(project, f"o-{isolation}-{i}"), shape,
                                    "--isolation", isolation)
            times[isolation].append(wall)
            detail(f"  1,000 jobs, {isolation:5}: {wall:7.2f} s wall ({wall:.1f} ms/job), "
                   f"{cpu:6.2f} s CPU")
    fork, spawn = statistics.median(times["fork"]), statistics.median(times["spawn"])
    return [figure(f"1,000 trivial jobs -j {WORKERS}: fork server vs --isolation spawn", fork, spawn, "s",
                   OVERHEAD_GOAL)]


def ten_thousand(project: str) -> list[dict[str, object]]:
    wall, cpu, rss, _ = orvan(project, os.path.join(project, "o-10k"), (1000, 10))
    rate = 10_000 / wall
    detail(f"  10,000 jobs, fork: {wall:7.2f} s wall, {rate:.0f} jobs/s, {cpu:.2f} s CPU, peak RSS {rss:.0f} MB")
    return [figure(f"10,000 trivial jobs -j {WORKERS}, fork server: jobs/s vs {JOBS_PER_SECOND_BUDGET:g}",
                   rate, JOBS_PER_SECOND_BUDGET, "jobs/s", ">=1.0")]


def hundred_thousand(project: str, run: bool) -> list[dict[str, object]]:
    shape = (1000, 100)
    wall, cpu, rss, text = command(project, [sys.executable, "-c", PLAN_TIMER], shape)
    jobs, plan_s = text.split()
    detail(f"  100,000 jobs: plan {cpu:.2f} s CPU, {float(plan_s):.2f} s wall ({jobs} jobs; the process "
           f"{wall:.2f} s wall, {rss:.0f} MB)")
    figures = [figure(f"plan of 100,000 jobs, CPU vs {PLAN_BUDGET_S:g} s", cpu, PLAN_BUDGET_S, "s CPU", "<=1.0")]
    if not run:
        detail("  100,000-job run skipped: no status or peak RSS figures")
        return figures
    out = os.path.join(project, "o-100k")
    wall, cpu, rss, _ = orvan(project, out, shape)
    detail(f"  100,000 jobs run: {wall:.1f} s wall ({100_000 / wall:.0f} jobs/s), {cpu:.1f} s CPU, "
           f"peak RSS {rss:.0f} MB")
    figures.append(figure(f"runner peak RSS over 100,000 jobs vs {RSS_BUDGET_MB:g} MB", rss, RSS_BUDGET_MB,
                          "MB", "<=1.0"))
    argv = [sys.executable, "-m", "orvan", "status", "scalepipe", "--out", out]
    wall, cpu, rss, _ = command(project, argv, shape)
    detail(f"  status of 100,000 jobs: {wall:.2f} s wall, {cpu:.2f} s CPU, {rss:.0f} MB")
    figures.append(figure(f"status of 100,000 finished jobs, CPU vs {STATUS_BUDGET_S:g} s", cpu, STATUS_BUDGET_S,
                          "s CPU", "<=1.0"))
    for sub in (["history"], ["show", "scalepipe.leaf", "--partition", "a=a00007", "--partition", "b=b0003"]):
        wall, cpu, _, _ = command(project, [sys.executable, "-m", "orvan", *sub, "--out", out], shape)
        detail(f"  {sub[0]} after 100,000 jobs: {wall:.2f} s wall, {cpu:.2f} s CPU")
    return figures


def main() -> None:
    parser = arguments(__doc__, 1, "runs of each in the overhead pair")
    parser.add_argument("--skip-100k-run", action="store_true", help="plan the 100,000 jobs but do not run them")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="orvan-bench-scale-") as project:
        with open(os.path.join(project, "scalepipe.py"), "w") as f:
            f.write(PIPELINE)
        figures = overhead(project, args.repeat)
        figures += ten_thousand(project)
        figures += hundred_thousand(project, not args.skip_100k_run)
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
