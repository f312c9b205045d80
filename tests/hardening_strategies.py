"""Hostile Python objects for hypothesis, and what the module must make of
them, worked out with the interpreter's own json, inspect and pathlib."""

import inspect
import json
import re
import pathlib
import string

from hypothesis import strategies as st

# --- texts ---------------------------------------------------------------------

ODD_CHARACTERS = ["\x00", "\ud800", "\udc00", "\udbff", "\udfff", "\ud83d\ude00", "\U0001F600",
                  "é", "\u2028", "\x7f", "\x1b", '"', "\\", "/", " ", "\ufeff", "\uffff"]

characters = st.one_of(
    st.characters(categories=["L", "N", "P", "S", "Cc", "Zs", "Cs"]),
    st.sampled_from(ODD_CHARACTERS),
)
# Any str: NUL, lone and paired surrogates, controls, non-BMP characters.
texts = st.lists(characters, max_size=12).map("".join)
# Text that can be encoded as UTF-8.
clean_texts = texts.filter(lambda s: not has_surrogate(s))


def is_a(obj, cls):
    """The interpreter's own type checks: by type, never through __class__."""
    return issubclass(type(obj), cls)


def has_surrogate(text):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def lenient(text):
    """A str as the module writes it when it must not fail: lone surrogates
    become one U+FFFD per byte of their surrogate-pass encoding."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


# --- hostile classes -------------------------------------------------------------

class Text(str):
    def __str__(self):
        raise AssertionError("the text of a str subclass is read directly")

    def __eq__(self, other):
        raise AssertionError("no comparison is needed")

    __hash__ = str.__hash__


class Items(list):
    def __iter__(self):
        raise AssertionError("the list storage is read directly")

    def __getitem__(self, index):
        raise AssertionError("the list storage is read directly")

    def __len__(self):
        raise AssertionError("the list storage is read directly")


class Mapping(dict):
    def __iter__(self):
        raise AssertionError("the dictionary storage is walked directly")

    def items(self):
        raise AssertionError("the dictionary storage is walked directly")

    def keys(self):
        raise AssertionError("the dictionary storage is walked directly")

    def __getitem__(self, key):
        raise AssertionError("the dictionary storage is walked directly")


class UnprintableError(Exception):
    pass


class Unprintable:
    def __str__(self):
        raise UnprintableError("__str__")


class RaisingQualnameMeta(type):
    def __getattribute__(cls, name):
        if name in ("__qualname__", "__name__"):
            raise UnprintableError(name)
        return super().__getattribute__(name)


class RaisingQualname(metaclass=RaisingQualnameMeta):
    pass


class Unhashable:
    def __eq__(self, other):
        raise UnprintableError("__eq__")

    def __hash__(self):
        raise UnprintableError("__hash__")


class NoAttributes:
    def __getattribute__(self, name):
        raise UnprintableError(f"__getattribute__({name})")


class LookupRaisesAttributeError:
    def __getattr__(self, name):
        raise AttributeError(name)


class KindAsset:
    """Declares itself an asset; as a class it has a source file and a name."""
    __orvan_kind__ = "asset"


class KindLookalike:
    __orvan_kind__ = Text("asset")  # a str subclass with the right text counts


class KindWrongCase:
    __orvan_kind__ = "Asset"


class KindNotText:
    __orvan_kind__ = 1


class KindRaises:
    @property
    def __orvan_kind__(self):
        raise KeyboardInterrupt("any exception of the lookup is discarded")


class Sized:
    """A sequence whose length query fails: the length is only a hint."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        return self.items[index]


class FailingIteration:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


class SurrogateQualname:
    def __repr__(self):
        # The default would carry the lone surrogate into test reports,
        # which cannot all encode it.
        return "<SurrogateQualname instance>"


SurrogateQualname.__qualname__ = "Surrogate\udc80Qualname"

HOSTILE_OBJECTS = [
    Unprintable(), RaisingQualname(), Unhashable(), NoAttributes(), LookupRaisesAttributeError(),
    KindAsset, KindAsset(), KindLookalike(), KindWrongCase(), KindNotText(), KindRaises(),
    SurrogateQualname(), object(), object, type, len, Text("text"), Items([1, "a"]),
    Mapping(a=1), Sized(["x"]), FailingIteration(TypeError("exact")),
    FailingIteration(TypeErrorSubclass("subclass")), FailingIteration(ValueError("other")),
    NotImplemented, Ellipsis, b"bytes", bytearray(b"x"), 1j, range(3), frozenset({1}), {1, 2},
    float("nan"), float("inf"), float("-inf"), -0.0, 10**400, -(10**400), 2**64, 2**64 - 1,
    -(2**63), -(2**63) - 1, True, None,
]


class Deep(list):
    """The outermost list of a deep nesting; shown briefly in reports."""

    def _repr_pretty_(self, printer, cycle):
        printer.text(repr(self))

    def __repr__(self):
        inner, depth = self, 0
        while isinstance(inner, (list, dict)) and inner:
            inner = inner[0] if is_a(inner, list) else next(iter(inner.values()))
            depth += 1
        return f"<{depth} levels deep>"


def deep_list(depth):
    value = None
    for _ in range(depth - 1):
        value = [value]
    return Deep([value])


def deep_dict(depth):
    value = {}
    for _ in range(depth - 1):
        value = {"k": value}
    return Deep([value])


# Plain data, with every kind of number and text, within hypothesis' means.
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-(2**63), max_value=2**64 - 1),
    st.floats(), texts, st.sampled_from([10**400, -(10**400), 2**64, -(2**63) - 1, 1e308 * 10]),
)
data = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(st.one_of(texts, st.integers(), st.floats(), st.booleans(), st.none()),
                        inner, max_size=4),
        st.builds(Items, st.lists(inner, max_size=3)),
        st.builds(Mapping, st.dictionaries(texts, inner, max_size=3)),
    ),
    max_leaves=12,
)
nesting = st.one_of(
    st.integers(min_value=120, max_value=135).map(deep_list),
    st.integers(min_value=120, max_value=135).map(deep_dict),
    st.just(deep_list(2000)),  # deeper than Python code may recurse
    st.just(deep_list(30000)),  # deeper than json.dumps may recurse
)
# By index: hypothesis hashes the elements it samples from, and some of these
# refuse to be hashed.
hostile_object = st.integers(0, len(HOSTILE_OBJECTS) - 1).map(HOSTILE_OBJECTS.__getitem__)
hostile = st.one_of(hostile_object, data, nesting)
# Hostile objects other than text, for parameters where text would name a
# module to import.
not_text = hostile.filter(lambda obj: not is_a(obj, str))
anything = st.one_of(hostile, st.lists(hostile, max_size=3), st.builds(Items, st.lists(hostile, max_size=3)),
                     st.dictionaries(texts, hostile, max_size=3))

# Values that JSON text can carry exactly: integers in the module's ranges,
# finite floats, text without lone surrogates, nesting well below the limit.
json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(min_value=-(2**63), max_value=2**64 - 1),
              st.floats(allow_nan=False, allow_infinity=False), clean_texts),
    lambda inner: st.one_of(st.lists(inner, max_size=4),
                            st.dictionaries(clean_texts, inner, max_size=4)),
    max_leaves=16,
)


# --- what json.dumps and the module's parser make of an object ---------------------

class Refused(Exception):
    """The module's parser refuses the json.dumps text of an object; `args`
    holds every reason it may give (which one depends on what comes first in
    the text)."""


CONSTANT_REASONS = {"NaN": "expected value", "Infinity": "expected value",
                    "-Infinity": "invalid number"}
SURROGATE_REASONS = ("unexpected end of hex escape", "lone leading surrogate in hex escape")


def _depth(text):
    """The deepest nesting of arrays and objects in a JSON text."""
    depth = deepest = 0
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif ch in "]}":
            depth -= 1
    return deepest


def _refusals(value, reasons):
    # Iterative: the value may be nested far deeper than Python recursion.
    pending = [value]
    while pending:
        value = pending.pop()
        if is_a(value, str):
            if has_surrogate(value):
                reasons.update(SURROGATE_REASONS)
        elif isinstance(value, int) and not isinstance(value, bool):
            if not -(2**63) <= value <= 2**64 - 1:
                try:
                    float(value)
                except OverflowError:
                    reasons.add("number out of range")
        elif is_a(value, list):
            pending.extend(value)
        elif is_a(value, dict):
            pending.extend(value.keys())
            pending.extend(value.values())


def _text_refusals(text, reasons):
    """Every reason the text could give, judged from its tokens alone (an
    over-approximation: a valid surrogate pair also counts)."""
    if re.search(r"\\u[dD][89a-fA-F]", text):
        reasons.update(SURROGATE_REASONS)
    for name, reason in CONSTANT_REASONS.items():
        if name in text:
            reasons.add(reason)
    if re.search(r"\d{309}", text):
        reasons.add("number out of range")


def json_value_of(obj):
    """What the module holds for `obj`: the json.dumps text read back, with
    integers beyond the module's ranges as floats. Raises what json.dumps
    raises, or Refused where the module's parser must refuse the text."""
    text = json.dumps(obj)
    reasons = set()
    if _depth(text) >= 128:
        reasons.add("recursion limit exceeded")
    try:
        value = json.loads(text, parse_constant=lambda name: reasons.add(CONSTANT_REASONS[name]))
    except RecursionError:
        # Too deep to read back here. The depth refuses it, unless something
        # earlier in the text is refused first: allow for what the text shows.
        value = None
        _text_refusals(text, reasons)
    _refusals(value, reasons)
    if reasons:
        raise Refused(*sorted(reasons))
    return _as_held(value)


def _as_held(value):
    if isinstance(value, bool) or value is None or isinstance(value, (str, float)):
        return value
    if isinstance(value, int):
        return value if -(2**63) <= value <= 2**64 - 1 else float(value)
    if is_a(value, list):
        return [_as_held(v) for v in value]
    return {k: _as_held(v) for k, v in value.items()}


def same_json(a, b):
    """Equality of decoded JSON values: keys compared as sets, numbers by
    value but never a number equal to a boolean."""
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    if is_a(a, list) and is_a(b, list):
        return len(a) == len(b) and all(same_json(x, y) for x, y in zip(a, b))
    if is_a(a, dict) and is_a(b, dict):
        return a.keys() == b.keys() and all(same_json(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def loads_checking_layout(text):
    """json.loads of a text the module wrote, which must be compact (no
    whitespace between tokens) with every object's keys in ascending order."""
    def pairs(members):
        keys = [k for k, _ in members]
        assert keys == sorted(keys) and len(set(keys)) == len(keys), keys
        return dict(members)

    value = json.loads(text, object_pairs_hook=pairs)
    assert text == _recompact(text), text
    return value


def _recompact(text):
    # Re-serialise token by token: whitespace between tokens would be dropped.
    out, in_string, escaped = [], False, False
    for ch in text:
        if in_string:
            out.append(ch)
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
            out.append(ch)
        elif ch not in " \t\r\n":
            out.append(ch)
    return "".join(out)


# --- the declared type name in the module's conversion messages ---------------------

def type_name(obj):
    """The qualified name of type(obj) as the interpreter holds it, bypassing
    any __qualname__ a metaclass pretends to have."""
    return type.__dict__["__qualname__"].__get__(type(obj))


def cannot_convert(obj, target):
    return f"'{type_name(obj)}' object cannot be converted to '{target}'"


def asset_reference(value):
    """The asset reference of one inputs value, or the exception it ends in."""
    try:
        kind = value.__orvan_kind__
    except BaseException:  # noqa: BLE001 - every failed lookup means "no"
        kind = None
    if is_a(kind, str) and str.__eq__(kind, "asset") is True:
        try:
            function = value.__orvan_original__
        except BaseException:  # noqa: BLE001
            function = value
        path = str(pathlib.Path(inspect.getsourcefile(function)).resolve())
        name = function.__name__
        if not is_a(name, str):
            raise TypeError(cannot_convert(name, "PyString"))
        return f"{path}:{str.__str__(name)}"
    if is_a(value, str):
        return str.__str__(value)
    raise TypeError("inputs values must be @asset-decorated functions or asset ref strings")


safe_name_characters = st.sampled_from(string.ascii_letters + string.digits + "_-. é漢\U0001F600")


def harmless_module_name(name):
    """Names that cannot import anything real: relative names, the empty
    name and the test modules' own prefix."""
    return name == "" or name.startswith(".") or name.startswith("orvan_test_")
