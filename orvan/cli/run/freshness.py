"""Whether each job's stored value is still right, and why not.

A job is fresh when its last attempt succeeded, its code fingerprint is the
one that attempt recorded, its stored value has the size recorded for it, and
the upstream values it read then are the ones stored now (by content hash).
The last condition can only be settled once the upstream jobs are settled:
a job whose own code is unchanged but one of whose upstream jobs will rerun
is left to the scheduler, which compares the hashes when the upstream values
are written (`Decision.CHECK`). `orvan status`, which runs nothing, reports
such a job as stale because an upstream will rerun.

`assess` is the one judge of a job's state (`State`): `run` acts on its
decisions, and `status`, `show`, `logs` and every page of the web UI show its
states and reasons; none of them keeps rules of its own. A job never run
because something upstream failed is `blocked`; one whose last attempt was
cut short is `interrupted`; a running attempt whose runner is gone is
`failed` (the next run redoes it).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from enum import StrEnum
from functools import lru_cache
from typing import TYPE_CHECKING

from ...catalog import DONE, FAILED, INTERRUPTED, RUNNING, Attempt, decode_inputs
from ...states import State
from ...store.naming import token_partition
from ..plan.fingerprint import diff, hashes_to
from .jobfiles import stored_size
from ..plan.jobs import Job, JobId, Plan, job_label

if TYPE_CHECKING:
    from ...store import Store


class Decision(StrEnum):
    FRESH = "fresh"  # settled now: skip it
    RUN = "run"  # settled now: run it
    CHECK = "check"  # code unchanged: fresh if its upstream values come out the same


@dataclass(frozen=True, slots=True)
class Reason:
    # A stable identifier (never_run, failed, interrupted, running,
    # runner_stopped, blocked, value_missing, damaged, recipe, where, function_source, module_source, local_module, python,
    # package, partition, upstream_changed, upstream_rerun, forced) and the
    # sentence shown to the user.
    code: str
    text: str


# Slots: `status` holds one per job, 876,000 of them for ten years of hours.
@dataclass(slots=True)
class Verdict:
    state: State
    decision: Decision
    reasons: list[Reason] = field(default_factory=list)
    # The hash of the stored value, while it may still be served as fresh.
    value_hash: str | None = None
    # What its last success read: upstream job -> value hash.
    inputs: dict[JobId, str] | None = None


def _label(job_id: JobId) -> str:
    key, token = job_id
    return job_label(key, token_partition(token))


# job -> the size of its stored value as a remote store has it (None: absent);
# without it, the output directory is looked at.
Sizes = Mapping[JobId, "int | None"]


def store_sizes(store: Store | None, plan: Plan, attempts: Mapping[JobId, Attempt]) -> Sizes | None:
    """With a remote store, each stored value's size as the store has it,
    asked by the names the catalog gives (no listing); None without one."""
    if store is None:
        return None
    from ...store import StoreError
    from .storefiles import stored_sizes

    try:
        return stored_sizes(store, plan, attempts)
    except StoreError as e:
        from ..plan.pipeline import CommandError

        raise CommandError(f"cannot check the stored values: {e}") from None



def _in_run(attempt: Attempt) -> str:
    return f" (run {attempt.run_id})" if attempt.run_id is not None else ""


_NEVER_RUN = Reason("never_run", "never run")


def attempt_state(attempt: Attempt | None, alive: bool) -> tuple[State, list[Reason]] | None:
    """The state a job's last attempt settles by its status alone, or None
    for a success (its files and code decide). `alive`: whether a runner
    holds the output directory now."""
    if attempt is None:
        return State.MISSING, [_NEVER_RUN]
    if attempt.status == FAILED:
        return State.FAILED, [Reason("failed", f"last attempt failed: {attempt.error or 'no error recorded'}")]
    if attempt.status == INTERRUPTED:
        error = f": {attempt.error}" if attempt.error else ""
        return State.INTERRUPTED, [Reason("interrupted", f"last attempt{_in_run(attempt)} was interrupted{error}")]
    if attempt.status == RUNNING:
        if alive:
            return State.RUNNING, [Reason("running", f"run {attempt.run_id} is computing it now")]
        # Nothing will finish it: its runner is gone. The next run redoes it.
        return State.FAILED, [Reason("runner_stopped", f"its runner{_in_run(attempt)} stopped before the job "
                                                       "finished; the next run redoes it")]
    return None


def _own(out_dir: str, job: Job, attempt: Attempt | None, alive: bool,
         sizes: Sizes | None = None) -> tuple[State, list[Reason]]:
    """The job's state and reasons from its own last attempt and files alone."""
    if attempt is None or attempt.status != DONE:  # a success, most often, goes straight on
        settled = attempt_state(attempt, alive)
        if settled is not None:
            return settled
    assert attempt is not None
    size = stored_size(out_dir, job) if sizes is None else sizes.get(job.id)
    if size is None:
        return State.MISSING, [Reason("value_missing", "its stored value or result is missing")]
    same = attempt.value_hash is not None and _same_parts(attempt, job)
    if not same and (attempt.value_hash is None or attempt.parts is None):
        return State.STALE, [Reason("recipe", "fingerprint recipe changed")]
    reasons = [] if same else _code_changes(attempt, job)
    if size != attempt.value_size:
        reasons.insert(0, Reason("damaged", f"stored value damaged ({size} bytes, {attempt.value_size} recorded)"))
    return (State.STALE if reasons else State.FRESH), reasons


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


# The upstream states that keep a job never run from running.
_BLOCKING = (State.FAILED, State.INTERRUPTED, State.BLOCKED)


def _blocked(job: Job, upstream: Mapping[JobId, Verdict], attempts: Mapping[JobId, Attempt]) -> Reason | None:
    """Why a job never run cannot run yet: the first upstream job that failed
    (and in which run), or that is blocked itself (and by what)."""
    for dep in job.deps:
        verdict = upstream[dep]
        if verdict.state not in _BLOCKING:
            continue
        if verdict.state == State.BLOCKED:
            return Reason("blocked", f"upstream {_label(dep)} never ran: {verdict.reasons[0].text}")
        attempt = attempts.get(dep)
        run = f" in run {attempt.run_id}" if attempt is not None and attempt.run_id is not None else ""
        how = "was interrupted" if verdict.state == State.INTERRUPTED else "failed"
        return Reason("blocked", f"upstream {_label(dep)} {how}{run}")
    return None


def _verdict(out_dir: str, job: Job, attempts: Mapping[JobId, Attempt], upstream: Mapping[JobId, Verdict],
             forced: bool, alive: bool, sizes: Sizes | None = None) -> Verdict:
    attempt = attempts.get(job.id)
    if attempt is None and not forced and not job.deps:  # never run, nothing upstream: settled at once
        return Verdict(State.MISSING, Decision.RUN, [_NEVER_RUN])
    state, reasons = _own(out_dir, job, attempt, alive, sizes)
    if attempt is None and job.deps:
        blocked = _blocked(job, upstream, attempts)
        if blocked is not None:
            state, reasons = State.BLOCKED, [blocked]
    if forced:
        return Verdict(state, Decision.RUN, [Reason("forced", "--force"), *reasons])
    if reasons or attempt is None:
        return Verdict(state, Decision.RUN, reasons)
    read = _read_inputs(attempt.inputs_text)
    if not job.deps and not read:  # the most common case, settled at once
        return Verdict(State.FRESH, Decision.FRESH, [], attempt.value_hash, read)
    if read is not None and len(read) == len(job.deps):  # fresh if each upstream is, and gave what it read
        for dep in job.deps:
            up = upstream[dep]
            if up.decision != Decision.FRESH or read.get(dep) != up.value_hash:
                break
        else:
            return Verdict(State.FRESH, Decision.FRESH, [], attempt.value_hash, read)
    ups = [upstream[d] for d in job.deps]
    rerun = [d for d, v in zip(job.deps, ups) if v.decision != Decision.FRESH]
    if rerun:
        why = [Reason("upstream_rerun", f"upstream {_label(d)} will rerun") for d in rerun]
        return Verdict(State.STALE, Decision.CHECK, why, attempt.value_hash, read)
    changed = input_changes(job, read, {d: v.value_hash for d, v in zip(job.deps, ups)})
    if changed:
        return Verdict(State.STALE, Decision.RUN, changed)
    return Verdict(State.FRESH, Decision.FRESH, [], attempt.value_hash, read)


@lru_cache(maxsize=1024)
def _read_inputs(text: str | None) -> dict[JobId, str] | None:
    """What an attempt read, decoded once per distinct text: the partitions
    of an asset that all read the same upstream job record the same text.
    Shared, so never to be changed."""
    return decode_inputs(text)


def assess(plan: Plan, attempts: Mapping[JobId, Attempt], out_dir: str,
           forced: Iterable[str | JobId] = (), sizes: Sizes | None = None, alive: bool = False
           ) -> dict[JobId, Verdict]:
    """A verdict for every job of the plan; `forced` names assets, or single
    jobs (a backfill of some partitions), to rerun whatever their state.
    `sizes`: the stored values' sizes, when a remote store holds them.
    `alive`: whether another runner holds the output directory now (a run
    assessing its own start leaves it False: every running row is then a
    dead runner's)."""
    force = set(forced)
    verdicts: dict[JobId, Verdict] = {}
    for job in plan.jobs.values():  # dependency order: upstream verdicts come first
        verdicts[job.id] = _verdict(out_dir, job, attempts, verdicts,
                                    job.key in force or job.id in force, alive, sizes)
    return verdicts


def recorded(attempt: Attempt | None, alive: bool) -> Verdict:
    """The verdict on a job the pipeline's code does not (or cannot now)
    declare: what its last attempt settles, else fresh as recorded, for want
    of code to compare it with."""
    settled = attempt_state(attempt, alive)
    if settled is not None:
        return Verdict(settled[0], Decision.RUN, settled[1])
    assert attempt is not None
    return Verdict(State.FRESH, Decision.FRESH, [Reason("recorded", "as recorded; its code is not loaded to compare")],
                   attempt.value_hash, attempt.input_hashes)
