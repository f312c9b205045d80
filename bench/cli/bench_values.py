"""Passing a DataFrame from one asset to the next.

A 1,000,000-row, 8-column DataFrame made by one asset and read by the next,
stored as Parquet (`serializer="parquet"`), against the floor: one fresh
process that imports pandas, makes the same frame, writes it with
`df.to_parquet` and reads it back with `pd.read_parquet`. Ours is the two
jobs' own time as the catalog records it (each job is a process of its own
that imports pandas, which the floor pays once); the run's inspection is
left out, since it is the same whatever the value. The same frame passed as
JSON records is measured for comparison.

    python bench/cli/bench_values.py [--repeat N] [--rows N] [--json FILE|-]
"""

from __future__ import annotations

import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

from figures import arguments, write_figures

GOAL = 1.3

MAKE = """\
import numpy as np
import pandas as pd


def make_frame(rows):
    rng = np.random.default_rng(7)
    data = {f"f{i}": rng.standard_normal(rows) for i in range(6)}
    data["n"] = np.arange(rows, dtype=np.int64)
    data["k"] = rng.integers(0, 1000, rows)
    return pd.DataFrame(data)
"""

PIPELINE = MAKE + """
from orvan import asset

ROWS = __ROWS__


@asset(serializer="parquet")
def frame() -> pd.DataFrame:
    return make_frame(ROWS)


@asset(inputs={"df": frame})
def rows(df: pd.DataFrame) -> int:
    return len(df)


@asset()
def frame_records() -> list:
    return make_frame(ROWS).to_dict("records")


@asset(inputs={"records": frame_records})
def rows_records(records: list) -> int:
    return len(pd.DataFrame.from_records(records))
"""

FLOOR = MAKE + """
import sys, time
t0 = time.perf_counter()
df = make_frame(int(sys.argv[1]))
df.to_parquet(sys.argv[2], engine="pyarrow")
assert len(pd.read_parquet(sys.argv[2], engine="pyarrow")) == len(df)
"""


def jobs_seconds(out: str, keys: tuple[str, str]) -> float:
    db = sqlite3.connect(os.path.join(out, "catalog.sqlite"))
    try:
        rows = db.execute(
            "SELECT asset_key, ended_at - started_at FROM jobs WHERE run_id = (SELECT MAX(id) FROM runs)"
        ).fetchall()
    finally:
        db.close()
    took = {key: t for key, t in rows}
    return sum(took[k] for k in keys)


def time_orvan(project: str, out: str, select: tuple[str, str]) -> float:
    cmd = [sys.executable, "-m", "orvan", "run", "valpipe", "--out", out, "-j", "1", "--force", "--select", ",".join(f"valpipe.{k}" for k in select)]
    proc = subprocess.run(cmd, cwd=project, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"orvan run failed:\n{proc.stdout}\n{proc.stderr}")
    return jobs_seconds(out, tuple(f"valpipe.{k}" for k in select))  # type: ignore[arg-type]


def time_floor(project: str, rows: int) -> float:
    t0 = time.perf_counter()
    subprocess.run([sys.executable, "-c", FLOOR, str(rows), os.path.join(project, "floor.parquet")], check=True)
    return time.perf_counter() - t0


def figure(name: str, ours: float, floor: float, goal: str | None) -> dict[str, object]:
    return {"name": name, "ours": round(ours, 4), "baseline": round(floor, 4), "unit": "s",
            "ratio": round(ours / floor, 4), "goal": goal}


def main() -> None:
    parser = arguments(__doc__, 3)
    parser.add_argument("--rows", type=int, default=1_000_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="orvan-bench-values-") as project:
        with open(os.path.join(project, "valpipe.py"), "w") as f:
            f.write(textwrap.dedent(PIPELINE.replace("__ROWS__", str(args.rows))))
        out = os.path.join(project, "out")
        parquet, floor = [], []
        for _ in range(args.repeat):
            floor.append(time_floor(project, args.rows))
            parquet.append(time_orvan(project, out, ("frame", "rows")))
        records = time_orvan(project, out, ("frame_records", "rows_records"))
    p, b = statistics.median(parquet), statistics.median(floor)
    print(f"{args.rows} rows x 8 columns, median of {args.repeat}")
    print(f"  via parquet (two jobs):   {p:7.3f} s   runs: {', '.join(f'{x:.3f}' for x in parquet)}")
    print(f"  floor (one process):      {b:7.3f} s   runs: {', '.join(f'{x:.3f}' for x in floor)}")
    print(f"  via JSON records:         {records:7.3f} s")
    figures = [
        figure(f"DataFrame {args.rows:,} x 8 via parquet, two jobs", p, b, f"<={GOAL}"),
        figure(f"DataFrame {args.rows:,} x 8 via JSON records (for comparison)", records, b, None),
    ]
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
