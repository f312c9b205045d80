"""`orvan run` commands that redo a set of partitions: contiguous keys as
FIRST..LAST, one command per range while there are few, else the keys
listed. An asset of several dimensions gets one `--partition` per dimension
with the keys its chosen partitions use: the product may hold more, which a
run leaves alone when they are fresh."""

from __future__ import annotations

import shlex
from collections.abc import Sequence

RANGES_APART = 4


def _ranges(positions: list[int]) -> list[tuple[int, int]]:
    out: list[tuple[int, int]] = []
    for p in positions:
        if out and out[-1][1] + 1 == p:
            out[-1] = (out[-1][0], p)
        else:
            out.append((p, p))
    return out


def _spec(dim: str, keys: list[str], picked: set[str]) -> str:
    positions = sorted(i for i, k in enumerate(keys) if k in picked)
    spans = _ranges(positions)
    if len(spans) == 1 and spans[0][1] - spans[0][0] >= 2:
        return f"{dim}={keys[spans[0][0]]}..{keys[spans[0][1]]}"
    return f"{dim}=" + ",".join(keys[i] for i in positions)


def _command(key: str, specs: list[str], modules: Sequence[str], out_arg: str | None) -> str:
    words = ["orvan", "run", *modules, "--select", key]
    for spec in specs:
        words += ["--partition", spec]
    if out_arg:
        words += ["--out", out_arg]
    return shlex.join(words)


def commands(key: str, dims: dict[str, list[str]], partitions: list[dict[str, str]],
             modules: Sequence[str] = (), out_arg: str | None = None) -> list[str]:
    """The commands that run `partitions` of asset `key` (declared keys per dimension in `dims`)."""
    if not partitions:
        return []
    if not dims:
        return [_command(key, [], modules, out_arg)]
    if len(dims) == 1:
        (dim, keys), = dims.items()
        picked = {p[dim] for p in partitions if dim in p}
        spans = _ranges(sorted(i for i, k in enumerate(keys) if k in picked))
        if 1 < len(spans) <= RANGES_APART:
            return [_command(key, [_spec(dim, keys, set(keys[a:b + 1]))], modules, out_arg) for a, b in spans]
        return [_command(key, [_spec(dim, keys, picked)], modules, out_arg)]
    specs = [_spec(dim, keys, {p[dim] for p in partitions if dim in p}) for dim, keys in dims.items()]
    return [_command(key, specs, modules, out_arg)]
