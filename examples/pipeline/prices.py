"""One price bar per ticker and trading day."""

from typing import TypedDict

from orvan import asset, partitions

from .clean import Trade, trades
from .universe import TICKERS, TRADING_DAYS


class PriceBar(TypedDict):
    ticker: str
    date: str
    trades: int
    volume: int
    vwap: float | None  # volume-weighted average price; None on a day without trades
    high: float | None
    low: float | None


@asset(
    inputs={"trades": trades},
    partitions={"ticker": partitions(TICKERS), "date": partitions(TRADING_DAYS)},
)
def daily_prices(ticker: str, date: str, trades: list[Trade]) -> PriceBar:
    day = [t for t in trades if t["ticker"] == ticker and t["date"] == date]
    volume = sum(t["quantity"] for t in day)
    prices = [t["price"] for t in day]
    vwap = sum(t["price"] * t["quantity"] for t in day) / volume if volume else None
    return PriceBar(
        ticker=ticker,
        date=date,
        trades=len(day),
        volume=volume,
        vwap=round(vwap, 4) if vwap is not None else None,
        high=max(prices, default=None),
        low=min(prices, default=None),
    )
