"""What a stored value depends on.

A job's code fingerprint hashes its parts: its function's source; its
module's source with every asset function's source taken out; the source of
each project-local module that module imports, directly or through other
local modules; the versions of the installed distributions they import; the
Python version; and its partition keys. Taking the asset functions out of the
module text means that editing one asset changes only that asset's
fingerprint, while editing anything else in the module (a helper, an import,
a constant) changes every asset of the module, since any of them might depend
on it.

Upstream jobs are not part of it: a job reads upstream *values*, and the
content hashes of the values it read are recorded beside the fingerprint.
So an upstream that reruns and writes the same bytes leaves it fresh.

The parts are stored with each successful attempt, so that a stale job can
say which of them changed (`diff`).
"""

from __future__ import annotations

import functools
import hashlib
import json
from collections.abc import Callable
from typing import Any

# Bump when the recipe below changes, so old catalogs are simply stale.
RECIPE = 2

Parts = dict[str, Any]


def module_residual(module_source: str, function_sources: list[str]) -> str:
    residual = module_source
    # Longest first, so an asset whose source contains another's text (say, a
    # nested helper that is itself an asset) is removed whole.
    for src in sorted({s.strip("\n") for s in function_sources if s.strip()}, key=len, reverse=True):
        residual = residual.replace(src, "", 1)
    # Blank lines carry no meaning at module level; without this, moving an
    # asset (and the blank lines around it) would make the whole module stale.
    return "\n".join(line.rstrip() for line in residual.splitlines() if line.strip())


# Cached: every job of an asset hashes the same function and module sources.
@functools.lru_cache(maxsize=1024)
def sha256_text(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def sha256_bytes(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def code_parts(
    *,
    function_source: str,
    module_residual: str,
    python_version: str,
    module: str,
    function: str,
    partition: dict[str, str],
    local_modules: dict[str, str] | None = None,
    packages: dict[str, str] | None = None,
) -> Parts:
    return {
        "recipe": RECIPE,
        "python": python_version,
        "where": f"{module}.{function}",
        "function_source": sha256_text(function_source),
        "module_source": sha256_text(module_residual),
        "local_modules": dict(local_modules or {}),
        "packages": dict(packages or {}),
        "partition": partition,
    }


# One encoder for every call: json.dumps builds a new one per call when given
# options, which is most of its cost on a small document.
_CANONICAL = json.JSONEncoder(sort_keys=True, ensure_ascii=True, separators=(",", ":"))


def canonical(value: object) -> str:
    return _CANONICAL.encode(value)


def fingerprint(parts: Parts) -> str:
    return hashlib.sha256(canonical(parts).encode()).hexdigest()


def hashes_to(text: str, fp: str) -> bool:
    """Whether `text` is the canonical form of parts whose fingerprint is `fp`."""
    return hashlib.sha256(text.encode()).hexdigest() == fp


def partition_fingerprints(shared: Parts) -> Callable[[str], str]:
    """For the jobs of one asset, whose parts are `shared` but for their
    "partition": the fingerprint from the canonical text of the partition
    alone. What the jobs share is encoded once, not once per job."""
    mark = canonical("\0partition\0")
    whole = canonical({**shared, "partition": "\0partition\0"})
    if whole.count(mark) != 1:  # only if some other part holds the same text
        return lambda text: fingerprint({**shared, "partition": json.loads(text)})
    head, tail = (piece.encode() for piece in whole.split(mark))
    return lambda text: hashlib.sha256(head + text.encode() + tail).hexdigest()


def _changes(kind: str, old: dict[str, str], new: dict[str, str]) -> list[tuple[str, str]]:
    """(reason code, text) for each entry of a name -> hash/version map that differs."""
    out = []
    for name in sorted(set(old) | set(new)):
        before, after = old.get(name), new.get(name)
        if before == after:
            continue
        if kind == "local":
            what = "changed" if before and after else ("now imported" if after else "no longer imported")
            out.append(("local_module", f"local module `{name}` {what}"))
        elif before and after:
            out.append(("package", f"`{name}` {before} -> {after}"))
        else:
            out.append(("package", f"`{name}` {after} now imported" if after else f"`{name}` no longer imported"))
    return out


def diff(old: Parts | None, new: Parts) -> list[tuple[str, str]]:
    """Why a value computed with `old` parts is out of date for `new`, as
    (reason code, text) pairs; empty when they are the same."""
    if not old or old.get("recipe") != new.get("recipe"):
        return [("recipe", "fingerprint recipe changed")]
    out: list[tuple[str, str]] = []
    if old.get("where") != new["where"]:
        out.append(("where", f"now defined by {new['where']} (was {old.get('where')})"))
    if old.get("function_source") != new["function_source"]:
        out.append(("function_source", "function source changed"))
    if old.get("module_source") != new["module_source"]:
        out.append(("module_source", "module source outside the assets changed"))
    out += _changes("local", old.get("local_modules") or {}, new["local_modules"])
    if old.get("python") != new["python"]:
        out.append(("python", f"Python {old.get('python')} -> {new['python']}"))
    out += _changes("package", old.get("packages") or {}, new["packages"])
    if old.get("partition") != new["partition"]:
        out.append(("partition", "partition keys changed"))
    return out
