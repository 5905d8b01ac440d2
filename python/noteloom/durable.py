"""The file operations the dataset writer is built from, each one step that a crash either did or
did not do. Every error names the file it hit (an OSError with its errno and filename), and a file
replaced through a temporary leaves no temporary behind when the step fails.

Every call goes through this module's ``os``, so that a test can fail or stop any one step."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from pathlib import Path

TMP_SUFFIX = ".tmp"


@contextlib.contextmanager
def _naming(path: str | os.PathLike[str]) -> Iterator[None]:
    try:
        yield
    except OSError as e:
        if e.filename is not None or e.errno is None:
            raise
        raise OSError(e.errno, e.strerror, os.fspath(path)) from None


def open_for_writing(path: Path, *, create: bool = False) -> int:
    """A file descriptor to write `path` at chosen offsets (new and empty with `create`)."""
    flags = os.O_WRONLY | os.O_CLOEXEC | ((os.O_CREAT | os.O_EXCL) if create else 0)
    with _naming(path):
        return os.open(path, flags, 0o644)


def pwrite(fd: int, data: bytes, offset: int, path: Path) -> None:
    """Writes all of `data` at `offset` (a short write is carried on, not dropped)."""
    view = memoryview(data)
    with _naming(path):
        while view:
            written = os.pwrite(fd, view, offset)
            view, offset = view[written:], offset + written


def fsync(fd: int, path: Path) -> None:
    with _naming(path):
        os.fsync(fd)


def close(fd: int) -> None:
    os.close(fd)


def truncate(path: Path, size: int) -> None:
    with _naming(path):
        os.truncate(path, size)


def unlink(path: Path) -> None:
    with _naming(path), contextlib.suppress(FileNotFoundError):
        os.unlink(path)


def replace_file(path: Path, data: bytes, tmp: Path | None = None) -> None:
    """Replaces `path` by a new file holding `data`, in one step: written to `tmp` (default:
    PATH.tmp), synced, renamed over `path`. A reader that opened or mapped the old file keeps it."""
    tmp = path.with_name(path.name + TMP_SUFFIX) if tmp is None else tmp
    fd = None
    try:
        with _naming(tmp):
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        pwrite(fd, data, 0, tmp)
        fsync(fd, tmp)  # before the rename: some file systems would otherwise keep an empty file
        os.close(fd)
        fd = None
        with _naming(path):
            os.replace(tmp, path)
    except BaseException:
        if fd is not None:
            os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def sync_directory(directory: Path) -> None:
    """Makes the renames in `directory` durable."""
    with _naming(directory):
        fd = os.open(directory, os.O_RDONLY | os.O_CLOEXEC)
    try:
        fsync(fd, directory)
    finally:
        os.close(fd)
