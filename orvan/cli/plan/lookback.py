"""Inputs that read a window of earlier partitions (`orvan.time.lookback`).

The downstream's job for key K of the dimension reads the upstream's jobs for
the `count` keys that end with K in the upstream's declared order (or end
just before it), each an ordinary dependency, so freshness and the early
cut-off treat them as any other input. The value passed is an object keyed
by the upstream's partition key on that dimension, in declared order; near
the first key it has fewer members, and for the first key with
current=False none.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ...store.naming import key_text

if TYPE_CHECKING:
    from .graph import Asset
    from .jobs import Input, JobId, _Builder

# (parameter, dimension or None, count, current), as discovery reads it.
Spec = tuple[str, "str | None", int, bool]


def window_dim(asset: Asset, up: Asset, spec: Spec) -> tuple[str | None, str | None]:
    """The dimension the window runs over, or None and the problem."""
    param, dim, _, _ = spec
    if dim is None:
        shared = [d for d in asset.dims if d in up.partitions]
        if len(shared) != 1:
            return None, (f"asset {asset.key!r}: lookback input {param!r} needs dim=...: "
                          f"it shares {len(shared)} partition dimensions with {up.key!r}")
        dim = shared[0]
    for who in (asset, up):
        if dim not in who.partitions:
            return None, f"asset {asset.key!r}: lookback input {param!r}: {who.key!r} is not partitioned by {dim!r}"
    missing = [d for d in up.dims if d not in asset.partitions]
    if missing:
        return None, (f"asset {asset.key!r}: lookback input {param!r}: {up.key!r} has dimensions "
                      f"{', '.join(missing)} that {asset.key!r} lacks")
    return dim, None


def check(assets: dict[str, Asset]) -> list[str]:
    """The problems of every lookback of the graph, found before planning."""
    problems = []
    for asset in assets.values():
        for spec in asset.record.lookbacks:
            up = assets.get(asset.inputs.get(spec[0], ""))
            if up is not None:
                _, problem = window_dim(asset, up, spec)
                if problem:
                    problems.append(problem)
    return problems


def _spec(asset: Asset, param: str) -> Spec | None:
    for spec in asset.record.lookbacks:
        if spec[0] == param:
            return spec
    return None


def _positions(builder: _Builder, up: Asset, dim: str) -> tuple[list[str], dict[str, int]]:
    """The upstream's keys on `dim` and their places, made once per plan."""
    cache: dict[tuple[str, str], tuple[list[str], dict[str, int]]] = builder.__dict__.setdefault("windows", {})
    found = cache.get((up.key, dim))
    if found is None:
        keys = [key_text(k) for k in up.partitions[dim]]
        found = cache[(up.key, dim)] = (keys, {k: i for i, k in enumerate(keys)})
    return found


def input_for(builder: _Builder, asset: Asset, partition: dict[str, str], param: str, up_key: str) -> Input | None:
    """The window one job of `asset` reads for `param`; None when `param`
    is not a lookback (or cannot be one: the graph reported why)."""
    from .jobs import Input

    spec = _spec(asset, param)
    if spec is None:
        return None
    up = builder.graph.assets[up_key]
    dim, _ = window_dim(asset, up, spec)
    if dim is None:
        return None
    keys, place = _positions(builder, up, dim)
    at = place.get(partition[dim])
    _, _, count, current = spec
    if at is None:
        window: list[str] = []
    else:
        end = at + 1 if current else at
        window = keys[max(0, end - count):end]
    jobs = builder.partitions_of(up_key)
    mapping: list[tuple[tuple[str, ...], JobId]] = []
    for key in window:
        found = jobs.get(tuple((d, key if d == dim else partition[d]) for d in up.dims))
        if found is not None:
            mapping.append(((key,), found.id))
    return Input(param, up_key, None, mapping)
