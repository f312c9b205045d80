"""The scheduler and the catalog, with an executor that runs no processes."""

import io
import threading
from concurrent.futures import Future

import pytest
from cli_helpers import max_overlap, plan_of, record

from orvan.catalog import DONE, FRESH, INTERRUPTED, NOT_RUN, PENDING, RUNNING, Catalog
from orvan.cli.run.executors import Executor, Outcome, WorkerTask
from orvan.cli.report import Progress
from orvan.cli.run.scheduler import Scheduler


class FakeExecutor(Executor):
    """Finishes each task on a thread; fails the labels in `fail`; raises
    KeyboardInterrupt (as Ctrl-C would) when asked to start `interrupt_at`."""

    def __init__(self, slots, fail=(), interrupt_at=None):
        self.slots = slots
        self.fail = set(fail)
        self.interrupt_at = interrupt_at
        self.hold = threading.Event()
        self.cancelled = False
        self.started = []

    def submit(self, task):
        if task.label == self.interrupt_at:
            raise KeyboardInterrupt
        self.started.append(task.label)
        future = Future()

        def finish():
            if self.hold.wait(0.005) or self.cancelled:  # held tasks end only when cancelled
                future.set_result(Outcome(False, "stopped", interrupted=True))
            else:
                ok = task.label not in self.fail
                if ok:  # what a worker leaves after a success
                    for name in ("value.json", "result.json"):
                        with open(f"{task.out_dir}/{name}", "w") as f:
                            f.write('{"ok": true}')
                future.set_result(Outcome(ok, "boom"))

        threading.Thread(target=finish).start()
        return future

    def shutdown(self, *, cancel):
        self.cancelled = cancel
        self.hold.set()


def fake_prepare(out_dir, plan, job, timeout, reader):
    return WorkerTask(job.label, "m", "f", out_dir, None, out_dir + "/log", timeout)


def schedule(tmp_path, plan, executor, fresh=()):
    catalog = Catalog.in_dir(str(tmp_path))
    run = catalog.start_run(["pipe.m"], [])
    jobs = list(plan.jobs.values())
    rows = catalog.add_jobs(run, [(j.key, j.id[1], j.fingerprint, FRESH if j.id in fresh else PENDING, None)
                                  for j in jobs])
    progress = Progress(len(jobs), len(fresh), io.StringIO(), live=False)
    sched = Scheduler(plan, [j.id for j in jobs if j.id not in fresh], catalog=catalog,
                      row_ids={j.id: r for j, r in zip(jobs, rows)}, executor=executor,
                      out_dir=str(tmp_path), timeout=None, progress=progress, prepare=fake_prepare)
    results = sched.run()
    by_label = {}
    for row in catalog.run_jobs(run):
        key, part, _, status, start, end, error = row
        by_label[next(j.label for j in jobs if j.id == (key, part))] = dict(
            status=status, started_at=start, ended_at=end, error=error)
    catalog.close()
    return sched, results, by_label


DIAMOND = [
    record("src", partitions={"d": list(range(6))}),
    record("mid", inputs={"s": "pipe.m.src"}, partitions={"d": list(range(6))}),
    record("top", inputs={"m": "pipe.m.mid"}),
]


@pytest.mark.parametrize("slots", [1, 3])
def test_each_job_starts_after_its_upstream_ended_and_never_more_than_slots_at_once(tmp_path, slots):
    plan = plan_of(*DIAMOND)
    _, results, rows = schedule(tmp_path, plan, FakeExecutor(slots))
    assert {r["status"] for r in rows.values()} == {DONE}
    for job in plan.jobs.values():
        for dep in job.deps:
            assert rows[job.label]["started_at"] >= rows[plan.jobs[dep].label]["ended_at"]
    assert max_overlap(list(rows.values())) == slots


def test_a_failure_skips_exactly_its_downstream_and_says_why(tmp_path):
    plan = plan_of(*DIAMOND)
    _, _, rows = schedule(tmp_path, plan, FakeExecutor(2, fail={"pipe.m.src[d=2]"}))
    assert rows["pipe.m.src[d=2]"]["status"] == "failed" and rows["pipe.m.src[d=2]"]["error"] == "boom"
    not_run = {label for label, r in rows.items() if r["status"] == NOT_RUN}
    assert not_run == {"pipe.m.mid[d=2]", "pipe.m.top"}
    assert all(rows[label]["error"] == "upstream pipe.m.src[d=2] failed" for label in not_run)
    assert rows["pipe.m.mid[d=3]"]["status"] == DONE


def test_interrupt_stops_running_jobs_and_marks_the_rest_not_run(tmp_path):
    plan = plan_of(record("slow"), record("a", partitions={"d": [1, 2]}), record("b", inputs={"s": "pipe.m.slow"}))
    executor = FakeExecutor(3, interrupt_at="pipe.m.a[d=2]")
    executor.hold.clear()
    orig_wait = executor.hold.wait
    executor.hold.wait = lambda t: orig_wait(None)  # every started task runs until cancelled
    sched, _, rows = schedule(tmp_path, plan, executor)
    assert sched.interrupted and executor.cancelled
    statuses = {label: r["status"] for label, r in rows.items()}
    assert statuses["pipe.m.slow"] == INTERRUPTED
    assert statuses["pipe.m.b"] == NOT_RUN
    assert RUNNING not in statuses.values() and PENDING not in statuses.values()


def test_catalog_closes_runs_whose_runner_died_and_tracks_the_latest_attempt(tmp_path):
    catalog = Catalog.in_dir(str(tmp_path))
    first = catalog.start_run(["m"], [])
    done, running, pending = catalog.add_jobs(first, [("a", "", "f1", PENDING, None), ("b", "", "f1", PENDING, None),
                                                      ("c", "", "f1", PENDING, None)])
    catalog.job_started(done)
    catalog.job_finished(done, DONE)
    catalog.job_started(running)
    catalog.close()  # the runner is killed here

    catalog = Catalog.in_dir(str(tmp_path))
    assert catalog.db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    assert catalog.close_abandoned_runs() == 1
    second = catalog.start_run(["m"], [])
    catalog.add_jobs(second, [("a", "", "f1", FRESH, None), ("c", "", "f2", NOT_RUN, "x")])
    attempts = catalog.last_attempts()
    # fresh and not-run rows touch no files, so they do not count as attempts
    assert attempts[("a", "")].status == DONE and attempts[("a", "")].fingerprint == "f1"
    assert attempts[("b", "")].status == INTERRUPTED
    assert ("c", "") not in attempts
    (summary_second, summary_first) = catalog.recent_runs(5)
    assert summary_first.status == "abandoned" and summary_first.counts == {DONE: 1, INTERRUPTED: 1, NOT_RUN: 1}
    assert summary_second.counts == {FRESH: 1, NOT_RUN: 1}
    catalog.close()
