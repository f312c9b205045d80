"""Time partitions: windows that stay whole across every clock change, and
lookback inputs planned as ordinary dependencies."""

from __future__ import annotations

import bisect
import datetime as dt
import functools
import json
from zoneinfo import ZoneInfo

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from cli_helpers import plan_of, project, record, ref  # noqa: F401  (fixture)
from orvan import time as otime
from orvan.cli.plan.graph import GraphError

UTC = dt.timezone.utc
ZONES = ["Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Asia/Kathmandu", "UTC"]
HOUR = dt.timedelta(hours=1)


@functools.cache
def transitions(zone_name: str) -> list[dt.datetime]:
    """Every change of UTC offset from 1970 to 2037, found independently of
    the code under test: a scan by the half day, then bisection."""
    zone = ZoneInfo(zone_name)
    found = []
    t = dt.datetime(1970, 1, 1, tzinfo=UTC)
    stop = dt.datetime(2038, 1, 1, tzinfo=UTC)
    step = dt.timedelta(hours=12)
    while t < stop:
        if t.astimezone(zone).utcoffset() != (t + step).astimezone(zone).utcoffset():
            lo, hi = t, t + step
            while hi - lo > dt.timedelta(seconds=1):
                mid = lo + (hi - lo) / 2
                if mid.astimezone(zone).utcoffset() == lo.astimezone(zone).utcoffset():
                    lo = mid
                else:
                    hi = mid
            found.append(hi.replace(microsecond=0))
        t += step
    return found


def reading(t: dt.datetime, zone: ZoneInfo) -> tuple[dt.datetime, dt.timedelta]:
    """What an hourly window is made of: the clock's hour and the offset."""
    local = t.astimezone(zone)
    return local.replace(minute=0, second=0, microsecond=0, tzinfo=None), local.utcoffset()


def key_reading(key: str) -> tuple[dt.datetime, dt.timedelta]:
    start = dt.datetime.fromisoformat(key)
    return start.replace(minute=0, tzinfo=None), start.utcoffset()


def windows_around(t: dt.datetime, zone_name: str) -> tuple[list[str], list[dt.datetime]]:
    keys = otime.hourly_keys(t - 5 * HOUR, t + 5 * HOUR, tz=zone_name)
    return keys, [dt.datetime.fromisoformat(k) for k in keys]


def check_windows(keys: list[str], starts: list[dt.datetime], zone: ZoneInfo) -> None:
    assert len(keys) >= 6
    # In time order, no two alike: windows [start, next start) neither
    # overlap nor leave a gap.
    assert all(a < b for a, b in zip(starts, starts[1:])), keys
    assert len(set(keys)) == len(keys)
    for key, start, end in zip(keys, starts, starts[1:]):
        assert dt.timedelta(0) < end - start <= HOUR, (key, end - start)
        # Every instant of the window shows the key's hour at the key's
        # offset; the next window's first instant does not.
        for probe in (start, start + (end - start) / 2, end - dt.timedelta(seconds=1)):
            assert reading(probe, zone) == key_reading(key), (key, probe)
        assert reading(end, zone) != key_reading(key)
        assert otime.window(key, "hour", tz=zone.key) == (start.astimezone(zone), end.astimezone(zone))


@pytest.mark.parametrize("zone_name", ZONES)
def test_hourly_windows_at_every_transition_1970_to_2037(zone_name):
    zone = ZoneInfo(zone_name)
    changes = transitions(zone_name)
    if zone_name == "UTC":
        assert changes == []
        changes = [dt.datetime(1970, 1, 1, 3, tzinfo=UTC), dt.datetime(2037, 12, 31, 12, tzinfo=UTC)]
    else:
        assert len(changes) >= 1
    for change in changes:
        keys, starts = windows_around(change, zone_name)
        check_windows(keys, starts, zone)
        # The change itself begins a window.
        assert change in starts


@pytest.mark.parametrize("zone_name", ZONES)
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_every_instant_near_a_transition_is_in_exactly_one_window(zone_name, data):
    zone = ZoneInfo(zone_name)
    changes = transitions(zone_name) or [dt.datetime(2000, 1, 1, tzinfo=UTC)]
    change = data.draw(st.sampled_from(changes))
    t = change + dt.timedelta(seconds=data.draw(st.integers(-3 * 3600, 3 * 3600)))
    keys, starts = windows_around(t, zone_name)
    i = bisect.bisect_right(starts, t) - 1
    assert 0 <= i < len(keys) - 1
    assert starts[i] <= t < starts[i + 1]
    assert reading(t, zone) == key_reading(keys[i])


@pytest.mark.parametrize("zone_name, day, hours", [
    ("Europe/Berlin", "2024-03-31", 23),
    ("Europe/Berlin", "2024-10-27", 25),
    ("America/New_York", "2024-03-10", 23),
    ("America/New_York", "2024-11-03", 25),
    ("Australia/Lord_Howe", "2024-10-06", 23.5),
    ("Asia/Kathmandu", "1986-01-01", 23.75),
    ("UTC", "2024-03-31", 24),
])
def test_days_follow_the_clock(zone_name, day, hours):
    start, end = otime.window(day, "day", tz=zone_name)
    assert (end.astimezone(UTC) - start.astimezone(UTC)) / HOUR == hours
    assert otime.daily_keys(day, end, tz=zone_name) == [day]
    hourly = otime.hourly_keys(start, end, tz=zone_name)
    assert hourly[0].startswith(day) and all(k.startswith(day) for k in hourly)


def test_a_day_whose_midnight_the_clock_skips_starts_when_it_jumps():
    # Chile moves its clocks at midnight: 2024-09-08 begins at 01:00 local.
    start, _ = otime.window("2024-09-08", "day", tz="America/Santiago")
    assert start.isoformat() == "2024-09-08T01:00:00-03:00"
    assert otime.daily_keys("2024-09-07", "2024-09-10", tz="America/Santiago") == [
        "2024-09-07", "2024-09-08", "2024-09-09"]


def test_calendar_keys_align_and_end_by_the_end():
    assert otime._calendar_keys("2024-01-03", "2024-02-05", "UTC", "week") == [
        "2024-01-08", "2024-01-15", "2024-01-22", "2024-01-29"]  # the week from 02-05 is not over
    assert otime._calendar_keys("2023-11-15", "2024-03-01", "UTC", "month") == ["2023-12", "2024-01", "2024-02"]
    assert otime.window("2023-12", "month", tz="UTC")[1].date() == dt.date(2024, 1, 1)
    # A start inside a day begins with the next whole day.
    assert otime.daily_keys("2024-01-01T06:00", "2024-01-04") == ["2024-01-02", "2024-01-03"]
    assert otime.daily_keys("2024-01-04", "2024-01-04") == []


def test_end_none_stops_at_the_last_complete_window():
    now = dt.datetime.now(UTC)
    keys = otime.hourly_keys(now - 30 * HOUR, tz="Asia/Kathmandu")
    _, last_end = otime.window(keys[-1], "hour", tz="Asia/Kathmandu")
    assert last_end <= now < last_end + HOUR
    days = otime.daily_keys(now.date() - dt.timedelta(days=3))
    assert days[-1] == (now.date() - dt.timedelta(days=1)).isoformat()


def test_markers_are_ordinary_partitions():
    marker = otime.daily("2024-01-01", "2024-01-08", tz="Europe/Berlin")
    assert repr(marker) == "Partitions(7 values)"
    assert repr(otime.monthly("2024-01-01", "2025-01-01")) == "Partitions(12 values)"
    assert repr(otime.weekly("2024-01-01", "2024-01-29")) == "Partitions(4 values)"
    assert repr(otime.hourly("2024-10-27", "2024-10-28", tz="Europe/Berlin")) == "Partitions(25 values)"
    with pytest.raises(TypeError, match="not int"):
        otime.daily(20240101)


# ---- lookback --------------------------------------------------------------------------

DAYS = ["2024-01-30", "2024-01-31", "2024-02-01", "2024-02-02"]


def lookback_records(count: int, current: bool = True, dim: str | None = "day", extra_dims: bool = True):
    dims = {"day": DAYS, "region": ["eu", "us"]} if extra_dims else {"day": DAYS}
    spec = otime.lookback(ref("up"), count, dim=dim, current=current)
    return (record("up", partitions=dims),
            record("down", partitions=dims, inputs={"window": spec}))


@pytest.mark.parametrize("count, current, day, expected", [
    (3, True, "2024-02-01", ["2024-01-30", "2024-01-31", "2024-02-01"]),  # across the month boundary
    (3, True, "2024-01-31", ["2024-01-30", "2024-01-31"]),  # fewer near the first key
    (2, False, "2024-02-01", ["2024-01-30", "2024-01-31"]),
    (2, False, "2024-01-30", []),
    (1, True, "2024-02-02", ["2024-02-02"]),
])
def test_lookback_reads_the_window_as_dependencies(count, current, day, expected):
    plan = plan_of(*lookback_records(count, current))
    job = next(j for j in plan.by_asset["pipe.m.down"] if j.partition == {"day": day, "region": "us"})
    (inp,) = job.inputs
    assert inp.single is None and list(inp.tree()) == expected
    assert [plan.jobs[d].partition for d in job.deps] == [{"day": d, "region": "us"} for d in expected]


@pytest.mark.parametrize("dim, extra_dims, message", [
    (None, True, "needs dim=...: it shares 2 partition dimensions"),
    ("hour", False, "is not partitioned by 'hour'"),
])
def test_lookback_mistakes_are_named_before_anything_runs(dim, extra_dims, message):
    with pytest.raises(GraphError, match=message):
        plan_of(*lookback_records(2, dim=dim, extra_dims=extra_dims))


def test_lookback_text_round_trips_and_refuses_nonsense():
    text = otime.lookback("pipe.m.up", 7, dim="day")
    assert otime.parse_lookback(text) == {"asset": "pipe.m.up", "count": 7, "current": True, "dim": "day"}
    assert otime.parse_lookback("pipe.m.up") is None
    for bad in (0, -1, 1.5, True):
        with pytest.raises(ValueError):
            otime.lookback("x", bad)


SALES = """\
from orvan import asset, partitions
from orvan.time import daily

@asset(partitions={"day": daily("2024-01-29", "2024-02-03", tz="Europe/Berlin"),
                   "region": partitions(["eu", "us"])})
def sales(day, region):
    return {"day": day, "region": region, "amount": len(day) + OFFSET}

OFFSET = 0
"""

# Named by key, not imported: an import would make the upstream's module
# part of this one's fingerprint.
ROLLING = """\
from orvan import asset, partitions
from orvan.time import daily, lookback

@asset(partitions={"day": daily("2024-01-29", "2024-02-03", tz="Europe/Berlin"),
                   "region": partitions(["eu", "us"])},
       inputs={"week": lookback("tp.sales.sales", 3, dim="day")})
def rolling(day, region, week):
    return {"days": list(week), "total": sum(v["amount"] for v in week.values())}
"""


def test_lookback_end_to_end_with_early_cutoff(project):
    project.write("tp/sales.py", SALES)
    project.write("tp/rolling.py", ROLLING)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["tp.sales", "tp.rolling"]\n')
    first = project.orvan("run")
    assert first.returncode == 0, first.stdout + first.stderr
    value = project.value("tp.rolling.rolling", "day=2024-02-01", "region=eu")
    assert value == {"days": ["2024-01-30", "2024-01-31", "2024-02-01"], "total": 30}
    # The upstream reruns (its module changed) but writes the same values:
    # the windows that read them stay fresh.
    project.write("tp/sales.py", SALES.replace("OFFSET = 0", "OFFSET = 0  # same values"))
    second = project.orvan("run")
    assert second.returncode == 0, second.stdout + second.stderr
    statuses = project.statuses()
    assert {s for (k, _), s in statuses.items() if k == "tp.rolling.rolling"} == {"fresh"}
    assert {s for (k, _), s in statuses.items() if k == "tp.sales.sales"} == {"done"}
    # One day's value changes: only the windows that hold that day rerun.
    project.write("tp/sales.py", SALES.replace(
        "len(day) + OFFSET", "len(day) + OFFSET + (day == '2024-01-31')"))
    third = project.orvan("run")
    assert third.returncode == 0, third.stdout + third.stderr
    rerun = sorted(json.loads(p)["day"] for (k, p), s in project.statuses().items()
                   if k == "tp.rolling.rolling" and s == "done")
    assert rerun == ["2024-01-31"] * 2 + ["2024-02-01"] * 2 + ["2024-02-02"] * 2
