"""The pytest fixture of `orvan.testing`, registered through the ``pytest11``
entry point so that installing orvan makes it available:

    def test_doubled(orvan_materialize):
        result = orvan_materialize([pipeline], values={pipeline.raw: [1, 2]})
        assert result[pipeline.doubled] == [2, 4]
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest


@pytest.fixture
def orvan_materialize(tmp_path: Any) -> Callable[..., Any]:
    """`orvan.testing.materialize` with its files in the test's own temporary directory."""
    from functools import partial

    from .testing import materialize

    return partial(materialize, tmp_path=tmp_path)
