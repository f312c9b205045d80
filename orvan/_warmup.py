"""A trivial asset the fork server materialises once before serving jobs."""

from orvan import asset, partitions


@asset(partitions={"key": partitions(["k"])})
def warm(key: str, n: int) -> dict[str, object]:
    return {"key": key, "n": n}
