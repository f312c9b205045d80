"""Which source edits change which code fingerprints. A downstream job's
fingerprint does not change with its upstream's code: it is stale only if
the upstream value it reads changes, which the runner decides as it runs."""

import pytest
from cli_helpers import plan_of, record

MODULE = '''\
from orvan import asset

RATE = 2

def helper(x):
    return x * RATE

@asset()
def a():
    return helper(1)

@asset(inputs={"a": a})
def b(a):
    return a + 1

@asset()
def c():
    return 3
'''


def pipeline(module_source: str, other_source: str = "@asset()\ndef z():\n    return 0\n"):
    funcs = {}
    for name in "abc":
        # each asset is one paragraph of the module, decorator first
        start = module_source.rindex("@asset", 0, module_source.index(f"def {name}("))
        end = module_source.find("\n\n", start)
        funcs[name] = module_source[start: end + 1 if end != -1 else None]
    recs = [record(n, source=funcs[n], module_source=module_source,
                   inputs={"a": "pipe.m.a"} if n == "b" else None) for n in "abc"]
    recs.append(record("z", module="pipe.other", source=other_source, module_source=other_source))
    return {j.key: j.fingerprint for j in plan_of(*recs).jobs.values()}


def changed(after: dict, before: dict) -> set:
    return {k for k in before if before[k] != after[k]}


BASE = pipeline(MODULE)


@pytest.mark.parametrize(
    "edit, stale",
    [
        (("return 3", "return 4"), {"pipe.m.c"}),
        (("return helper(1)", "return helper(2)"), {"pipe.m.a"}),
        (("return a + 1", "return a + 2"), {"pipe.m.b"}),
        (("RATE = 2", "RATE = 3"), {"pipe.m.a", "pipe.m.b", "pipe.m.c"}),
        (("return x * RATE", "return x + RATE"), {"pipe.m.a", "pipe.m.b", "pipe.m.c"}),
        (("from orvan import asset", "import math\nfrom orvan import asset"), {"pipe.m.a", "pipe.m.b", "pipe.m.c"}),
    ],
    ids=["leaf-asset", "upstream-asset", "downstream-asset", "constant", "helper", "import"],
)
def test_edits_change_the_asset_or_the_whole_module(edit, stale):
    assert changed(pipeline(MODULE.replace(*edit)), BASE) == stale


def test_moving_an_asset_within_its_module_keeps_everything_fresh():
    block = '@asset()\ndef c():\n    return 3\n'
    moved = MODULE.replace("\n" + block, "").replace("RATE = 2\n", "RATE = 2\n\n" + block)
    assert changed(pipeline(moved), BASE) == set()


def test_another_module_is_independent():
    assert changed(pipeline(MODULE, "@asset()\ndef z():\n    return 1\n"), BASE) == {"pipe.other.z"}


def test_partition_keys_and_python_version_count():
    one = plan_of(record("a", partitions={"d": ["x", "y"]}))
    assert len({j.fingerprint for j in one.jobs.values()}) == 2
    newer = dict(record("a"), python_version="3.13.1")
    assert plan_of(newer).by_asset["pipe.m.a"][0].fingerprint != plan_of(record("a")).by_asset["pipe.m.a"][0].fingerprint
