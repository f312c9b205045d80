"""What an incremental run costs when little or nothing changed.

A pipeline of 200 assets over 20 modules, each module importing one of 5
local helper modules (a helper package). Two figures:

  * `orvan run` on an unchanged tree, everything fresh, against the
    inspection alone (`python -m orvan.inspect` of the same modules): nothing
    can be known without it, so it is the floor.
  * the rerun after a one-line edit of one helper, against a run of the whole
    pipeline from nothing; only the modules importing that helper (and what
    reads their values) rerun, and the figure's name counts those jobs.

    python bench/cli/bench_incremental.py [--repeat N] [--json FILE|-]

Run it with the interpreter that has orvan installed. The JSON is a list of
{name, ours, baseline, unit, ratio, goal} objects.
"""

from __future__ import annotations

import json
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

from figures import arguments, write_figures

MODULES = 20
ASSETS_PER_MODULE = 10
HELPERS = 5
WORKERS = 2
FRESH_GOAL = 1.2
# The edited helper is imported by a fifth of the modules: 40 of 200 jobs.
RERUN_GOAL = 0.4

HELPER = """\
SCALE = {i}


def scale(x):
    return x * SCALE + 1
"""


def module_source(m: int) -> str:
    lines = ["from orvan import asset", f"from helpers.h{m % HELPERS} import scale", ""]
    for a in range(ASSETS_PER_MODULE):
        if a == 0:
            lines += ["@asset()", f"def a{a}():", f"    return scale({m})", ""]
        else:
            lines += [f"@asset(inputs={{'x': a{a - 1}}})", f"def a{a}(x):", "    return scale(x) % 1000003", ""]
    return "\n".join(lines)


def make_project(root: str) -> list[str]:
    os.makedirs(os.path.join(root, "helpers"))
    os.makedirs(os.path.join(root, "pipe"))
    for package in ("helpers", "pipe"):
        open(os.path.join(root, package, "__init__.py"), "w").close()
    for i in range(HELPERS):
        with open(os.path.join(root, "helpers", f"h{i}.py"), "w") as f:
            f.write(HELPER.format(i=i + 2))
    modules = []
    for m in range(MODULES):
        with open(os.path.join(root, "pipe", f"m{m:02d}.py"), "w") as f:
            f.write(module_source(m))
        modules.append(f"pipe.m{m:02d}")
    with open(os.path.join(root, "pyproject.toml"), "w") as f:
        f.write("[tool.orvan]\nmodules = " + json.dumps(modules) + "\n")
    return modules


def timed(argv: list[str], cwd: str) -> float:
    env = dict(os.environ)
    env["PYTHONPATH"] = cwd + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    t0 = time.perf_counter()
    proc = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    elapsed = time.perf_counter() - t0
    if proc.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed:\n{proc.stdout}\n{proc.stderr}")
    return elapsed


def orvan_run(root: str, out: str) -> float:
    return timed([sys.executable, "-m", "orvan", "run", "-j", str(WORKERS), "--out", out], root)


def done_in_last_run(out: str) -> int:
    db = sqlite3.connect(os.path.join(out, "catalog.sqlite"))
    try:
        return db.execute("SELECT COUNT(*) FROM jobs WHERE status='done' AND run_id=(SELECT MAX(id) FROM runs)"
                          ).fetchone()[0]
    finally:
        db.close()


def fresh_figure(root: str, modules: list[str], out: str, repeat: int) -> dict[str, object]:
    ours: list[float] = []
    floor: list[float] = []
    for i in range(repeat):
        steps = [(floor, lambda: timed([sys.executable, "-m", "orvan.inspect", *modules], root)),
                 (ours, lambda: orvan_run(root, out))]
        for times, measure in steps if i % 2 == 0 else reversed(steps):
            times.append(measure())
    if done_in_last_run(out):
        sys.exit("an unchanged tree reran jobs")
    o, b = statistics.median(ours), statistics.median(floor)
    print(f"  run, all fresh:    {o:7.3f} s   runs: {', '.join(f'{x:.3f}' for x in ours)}")
    print(f"  inspection alone:  {b:7.3f} s   runs: {', '.join(f'{x:.3f}' for x in floor)}")
    return {"name": f"orvan run to all fresh, {MODULES * ASSETS_PER_MODULE} assets, vs inspection alone",
            "ours": round(o, 4), "baseline": round(b, 4), "unit": "s", "ratio": round(o / b, 4), "goal": FRESH_GOAL}


def rerun_figure(root: str, out: str, full: list[float], repeat: int) -> dict[str, object]:
    """Each repetition edits one line of the same helper again, on the
    output directory the previous one left all fresh."""
    helper = os.path.join(root, "helpers", "h0.py")
    reruns: list[float] = []
    counts = set()
    for i in range(repeat):
        with open(helper, "w") as f:
            f.write(HELPER.format(i=2).replace("+ 1", f"+ {i + 2}"))
        reruns.append(orvan_run(root, out))
        counts.add(done_in_last_run(out))
    o, b = statistics.median(reruns), statistics.median(full)
    jobs = MODULES * ASSETS_PER_MODULE
    count = ", ".join(str(c) for c in sorted(counts))
    print(f"  rerun after a helper edit: {o:7.3f} s, {count} of {jobs} jobs ran   runs: "
          f"{', '.join(f'{x:.3f}' for x in reruns)}")
    print(f"  full run from nothing:     {b:7.3f} s   runs: {', '.join(f'{x:.3f}' for x in full)}")
    return {"name": f"orvan run after a one-line helper edit, {count} of {jobs} jobs rerun, vs a full run",
            "ours": round(o, 4), "baseline": round(b, 4), "unit": "s", "ratio": round(o / b, 4), "goal": RERUN_GOAL}


def main() -> None:
    parser = arguments(__doc__, 5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="orvan-bench-incr-") as workdir:
        root = os.path.join(workdir, "project")
        modules = make_project(root)
        out = os.path.join(workdir, "out")
        full = [orvan_run(root, out)]
        for i in range(1, max(1, args.repeat // 2)):
            full.append(orvan_run(root, os.path.join(workdir, f"full-{i}")))
        print(f"{MODULES * ASSETS_PER_MODULE} assets in {MODULES} modules, {HELPERS} helper modules, "
              f"-j {WORKERS}, median of {args.repeat}")
        figures = [fresh_figure(root, modules, out, args.repeat), rerun_figure(root, out, full, args.repeat)]
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
