"""Kedro's version of bench_peers.py's workloads: a node per value, run by the
ParallelRunner with 2 workers (values passed in shared memory).

    python peer_kedro.py lattice|partitions LAYERS WIDTH PARTITIONS   (prints the checked sum)"""

import sys

from kedro.io import SharedMemoryDataCatalog
from kedro.pipeline import Pipeline, node
from kedro.runner import ParallelRunner

import peer_kedro_nodes as f

if __name__ == "__main__":
    workload, layers, width, partitions = sys.argv[1], *map(int, sys.argv[2:])
    nodes = []
    if workload == "lattice":
        for i in range(width):
            nodes.append(node(f.constant(i), None, f"l00_{i}", name=f"l00_{i}"))
        for layer in range(1, layers):
            for i in range(width):
                inputs = [f"l{layer - 1:02d}_{i}", f"l{layer - 1:02d}_{(i + 1) % width}"]
                nodes.append(node(f.combine, inputs, f"l{layer:02d}_{i}", name=f"l{layer:02d}_{i}"))
        finals = [f"l{layers - 1:02d}_{i}" for i in range(width)]
    else:
        for n in range(partitions):
            nodes.append(node(f.square(n), None, f"leaf_{n}", name=f"leaf_{n}"))
        finals = [f"leaf_{n}" for n in range(partitions)]
    # The values live in the runner's shared memory, gone once it returns: a
    # last node writes what is checked.
    nodes.append(node(f.total, finals, "answer", name="answer"))
    nodes.append(node(f.save, "answer", None, name="save"))
    ParallelRunner(max_workers=2).run(Pipeline(nodes), SharedMemoryDataCatalog())
    with open("answer.txt") as answer:
        print("ANSWER", answer.read())
