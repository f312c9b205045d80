"""What every benchmark script here shares: handing its figures to bench/run.py.

A figure is {name, ours, baseline, unit, ratio, goal}; `--json FILE` writes the
list to FILE, `--json -` prints it."""

from __future__ import annotations

import json
from typing import Any


def write_figures(figures: list[dict[str, Any]], dest: str | None) -> None:
    if dest == "-":
        print(json.dumps(figures, indent=2))
    elif dest:
        with open(dest, "w") as f:
            json.dump(figures, f, indent=2)
