"""A run's jobs with a remote store: what each job's host must fetch and
where it puts what the job leaves (see orvan.store.transfer), and the sizes
of the stored values, for freshness, asked of the store by name."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from ... import values
from ...catalog import DONE, Attempt
from ...store.base import Store
from ...store.naming import LOG_FILE, RESULT_FILE
from ...store.transfer import MARK, REF_PREFIX
from . import jobfiles
from .executors import WorkerTask
from ..plan.jobs import Job, JobId, Plan

if TYPE_CHECKING:
    from .checkrun import RunChecks


def value_name(store: Store, job: Job, digest: str | None) -> str:
    return store.value_name(job.relpath.replace(os.sep, "/"), values.value_file(job.asset.record.serializer), digest)


def stored_sizes(store: Store, plan: Plan, attempts: Mapping[JobId, Attempt]) -> dict[JobId, int | None]:
    """The size of each job's value as the store has it, for the jobs whose
    last attempt succeeded; asked by name, all at once, never by listing."""
    names: dict[JobId, str] = {}
    for jid, job in plan.jobs.items():
        attempt = attempts.get(jid)
        if attempt is not None and attempt.status == DONE and attempt.value_hash:
            names[jid] = value_name(store, job, attempt.value_hash)
    found = store.sizes(list(names.values()))
    return {jid: found.get(name) for jid, name in names.items()}


class _Inputs:
    """Numbers the upstream values a job reads, in the order it reads them."""

    def __init__(self, store: Store, plan: Plan, hashes: Mapping[JobId, str]):
        self.store, self.plan, self.hashes = store, plan, hashes
        self.items: list[list[str]] = []
        self.index: dict[JobId, int] = {}

    def number(self, jid: JobId) -> int:
        if jid not in self.index:
            upstream = self.plan.jobs[jid]
            digest = self.hashes.get(jid)
            if digest is None:
                raise jobfiles.InputError(f"no stored value of {upstream.label} is recorded")
            self.index[jid] = len(self.items)
            self.items.append([value_name(self.store, upstream, digest), digest, upstream.label])
        return self.index[jid]

    def text(self, jid: JobId) -> str:
        return f"{MARK}{self.number(jid)}{MARK}"

    def ref(self, jid: JobId) -> dict[str, object]:
        return {"kind": "file", "path": f"{REF_PREFIX}{self.number(jid)}",
                "serializer": self.plan.jobs[jid].asset.record.serializer}


class StoredJobs:
    """Prepares each job of a run for a host that fetches and uploads itself."""

    def __init__(self, store: Store, spec: dict[str, Any], out_dir: str, plan: Plan, run_id: int,
                 hashes: Mapping[JobId, str], checks: RunChecks | None = None):
        self.store, self.spec, self.out_dir, self.plan = store, spec, out_dir, plan
        self.run_id, self.hashes, self.checks = run_id, hashes, checks

    def input_named(self, job: Job, name: str | None, hashes: Mapping[JobId, str]) -> JobId | None:
        """Which of the job's upstream jobs has its value stored under `name`."""
        for dep in job.deps:
            if value_name(self.store, self.plan.jobs[dep], hashes.get(dep)) == name:
                return dep
        return None

    def prepare(self, job: Job, timeout: float | None, attempt: int) -> WorkerTask:
        # The job's directory here is only its scratch space (and, for the
        # local executors, where its log is followed while it runs).
        directory = jobfiles.job_dir(self.out_dir, job)
        os.makedirs(directory, exist_ok=True)
        jobfiles.clear(directory)
        inputs = _Inputs(self.store, self.plan, self.hashes)
        reader: Any = inputs  # stands in for the reader: both hand out text and references
        kwargs = jobfiles.kwargs_text(self.out_dir, self.plan, job, reader)
        refs = jobfiles.refs_text(self.plan, job, reader)
        rec = job.asset.record
        relpath = job.relpath.replace(os.sep, "/")
        spec = {
            "store": self.spec, "kwargs": kwargs, "refs": refs, "inputs": inputs.items,
            "relpath": relpath, "value_file": values.value_file(rec.serializer),
            "log": self.store.attempt_name(relpath, self.run_id, attempt, LOG_FILE),
            "result": self.store.attempt_name(relpath, self.run_id, attempt, RESULT_FILE),
            "checks": self.checks.request(job) if self.checks is not None else None,
        }
        return WorkerTask(
            label=job.label, module=rec.module, function=rec.function, out_dir=directory, kwargs_path=None,
            log_path=os.path.join(directory, LOG_FILE), timeout=timeout,
            serializer=None if values.is_json(rec.serializer) else rec.serializer, refs_path=None, store=spec,
        )
