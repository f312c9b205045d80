"""Materialise a pipeline with orvan's two stubs, upstream assets first.

    python examples/run_demo.py [--project DIR] [--output DIR] [MODULE ...]

1. ``python -m orvan.inspect MODULE ...`` (run in the project directory) lists
   the assets and their declarations.
2. Each asset is run once per combination of its partition keys by
   ``python -m orvan.worker MODULE FUNCTION OUTPUT_DIR --kwargs-file PATH``,
   with the partition keys and the upstream values as keyword arguments.

An upstream with partitions that the downstream does not have is passed as an
object from partition key to value, nested one level per missing dimension in
sorted dimension order, as `orvan run` does. Outputs go to OUTPUT_DIR/ASSET[/DIM=KEY...]/.
"""

from __future__ import annotations

import argparse
import itertools
import json
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
DEFAULT_MODULES = ["pipeline.ingest", "pipeline.clean", "pipeline.prices", "pipeline.summary"]
MARKER = ".orvan-demo-output"  # only a directory holding this is ever cleared


@dataclass
class Asset:
    ref: str  # "{file_path}:{function_name}", how downstream assets name it
    name: str  # display name: the declared name or the function name
    module: str
    function: str
    inputs: dict[str, str]  # parameter -> upstream ref
    partitions: dict[str, list[Any]]  # dimension -> keys, dimensions sorted
    values: dict[tuple[Any, ...], Any] = field(default_factory=dict)  # keys -> value

    def jobs(self) -> list[dict[str, Any]]:
        dims = list(self.partitions)
        return [dict(zip(dims, keys)) for keys in itertools.product(*self.partitions.values())]


def key_text(key: Any) -> str:
    return key if isinstance(key, str) else json.dumps(key, separators=(",", ":"))


def inspect(project: Path, modules: list[str]) -> list[Asset]:
    proc = subprocess.run(
        [sys.executable, "-m", "orvan.inspect", *modules],
        cwd=project, capture_output=True, text=True, check=False,
    )
    sys.stderr.write(proc.stderr)
    if proc.returncode != 0:
        raise SystemExit(f"inspection failed with status {proc.returncode}")
    assets: dict[str, Asset] = {}
    for record in json.loads(proc.stdout)["assets"]:
        ref = f"{record['file_path']}:{record['function_name']}"
        if ref in assets:  # also reported by a module that imported it
            continue
        meta = record["decorator_metadata"]
        parts = meta["partitions"] or {}
        assets[ref] = Asset(
            ref=ref,
            name=meta["name"] or record["function_name"],
            module=record["module_path"],
            function=record["function_name"],
            inputs=meta["inputs"] or {},
            partitions={d: json.loads(parts[d]["values_json"]) for d in sorted(parts)},
        )
    return list(assets.values())


def in_dependency_order(assets: list[Asset]) -> list[Asset]:
    by_ref = {a.ref: a for a in assets}
    for a in assets:
        for param, ref in a.inputs.items():
            if ref not in by_ref:
                raise SystemExit(f"{a.name}: input {param!r} names no inspected asset: {ref}")
    done: list[Asset] = []
    placed: set[str] = set()
    while len(done) < len(assets):
        ready = [a for a in assets if a.ref not in placed and placed.issuperset(a.inputs.values())]
        if not ready:
            raise SystemExit("the assets depend on each other in a cycle")
        done.extend(ready)
        placed.update(a.ref for a in ready)
    return done


def upstream_value(up: Asset, job: dict[str, Any]) -> Any:
    """The value of `up` that the job with partition keys `job` receives."""
    missing = [d for d in up.partitions if d not in job]
    if not missing:
        return up.values[tuple(job[d] for d in up.partitions)]
    mapping: dict[str, Any] = {}
    for keys, value in up.values.items():
        part = dict(zip(up.partitions, keys))
        if all(part[d] == job[d] for d in up.partitions if d in job):
            node = mapping
            for d in sorted(missing)[:-1]:
                node = node.setdefault(key_text(part[d]), {})
            node[key_text(part[sorted(missing)[-1]])] = value
    return mapping


def run_job(asset: Asset, job: dict[str, Any], by_ref: dict[str, Asset], project: Path,
            output: Path) -> Path:
    out = output.joinpath(asset.name, *(f"{d}={key_text(k)}" for d, k in job.items()))
    out.mkdir(parents=True, exist_ok=True)
    kwargs = dict(job)
    for param, ref in asset.inputs.items():
        kwargs[param] = upstream_value(by_ref[ref], job)
    kwargs_file = out / "kwargs.json"
    kwargs_file.write_text(json.dumps(kwargs), encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, "-m", "orvan.worker", asset.module, asset.function, str(out),
         "--kwargs-file", str(kwargs_file)],
        cwd=project, check=False,
    )
    if not (out / "result.json").exists():
        raise SystemExit(f"{asset.name} {job or ''}: the worker exited with {proc.returncode}")
    result = json.loads((out / "result.json").read_text(encoding="utf-8"))
    if proc.returncode != 0 or not result["ok"]:
        raise SystemExit(f"{asset.name} {job or ''} failed: {result.get('error')}")
    asset.values[tuple(job.values())] = json.loads(Path(result["value_path"]).read_text("utf-8"))
    return Path(result["value_path"])


def prepare(output: Path) -> None:
    if output.exists():
        if not (output / MARKER).exists():
            raise SystemExit(f"{output} exists and was not made by this demo; not touching it")
        shutil.rmtree(output)
    output.mkdir(parents=True)
    (output / MARKER).write_text("")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--project", type=Path, default=HERE, help="directory the modules live in")
    parser.add_argument("--output", type=Path, default=Path("orvan-demo-output"))
    parser.add_argument("modules", nargs="*", default=DEFAULT_MODULES)
    args = parser.parse_args(argv)
    project, output = args.project.resolve(), args.output.resolve()

    assets = in_dependency_order(inspect(project, args.modules))
    by_ref = {a.ref: a for a in assets}
    print(f"{len(assets)} assets in {project}:")
    for a in assets:
        dims = ", ".join(f"{d} ({len(k)})" for d, k in a.partitions.items()) or "-"
        where = f"{a.module}.{a.function}"
        print(f"  {a.name:<16} {where:<30} partitions: {dims}")
    prepare(output)
    for a in assets:
        for job in a.jobs():
            path = run_job(a, job, by_ref, project, output)
            label = ", ".join(f"{d}={key_text(k)}" for d, k in job.items())
            print(f"  ok  {a.name}{f'[{label}]' if label else ''}  ->  {path}")
    last = assets[-1]
    if not last.partitions:
        print(f"\n{last.name}:\n{json.dumps(last.values[()], indent=2)}")
    print(f"\nall outputs (value.json, result.json, kwargs.json per run) are under {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
