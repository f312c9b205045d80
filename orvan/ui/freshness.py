"""Each job's state as the pages show it, and why.

With the pipeline's code loaded, these are `orvan status --why`'s verdicts
(`orvan.cli.run.freshness.assess`). Without it, the catalog alone decides: a
failed or running last attempt, a value removed by `orvan clean`, or a
fingerprint other than the one the code gives the job now.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping

from ..catalog import Attempt
from ..cli.run.freshness import Verdict, assess
from ..cli.plan.jobs import JobId, Plan
from ..cli.report import when
from ..states import JobState
from .reader import JobRow

FRESH, STALE, FAILED, RUNNING, MISSING = "fresh", "stale", "failed", "running", "missing"
# One letter per state, for the matrix's compact cell data and CSS classes.
CODES = {FRESH: "f", STALE: "s", FAILED: "x", RUNNING: "r", MISSING: "m"}
# The state a whole asset shows: the most pressing of its jobs'.
PRIORITY = (RUNNING, FAILED, STALE, MISSING, FRESH)


def state_of(row: JobRow | None, fingerprint: str | None, alive: bool) -> str:
    if row is None:
        return MISSING
    if row.status in (JobState.FAILED, JobState.INTERRUPTED):
        return FAILED
    if row.status == JobState.RUNNING:
        # A running row whose runner is gone will be redone by the next run.
        return RUNNING if alive else FAILED
    if row.removed_at is not None:
        return MISSING
    if fingerprint is not None and row.fingerprint != fingerprint:
        return STALE
    return FRESH


def reasons(row: JobRow | None, fingerprint: str | None, alive: bool, has_value: bool = True) -> list[str]:
    """Why the job is in its state, in words, most important first."""
    state = state_of(row, fingerprint, alive)
    if row is None:
        return ["it has never been materialised"]
    at = f"run {row.run_id}" + (f" at {when(row.ended_at)}" if row.ended_at else "")
    if state == FAILED:
        if row.status == JobState.RUNNING:
            return [f"{at}: its runner stopped before the job finished; the next run redoes it"]
        return [f"its last attempt ({at}) {row.status}: {row.error or 'no error recorded'}"]
    if state == RUNNING:
        return [f"run {row.run_id} is computing it now"]
    if state == MISSING:
        return [f"its files were removed at {when(row.removed_at or 0)}"]
    if not has_value:
        return [f"computed by {at}, but its value file is no longer on disk"]
    if state == STALE:
        return [f"computed by {at}, but its code, or the code or value of something upstream, has changed "
                f"since (fingerprint {row.fingerprint[:12]} then, {(fingerprint or '')[:12]} now)"]
    return [f"computed by {at}; nothing it depends on has changed since"]


class Judge:
    """One request's view of every job's state and reasons.

    States come from the catalog, so that a graph of thousands of assets or
    a matrix of tens of thousands of partitions costs one query: a job is as
    its last attempt and fingerprint say, and stale besides while something
    upstream is not fresh. Reasons are `orvan status --why`'s verdicts,
    worked out for the job and what it reads only.
    """

    def __init__(self, latest: Mapping[JobId, JobRow], alive: bool, plan: Plan | None = None,
                 attempt_of: Callable[[JobId], Attempt | None] | None = None, out_dir: str = ""):
        self.latest = latest
        self.alive = alive
        self.plan = plan
        self.attempt_of = attempt_of
        self.out_dir = out_dir
        self.states = self._propagate(plan) if plan is not None else {}

    def _propagate(self, plan: Plan) -> dict[JobId, str]:
        states: dict[JobId, str] = {}
        latest, alive = self.latest, self.alive
        for jid, job in plan.jobs.items():  # dependency order
            state = state_of(latest.get(jid), job.fingerprint, alive)
            if state == FRESH and job.deps and any(states[d] != FRESH for d in job.deps):
                state = STALE
            states[jid] = state
        return states

    def state(self, key: str, token: str, fingerprint: str | None) -> str:
        found = self.states.get((key, token))
        return found if found is not None else state_of(self.latest.get((key, token)), fingerprint, self.alive)

    def verdict(self, jid: JobId) -> Verdict | None:
        """`orvan status --why`'s verdict on one job of the plan."""
        if self.plan is None or self.attempt_of is None or jid not in self.plan.jobs:
            return None
        closure, stack = set(), [jid]
        while stack:
            j = stack.pop()
            if j not in closure:
                closure.add(j)
                stack.extend(self.plan.jobs[j].deps)
        jobs = {j: job for j, job in self.plan.jobs.items() if j in closure}
        attempts = {j: a for j in closure if (a := self.attempt_of(j)) is not None}
        return assess(Plan(jobs, {}), attempts, self.out_dir)[jid]

    def reasons(self, key: str, token: str, fingerprint: str | None, has_value: bool = True) -> list[str]:
        row = self.latest.get((key, token))
        verdict = self.verdict((key, token))
        if verdict is None:
            return reasons(row, fingerprint, self.alive, has_value)
        if verdict.state == RUNNING and not self.alive and row is not None:
            return [f"run {row.run_id}: its runner stopped before the job finished; the next run redoes it"]
        texts = [r.text for r in verdict.reasons]
        if not texts and row is not None:
            at = f"run {row.run_id}" + (f" at {when(row.ended_at)}" if row.ended_at else "")
            texts = [f"computed by {at}; nothing it depends on has changed since"]
        return texts
