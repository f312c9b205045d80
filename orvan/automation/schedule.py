"""Cron instants, read by cronsim in the automation's time zone, and the
clock `orvan serve` goes by.

cronsim rather than croniter: it is small, pure Python, without
dependencies (croniter brings python-dateutil), it is maintained with the
cron-monitoring service whose users' schedules it reads, and it walks
daylight-saving changes as Debian's cron does, which is what a user who
moves a crontab entry here expects.

The clock is the system's, except in tests: with ORVAN_SERVE_CLOCK naming a
file, serve believes the time is what that file holds (Unix seconds, or an
ISO 8601 time with its offset), read afresh at every step of its loop. It is
for tests only: nothing else should set it.
"""

from __future__ import annotations

import os
import time
from collections.abc import Iterator
from datetime import datetime
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

FAKE_CLOCK = "ORVAN_SERVE_CLOCK"
# How often serve looks at a clock it is given, instead of sleeping until
# the next instant.
FAKE_CLOCK_STEP = 0.05


class CronSetupError(Exception):
    pass


def _cronsim() -> type:
    try:
        from cronsim import CronSim
    except ImportError:
        raise CronSetupError("cron automations need cronsim: pip install 'orvan[serve]'") from None
    return CronSim


def problem(cron: str, timezone: str) -> str | None:
    """What is wrong with the expression or the zone, or None."""
    try:
        zone = ZoneInfo(timezone)
    except (ZoneInfoNotFoundError, ValueError):
        return f"unknown timezone {timezone!r} (an IANA name such as \"Europe/Paris\")"
    try:
        cronsim = _cronsim()
    except CronSetupError as e:
        return str(e)
    from cronsim import CronSimError

    try:
        cronsim(cron, datetime.now(zone))
    except CronSimError as e:
        return f"cron {cron!r}: {e}"
    return None


def instants(cron: str, timezone: str, after: float) -> Iterator[float]:
    """The instants (Unix seconds) strictly after `after`, in order."""
    start = datetime.fromtimestamp(after, ZoneInfo(timezone))
    for moment in _cronsim()(cron, start):
        yield moment.timestamp()


def due(cron: str, timezone: str, after: float, until: float) -> list[float]:
    """The instants in (after, until]."""
    found = []
    for t in instants(cron, timezone, after):
        if t > until:
            break
        found.append(t)
    return found


def next_instant(cron: str, timezone: str, after: float) -> float:
    return next(instants(cron, timezone, after))


class Clock:
    """The time serve goes by, and how long it sleeps before looking again."""

    def __init__(self) -> None:
        self.fake = os.environ.get(FAKE_CLOCK) or None

    def now(self) -> float:
        if self.fake is None:
            return time.time()
        try:
            with open(self.fake, encoding="utf-8") as f:
                text = f.read().strip()
        except OSError:
            return time.time()
        try:
            return float(text)
        except ValueError:
            return datetime.fromisoformat(text).timestamp()

    def step(self, seconds: float) -> float:
        """How long to wait for something `seconds` ahead by this clock."""
        return min(seconds, FAKE_CLOCK_STEP) if self.fake else seconds
