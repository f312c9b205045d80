"""The command's side of asset checks (`orvan.checks`): asking a job's worker
to run them, reading their outcome, keeping downstream jobs from running
after a failed blocking check, and what status and show say of them.

A check's outcome lives beside the value it checked: checks.json in its
job's directory, or, with a remote store, an object named after the value's
hash (the job's host uploads it with the value). It holds the value's hash
and each check's fingerprint, so an outcome counts only while both match.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, cast

from ... import values
from ...checks import REQUEST_FILE, RESULTS_FILE, Spec, checks_by_asset, parse_results, read_results
from ...store.base import Store, StoreError
from . import jobfiles

if TYPE_CHECKING:
    from ...store.remote import RemoteStore
    from .executors import WorkerTask
    from .freshness import Verdict
    from ..plan.graph import Graph
    from ..plan.jobs import Job, JobId, Plan

# Directories handed to one `python -m orvan.checks` at a time.
BATCH = 400


def specs_of(report: str, graph: Graph) -> dict[str, list[Spec]]:
    """The checks per asset key of an inspection report ({} without any)."""
    if '"checks":[' not in report:
        return {}
    return checks_by_asset(json.loads(report), graph)


def current(found: Mapping[str, Any] | None, specs: list[Spec], value_hash: str | None) -> list[dict[str, Any]] | None:
    """The stored outcomes, if they are of these checks on this value."""
    if found is None or (value_hash is not None and found.get("value_hash") != value_hash):
        return None
    outcomes: list[dict[str, Any]] = found["outcomes"]
    if [o.get("fingerprint") for o in outcomes] != [s.fingerprint for s in specs]:
        return None
    return outcomes


def blocking_failure(job: Job, outcomes: Iterable[Mapping[str, Any]]) -> str | None:
    for o in outcomes:
        if not o.get("passed") and o.get("blocking"):
            return f"blocked by check {o.get('name')} on {job.label}"
    return None


def describe(outcome: Mapping[str, Any], label: str | None = None) -> str:
    """"check NAME [on LABEL] passed|failed [(blocking)][: MESSAGE]"."""
    where = f" on {label}" if label else ""
    state = "passed" if outcome.get("passed") else "failed"
    text = f"check {outcome.get('name')}{where} {state}" + (" (blocking)" if outcome.get("blocking") else "")
    return text + (f": {outcome['message']}" if outcome.get("message") else "")


def request_of(job: Job, specs: list[Spec], previous: Mapping[str, Any] | None) -> dict[str, Any]:
    return {"checks": [s.as_json() for s in specs], "partition": job.partition_values,
            "serializer": job.asset.record.serializer, "previous": previous}


def write_request(directory: str, job: Job, specs: list[Spec], previous: Mapping[str, Any] | None) -> None:
    with open(os.path.join(directory, REQUEST_FILE), "w", encoding="utf-8") as f:
        json.dump(request_of(job, specs, previous), f, ensure_ascii=False)


class LocalOutcomes:
    """Outcomes in the job directories, beside the values."""

    def __init__(self, out_dir: str):
        self.out_dir = out_dir

    def read(self, job: Job, value_hash: str | None) -> dict[str, Any] | None:
        return read_results(jobfiles.job_dir(self.out_dir, job))

    def stage(self, job: Job, value_hash: str) -> str | None:
        """A directory holding the job's value, for its checks to run in."""
        return jobfiles.job_dir(self.out_dir, job)

    def keep(self, job: Job, value_hash: str, directory: str) -> None:
        """Store the outcome the checks left in the staged directory."""


class StoredOutcomes:
    """Outcomes in a remote store, each named after the value it is of; the
    runner's own checks run on a copy of the value fetched for them."""

    def __init__(self, store: RemoteStore):
        self.store = store

    def name(self, job: Job, value_hash: str) -> str:
        return self.store.checks_name(job.relpath.replace(os.sep, "/"), value_hash)

    def read(self, job: Job, value_hash: str | None) -> dict[str, Any] | None:
        return self.read_at(job.relpath.replace(os.sep, "/"), value_hash)

    def read_at(self, relpath: str, value_hash: str | None) -> dict[str, Any] | None:
        """The outcomes on the value of that hash, at the job's path in the store."""
        if not value_hash:
            return None
        try:
            return parse_results(self.store.read(self.store.checks_name(relpath, value_hash)))
        except StoreError:
            return None

    def stage(self, job: Job, value_hash: str) -> str | None:
        from .storefiles import value_name

        try:
            data = self.store.read(value_name(self.store, job, value_hash))
        except StoreError:
            return None  # no value to check: the checks have no outcome
        directory = tempfile.mkdtemp(prefix="orvan-checks-")
        with open(os.path.join(directory, values.value_file(job.asset.record.serializer)), "wb") as f:
            f.write(data)
        return directory

    def keep(self, job: Job, value_hash: str, directory: str) -> None:
        try:
            with open(os.path.join(directory, RESULTS_FILE), "rb") as f:
                self.store.put_many([(self.name(job, value_hash), f.read(), False)])
        except (OSError, StoreError):
            pass  # read back as no outcome, and said so
        finally:
            shutil.rmtree(directory, ignore_errors=True)


def outcomes_in(store: Store | None, out_dir: str) -> LocalOutcomes | StoredOutcomes:
    if store is not None and store.remote:
        return StoredOutcomes(cast("RemoteStore", store))
    return LocalOutcomes(out_dir)


def run_batch(directories: list[str], cwd: str) -> None:
    """The requested checks of stored values, in one process per batch."""
    from ..inspect.discovery import child_env

    for i in range(0, len(directories), BATCH):
        subprocess.run([sys.executable, "-m", "orvan.checks", *directories[i:i + BATCH]], cwd=cwd,
                       env=child_env(cwd), stdin=subprocess.DEVNULL, check=False)


class RunChecks:
    """One run's checks: the scheduler's hooks and what the summary says."""

    def __init__(self, specs: dict[str, list[Spec]], plan: Plan, out_dir: str, directory: str,
                 store: Store | None = None):
        self.specs = specs
        self.plan = plan
        self.out_dir = out_dir
        self.directory = directory
        self.outcomes = outcomes_in(store, out_dir)
        self.notes: list[str] = []
        self.blocked_any = False
        # The jobs whose worker was asked to run their checks.
        self.requested: set[JobId] = set()
        # With a remote store: the hash of each job's last value, whose
        # outcome a job's host fetches (see `request`).
        self.previous: Mapping[JobId, str | None] = {}

    def prepare(self, base: Callable[..., WorkerTask]) -> Callable[..., WorkerTask]:
        """`base` (jobfiles.prepare), then the request for the job's checks."""
        def prepare(out_dir: str, plan: Plan, job: Job, *rest: Any) -> WorkerTask:
            specs = self.specs.get(job.key)
            previous = read_results(jobfiles.job_dir(out_dir, job)) if specs else None
            task = base(out_dir, plan, job, *rest)
            if specs:
                write_request(task.out_dir, job, specs, previous)
                self.requested.add(job.id)
            return task
        return prepare

    def request(self, job: Job) -> dict[str, Any] | None:
        """For a job whose host runs it with a remote store: the request for
        its checks, which its process runs on the value before upload."""
        specs = self.specs.get(job.key)
        if not specs:
            return None
        self.requested.add(job.id)
        request = request_of(job, specs, None)
        last = self.previous.get(job.id)
        if last and isinstance(self.outcomes, StoredOutcomes):
            # The host fetches it: a value that comes out the same keeps it.
            request["previous_name"] = self.outcomes.name(job, last)
        return request

    def hooks(self) -> dict[str, Any]:
        """The scheduler's keyword arguments that run the checks with each job."""
        return {"prepare": self.prepare(jobfiles.prepare), "after_success": self.after_success}

    def after_success(self, jid: JobId, value_hash: str) -> str | None:
        """Why the job's downstream must not run, or None."""
        job = self.plan.jobs[jid]
        specs = self.specs.get(job.key)
        if not specs:
            return None
        if jid not in self.requested:
            # Found fresh once its upstream values came out unchanged: its
            # checks are brought up to date here, as for the fresh ones.
            return self.settle_fresh_one(job, value_hash)
        outcomes = current(self.outcomes.read(job, value_hash), specs, value_hash)
        if outcomes is None:
            outcomes = [{"name": s.name, "passed": False, "blocking": s.blocking,
                         "message": "no outcome was written (see the job's log)"} for s in specs]
        return self._judge(job, outcomes)

    def _judge(self, job: Job, outcomes: list[dict[str, Any]]) -> str | None:
        for o in outcomes:
            if not o.get("passed"):
                kind = "error" if o.get("blocking") else "warning"
                self.notes.append(f"{kind}: {describe(o, job.label)}")
        why = blocking_failure(job, outcomes)
        self.blocked_any |= why is not None
        return why

    def settle_fresh_one(self, job: Job, value_hash: str) -> str | None:
        if current(self.outcomes.read(job, value_hash), self.specs[job.key], value_hash) is None:
            self._run_now([(job, value_hash)])
        self.requested.add(job.id)
        return self.after_success(job.id, value_hash)

    def _run_now(self, jobs: list[tuple[Job, str]]) -> None:
        """The checks of stored values, run here, their outcomes kept."""
        staged = []
        for job, value_hash in jobs:
            directory = self.outcomes.stage(job, value_hash)
            if directory is not None:
                write_request(directory, job, self.specs[job.key], None)
                staged.append((job, value_hash, directory))
        if staged:
            run_batch([d for _, _, d in staged], self.directory)
        for job, value_hash, directory in staged:
            self.outcomes.keep(job, value_hash, directory)

    def settle_fresh(self, jobs: list[Job], verdicts: Mapping[JobId, Verdict], force: bool = False
                     ) -> dict[JobId, str]:
        """For jobs whose value is not rerun, the checks whose outcome is
        missing or out of date (all of them with `force`) are run now; the
        jobs whose blocking check failed, with the reason."""
        todo = [j for j in jobs if j.key in self.specs and verdicts[j.id].value_hash]
        stale = []
        for job in todo:
            digest = verdicts[job.id].value_hash or ""
            if force or current(self.outcomes.read(job, digest), self.specs[job.key], digest) is None:
                stale.append((job, digest))
        self._run_now(stale)
        self.requested.update(j.id for j in todo)
        blocked = {}
        for job in todo:
            why = self.after_success(job.id, verdicts[job.id].value_hash or "")
            if why is not None:
                blocked[job.id] = why
        return blocked


def downstream_of(plan: Plan, blocked: Mapping[JobId, str], among: Iterable[JobId]) -> dict[JobId, str]:
    """The jobs among `among` that read a blocked job's value, directly or
    not, with the reason of the block they are behind."""
    wanted = set(among)
    reason: dict[JobId, str] = {}
    for job in plan.jobs.values():  # dependency order
        why = next((blocked.get(d) or reason.get(d) for d in job.deps if d in blocked or d in reason), None)
        if why is not None:
            reason[job.id] = why
    return {jid: why for jid, why in reason.items() if jid in wanted and jid not in blocked}


def status_of(specs: dict[str, list[Spec]], plan: Plan, out_dir: str, verdicts: Mapping[JobId, Verdict],
              store: Store | None = None) -> tuple[dict[JobId, list[dict[str, Any]]], dict[JobId, str]]:
    """For status: each checked job's outcomes (each with "state": passed,
    failed or stale) and the jobs that a failed blocking check holds back."""
    outcomes: dict[JobId, list[dict[str, Any]]] = {}
    blocked: dict[JobId, str] = {}
    where = outcomes_in(store, out_dir)
    for key, asset_specs in specs.items():
        for job in plan.by_asset.get(key, []):
            verdict = verdicts[job.id]
            fresh = current(where.read(job, verdict.value_hash), asset_specs, verdict.value_hash) \
                if verdict.state == "fresh" else None
            outcomes[job.id] = [{**o, "state": "passed" if o.get("passed") else "failed"} for o in fresh] \
                if fresh is not None else [{"name": s.name, "blocking": s.blocking, "state": "stale"}
                                           for s in asset_specs]
            why = blocking_failure(job, fresh or [])
            if why is not None:
                blocked[job.id] = why
    return outcomes, blocked


def summary_cell(outcomes: list[dict[str, object]]) -> str:
    failed = [o["name"] for o in outcomes if o["state"] == "failed"]
    if failed:
        return "failed: " + ", ".join(str(n) for n in failed)
    if any(o["state"] == "stale" for o in outcomes):
        return "not run"
    return f"{len(outcomes)} passed"


def show_notes(found: Mapping[str, Any] | None) -> list[str]:
    """What `orvan show` says of stored outcomes, a line each."""
    return [describe(o) for o in (found or {}).get("outcomes", [])]


def checks_only(catalog: Any, plan: Plan, targets: list[Job], checks: RunChecks | None, out_dir: str,
                progress: Any, store: Any = None) -> int:
    """`orvan run --checks-only`: every check of the selected jobs, on the
    values stored now, without running an asset; exit 1 after a failed
    blocking check."""
    from .freshness import assess
    from ..plan.pipeline import FAILURES, OK

    checked = [j for j in targets if checks is not None and j.key in checks.specs]
    if checks is None or not checked:
        progress.write("no checks are declared for the selected assets")
        return OK
    attempts = catalog.last_attempts() if catalog is not None else {}
    # With a remote store, `store` (the run's) asks it for the values' sizes.
    verdicts = store.assess(plan, attempts, out_dir, set()) if store is not None else assess(plan, attempts, out_dir)
    stored = [j for j in checked if verdicts[j.id].value_hash]
    checks.settle_fresh(stored, verdicts, force=True)
    for note in checks.notes:
        progress.write(note)
    failed = sum(1 for n in checks.notes)
    progress.write(f"checks of {len(stored)} jobs run ({len(checked) - len(stored)} without a stored value to "
                   f"check): {failed} failed")
    return FAILURES if checks.blocked_any else OK
