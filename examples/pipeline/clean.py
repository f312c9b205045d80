"""The trade table the rest of the pipeline trusts."""

from typing import Any, TypedDict

from orvan import asset

from .ingest import raw_trades
from .universe import TICKERS


class Trade(TypedDict):
    id: int
    ticker: str
    date: str
    price: float
    quantity: int


@asset(inputs={"raw": raw_trades})
def trades(raw: list[dict[str, Any]]) -> list[Trade]:
    """Normalised tickers, numeric prices; drops rows without a price, with a
    quantity that is not positive, outside the universe, or seen before."""
    seen: set[int] = set()
    table: list[Trade] = []
    for row in raw:
        ticker = str(row["ticker"]).strip().upper()
        if row["price"] is None or row["quantity"] <= 0 or ticker not in TICKERS:
            continue
        if row["id"] in seen:
            continue
        seen.add(row["id"])
        table.append(
            Trade(
                id=int(row["id"]),
                ticker=ticker,
                date=str(row["date"]),
                price=float(row["price"]),
                quantity=int(row["quantity"]),
            )
        )
    return table
