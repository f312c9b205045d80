"""The example pipeline, materialised by examples/run_demo.py through both stubs."""

import importlib
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture
def project(tmp_path, monkeypatch):
    copy = tmp_path / "examples"
    shutil.copytree(EXAMPLES, copy, ignore=shutil.ignore_patterns("__pycache__"))
    monkeypatch.syspath_prepend(str(copy))
    yield copy
    for name in [n for n in sys.modules if n == "pipeline" or n.startswith("pipeline.")]:
        del sys.modules[name]


def test_demo_materialises_every_asset_upstream_first(project, tmp_path):
    out = tmp_path / "out"
    demo = [sys.executable, str(project / "run_demo.py"), "--project", str(project)]
    demo += ["--output", str(out)]
    proc = subprocess.run(demo, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert f"under {out}" in proc.stdout
    runs = sorted(p.parent for p in out.rglob("result.json"))
    assert [str(r.relative_to(out)) for r in runs] == [
        "daily_prices/date=2024-01-02/ticker=AAPL",
        "daily_prices/date=2024-01-02/ticker=GOOG",
        "daily_prices/date=2024-01-02/ticker=MSFT",
        "daily_prices/date=2024-01-03/ticker=AAPL",
        "daily_prices/date=2024-01-03/ticker=GOOG",
        "daily_prices/date=2024-01-03/ticker=MSFT",
        "market_summary",
        "raw_trades",
        "trades",
    ]
    # Each value is what the function gives, called here with the same arguments.
    for run in runs:
        result = json.loads((run / "result.json").read_text())
        assert result["ok"] is True and result["value_path"] == str(run / "value.json")
        kwargs = json.loads((run / "kwargs.json").read_text())
        function = getattr(importlib.import_module(result["module_path"]), result["function_name"])
        expected = json.loads(json.dumps(function(**kwargs)))
        assert json.loads((run / "value.json").read_text()) == expected

    summary = json.loads((out / "market_summary/value.json").read_text())
    # The broken, repeated and out-of-universe rows are gone; GOOG did not
    # trade on the 3rd.
    assert {t: (s["days_traded"], s["volume"]) for t, s in summary.items()} == {
        "AAPL": (2, 260), "GOOG": (1, 200), "MSFT": (2, 90),
    }



def test_the_example_uses_checks_time_partitions_and_in_memory_tests(tmp_path):
    copy = tmp_path / "examples"
    shutil.copytree(EXAMPLES, copy, ignore=shutil.ignore_patterns("__pycache__", ".orvan"))
    tests = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_pipeline.py"],
                           cwd=copy, capture_output=True, text=True, timeout=300)
    assert tests.returncode == 0, tests.stdout + tests.stderr
    assert "3 passed" in tests.stdout
    run = subprocess.run([sys.executable, "-m", "orvan", "run"], cwd=copy, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    out = copy / ".orvan"
    checks = json.loads((out / "pipeline.clean.trades" / "checks.json").read_text())
    assert [(o["name"], o["passed"]) for o in checks["outcomes"]] == [("prices_and_quantities_are_positive", True)]
    assert len(list(out.glob("pipeline.prices.daily_prices/*/*/checks.json"))) == 6
    window = json.loads((out / "pipeline.volume.two_day_volume" / "day=2024-01-03" / "value.json").read_text())
    assert window == {"days": ["2024-01-02", "2024-01-03"], "volume": 550}
