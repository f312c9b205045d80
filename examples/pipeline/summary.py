"""The period at a glance."""

from typing import TypedDict

from orvan import asset

from .prices import PriceBar, daily_prices


class TickerSummary(TypedDict):
    days_traded: int
    volume: int
    high: float | None
    low: float | None


@asset(name="market_summary", inputs={"prices": daily_prices})
def summary(prices: dict[str, dict[str, PriceBar]]) -> dict[str, TickerSummary]:
    """Per ticker over all days. `prices` holds one bar per partition of
    daily_prices, by date, then ticker (its dimensions in sorted order)."""
    out: dict[str, TickerSummary] = {}
    bars = [bar for by_ticker in prices.values() for bar in by_ticker.values()]
    for bar in sorted(bars, key=lambda b: (b["ticker"], b["date"])):
        line = out.setdefault(
            bar["ticker"], TickerSummary(days_traded=0, volume=0, high=None, low=None)
        )
        if bar["trades"]:
            line["days_traded"] += 1
            line["volume"] += bar["volume"]
        if bar["high"] is not None:
            line["high"] = bar["high"] if line["high"] is None else max(line["high"], bar["high"])
        if bar["low"] is not None:
            line["low"] = bar["low"] if line["low"] is None else min(line["low"], bar["low"])
    return out
