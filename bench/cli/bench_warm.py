"""What a job costs in CPU when the fork server imports the run's modules once.

    python bench/cli/bench_warm.py [--repeat N] [--json FILE|-]

Two pipelines, each run from scratch with `orvan run -j 2`:

  lattice      200 assets in one module, 20 layers of 10, each reading two
               values of the layer above
  partitioned  one trivial asset over 500 partitions and a fan-in reading
               them all

Each is run with warm imports (the default) and with `[tool.orvan]
warm_imports = false`, where every job imports its module itself as all jobs
did before warm imports, alternating, the median of --repeat each. The figure
is CPU time (user + system of the command and every process it waited for,
which includes the fork server and its jobs) divided by the jobs: a shared
machine's load does not stretch it as it does wall time. Goals: <= 0.2 of the
per-job imports for the lattice, <= 0.5 for the partitioned jobs.
"""

from __future__ import annotations

import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

from figures import arguments, write_figures

WORKERS = 2


def lattice() -> str:
    lines = ["from orvan import asset", ""]
    for layer in range(20):
        for i in range(10):
            name = f"l{layer:02d}_{i}"
            if layer == 0:
                lines += ["@asset()", f"def {name}():", f"    return {i}", ""]
                continue
            a, b = f"l{layer - 1:02d}_{i}", f"l{layer - 1:02d}_{(i + 1) % 10}"
            lines += [f"@asset(inputs={{'a': {a}, 'b': {b}}})", f"def {name}(a, b):",
                      "    return (a + b) % 1000003", ""]
    return "\n".join(lines)


PARTITIONED = """\
from orvan import asset, partitions

@asset(partitions={"n": partitions(list(range(500)))})
def leaf(n):
    return n * n

@asset(inputs={"leaf": leaf})
def total(leaf):
    return sum(leaf.values())
"""

CASES = {"lattice": (lattice(), 200, "<=0.2"), "partitioned": (PARTITIONED, 501, "<=0.5")}


def cpu_of_run(project: str, out: str) -> float:
    """CPU seconds of one `orvan run` from scratch, its children included."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.run([sys.executable, "-m", "orvan", "run", "pipe", "-j", str(WORKERS), "-q", "--out", out],
                          cwd=project, capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        sys.exit(f"orvan run failed:\n{proc.stdout}\n{proc.stderr}")
    shutil.rmtree(out)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def measure(source: str, repeat: int) -> tuple[list[float], list[float]]:
    warm: list[float] = []
    cold: list[float] = []
    with tempfile.TemporaryDirectory(prefix="orvan-bench-warm-") as root:
        projects = {}
        for kind, setting in (("warm", ""), ("cold", "[tool.orvan]\nwarm_imports = false\n")):
            projects[kind] = os.path.join(root, kind)
            os.makedirs(projects[kind])
            with open(os.path.join(projects[kind], "pipe.py"), "w") as f:
                f.write(source)
            with open(os.path.join(projects[kind], "pyproject.toml"), "w") as f:
                f.write(setting + ('' if setting else '[tool.orvan]\n'))
        for i in range(repeat):
            steps = [(warm, "warm"), (cold, "cold")]
            for times, kind in steps if i % 2 == 0 else reversed(steps):
                times.append(cpu_of_run(projects[kind], os.path.join(projects[kind], "out")))
    return warm, cold


def main() -> None:
    parser = arguments(__doc__, 5)
    args = parser.parse_args()
    figures = []
    for name, (source, jobs, goal) in CASES.items():
        warm, cold = measure(source, args.repeat)
        w, c = statistics.median(warm) / jobs, statistics.median(cold) / jobs
        print(f"{name}: {jobs} jobs, CPU per job: warm {1000 * w:.1f} ms, per-job imports {1000 * c:.1f} ms "
              f"({w / c:.3f}x); runs warm {', '.join(f'{x:.2f}' for x in warm)} s, "
              f"cold {', '.join(f'{x:.2f}' for x in cold)} s")
        figures.append({"name": f"CPU per job, {name} ({jobs} jobs), warm imports vs per-job imports",
                        "ours": round(1000 * w, 2), "baseline": round(1000 * c, 2), "unit": "ms",
                        "ratio": round(w / c, 4), "goal": goal})
    write_figures(figures, args.json)


if __name__ == "__main__":
    main()
