# The extension module: PanicException and the corpus engine's native half (used through
# noteloom.encode_files). Its classes are published in noteloom.korvi._korvi.
import os
import types
from collections.abc import Buffer, Sequence

__all__: list[str]

class PanicException(BaseException):
    """A fatal internal error of noteloom (derives from BaseException)."""

def _new_message(cls: type) -> object: ...
def _encode_stream(threads: int, normalize: bool, oov: int, max_tokens: int, stop: Buffer | None) -> types.CapsuleType: ...
def _stream_submit(stream: types.CapsuleType, paths: Sequence[str | os.PathLike[str]]) -> None: ...
def _stream_next(
    stream: types.CapsuleType,
) -> tuple[float, list[Buffer | None], list[int | None], list[int], list[str | None]]: ...
