"""Traded volume per day, as a time partition of its own, and a running
total over the last two trading days read through a lookback input."""

from orvan import asset
from orvan.time import daily, lookback

from .clean import Trade, trades

# The days the feed covers: 2024-01-02 and 2024-01-03, on New York's clock.
DAYS = daily("2024-01-02", "2024-01-04", tz="America/New_York")


@asset(inputs={"trades": trades}, partitions={"day": DAYS})
def daily_volume(day: str, trades: list[Trade]) -> int:
    return sum(t["quantity"] for t in trades if t["date"] == day)


@asset(inputs={"recent": lookback(daily_volume, 2, dim="day")}, partitions={"day": DAYS})
def two_day_volume(day: str, recent: dict[str, int]) -> dict[str, object]:
    """`recent` holds daily_volume of this day and the one before, by day."""
    return {"days": list(recent), "volume": sum(recent.values())}
