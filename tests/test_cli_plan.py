"""Jobs, partition mapping, file names, and the arguments a worker receives."""

import json
import math

import pytest
from cli_helpers import plan_of, record

from orvan.cli.run import jobfiles
from orvan.store import naming
from orvan.cli.plan.fingerprint import canonical, code_parts, fingerprint, partition_fingerprints
from orvan.cli.plan.graph import GraphError
from orvan.store.naming import partition_token


def jobs_of(plan, key):
    return {j.partition_label: j for j in plan.by_asset[key]}


def test_partitioned_asset_fans_out_over_the_cartesian_product_in_sorted_dimension_order():
    plan = plan_of(record("a", partitions={"region": ["eu", "us"], "day": [1, 2, 3]}))
    labels = [j.partition_label for j in plan.by_asset["pipe.m.a"]]
    assert len(labels) == 6 and len(set(labels)) == 6
    assert labels[0] == "day=1,region=eu"
    # keyword arguments keep the declared JSON type; the text form is for files
    assert plan.by_asset["pipe.m.a"][0].partition_values == {"day": 1, "region": "eu"}
    assert plan.by_asset["pipe.m.a"][0].relpath == "pipe.m.a/day=1/region=eu"


@pytest.mark.parametrize("partitions", [
    None,
    {"d": ["x"]},
    {"day": [1, 2.5, True, None, "one"], "région": ["eu", "é", "a\"b", "", "..", "a/b", "=", "\u2603\U0001f600"]},
    {"p": ["\0partition\0"]},
])
def test_each_jobs_names_and_fingerprint_are_those_of_its_partition_alone(partitions):
    """The plan builds them from pieces made once per key."""
    plan = plan_of(record("a", partitions=partitions))
    for job in plan.jobs.values():
        assert job.id == ("pipe.m.a", partition_token(job.partition))
        assert job.relpath == naming.job_relpath("pipe.m.a", job.partition)
        assert job.fingerprint == fingerprint(job.parts) and job.parts["partition"] == job.partition
    assert len(plan.jobs) == math.prod(len(keys) for keys in (partitions or {}).values())


@pytest.mark.parametrize("partition", [{}, {"d": "x"}, {"région": "a\"b", "day": "=/%", "z": ""}])
def test_a_catalog_token_reads_back_as_its_partition(partition):
    token = partition_token(partition)
    assert naming.token_partition(token) == partition
    assert token == "" if not partition else list(json.loads(token)) == sorted(partition)


@pytest.mark.parametrize("token", ["{not json", "[1, 2]", "3", '"x"'])
def test_a_token_that_is_no_partition_reads_as_none(token):
    assert naming.token_partition(token) == {}


def test_fingerprints_by_partition_match_whatever_the_shared_parts_hold():
    shared = code_parts(function_source="f", module_residual="m", python_version="3.13.0", module="m",
                        function="f", partition={}, packages={"\0partition\0": "1"})
    partition = {"d": "\0partition\0"}
    assert partition_fingerprints(shared)(canonical(partition)) == fingerprint({**shared, "partition": partition})


def test_empty_partition_list_gives_no_jobs_and_an_empty_map_downstream():
    plan = plan_of(record("a", partitions={"d": []}), record("b", inputs={"x": "pipe.m.a"}))
    assert plan.by_asset["pipe.m.a"] == []
    (b,) = plan.by_asset["pipe.m.b"]
    assert b.inputs[0].mapping == [] and b.deps == []


def test_same_dimensions_read_the_matching_partition():
    plan = plan_of(record("a", partitions={"d": ["x", "y"]}),
                   record("b", inputs={"v": "pipe.m.a"}, partitions={"d": ["y", "x"]}))
    for label, job in jobs_of(plan, "pipe.m.b").items():
        assert job.deps == [("pipe.m.a", job.id[1])]


def test_unpartitioned_upstream_feeds_every_partition():
    plan = plan_of(record("a"), record("b", inputs={"v": "pipe.m.a"}, partitions={"d": ["x", "y"]}))
    assert {tuple(j.deps) for j in plan.by_asset["pipe.m.b"]} == {(("pipe.m.a", ""),)}


@pytest.mark.parametrize(
    "up_parts, down_parts, expected",
    [
        ({"d": ["x", 2]}, None, {"": [("x",), ("2",)]}),
        ({"region": ["eu"], "day": ["mon", "tue"]}, None, {"": [("mon", "eu"), ("tue", "eu")]}),
        # shared dimensions match; the rest become the map
        ({"region": ["eu", "us"], "day": ["mon", "tue"]}, {"region": ["eu", "us"]},
         {"region=eu": [("mon",), ("tue",)], "region=us": [("mon",), ("tue",)]}),
    ],
    ids=["one-dim", "two-dims-nested-in-sorted-order", "partial-overlap"],
)
def test_partitioned_upstream_without_those_dimensions_becomes_a_map(up_parts, down_parts, expected):
    plan = plan_of(record("a", partitions=up_parts), record("b", inputs={"v": "pipe.m.a"}, partitions=down_parts))
    got = {label or "": [k for k, _ in j.inputs[0].mapping] for label, j in jobs_of(plan, "pipe.m.b").items()}
    assert got == expected


def test_downstream_partition_missing_upstream_is_rejected_before_running():
    with pytest.raises(GraphError, match="has no partition d=z"):
        plan_of(record("a", partitions={"d": ["x"]}),
                record("b", inputs={"v": "pipe.m.a"}, partitions={"d": ["x", "z"]}))


@pytest.mark.parametrize("key", ["a/b", "..", ".", ".hidden", "é/ü", "", "%41", "a b", "=", "日本", "x" * 60])
def test_escaping_is_a_reversible_safe_file_name(key):
    name = naming.escape(key)
    assert naming.unescape(name) == key
    assert "/" not in name and "\0" not in name and not name.startswith(".") and name
    assert name.isascii()
    assert naming.parse_partition_component(naming.partition_component("d=1", key)) == ("d=1", key)


def test_overlong_keys_are_rejected_before_running():
    with pytest.raises(GraphError, match="longer than 255 bytes"):
        plan_of(record("a", partitions={"d": ["é" * 100]}))


def test_worker_arguments_splice_upstream_values_and_partition_keys(tmp_path):
    plan = plan_of(
        record("a", partitions={"d": ["x", "y"]}),
        record("c"),
        record("b", inputs={"m": "pipe.m.a", "one": "pipe.m.c"}, partitions={"n": [7]}),
    )
    for job, text in [(plan.by_asset["pipe.m.a"][0], '{"v": NaN}'),
                      (plan.by_asset["pipe.m.a"][1], "[1, 2]\n"),
                      (plan.by_asset["pipe.m.c"][0], "12345678901234567890123")]:
        d = tmp_path / job.relpath
        d.mkdir(parents=True)
        (d / naming.VALUE_FILE).write_text(text)
    (b,) = plan.by_asset["pipe.m.b"]
    kwargs = json.loads(jobfiles.kwargs_text(str(tmp_path), plan, b))
    assert kwargs["n"] == 7 and kwargs["m"]["y"] == [1, 2]
    assert math.isnan(kwargs["m"]["x"]["v"])
    assert kwargs["one"] == 12345678901234567890123


def test_missing_upstream_value_is_an_input_error(tmp_path):
    plan = plan_of(record("a"), record("b", inputs={"v": "pipe.m.a"}))
    with pytest.raises(jobfiles.InputError, match="cannot read the value of pipe.m.a"):
        jobfiles.kwargs_text(str(tmp_path), plan, plan.by_asset["pipe.m.b"][0])
