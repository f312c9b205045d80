"""Unit tests of the example pipeline's assets, run in memory with
orvan.testing: `python -m pytest test_pipeline.py` from this directory."""

from typing import Any

from orvan.testing import materialize

from pipeline import clean, ingest, prices, quality, volume

RAW = [
    {"id": 1, "ticker": " msft", "date": "2024-01-02", "price": "10.0", "quantity": 3},
    {"id": 2, "ticker": "MSFT", "date": "2024-01-03", "price": "12.0", "quantity": 1},
]


def test_daily_prices_from_a_stubbed_feed() -> None:
    # The feed is replaced: ingest.raw_trades does not run.
    result = materialize([clean, prices, quality], values={ingest.raw_trades: RAW}, select=["daily_prices"])
    bar = result[prices.daily_prices, {"ticker": "MSFT", "date": "2024-01-02"}]
    assert (bar["volume"], bar["vwap"]) == (3, 10.0)
    # The checks ran on every value computed here (the stubbed feed is not checked).
    assert len(result.checks) == 1 + 6
    assert all(o.passed for outcomes in result.checks.values() for o in outcomes)


def test_the_lookback_reads_the_day_before(orvan_materialize: Any) -> None:
    result = orvan_materialize([volume], values={clean.trades: [
        {"id": 1, "ticker": "MSFT", "date": "2024-01-02", "price": 10.0, "quantity": 3},
        {"id": 2, "ticker": "MSFT", "date": "2024-01-03", "price": 12.0, "quantity": 1},
    ]})
    assert result[volume.two_day_volume, {"day": "2024-01-03"}] == {"days": ["2024-01-02", "2024-01-03"],
                                                                    "volume": 4}
    assert result[volume.two_day_volume, {"day": "2024-01-02"}]["volume"] == 3


def test_the_trade_check_refuses_a_negative_quantity() -> None:
    table: list[clean.Trade] = [{"id": 7, "ticker": "MSFT", "date": "2024-01-02", "price": 10.0, "quantity": -3}]
    outcome = quality.prices_and_quantities_are_positive(table)
    assert not outcome.passed and outcome.message == "trades [7] are not positive"
