"""Takes docs/ui-graph.png, docs/ui-matrix.png and docs/ui-run.png: a small
pipeline with a failed partition, a stale asset and one not run, served by
`orvan ui` and photographed with the test suite's browser (Debian's Chromium,
Playwright), in a temporary directory whose path says nothing of the machine.

    .venv/bin/python scripts/ui-screenshots.py [DOCS_DIR]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time
import urllib.request

from playwright.sync_api import sync_playwright

PIPELINE = '''
from orvan import asset, partitions

TICKERS = ["AAPL", "AMZN", "GOOG", "META", "MSFT", "NVDA", "TSLA", "INTC"]
DAYS = [f"2024-03-{d:02d}" for d in range(1, 29)]

@asset()
def raw_trades():
    return [{"ticker": t, "day": d, "price": 100.0} for t in TICKERS for d in DAYS]

@asset(inputs={"raw": raw_trades})
def trades(raw):
    return raw

@asset(inputs={"trades": trades}, partitions={"ticker": partitions(TICKERS), "day": partitions(DAYS)})
def daily_prices(trades, ticker, day):
    if ticker == "TSLA" and day in ("2024-03-12", "2024-03-13"):
        raise ValueError(f"no quotes for {ticker} on {day}")
    return [t["price"] for t in trades if t["ticker"] == ticker and t["day"] == day]

@asset(inputs={"prices": daily_prices})
def market_summary(prices):
    return len(prices)

@asset(inputs={"trades": trades})
def volumes():
    return VERSION
'''


def main() -> None:
    docs = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "docs"))
    with tempfile.TemporaryDirectory(prefix="orvan-shots-") as root:
        os.makedirs(os.path.join(root, "market"))
        open(os.path.join(root, "market", "__init__.py"), "w").close()
        path = os.path.join(root, "market", "prices.py")
        source = textwrap.dedent(PIPELINE).replace("def volumes():", "def volumes(trades):")
        with open(path, "w") as f:
            f.write("VERSION = 1\n" + source)
        run = [sys.executable, "-m", "orvan"]
        subprocess.run(run + ["run", "market.prices", "-j", "2"], cwd=root, capture_output=True)
        with open(path, "w") as f:  # an edit after the run: volumes is now stale
            f.write("VERSION = 1\n" + source.replace("return VERSION", "return VERSION + 1"))
        ui = subprocess.Popen(run + ["ui", "market.prices", "--port", "0"], cwd=root, stdout=subprocess.PIPE, text=True)
        try:
            assert ui.stdout is not None
            url = ui.stdout.readline().split(" at ", 1)[1].split()[0]
            shoot(url, docs)
        finally:
            ui.terminate()
            ui.wait()


def loaded(url: str) -> None:
    """Until the server has loaded the pipeline's code (pages show the catalog alone before)."""
    for _ in range(600):
        with urllib.request.urlopen(url + "changes?since=") as r:
            if not json.load(r).get("reloading"):
                return
        time.sleep(0.1)


def shoot(url: str, docs: str) -> None:
    loaded(url)
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path="/usr/bin/chromium", args=["--no-sandbox"])
        page = browser.new_page(viewport={"width": 1200, "height": 620})
        page.goto(url)
        page.screenshot(path=os.path.join(docs, "ui-graph.png"))
        page.set_viewport_size({"width": 1200, "height": 760})
        page.goto(url + "asset?key=market.prices.daily_prices")
        page.locator(".matrix a.seg.c-x").first.hover()
        page.screenshot(path=os.path.join(docs, "ui-matrix.png"))
        page.goto(url + "run/1")
        page.click('details.g-group[data-asset="market.prices.daily_prices"] summary')
        page.wait_for_selector(".g-rows .g-row")
        page.screenshot(path=os.path.join(docs, "ui-run.png"))
        browser.close()
    print(f"wrote {docs}/ui-graph.png, {docs}/ui-matrix.png and {docs}/ui-run.png")


if __name__ == "__main__":
    main()
