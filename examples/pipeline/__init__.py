"""An example orvan pipeline: daily trade prices for a few tickers.

    ingest.raw_trades        trades as an upstream feed delivers them
    clean.trades             the same trades, normalised and validated
    prices.daily_prices      one price bar per ticker and trading day (partitioned)
    summary.market_summary   one line per ticker over the whole period
    frames.trade_table       the trades as a pandas DataFrame, stored as Parquet
    frames.turnover          money traded per ticker, read from that table

Run the modules through ``python -m orvan.inspect`` from the ``examples``
directory to see what orvan discovers.
"""
