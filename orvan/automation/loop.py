"""When the automations tick: the loop of `orvan serve`.

One loop, one tick at a time (every run takes the output directory's run
lock anyway), so that no two ticks of an automation ever overlap:

- cron: each instant once. The instants missed while serve was down (after
  the automation's recorded mark, up to serve's start) follow its catch_up:
  all of them, the latest only, or none, every one passed over recorded as
  skipped. Those that came due while the automation's own previous run was
  going are skipped as "previous run still going"; of several that came due
  while another automation's run was going, the newest runs.
- on change: once when serve starts (edits made while it was down), then
  when a Python file or pyproject.toml of the project changes, and when a
  run (one not started by this automation) has written values; several
  changes during a run make one tick after it.
"""

from __future__ import annotations

import threading
import time

from ..catalog import Catalog, ticks
from . import schedule
from .declarations import Automation
from .schedule import Clock
from .ticker import STILL_GOING, Ticker

# How often the catalog is asked whether a run serve did not start has ended.
OTHER_RUNS_SECONDS = 1.0


class Loop:
    def __init__(self, automations: list[Automation], ticker: Ticker, catalog: Catalog, clock: Clock):
        self.crons = [a for a in automations if a.cron]
        self.watchers = [a for a in automations if a.on_change]
        self.ticker = ticker
        self.catalog = catalog
        self.clock = clock
        self.wake = threading.Event()
        self.started = clock.now()
        self.marks: dict[str, float] = {}
        self.spans: dict[str, tuple[float, float]] = {}  # each automation's last run, by serve's clock
        self._changed = threading.Lock()
        self._edits: list[str] = []
        self._pending = {a.name for a in self.watchers}  # the tick at start
        self._other_run: tuple[int, float] | None = None
        self._next_look = 0.0

    def open(self) -> None:
        """Settles what a killed serve left and reads where each schedule stands."""
        with self.catalog.transaction() as db:
            ticks.settle_running(db, self.started)
            self.marks = {a.name: ticks.ticked_to(db, a.name, self.started) for a in self.crons}
            self._other_run = ticks.last_other_run(db)

    def edited(self, paths: list[str]) -> None:
        """From the watcher's thread: wakes the loop for the automations on change."""
        with self._changed:
            self._edits.extend(paths)
            self._pending.update(a.name for a in self.watchers)
        self.wake.set()

    def run(self) -> None:
        stopped = self.ticker.stopped
        while not stopped.is_set():
            self.cron_ticks(self.clock.now())
            if not stopped.is_set():
                self.change_ticks()
            if stopped.is_set():
                break
            self.wake.wait(self.clock.step(self.sleep(self.clock.now())))
            self.wake.clear()

    def next_due(self, automation: Automation) -> float | None:
        if automation.cron is None:
            return None
        return schedule.next_instant(automation.cron, automation.timezone,
                                     self.marks.get(automation.name, self.clock.now()))

    def sleep(self, now: float) -> float:
        """Seconds until the next instant, or until the catalog is looked at again."""
        until = [due - now for a in self.crons if (due := self.next_due(a)) is not None]
        if self.watchers:
            until.append(OTHER_RUNS_SECONDS)
        return max(0.0, min(until, default=3600.0))

    # -- cron --------------------------------------------------------------

    def cron_ticks(self, now: float) -> None:
        for automation in self.crons:
            if self.ticker.stopped.is_set():
                return
            due = schedule.due(automation.cron or "", automation.timezone, self.marks[automation.name], now)
            if due:
                self._catch_up(automation, due)

    def _catch_up(self, automation: Automation, due: list[float]) -> None:
        missed = [t for t in due if t <= self.started]
        span = self.spans.get(automation.name)
        overlapped = [t for t in due if t > self.started and span and span[0] <= t <= span[1]]
        late = [t for t in due if t > self.started and t not in overlapped]
        to_run = {"all": missed, "latest": missed[-1:], "none": []}[automation.catch_up]
        for t in due:
            if self.ticker.stopped.is_set():
                return
            if t in overlapped:
                self._skip(automation, t, STILL_GOING)
            elif t in missed and t not in to_run:
                self._skip(automation, t, f"missed while serve was down (catch_up = {automation.catch_up})")
            elif t in late and t != late[-1]:
                self._skip(automation, t, "a later tick came due while another run was going")
            else:
                self._tick(automation, "catch-up" if t in missed else "cron", t)

    def _skip(self, automation: Automation, due_at: float, reason: str) -> None:
        self.ticker.skip(automation, "cron", due_at, reason)
        self.marks[automation.name] = max(self.marks[automation.name], due_at)

    def _tick(self, automation: Automation, trigger: str, due_at: float | None) -> None:
        start = self.clock.now()
        if due_at is not None:
            self.marks[automation.name] = max(self.marks[automation.name], due_at)
        run_id = self.ticker.tick(automation, trigger, due_at)
        if run_id is not None:
            self.spans[automation.name] = (start, self.clock.now())
            # Its values changed: the automations on change look again (not itself).
            with self._changed:
                self._pending.update(a.name for a in self.watchers if a.name != automation.name)

    # -- on change ---------------------------------------------------------

    def change_ticks(self) -> None:
        if not self.watchers:
            return
        self._look_at_other_runs()
        with self._changed:
            pending, self._pending = self._pending, set()
            self._edits.clear()
        for automation in self.watchers:
            if automation.name in pending and not self.ticker.stopped.is_set():
                self._tick(automation, "on_change", None)

    def _look_at_other_runs(self) -> None:
        now = time.monotonic()  # not serve's clock: a test's stands still
        if now < self._next_look:
            return
        self._next_look = now + OTHER_RUNS_SECONDS
        last = self.catalog.last_other_run()
        if last != self._other_run:
            self._other_run = last
            with self._changed:
                self._pending.update(a.name for a in self.watchers)
