"""One materialisation through `python -m orvan.worker`, and `import orvan`.

    python bench/py/bench_worker.py [--repeat N] [--no-callgrind] [--json FILE]

Worker: one process of `python -m orvan.worker` for a trivial asset, against
the floor `python -c` that imports json and writes two small files (reported
without a goal: the worker must import inspect and pathlib, which the floor
does not; jobs that must beat a fresh interpreter run in the fork server,
bench/cli/bench_scale.py). Each figure is the median over alternating runs of the child
processes' CPU time (user + system, from wait4), which other load on the
machine does not stretch as it does wall time; wall-time medians are printed
alongside. The contract makes the worker import inspect and pathlib (and call
inspect.signature), so a second figure compares it with a floor that imports
them too: that ratio is what the worker adds of its own.

Instruction counts under callgrind (one run of each) are added unless
--no-callgrind is given: they do not depend on the machine's load.

Import: `python -X importtime -c "import orvan"`, the cumulative time of the
package (median of the runs), against a budget of 2 ms.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import common

GOAL = "<=1.1"
IMPORT_BUDGET_MS = 2.0

ASSET_MODULE = '''\
from orvan import asset


@asset()
def trivial():
    return {"ok": 1, "rows": [1, 2, 3]}
'''

FLOOR = """\
import json
value = {"ok": 1, "rows": [1, 2, 3]}
open("out/value.json", "w", encoding="utf-8").write(json.dumps(value))
record = {"artifact_format": "json", "function_name": "trivial", "module_path": "benchworker", "ok": True,
          "result_type": "dict", "signature": "()", "value_path": "out/value.json"}
open("out/result.json", "w", encoding="utf-8").write(json.dumps(record, sort_keys=True, separators=(",", ":")))
"""

CONTRACT_FLOOR = "import inspect, pathlib\n" + FLOOR


def run_child(argv: list[str], cwd: str) -> tuple[float, float]:
    """(CPU seconds, wall seconds) of one child process, which must succeed."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read() if proc.stderr else b""
    if proc.stderr:
        proc.stderr.close()
    if proc.returncode != 0:
        sys.exit(f"bench_worker: {' '.join(argv)} failed ({proc.returncode}): {err.decode(errors='replace')}")
    return usage.ru_utime + usage.ru_stime, wall


def measure(project: str, repeat: int) -> list[dict[str, object]]:
    py = sys.executable
    worker = [py, "-m", "orvan.worker", "benchworker", "trivial", "out"]
    floor = [py, "-c", FLOOR]
    contract = [py, "-c", CONTRACT_FLOOR]
    for argv in (worker, floor, contract):  # warm the page cache and write the .pyc files
        run_child(argv, project)
    with open(os.path.join(project, "out", "result.json"), encoding="utf-8") as f:
        if '"ok":true' not in f.read():
            sys.exit("bench_worker: the worker did not record a success")

    samples: dict[str, list[tuple[float, float]]] = {"worker": [], "floor": [], "contract": []}
    for i in range(repeat):
        order = [("worker", worker), ("floor", floor), ("contract", contract)]
        for name, argv in order if i % 2 == 0 else reversed(order):
            samples[name].append(run_child(argv, project))

    def cpu(name: str) -> list[float]:
        return [1000 * s[0] for s in samples[name]]

    def wall(name: str) -> list[float]:
        return [1000 * s[1] for s in samples[name]]

    for name, label in (("worker", "orvan.worker"), ("floor", "floor"), ("contract", "floor + inspect, pathlib")):
        common.detail(f"  {label:26} CPU ms {common.spread(cpu(name))}, wall ms {common.spread(wall(name))} "
                      f"(min/median/max of {repeat})")
    ours, bare, contract_floor = (common.median(cpu(n)) for n in ("worker", "floor", "contract"))
    return [
        common.figure("orvan.worker, one trivial asset, vs python -c json + 2 files", ours, bare, "ms CPU", ""),
        common.figure("orvan.worker vs that floor + import inspect, pathlib", ours, contract_floor, "ms CPU", GOAL),
    ]


def instruction_figures(project: str) -> list[dict[str, object]]:
    py = sys.executable
    worker = common.valgrind_instructions([py, "-m", "orvan.worker", "benchworker", "trivial", "out"], cwd=project)
    floor = common.valgrind_instructions([py, "-c", FLOOR], cwd=project)
    contract = common.valgrind_instructions([py, "-c", CONTRACT_FLOOR], cwd=project)
    return [
        common.figure("orvan.worker vs python -c json + 2 files, instructions", worker / 1e6, floor / 1e6,
                      "M instr", ""),
        common.figure("orvan.worker vs floor + inspect, pathlib, instructions", worker / 1e6, contract / 1e6,
                      "M instr", GOAL),
    ]


def import_figure(project: str, repeat: int) -> dict[str, object]:
    cumulative = []
    for _ in range(repeat):
        proc = subprocess.run([sys.executable, "-X", "importtime", "-c", "import orvan"], cwd=project,
                              capture_output=True, text=True, check=True)
        for line in proc.stderr.splitlines():
            parts = line.split("|")
            if len(parts) == 3 and parts[2].strip() == "orvan":
                cumulative.append(int(parts[1]) / 1000)
    if not cumulative:
        sys.exit("bench_worker: -X importtime did not list orvan")
    common.detail(f"  import orvan (cumulative, -X importtime) ms {common.spread(cumulative)}")
    return common.figure("import orvan (-X importtime), vs a 2 ms budget", common.median(cumulative),
                         IMPORT_BUDGET_MS, "ms", "<=1.0")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=21, help="runs of each process (default 21)")
    parser.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")
    parser.add_argument("--json", metavar="FILE", help="write the figures as JSON ('-' for standard output)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="orvan-worker-bench-") as project:
        with open(os.path.join(project, "benchworker.py"), "w", encoding="utf-8") as f:
            f.write(ASSET_MODULE)
        os.mkdir(os.path.join(project, "out"))
        figures = measure(project, args.repeat)
        if not args.no_callgrind:
            figures += instruction_figures(project)
        figures.append(import_figure(project, args.repeat))
    common.emit(figures, args.json)


if __name__ == "__main__":
    main()
