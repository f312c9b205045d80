"""Python objects to JSON values through json.dumps and our parser, as seen in
the decorator_metadata of an inspection report."""

import importlib
import json

import pytest

from orvan import _orvan

MODULE = """
def original():
    return None

class Declared:
    def __init__(self, metadata):
        self.__orvan_kind__ = "asset"
        self.__orvan_metadata__ = metadata
        self.__orvan_original__ = original
"""


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.fixture
def convert(make_module):
    name = make_module(MODULE)
    module = importlib.import_module(name)

    def run(metadata):
        module.the_asset = module.Declared(metadata)
        report = _orvan.inspect_modules([name])
        (record,) = json.loads(report)["assets"]
        # The member's compact text, cut out of the report itself.
        start = report.index('"decorator_metadata":') + len('"decorator_metadata":')
        end = report.index(',"file_path":')
        return report[start:end], record["decorator_metadata"]

    return run


@pytest.mark.parametrize(
    "metadata, text",
    [
        ({"b": 1, "a": 2, "B": 3}, '{"B":3,"a":2,"b":1}'),
        ({1: "x", "1": "y"}, '{"1":"y"}'),
        ({1.5: 0, True: 0, None: 0}, '{"1.5":0,"null":0,"true":0}'),
        (2**64 - 1, "18446744073709551615"),
        (2**64, "1.8446744073709552e+19"),
        (-(2**63), "-9223372036854775808"),
        (-(2**63) - 1, "-9.223372036854776e+18"),
        ([1e16, 1e15, 1e-5, 1e-6, -0.0, 1.0], '[1e+16,1000000000000000.0,0.00001,1e-6,-0.0,1.0]'),
        ("caf\u00e9 \U0001f600 \x1b/\x7f", '"caf\u00e9 \U0001f600 \\u001b/\x7f"'),
        ((1, [2, {}]), "[1,[2,{}]]"),
        ({}, "{}"),
        ([], "[]"),
        (nested(127), "[" * 127 + "]" * 127),
    ],
)
def test_converted_values(convert, metadata, text):
    raw, decoded = convert(metadata)
    assert raw == text
    assert decoded == json.loads(text)


@pytest.mark.parametrize(
    "metadata, detail",
    [
        ({"a": float("nan")}, "expected value at line 1 column 7"),
        ([float("nan")], "expected value at line 1 column 2"),
        ([float("inf")], "expected value at line 1 column 2"),
        ([float("-inf")], "invalid number at line 1 column 3"),
        (10**400, "number out of range at line 1 column 401"),
        ("\ud800", "unexpected end of hex escape at line 1 column 8"),
        ("\udc00", "lone leading surrogate in hex escape at line 1 column 7"),
        (nested(128), "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_refused_texts(convert, metadata, detail):
    with pytest.raises(RuntimeError) as info:
        convert(metadata)
    assert type(info.value) is RuntimeError
    assert str(info.value) == f"JSON parse error: {detail}"


@pytest.mark.parametrize(
    "metadata, error, message",
    [
        ({1, 2}, TypeError, "Object of type set is not JSON serializable"),
        ({(1, 2): 0}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
    ],
)
def test_dumps_errors_pass_unchanged(convert, metadata, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        convert(metadata)


def test_circular_reference_passes_unchanged(convert):
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference detected"):
        convert(loop)
