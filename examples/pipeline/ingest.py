"""Trades as the upstream feed delivers them: tickers in any case and padded
with spaces, prices as text, the odd broken or repeated row."""

from typing import Any

from orvan import asset


@asset()
def raw_trades() -> list[dict[str, Any]]:
    """The feed's rows, unchanged. A real pipeline would fetch them."""
    return [
        {"id": 1, "ticker": "AAPL", "date": "2024-01-02", "price": "185.64", "quantity": 120},
        {"id": 2, "ticker": " aapl", "date": "2024-01-02", "price": "186.10", "quantity": 80},
        {"id": 3, "ticker": "MSFT", "date": "2024-01-02", "price": "370.87", "quantity": 50},
        {"id": 4, "ticker": "msft ", "date": "2024-01-02", "price": None, "quantity": 10},
        {"id": 5, "ticker": "GOOG", "date": "2024-01-02", "price": "139.56", "quantity": 200},
        {"id": 5, "ticker": "GOOG", "date": "2024-01-02", "price": "139.56", "quantity": 200},
        {"id": 6, "ticker": "AAPL", "date": "2024-01-03", "price": "184.25", "quantity": 60},
        {"id": 7, "ticker": "MSFT", "date": "2024-01-03", "price": "370.60", "quantity": -5},
        {"id": 8, "ticker": "MSFT", "date": "2024-01-03", "price": "371.00", "quantity": 40},
        {"id": 9, "ticker": "TSLA", "date": "2024-01-03", "price": "238.45", "quantity": 30},
    ]
