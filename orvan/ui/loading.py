"""The pipeline's model without making a request wait for discovery.

Loading the pipeline's code runs discovery in a subprocess and can take
seconds; a page asked for meanwhile is served from the last model that loaded
(or, before the first, from what the catalog records) and says that the code
is being reloaded. One reload at a time, in a thread of its own.
"""

from __future__ import annotations

import threading

from ..cli.config import modules_or_last_run
from ..cli.plan import pipeline
from ..cli.plan.graph import GraphError
from ..errors import OrvanError
from .model import Model, ModelCache, from_catalog, from_plan, sources_changed
from .reader import CatalogUnavailable, Queries, Reader


class Models:
    def __init__(self, cache: ModelCache, reader: Reader):
        self.cache = cache
        self.reader = reader
        self._model: Model | None = None
        self._fallback: Model | None = None
        # The pipeline from its code alone, before anything has been run.
        self._bare: Model | None = None
        self._lock = threading.Lock()
        self._thread: threading.Thread | None = None
        # Bumped whenever a new model is in place: the states it gives may differ.
        self.generation = 0

    @property
    def reloading(self) -> bool:
        thread = self._thread
        return thread is not None and thread.is_alive()

    @property
    def loaded(self) -> bool:
        return self._model is not None

    def named_modules(self, model: Model) -> list[str]:
        return self.cache.named_modules(model)

    def get(self, q: Queries) -> Model:
        with self._lock:
            model = self._model
            if model is None or model.run_id != q.last_run_id() or sources_changed(model):
                self._start()
            if model is not None:
                return model
            if self._fallback is None or self._fallback.run_id != q.last_run_id():
                self._fallback = Model(from_catalog(q), None, run_id=q.last_run_id())
            return self._fallback

    def without_catalog(self) -> Model | None:
        """Before any run: the pipeline as its code declares it (loaded in the
        background like any model; None until it has)."""
        with self._lock:
            if self._bare is None and not self.reloading:
                self._thread = threading.Thread(target=self._load_bare, name="orvan-ui-load", daemon=True)
                self._thread.start()
            return self._bare

    def _load_bare(self) -> None:
        try:
            modules = modules_or_last_run(self.cache.modules, self.cache.directory, list)
            if not modules:
                raise pipeline.CommandError("no modules named: give them (`orvan ui MODULE ...`) or list them "
                                            "under [tool.orvan] in pyproject.toml")
            _, plan = pipeline.load(modules, self.cache.directory)
            model = Model(from_plan(plan), None, modules, plan=plan)
        except GraphError as e:
            model = Model({}, "; ".join(e.problems))
        except (OrvanError, OSError, ValueError) as e:
            model = Model({}, str(e))
        with self._lock:
            self._bare = model
            self.generation += 1

    def start(self) -> None:
        with self._lock:
            self._start()

    def _start(self) -> None:
        if not self.reloading:
            self._thread = threading.Thread(target=self._load, name="orvan-ui-reload", daemon=True)
            self._thread.start()

    def _load(self) -> None:
        try:
            with self.reader.connect() as q:
                model = self.cache.get(q)
        except CatalogUnavailable:
            return
        with self._lock:
            if model is not self._model:
                self._model = model
                self.generation += 1
