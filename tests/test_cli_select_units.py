"""The pure parts of operating a pipeline, table-driven: the selection
grammar, partition subsets, per-asset settings, the retry delays and the
progress display's drawing."""

import io
import re
import time

import pytest
from cli_helpers import plan_of, record
from test_cli_scheduler import FakeExecutor

from orvan.catalog import FRESH, INTERRUPTED, PENDING, Catalog
from orvan.cli.config import JobSettings, Settings, load_settings
from orvan.cli.report import Progress
from orvan.cli.run.scheduler import RetryPolicy, Scheduler
from orvan.cli.plan.selection import ALL, SelectionError, Term, parse_term, split_terms, walk
from orvan.cli.plan.subsets import DimSpec, SubsetError, choose, parse_spec
from orvan.cli.run.executors import WorkerTask


@pytest.mark.parametrize("text, term", [
    ("k", Term("k")),
    ("+k", Term("k", up=ALL)),
    ("k+", Term("k", down=ALL)),
    ("+k+", Term("k", ALL, ALL)),
    ("3+k+12", Term("k", 3, 12)),
    ("0+k", Term("k", 0)),
    ("a.b*", Term("a.b*")),
])
def test_parse_term(text, term):
    assert parse_term(text) == term


def test_a_key_containing_plus_is_taken_whole_and_terms_split_on_commas():
    assert parse_term("c++", {"c++"}) == Term("c++")
    with pytest.raises(SelectionError):
        parse_term("c++")
    assert split_terms(["a, +b", "c+,,"]) == ["a", "+b", "c+"]


EDGES = {"a": ["b"], "b": ["c", "d"], "c": ["a"], "d": []}  # with a cycle: the walk must still end


@pytest.mark.parametrize("depth, reached", [(0, {"a"}), (1, {"a", "b"}), (2, {"a", "b", "c", "d"}), (ALL, {"a", "b", "c", "d"})])
def test_walk_depths(depth, reached):
    assert walk(["a"], EDGES, depth) == reached


DECLARED = ["2024-01-03", "2024-01-01", "2024-01-02", "2024-02-01"]


@pytest.mark.parametrize("text, picked", [
    ("date=2024-01-01", ["2024-01-01"]),
    ("date=2024-01-02,2024-01-03", ["2024-01-03", "2024-01-02"]),  # declared order, whatever the order given
    ("date=2024-01-03..2024-01-02", ["2024-01-03", "2024-01-01", "2024-01-02"]),
    ("date=2024-01-*", ["2024-01-03", "2024-01-01", "2024-01-02"]),
    ("date=*-0[12]", ["2024-01-01", "2024-01-02", "2024-02-01"]),
])
def test_partition_specs_pick_declared_keys_in_declared_order(text, picked):
    assert parse_spec(text).pick(DECLARED) == picked


@pytest.mark.parametrize("text, error", [
    ("date=2024-01-02..2024-01-01", "comes after"),
    ("date=2024-01-04", r"not a declared key \(did you mean"),
    ("date=x..2024-01-01", "not a declared key"),
])
def test_partition_specs_that_name_undeclared_or_reversed_keys(text, error):
    with pytest.raises(SubsetError, match=error):
        spec = parse_spec(text)
        choose({spec.dim: spec}, {"date": DECLARED})


def test_non_text_keys_compare_in_their_text_form_and_unrelated_assets_are_left_out():
    spec = DimSpec("year", first="2020", last="2022")
    assert choose({"year": spec}, {"year": [2019, 2020, 2021, 2022, 2023]}) == {"year": {"2020", "2021", "2022"}}
    assert choose({"year": spec}, {"region": ["eu"]}) is None


def test_settings_patterns_apply_in_file_order_and_the_exact_key_wins():
    settings = Settings(JobSettings(retries=1, timeout=50.0), (
        ("pipe.m.exact", {"timeout": 5.0}),
        ("pipe.*", {"retries": 3, "timeout": 10.0}),
        ("pipe.m.*", {"retry_delay": 0.5}),
    ))
    assert settings.for_asset("pipe.m.exact") == JobSettings(3, 0.5, 5.0)
    assert settings.for_asset("pipe.n.other") == JobSettings(3, 1.0, 10.0)
    assert settings.for_asset("elsewhere") == JobSettings(1, 1.0, 50.0)


@pytest.mark.parametrize("given, expected", [
    ({}, JobSettings(2, 0.5, 30.0)),
    ({"retries": 0, "timeout": None}, JobSettings(0, 0.5, 30.0)),  # None: the flag was not given
])
def test_project_defaults_yield_to_the_command_line_and_to_asset_tables(tmp_path, given, expected):
    (tmp_path / "pyproject.toml").write_text(
        '[tool.orvan]\nretries = 2\nretry_delay = 0.5\ntimeout = 30\n[tool.orvan.assets."k"]\nretries = 5\n')
    settings = load_settings(str(tmp_path), given)
    assert settings.for_asset("other") == expected
    assert settings.for_asset("k").retries == 5


@pytest.mark.parametrize("jitter, delays", [(0.0, [0.5, 1.0, 2.0, None]), (0.999, [1.499, 2.998, 5.996, None])])
def test_retry_delays_double_within_the_jitter_band_and_stop_after_the_retries(jitter, delays):
    policy = RetryPolicy(lambda key: JobSettings(retries=3, retry_delay=1.0), jitter=lambda: jitter)
    got = [policy.delay("k", attempt) for attempt in range(1, 5)]
    assert got == pytest.approx(delays)


def test_interrupting_a_job_that_waits_to_retry_settles_it_and_its_downstream(tmp_path):
    plan = plan_of(record("src"), record("top", inputs={"s": "pipe.m.src"}))
    executor = FakeExecutor(slots=1, fail={"pipe.m.src"})
    catalog = Catalog.in_dir(str(tmp_path))
    run = catalog.start_run(["pipe.m"], [])
    jobs = list(plan.jobs.values())
    rows = catalog.add_jobs(run, [(j.key, j.id[1], j.fingerprint, PENDING, None) for j in jobs])
    sched = Scheduler(plan, [j.id for j in jobs], catalog=catalog, row_ids={j.id: r for j, r in zip(jobs, rows)},
                      executor=executor, out_dir=str(tmp_path), timeout=None,
                      progress=Progress(2, 0, io.StringIO(), live=False),
                      prepare=lambda out, plan, job, timeout, reader: WorkerTask(job.label, "m", "f", out, None, out + "/l", None),
                      settings=lambda key: JobSettings(retries=5, retry_delay=60))
    original = sched._release_due

    def interrupt_once_delayed():
        if sched._delayed:
            raise KeyboardInterrupt
        original()

    sched._release_due = interrupt_once_delayed
    results = sched.run()
    assert sched.interrupted and executor.started == ["pipe.m.src"]
    assert [results[j.id].status for j in jobs] == [INTERRUPTED, "not_run"]
    assert [(r[0], r[1]) for r in catalog.job_attempts(rows[0])] == [(1, "failed")]
    assert {r[3] for r in catalog.run_jobs(run)} == {INTERRUPTED, "not_run"}
    catalog.close()


class Broken(io.StringIO):
    def __init__(self):
        super().__init__()
        self.writes = 0

    def write(self, text):
        self.writes += 1
        raise BrokenPipeError


@pytest.mark.parametrize("live", [True, False])
def test_progress_survives_a_closed_stream_and_stops_writing_to_it(live):
    stream = Broken()
    progress = Progress(3, 1, stream, live=live)
    for label in ("a", "b"):
        progress.started(label, None)
        progress.finished_job(label, "failed", "boom", 0.1, None)
    progress.close()
    progress.write("summary")
    assert stream.writes == 1


def test_live_progress_redraws_at_most_every_interval_and_accounts_for_every_finished_job():
    stream = io.StringIO()
    total = 5000
    progress = Progress(total, 0, stream, live=True, width=80)
    t0 = time.monotonic()
    for i in range(total):
        progress.started(f"job{i}", None)
        progress.finished_job(f"job{i}", "failed" if i == 4321 else "done", "boom", 0.01, None)
    progress.close()
    elapsed = time.monotonic() - t0
    text = stream.getvalue()
    redraws = text.count("\r\x1b[K")
    assert redraws <= elapsed / Progress.LIVE_INTERVAL + 3
    lines = text.replace("\r\x1b[K", "\n").splitlines()
    listed = sum(" done " in line for line in lines)
    counted = sum(int(m.group(1)) for m in map(re.compile(r"\.\.\. and (\d+) more jobs done").match, lines) if m)
    assert listed + counted == total - 1 and listed <= redraws * Progress.LINES_PER_DRAW
    assert "[4322/5000] FAILED   job4321 (0.01s): boom" in lines  # failures are always listed
    assert text.endswith("\n")  # the status line is cleared, nothing dangles


def test_the_status_line_counts_names_running_jobs_and_fits_the_width():
    progress = Progress(10, 2, io.StringIO(), live=True, width=100)
    progress.started("first", None)
    progress.started("second", None)
    progress.finished_job("first", "failed", "x", 1.0, None)
    line = progress.status_line()
    assert line.startswith("[ 3/10] 1 running, 1 failed, 7 left") and "second" in line and "first" not in line
    assert "ETA ~" in line
    progress.started("a-very-long-job-label-that-does-not-fit-" * 3, None)
    assert len(progress.status_line()) < 100 and progress.status_line().endswith("...")
