"""Resolving a pipeline from an inspection report, before anything runs."""

import pytest
from cli_helpers import record, ref

from orvan.cli.inspect.discovery import parse_report
from orvan.cli.plan.graph import GraphError, build_graph


def graph_of(*records):
    return build_graph(parse_report({"assets": list(records)}))


def problems_of(*records) -> str:
    with pytest.raises(GraphError) as info:
        graph_of(*records)
    return str(info.value)


@pytest.mark.parametrize("reference", [ref("prices"), "pipe.m.prices", "px"], ids=["file-ref", "key", "name"])
def test_inputs_resolve_by_file_reference_then_by_name_or_key(reference):
    named = record("prices", name="px") if reference == "px" else record("prices")
    g = graph_of(named, record("report", inputs={"p": reference}))
    assert g.assets["pipe.m.report"].inputs == {"p": named["decorator_metadata"]["name"] or "pipe.m.prices"}
    # dependency order: the upstream comes first
    assert list(g.assets).index("pipe.m.report") > 0


def test_unknown_reference_names_the_asset_the_parameter_and_a_near_miss():
    msg = problems_of(record("prices"), record("report", inputs={"p": "pipe.m.price"}))
    assert "'pipe.m.report'" in msg and "input 'p'" in msg and "'pipe.m.price'" in msg
    assert "did you mean 'pipe.m.prices'" in msg


def test_duplicate_keys_name_both_declarations():
    msg = problems_of(record("a", name="same"), record("b", module="pipe.n", name="same"))
    assert "duplicate asset key 'same'" in msg and "pipe.m.a" in msg and "pipe.n.b" in msg


@pytest.mark.parametrize(
    "records, cycle",
    [
        ([record("a", inputs={"x": "pipe.m.b"}), record("b", inputs={"x": "pipe.m.a"})],
         "pipe.m.a -> pipe.m.b -> pipe.m.a"),
        ([record("a", inputs={"x": "pipe.m.a"})], "pipe.m.a -> pipe.m.a"),
        ([record("ok"), record("a", inputs={"x": "pipe.m.c", "o": "pipe.m.ok"}),
          record("b", inputs={"x": "pipe.m.a"}), record("c", inputs={"x": "pipe.m.b"})],
         "pipe.m.a -> pipe.m.c -> pipe.m.b -> pipe.m.a"),
    ],
    ids=["two", "self", "three"],
)
def test_cycles_are_reported_as_a_path(records, cycle):
    msg = problems_of(*records)
    assert f"dependency cycle: {cycle}" in msg
    assert "pipe.m.ok" not in msg


def test_every_problem_is_reported_at_once():
    with pytest.raises(GraphError) as info:
        graph_of(record("a", inputs={"x": "nope"}), record("b", inputs={"y": "pipe.m.b"}))
    assert len(info.value.problems) == 2


@pytest.mark.parametrize(
    "rec, expected",
    [
        (record("a", inputs={"day": "pipe.m.b"}, partitions={"day": [1]}), "keyword argument"),
        (record("a", partitions={"day": ["x", "x"]}), "key 'x' more than once"),
        # 1 and "1" would share a directory and a key in the catalog
        (record("a", partitions={"day": [1, "1"]}), "key '1' more than once"),
        (record("a", partitions={"not valid": [1]}), "not a valid keyword"),
    ],
    ids=["dim-clashes-with-input", "repeated-key", "same-text-form", "bad-dim-name"],
)
def test_partition_declarations_that_cannot_run(rec, expected):
    assert expected in problems_of(rec, record("b"))


def test_an_asset_imported_into_another_module_counts_once_under_its_defining_module():
    upstream = record("prices", module="pipe.base")
    reexported = dict(upstream, module_path="pipe.views", module_source="from pipe.base import prices\n")
    g = graph_of(reexported, upstream, record("report", module="pipe.views", inputs={"p": ref("prices", "pipe.base")}))
    assert set(g.assets) == {"pipe.base.prices", "pipe.views.report"}
    assert g.assets["pipe.base.prices"].record.also_in == ("pipe.views",)
