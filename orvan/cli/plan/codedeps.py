"""The code an asset's module depends on besides itself: the project's own
modules it imports (directly or through one another) and the installed
distributions it uses.

Imports are read statically, with `ast`, from the module sources. The
inspection has already imported the modules, but one shared `sys.modules`
cannot say which module imported what, and attributing every local module to
every asset would rerun the whole pipeline on any helper edit. Reading the
import statements runs nothing, sees imports inside functions too, and costs
one parse per module per run. What it cannot see is an import spelt as a
string (`importlib.import_module(name)`).

A module is local when its file lies under the pipeline's root and not in the
interpreter's prefix, a site-packages directory or a virtual environment.
Anything else that is not in the standard library is looked up among the
installed distributions and stands in the fingerprint as its version.
"""

from __future__ import annotations

import ast
import importlib.util
import itertools
import os
import sys
import textwrap
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

from .fingerprint import sha256_bytes, sha256_text

# The runner's own package: a change to it is a change of the tool, not of
# the pipeline (and in a checkout of orvan it would otherwise look local).
IGNORED_TOP_LEVEL = frozenset({"orvan"})


def pipeline_root(directory: str) -> str:
    """The directory under which modules count as the pipeline's own."""
    return os.path.realpath(directory)


@dataclass
class ModuleDeps:
    """What one asset module depends on: local module -> source hash, and
    distribution -> version."""

    local: dict[str, str] = field(default_factory=dict)
    packages: dict[str, str] = field(default_factory=dict)


@dataclass
class _Source:
    name: str
    path: str | None
    is_package: bool
    # Bytes as read from the file; text only for an asset module, as the
    # inspection read it (decoded as Python decodes it).
    text: str | bytes | None


def _excluded_dirs(root: str) -> list[str]:
    """The interpreter's directories, except one that holds the whole
    pipeline (a project kept under /usr, say)."""
    dirs = {os.path.realpath(d) + os.sep for d in (sys.prefix, sys.base_prefix, sys.exec_prefix,
                                                     sys.base_exec_prefix) if d}
    return [d for d in dirs if not (root + os.sep).startswith(d)]


def _is_environment(path: str, root: str) -> bool:
    """Whether `path` (under `root`) lies in site-packages or a virtual environment."""
    rel = os.path.relpath(path, root).split(os.sep)
    if any(part in ("site-packages", "dist-packages") for part in rel):
        return True
    current = root
    for part in rel[:-1]:
        current = os.path.join(current, part)
        if os.path.isfile(os.path.join(current, "pyvenv.cfg")):
            return True
    return False


class CodeDeps:
    """Resolves and hashes, once per run, the imports of the asset modules.

    `bases` are the directories module names are looked up in, as on the
    workers' import path: the pipeline root first, then the directories the
    asset modules were imported from when those lie under the root."""

    def __init__(self, root: str, bases: Iterable[str] = (), residuals: dict[str, str] | None = None,
                 scans: dict[str, list[Statement]] | None = None):
        self.root = os.path.realpath(root)
        self.bases = list(dict.fromkeys([self.root, *(os.path.realpath(b) for b in bases)]))
        # Asset modules are hashed without their assets, whose changes reach
        # a downstream job through the values it reads instead.
        self.residuals = residuals or {}
        # The import statements of each source text read, by its hash: kept
        # from run to run, they spare parsing what did not change.
        self.scans = dict(scans or {})
        self.scanned = False  # whether a text was parsed (`scans` gained it)
        self.used: set[str] = set()
        self._sources: dict[str, _Source | None] = {}
        self._imports: dict[str, tuple[list[str], set[str]]] = {}
        self._hashes: dict[str, str] = {}
        self._deps: dict[str, ModuleDeps] = {}
        self._assets: dict[str, set[str]] = {}
        self._distributions: dict[str, list[str]] | None = None
        self._excluded = _excluded_dirs(self.root)

    # -- finding modules ---------------------------------------------------

    def _is_local(self, path: str) -> bool:
        real = os.path.realpath(path)
        if not real.startswith(self.root + os.sep) or any(real.startswith(d) for d in self._excluded):
            return False
        return not _is_environment(real, self.root)

    def _find(self, name: str) -> _Source | None:
        """The local module `name`, or None if it is not one."""
        if name in self._sources:
            return self._sources[name]
        found: _Source | None = None
        namespace = False
        for base in self.bases:
            stem = os.path.join(base, *name.split("."))
            init = os.path.join(stem, "__init__.py")
            if os.path.isfile(init):
                found = _Source(name, init, True, None) if self._is_local(init) else None
            elif os.path.isfile(stem + ".py"):
                found = _Source(name, stem + ".py", False, None) if self._is_local(stem + ".py") else None
            else:
                namespace = namespace or (os.path.isdir(stem) and self._is_local(stem))
                continue
            break
        else:
            # Only a directory without __init__.py: a namespace package.
            found = _Source(name, None, True, None) if namespace else None
        self._sources[name] = found
        return found

    def register(self, name: str, path: str, source: str, assets: Iterable[str] = ()) -> None:
        """An asset module, with the source the inspection read and the names
        of its asset functions."""
        is_package = os.path.basename(path) == "__init__.py"
        self._sources[name] = _Source(name, path or None, is_package, source)
        self._assets.setdefault(name, set()).update(assets)

    def _text(self, src: _Source) -> str | bytes:
        # Bytes, never text decoded here: a byte that a lenient decoding
        # turned into the same replacement character would go unseen.
        if src.text is None:
            try:
                with open(src.path or "", "rb") as f:
                    src.text = f.read()
            except OSError:
                src.text = b""
        return src.text

    # -- reading imports ---------------------------------------------------

    def _imports_of(self, src: _Source) -> tuple[list[str], set[str]]:
        """(local modules it imports, top-level names of the others)."""
        if src.name in self._imports:
            return self._imports[src.name]
        local: list[str] = []
        other: set[str] = set()
        for candidate in self._candidates(src):
            top = candidate.split(".")[0]
            if top in IGNORED_TOP_LEVEL:
                continue
            if self._find(top) is None:
                other.add(top)
                continue
            prefix = []
            for part in candidate.split("."):
                prefix.append(part)
                if self._find(".".join(prefix)) is None:
                    break
                local.append(".".join(prefix))
        result = (list(dict.fromkeys(local)), other)
        self._imports[src.name] = result
        return result

    def _candidates(self, src: _Source) -> list[str]:
        package = src.name if src.is_package else src.name.rpartition(".")[0]
        names: list[str] = []
        for module, level, imported in self._statements(self._text(src)):
            if module is None:  # `import a, b.c`
                names.extend(imported)
                continue
            base = _absolute(module, level, package)
            if base is None:
                continue
            if base in self._assets and set(imported) <= self._assets[base]:
                # Only assets of another module, to name them in `inputs`:
                # what they compute reaches this module as values.
                parent = base.rpartition(".")[0]
                if parent:
                    names.append(parent)
                continue
            if base:
                names.append(base)
            # `from pkg import name` may name a submodule.
            names.extend(f"{base}.{n}" if base else n for n in imported if n != "*")
        return names

    def _statements(self, text: str | bytes) -> list[Statement]:
        key = _digest(text)
        self.used.add(key)
        found = self.scans.get(key)
        if found is None:
            found = self.scans[key] = _scan(text)
            self.scanned = True
        return found

    # -- what an asset module depends on ----------------------------------

    def _hash(self, name: str, src: _Source) -> str:
        if name not in self._hashes:
            residual = self.residuals.get(name)
            self._hashes[name] = _digest(residual if residual is not None else self._text(src) if src.path else b"")
        return self._hashes[name]

    def of(self, module: str) -> ModuleDeps:
        if module in self._deps:
            return self._deps[module]
        deps = ModuleDeps()
        seen = {module}
        stack: list[str] = []
        tops: set[str] = set()
        # Importing a module first runs the packages that hold it.
        for name in itertools.accumulate(module.split(".")[:-1], lambda a, b: f"{a}.{b}"):
            self._visit(name, seen, stack, deps)
        stack.append(module)
        while stack:
            src = self._find(stack.pop())
            if src is None:
                continue
            local, other = self._imports_of(src)
            tops |= other
            for name in local:
                self._visit(name, seen, stack, deps)
        deps.local = dict(sorted(deps.local.items()))
        deps.packages = self._versions(tops)
        self._deps[module] = deps
        return deps

    def sources_of(self, module: str) -> dict[str, str]:
        """The SHA-256 of the bytes of every local source a job of `module`
        runs (its own file, the packages holding it, the local modules it
        imports), by path, as this plan read them: what a job must find on
        disk to run the code its fingerprint was made from."""
        out: dict[str, str] = {}
        for name in [module, *self.of(module).local]:
            src = self._find(name)
            if src is None or not src.path:
                continue
            text = self._text(src)
            if isinstance(text, bytes):
                out[src.path] = sha256_bytes(text)
            else:
                # The file a record names may be where its function was defined.
                path = self._file_of(name) or src.path
                out[path] = _digest_as_inspected(path, text)
        return out

    def _file_of(self, name: str) -> str | None:
        for base in self.bases:
            stem = os.path.join(base, *name.split("."))
            for path in (os.path.join(stem, "__init__.py"), stem + ".py"):
                if os.path.isfile(path):
                    return path
        return None

    def _visit(self, name: str, seen: set[str], stack: list[str], deps: ModuleDeps) -> None:
        if name in seen:
            return
        seen.add(name)
        stack.append(name)
        found = self._find(name)
        if found is not None and found.path:
            deps.local[name] = self._hash(name, found)

    def _versions(self, tops: set[str]) -> dict[str, str]:
        wanted = sorted(t for t in tops if t not in sys.stdlib_module_names and t not in sys.builtin_module_names)
        if not wanted:
            return {}
        # Imported here: it is slow to import, and most runs need it only
        # when some module imports something neither local nor standard.
        import importlib.metadata

        if self._distributions is None:
            self._distributions = dict(importlib.metadata.packages_distributions())
        versions: dict[str, str] = {}
        for top in wanted:
            for dist in self._distributions.get(top, []):
                try:
                    versions[dist] = importlib.metadata.version(dist)
                except importlib.metadata.PackageNotFoundError:
                    continue
        return dict(sorted(versions.items()))


# An import statement: (None, 0, names) for `import names`, or (module,
# level, names) for `from module import names` ("" and a level for `from .`).
Statement = tuple[str | None, int, list[str]]


def checked_scans(value: object) -> dict[str, list[Statement]]:
    """Scans as `CodeDeps.scans` keeps them, read back from JSON; {} if
    anything in them is not what a scan makes."""
    def statement(s: object) -> bool:
        return (isinstance(s, list) and len(s) == 3 and (s[0] is None or isinstance(s[0], str))
                and isinstance(s[1], int) and isinstance(s[2], list) and all(isinstance(n, str) for n in s[2]))
    if isinstance(value, dict) and all(isinstance(v, list) and all(map(statement, v)) for v in value.values()):
        return value
    return {}


# Stands for a file that no longer holds what the plan was made from.
CHANGED = "changed after the inspection"


def _digest_as_inspected(path: str, text: str) -> str:
    """The digest of the bytes at `path` if they still hold `text`, the
    module's source as the inspection read it; else CHANGED."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        if textwrap.dedent(importlib.util.decode_source(data)).strip() + "\n" == text:
            return sha256_bytes(data)
    except (OSError, SyntaxError, UnicodeDecodeError, LookupError):
        pass
    return CHANGED


def _digest(text: str | bytes) -> str:
    # The same digest for a UTF-8 file's bytes and its text.
    return sha256_text(text) if isinstance(text, str) else sha256_bytes(text)


def _scan(text: str | bytes) -> list[Statement]:
    # Bytes are parsed as the interpreter reads a file: by its coding cookie.
    try:
        tree = ast.parse(text)
    except (SyntaxError, ValueError):
        return []
    return [(None, 0, [a.name for a in node.names]) if isinstance(node, ast.Import)
            else (node.module or "", node.level, [a.name for a in node.names])
            for node in _import_statements(tree)]


def _import_statements(tree: ast.Module) -> Iterator[ast.Import | ast.ImportFrom]:
    """Every import statement, at any depth (in functions, classes, if and
    try blocks), visiting statements only: expressions cannot hold one, and
    they are most of a module's nodes."""
    stack: list[ast.AST] = list(reversed(tree.body))
    while stack:
        node = stack.pop()
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node
            continue
        for name in ("body", "orelse", "finalbody", "handlers", "cases"):
            children = getattr(node, name, None)
            if isinstance(children, list):
                stack.extend(reversed([c for c in children if isinstance(c, ast.AST)]))


def _absolute(module: str | None, level: int, package: str) -> str | None:
    """The absolute name a `from` import refers to, "" for `from . import x`
    at the top, or None when it climbs out of the top-level package."""
    if level == 0:
        return module or ""
    parts = package.split(".") if package else []
    if level - 1 > len(parts):
        return None
    kept = parts[: len(parts) - (level - 1)]
    if module:
        kept.append(module)
    return ".".join(kept)


def module_base(file_path: str, module: str) -> str | None:
    """The import path entry a module was loaded from, if its file says so."""
    if not file_path:
        return None
    stem, _ = os.path.splitext(os.path.abspath(file_path))
    if os.path.basename(stem) == "__init__":
        stem = os.path.dirname(stem)
    tail = os.path.join(*module.split("."))
    if stem == tail or not stem.endswith(os.sep + tail):
        return None
    return stem[: -len(tail) - 1] or os.sep
