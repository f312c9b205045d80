"""The catalog's back ends and its history, against their baselines.

  run      1,000 trivial jobs (`orvan run -j 2`, fork server) recording in a
           PostgreSQL catalog against the same in OUT/catalog.sqlite
  status   `orvan status` of a finished pipeline of 100,000 jobs (10,000
           with --quick) read from PostgreSQL against SQLite; also against
           3 s
  history  with 100 runs of 10,000 job rows each in the catalog (1,000,000
           rows; 100 of 1,000 with --quick), `orvan status` and an all-fresh
           `orvan run` against the same with the one run, in SQLite and in
           PostgreSQL. Each extra run's rows are attempts (as a forced rerun
           leaves), the worst case for finding each job's latest one. The
           latest attempts read by grouping the job rows (what the catalog
           did before the `latest` table) is shown beside, for the record.

    python bench/cli/bench_catalog.py [--quick] [--repeat N] [--json FILE|-]

PostgreSQL is the tests' server (tests/pg_server.py: initdb and pg_ctl of
Debian's postgresql package, as an unprivileged user when run as root),
started here with fsync on. Run it with the interpreter that has orvan and
its postgres extra installed (scripts/setup-venv.sh installs them).
"""

from __future__ import annotations

import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # run with -P
from figures import arguments, tests_on_path, write_figures

tests_on_path()
from pg_server import PgServer  # noqa: E402  (the tests' server, started the same way)

RUN_GOAL = 1.2
STATUS_GOAL = 1.5
STATUS_SECONDS = 3.0
HISTORY_GOAL = 1.2


def pipeline(jobs: int) -> str:
    return f"""\
from orvan import asset, partitions

@asset(partitions={{"k": partitions([f"k{{i:06d}}" for i in range({jobs})])}})
def one(k):
    return 1
"""


def orvan(project: str, *args: str, catalog: str | None = None, ok: tuple[int, ...] = (0,)) -> float:
    env = {k: v for k, v in os.environ.items() if k != "ORVAN_CATALOG"}
    if catalog:
        env["ORVAN_CATALOG"] = catalog
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "orvan", *args], cwd=project, capture_output=True, text=True,
                          env=env)
    elapsed = time.perf_counter() - t0
    if proc.returncode not in ok:
        sys.exit(f"orvan {' '.join(args)} failed:\n{proc.stdout[-2000:]}\n{proc.stderr[-2000:]}")
    return elapsed


def project_of(root: str, jobs: int) -> str:
    Path(root).mkdir(parents=True, exist_ok=True)
    Path(root, "bp.py").write_text(pipeline(jobs))
    return root


def median(values: list[float]) -> float:
    return statistics.median(values)


def bench_run(server: PgServer, tmp: str, repeat: int) -> tuple[float, float]:
    """1,000 jobs, each repeat in a new output directory (and namespace)."""
    project = project_of(os.path.join(tmp, "run"), 1000)
    pg, lite = [], []
    for i in range(repeat):
        lite.append(orvan(project, "run", "bp", "-j", "2", "--out", f"lite{i}"))
        pg.append(orvan(project, "run", "bp", "-j", "2", "--out", f"pg{i}", catalog=server.database()))
    return median(pg), median(lite)


def bench_status(server: PgServer, tmp: str, jobs: int, repeat: int) -> tuple[float, float]:
    project = project_of(os.path.join(tmp, "status"), jobs)
    orvan(project, "run", "bp", "-j", "2")
    url = server.database()
    orvan(project, "catalog", "copy", "--from", ".orvan/catalog.sqlite", "--to", url)
    orvan(project, "status", "bp")
    pg = [orvan(project, "status", "bp", catalog=url) for _ in range(repeat)]
    lite = [orvan(project, "status", "bp") for _ in range(repeat)]
    return median(pg), median(lite)


def grow_history(path: str, runs: int) -> None:
    """Copies of the one run's rows as `runs` more runs, each row an attempt
    with the same outcome, so that every job's latest attempt is among the
    newest rows of a long history."""
    db = sqlite3.connect(path)
    columns = ("asset_key, partition, fingerprint, status, started_at, ended_at, error, attempt, value_size,"
               " value_hash, input_hashes, parts")
    with db:
        first = db.execute("SELECT MIN(id) FROM runs").fetchone()[0]
        for _ in range(runs):
            run = db.execute("INSERT INTO runs (started_at, ended_at, status, modules, argv)"
                             " SELECT started_at, ended_at, status, modules, argv FROM runs WHERE id=?"
                             " RETURNING id", (first,)).fetchone()[0]
            db.execute(f"INSERT INTO jobs (run_id, {columns}) SELECT ?, {columns} FROM jobs WHERE run_id=?",
                       (run, first))
    db.close()


def timings(project: str, repeat: int, catalog: str | None) -> tuple[float, float]:
    # Untimed first: a catalog just grown or copied is cold (pages not yet
    # cached, a server still analysing what was loaded), which is not what
    # history costs a command.
    orvan(project, "status", "bp", catalog=catalog)
    status = [orvan(project, "status", "bp", catalog=catalog) for _ in range(repeat)]
    fresh = [orvan(project, "run", "bp", catalog=catalog) for _ in range(repeat)]
    return median(status), median(fresh)


def grouping_against_table(path: str, repeat: int) -> tuple[float, float]:
    """Seconds to read every job's latest attempt by grouping the job rows,
    and from the `latest` table."""
    from orvan.catalog.schema import ATTEMPT_STATUSES

    db = sqlite3.connect(path)
    by_group = (f"SELECT j.* FROM jobs j WHERE id IN (SELECT MAX(id) FROM jobs WHERE status IN ({ATTEMPT_STATUSES})"
                " GROUP BY asset_key, partition)")
    by_table = "SELECT j.* FROM latest l JOIN jobs j ON j.id = l.job_id"
    result = []
    for query in (by_group, by_table):
        times = []
        for _ in range(repeat):
            t0 = time.perf_counter()
            db.execute(query).fetchall()
            times.append(time.perf_counter() - t0)
        result.append(median(times))
    db.close()
    return result[0], result[1]


def bench_history(server: PgServer, tmp: str, jobs: int, runs: int, repeat: int) -> list[dict]:
    project = project_of(os.path.join(tmp, "history"), jobs)
    orvan(project, "run", "bp", "-j", "2")
    path = os.path.join(project, ".orvan", "catalog.sqlite")
    one_url, long_url = server.database(), server.database()
    orvan(project, "catalog", "copy", "--from", path, "--to", one_url)
    before = {"sqlite": timings(project, repeat, None), "postgresql": timings(project, repeat, one_url)}
    # The fresh runs just timed added runs of fresh rows; what counts is the
    # attempt rows the history is grown with.
    grow_history(path, runs - 1)
    rows = sqlite3.connect(path).execute("SELECT COUNT(*) FROM jobs").fetchone()[0]
    orvan(project, "catalog", "copy", "--from", path, "--to", long_url)
    after = {"sqlite": timings(project, repeat, None), "postgresql": timings(project, repeat, long_url)}
    grouped, table = grouping_against_table(path, repeat)
    figures = []
    for backend in ("sqlite", "postgresql"):
        for i, what in enumerate(("status", "fresh run")):
            figures.append({"name": f"{what}, {rows:,} job rows of history, {backend} (vs one run)",
                            "ours": after[backend][i], "baseline": before[backend][i], "unit": "s",
                            "goal": f"<={HISTORY_GOAL}"})
    figures.append({"name": f"latest attempts by grouping {rows:,} rows (vs the latest table), sqlite",
                    "ours": grouped, "baseline": table, "unit": "s", "goal": ""})
    return figures


def main() -> None:
    parser = arguments(__doc__, 3)
    parser.add_argument("--quick", action="store_true", help="10,000 jobs for status, 100,000 rows of history")
    args = parser.parse_args()
    status_jobs = 10_000 if args.quick else 100_000
    history_jobs = 1_000 if args.quick else 10_000
    server = PgServer(durable=True)
    try:
        with tempfile.TemporaryDirectory(prefix="orvan-bench-catalog-") as tmp:
            pg, lite = bench_run(server, tmp, args.repeat)
            print(f"run 1,000 jobs -j 2: postgresql {pg:.2f} s, sqlite {lite:.2f} s")
            figures = [{"name": "run 1,000 jobs -j 2, postgresql catalog (vs sqlite)", "ours": pg,
                        "baseline": lite, "unit": "s", "goal": f"<={RUN_GOAL}"}]
            pg, lite = bench_status(server, tmp, status_jobs, args.repeat)
            print(f"status of {status_jobs:,} jobs: postgresql {pg:.2f} s, sqlite {lite:.2f} s")
            figures += [{"name": f"status of {status_jobs:,} done jobs, postgresql (vs sqlite)", "ours": pg,
                         "baseline": lite, "unit": "s", "goal": f"<={STATUS_GOAL}"},
                        {"name": f"status of {status_jobs:,} done jobs, postgresql (vs {STATUS_SECONDS:g} s)",
                         "ours": pg, "baseline": STATUS_SECONDS, "unit": "s", "goal": "<=1"}]
            history = bench_history(server, tmp, history_jobs, 100, args.repeat)
            for figure in history:
                print(f"{figure['name']}: {figure['ours']:.3f} s against {figure['baseline']:.3f} s")
            figures += history
    finally:
        server.close()
    for figure in figures:
        figure["ratio"] = round(figure["ours"] / figure["baseline"], 4)
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
