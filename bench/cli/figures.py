"""What every benchmark script here shares: handing its figures to bench/run.py.

A figure is {name, ours, baseline, unit, ratio, goal}; `--json FILE` writes the
list to FILE, `--json -` prints it."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any


def write_figures(figures: list[dict[str, Any]], dest: str | None) -> None:
    if dest == "-":
        print(json.dumps(figures, indent=2))
    elif dest:
        with open(dest, "w") as f:
            json.dump(figures, f, indent=2)


def arguments(doc: str | None, repeat: int, what: str = "runs of each, the median is kept") -> argparse.ArgumentParser:
    """A benchmark script's command line: --repeat N and --json FILE; the
    script adds its own options."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=repeat, help=f"{what} (default {repeat})")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON ('-' for stdout)")
    return parser


def tests_on_path() -> None:
    """Makes the tests' helpers importable: a benchmark starts its servers
    (PostgreSQL, SeaweedFS) exactly as the tests do."""
    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
