"""Whether each job's stored value is still right, and why not.

A job is fresh when its last attempt succeeded, its code fingerprint is the
one that attempt recorded, its stored value has the size recorded for it, and
the upstream values it read then are the ones stored now (by content hash).
The last condition can only be settled once the upstream jobs are settled:
a job whose own code is unchanged but one of whose upstream jobs will rerun
is left to the scheduler, which compares the hashes when the upstream values
are written (`Decision.CHECK`). `orvan status`, which runs nothing, reports
such a job as stale because an upstream will rerun.

`assess` returns structured reasons, for `status --why` and the web UI alike.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from enum import StrEnum

from ...catalog import FAILED, INTERRUPTED, RUNNING, Attempt
from ..plan.fingerprint import diff, hashes_to
from .jobfiles import stored_size
from ..plan.jobs import Job, JobId, Plan, job_label


class Decision(StrEnum):
    FRESH = "fresh"  # settled now: skip it
    RUN = "run"  # settled now: run it
    CHECK = "check"  # code unchanged: fresh if its upstream values come out the same


@dataclass(frozen=True)
class Reason:
    # A stable identifier (never_run, failed, running, value_missing, damaged,
    # recipe, where, function_source, module_source, local_module, python,
    # package, partition, upstream_changed, upstream_rerun, forced) and the
    # sentence shown to the user.
    code: str
    text: str


@dataclass
class Verdict:
    state: str  # fresh, stale, failed, missing or running, as `status` shows it
    decision: Decision
    reasons: list[Reason] = field(default_factory=list)
    # The hash of the stored value, while it may still be served as fresh.
    value_hash: str | None = None
    # What its last success read: upstream job -> value hash.
    inputs: dict[JobId, str] | None = None


def _label(job_id: JobId) -> str:
    key, token = job_id
    try:
        partition = json.loads(token) if token else {}
    except ValueError:
        partition = {}
    return job_label(key, partition if isinstance(partition, dict) else {})


# job -> the size of its stored value as a remote store has it (None: absent);
# without it, the output directory is looked at.
Sizes = Mapping[JobId, "int | None"]


def _own(out_dir: str, job: Job, attempt: Attempt | None, sizes: Sizes | None = None) -> tuple[str, list[Reason]]:
    """The job's state and reasons from its own last attempt and files alone."""
    if attempt is None:
        return "missing", [Reason("never_run", "never run")]
    if attempt.status in (FAILED, INTERRUPTED):
        return "failed", [Reason("failed", f"last attempt failed: {attempt.error or 'no error recorded'}")]
    if attempt.status == RUNNING:
        return "running", [Reason("running", "an attempt is running or its runner stopped")]
    size = stored_size(out_dir, job) if sizes is None else sizes.get(job.id)
    if size is None:
        return "missing", [Reason("value_missing", "its stored value or result is missing")]
    same = attempt.value_hash is not None and _same_parts(attempt, job)
    if not same and (attempt.value_hash is None or attempt.parts is None):
        return "stale", [Reason("recipe", "fingerprint recipe changed")]
    reasons = [] if same else _code_changes(attempt, job)
    if size != attempt.value_size:
        reasons.insert(0, Reason("damaged", f"stored value damaged ({size} bytes, {attempt.value_size} recorded)"))
    return ("stale" if reasons else "fresh"), reasons


def _same_parts(attempt: Attempt, job: Job) -> bool:
    """Whether the attempt recorded the job's own parts, read without
    decoding them: they are stored as the very text the fingerprint hashes."""
    return (attempt.fingerprint == job.fingerprint and attempt.parts_text is not None
            and hashes_to(attempt.parts_text, job.fingerprint))


def _code_changes(attempt: Attempt, job: Job) -> list[Reason]:
    reasons = [Reason(code, text) for code, text in diff(attempt.parts, job.parts)]
    if not reasons and attempt.fingerprint != job.fingerprint:
        reasons.append(Reason("recipe", "fingerprint recipe changed"))
    return reasons


def input_changes(job: Job, recorded: Mapping[JobId, str] | None, current: Mapping[JobId, str | None]) -> list[Reason]:
    """How the upstream values stored now differ from those the job last read."""
    recorded = recorded or {}
    reasons = []
    for dep in job.deps:
        if dep not in recorded:
            reasons.append(Reason("upstream_changed", f"upstream {_label(dep)} was not read before"))
        elif recorded[dep] != current.get(dep):
            reasons.append(Reason("upstream_changed", f"upstream {_label(dep)} value changed"))
    for gone in sorted(set(recorded) - set(job.deps)):
        reasons.append(Reason("upstream_changed", f"upstream {_label(gone)} is no longer read"))
    return reasons


def _verdict(out_dir: str, job: Job, attempt: Attempt | None, upstream: Mapping[JobId, Verdict],
             forced: bool, sizes: Sizes | None = None) -> Verdict:
    state, reasons = _own(out_dir, job, attempt, sizes)
    if forced:
        return Verdict(state, Decision.RUN, [Reason("forced", "--force"), *reasons])
    if reasons or attempt is None:
        return Verdict(state, Decision.RUN, reasons)
    if not job.deps and not attempt.input_hashes:  # the most common case, settled at once
        return Verdict("fresh", Decision.FRESH, [], attempt.value_hash, attempt.input_hashes)
    ups = [upstream[d] for d in job.deps]
    rerun = [d for d, v in zip(job.deps, ups) if v.decision != Decision.FRESH]
    if rerun:
        why = [Reason("upstream_rerun", f"upstream {_label(d)} will rerun") for d in rerun]
        return Verdict("stale", Decision.CHECK, why, attempt.value_hash, attempt.input_hashes)
    changed = input_changes(job, attempt.input_hashes, {d: v.value_hash for d, v in zip(job.deps, ups)})
    if changed:
        return Verdict("stale", Decision.RUN, changed)
    return Verdict("fresh", Decision.FRESH, [], attempt.value_hash, attempt.input_hashes)


def assess(plan: Plan, attempts: Mapping[JobId, Attempt], out_dir: str,
           forced: Iterable[str | JobId] = (), sizes: Sizes | None = None) -> dict[JobId, Verdict]:
    """A verdict for every job of the plan; `forced` names assets, or single
    jobs (a backfill of some partitions), to rerun whatever their state.
    `sizes`: the stored values' sizes, when a remote store holds them."""
    force = set(forced)
    verdicts: dict[JobId, Verdict] = {}
    for job in plan.jobs.values():  # dependency order: upstream verdicts come first
        verdicts[job.id] = _verdict(out_dir, job, attempts.get(job.id), verdicts,
                                    job.key in force or job.id in force, sizes)
    return verdicts
