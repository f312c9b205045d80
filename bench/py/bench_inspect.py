"""inspect_modules on a generated project, against a pure-Python implementation.

    python bench/py/bench_inspect.py [--modules N] [--repeat N] [--callgrind] [--json FILE]

The project has N modules (default 100) of 10 assets each, with upstream
inputs (within the module and from the previous one), partitions and a mix of
return annotations. Both implementations get the same module list; their
reports must be identical, byte for byte. The modules are imported (and their
source read) by a first call of each before timing starts, so the figures
compare the inspection itself, not the first import.

Figures: ours against `reference_inspect.inspect_modules` (goal <= 1.05), and
the growth of our time from a tenth of the modules to all of them (ten times
the assets): the figure's baseline is ten times the smaller run, so a ratio
near 1.0 means linear growth.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import tempfile

import common
import reference_inspect

ASSETS_PER_MODULE = 10
GOAL = "<=1.05"
GROWTH_GOAL = "<=1.2"
PACKAGE = "orvanbenchproj"

RETURNS = ["-> dict", "-> list[int]", "-> None", "", '-> "Frame"']


def module_text(index: int) -> str:
    lines = [
        f'"""Generated module {index} of the inspection benchmark."""',
        "",
        "from orvan import asset, partitions",
        "",
    ]
    if index > 0:
        lines += [f"from {PACKAGE} import m{index - 1:03d} as previous", ""]
    lines += [
        f'DAYS = partitions([f"2024-01-{{d:02d}}" for d in range(1, 8)])',
        'REGIONS = partitions(["north", "south", "east", "west"])',
        "",
    ]
    for a in range(ASSETS_PER_MODULE):
        name = f"m{index:03d}_a{a}"
        inputs = []
        if a > 0:
            inputs.append(f'"upstream": m{index:03d}_a{a - 1}')
        if index > 0 and a % 3 == 0:
            inputs.append(f'"previous": previous.m{index - 1:03d}_a{a}')
        params = [p.split(":")[0].strip('"') for p in inputs]
        decorator = ["partitions={" + ('"day": DAYS, "region": REGIONS' if a % 2 else '"day": DAYS') + "}"]
        if inputs:
            decorator.insert(0, "inputs={" + ", ".join(inputs) + "}")
        if a % 4 == 1:
            decorator.append(f'name="{name}_v2"')
        params += ["day"] + (["region"] if a % 2 else [])
        returns = RETURNS[a % len(RETURNS)]
        lines += [
            f"@asset({', '.join(decorator)})",
            f"def {name}({', '.join(params)}){' ' + returns if returns else ''}:",
            f'    """Asset {a} of module {index}."""',
            "    rows = [day] * 3",
            f"    return {{\"rows\": rows, \"n\": {a}}}",
            "",
            "",
        ]
    return "\n".join(lines)


def write_project(root: str, modules: int) -> list[str]:
    package = os.path.join(root, PACKAGE)
    os.makedirs(package)
    with open(os.path.join(package, "__init__.py"), "w", encoding="utf-8") as f:
        f.write("")
    names = []
    for i in range(modules):
        with open(os.path.join(package, f"m{i:03d}.py"), "w", encoding="utf-8") as f:
            f.write(module_text(i))
        names.append(f"{PACKAGE}.m{i:03d}")
    return names


def first_difference(a: str, b: str) -> str:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"at character {i}: ours ...{a[max(0, i - 60):i + 60]!r}... reference ...{b[max(0, i - 60):i + 60]!r}..."
    return f"lengths {len(a)} and {len(b)}"


def measure(modules: int, repeat: int) -> list[dict[str, object]]:
    from orvan._orvan import inspect_modules

    with tempfile.TemporaryDirectory(prefix="orvan-inspect-bench-") as root:
        names = write_project(root, modules)
        sys.path.insert(0, root)
        importlib.invalidate_caches()
        try:
            ours_report = inspect_modules(names)
            reference_report = reference_inspect.inspect_modules(names)
            if ours_report != reference_report:
                sys.exit("bench_inspect: the reports differ " + first_difference(ours_report, reference_report))
            assets = ours_report.count('"kind":"asset","module_path"')
            if assets != modules * ASSETS_PER_MODULE:
                sys.exit(f"bench_inspect: {assets} asset records, expected {modules * ASSETS_PER_MODULE}")
            common.detail(f"  inspect: {assets} assets in {modules} modules, reports identical "
                          f"({len(ours_report.encode()):,} bytes)")

            ours, reference = common.cpu_interleaved(
                lambda: inspect_modules(names), lambda: reference_inspect.inspect_modules(names), repeat)
            common.detail(f"  inspect_modules: ours {common.spread(ours)} s, "
                          f"pure Python {common.spread(reference)} s (min/median/max of {len(ours)})")

            tenth = names[: max(1, modules // 10)]
            large, small = common.cpu_interleaved(
                lambda: inspect_modules(names), lambda: inspect_modules(tenth), repeat)
            common.detail(f"  growth: {len(names)} modules {common.spread(large)} s, "
                          f"{len(tenth)} modules {common.spread(small)} s")
        finally:
            sys.path.remove(root)
            for name in [n for n in sys.modules if n == PACKAGE or n.startswith(PACKAGE + ".")]:
                del sys.modules[name]

    n_assets = modules * ASSETS_PER_MODULE
    return [
        common.figure(f"inspect_modules, {n_assets:,} assets, vs pure Python", 1000 * common.median(ours),
                      1000 * common.median(reference), "ms", GOAL),
        # Baseline: the smaller run scaled by the ratio of the sizes (10).
        common.figure(f"inspect_modules growth, {n_assets:,} vs {len(names) // len(tenth)} x "
                      f"{len(tenth) * ASSETS_PER_MODULE:,} assets",
                      1000 * common.median(large), 1000 * common.median(small) * len(names) / len(tenth),
                      "ms", GROWTH_GOAL),
    ]


def child(mode: str, modules: int, root: str) -> None:
    """One call of one side (after a first call of each), for callgrind."""
    from orvan._orvan import inspect_modules

    sys.path.insert(0, root)
    names = [f"{PACKAGE}.m{i:03d}" for i in range(modules)]
    inspect_modules(names)
    reference_inspect.inspect_modules(names)
    if mode == "ours":
        inspect_modules(names)
    elif mode == "reference":
        reference_inspect.inspect_modules(names)


def instruction_figures(modules: int) -> list[dict[str, object]]:
    script = os.path.abspath(__file__)
    with tempfile.TemporaryDirectory(prefix="orvan-inspect-cg-") as root:
        write_project(root, modules)

        def run(mode: str) -> int:
            return common.valgrind_instructions(
                [sys.executable, script, "--child", mode, "--modules", str(modules), "--root", root])

        setup = run("setup")
        ours, reference = run("ours") - setup, run("reference") - setup
    return [common.figure(f"inspect_modules, {modules * ASSETS_PER_MODULE:,} assets, instructions",
                          ours / 1e6, reference / 1e6, "M instr", GOAL)]


def main() -> None:
    parser = common.options(__doc__, "modules", 100, "modules of 10 assets each (default 100)", repeat=7,
                            tenth="modules")
    parser.add_argument("--root", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.modules, args.root)
        return
    common.run(measure, instruction_figures, args.modules, args.repeat, args.callgrind, args.json)

if __name__ == "__main__":
    main()
