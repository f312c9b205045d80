"""Time partitions: the keys of hourly, daily, weekly and monthly windows in a
time zone, as an ordinary ``partitions([...])`` marker.

    from orvan import asset, partitions
    from orvan.time import daily, hourly, lookback

    @asset(partitions={"day": daily("2024-01-01", tz="Europe/Berlin"),
                       "region": partitions(["eu", "us"])})
    def sales(day: str, region: str) -> list[dict]: ...

    @asset(partitions={"day": daily("2024-01-01", tz="Europe/Berlin")},
           inputs={"week": lookback(sales, 7)})
    def weekly_mean(day: str, week: dict[str, dict[str, list[dict]]]) -> float: ...

Keys, one per window, in time order:

    hourly    "2024-03-31T03:00+02:00"  the window's first instant on the
              zone's clock, with its UTC offset (so both 02:00 of the night
              the clocks go back are there, told apart by the offset)
    daily     "2024-03-31"              the local date
    weekly    "2024-03-25"              the local date of the week's Monday
    monthly   "2024-03"

A window is every instant whose local time falls in it: a day of the change
to summer time has 23 hours, and one back has 25. An hourly window is the run
of instants that show the same hour on the zone's clock at the same UTC
offset; where the clock jumps by half an hour (Australia/Lord_Howe), one
window is half an hour long and its key shows the minutes the clock jumped to
("2024-10-06T02:30+11:00"). Keys of dates and months sort as text in time
order; hourly keys sort in time order as instants
(``datetime.fromisoformat``), and as text too but for the repeated hour of the
night the clocks go back, where ``+01:00`` sorts before ``+02:00``. orvan
itself never sorts keys: ranges (``--partition day=A..B``), lookbacks and every
listing follow the declared order, which is time order.

``start`` is a date, a datetime or their ISO text; a naive one is read on the
zone's clock. The windows are those that begin at or after ``start`` and end
at or before ``end``; ``end=None`` means now, so the last key is the last
complete window.
"""

from __future__ import annotations

import datetime as dt
import json
from typing import Any
from zoneinfo import ZoneInfo

__all__ = ["hourly", "daily", "weekly", "monthly", "lookback", "window", "LOOKBACK_PREFIX"]

UTC = dt.timezone.utc
_HOUR = dt.timedelta(hours=1)
_DAY = dt.timedelta(days=1)


def _zone(tz: str | dt.tzinfo) -> dt.tzinfo:
    return tz if isinstance(tz, dt.tzinfo) else ZoneInfo(tz)


def _instant(moment: Any, zone: dt.tzinfo) -> dt.datetime:
    """An aware instant; a date is its first instant in the zone, a naive
    datetime a reading of the zone's clock."""
    if isinstance(moment, str):
        moment = dt.datetime.fromisoformat(moment)
    if isinstance(moment, dt.datetime):
        return moment if moment.tzinfo is not None else _earliest(moment, zone)
    if isinstance(moment, dt.date):
        return _day_start(moment, zone)
    raise TypeError(f"expected a date, a datetime or ISO text, not {type(moment).__qualname__}")


def _shows(naive: dt.datetime, zone: dt.tzinfo, fold: int) -> dt.datetime | None:
    """The instant at which the zone's clock shows `naive` (the first or the
    second time, by fold), or None when the clock skips it."""
    aware = naive.replace(tzinfo=zone, fold=fold)
    back = aware.astimezone(UTC).astimezone(zone)
    return aware.astimezone(UTC) if back.replace(tzinfo=None) == naive else None


def _earliest(naive: dt.datetime, zone: dt.tzinfo) -> dt.datetime:
    """The first instant at or after the clock reading `naive`: where the
    clock skips it, the instant it jumps forward."""
    for fold in (0, 1):
        found = _shows(naive, zone, fold)
        if found is not None:
            return found
    # Skipped: read with the offsets before and after the jump, the reading
    # falls on either side of it, and the jump itself is the first instant after.
    before = naive.replace(tzinfo=zone, fold=1).astimezone(UTC)
    after = naive.replace(tzinfo=zone, fold=0).astimezone(UTC)
    return _transition(before, after, zone)


def _day_start(day: dt.date, zone: dt.tzinfo) -> dt.datetime:
    """The first instant of the local date (midnight may not exist)."""
    return _earliest(dt.datetime(day.year, day.month, day.day), zone)


def _end(end: Any, zone: dt.tzinfo) -> dt.datetime:
    return dt.datetime.now(UTC) if end is None else _instant(end, zone)


def _marker(keys: list[str]) -> Any:
    from . import partitions

    return partitions(keys)


# ---- hourly -------------------------------------------------------------------


def hour_starts(start: dt.datetime, end: dt.datetime, zone: dt.tzinfo) -> list[dt.datetime]:
    """The instants from start up to end (exclusive) at which the zone's
    clock begins another hour or jumps to another offset, in UTC."""
    t = start.astimezone(UTC)
    if not _starts_window(t, zone):
        t = _next_start(t, zone)
    starts = []
    while t < end:
        starts.append(t)
        run = _steady_hours(t, zone)
        starts += [t + k * _HOUR for k in range(1, run + 1)]
        t = _next_start(t + run * _HOUR, zone)
    while starts and starts[-1] >= end:
        starts.pop()
    return starts


_DAY_HOURS = 24


def _steady_hours(t: dt.datetime, zone: dt.tzinfo) -> int:
    """How many full hours follow t at its offset with nothing in between,
    when t shows a full hour and the offset holds for the next day (no zone
    changes its offset twice in a day): the common case, done in one step."""
    local = t.astimezone(zone)
    if local.minute or local.second or local.microsecond:
        return 0
    if _offset(t + _DAY_HOURS * _HOUR, zone) != local.utcoffset():
        return 0
    return _DAY_HOURS - 1


_TICK = dt.timedelta(microseconds=1)


def _offset(t: dt.datetime, zone: dt.tzinfo) -> dt.timedelta | None:
    return t.astimezone(zone).utcoffset()


def _starts_window(t: dt.datetime, zone: dt.tzinfo) -> bool:
    local = t.astimezone(zone)
    return (local.minute == local.second == local.microsecond == 0) or _offset(t - _TICK, zone) != local.utcoffset()


def _next_start(t: dt.datetime, zone: dt.tzinfo) -> dt.datetime:
    """The first instant after t at which the clock shows a full hour, or
    jumps to another offset before it does."""
    local = t.astimezone(zone)
    offset = local.utcoffset() or dt.timedelta(0)
    following = local.replace(minute=0, second=0, microsecond=0, tzinfo=None) + _HOUR
    candidate = (following - offset).replace(tzinfo=UTC)
    if _offset(candidate - _TICK, zone) == offset:
        return candidate
    return _transition(t, candidate, zone)


def _transition(lo: dt.datetime, hi: dt.datetime, zone: dt.tzinfo) -> dt.datetime:
    """The first instant in (lo, hi) with another offset than lo's, found to
    the second (tzdata's transitions fall on whole seconds)."""
    before = _offset(lo, zone)
    lo = lo.replace(microsecond=0)
    hi = hi.replace(microsecond=0)
    while hi - lo > dt.timedelta(seconds=1):
        mid = lo + dt.timedelta(seconds=int((hi - lo).total_seconds()) // 2)
        if _offset(mid, zone) == before:
            lo = mid
        else:
            hi = mid
    return hi


def hour_key(instant: dt.datetime, zone: dt.tzinfo) -> str:
    return instant.astimezone(zone).isoformat(timespec="minutes")


def hourly_keys(start: Any, end: Any = None, *, tz: str | dt.tzinfo = "UTC") -> list[str]:
    zone = _zone(tz)
    first, last = _instant(start, zone), _end(end, zone)
    starts = hour_starts(first, last + 2 * _HOUR, zone)
    # A window is in when it ends by `end`: its successor starts by then.
    return [hour_key(t, zone) for t, nxt in zip(starts, starts[1:]) if nxt <= last]



def hourly(start: Any, end: Any = None, *, tz: str | dt.tzinfo = "UTC") -> Any:
    """One key per hour of the zone's clock (see the module's notes)."""
    return _marker(hourly_keys(start, end, tz=tz))


# ---- days, weeks, months ----------------------------------------------------------


def _first_day(start: Any, zone: dt.tzinfo) -> dt.date:
    """The first local date whose window begins at or after start."""
    instant = _instant(start, zone)
    day = instant.astimezone(zone).date()
    return day if _day_start(day, zone) >= instant else day + _DAY


def _calendar_keys(start: Any, end: Any, tz: str | dt.tzinfo, step: str) -> list[str]:
    zone = _zone(tz)
    day = _first_day(start, zone)
    day = _align(day, step)
    last = _end(end, zone)
    keys: list[str] = []
    while True:
        nxt = _next(day, step)
        if _day_start(nxt, zone) > last:
            return keys
        keys.append(f"{day:%Y-%m}" if step == "month" else day.isoformat())
        day = nxt


def _align(day: dt.date, step: str) -> dt.date:
    """The first window start on or after `day`."""
    if step == "week":
        return day + dt.timedelta(days=(7 - day.weekday()) % 7)
    if step == "month" and day.day != 1:
        return _next(day.replace(day=1), "month")
    return day


def _next(day: dt.date, step: str) -> dt.date:
    if step == "day":
        return day + _DAY
    if step == "week":
        return day + dt.timedelta(days=7)
    return dt.date(day.year + day.month // 12, day.month % 12 + 1, 1)


def daily_keys(start: Any, end: Any = None, *, tz: str | dt.tzinfo = "UTC") -> list[str]:
    return _calendar_keys(start, end, tz, "day")


def daily(start: Any, end: Any = None, *, tz: str | dt.tzinfo = "UTC") -> Any:
    """One key per local date, "2024-03-31"."""
    return _marker(daily_keys(start, end, tz=tz))


def weekly(start: Any, end: Any = None, *, tz: str | dt.tzinfo = "UTC") -> Any:
    """One key per week, Monday to Monday, keyed by its Monday's date."""
    return _marker(_calendar_keys(start, end, tz, "week"))


def monthly(start: Any, end: Any = None, *, tz: str | dt.tzinfo = "UTC") -> Any:
    """One key per calendar month, "2024-03"."""
    return _marker(_calendar_keys(start, end, tz, "month"))


def window(key: str, every: str, *, tz: str | dt.tzinfo = "UTC") -> tuple[dt.datetime, dt.datetime]:
    """The window a key stands for, as aware datetimes [start, end) on the
    zone's clock; `every` is "hour", "day", "week" or "month"."""
    zone = _zone(tz)
    if every == "hour":
        start = dt.datetime.fromisoformat(key).astimezone(UTC)
        nxt = hour_starts(start + dt.timedelta(seconds=1), start + 2 * _HOUR, zone)
        return start.astimezone(zone), nxt[0].astimezone(zone)
    if every not in ("day", "week", "month"):
        raise ValueError(f"every must be hour, day, week or month, not {every!r}")
    day = dt.date.fromisoformat(key + "-01" if every == "month" else key)
    return _day_start(day, zone).astimezone(zone), _day_start(_next(day, every), zone).astimezone(zone)


# ---- lookback -------------------------------------------------------------------

# The text an input reference starts with when it asks for a window of
# earlier partitions; the rest is a JSON object (see `lookback`).
LOOKBACK_PREFIX = "orvan.lookback:"


def lookback(upstream: Any, count: int, *, dim: str | None = None, current: bool = True) -> str:
    """An input that reads `count` partitions of `upstream` on the time
    dimension `dim`, ending with the downstream's own partition (or, with
    current=False, the `count` before it), as a dict keyed by partition key
    in declared order. Near the first key the dict has fewer entries.

    `asset(inputs=...)` takes asset functions and text; this is text that
    names the upstream as the native reference does and that the orvan
    command reads back, so each partition read is an ordinary dependency."""
    if isinstance(count, bool) or not isinstance(count, int) or count < 1:
        raise ValueError(f"lookback count must be a positive int, not {count!r}")
    spec = {"asset": _reference(upstream), "count": count, "current": bool(current), "dim": dim}
    return LOOKBACK_PREFIX + json.dumps(spec, sort_keys=True, separators=(",", ":"))


def _reference(upstream: Any) -> str:
    if isinstance(upstream, str):
        return upstream
    if getattr(upstream, "__orvan_kind__", None) != "asset":
        raise TypeError(f"lookback takes an asset or its key, not {type(upstream).__qualname__}")
    import inspect
    import os

    original = upstream.__orvan_original__
    # The form the native decorator gives a decorated upstream.
    return f"{os.path.realpath(inspect.getfile(original))}:{original.__name__}"


def parse_lookback(ref: str) -> dict[str, Any] | None:
    """The lookback an input reference asks for, or None for a plain one."""
    if not ref.startswith(LOOKBACK_PREFIX):
        return None
    try:
        spec = json.loads(ref[len(LOOKBACK_PREFIX):])
    except ValueError:
        return None
    ok = (isinstance(spec, dict) and isinstance(spec.get("asset"), str) and isinstance(spec.get("count"), int)
          and (spec.get("dim") is None or isinstance(spec.get("dim"), str)))
    return spec if ok else None
