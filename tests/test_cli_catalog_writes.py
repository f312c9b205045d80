"""Job state changes are committed in batches: never visible before they are
due, never held longer than the delay, and always ahead of later writes."""

import sqlite3
import time

import pytest

from orvan.cli.catalog import DONE, PENDING, RUNNING, Catalog


@pytest.fixture
def catalog(tmp_path):
    cat = Catalog.in_dir(str(tmp_path))
    yield cat
    cat.close()


def seen(tmp_path) -> dict[int, str]:
    """Job statuses as another process reading the catalog sees them."""
    db = sqlite3.connect(f"file:{tmp_path / 'catalog.sqlite'}?mode=ro", uri=True)
    try:
        return dict(db.execute("SELECT id, status FROM jobs"))
    finally:
        db.close()


def new_rows(catalog, n: int) -> list[int]:
    run = catalog.start_run(["m"], ["orvan"])
    return catalog.add_jobs(run, [("m.a", f'{{"n":"{i}"}}', "fp", PENDING, None) for i in range(n)])


def test_changes_wait_for_the_delay_then_commit_together(catalog, tmp_path):
    rows = new_rows(catalog, 3)
    catalog.job_started(rows[0])
    catalog.job_finished(rows[0], DONE)
    catalog.job_started(rows[1])
    assert set(seen(tmp_path).values()) == {PENDING}
    time.sleep(catalog.writes.max_delay)
    assert catalog.writes.due_in() == 0.0
    catalog.writes.flush(due_only=True)
    assert seen(tmp_path) == {rows[0]: DONE, rows[1]: RUNNING, rows[2]: PENDING}
    assert catalog.writes.due_in() is None


def test_a_full_batch_commits_at_once(catalog, tmp_path):
    rows = new_rows(catalog, catalog.writes.max_rows)
    for row in rows:
        catalog.job_started(row)
    assert set(seen(tmp_path).values()) == {RUNNING}


@pytest.mark.parametrize("then", [
    lambda cat, rows: cat.last_attempts(),
    lambda cat, rows: cat.jobs_settled(rows[1:], "not_run", "stopped"),
    lambda cat, rows: cat.close(),
])
def test_held_changes_go_first_at_any_read_or_other_write(catalog, tmp_path, then):
    rows = new_rows(catalog, 2)
    catalog.job_started(rows[0])
    catalog.job_finished(rows[0], DONE)
    then(catalog, rows)
    assert seen(tmp_path)[rows[0]] == DONE
