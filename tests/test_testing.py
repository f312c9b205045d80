"""orvan.testing: the runner's planning, values in memory, stubs for upstreams."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from orvan.testing import by_partition, materialize

PIPE = """\
from orvan import asset, partitions

CALLS = []

@asset()
def raw() -> list[int]:
    CALLS.append("raw")
    return [1, 2, 3]

@asset(inputs={"data": raw})
def doubled(data):
    CALLS.append("doubled")
    return [x * 2 for x in data]

@asset(partitions={"ticker": partitions(["AAPL", "MSFT"]), "day": partitions(["d1", "d2"])})
def prices(ticker, day):
    if ticker == "MSFT" and day == "d2":
        raise ValueError("no quote for MSFT on d2")
    return {"ticker": ticker, "day": day, "close": (1.0, 2.0)}

@asset(partitions={"ticker": partitions(["AAPL", "MSFT"])}, inputs={"by_day": prices})
def weekly(ticker, by_day):
    return sorted(by_day)

@asset(inputs={"data": raw})
def unstorable(data):
    return {1, 2}

@asset(inputs={"data": raw}, serializer="pickle")
def as_set(data):
    return set(data)

@asset(inputs={"s": as_set})
def size(s):
    return len(s)
"""


@pytest.fixture
def pipe(make_module):
    import importlib

    name = make_module(PIPE)
    return importlib.import_module(name)


def test_values_runs_and_fan_in(pipe):
    result = materialize([pipe], select=["doubled", "weekly", "size"])
    assert result[pipe.raw] == [1, 2, 3] and result[pipe.doubled] == [2, 4, 6]
    # As stored and read back: the tuple comes back a list.
    assert result[pipe.prices, {"ticker": "AAPL", "day": "d1"}]["close"] == [1.0, 2.0]
    assert result[pipe.weekly, {"ticker": "AAPL"}] == ["d1", "d2"]
    assert result[pipe.size] == 3  # through pickle and back, a set stays a set
    # One failed partition: its exception and traceback, and only the
    # downstream that reads it did not run.
    failure = result.failures["%s.prices[day=d2,ticker=MSFT]" % pipe.__name__]
    assert isinstance(failure.exception, ValueError) and "no quote for MSFT" in failure.traceback
    assert list(result.skipped) == ["%s.weekly[ticker=MSFT]" % pipe.__name__]
    assert not result.ok
    with pytest.raises(KeyError, match="failed: ValueError"):
        result[pipe.prices, {"ticker": "MSFT", "day": "d2"}]
    with pytest.raises(KeyError, match="is partitioned"):
        result[pipe.prices]
    assert set(result.partitions(pipe.prices)) == {"day=d1,ticker=AAPL", "day=d1,ticker=MSFT", "day=d2,ticker=AAPL"}


def test_a_stubbed_upstream_does_not_run(pipe):
    pipe.CALLS.clear()
    result = materialize(pipe.doubled, values={pipe.raw: (5, 6)})
    assert result[pipe.doubled] == [10, 12]
    assert pipe.CALLS == ["doubled"]
    assert result.ok


def test_stubs_for_some_partitions_leave_the_others_to_run(pipe):
    stub = by_partition({"day=d2,ticker=MSFT": {"stub": True}})
    result = materialize(pipe.weekly, values={pipe.prices: stub}, partitions={"ticker": "MSFT"})
    assert result.ok
    assert result[pipe.prices, {"ticker": "MSFT", "day": "d2"}] == {"stub": True}
    assert result[pipe.prices, {"ticker": "MSFT", "day": "d1"}]["close"] == [1.0, 2.0]
    assert result[pipe.weekly, {"ticker": "MSFT"}] == ["d1", "d2"]
    with pytest.raises(KeyError, match="not materialised"):
        result[pipe.weekly, {"ticker": "AAPL"}]
    made = materialize(pipe.weekly, values={pipe.prices: by_partition(lambda ticker, day: ticker + day)})
    assert made[pipe.weekly, {"ticker": "AAPL"}] == ["d1", "d2"]


def test_a_value_the_run_could_not_store_fails(pipe):
    result = materialize(pipe.unstorable)
    failure = result.failures[f"{pipe.__name__}.unstorable"]
    assert isinstance(failure.exception, TypeError) and "not JSON serializable" in str(failure.exception)
    with pytest.raises(KeyError, match="not in the plan"):
        materialize(pipe.doubled, values={"nope.raw": 1})


def test_process_isolation_runs_real_workers(pipe, tmp_path):
    result = materialize(pipe.size, values={pipe.raw: [4, 4, 5]}, tmp_path=tmp_path, isolation="process")
    assert result[pipe.size] == 2
    assert (tmp_path / f"{pipe.__name__}.as_set" / "value.pkl").exists()
    failed = materialize(pipe.weekly, partitions={"ticker": "MSFT"}, tmp_path=tmp_path, isolation="process")
    (label,) = failed.failures
    assert "no quote for MSFT on d2" in failed.failures[label].traceback


def test_the_fixture_comes_with_the_installed_package(tmp_path):
    (tmp_path / "mypipe.py").write_text(PIPE)
    (tmp_path / "test_mine.py").write_text(textwrap.dedent("""\
        import mypipe

        def test_it(orvan_materialize, tmp_path):
            result = orvan_materialize(mypipe.doubled, values={mypipe.raw: [7]}, isolation="process")
            assert result[mypipe.doubled] == [14]
            assert (tmp_path / "mypipe.doubled" / "value.json").exists()
        """))
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_mine.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "1 passed" in proc.stdout
