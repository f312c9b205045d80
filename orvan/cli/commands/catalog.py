"""`orvan catalog copy`: move a project's whole history between its own
catalog file and a shared PostgreSQL database, either way."""

from __future__ import annotations

from argparse import Namespace

from ...catalog.copy import copy, location_of
from ..plan.pipeline import OK


def cmd_catalog(args: Namespace) -> int:
    source = location_of(args.source, args.target, args.namespace)
    target = location_of(args.target, args.source, args.namespace)
    counts = copy(source, target)
    print(f"copied {counts['runs']} runs, {counts['jobs']} job rows and {counts['ticks']} ticks"
          f" from {source.describe()} to {target.describe()}")
    return OK
