"""What a stored value depends on.

A job's fingerprint hashes its function's source; its module's source with
every asset function's source taken out; the Python version; its partition
keys; and the fingerprints of the upstream jobs it reads. Taking the asset
functions out of the module text means that editing one asset changes only
that asset's fingerprint (and, through the upstream fingerprints, those of
its downstream jobs), while editing anything else in the module (a helper, an
import, a constant) changes every asset of the module, since any of them
might depend on it.
"""

from __future__ import annotations

import hashlib
import json

# Bump when the recipe below changes, so old catalogs are simply stale.
RECIPE = 1


def module_residual(module_source: str, function_sources: list[str]) -> str:
    residual = module_source
    # Longest first, so an asset whose source contains another's text (say, a
    # nested helper that is itself an asset) is removed whole.
    for src in sorted({s.strip("\n") for s in function_sources if s.strip()}, key=len, reverse=True):
        residual = residual.replace(src, "", 1)
    # Blank lines carry no meaning at module level; without this, moving an
    # asset (and the blank lines around it) would make the whole module stale.
    return "\n".join(line.rstrip() for line in residual.splitlines() if line.strip())


def fingerprint(
    *,
    function_source: str,
    module_residual: str,
    python_version: str,
    module: str,
    function: str,
    partition: dict[str, str],
    upstream: list[tuple[str, str, str]],
) -> str:
    """`upstream` lists (parameter, map key or "", upstream job fingerprint)."""
    doc = {
        "recipe": RECIPE,
        "python": python_version,
        "module": module,
        "function": function,
        "function_source": hashlib.sha256(function_source.encode()).hexdigest(),
        "module_source": hashlib.sha256(module_residual.encode()).hexdigest(),
        "partition": partition,
        "upstream": sorted(upstream),
    }
    text = json.dumps(doc, sort_keys=True, ensure_ascii=True, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()
