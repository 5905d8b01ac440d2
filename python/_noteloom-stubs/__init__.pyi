# The extension module: PanicException, the corpus engine's native half (used through
# noteloom.encode_files), the archive reader's and augment_ids's. Its classes are published in noteloom.korvi._korvi.
import os
import types
from typing import Any
from collections.abc import Buffer, Sequence

__all__: list[str]

class PanicException(BaseException):
    """A fatal internal error of noteloom (derives from BaseException)."""

def _new_message(cls: type) -> object: ...
def _encode_stream(threads: int, normalize: bool, oov: str, max_tokens: int, stop: Buffer | None) -> types.CapsuleType: ...
def _engine_defaults() -> dict[str, Any]: ...
def _check_engine_options(threads: int, normalize: bool, oov: str, max_tokens: int) -> None: ...
def _stream_submit(
    stream: types.CapsuleType,
    items: Sequence[str | os.PathLike[str] | tuple[Buffer, Buffer] | tuple[Buffer, Buffer, Buffer]],
) -> None: ...
def _stream_next(
    stream: types.CapsuleType,
) -> tuple[float, list[Buffer | None], list[int | None], bytes, list[str | None], list[int]]: ...
def _skip_kinds() -> tuple[str, ...]: ...
def _archive_open(
    path: str | os.PathLike[str], pack: bool, max_entries: int, max_bytes: int
) -> types.CapsuleType: ...
def _archive_read(
    reader: types.CapsuleType,
) -> tuple[list[str], list[str | None], list[int], Buffer, bytes, bytes | None] | None: ...
def _archive_kind(first: Buffer) -> str | None: ...
def _augment_ids(
    ids: Buffer,
    max_pitch_aug: int,
    pitch_aug: int | None,
    max_num_aug_steps: int,
    aug_step: int | None,
    max_tempo_aug: float,
    mixup: bool,
    tempo_aug: float | None,
    seed: int | None = None,
) -> bytearray: ...
def _plan_chunks(
    tokens: Buffer, starts: Buffer, lengths: Buffer, group_start: Buffer, bos: int, max_len: int
) -> tuple[bytes, bytes, bytes, bytes]: ...
