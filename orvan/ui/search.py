"""What the search box (Ctrl-K) finds: assets by key, partitions by key,
runs by number; a few of each, the closest first."""

from __future__ import annotations

from .html import asset_url, job_url
from .model import Model
from .reader import RunRow

EACH = 8


def _assets(model: Model, q: str) -> list[dict[str, str]]:
    found = [k for k in model.assets if q in k.lower()]
    # A match in the name itself before one in the module path; shorter first.
    found.sort(key=lambda k: (q not in k.rsplit(".", 1)[-1].lower(), len(k), k))
    return [{"kind": "asset", "label": k, "href": asset_url(k)} for k in found[:EACH]]


def _partitions(model: Model, q: str) -> list[dict[str, str]]:
    out: list[dict[str, str]] = []
    for key, asset in model.assets.items():
        for dim, keys in asset.dims.items():
            for k in keys:
                if q not in k.lower():
                    continue
                if len(asset.dims) == 1:
                    out.append({"kind": "partition", "label": f"{key}[{dim}={k}]", "href": job_url(key, {dim: k})})
                else:
                    out.append({"kind": "partition", "label": f"{key} {dim}={k}", "href": asset_url(key)})
                if len(out) >= EACH:
                    return out
    return out


def _runs(runs: list[RunRow], q: str) -> list[dict[str, str]]:
    number = q.removeprefix("run").strip()
    if not number.isdigit():
        return []
    return [{"kind": "run", "label": f"run {r.id}", "detail": r.status, "href": f"/run/{r.id}"}
            for r in runs if str(r.id).startswith(number)][:EACH]


def search(model: Model, runs: list[RunRow], text: str) -> list[dict[str, str]]:
    q = text.strip().lower()
    if not q:
        return []
    return _runs(runs, q) + _assets(model, q) + _partitions(model, q)
