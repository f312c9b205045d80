"""Stored values that the pipeline no longer declares: a partition key taken
out of `partitions([...])`, or an asset taken out of the code. They stay on
disk until `orvan clean` removes them; `status --why` and `show` say so.

The output tree is read back from the file names alone (they are escaped
reversibly), so files the catalog has no row for are found too.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Set
from dataclasses import dataclass

from ...store import naming
from ...store.naming import partition_token
from .jobs import Plan, job_label

# The files a job leaves; value files may carry another suffix than .json.
# The last two are its checks' outcome and request (orvan.checks names them;
# not imported from there for every status).
JOB_FILES = (naming.RESULT_FILE, naming.LOG_FILE, naming.KWARGS_FILE, "checks.json", "checks.request.json")


@dataclass(frozen=True)
class Stored:
    key: str
    partition: dict[str, str]
    directory: str
    files: tuple[str, ...]

    @property
    def id(self) -> tuple[str, str]:
        return self.key, partition_token(self.partition)

    @property
    def label(self) -> str:
        return job_label(self.key, self.partition)


def _is_job_file(entry: os.DirEntry[str]) -> bool:
    if entry.name not in JOB_FILES and not entry.name.startswith("value."):
        return False
    try:
        return entry.is_file()
    except OSError:
        return False


def _subdirectories(entries: list[os.DirEntry[str]]) -> list[os.DirEntry[str]]:
    """The directories among `entries` to descend into: symbolic links are not followed."""
    found = []
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False):
                found.append(entry)
        except OSError:
            continue
    return found


def _no_subdirectories(entry: os.DirEntry[str]) -> bool:
    """True when the directory surely holds no directory. Most Linux file
    systems count a directory's subdirectories in its link count (2 + n);
    those that do not (btrfs, some network ones) report 1, and are listed."""
    try:
        return entry.stat(follow_symlinks=False).st_nlink == 2
    except OSError:
        return False


_name = operator.attrgetter("name")


def _list(path: str) -> list[os.DirEntry[str]]:
    try:
        with os.scandir(path) as it:
            return sorted(it, key=_name)
    except OSError:
        return []


class _Walk:
    """Reads one asset directory's tree, depth first and in name order.

    A directory at the relative path of a declared job is declared whatever
    it holds, so its files are not looked at, and it is listed only when it
    may hold directories (stored values of the asset with more dimensions);
    with 100,000 jobs, listing every job's directory is most of the cost."""

    def __init__(self, key: str, top: str, declared: Set[str]):
        self.key, self.top, self.declared = key, top, declared
        self.found: list[Stored] = []

    def directory(self, path: str, rel: str, parts: list[str]) -> None:
        entries = _list(path)
        if rel not in self.declared:
            self.add(path, parts, entries)
        for sub in _subdirectories(entries):
            sub_rel = rel + os.sep + sub.name
            if sub_rel not in self.declared or not _no_subdirectories(sub):
                self.directory(sub.path, sub_rel, [*parts, sub.name])

    def add(self, path: str, parts: list[str], entries: list[os.DirEntry[str]]) -> None:
        files = tuple(sorted(e.name for e in entries if _is_job_file(e)))
        if not files:
            return
        try:
            partition = dict(naming.parse_partition_component(c) for c in parts)
        except ValueError:
            return
        self.found.append(Stored(self.key, dict(sorted(partition.items())), path, files))


def stored_jobs(out_dir: str, declared: Set[str] = frozenset()) -> list[Stored]:
    """Every job directory under `out_dir` that holds a job's files, but for
    those at a path in `declared` (job relative paths, as `Job.relpath`)."""
    try:
        entries = sorted(os.listdir(out_dir))
    except OSError:
        return []
    found: list[Stored] = []
    for name in entries:
        path = os.path.join(out_dir, name)
        # Asset directories never start with "." (escaping sees to it); the
        # runner's own files and directories do, or are plain files.
        if name.startswith(".") or not os.path.isdir(path) or os.path.islink(path):
            continue
        try:
            key = naming.unescape(name)
        except UnicodeDecodeError:
            continue
        walk = _Walk(key, path, declared)
        walk.directory(path, name, [])
        found.extend(walk.found)
    return found


def why_undeclared(plan: Plan, key: str, token: str) -> str | None:
    """Why a stored job is not part of the plan, or None if it is."""
    if key not in plan.by_asset:
        return "asset no longer declared"
    if (key, token) not in plan.jobs:
        return "partition no longer declared"
    return None


def find(plan: Plan, out_dir: str, *, thorough: bool = False) -> list[tuple[Stored, str]]:
    """The stored jobs the plan does not declare, with the reason. Unless
    `thorough`, the declared jobs' directories are taken as declared from
    their path alone, and not listed when the file system says they hold no
    directory."""
    if not os.path.isdir(out_dir):
        return []  # nothing stored: no job's directory need be named
    declared: Set[str] = frozenset() if thorough else {job.relpath for job in plan.jobs.values()}
    result = []
    for stored in stored_jobs(out_dir, declared):
        reason = why_undeclared(plan, *stored.id)
        if reason:
            result.append((stored, reason))
    return result
