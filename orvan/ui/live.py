"""Live updates as small changes: what a page holds is the state of every job
at the version it was drawn at; it asks what changed since, and gets only the
jobs whose state differs, with the new summary of each asset they belong to.

The states at a version are worked out once and kept for the last few
versions, whichever page asks; a page whose version is no longer kept is
told to draw itself again.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass

from .freshness import CODES, PRIORITY, Judge
from .model import Model
from .reader import Queries

KEPT = 24


@dataclass(frozen=True)
class Snapshot:
    # asset key -> one state letter per partition, in the plan's order
    codes: dict[str, str]
    # run id -> (its status, {job row id: (asset key, status)}), for the runs pages follow
    runs: dict[int, tuple[str, dict[int, tuple[str, str]]]]
    # the latest run's id and status: the front page tells of a run going on
    latest: tuple[int, str] = (0, "")


def states_of(model: Model, judge: Judge) -> dict[str, str]:
    state = judge.state
    return {key: "".join(CODES[state(key, tok)] for tok in a.tokens) for key, a in model.assets.items()}


NAMES = {code: state for state, code in CODES.items()}


def summary(codes: str) -> dict[str, int]:
    counts: dict[str, int] = {}
    for code in set(codes):
        counts[NAMES[code]] = codes.count(code)
    return {s: counts[s] for s in PRIORITY if s in counts}


def totals(snap: Snapshot) -> dict[str, int]:
    out: dict[str, int] = {}
    for codes in snap.codes.values():
        for s, n in summary(codes).items():
            out[s] = out.get(s, 0) + n
    return {s: out[s] for s in PRIORITY if s in out}


def delta(old: Snapshot, new: Snapshot, run: int | None, runs: bool = False) -> dict[str, object]:
    """What a page drawn at `old` must change to show `new`; a page that
    tells of the latest run (`runs`) is drawn again when another starts or it ends."""
    reshaped = old.codes.keys() != new.codes.keys() or any(len(old.codes[k]) != len(v) for k, v in new.codes.items())
    if reshaped or (runs and old.latest != new.latest):
        return {"reload": True}
    jobs: list[list[object]] = []
    assets: dict[str, dict[str, int]] = {}
    for key, codes in new.codes.items():
        was = old.codes[key]
        if was == codes:
            continue
        jobs.extend([key, i, c] for i, c in enumerate(codes) if c != was[i])
        assets[key] = summary(codes)
    out: dict[str, object] = {"jobs": jobs, "assets": assets}
    if assets:
        out["totals"] = totals(new)
    if run is not None:
        r_old, r_new = old.runs.get(run), new.runs.get(run)
        if r_old is None or r_new is None or r_old[0] != r_new[0] or r_old[1].keys() != r_new[1].keys():
            return {"reload": True}
        before = r_old[1]
        out["run"] = [[i, k, before[i][1], s] for i, (k, s) in r_new[1].items() if before[i][1] != s]
    return out


class Snapshots:
    """The last versions' states, computed once per version."""

    def __init__(self) -> None:
        self._kept: OrderedDict[str, Snapshot] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, version: str) -> Snapshot | None:
        with self._lock:
            return self._kept.get(version)

    def at(self, version: str, q: Queries, model: Model, judge: Callable[[], Judge], runs: list[int]) -> Snapshot:
        """The snapshot at `version`, the current one, with `runs` in it."""
        with self._lock:
            snap = self._kept.get(version)
            if snap is None:
                last = q.runs(1)
                snap = Snapshot(states_of(model, judge()), {}, (last[0].id, last[0].status) if last else (0, ""))
            missing = [r for r in runs if r not in snap.runs]
            if missing:
                snap = Snapshot(snap.codes, {**snap.runs, **{r: _run_state(q, r) for r in missing}}, snap.latest)
            self._kept[version] = snap
            self._kept.move_to_end(version)
            while len(self._kept) > KEPT:
                self._kept.popitem(last=False)
            return snap


def _run_state(q: Queries, run_id: int) -> tuple[str, dict[int, tuple[str, str]]]:
    row = q.run(run_id)
    return (row.status if row else "", {j.id: (j.asset_key, j.status) for j in q.run_jobs(run_id)})
