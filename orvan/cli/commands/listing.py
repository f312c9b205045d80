"""`orvan list`: the assets found, with their inputs, partitions and source."""

from __future__ import annotations

import os
from argparse import Namespace

from ..config import resolve_modules
from ..graph import GraphError, resolve
from ..pipeline import OK, discover
from ..report import display_path, format_table


def cmd_list(args: Namespace) -> int:
    directory = os.getcwd()
    records = discover(resolve_modules(args.modules, directory), directory)
    assets, problems = resolve(records)
    rows = []
    for asset in assets.values():
        rec = asset.record
        inputs = [
            f"{param}={asset.inputs[param]}" if param in asset.inputs else f"{param}=?{ref}"
            for param, ref in rec.inputs.items()
        ]
        dims = [f"{d}({len(keys)})" for d, keys in asset.partitions.items()]
        rows.append([asset.key, ", ".join(inputs) or "-", ", ".join(dims) or "-", display_path(rec.file_path) or "?"])
    if rows:
        print(format_table(["asset", "inputs", "partitions", "source"], rows))
    else:
        print("no assets found in " + ", ".join(args.modules or ["the configured modules"]))
    if problems:
        raise GraphError(problems)
    return OK
