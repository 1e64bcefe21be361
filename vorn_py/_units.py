"""Sizes in words, for messages."""


def human_bytes(count: float) -> str:
    """1536 -> "1.50 KiB"."""
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(count) < 1024 or unit == "TiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.2f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")
