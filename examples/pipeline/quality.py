"""Checks of the data the pipeline trusts, run on each stored value (per
partition for daily_prices). A failed blocking check keeps everything
downstream of the value from running; a failed non-blocking one is a warning."""

from orvan.checks import CheckResult, check

from .clean import Trade, trades
from .prices import PriceBar, daily_prices


@check(trades, blocking=True)
def prices_and_quantities_are_positive(table: list[Trade]) -> CheckResult:
    bad = [t["id"] for t in table if t["price"] <= 0 or t["quantity"] <= 0]
    return CheckResult(not bad, f"trades {bad} are not positive" if bad else None, {"rows": len(table)})


@check(daily_prices)
def high_is_not_below_low(bar: PriceBar, ticker: str, date: str) -> bool:
    return bar["high"] is None or bar["low"] is None or bar["high"] >= bar["low"]
