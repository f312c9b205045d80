"""orvan against its peers on the same two workloads, from scratch, 2 workers.

    python bench/peers/bench_peers.py [--repeat N] [--tools hamilton,luigi,kedro] [--json FILE|-]

  lattice     200 assets, 20 layers of 10, each reading two values of the
              layer above: (a + b) % 1000003, the first layer 0..9
  partitions  one asset over 500 partitions (n * n) and a fan-in (the sum)

Each tool runs in its own process from a fresh directory, the tools
interleaved, the median wall time of --repeat runs kept; each run's values
are checked against the same computation done here. Hamilton, Luigi and
Kedro come from PyPI into a virtual environment of their own, made once and
kept (ORVAN_PEERS_VENV, default ~/.cache/orvan-bench/peers); orvan runs from
the interpreter running this script. A benchmark, not a test: `make
bench-peers`. Ratios are the peer's time over orvan's (above 1: orvan faster).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
VENV = os.environ.get("ORVAN_PEERS_VENV", os.path.expanduser("~/.cache/orvan-bench/peers"))
PEERS = {"hamilton": "sf-hamilton", "luigi": "luigi", "kedro": "kedro"}
LAYERS, WIDTH, PARTITIONS = 20, 10, 500


def expected() -> dict[str, int]:
    layer = list(range(WIDTH))
    for _ in range(1, LAYERS):
        layer = [(layer[i] + layer[(i + 1) % WIDTH]) % 1000003 for i in range(WIDTH)]
    return {"lattice": sum(layer), "partitions": sum(n * n for n in range(PARTITIONS))}


def peer_python() -> str:
    python = os.path.join(VENV, "bin", "python")
    if not os.path.exists(os.path.join(VENV, ".ready")):
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", VENV], check=True)
        subprocess.run([sys.executable, "-m", "pip", "--python", python, "install", "-q", *PEERS.values()],
                       check=True)
        open(os.path.join(VENV, ".ready"), "w").close()
    return python


def orvan_lattice() -> str:
    lines = ["from orvan import asset", ""]
    for layer in range(LAYERS):
        for i in range(WIDTH):
            if layer == 0:
                lines += ["@asset()", f"def l00_{i}():", f"    return {i}", ""]
            else:
                a, b = f"l{layer - 1:02d}_{i}", f"l{layer - 1:02d}_{(i + 1) % WIDTH}"
                lines += [f"@asset(inputs={{'a': {a}, 'b': {b}}})", f"def l{layer:02d}_{i}(a, b):",
                          "    return (a + b) % 1000003", ""]
    return "\n".join(lines)


ORVAN_PARTITIONS = f"""\
from orvan import asset, partitions

@asset(partitions={{"n": partitions(list(range({PARTITIONS})))}})
def leaf(n):
    return n * n

@asset(inputs={{"leaf": leaf}})
def total(leaf):
    return sum(leaf.values())
"""


def run_orvan(workload: str, directory: str) -> int:
    source = orvan_lattice() if workload == "lattice" else ORVAN_PARTITIONS
    with open(os.path.join(directory, "pipe.py"), "w") as f:
        f.write(source)
    subprocess.run([sys.executable, "-m", "orvan", "run", "pipe", "-j", "2", "-q"], cwd=directory, check=True,
                   capture_output=True)
    out = os.path.join(directory, ".orvan")
    if workload == "partitions":
        return int(json.load(open(os.path.join(out, "pipe.total", "value.json"))))
    return sum(int(json.load(open(os.path.join(out, f"pipe.l{LAYERS - 1:02d}_{i}", "value.json"))))
               for i in range(WIDTH))


def run_peer(python: str, tool: str, workload: str, directory: str) -> int:
    script = os.path.join(HERE, f"peer_{tool}.py")
    proc = subprocess.run([python, script, workload, str(LAYERS), str(WIDTH), str(PARTITIONS)], cwd=directory,
                          check=True, capture_output=True, text=True)
    # Some peers log to standard output: the answer is the line so marked.
    return int(next(line.split()[1] for line in proc.stdout.splitlines() if line.startswith("ANSWER ")))


def timed(run: object, *args: object) -> tuple[float, int]:
    with tempfile.TemporaryDirectory(prefix="orvan-peers-") as directory:
        t0 = time.perf_counter()
        value = run(*args, directory)  # type: ignore[operator]
        return time.perf_counter() - t0, value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tools", default=",".join(PEERS))
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    python = peer_python()
    want = expected()
    tools = ["orvan", *args.tools.split(",")]
    figures = []
    for workload in ("lattice", "partitions"):
        times: dict[str, list[float]] = {t: [] for t in tools}
        for i in range(args.repeat):
            for tool in tools if i % 2 == 0 else reversed(tools):
                runner = (run_orvan,) if tool == "orvan" else (run_peer, python, tool)
                elapsed, value = timed(runner[0], *runner[1:], workload)
                if value != want[workload]:
                    sys.exit(f"{tool} computed {value} for {workload}, not {want[workload]}")
                times[tool].append(elapsed)
        ours = statistics.median(times["orvan"])
        for tool in tools[1:]:
            theirs = statistics.median(times[tool])
            print(f"{workload}: orvan {ours:.2f} s, {tool} {theirs:.2f} s ({theirs / ours:.2f}x orvan's)")
            figures.append({"name": f"{workload} from scratch, -j 2: {tool} over orvan", "ours": round(ours, 3),
                            "baseline": round(theirs, 3), "unit": "s", "ratio": round(ours / theirs, 4),
                            "goal": "<=1.0"})
    if args.json:
        text = json.dumps(figures, indent=2)
        print(text) if args.json == "-" else open(args.json, "w").write(text)


if __name__ == "__main__":
    main()
