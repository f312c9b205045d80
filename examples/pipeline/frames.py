"""The trades as a table: what most pipelines pass between their steps."""

import pandas as pd

from orvan import asset

from .clean import Trade, trades


@asset(inputs={"trades": trades}, serializer="parquet")
def trade_table(trades: list[Trade]) -> pd.DataFrame:
    """One row per trade, stored as Parquet rather than JSON."""
    return pd.DataFrame.from_records(trades, columns=["id", "ticker", "date", "price", "quantity"])


@asset(inputs={"table": trade_table})
def turnover(table: pd.DataFrame) -> dict[str, float]:
    """Money traded per ticker, from the table as the upstream stored it."""
    money = (table["price"] * table["quantity"]).groupby(table["ticker"]).sum()
    return {str(ticker): round(float(value), 2) for ticker, value in money.items()}
