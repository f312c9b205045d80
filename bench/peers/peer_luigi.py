"""Luigi's version of bench_peers.py's workloads: a task per value, each value in a
file, 2 workers forked from the process that imported the tasks.

    python peer_luigi.py lattice|partitions LAYERS WIDTH PARTITIONS   (prints the checked sum)"""

import json
import sys

import luigi

workload, LAYERS, WIDTH, PARTITIONS = sys.argv[1], *map(int, sys.argv[2:])


def read(target):
    with target.open("r") as f:
        return json.load(f)


def write(target, value):
    with target.open("w") as f:
        json.dump(value, f)


class Cell(luigi.Task):
    layer = luigi.IntParameter()
    i = luigi.IntParameter()

    def requires(self):
        if self.layer == 0:
            return []
        return [Cell(self.layer - 1, self.i), Cell(self.layer - 1, (self.i + 1) % WIDTH)]

    def output(self):
        return luigi.LocalTarget(f"out/cell-{self.layer}-{self.i}.json")

    def run(self):
        if self.layer == 0:
            write(self.output(), self.i)
        else:
            a, b = (read(t.output()) for t in self.requires())
            write(self.output(), (a + b) % 1000003)


class Leaf(luigi.Task):
    n = luigi.IntParameter()

    def output(self):
        return luigi.LocalTarget(f"out/leaf-{self.n}.json")

    def run(self):
        write(self.output(), self.n * self.n)


class Total(luigi.Task):
    def requires(self):
        return [Leaf(n) for n in range(PARTITIONS)]

    def output(self):
        return luigi.LocalTarget("out/total.json")

    def run(self):
        write(self.output(), sum(read(t.output()) for t in self.requires()))


if __name__ == "__main__":
    if workload == "lattice":
        tasks = [Cell(LAYERS - 1, i) for i in range(WIDTH)]
    else:
        tasks = [Total()]
    assert luigi.build(tasks, workers=2, local_scheduler=True, log_level="ERROR")
    print("ANSWER", sum(read(t.output()) for t in tasks))
