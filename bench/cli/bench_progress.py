"""What the progress display costs a run: 10,000 jobs through the scheduler
with an executor that finishes each job at once (so that nothing but the
scheduler, the catalog and the display is measured), printing the live
terminal line, or the plain per-job lines, against printing nothing.

    python bench/cli/bench_progress.py [--repeat N] [--jobs N] [--json FILE|-]

The display writes to /dev/null: the cost measured is ours (formatting,
throttling, system calls), not the terminal's. Sealing a finished job's
files (their sync) is left out alike on both sides: the disk would only
add noise to what is measured.
"""

from __future__ import annotations

import json
import os
import statistics
import tempfile
import time
from concurrent.futures import Future

from orvan.cli.run import jobfiles
from orvan.catalog import PENDING, Catalog
from orvan.cli.inspect.discovery import parse_report
from orvan.cli.run.executors import Executor, Outcome, WorkerTask
from orvan.cli.plan.graph import build_graph
from orvan.cli.plan.jobs import Plan, build_plan
from orvan.cli.report import Progress
from orvan.cli.run.scheduler import Scheduler

from figures import arguments, write_figures

# The plain display writes two lines for every job by design; its share is
# measured against a scheduler whose jobs take no time at all.
GOALS = {"live": 1.05, "plain": 1.10, "live alone": 0.05, "plain alone": 0.10}


class Instant(Executor):
    slots = 8

    def submit(self, task: WorkerTask) -> Future[Outcome]:
        future: Future[Outcome] = Future()
        future.set_result(Outcome(True))
        return future

    def shutdown(self, *, cancel: bool) -> None:
        pass


def record(function: str, partitions: list[str], inputs: dict[str, str] | None) -> dict[str, object]:
    source = f"def {function}(): pass\n"
    return {
        "decorator_metadata": {"inputs": inputs, "kind": "asset", "name": None, "serializer": None,
                               "partitions": {"k": {"kind": "inline", "values_json": json.dumps(partitions)}}},
        "file_path": "/src/bench.py", "function_name": function, "function_source": source, "kind": "asset",
        "module_path": "bench", "module_source": source, "python_version": "3.13.0", "return_type": None,
    }


def plan_of(jobs: int) -> Plan:
    keys = [f"p{i:05d}" for i in range(jobs // 2)]
    records = [record("first", keys, None), record("second", keys, {"f": "bench.first"})]
    return build_plan(build_graph(parse_report({"assets": records})))


def time_run(plan: Plan, mode: str) -> float:
    with tempfile.TemporaryDirectory(prefix="orvan-bench-progress-") as out, open(os.devnull, "w") as sink:
        catalog = Catalog.in_dir(out)
        run = catalog.start_run(["bench"], [])
        jobs = list(plan.jobs.values())
        rows = catalog.add_jobs(run, [(j.key, j.id[1], j.fingerprint, PENDING, None) for j in jobs])
        progress = Progress(len(jobs), 0, sink, live=mode == "live", quiet=mode == "none", width=120)
        scheduler = Scheduler(
            plan, [j.id for j in jobs], catalog=catalog, row_ids={j.id: r for j, r in zip(jobs, rows)},
            executor=Instant(), out_dir=out, timeout=None, progress=progress,
            prepare=lambda out_dir, plan, job, timeout, reader: WorkerTask(job.label, "bench", job.asset.record.function,
                                                                   out_dir, None, os.devnull, timeout),
        )
        t0 = time.perf_counter()
        scheduler.run()
        elapsed = time.perf_counter() - t0
        catalog.close()
    return elapsed


def time_display_alone(jobs: int, live: bool) -> float:
    """The display's own calls for `jobs` jobs, without a scheduler."""
    with open(os.devnull, "w") as sink:
        progress = Progress(jobs, 0, sink, live=live, width=120)
        labels = [f"bench.second[k=p{i:05d}]" for i in range(jobs)]
        t0 = time.perf_counter()
        for label in labels:
            progress.started(label, None)
            progress.finished_job(label, "done", None, 0.01, None)
            progress.tick()
        progress.close()
        return time.perf_counter() - t0


def main() -> None:
    jobfiles.seal = lambda directory, serializer=None: jobfiles.Sealed(0, "", ())  # no values are written: see above
    parser = arguments(__doc__, 3)
    parser.add_argument("--jobs", type=int, default=10_000)
    args = parser.parse_args()
    plan = plan_of(args.jobs)
    times: dict[str, list[float]] = {"none": [], "live": [], "plain": []}
    for i in range(args.repeat):
        # Rotate the order, so that drift in the machine's load falls on all alike.
        order = list(times)[i % 3:] + list(times)[:i % 3]
        for mode in order:
            times[mode].append(time_run(plan, mode))
    base = statistics.median(times["none"])
    print(f"{args.jobs} jobs through the scheduler, instant executor, median of {args.repeat}")
    figures = []
    for mode in ("live", "plain"):
        t = statistics.median(times[mode])
        print(f"  {mode:5} progress: {t:.3f} s against {base:.3f} s printing nothing: ratio {t / base:.3f} "
              f"({1e6 * (t - base) / args.jobs:+.1f} us/job; goal <= {GOALS[mode]})")
        figures.append({"name": f"scheduler, {args.jobs} jobs, {mode} progress", "ours": round(t, 4),
                        "baseline": round(base, 4), "unit": "s", "ratio": round(t / base, 4), "goal": GOALS[mode]})
    for live in (True, False):
        t = statistics.median(time_display_alone(args.jobs, live) for _ in range(args.repeat))
        mode = "live" if live else "plain"
        goal = GOALS[f"{mode} alone"]
        print(f"  {mode:5} display alone: {t:.3f} s ({1e6 * t / args.jobs:.1f} us/job), "
              f"{100 * t / base:.1f}% of the run printing nothing (goal <= {100 * goal:.0f}%)")
        figures.append({"name": f"{mode} progress display alone, {args.jobs} jobs, share of the run",
                        "ours": round(t, 4), "baseline": round(base, 4), "unit": "s", "ratio": round(t / base, 4),
                        "goal": goal})
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
