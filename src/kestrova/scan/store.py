"""The catalog of a scan: JSON lines, appended and flushed image by image, read back for a
resumed run.
"""

from __future__ import annotations

import json
import os
from collections import defaultdict
from pathlib import Path
from typing import Iterable, Mapping

from .tasks import NONE, OK, HduKey, TaskResult

__all__ = ["CatalogWriter", "completed_images", "read_catalog", "CATALOG_SUFFIXES"]

CATALOG_SUFFIXES = (".jsonl", ".ndjson", ".json")


def _parse_lines(lines: list[str], path) -> list[tuple[str, dict]]:
    """(line, row) of each row; a torn last line is left out."""
    rows = []
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            rows.append((line, json.loads(line)))
        except json.JSONDecodeError:
            if number < len(lines):
                raise ValueError(f"{path}:{number}: not a catalog row") from None
            # a last line cut short by a crash: its image was not complete
    return rows


def read_catalog(path) -> list[dict]:
    """The rows of a scan catalog, in the order written; a torn last line is left out.

    Examples
    --------
    >>> rows = read_catalog("night1.jsonl")                     # doctest: +SKIP
    >>> sum(row["status"] == "ok" for row in rows)  # streaks     # doctest: +SKIP
    3
    """
    with open(path, encoding="utf-8") as file:
        return [row for _, row in _parse_lines(file.read().split("\n"), path)]


def completed_images(rows: Iterable[Mapping]) -> set[tuple[str, HduKey]]:
    """The (file, hdu) pairs that a catalog holds complete: a "none" row, or every one of the
    ``nstreaks`` rows of an "ok" image. Errors do not count.

    Examples
    --------
    >>> rows = [{"file": "a", "hdu": 0, "status": "ok", "nstreaks": 2, "index": 0},
    ...         {"file": "b", "hdu": 0, "status": "none", "nstreaks": 0}]
    >>> completed_images(rows)
    {('b', 0)}
    """
    done, seen, needed = set(), defaultdict(set), {}
    for row in rows:
        key = (row["file"], row["hdu"])
        if row["status"] == NONE:
            done.add(key)
        elif row["status"] == OK:
            seen[key].add(row["index"])
            needed[key] = row["nstreaks"]
    return done | {key for key, indices in seen.items() if len(indices) >= needed[key]}


def _json_line(row: dict) -> str:
    return json.dumps(row, allow_nan=False, separators=(", ", ": ")) + "\n"


class CatalogWriter:
    """Append-only writer: all rows of an image in one write, flushed at once. Resuming, it
    first drops what a crash left unfinished (see :func:`_drop_unfinished`)."""

    def __init__(self, path, resume: bool):
        path = Path(path)
        if path.suffix.lower() not in CATALOG_SUFFIXES:
            raise ValueError(f"the catalog is JSON lines: name it *.jsonl, not {path.name}")
        exists = path.exists() and path.stat().st_size > 0
        if exists and not resume:
            raise FileExistsError(f"catalog {path} exists: resume it (--resume) or remove it")
        self.done = set()
        if exists:
            self.done = _drop_unfinished(path)
        self._file = open(path, "a", encoding="utf-8")

    def write(self, result: TaskResult) -> None:
        self._file.write("".join(_json_line(row) for row in result.rows()))
        self._file.flush()

    def close(self) -> None:
        self._file.close()


def _drop_unfinished(path: Path) -> set[tuple[str, HduKey]]:
    """The images that the catalog at `path` holds complete, after rewriting it without what a
    crash left unfinished: a torn last line, and the rows of an image that lacks some of its
    rows (it is scanned again, and would repeat them). The rewrite replaces the file whole, so
    that a crash during it loses nothing."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    lines = _parse_lines(text.split("\n"), path)
    done = completed_images(row for _, row in lines)
    kept = [line for line, row in lines
            if row["status"] != OK or (row["file"], row["hdu"]) in done]
    if len(kept) < len(lines) or not text.endswith("\n"):
        temporary = path.with_name(path.name + ".resume")
        with open(temporary, "w", encoding="utf-8") as file:
            file.write("".join(line + "\n" for line in kept))
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    return done
