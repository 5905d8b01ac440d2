"""The one progress display of the main job: tqdm's bar on a terminal, or a callable."""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Callable, Iterable
from typing import Any

from . import sources


class Progress:
    """tqdm's bar on a terminal (inputs, inputs/s, and an ETA once a background walk has counted
    them, for files and folders), or a callable given the inputs done so far, or nothing."""

    def __init__(self, progress: bool | Callable[[int], Any], done: int):
        self.bar: Any = None
        self.callback = progress if callable(progress) else None
        self.done = done
        if progress is True and sys.stderr.isatty():
            try:
                from tqdm import tqdm  # type: ignore[import-untyped]
            except ImportError:
                return
            self.bar = tqdm(total=None, initial=done, unit=" files", dynamic_ncols=True, file=sys.stderr)

    def count(self, given: Iterable[sources.Source]) -> None:
        """Counts the inputs in the background when they are a list of files and folders."""
        if self.bar is None or not isinstance(given, (list, tuple)):
            return
        paths = [os.fsdecode(p) for p in given if not isinstance(p, tuple)]
        if len(paths) != len(given) or not all(os.path.isdir(p) or p.lower().endswith(sources.MIDI_SUFFIXES)
                                               for p in paths):
            return
        threading.Thread(target=self._count, args=(paths,), daemon=True).start()

    def _count(self, paths: list[str]) -> None:
        total = sum(1 for p in paths for _ in (sources.walk_folder(p) if os.path.isdir(p) else [p]))
        if self.bar is not None:
            self.bar.total = total

    def update(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        if self.callback is not None:
            self.callback(self.done)

    def close(self) -> None:
        if self.bar is not None:
            bar, self.bar = self.bar, None
            bar.close()
