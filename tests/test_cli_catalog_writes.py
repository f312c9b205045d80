"""Job state changes are committed in batches: never visible before they are
due, never held longer than the delay, always ahead of later writes, and a
success never before its files are on disk."""

import errno
import os
import sqlite3
import subprocess
import sys
import time

import pytest
from cli_helpers import project  # noqa: F401  (fixture)

from orvan.store import durable as durable_module
from orvan.catalog import DONE, FAILED, PENDING, RUNNING, CatalogWriteError, Location


@pytest.fixture(params=["sqlite", "postgresql"])
def where(request, tmp_path) -> Location:
    """The catalog of an output directory, in its file or in a database."""
    if request.param == "sqlite":
        return Location(str(tmp_path))
    return Location(str(tmp_path), request.getfixturevalue("postgres").database())


@pytest.fixture
def catalog(where):
    cat = where.open()
    yield cat
    cat.close()


def seen(where) -> dict[int, str]:
    """Job statuses as another connection reading the catalog sees them."""
    with where.views() as views:
        return dict(views.db.execute("SELECT id, status FROM jobs"))


def new_rows(catalog, n: int) -> list[int]:
    run = catalog.start_run(["m"], ["orvan"])
    return catalog.add_jobs(run, [("m.a", f'{{"n":"{i}"}}', "fp", PENDING, None) for i in range(n)])


def test_changes_wait_for_the_delay_then_commit_together(catalog, where):
    rows = new_rows(catalog, 3)
    catalog.job_started(rows[0])
    catalog.job_finished(rows[0], DONE)
    catalog.job_started(rows[1])
    assert set(seen(where).values()) == {PENDING}
    time.sleep(catalog.writes.max_delay)
    assert catalog.writes.due_in() == 0.0
    catalog.writes.flush(due_only=True)
    assert seen(where) == {rows[0]: DONE, rows[1]: RUNNING, rows[2]: PENDING}
    assert catalog.writes.due_in() is None


def test_a_full_batch_commits_at_once(catalog, where):
    rows = new_rows(catalog, catalog.writes.max_rows)
    for row in rows:
        catalog.job_started(row)
    assert set(seen(where).values()) == {RUNNING}


@pytest.mark.parametrize("then", [
    lambda cat, rows: cat.last_attempts(),
    lambda cat, rows: cat.jobs_settled(rows[1:], "not_run", "stopped"),
    lambda cat, rows: cat.close(),
])
def test_held_changes_go_first_at_any_read_or_other_write(catalog, where, then):
    rows = new_rows(catalog, 2)
    catalog.job_started(rows[0])
    catalog.job_finished(rows[0], DONE)
    then(catalog, rows)
    assert seen(where)[rows[0]] == DONE


def test_a_success_is_committed_only_after_its_files_are_synced(catalog, where):
    rows = new_rows(catalog, 3)
    synced = []

    def sync(files):
        # What another process could read while the files are being synced.
        synced.append((list(files), seen(where)))

    catalog.writes.sync = sync
    for row in rows[:2]:
        catalog.job_started(row)
        catalog.job_finished(row, DONE, value=(1, "h"), durable=[f"/o/{row}/value.json", f"/o/{row}/result.json"])
    catalog.job_started(rows[2])
    catalog.job_finished(rows[2], FAILED, "boom")
    catalog.writes.flush()
    # One sync for the whole batch, before any of it was committed.
    assert synced == [([f"/o/{rows[0]}/value.json", f"/o/{rows[0]}/result.json",
                        f"/o/{rows[1]}/value.json", f"/o/{rows[1]}/result.json"], dict.fromkeys(rows, PENDING))]
    assert seen(where) == {rows[0]: DONE, rows[1]: DONE, rows[2]: FAILED}
    catalog.job_finished(rows[2], FAILED, "again")
    catalog.writes.flush()
    assert len(synced) == 1  # nothing to sync in a batch without successes


def test_a_failed_sync_leaves_no_done_row_and_stops_the_run(catalog, where):
    rows = new_rows(catalog, 3)
    calls = []

    def sync(files):
        calls.append(files)
        raise OSError(errno.EIO, os.strerror(errno.EIO), files[0])

    catalog.writes.sync = sync
    catalog.job_started(rows[0])
    catalog.job_finished(rows[0], DONE, value=(1, "h"), durable=["/o/a/value.json"])
    catalog.job_started(rows[1])
    with pytest.raises(CatalogWriteError, match="Input/output error: /o/a/value.json") as failure:
        catalog.writes.flush()
    assert not failure.value.out_of_space
    # The batch's other changes still stand.
    assert seen(where) == {rows[0]: FAILED, rows[1]: RUNNING, rows[2]: PENDING}
    row = catalog.db.execute("SELECT error, value_size, value_hash FROM jobs WHERE id=?", (rows[0],)).fetchone()
    assert row == ("its files could not be made durable: Input/output error: /o/a/value.json", None, None)
    # The failed changes are not held to be tried again.
    catalog.writes.flush()
    assert len(calls) == 1


def test_a_full_disk_while_syncing_says_so(catalog):
    rows = new_rows(catalog, 1)

    def sync(files):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    catalog.writes.sync = sync
    catalog.job_finished(rows[0], DONE, value=(1, "h"), durable=["/o/a/value.json"])
    with pytest.raises(CatalogWriteError) as failure:
        catalog.writes.flush()
    assert failure.value.out_of_space


def fsynced(monkeypatch) -> list[str]:
    """The paths fsynced from now on (they are still fsynced)."""
    paths = []
    real = os.fsync

    def fsync(fd):
        paths.append(os.readlink(f"/proc/self/fd/{fd}"))
        real(fd)
    monkeypatch.setattr(os, "fsync", fsync)
    return paths


def some_files(tmp_path) -> list[str]:
    files = []
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        for leaf in ("value.json", "result.json"):
            (tmp_path / name / leaf).write_text("1")
            files.append(str(tmp_path / name / leaf))
    return files


def test_one_syncfs_per_filesystem_and_no_fsync(tmp_path, monkeypatch):
    files = some_files(tmp_path)
    paths = fsynced(monkeypatch)
    fds = []
    monkeypatch.setattr(durable_module, "_syncfs", lambda: lambda fd: fds.append(os.readlink(f"/proc/self/fd/{fd}")) or 0)
    durable_module.make_durable(files)
    assert fds == [str(tmp_path / "a")] and paths == []
    # And the real one, where there is one, reports success on a healthy disk.
    monkeypatch.undo()
    if sys.platform == "linux":
        assert durable_module._syncfs() is not None
    durable_module.make_durable(files)


@pytest.mark.parametrize("syncfs, fuse", [(lambda: None, False), (lambda: lambda fd: -1, False),
                                          (lambda: lambda fd: 0, True)], ids=["missing", "failing", "fuse"])
def test_without_a_working_syncfs_each_file_then_each_directory_is_fsynced(tmp_path, monkeypatch, syncfs, fuse):
    files = some_files(tmp_path)
    paths = fsynced(monkeypatch)
    monkeypatch.setattr(durable_module, "_syncfs", syncfs)
    if fuse:
        monkeypatch.setattr(durable_module, "_filesystem_type", lambda fd: durable_module.FUSE_SUPER_MAGIC)
    durable_module.make_durable(files + files[:1])
    assert paths == files + [str(tmp_path / "a"), str(tmp_path / "b")]
    os.unlink(files[3])
    with pytest.raises(FileNotFoundError):
        durable_module.make_durable(files)


# The run with every sync failing, as a disk giving write-back errors would.
FAILING_SYNC = """\
import errno, os, runpy, sys
import orvan.store.durable as durable

def make_durable(files):
    raise OSError(errno.EIO, os.strerror(errno.EIO), files[0])

durable.make_durable = make_durable
sys.argv = ["orvan", *sys.argv[1:]]
runpy.run_module("orvan", run_name="__main__")
"""


def test_a_run_whose_files_cannot_be_synced_records_no_success(project):
    project.write("m.py", """\
        from orvan import asset

        @asset()
        def up():
            return 1

        @asset(inputs={"u": up})
        def down(u):
            return u + 1
    """)
    out = subprocess.run([sys.executable, "-c", FAILING_SYNC, "run", "m"], cwd=project.root, capture_output=True,
                         text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert out.returncode == 1, out.stdout + out.stderr
    assert "job(s) just finished durable (Input/output error:" in out.stderr
    assert "the run was stopped" in out.stderr
    db = sqlite3.connect(project.out / "catalog.sqlite")
    rows = {key: (status, error) for key, status, error in db.execute("SELECT asset_key, status, error FROM jobs")}
    db.close()
    assert rows["m.up"][0] == FAILED and rows["m.up"][1].startswith("its files could not be made durable")
    assert rows["m.down"][0] not in (DONE, RUNNING)
    # Nothing was recorded done, so the next run does it all.
    again = project.orvan("run", "m")
    assert again.returncode == 0, again.stdout + again.stderr
    assert project.value("m.down") == 2


def test_space_is_freed_only_from_jobs_the_run_has_settled_or_does_not_hold(catalog):
    # Run 1: both jobs fail, leaving files nobody reads again.
    old = catalog.start_run(["m"], ["orvan"])
    for row in catalog.add_jobs(old, [("m.again", "", "fp", PENDING, None), ("m.other", "", "fp", PENDING, None)]):
        catalog.job_started(row)
        catalog.job_finished(row, FAILED, "boom")
    catalog.finish_run(old, "failed")
    # Run 2 reruns m.again: it may be writing its directory while its start
    # is still held back, when a write finds the disk full.
    run = catalog.start_run(["m"], ["orvan"])
    [again] = catalog.add_jobs(run, [("m.again", "", "fp", PENDING, None)])
    assert catalog.useless_files(run) == [("m.other", "")]
    catalog.job_started(again)
    catalog.job_finished(again, FAILED, "boom again")
    assert sorted(catalog.useless_files(run)) == [("m.again", ""), ("m.other", "")]
