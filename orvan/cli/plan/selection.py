"""Which assets a command acts on: `--select` terms and their graph operators.

A term names assets and may widen the set along the graph:

    KEY             that asset (its key, or its function name when unique)
    pipe.prices.*   every asset whose key matches the shell-style pattern
    +KEY            KEY and everything upstream of it
    KEY+            KEY and everything downstream of it
    +KEY+           both
    2+KEY, KEY+1    only that many levels up or down

Terms come from repeated `--select` options, each of which may hold several
terms separated by commas.
"""

from __future__ import annotations

import fnmatch
import re
from collections.abc import Collection, Iterable, Mapping
from typing import NamedTuple

from ...errors import OrvanError
from .graph import Asset

# Stands for "every level" in a Term's up/down depth.
ALL = -1

_TERM = re.compile(r"^(?:(\d*)\+)?(.*?)(?:\+(\d*))?$", re.DOTALL)
# The characters that make a name a shell-style pattern (fnmatch).
GLOB_CHARS = frozenset("*?[")


class SelectionError(OrvanError):
    pass


class Term(NamedTuple):
    name: str
    up: int = 0  # levels upstream to add: 0 none, ALL every level
    down: int = 0


def split_terms(values: Iterable[str]) -> list[str]:
    """The terms of every `--select` value, commas separating them."""
    return [t.strip() for value in values for t in value.split(",") if t.strip()]


def _depth(digits: str | None) -> int:
    if digits is None:
        return 0
    return ALL if digits == "" else int(digits)


def parse_term(text: str, known: Collection[str] = ()) -> Term:
    """A term's name and depths; a key that itself contains "+" stays whole."""
    if text in known:
        return Term(text)
    match = _TERM.match(text)
    assert match is not None  # every part of the pattern is optional
    up, name, down = match.groups()
    if not name:
        raise SelectionError(f"--select {text!r}: no asset named")
    if name.endswith("+") or name.startswith("+"):
        raise SelectionError(f"--select {text!r}: expected [N]+NAME or NAME+[N]")
    return Term(name, _depth(up), _depth(down))


def _hint(name: str, assets: Mapping[str, Asset]) -> str:
    names = list(assets) + [a.record.function for a in assets.values()]
    import difflib  # only for a name that matches nothing

    close = difflib.get_close_matches(name, names, n=1)
    return f" (did you mean {close[0]!r}?)" if close else " (orvan list shows the keys)"


def match_name(name: str, assets: Mapping[str, Asset]) -> list[str]:
    """The keys a name stands for: the key itself, a unique function name,
    or the keys matching a pattern."""
    if name in assets:
        return [name]
    if GLOB_CHARS & set(name):
        found = [k for k in assets if fnmatch.fnmatchcase(k, name)]
        if not found:
            raise SelectionError(f"--select: no asset key matches {name!r}" + _hint(name, assets))
        return found
    by_function = [k for k, a in assets.items() if a.record.function == name or a.record.where == name]
    if len(by_function) == 1:
        return by_function
    if by_function:
        raise SelectionError(
            f"--select: {name!r} is the function of several assets; name one of "
            + ", ".join(repr(k) for k in by_function)
        )
    raise SelectionError(f"--select: no such asset: {name!r}" + _hint(name, assets))


def downstream_of(assets: Mapping[str, Asset]) -> dict[str, list[str]]:
    result: dict[str, list[str]] = {key: [] for key in assets}
    for key, asset in assets.items():
        for up in dict.fromkeys(asset.inputs.values()):
            if up in result:
                result[up].append(key)
    return result


def walk(start: Iterable[str], edges: Mapping[str, Iterable[str]], depth: int) -> set[str]:
    """`start` and what `edges` reach from it within `depth` steps (ALL: any)."""
    seen = set(start)
    frontier = list(seen)
    level = 0
    while frontier and (depth == ALL or level < depth):
        level += 1
        nxt = [n for node in frontier for n in edges.get(node, ()) if n not in seen]
        seen.update(nxt)
        frontier = list(dict.fromkeys(nxt))
    return seen


def select(assets: Mapping[str, Asset], terms: list[str]) -> list[str]:
    """The selected keys, in the order of `assets` (dependency order for a
    checked graph). Every term's problem is reported at once."""
    upstream = {key: list(a.inputs.values()) for key, a in assets.items()}
    downstream = downstream_of(assets)
    chosen: set[str] = set()
    problems: list[str] = []
    for text in terms:
        try:
            term = parse_term(text, assets)
            keys = match_name(term.name, assets)
        except SelectionError as e:
            problems.append(str(e))
            continue
        chosen |= walk(keys, upstream, term.up) if term.up else set(keys)
        chosen |= walk(keys, downstream, term.down) if term.down else set()
    if problems:
        raise SelectionError("\n".join(problems))
    return [key for key in assets if key in chosen]
