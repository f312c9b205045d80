"""partitions(values) and __orvan_metadata__ with many partition values.

    python bench/py/bench_partitions.py [--count N] [--repeat N] [--callgrind] [--json FILE]

partitions(values): the contract makes it call `json.dumps` on every item and
read the text back, so its floor is a plain loop that does nothing but call
`json.dumps` on each item. Goal: at most 1.3 x the floor.

Metadata: reading `__orvan_metadata__` of an asset whose one dimension holds
the same values writes them as one compact JSON array (the "values_json"
text); the baseline is `json.dumps(values, separators=(",", ":"))` of the same
list. Goal: no slower than that.

Run it with the interpreter that has orvan installed, not from the repository
root (where the source tree's `orvan` would shadow the installed one).
"""

from __future__ import annotations

import json
import os
import random
import sys

import common

PARTITIONS_GOAL = "<=1.3"
METADATA_GOAL = "<=1.0"


def mixed_values(count: int, seed: int = 20240) -> list[object]:
    """`count` partition keys, a fifth each of strings, integers, floats, small
    lists and small dicts; some strings are not ASCII (json.dumps escapes them)."""
    rng = random.Random(seed)
    words = ["AAPL", "MSFT", "GOOG", "région", "Zürich", "東京", "north", "south"]
    values: list[object] = []
    for i in range(count):
        kind = i % 5
        if kind == 0:
            values.append(f"{rng.choice(words)}-{rng.randrange(10**6)}")
        elif kind == 1:
            values.append(rng.randrange(-10**9, 10**12))
        elif kind == 2:
            values.append(round(rng.uniform(-1e6, 1e6), rng.randrange(0, 8)))
        elif kind == 3:
            values.append([i, f"s{i}", rng.random()])
        else:
            values.append({"day": i % 31 + 1, "region": rng.choice(words), "ok": i % 2 == 0, "note": None})
    return values


def floor_loop(values: list[object]) -> None:
    # The work the contract makes partitions() do, and nothing else.
    for item in values:
        json.dumps(item)


def check(values: list[object]) -> None:
    """The figures mean something only if ours does the same job."""
    from orvan._orvan import asset, partitions

    wrapper = asset(partitions={"key": partitions(values)})(floor_loop)
    dimensions = wrapper.__orvan_metadata__["partitions"]
    assert dimensions is not None
    text = dimensions["key"]["values_json"]
    if json.loads(text) != values:
        sys.exit("bench_partitions: values_json does not hold the values given")
    if json.loads(json.dumps(values, separators=(",", ":"))) != values:
        sys.exit("bench_partitions: the baseline text does not hold the values given")


def measure(count: int, repeat: int) -> list[dict[str, object]]:
    from orvan._orvan import asset, partitions

    values = mixed_values(count)
    check(values)

    ours, floor = common.cpu_interleaved(lambda: partitions(values), lambda: floor_loop(values), repeat)
    common.detail(f"  partitions({count:,} values): ours {common.spread(ours)} s, "
                  f"json.dumps loop {common.spread(floor)} s (min/median/max of {len(ours)})")

    wrapper = asset(partitions={"key": partitions(values)})(floor_loop)
    # Each side is short: time a few reads per sample so the clock's grain and
    # the start-up of the call do not dominate.
    reads = 5

    def read_metadata() -> None:
        for _ in range(reads):
            wrapper.__orvan_metadata__

    def dumps_compact() -> None:
        for _ in range(reads):
            json.dumps(values, separators=(",", ":"))

    meta, dumps = common.cpu_interleaved(read_metadata, dumps_compact, repeat, calls=reads)
    common.detail(f"  __orvan_metadata__ ({count:,} values): ours {common.spread(meta)} s, "
                  f"json.dumps compact {common.spread(dumps)} s")

    return [
        common.figure(f"partitions(), {count:,} mixed values, vs json.dumps loop",
                      1000 * common.median(ours), 1000 * common.median(floor), "ms", PARTITIONS_GOAL),
        common.figure(f"__orvan_metadata__, {count:,} values, vs json.dumps(values)",
                      1000 * common.median(meta), 1000 * common.median(dumps), "ms", METADATA_GOAL),
    ]


def child(mode: str, count: int) -> None:
    """One run of one side, for callgrind; 'setup' does everything else alone."""
    from orvan._orvan import asset, partitions

    values = mixed_values(count)
    wrapper = asset(partitions={"key": partitions(values)})(floor_loop)
    if mode == "partitions":
        partitions(values)
    elif mode == "floor":
        floor_loop(values)
    elif mode == "meta":
        wrapper.__orvan_metadata__
    elif mode == "dumps":
        json.dumps(values, separators=(",", ":"))


def instruction_figures(count: int) -> list[dict[str, object]]:
    script = os.path.abspath(__file__)

    def run(mode: str) -> int:
        return common.valgrind_instructions([sys.executable, script, "--child", mode, "--count", str(count)])

    setup = run("setup")
    ours, floor = run("partitions") - setup, run("floor") - setup
    meta, dumps = run("meta") - setup, run("dumps") - setup
    return [
        common.figure(f"partitions(), {count:,} values, instructions", ours / 1e6, floor / 1e6, "M instr",
                      PARTITIONS_GOAL),
        common.figure(f"__orvan_metadata__, {count:,} values, instructions", meta / 1e6, dumps / 1e6, "M instr",
                      METADATA_GOAL),
    ]


def main() -> None:
    args = common.options(__doc__, "count", 100_000, "partition values (default 100000)", repeat=9,
                          tenth="values").parse_args()
    if args.child:
        child(args.child, args.count)
        return
    common.run(measure, instruction_figures, args.count, args.repeat, args.callgrind, args.json)

if __name__ == "__main__":
    main()
