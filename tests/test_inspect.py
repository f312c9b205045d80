"""inspect_modules in-process: arguments, skipped modules, records and the report text."""

import builtins
import importlib
import inspect
import json
import os
import sys
import types

import pytest

from entry_cases import provoke_internal_fault
from orvan import _orvan

inspect_modules = _orvan.inspect_modules
VERSION = "{}.{}.{}".format(*sys.version_info[:3])
EMPTY = '{"assets":[]}'

# Any object answering the asset protocol is reported; most tests use this
# stand-in, written to its own module so that the class is no member.
FAKES = """
class Fake:
    __orvan_kind__ = property(lambda self: "asset")

    def __init__(self, original, metadata=None):
        self.__orvan_original__ = original
        self.__orvan_metadata__ = {"kind": "asset"} if metadata is None else metadata
"""


@pytest.fixture
def records(make_module):
    """Writes a module that can use `fakes.Fake`, returns its records."""
    make_module(FAKES, "orvan_test_fakes")

    def run(source, name=None):
        name = make_module("import orvan_test_fakes as fakes\n" + source, name)
        return json.loads(inspect_modules([name]))["assets"]

    return run


def skip_line(name):
    """The warning for `name`, from the exception importing it raises here."""
    try:
        importlib.import_module(name)
    except BaseException as exc:
        return f"orvan: skipping module '{name}': {type(exc).__qualname__}: {exc}\n"


class Items:
    """A sequence whose length always fails and whose iteration may."""

    def __init__(self, error=None):
        self.error = error

    def __getitem__(self, index):
        raise IndexError

    def __len__(self):
        raise RuntimeError("the length is only a hint")

    def __iter__(self):
        if self.error:
            raise self.error
        return iter([])


def test_nothing_to_inspect():
    assert inspect_modules([]) == inspect_modules(modules=()) == inspect_modules(Items()) == EMPTY
    assert len(EMPTY) == 13


@pytest.mark.parametrize(
    ("modules", "message"),
    [
        ("pkg.mod", "Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("pkg.mod"), "Can't extract `str` to `Vec`"),
        ({"a"}, "'set' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
        (["orvan_test_sentinel", 1], "'int' object cannot be converted to 'PyString'"),
        (Items(TypeError("from __iter__")), "from __iter__"),
    ],
)
def test_bad_argument_fails_before_any_import(make_module, modules, message):
    make_module("raise AssertionError('imported')", "orvan_test_sentinel")
    with pytest.raises(TypeError) as info:
        inspect_modules(modules)
    assert type(info.value) is TypeError and str(info.value) == f"argument 'modules': {message}"
    assert "orvan_test_sentinel" not in sys.modules


@pytest.mark.parametrize("cause", [ValueError("underneath"), TypeError("first"), None])
def test_renamed_argument_error_keeps_the_cause(cause):
    error = TypeError("from __iter__")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        inspect_modules(Items(error))
    assert str(info.value) == "argument 'modules': from __iter__"
    assert info.value is not error and info.value.__cause__ is cause


SubTypeError = type("SubTypeError", (TypeError,), {})


@pytest.mark.parametrize(
    ("modules", "error"),
    [
        (Items(ValueError("v")), ValueError),
        (Items(SubTypeError("s")), SubTypeError),
        (["lone \udc80"], UnicodeEncodeError),
    ],
)
def test_other_argument_errors_pass_unchanged(modules, error):
    with pytest.raises(error) as info:
        inspect_modules(modules)
    assert type(info.value) is error and "argument 'modules'" not in str(info.value)


def test_setup_imports_in_order_and_reads_the_version_each_call(records, monkeypatch):
    imported, real_import = [], builtins.__import__

    def recording_import(name, *args, **kwargs):
        imported.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    assert inspect_modules([]) == EMPTY
    assert imported == ["importlib", "inspect", "textwrap", "sys", "pathlib"]
    monkeypatch.setattr(builtins, "__import__", real_import)

    monkeypatch.setattr(sys, "version_info", types.SimpleNamespace(major=3, minor=99, micro=12))
    assert records("def f(): pass\na = fakes.Fake(f)")[0]["python_version"] == "3.99.12"
    monkeypatch.setattr(sys, "version_info", types.SimpleNamespace(major=3, minor="13", micro=0))
    with pytest.raises(TypeError):
        inspect_modules([])


def test_unimportable_modules_are_skipped_with_one_warning_each(make_module, capfd):
    failing = {
        "orvan_test_raises": "raise ValueError('broken on purpose')",
        "orvan_test_exits": "import sys\nsys.exit(4)",
        "orvan_test_interrupts": "raise KeyboardInterrupt",
        "orvan_test_nested": "class Outer:\n    class Error(Exception): pass\nraise Outer.Error('x')",
    }
    for name, source in failing.items():
        make_module(source, name)
    good = make_module("def f(): pass\nf.__orvan_kind__ = 'asset'\nf.__orvan_metadata__ = None")
    names = ["orvan_test_nosuch", "", ".relative", *failing, good]
    expected = "".join(skip_line(name) for name in names[:-1])
    capfd.readouterr()
    report = json.loads(inspect_modules(names))
    assert [r["module_path"] for r in report["assets"]] == [good]
    assert capfd.readouterr().err == expected
    assert "Outer.Error: x" in expected and "SystemExit: 4" in expected


def test_warning_goes_to_fd_2_as_utf8_whatever_the_exception(make_module, monkeypatch, capfdbinary):
    mute = "class Mute(Exception):\n    def __str__(self): raise RuntimeError\nraise Mute()"
    make_module(mute, "orvan_test_mute")
    make_module("raise ValueError('caf\\u00e9 \\udc80!')", "orvan_test_surrogate")
    monkeypatch.setattr(sys, "stderr", None)
    inspect_modules(["orvan_test_mute", "orvan_test_surrogate"])
    monkeypatch.undo()
    assert capfdbinary.readouterr().err == (
        b"orvan: skipping module 'orvan_test_mute': Mute: <exception str() failed>\n"
        b"orvan: skipping module 'orvan_test_surrogate': ValueError: caf\xc3\xa9 "
        + "\ufffd".encode() * 3 + b"!\n"
    )


def test_module_without_source_ends_the_call(capfd):
    with pytest.raises(TypeError, match="built-in module"):
        inspect_modules(["orvan_test_nosuch", "sys"])
    assert "orvan_test_nosuch" in capfd.readouterr().err  # written before the failure, stays


@pytest.mark.parametrize(
    ("member", "error"),
    [
        ("class M:\n    __orvan_kind__ = property(lambda self: 'asset')\nm = M()", AttributeError),
        ("def f(): pass\nm = fakes.Fake(f, {'s': {1}})", TypeError),  # json.dumps refuses a set
        ("def f(): pass\nm = fakes.Fake(f, [float('nan')])", RuntimeError),
        ("m = fakes.Fake(len)", TypeError),  # no source for a builtin
    ],
)
def test_failures_after_recognition_end_the_call(records, member, error):
    with pytest.raises(error):
        records(member)


def test_only_an_exact_asset_kind_is_recognised(records):
    source = """
    class Kind:
        def __init__(self, kind):
            self.__orvan_kind__ = kind
    class Raising:
        __orvan_kind__ = property(lambda self: 1 / 0)
    def target(): pass
    capital, spaced, raw_bytes = Kind("Asset"), Kind("asset "), Kind(b"asset")
    number, surrogate, raising, plain = Kind(1), Kind("asset\\udc80"), Raising(), 42
    subclassed = Kind(type("S", (str,), {})("asset"))
    subclassed.__orvan_metadata__ = [1]
    subclassed.__orvan_original__ = target
    def bare(): pass  # its own original
    bare.__orvan_kind__, bare.__orvan_metadata__ = "asset", {"z": 1, "a": None}
    """
    found = [(r["function_name"], r["decorator_metadata"]) for r in records(inspect.cleandoc(source))]
    assert found == [("bare", {"a": None, "z": 1}), ("target", [1])]


def test_records_follow_attribute_names_aliases_and_repeats(records, make_module):
    source = "def z(): pass\nzulu = fakes.Fake(z)\ndef a(): pass\nalpha = fakes.Fake(a)\nmike = zulu\n"
    found = records(source, "orvan_test_order")
    assert [r["function_name"] for r in found] == ["a", "z", "z"] and found[1] == found[2]
    assert json.loads(inspect_modules(["orvan_test_order"] * 2))["assets"] == found * 2


def test_imported_asset_is_reported_per_module(records, make_module):
    (home_record,) = records("def f():\n    return 1\nshared = fakes.Fake(f)\n", "orvan_test_home")
    guest = make_module("from orvan_test_home import shared\n")
    (guest_record,) = json.loads(inspect_modules([guest]))["assets"]
    assert guest_record["module_path"] == guest
    assert guest_record["module_source"] == "from orvan_test_home import shared\n"
    assert {k: v for k, v in home_record.items() if not k.startswith("module_")} == {
        k: v for k, v in guest_record.items() if not k.startswith("module_")
    }


def test_sources_are_dedented_stripped_and_end_in_one_line_feed(records, make_module):
    nested = "if True:\n    @fakes.Fake\n    def nested():\n        return 1\n"
    (record,) = records(f"\n{nested}\n\n   \n", "orvan_test_nest")
    assert record["function_source"] == "@fakes.Fake\ndef nested():\n    return 1\n"
    assert record["module_source"] == f"import orvan_test_fakes as fakes\n\n{nested}"
    blank = make_module("\n   \n")  # its own source is blank; the asset is set from outside
    importlib.import_module(blank).thing = sys.modules["orvan_test_nest"].nested
    (record,) = json.loads(inspect_modules([blank]))["assets"]
    assert record["module_source"] == "\n"


@pytest.mark.parametrize(
    ("annotation", "expected"),
    [
        ("", None),
        (" -> None", "None"),
        (" -> int", "int"),
        (" -> OrderedDict", "OrderedDict"),  # a class from another module: no prefix
        (" -> typing.Optional[int]", "typing.Optional[int]"),
        (" -> list[int]", "list[int]"),
        (" -> 'Frame'", "Frame"),
    ],
)
def test_return_type(records, annotation, expected):
    imports = "import typing\nfrom collections import OrderedDict\n"
    source = f"{imports}def f(){annotation}: pass\nf = fakes.Fake(f)\n"
    assert records(source)[0]["return_type"] == expected


def test_file_path_resolves_symbolic_links(records, tmp_path):
    target = tmp_path / "elsewhere.py"
    target.write_text("def f(): pass\n")
    (tmp_path / "modules" / "orvan_test_link.py").symlink_to(target)
    (record,) = records("from orvan_test_link import f\nf = fakes.Fake(f)\n")
    assert record["file_path"] == str(target.resolve())


@pytest.fixture
def direct_getsourcefile(monkeypatch):
    """Replaces inspect.getsourcefile for callers outside the inspect module,
    whose own getsource still needs the real one."""
    real = inspect.getsourcefile

    def install(behaviour):
        def patched(obj):
            return real(obj) if sys._getframe(1).f_globals is vars(inspect) else behaviour(obj)

        monkeypatch.setattr(inspect, "getsourcefile", patched)

    return install


def test_file_path_when_getsourcefile_fails(records, direct_getsourcefile):
    direct_getsourcefile(lambda obj: 1 / 0)
    assert records("def f(): pass\nf = fakes.Fake(f)")[0]["file_path"] == ""
    direct_getsourcefile(lambda obj: None)
    with pytest.raises(TypeError):  # from pathlib.Path(None)
        records("def f(): pass\nf = fakes.Fake(f)")


# --- with the real decorator -------------------------------------------------

WORKED = """from orvan import asset

@asset(name='daily_totals')
def totals() -> dict:
    return {'n': 1}
"""


def test_report_text_of_a_decorated_function(make_module):
    name = make_module(WORKED, "pipe_worked.daily")
    path = os.path.realpath(importlib.import_module(name).__file__)
    assert inspect_modules([name]) == (
        '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":"daily_totals",'
        f'"partitions":null,"serializer":null}},"file_path":{json.dumps(path)},"function_name":"totals",'
        '"function_source":"@asset(name=\'daily_totals\')\\ndef totals() -> dict:\\n    return {\'n\': 1}\\n",'
        f'"kind":"asset","module_path":"pipe_worked.daily","module_source":{json.dumps(WORKED)},'
        f'"python_version":"{VERSION}","return_type":"dict"}}]}}'
    )


@pytest.fixture(scope="module")
def panic_class():
    return provoke_internal_fault()


@pytest.mark.parametrize("where", ["import", "kind", "original", "getsourcefile"])
def test_internal_faults_are_never_discarded(
    make_module, panic_class, direct_getsourcefile, capfd, monkeypatch, where
):
    monkeypatch.setattr(builtins, "OrvanTestPanic", panic_class, raising=False)
    fault = "raise OrvanTestPanic('from ' + __name__)"
    name = make_module({
        "import": fault,
        "kind": f"class M:\n    @property\n    def __orvan_kind__(self): {fault}\nm = M()",
        "original": "class M:\n    __orvan_kind__ = property(lambda s: 'asset')\n    __orvan_metadata__ = {}\n"
        f"    @property\n    def __orvan_original__(self): {fault}\nm = M()",
        "getsourcefile": "def f(): pass\nf.__orvan_kind__ = 'asset'\nf.__orvan_metadata__ = {}",
    }[where])
    direct_getsourcefile(lambda obj: exec(fault, {"__name__": name}))
    capfd.readouterr()
    with pytest.raises(panic_class) as info:
        inspect_modules([name])
    assert info.value.args == ("from " + name,)
    assert "orvan: skipping module" not in capfd.readouterr().err
