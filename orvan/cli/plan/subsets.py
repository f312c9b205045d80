"""Subsets of partitions for a backfill: `--partition DIM=SPEC`.

    date=2024-01-02                one key
    date=2024-01-02,2024-01-05     a list of keys
    date=2024-01-02..2024-01-31    a range, in the order the asset declares its keys
    date=2024-01-*                 the keys matching a shell-style pattern

Keys are compared in their text form (`naming.key_text`), the form the
command line and the job labels use.
"""

from __future__ import annotations

import fnmatch
from collections.abc import Mapping
from typing import NamedTuple

from ...errors import OrvanError
from ...store.naming import key_text
from .selection import GLOB_CHARS

RANGE = ".."


class SubsetError(OrvanError):
    pass


class DimSpec(NamedTuple):
    """One `--partition` option: a dimension and how its keys are chosen."""

    dim: str
    values: tuple[str, ...] = ()
    first: str | None = None
    last: str | None = None
    pattern: str | None = None

    def pick(self, declared: list[str]) -> list[str]:
        """The declared keys this option stands for, in declared order."""
        if self.pattern is not None:
            return [k for k in declared if fnmatch.fnmatchcase(k, self.pattern)]
        if self.first is not None and self.last is not None:
            lo, hi = declared.index(self.first), declared.index(self.last)
            if lo > hi:
                raise SubsetError(
                    f"--partition {self.dim}={self.first}{RANGE}{self.last}: "
                    f"{self.first!r} comes after {self.last!r} in the declared order"
                )
            return declared[lo:hi + 1]
        wanted = set(self.values)
        return [k for k in declared if k in wanted]

    def named(self) -> list[str]:
        """The keys the option names outright, each of which must be declared."""
        if self.first is not None and self.last is not None:
            return [self.first, self.last]
        return list(self.values)


def parse_spec(text: str) -> DimSpec:
    dim, sep, spec = text.partition("=")
    dim = dim.strip()
    if not sep or not dim or not spec:
        raise SubsetError(f"--partition {text!r}: expected DIM=VALUE[,VALUE...], DIM=FIRST..LAST or DIM=PATTERN")
    if GLOB_CHARS & set(spec):
        return DimSpec(dim, pattern=spec)
    if RANGE in spec and "," not in spec:
        first, _, last = spec.partition(RANGE)
        if not first or not last:
            raise SubsetError(f"--partition {text!r}: a range needs both ends, FIRST..LAST")
        return DimSpec(dim, first=first, last=last)
    return DimSpec(dim, values=tuple(v for v in spec.split(",") if v))


def parse_specs(texts: list[str]) -> dict[str, DimSpec]:
    specs: dict[str, DimSpec] = {}
    for text in texts:
        spec = parse_spec(text)
        if spec.dim in specs:
            raise SubsetError(f"--partition: dimension {spec.dim!r} given twice (list its keys with commas)")
        specs[spec.dim] = spec
    return specs


def _check(spec: DimSpec, declared: list[str]) -> None:
    for key in spec.named():
        if key not in declared:
            # Partition keys are often short (d1, eu): accept a looser match.
            import difflib  # only for a key that matches nothing

            close = difflib.get_close_matches(key, declared, n=1, cutoff=0.5)
            if close:
                hint = f" (did you mean {close[0]!r}?)"
            else:
                hint = f" (declared: {', '.join(declared[:10])}{', ...' if len(declared) > 10 else ''})"
            raise SubsetError(f"--partition {spec.dim}: {key!r} is not a declared key" + hint)


def choose(specs: Mapping[str, DimSpec], partitions: Mapping[str, list[object]]) -> dict[str, set[str]] | None:
    """For one asset's declared partitions, the keys chosen per constrained
    dimension, or None when the asset has none of the dimensions."""
    mine = [d for d in specs if d in partitions]
    if not mine:
        return None
    chosen: dict[str, set[str]] = {}
    for dim in mine:
        declared = [key_text(k) for k in partitions[dim]]
        _check(specs[dim], declared)
        chosen[dim] = set(specs[dim].pick(declared))
    return chosen


def matches(partition: Mapping[str, str], chosen: Mapping[str, set[str]]) -> bool:
    return all(partition[d] in keys for d, keys in chosen.items())
