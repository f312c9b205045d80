"""materialize_asset: the files it leaves, the failure records and the pre-run errors."""

import json
import os
import sys

import pytest

from conftest import run_python
from entry_cases import FAILING
from orvan import _orvan

PLAIN = """
def constant():
    return {"n": 1, "caf\\u00e9": [1.5, None]}

def add(a, b=0):
    return a + b

def nothing():
    return None

def nan():
    return float("nan")

def a_set():
    return {1, 2}
""" + FAILING + """
def make():
    class Oops(Exception):
        pass
    raise Oops("inner")

class Decoy:
    @property
    def __orvan_original__(self):
        raise ValueError("not this one")
    def __call__(self):
        return "decoy called"

decoy = Decoy()
number = 5
class NoSignature:
    __signature__ = "not a signature"
    def __call__(self, **kwargs):
        return {"1": None}

no_signature = NoSignature()

def func_\u00e9():
    return 1
"""


def read(out, name):
    return (out / name).read_text(encoding="utf-8")


def record(out):
    return json.loads(read(out, "result.json"))


@pytest.fixture
def mod(make_module):
    return make_module(PLAIN)


def test_success_writes_value_and_record(mod, tmp_path):
    out = tmp_path / "deep" / "out"
    assert _orvan.materialize_asset(mod, "constant", str(out)) is None
    assert read(out, "value.json") == json.dumps({"n": 1, "caf\u00e9": [1.5, None]})
    text = read(out, "result.json")
    assert text == (
        '{"artifact_format":"json","function_name":"constant","module_path":"%s","ok":true,'
        '"result_type":"dict","signature":"()","value_path":"%s"}' % (mod, out / "value.json")
    )


@pytest.mark.parametrize(
    "kwargs, value, signature",
    [
        ('{"a": 2, "b": 3}', "5", "(a, b=0)"),
        ('{"a": [1], "b": [2]}', "[1, 2]", "(a, b=0)"),
    ],
)
def test_keyword_arguments_from_json(mod, tmp_path, kwargs, value, signature):
    _orvan.materialize_asset(mod, "add", str(tmp_path), kwargs)
    assert read(tmp_path, "value.json") == value
    assert record(tmp_path)["signature"] == signature


@pytest.mark.parametrize("kwargs", [None, "{}"])
def test_no_arguments(mod, tmp_path, kwargs):
    _orvan.materialize_asset(mod, "nothing", str(tmp_path), kwargs)
    assert read(tmp_path, "value.json") == "null"
    assert record(tmp_path)["result_type"] == "NoneType"


def test_nan_is_written_as_json_dumps_does(mod, tmp_path):
    _orvan.materialize_asset(mod, "nan", str(tmp_path))
    assert read(tmp_path, "value.json") == "NaN"
    assert record(tmp_path)["ok"] is True


def test_property_raising_on_unwrap_is_ignored(mod, tmp_path):
    _orvan.materialize_asset(mod, "decoy", str(tmp_path))
    assert read(tmp_path, "value.json") == '"decoy called"'
    assert record(tmp_path)["result_type"] == "str"


def test_relative_output_dirs(mod, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    _orvan.materialize_asset(mod, "nothing", "out/")
    assert record(tmp_path / "out")["value_path"] == "out/value.json"
    _orvan.materialize_asset(mod, "nothing", ".")
    assert record(tmp_path)["value_path"] == "value.json"


def test_non_ascii_function_name_written_raw(mod, tmp_path):
    _orvan.materialize_asset(mod, "func_\u00e9", str(tmp_path))
    assert '"function_name":"func_\u00e9"' in read(tmp_path, "result.json")


FAILURES = [
    ("missing", None, "AttributeError", None),
    ("add", "[1, 2]", "TypeError", "TypeError: 'list' object cannot be converted to 'PyDict'"),
    ("add", "3", "TypeError", "TypeError: 'int' object cannot be converted to 'PyDict'"),
    ("add", "{not json", "JSONDecodeError", None),
    ("add", '{"c": 1}', "TypeError", None),
    ("a_set", None, "TypeError", "TypeError: Object of type set is not JSON serializable"),
    ("boom", None, "ValueError", "ValueError: boom"),
    ("exits", None, "SystemExit", "SystemExit: 3"),
    ("interrupted", None, "KeyboardInterrupt", "KeyboardInterrupt: "),
    ("make", None, "Oops", "make.<locals>.Oops: inner"),
    ("unprintable", None, "Unprintable", "Unprintable: <exception str() failed>"),
    ("surrogate", None, "ValueError", "ValueError: lone \ufffd\ufffd\ufffd surrogate"),
    ("number", None, "TypeError", "TypeError: 'int' object is not callable"),
]


@pytest.mark.parametrize("function, kwargs, error_type, error", FAILURES)
def test_failure_records(mod, tmp_path, function, kwargs, error_type, error):
    with pytest.raises(SystemExit) as info:
        _orvan.materialize_asset(mod, function, str(tmp_path), kwargs)
    assert info.value.code == 1
    assert info.value.__context__ is None and info.value.__cause__ is None
    rec = record(tmp_path)
    assert list(rec) == ["error", "error_type", "ok"]
    assert rec["ok"] is False
    assert rec["error_type"] == error_type
    assert rec["error"].startswith(error_type if error is None else error)
    if error is not None:
        assert rec["error"] == error


def test_missing_module_is_recorded(tmp_path):
    with pytest.raises(SystemExit):
        _orvan.materialize_asset("orvan_no_such_module_x", "f", str(tmp_path))
    assert record(tmp_path) == {
        "error": "ModuleNotFoundError: No module named 'orvan_no_such_module_x'",
        "error_type": "ModuleNotFoundError",
        "ok": False,
    }


def test_set_result_leaves_no_new_value_file(mod, tmp_path):
    with pytest.raises(SystemExit):
        _orvan.materialize_asset(mod, "a_set", str(tmp_path))
    assert not (tmp_path / "value.json").exists()


def test_signature_failure_keeps_fresh_value(mod, tmp_path):
    with pytest.raises(SystemExit):
        _orvan.materialize_asset(mod, "no_signature", str(tmp_path), '{"iterable": [1]}')
    assert read(tmp_path, "value.json") == '{"1": null}'
    assert record(tmp_path)["error"].endswith("has invalid signature")


def test_stale_failure_record_replaced_by_success(mod, tmp_path):
    with pytest.raises(SystemExit):
        _orvan.materialize_asset(mod, "boom", str(tmp_path))
    _orvan.materialize_asset(mod, "nothing", str(tmp_path))
    assert record(tmp_path)["ok"] is True


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((1, "f", "o"), TypeError, "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
        (("m", "f", b"o"), TypeError, "argument 'output_dir': 'bytes' object cannot be converted to 'PyString'"),
        (("m", "f", "o", {}), TypeError,
         "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
        (("m\udc80", "f", "o"), UnicodeEncodeError, None),
    ],
)
def test_pre_run_argument_errors_write_nothing(tmp_path, monkeypatch, args, exc, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc) as info:
        _orvan.materialize_asset(*args)
    if message:
        assert str(info.value) == message
    assert os.listdir(tmp_path) == []


def test_output_dir_that_is_a_file_raises_directly(mod, tmp_path):
    target = tmp_path / "file"
    target.write_text("x")
    with pytest.raises(FileExistsError):
        _orvan.materialize_asset(mod, "nothing", str(target))
    assert target.read_text() == "x"


def test_str_subclass_arguments_are_accepted(mod, tmp_path):
    class S(str):
        pass
    _orvan.materialize_asset(S(mod), S("add"), S(str(tmp_path)), S('{"a": 1}'))
    assert record(tmp_path)["module_path"] == mod


def test_replaced_sys_exit_returns_none(mod, tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "exit", lambda code: None)
    assert _orvan.materialize_asset(mod, "boom", str(tmp_path)) is None
    assert record(tmp_path)["ok"] is False


def test_unwritable_result_raises_the_write_error(mod, tmp_path):
    (tmp_path / "result.json").mkdir()
    with pytest.raises(IsADirectoryError):
        _orvan.materialize_asset(mod, "boom", str(tmp_path))


WORKER_MODULE = """
def double(x):
    return x * 2
"""


@pytest.mark.parametrize(
    "argv, stdin, status",
    [
        (["{m}", "double", "{out}", '{{"x": 21}}'], None, 0),
        (["{m}", "double", "{out}", "--kwargs-file", "-"], '{"x": 21}', 0),
        (["{m}", "double", "{out}", "--kwargs-file", "{kw}"], None, 0),
        (["{m}", "double", "{out}"], None, 1),
        (["{m}", "double"], None, 2),
        (["{m}", "double", "{out}", "{{}}", "--kwargs-file", "-"], "{}", 2),
    ],
)
def test_worker_stub(make_module, tmp_path, argv, stdin, status):
    m = make_module(WORKER_MODULE)
    kw = tmp_path / "kwargs.json"
    kw.write_text('{"x": 21}')
    out = tmp_path / "out"
    args = [a.format(m=m, out=out, kw=kw) for a in argv]
    result = run_python(
        "import runpy, sys; sys.argv[0] = 'orvan.worker'; runpy.run_module('orvan.worker', run_name='__main__')",
        *args,
        path=[make_module.root],
        input=stdin,
    )
    assert result.returncode == status, result.stderr
    if status == 0:
        assert (out / "value.json").read_text() == "42"
    if status == 2:
        assert result.stderr.startswith("usage: python -m orvan.worker")


FAULTY = """
from orvan import asset

def faulty():
    entries = {}

    class Text(str):
        @property
        def __orvan_kind__(self):
            entries["grown"] = 1  # changes the dict while asset() walks it
            return None

    entries["x"] = Text("ref")
    asset(inputs=entries)
"""


def test_internal_fault_in_the_asset_is_passed_on_and_recorded(make_module, tmp_path, capfd):
    m = make_module(FAULTY)
    (tmp_path / "result.json").write_text('{"ok":true}')  # left by an earlier run
    with pytest.raises(BaseException) as info:
        _orvan.materialize_asset(m, "faulty", str(tmp_path))
    fault = info.value
    assert type(fault).__module__ == "pyo3_runtime" and type(fault).__name__ == "PanicException"
    assert fault.args == ("dictionary changed size during iteration",)
    assert record(tmp_path) == {
        "error": "PanicException: dictionary changed size during iteration",
        "error_type": "PanicException",
        "ok": False,
    }
    err = capfd.readouterr().err
    assert "dictionary changed size during iteration" in err
    assert "Traceback" in err  # the notice shows where the called code faulted
