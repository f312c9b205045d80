"""The authoring API at scale: orvan.testing's cost per job, and planning
10 years of hourly time partitions.

    python bench/cli/bench_authoring.py [--repeat N] [--years Y] [--json FILE|-]

  testing   `orvan.testing.materialize` over one upstream and 2,000 partitions
            of a downstream that reads it (trivial functions), in this
            process: orvan's own time per job (the whole call, planning and
            serializer round trips included, less calling the same functions
            directly with the same arguments) against its budget of 1 ms.
            The median of --repeat.
  hourly    `orvan status` with no catalog on one asset partitioned by
            `orvan.time.hourly` over Y years (10: 87,600 keys) times 10
            static keys (876,000 jobs): CPU time (user + system, with the
            inspection it waits for) against 10 s, and peak RSS against 2 GB.
            Standard output goes to /dev/null.
"""

from __future__ import annotations

import importlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

from figures import arguments, write_figures

TESTING_BUDGET_MS = 1.0
STATUS_BUDGET_S = 10.0
RSS_BUDGET_MB = 2048.0
PARTITIONS = 2000

TESTED = f"""\
from orvan import asset, partitions

@asset()
def base() -> list[int]:
    return [1, 2, 3]

@asset(inputs={{"data": base}}, partitions={{"k": partitions([f"k{{i}}" for i in range({PARTITIONS})])}})
def each(k: str, data: list[int]) -> dict[str, object]:
    return {{"k": k, "total": sum(data)}}
"""

HOURLY = """\
import os
from orvan import asset, partitions
from orvan.time import hourly

YEARS = int(os.environ["ORVAN_BENCH_YEARS"])

@asset(partitions={"hour": hourly("2015-01-01", f"{2015 + YEARS}-01-01", tz="Europe/Berlin"),
                   "source": partitions([f"s{i}" for i in range(10)])})
def reading(hour: str, source: str) -> int:
    return 1
"""


def figure(name: str, ours: float, baseline: float, unit: str, goal: str) -> dict[str, object]:
    return {"name": name, "ours": round(ours, 4), "baseline": round(baseline, 4), "unit": unit,
            "ratio": round(ours / baseline, 4), "goal": goal}


def direct(module: object) -> float:
    """The same calls with the same arguments, as a test without orvan would make them."""
    base = module.base.__orvan_original__  # type: ignore[attr-defined]
    each = module.each.__orvan_original__  # type: ignore[attr-defined]
    t0 = time.perf_counter()
    data = base()
    for i in range(PARTITIONS):
        each(k=f"k{i}", data=data)
    return time.perf_counter() - t0


def testing(project: str, repeat: int) -> list[dict[str, object]]:
    from orvan.testing import materialize

    with open(os.path.join(project, "tested.py"), "w") as f:
        f.write(TESTED)
    sys.path.insert(0, project)
    module = importlib.import_module("tested")
    jobs = PARTITIONS + 1
    materialize(module)  # imports, caches: what a test session pays once
    ours, base = [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = materialize(module)
        ours.append(time.perf_counter() - t0)
        base.append(direct(module))
        assert result.ok and len(result.values) == jobs
    whole, plain = statistics.median(ours), statistics.median(base)
    per_job = (whole - plain) / jobs * 1000
    print(f"  testing: materialize of {jobs:,} jobs {whole:.3f} s, direct calls {plain * 1000:.2f} ms: "
          f"{per_job:.3f} ms of orvan per job", flush=True)
    return [figure(f"orvan.testing per in-process job ({jobs:,} jobs), ms vs {TESTING_BUDGET_MS:g}",
                   per_job, TESTING_BUDGET_MS, "ms", "<=1.0")]


def hourly(project: str, years: int) -> list[dict[str, object]]:
    with open(os.path.join(project, "hourlypipe.py"), "w") as f:
        f.write(HOURLY)
    env = dict(os.environ, ORVAN_BENCH_YEARS=str(years))
    argv = [sys.executable, "-m", "orvan", "status", "hourlypipe", "--out", os.path.join(project, "out")]
    t0 = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=project, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    err = proc.stderr.read().decode("utf-8", "replace") if proc.stderr else ""
    code = os.waitstatus_to_exitcode(status)
    if code not in (0, 1):  # 1: not everything is fresh, as expected
        sys.exit(f"{' '.join(argv)} failed ({code}):\n{err[-3000:]}")
    cpu, rss = usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024
    jobs = years * 8760 * 10
    print(f"  hourly: status of about {jobs:,} jobs with no catalog: {cpu:.2f} s CPU, {wall:.2f} s wall, "
          f"peak RSS {rss:.0f} MB", flush=True)
    return [figure(f"status of {years} years hourly x 10 keys, no catalog: CPU s vs {STATUS_BUDGET_S:g}",
                   cpu, STATUS_BUDGET_S, "s CPU", "<=1.0"),
            figure(f"status of {years} years hourly x 10 keys: peak RSS MB vs {RSS_BUDGET_MB:g}",
                   rss, RSS_BUDGET_MB, "MB", "<=1.0")]


def main() -> None:
    parser = arguments(__doc__, 5, "materialize calls to take the median of")
    parser.add_argument("--years", type=int, default=10, help="years of hourly partitions (default 10)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="orvan-bench-authoring-") as project:
        figures = testing(project, args.repeat)
        figures += hourly(project, args.years)
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
