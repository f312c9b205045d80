"""How jobs are carried out: the `Executor` seam and its implementations.

    base      Executor, WorkerTask, Outcome, and what every executor shares
    spawn     SpawnExecutor: one `python -m orvan.worker` process per job
    orphans   finding and stopping workers a killed runner left behind
"""

from typing import TYPE_CHECKING

__all__ = ["Executor", "Outcome", "WorkerTask"]

if TYPE_CHECKING:
    from .base import Executor, Outcome, WorkerTask
else:
    # On first use: a run that finds everything fresh stops what a killed
    # runner left behind (orphans) but runs no job, and skips the rest.
    def __getattr__(name: str) -> object:
        if name in __all__:
            from . import base

            return getattr(base, name)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
