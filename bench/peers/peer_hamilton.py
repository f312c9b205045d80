"""Hamilton's version of bench_peers.py's workloads: one process, values in memory.

    python peer_hamilton.py lattice|partitions LAYERS WIDTH PARTITIONS   (prints the checked sum)"""

import importlib
import sys

from hamilton import driver

workload, layers, width, partitions = sys.argv[1], *map(int, sys.argv[2:])


def module_of(source: str):
    # A real module in the working directory, as an author's would be.
    with open("pipe_hamilton.py", "w") as f:
        f.write(source)
    sys.path.insert(0, ".")
    return importlib.import_module("pipe_hamilton")


if workload == "lattice":
    source = []
    for layer in range(layers):
        for i in range(width):
            if layer == 0:
                source.append(f"def l00_{i}() -> int:\n    return {i}\n")
            else:
                a, b = f"l{layer - 1:02d}_{i}", f"l{layer - 1:02d}_{(i + 1) % width}"
                source.append(f"def l{layer:02d}_{i}({a}: int, {b}: int) -> int:\n    return ({a} + {b}) % 1000003\n")
    module = module_of("\n".join(source))
    finals = [f"l{layers - 1:02d}_{i}" for i in range(width)]
    result = driver.Builder().with_modules(module).build().execute(finals)
    print("ANSWER", sum(int(result[name]) for name in finals))
else:
    module = module_of(f"""\
from hamilton.htypes import Collect, Parallelizable

def n() -> Parallelizable[int]:
    yield from range({partitions})

def leaf(n: int) -> int:
    return n * n

def total(leaf: Collect[int]) -> int:
    return sum(leaf)
""")
    dr = driver.Builder().enable_dynamic_execution(allow_experimental_mode=True).with_modules(module).build()
    print("ANSWER", int(dr.execute(["total"])["total"]))
