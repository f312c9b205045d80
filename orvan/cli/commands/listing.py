"""`orvan list`: the assets found, with their inputs, partitions and source."""

from __future__ import annotations

import json
from argparse import Namespace

from ..config import project_directory, resolve_modules
from ..plan.graph import Asset, GraphError, resolve
from ...store.naming import key_text
from ..plan.pipeline import OK, discover, select
from ..report import display_path, format_table


def _as_json(assets: list[Asset], problems: list[str]) -> str:
    return json.dumps({
        "assets": [{
            "key": a.key,
            "module": a.record.module,
            "function": a.record.function,
            # parameter -> upstream key; null when it could not be resolved
            "inputs": {param: a.inputs.get(param) for param in a.record.inputs},
            "partitions": {d: [key_text(k) for k in keys] for d, keys in a.partitions.items()},
            "source": a.record.file_path or None,
        } for a in assets],
        "problems": problems,
    }, indent=2, ensure_ascii=False)


def _table(assets: list[Asset]) -> str:
    rows = []
    for asset in assets:
        rec = asset.record
        inputs = [
            f"{param}={asset.inputs[param]}" if param in asset.inputs else f"{param}=?{ref}"
            for param, ref in rec.inputs.items()
        ]
        dims = [f"{d}({len(keys)})" for d, keys in asset.partitions.items()]
        rows.append([asset.key, ", ".join(inputs) or "-", ", ".join(dims) or "-", display_path(rec.file_path) or "?"])
    return format_table(["asset", "inputs", "partitions", "source"], rows)


def cmd_list(args: Namespace) -> int:
    directory = project_directory()
    records = discover(resolve_modules(args.modules, directory), directory)
    found, problems = resolve(records)
    assets = [found[key] for key in select(found, args.select)]
    if args.json:
        print(_as_json(assets, problems))
    elif assets:
        print(_table(assets))
    else:
        print("no assets found in " + ", ".join(args.modules or ["the configured modules"]))
    if problems:
        raise GraphError(problems)
    return OK
