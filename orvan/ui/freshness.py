"""Each job's state as the pages show it, and why: `orvan status`'s
verdicts (`orvan.cli.run.freshness`), asked of the same function with the same
catalog rows and stored files. Nothing here decides a state; this module
only picks the verdicts a page needs and words them for it.
"""

from __future__ import annotations

from collections.abc import Iterable

from ..cli.run.freshness import Verdict, assess, recorded
from ..cli.plan.jobs import Plan
from ..cli.report import when
from ..states import State
from .reader import Latest

# One letter per state, for the matrix's compact cell data and CSS classes.
CODES = {State.FRESH: "f", State.STALE: "s", State.FAILED: "x", State.INTERRUPTED: "i", State.RUNNING: "r",
         State.MISSING: "m", State.BLOCKED: "b"}
# A glyph per state, so that no state is told by its colour alone.
GLYPHS = {State.FRESH: "✓", State.STALE: "↻", State.FAILED: "✕", State.INTERRUPTED: "‖", State.RUNNING: "▶",
          State.MISSING: "○", State.BLOCKED: "⊘"}
# The state a whole asset shows: the most pressing of its jobs'.
PRIORITY = tuple(State)


def upstream_of(plan: Plan, keys: Iterable[str]) -> Plan:
    """The part of the plan that the verdicts on `keys`' jobs depend on:
    their assets' jobs and those of every asset upstream, in the plan's order."""
    wanted: set[str] = set()
    stack = list(keys)
    while stack:
        key = stack.pop()
        if key not in wanted and key in plan.by_asset:
            wanted.add(key)
            stack.extend(plan.by_asset[key][0].asset.inputs.values())
    if len(wanted) == len(plan.by_asset):
        return plan
    return Plan({j: job for j, job in plan.jobs.items() if job.key in wanted}, {})


class Judge:
    """One request's verdicts: on every job of the plan, or, for a page about
    some assets (`scope`), on theirs and what they read. A job the loaded
    code does not declare is judged by its last attempt alone."""

    def __init__(self, latest: Latest, alive: bool, plan: Plan | None, out_dir: str,
                 scope: Iterable[str] | None = None):
        self.latest = latest.rows
        self.attempts = latest.attempts
        self.alive = alive
        if plan is not None and scope is not None:
            plan = upstream_of(plan, scope)
        self.verdicts = assess(plan, self.attempts, out_dir, alive=alive) if plan is not None else {}

    def verdict(self, key: str, token: str) -> Verdict:
        found = self.verdicts.get((key, token))
        return found if found is not None else recorded(self.attempts.get((key, token)), self.alive)

    def state(self, key: str, token: str) -> State:
        found = self.verdicts.get((key, token))
        return found.state if found is not None else self.verdict(key, token).state

    def reasons(self, key: str, token: str) -> list[str]:
        """Why the job is in its state, in words, most important first."""
        texts = [r.text for r in self.verdict(key, token).reasons]
        row = self.latest.get((key, token))
        if not texts and row is not None:
            at = f"run {row.run_id}" + (f" at {when(row.ended_at)}" if row.ended_at else "")
            texts = [f"computed by {at}; nothing it depends on has changed since"]
        return texts
