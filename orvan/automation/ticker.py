"""One tick of an automation: plan its selection, ask freshness whether
anything is to do, run that through the path `orvan run` takes, and record
what happened in the catalog.

A tick claims its row before it plans, so that a serve killed halfway
leaves the tick recorded (and settled as interrupted when serve starts
again) rather than lost or run twice.
"""

from __future__ import annotations

import gc
import sys
import threading
import traceback
from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime

from ..catalog import Catalog, ticks
from ..catalog.ticks import FAILED, INTERRUPTED, RAN, SKIPPED
from ..errors import OrvanError
from ..cli.config import load_settings
from ..cli.inspect.discovery import ImportFailure
from ..cli.plan.graph import Graph
from ..cli.plan.jobs import Job
from ..cli.plan.pipeline import OK, Loaded, choose_jobs, load_report, select
from ..cli.report import Progress
from ..cli.run.freshness import Decision, assess
from ..cli.run.runner import run_planned
from ..store.naming import key_text
from .declarations import Automation
from .schedule import Clock

# What a skipped tick says, word for word, in `orvan ticks` and the UI.
FRESH = "fresh"
STILL_GOING = "previous run still going"
IMPORT_FAILED = "module failed to import"
# How long a tick waits for a manual `orvan run` to release the output
# directory: for as long as it takes (serve's stop interrupts the wait).
LOCK_WAIT = 365 * 24 * 3600.0


@dataclass
class Project:
    directory: str
    modules: list[str]
    out_dir: str


class Ticker:
    """Runs ticks one at a time, in the thread that handles signals (a run
    stops its jobs on SIGTERM from there). While a tick plans or runs,
    `interruptible` is set: a stop then interrupts it."""

    def __init__(self, project: Project, catalog: Catalog, clock: Clock, say: Callable[[str], None]):
        self.project = project
        self.catalog = catalog
        self.clock = clock
        self.say = say
        self.interruptible = False
        self.stopped = threading.Event()

    def skip(self, automation: Automation, trigger: str, due_at: float | None, reason: str) -> None:
        """Records a tick that runs nothing, for a reason known beforehand."""
        with self.catalog.transaction() as db:
            tick_id = ticks.claim(db, automation.name, trigger, due_at, self.clock.now(), SKIPPED, reason)
        if tick_id is not None:
            self._tell(automation, trigger, due_at, SKIPPED, reason, None)

    def tick(self, automation: Automation, trigger: str, due_at: float | None) -> int | None:
        """Runs one tick; the id of the run it started, if any."""
        with self.catalog.transaction() as db:
            tick_id = ticks.claim(db, automation.name, trigger, due_at, self.clock.now())
        if tick_id is None:
            return None  # this instant was ticked before serve was restarted
        run_ids: list[int] = []
        outcome, reason = self._attempt(automation, tick_id, run_ids)
        with self.catalog.transaction() as db:
            ticks.finish(db, tick_id, outcome, reason, self.clock.now())
        self._tell(automation, trigger, due_at, outcome, reason, run_ids[0] if run_ids else None)
        return run_ids[0] if run_ids else None

    def _attempt(self, automation: Automation, tick_id: int, run_ids: list[int]) -> tuple[str, str | None]:
        project = self.project
        self.interruptible = True
        try:
            if self.stopped.is_set():
                return INTERRUPTED, "serve was stopped"
            planned = self._plan(automation, tick_id)
            if planned is None:
                return SKIPPED, FRESH
            loaded, jobs = planned
            def started(run_id: int) -> None:
                run_ids.append(run_id)
                with self.catalog.transaction() as db:
                    ticks.started_run(db, tick_id, run_id)
            status = run_planned(project.out_dir, project.directory, project.modules, loaded, jobs,
                                 load_settings(project.directory, {}), _progress(jobs), lock_wait=LOCK_WAIT,
                                 on_start=started)
        except ImportFailure as e:
            return SKIPPED, _import_reason(str(e))
        except OrvanError as e:
            return FAILED, str(e)
        except KeyboardInterrupt:
            self.stopped.set()
            return INTERRUPTED, "serve was stopped"
        except Exception as e:  # whatever broke this tick, the next one may go: the schedule goes on
            traceback.print_exc(file=sys.stderr)
            return FAILED, f"{type(e).__name__}: {e}"
        finally:
            self.interruptible = False
        if status is None:
            return SKIPPED, FRESH  # a run that held the lock meanwhile did it all
        if status >= 128:  # its jobs were stopped by the signal that stops serve
            self.stopped.set()
            return INTERRUPTED, "serve was stopped during the run"
        return (RAN, None) if status == OK else (FAILED, "some jobs failed or did not run")

    def _plan(self, automation: Automation, tick_id: int) -> tuple[Loaded, list[Job]] | None:
        """The pipeline and the jobs the tick selects, or None when all are fresh."""
        project = self.project
        # As in `orvan status`: what the plan builds is all alive until it
        # ends, and the collector's passes over it would free nothing.
        enabled = gc.isenabled()
        gc.disable()
        try:
            loaded = load_report(project.modules, project.directory)
            specs = latest_partitions(loaded.graph, automation) if automation.latest_partitions else []
            jobs = choose_jobs(loaded.graph, loaded.plan, list(automation.select) or None, specs).jobs
            if specs:
                with self.catalog.transaction() as db:
                    ticks.asked(db, tick_id, specs)
            verdicts = assess(loaded.plan, self.catalog.last_attempts(), project.out_dir)
            if all(verdicts[job.id].decision == Decision.FRESH for job in jobs):
                return None
            return loaded, jobs
        finally:
            if enabled:
                gc.enable()

    def _tell(self, automation: Automation, trigger: str, due_at: float | None, outcome: str,
              reason: str | None, run_id: int | None) -> None:
        at = datetime.fromtimestamp(self.clock.now()).astimezone().isoformat(timespec="seconds")
        due = f" due {datetime.fromtimestamp(due_at).astimezone().isoformat(timespec='minutes')}" if due_at else ""
        why = f": {reason}" if reason else ""
        run = f" (run {run_id})" if run_id else ""
        self.say(f"{at} {automation.name} {trigger}{due}: {outcome}{why}{run}")


def latest_partitions(graph: Graph, automation: Automation) -> list[str]:
    """`--partition` specs for the newest key, in declared order, of each
    dimension the selected assets are partitioned by."""
    newest: dict[str, str] = {}
    for key in select(graph.assets, list(automation.select) or None):
        for dim, keys in graph.assets[key].partitions.items():
            if keys:
                newest.setdefault(dim, key_text(keys[-1]))
    return [f"{dim}={key}" for dim, key in newest.items()]


def _progress(jobs: list[Job]) -> Progress:
    # Quiet: serve's output is one line per tick, plus each run's failures and summary.
    return Progress(len(jobs), 0, sys.stdout, live=False, quiet=True)


def _import_reason(text: str) -> str:
    """"module failed to import: 'pipe.m' (NameError: ...)" from the
    inspection's message and traceback."""
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    if not lines:
        return IMPORT_FAILED
    first = lines[0].removeprefix("module ").removesuffix(" failed to import:")
    return f"{IMPORT_FAILED}: {first}" + (f" ({lines[-1]})" if len(lines) > 1 else "")
