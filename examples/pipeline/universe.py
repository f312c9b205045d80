"""What the pipeline covers: the tickers and trading days it is partitioned by."""

TICKERS = ["AAPL", "MSFT", "GOOG"]
TRADING_DAYS = ["2024-01-02", "2024-01-03"]
