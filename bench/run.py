"""Every hot path of orvan against its baseline, in one run: `make bench`.

    python bench/run.py [--quick] [--callgrind] [--only NAME ...] [--out FILE] [--strict]

Runs the benchmarks below, each in its own process, prints one table (figure,
ours, baseline, ratio, goal) and writes the same figures as JSON to
bench/results.json: a list of {name, ours, baseline, unit, ratio, goal}, where
ratio = ours / baseline and goal (for example "<=1.3" or ">=1.0") applies to
the ratio; a figure with the goal "" is reported only.

  json        scripts/bench-json.sh --json: parse and compact write of canada,
              citm_catalog and twitter, MB/s against RapidJSON's DOM
  partitions  bench/py/bench_partitions.py: partitions() against a json.dumps
              loop, and __orvan_metadata__ against json.dumps(values)
  inspect     bench/py/bench_inspect.py: inspect_modules against a pure-Python
              implementation, and its growth with ten times the assets
  worker      bench/py/bench_worker.py: python -m orvan.worker against a bare
              python -c, with instruction counts; import orvan against 2 ms
  cli         bench/cli/bench_run.py: `orvan run -j 2` over 200 jobs against
              200 bare workers, two at a time
  incremental bench/cli/bench_incremental.py: 200 assets in 20 modules with 5
              helper modules; `orvan run` on an unchanged tree against the
              inspection alone, and the rerun after a one-line helper edit
              (the jobs it reran counted in the name) against a full run
  values      bench/cli/bench_values.py: a 1,000,000-row DataFrame passed
              between two assets as Parquet, against one process writing and
              reading it; the same via JSON records for comparison
  progress    bench/cli/bench_progress.py: 10,000 jobs through the scheduler
              with the live line or plain lines, against printing nothing
  ui          bench/ui/bench_ui.py: `orvan ui`'s asset page of 10,000 partitions
              and graph page of 1,000 assets against one SQL query reading
              the same catalog rows; the graph's layout against its 1 s budget
  ui-browser  bench/ui/bench_ui_browser.py: those pages and a 10,001-job run
              page in Chromium, to first paint, and one job's live update
              (page work, bytes), each against its goal
  scale       bench/cli/bench_scale.py: the fork server against spawned
              workers over 1,000 jobs; jobs/s over 10,000; plan, status and
              the runner's peak RSS at 100,000 (about ten minutes; --quick
              plans the 100,000 jobs without running them)
  authoring   bench/cli/bench_authoring.py: orvan.testing's own time per
              in-process job against 1 ms; `orvan status` with no catalog
              over 10 years of hourly partitions times 10 static keys
              (876,000 jobs) against 10 s CPU and 2 GB peak RSS
  warm        bench/cli/bench_warm.py: CPU per job with the fork server's
              warm imports against every job importing its module itself
              (warm_imports = false), on a 200-asset lattice and on 500
              trivial partitions with a fan-in
  dask        bench/cli/bench_dask.py: the same 200 jobs as cli on a local Dask
              cluster (`--executor dask --scheduler local -j 2`, its start-up
              included and also shown apart) against the local executor
  serve       bench/cli/bench_serve.py: `orvan serve`'s edit-to-run-start
              median against 1 s (the plan alone shown beside it); a tick
              over 100,000 fresh jobs (10,000 with --quick) against `orvan
              status`; idle CPU and RSS with a page open over 60 s (15 s
              with --quick) against 1% of a core and 150 MB
  catalog     bench/cli/bench_catalog.py: 1,000 jobs at -j 2 recording in
              PostgreSQL against SQLite; status of 100,000 done jobs (10,000
              with --quick) from PostgreSQL against SQLite and against 3 s;
              status and a fresh run over 1,000,000 job rows of history
              (100,000 with --quick) against one run, in both
  store       bench/cli/bench_store.py: a fan-in of 500 values fetched from a
              local S3 server (SeaweedFS) concurrently against sequential
              GETs; the 200 jobs of cli with --store s3:// against the
              output directory, both on the fork server

Run it with the interpreter that has orvan installed (scripts/bench.sh does).
A benchmark that fails is reported and the others still run; the exit status
is then 1. --strict also exits 1 when a figure misses its goal.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PY_BENCH = os.path.join(ROOT, "bench", "py")
KEYS = ("name", "ours", "baseline", "unit", "ratio", "goal")
Figure = dict[str, Any]


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def run(argv: list[str], capture: bool) -> str:
    """Runs a benchmark from a scratch directory (so that the source tree's
    `orvan` cannot shadow the installed one); its standard error is shown as it
    comes. Returns standard output if captured, else ''."""
    with tempfile.TemporaryDirectory(prefix="orvan-bench-run-") as cwd:
        proc = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE if capture else None, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"exit status {proc.returncode}: {' '.join(argv)}")
    return proc.stdout or ""


def normalise_goal(goal: object, default_op: str) -> str:
    """'<=1.3' and '>=1.0' pass through; a bare number gets `default_op`;
    None or '' (a figure reported for information) has no goal: ''."""
    if goal is None or goal == "":
        return ""
    if isinstance(goal, (int, float)):
        return f"{default_op}{goal:g}"
    text = str(goal).replace(" ", "")
    if re.fullmatch(r"(<=|>=)\d+(\.\d+)?", text):
        return text
    raise ValueError(f"goal {goal!r} is neither '<=X', '>=X' nor a number")


def checked(figures: object, default_op: str) -> list[Figure]:
    """Validates a list of figures, recomputing the ratio from ours and baseline."""
    if not isinstance(figures, list) or not figures:
        raise ValueError("expected a non-empty JSON list of figures")
    out = []
    for f in figures:
        if not isinstance(f, dict) or any(k not in f for k in KEYS):
            raise ValueError(f"figure without the keys {KEYS}: {f!r}")
        ours, baseline = float(f["ours"]), float(f["baseline"])
        out.append({"name": str(f["name"]), "ours": ours, "baseline": baseline, "unit": str(f["unit"]),
                    "ratio": round(ours / baseline, 4), "goal": normalise_goal(f["goal"], default_op)})
    return out


# ---- the benchmarks ------------------------------------------------------------

def bench_json(args: argparse.Namespace) -> list[Figure]:
    script = os.path.join(ROOT, "scripts", "bench-json.sh")
    text = run([script, "--json"], capture=True)
    try:
        return checked(json.loads(text), ">=")
    except ValueError as exc:
        log(f"  json-bench --json output unusable ({exc}); reading its table instead")
        return json_from_table(run([script], capture=True))


def json_from_table(text: str) -> list[Figure]:
    """Rows 'corpus op ours rapidjson ratio' of json-bench's plain output."""
    figures = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 5 and parts[1] in ("parse", "write"):
            ours, base = float(parts[2]), float(parts[3])
            figures.append({"name": f"json {parts[1]} {parts[0]}", "ours": ours, "baseline": base,
                            "unit": "MB/s", "ratio": round(ours / base, 4), "goal": ">=1.0"})
    if not figures:
        raise RuntimeError("json-bench printed no figures")
    return figures


def python_bench(script: str, extra: list[str]) -> list[Figure]:
    with tempfile.TemporaryDirectory(prefix="orvan-bench-out-") as tmp:
        out = os.path.join(tmp, "figures.json")
        run([sys.executable, os.path.join(PY_BENCH, script), "--json", out, *extra], capture=False)
        with open(out, encoding="utf-8") as f:
            return checked(json.load(f), "<=")


def bench_partitions(args: argparse.Namespace) -> list[Figure]:
    extra = ["--repeat", "5" if args.quick else "9"] + (["--callgrind"] if args.callgrind else [])
    return python_bench("bench_partitions.py", extra)


def bench_inspect(args: argparse.Namespace) -> list[Figure]:
    extra = ["--repeat", "3" if args.quick else "7"] + (["--callgrind"] if args.callgrind else [])
    return python_bench("bench_inspect.py", extra)


def bench_worker(args: argparse.Namespace) -> list[Figure]:
    extra = ["--repeat", "9" if args.quick else "21"]
    if shutil.which("valgrind") is None:
        log("  valgrind not found: no instruction counts for the worker")
        extra.append("--no-callgrind")
    return python_bench("bench_worker.py", extra)


def script_figures(path: str, extra: list[str]) -> tuple[list[Figure], str]:
    """Runs a benchmark script that writes its figures with --json; its
    figures and what it printed (shown as it goes)."""
    with tempfile.TemporaryDirectory(prefix="orvan-bench-out-") as tmp:
        out = os.path.join(tmp, "figures.json")
        text = run([sys.executable, os.path.join(ROOT, "bench", path), "--json", out, *extra], capture=True)
        for line in text.splitlines():
            log("  " + line)
        try:
            with open(out, encoding="utf-8") as f:
                return checked(json.load(f), "<="), text
        except (OSError, ValueError) as exc:
            raise RuntimeError(f"{path} --json unusable ({exc})") from exc


def repeat(args: argparse.Namespace, quick: int, full: int) -> list[str]:
    return ["--repeat", str(quick if args.quick else full)]


def bench_cli(args: argparse.Namespace) -> list[Figure]:
    try:
        return script_figures("cli/bench_run.py", repeat(args, 1, 3))[0]
    except RuntimeError as exc:
        log(f"  {exc}; reading its printed figures instead")
        return cli_from_text(run([sys.executable, os.path.join(ROOT, "bench", "cli", "bench_run.py"),
                                  *repeat(args, 1, 3)], capture=True))


def cli_from_text(text: str) -> list[Figure]:
    ours = re.search(r"orvan run:\s+([\d.]+) s", text)
    floor = re.search(r"bare worker floor:\s+([\d.]+) s", text)
    if not ours or not floor:
        raise RuntimeError("bench_run.py printed no figures")
    o, b = float(ours.group(1)), float(floor.group(1))
    return [{"name": "orvan run, 200 trivial jobs, -j 2", "ours": o, "baseline": b, "unit": "s",
             "ratio": round(o / b, 4), "goal": "<=1.15"}]


def scripted(path: str, quick: list[str], full: list[str]) -> Callable[[argparse.Namespace], list[Figure]]:
    """A benchmark script that writes its own figures, with its arguments
    for --quick and for the record."""
    return lambda args: script_figures(path, quick if args.quick else full)[0]


def repeats(script: str, quick: int, full: int) -> Callable[[argparse.Namespace], list[Figure]]:
    return scripted(script, ["--repeat", str(quick)], ["--repeat", str(full)])


BENCHMARKS: dict[str, Callable[[argparse.Namespace], list[Figure]]] = {
    "json": bench_json,
    "partitions": bench_partitions,
    "inspect": bench_inspect,
    "worker": bench_worker,
    "cli": bench_cli,
    "incremental": repeats("cli/bench_incremental.py", 3, 7),
    "values": repeats("cli/bench_values.py", 1, 3),
    "progress": repeats("cli/bench_progress.py", 1, 3),
    "ui": repeats("ui/bench_ui.py", 5, 15),
    "ui-browser": repeats("ui/bench_ui_browser.py", 3, 7),
    "scale": scripted("cli/bench_scale.py", ["--skip-100k-run"], ["--repeat", "3"]),
    "authoring": repeats("cli/bench_authoring.py", 3, 7),
    "warm": repeats("cli/bench_warm.py", 1, 3),
    "dask": repeats("cli/bench_dask.py", 1, 3),
    "serve": scripted("cli/bench_serve.py", ["--quick", "--repeat", "5"], ["--repeat", "7"]),
    "store": repeats("cli/bench_store.py", 1, 3),
    "catalog": scripted("cli/bench_catalog.py", ["--quick", "--repeat", "1"], ["--repeat", "3"]),
}


# ---- the table ---------------------------------------------------------------------

def meets(ratio: float, goal: str) -> bool:
    if not goal:
        return True
    limit = float(goal[2:])
    return ratio <= limit if goal.startswith("<=") else ratio >= limit


def number(x: float) -> str:
    if x == 0 or not math.isfinite(x):
        return str(x)
    digits = max(0, 3 - int(math.floor(math.log10(abs(x)))))
    return f"{x:,.{min(digits, 3)}f}"


def table(figures: list[Figure]) -> str:
    rows = [("figure", "ours", "baseline", "unit", "ratio", "goal", "")]
    for f in figures:
        ok = meets(float(f["ratio"]), str(f["goal"]))
        rows.append((str(f["name"]), number(float(f["ours"])), number(float(f["baseline"])), str(f["unit"]),
                     f"{float(f['ratio']):.3f}", str(f["goal"]) or "-", ("ok" if ok else "MISSED") if f["goal"] else ""))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = []
    for n, r in enumerate(rows):
        cells = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:5], widths[1:5])]
        cells += [r[5].ljust(widths[5]), r[6]]
        lines.append("  ".join(cells).rstrip())
        if n == 0:
            lines.append("-" * len(lines[0]))
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (a rough look, not for the record)")
    parser.add_argument("--callgrind", action="store_true",
                        help="instruction counts for partitions and inspect too (adds about a minute)")
    parser.add_argument("--only", nargs="+", choices=list(BENCHMARKS), metavar="NAME",
                        help=f"run only these ({', '.join(BENCHMARKS)})")
    parser.add_argument("--out", default=os.path.join(ROOT, "bench", "results.json"),
                        help="where to write the figures (default bench/results.json)")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a figure misses its goal")
    args = parser.parse_args()

    figures: list[Figure] = []
    failed: list[str] = []
    started = time.perf_counter()
    for name in args.only or list(BENCHMARKS):
        log(f"== {name}")
        t0 = time.perf_counter()
        try:
            got = BENCHMARKS[name](args)
        except Exception as exc:  # one broken benchmark must not hide the others
            log(f"  FAILED: {exc}")
            failed.append(name)
            continue
        figures += got
        log(f"  ({time.perf_counter() - t0:.0f} s)")

    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(figures, f, indent=2)
        f.write("\n")
    print()
    print(table(figures))
    missed = [f for f in figures if not meets(float(f["ratio"]), str(f["goal"]))]
    print()
    print(f"{len(figures)} figures, {len(missed)} missed their goal; written to {os.path.relpath(args.out, ROOT)} "
          f"({time.perf_counter() - started:.0f} s)")
    if failed:
        print(f"benchmarks that failed to run: {', '.join(failed)}")
        return 1
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
