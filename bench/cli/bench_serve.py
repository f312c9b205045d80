"""`orvan serve`: how soon an edit starts its run, what a tick costs on a
large pipeline that is all fresh, and what serve costs while idle.

    python bench/cli/bench_serve.py [--repeat N] [--quick] [--json FILE|-]

  edit to run   a three-asset pipeline with an automation on change: the
                time from writing an edited module to the start of the run
                it causes (the run's `started_at` in the catalog), the median
                of --repeat edits, against 1 s; printed beside the plan
                alone (inspection, graph, plan: `load()`, in a fresh process)
  fresh tick    one asset partitioned A x B (100,000 jobs; 10,000 with
                --quick), run once so that all are fresh; then, on serve's
                test clock, the ticks of a cron automation selecting it,
                each timed from the clock's change to the tick's record,
                against `orvan status` on the same output directory (both
                wall time, the median of --repeat; goal: ratio <= 1.2)
  idle          serve with a cron automation not due and one on change,
                with a page's live connection (/events) open: its CPU time
                over 60 s (15 s with --quick) against 1% of one core, and the
                largest RSS seen, sampled every second, against 150 MB
"""

from __future__ import annotations

import os
import re
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

# The tick's pipeline is the scale benchmark's: one asset on two dimensions.
from bench_scale import PIPELINE as LARGE, detail
from figures import arguments, write_figures

EDIT_BUDGET_S = 1.0
TICK_GOAL = "<=1.2"
IDLE_CPU_BUDGET = 0.01
IDLE_RSS_BUDGET_MB = 150.0

SMALL = """\
from orvan import asset

@asset()
def a():
    return {n}

@asset(inputs={{"a": a}})
def b(a):
    return a + 1

@asset(inputs={{"b": b}})
def c(b):
    return b * 2
"""

PLAN_TIMER = """\
import os, time
t0 = time.perf_counter()
from orvan.cli.plan.pipeline import load

load(["benchpipe"], os.getcwd())
print(time.perf_counter() - t0)
"""


def figure(name: str, ours: float, baseline: float, unit: str, goal: str) -> dict[str, object]:
    return {"name": name, "ours": round(ours, 4), "baseline": round(baseline, 4), "unit": unit,
            "ratio": round(ours / baseline, 4), "goal": goal}


def project(root: str, source: str, automations: str) -> None:
    with open(os.path.join(root, "benchpipe.py"), "w") as f:
        f.write(source)
    with open(os.path.join(root, "pyproject.toml"), "w") as f:
        f.write('[tool.orvan]\nmodules = ["benchpipe"]\n\n' + automations)


class Serve:
    def __init__(self, root: str, env: dict[str, str]):
        self.root = root
        self.log = open(os.path.join(root, "serve.log"), "w+")
        self.proc = subprocess.Popen([sys.executable, "-m", "orvan", "serve", "--port", "0"], cwd=root, env=env,
                                     stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.port = int(self.wait(lambda: re.search(r"127\.0\.0\.1:(\d+)/", self.text()), "serve to listen").group(1))

    def text(self) -> str:
        with open(self.log.name) as f:
            return f.read()

    def wait(self, found, what: str, limit: float = 600):  # type: ignore[no-untyped-def]
        deadline = time.monotonic() + limit
        while not (result := found()):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                sys.exit(f"serve: gave up waiting for {what}:\n{self.text()[-3000:]}")
            time.sleep(0.005)
        return result

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=120)
        self.log.close()


def query(root: str, sql: str) -> list[tuple]:  # type: ignore[type-arg]
    try:
        db = sqlite3.connect(f"file:{os.path.join(root, '.orvan', 'catalog.sqlite')}?mode=ro", uri=True)
        try:
            return db.execute(sql).fetchall()
        finally:
            db.close()
    except sqlite3.Error:
        return []


def edit_to_run(root: str, repeat: int) -> list[dict[str, object]]:
    project(root, SMALL.format(n=0), "[tool.orvan.automations.dev]\non_change = true\n")
    plans = [float(subprocess.run([sys.executable, "-c", PLAN_TIMER], cwd=root, capture_output=True, text=True,
                                  check=True).stdout) for _ in range(repeat)]
    serve = Serve(root, dict(os.environ))
    serve.wait(lambda: query(root, "SELECT 1 FROM ticks WHERE outcome != 'running'"), "the first tick")
    latencies = []
    for n in range(1, repeat + 1):
        time.sleep(0.3)  # settled, as after a pause in typing
        before = query(root, "SELECT COUNT(*) FROM runs")[0][0]
        t0 = time.time()
        with open(os.path.join(root, "benchpipe.py"), "w") as f:
            f.write(SMALL.format(n=n))
        serve.wait(lambda: query(root, f"SELECT started_at FROM runs WHERE id > {before}"), "the run")
        latencies.append(query(root, f"SELECT started_at FROM runs WHERE id > {before}")[0][0] - t0)
        serve.wait(lambda: query(root, "SELECT 1 FROM runs WHERE ended_at IS NULL") == [], "the run to end")
    serve.stop()
    edit, plan = statistics.median(latencies), statistics.median(plans)
    detail(f"  edit to run start: median {edit * 1000:.0f} ms of {repeat} "
           f"(min {min(latencies) * 1000:.0f}, max {max(latencies) * 1000:.0f}); plan alone {plan * 1000:.0f} ms")
    return [figure(f"serve: edit to run start, median, vs {EDIT_BUDGET_S:g} s", edit, EDIT_BUDGET_S, "s", "<=1.0"),
            figure("serve: edit to run start vs the plan alone (for information)", edit, plan, "s", "")]


def fresh_tick(root: str, repeat: int, shape: tuple[int, int]) -> list[dict[str, object]]:
    jobs = shape[0] * shape[1]
    project(root, LARGE, '[tool.orvan.automations.tick]\ncron = "* * * * *"\n')
    env = dict(os.environ, ORVAN_BENCH_A=str(shape[0]), ORVAN_BENCH_B=str(shape[1]))
    t0 = time.perf_counter()
    subprocess.run([sys.executable, "-m", "orvan", "run", "-q", "-j", "2"], cwd=root, env=env, check=True,
                   stdout=subprocess.DEVNULL)
    detail(f"  {jobs:,} jobs run in {time.perf_counter() - t0:.0f} s")
    statuses = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-m", "orvan", "status"], cwd=root, env=env, check=True,
                       stdout=subprocess.DEVNULL)
        statuses.append(time.perf_counter() - t0)
    clock = os.path.join(root, "clock")
    minute = 1_800_000_000 - 1_800_000_000 % 60 + 30
    with open(clock, "w") as f:
        f.write(str(minute))
    serve = Serve(root, dict(env, ORVAN_SERVE_CLOCK=clock))
    ticks = []
    for n in range(1, repeat + 1):
        with open(clock + ".tmp", "w") as f:
            f.write(str(minute + 60 * n))
        t0 = time.perf_counter()
        os.replace(clock + ".tmp", clock)
        serve.wait(lambda: query(root, f"SELECT reason FROM ticks WHERE id = {n} AND outcome != 'running'"),
                   f"tick {n}")
        ticks.append(time.perf_counter() - t0)
    reasons = {r for (r,) in query(root, "SELECT reason FROM ticks")}
    serve.stop()
    if reasons != {"fresh"}:
        sys.exit(f"the ticks were not all fresh: {reasons}")
    tick, status = statistics.median(ticks), statistics.median(statuses)
    detail(f"  {jobs:,} fresh jobs: tick {tick:.2f} s, orvan status {status:.2f} s (medians of {repeat}, wall)")
    return [figure(f"serve: a tick over {jobs:,} fresh jobs vs orvan status", tick, status, "s", TICK_GOAL)]


def idle(root: str, seconds: float) -> list[dict[str, object]]:
    project(root, SMALL.format(n=0), '[tool.orvan.automations.yearly]\ncron = "0 0 1 1 *"\n\n'
                                     '[tool.orvan.automations.dev]\non_change = true\n')
    serve = Serve(root, dict(os.environ))
    serve.wait(lambda: query(root, "SELECT 1 FROM ticks WHERE outcome != 'running'"), "the first tick")
    time.sleep(2)
    page = socket.create_connection(("127.0.0.1", serve.port))
    page.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
    ticks_per_s = os.sysconf("SC_CLK_TCK")
    cpu0, rss, t0 = cpu_seconds(serve.proc.pid, ticks_per_s), 0.0, time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        time.sleep(1)
        rss = max(rss, rss_mb(serve.proc.pid))
    share = (cpu_seconds(serve.proc.pid, ticks_per_s) - cpu0) / (time.perf_counter() - t0)
    page.close()
    serve.stop()
    detail(f"  idle over {seconds:.0f} s with a page open: {share * 100:.2f}% of a core, largest RSS {rss:.0f} MB")
    return [figure(f"serve idle: CPU share over {seconds:.0f} s vs 1% of a core", share, IDLE_CPU_BUDGET, "share",
                   "<=1.0"),
            figure(f"serve idle: largest RSS vs {IDLE_RSS_BUDGET_MB:g} MB", rss, IDLE_RSS_BUDGET_MB, "MB", "<=1.0")]


def cpu_seconds(pid: int, ticks_per_s: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks_per_s  # utime, stime


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def main() -> None:
    parser = arguments(__doc__, 7, "edits and ticks timed")
    parser.add_argument("--quick", action="store_true", help="10,000 jobs for the tick, 15 s idle")
    args = parser.parse_args()
    figures = []
    with tempfile.TemporaryDirectory(prefix="orvan-bench-serve-") as root:
        figures += edit_to_run(root, args.repeat)
    with tempfile.TemporaryDirectory(prefix="orvan-bench-serve-") as root:
        figures += fresh_tick(root, args.repeat, (100, 100) if args.quick else (1000, 100))
    with tempfile.TemporaryDirectory(prefix="orvan-bench-serve-") as root:
        figures += idle(root, 15.0 if args.quick else 60.0)
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
