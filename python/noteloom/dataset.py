"""Token datasets on disk: the layout the command line writes, and TokenDataset to read it.

A dataset is a directory:

    tokens.bin      every kept sequence's IDs, uint16 little-endian, end to end in input order
    index.npy       int64 offsets (in IDs) into tokens.bin, one more than there are sequences
    manifest.jsonl  one line per input file, in input order: status, path, reason, tokens, oov, hash
    meta.json       vocabulary size, tokenizer name, options, noteloom version, whether complete
    run.json        how the run went: threads, files, tokens and seconds of each session
    splits/         a stored train / valid / test split, if one was made (noteloom.splits)

Every file but run.json depends on the inputs and options alone, so runs with any number of threads,
and a run resumed after an interruption, write the same bytes.

Writes are ordered so that a run stopped at any instant (Ctrl-C, kill, a full disk) leaves a valid
dataset: a window's IDs are appended to tokens.bin, then its offsets to index.npy, then its lines to
manifest.jsonl, and last the length in index.npy's header is raised over the new offsets. Readers
trust that length; bytes past it are leftovers of an unfinished window, which a resumed run cuts off.

A sharded dataset (written by noteloom.dask) is a directory of such datasets, one per shard of the
inputs, under an index that makes them one:

    shards/NNNNN/      the dataset of shard NNNNN (its inputs' position and digest in its meta.json)
    index-RUN.npy      offsets of the kept sequences packed end to end, as above, over all shards
    starts-RUN.npy     int64 start of each kept sequence in the shards' tokens.bin files end to end
    dedupe-RUN.jsonl   manifest records the cross-shard dedupe pass changed: {"file": N, "record": ...}
    meta.json          as above, with "files", "shards" (each one's dir, files, sequences, tokens) and
                       "index" (the names of the three files above, which differ from run to run)
    run.json           the sessions of the run

A shard knows nothing of the others: a sequence it keeps may be a duplicate of an earlier shard's,
which the index leaves out (starts skips it) and the dedupe file records. A shard appears only by
the rename of a complete directory, and the index is written after every shard, under new names,
with meta.json replaced last, so a reader sees the whole dataset or none, even while a rerun
rewrites the index.
"""

from __future__ import annotations

import collections
import contextlib
import io
import json
import mmap
import os
import re
import shutil
import threading
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from . import durable
from .augment import augment_ids, check_augmentation, item_seed
from .tokenizer import Tokenizer, tokenizer_of_meta

TOKENS = "tokens.bin"
INDEX = "index.npy"
MANIFEST = "manifest.jsonl"
META = "meta.json"
RUN = "run.json"
LOCK = ".lock"  # held by the one run that writes the dataset
SHARDS = "shards"
SPLITS = "splits"  # a stored train / valid / test split (noteloom.splits)
# A sharded dataset's own index files (and their temporaries), named by the run that wrote them.
SHARD_INDEX_FILE = re.compile(r"(index-\w+\.npy|starts-\w+\.npy|dedupe-\w+\.jsonl|[\w.-]+\.tmp-\w+)")
FORMAT = "noteloom-token-dataset"
LAYOUT_VERSION = 1

# index.npy is an .npy file (format 1.0) with a header of fixed size, so that its length can be
# rewritten in place as sequences are added.
_NPY_MAGIC = b"\x93NUMPY\x01\x00"
_NPY_HEADER_SIZE = 128


def _npy_header(length: int) -> bytes:
    text = f"{{'descr': '<i8', 'fortran_order': False, 'shape': ({length},), }}"
    body_size = _NPY_HEADER_SIZE - len(_NPY_MAGIC) - 2
    body = text.ljust(body_size - 1).encode("latin1") + b"\n"
    return _NPY_MAGIC + body_size.to_bytes(2, "little") + body


class DatasetError(ValueError):
    """A dataset directory that is not what its writer leaves: the message names the file and what
    is wrong with it."""


def _index_length(path: Path) -> int:
    """The number of committed offsets in index.npy, read from its header (which must describe
    little-endian int64 offsets)."""
    with open(path, "rb") as f:
        header = f.read(_NPY_HEADER_SIZE)
    if len(header) != _NPY_HEADER_SIZE or not header.startswith(_NPY_MAGIC):
        raise DatasetError(f"{path}: not an index written by noteloom")
    text = header[len(_NPY_MAGIC) + 2 :].decode("latin1")
    if "'descr': '<i8'" not in text or "'fortran_order': False" not in text:
        raise DatasetError(f"{path}: offsets of another type or byte order than little-endian int64 ({text.strip()})")
    try:
        return int(text[text.index("'shape': (") + 10 : text.index(",)")])
    except ValueError:
        raise DatasetError(f"{path}: not an index written by noteloom") from None


def _read_meta(directory: Path) -> dict[str, Any]:
    """meta.json, checked for what readers rely on."""
    path = directory / META
    try:
        meta = json.loads(path.read_text())
    except (ValueError, UnicodeDecodeError) as e:
        raise DatasetError(f"{path}: not valid JSON ({e})") from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise DatasetError(f"{directory} holds no noteloom token dataset")
    version = meta.get("layout_version")
    if type(version) is not int or not 1 <= version <= LAYOUT_VERSION:
        raise DatasetError(f"{path}: layout_version {version!r} is not one this noteloom reads "
                           f"(1 to {LAYOUT_VERSION}); "
                           "it may have been written by a newer noteloom")
    for key, kind in (("tokenizer", str), ("vocab_size", int), ("options", dict)):
        if not isinstance(meta.get(key), kind):
            raise DatasetError(f"{path}: {key!r} is missing or not a {kind.__name__}")
    return meta


def _check_offsets(path: Path, offsets: np.ndarray, limit: int, of: str) -> None:
    """Offsets that start at 0, never decrease and end within the `limit` IDs there are (`of`)."""
    if len(offsets) == 0:
        raise DatasetError(f"{path}: no offsets (an index holds one more than there are sequences)")
    if offsets[0] != 0:
        raise DatasetError(f"{path}: the offsets start at {int(offsets[0])}, not 0")
    falls = np.flatnonzero(np.diff(offsets) < 0)
    if len(falls):
        k = int(falls[0]) + 1
        raise DatasetError(f"{path}: offset {k} ({int(offsets[k])}) is smaller than the one before "
                           f"({int(offsets[k - 1])})")
    if offsets[-1] > limit:
        raise DatasetError(f"{path}: the offsets run to {int(offsets[-1])} IDs, past the {limit} of {of}")


def _position(i: int, n: int, what: str) -> int:
    """Index i of n items (negative counts from the end), or IndexError."""
    if not -n <= i < n:
        raise IndexError(f"{what} {i} out of range for {n}")
    return i % n


@contextlib.contextmanager
def writer_lock(directory: str | os.PathLike[str]) -> Iterator[None]:
    """Holds the dataset directory's lock while the block runs: one run writes a dataset at a time.
    A second run fails at once, before it changes anything. The lock (flock on DIR/.lock) goes with
    the process that holds it, however that process ends."""
    import fcntl

    directory = Path(directory)
    if directory.exists() and not directory.is_dir():
        raise OSError(f"{directory} exists and is not a directory")
    directory.mkdir(parents=True, exist_ok=True)
    fd = os.open(directory / LOCK, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise OSError(f"{directory} is being written by another run (it holds {directory / LOCK}); "
                          "wait for it to end or choose another output") from None
        yield
    finally:
        os.close(fd)  # releases the lock


def manifest_line(record: dict[str, Any]) -> bytes:
    """One manifest line; "status" comes first so a reader finds the kept files without parsing JSON."""
    return (json.dumps(record) + "\n").encode()


# What a dataset directory may hold: a new run replaces a directory of these names only.
_OWN_NAMES = {TOKENS, INDEX, MANIFEST, META, RUN, LOCK}


def _own_entry(name: str) -> bool:
    if name in _OWN_NAMES or name == SPLITS:
        return True
    return name.endswith(durable.TMP_SUFFIX) and name[: -len(durable.TMP_SUFFIX)] in _OWN_NAMES


class DatasetWriter:
    """Appends windows of sequences to a dataset directory, each window committed as a whole.

    A new run into an existing dataset never changes its files in place: each is replaced by a new
    one (readers that opened the old dataset keep reading it), in an order that leaves a valid
    dataset at every step: meta.json marked incomplete, then the index, tokens and manifest
    replaced by empty ones, run.json removed, and last meta.json with the new options.

    A window's IDs are appended to tokens.bin, then its offsets to index.npy, then its lines to
    manifest.jsonl, and last the length in index.npy's header is raised over the new offsets: that
    write commits the window for readers, which stop at the manifest line of the last sequence it
    counts. A resumed run keeps every complete manifest line whose data is written, and cuts off
    the rest."""

    def __init__(self, directory: str | os.PathLike[str], meta: dict[str, Any], *, resume: bool = False,
                 expected: Callable[[], str | None] | None = None):
        """`expected`, for a resumed run, gives the inputs' names one at a time: the files the
        dataset holds must be the first of them (a ValueError, before anything changes, if not)."""
        self.dir = Path(directory)
        self.meta = dict(meta, format=FORMAT, layout_version=LAYOUT_VERSION)
        self.files_done = 0  # manifest lines, i.e. input files already handled
        self.sequences = 0
        self.offset = 0  # IDs in tokens.bin
        self.manifest_size = 0  # bytes
        self.hashes: dict[str, str] = {}  # hash -> path of its first kept file, for --dedupe
        self.sessions: list[dict[str, Any]] = []
        resumed = resume and (self.dir / META).exists()
        if resumed:
            self._reopen(expected)
        else:
            self._create()
        self._fds: dict[str, int] = {}
        try:
            for name in (TOKENS, INDEX, MANIFEST):
                self._fds[name] = durable.open_for_writing(self.dir / name)
            if resumed:  # commit what the manifest holds, then cut off what no record counts
                self._set_length()
                durable.truncate(self.dir / MANIFEST, self.manifest_size)
                durable.truncate(self.dir / TOKENS, 2 * self.offset)
                durable.truncate(self.dir / INDEX, _NPY_HEADER_SIZE + 8 * (self.sequences + 1))
        except BaseException:
            self._close_files()
            raise

    def _create(self) -> None:
        if self.dir.exists() and not self.dir.is_dir():
            raise OSError(f"{self.dir} exists and is not a directory")
        self.dir.mkdir(parents=True, exist_ok=True)
        old = None
        if (self.dir / META).exists():
            with contextlib.suppress(DatasetError, OSError):
                old = _read_meta(self.dir)
        if old is not None and SHARDS in old:
            raise OSError(f"{self.dir} holds a sharded dataset (written with --dask); encode into another directory "
                          "or with --dask")
        if old is None and not all(_own_entry(p.name) for p in self.dir.iterdir()):
            raise OSError(f"{self.dir} is a non-empty directory that holds no dataset; choose another")
        self._remove_temporaries()
        if old is not None and old.get("complete"):
            self._write_json(META, dict(old, complete=False))
        # The index first: from then on readers see no sequences, whatever the other files hold.
        durable.replace_file(self.dir / INDEX, _npy_header(1) + np.zeros(1, "<i8").tobytes())
        durable.replace_file(self.dir / TOKENS, b"")
        durable.replace_file(self.dir / MANIFEST, b"")
        durable.unlink(self.dir / RUN)
        shutil.rmtree(self.dir / SPLITS, ignore_errors=True)  # its indices are of the sequences replaced
        self._write_json(META, dict(self.meta, complete=False))

    def _remove_temporaries(self) -> None:
        """What a run killed while it replaced a file left behind."""
        for name in _OWN_NAMES:
            durable.unlink(self.dir / (name + durable.TMP_SUFFIX))

    def _reopen(self, expected: Callable[[], str | None] | None) -> None:
        """Picks up an interrupted run: keeps its complete records and cuts off the rest. Everything
        is checked before the first change, so a refused resume leaves the dataset as it was."""
        old = _read_meta(self.dir)
        mine = {k: v for k, v in self.meta.items() if k != "noteloom_version"}
        theirs = {k: old.get(k) for k in mine}
        if "tokenizer_config" in mine:  # datasets of earlier versions: the built-in configuration
            theirs["tokenizer_config"] = tokenizer_of_meta(old).config
        if theirs != mine:
            changed = ", ".join(sorted(k for k in mine if theirs[k] != mine[k]))
            raise ValueError(f"cannot resume {self.dir}: it was written with other settings ({changed})")
        for name in (TOKENS, INDEX, MANIFEST):
            if not (self.dir / name).is_file():
                raise DatasetError(f"cannot resume {self.dir}: {name} is missing; encode it again without --resume")
        _index_length(self.dir / INDEX)  # of the right type
        raw = (self.dir / INDEX).read_bytes()[_NPY_HEADER_SIZE:]
        offsets = np.frombuffer(raw[: len(raw) // 8 * 8], dtype="<i8")
        if len(offsets) == 0 or offsets[0] != 0:
            raise DatasetError(f"cannot resume {self.dir}: {INDEX} holds no offsets; encode it again without --resume")
        stored = os.path.getsize(self.dir / TOKENS) // 2
        with open(self.dir / MANIFEST, "rb") as f:
            for line in f:
                if not line.endswith(b"\n"):
                    break  # the unfinished line of an interrupted window
                try:
                    record = json.loads(line)
                    path, status = record["path"], record["status"]
                except (ValueError, KeyError, TypeError):
                    raise DatasetError(f"cannot resume {self.dir}: line {self.files_done + 1} of {MANIFEST} is not "
                                       "a manifest record; encode it again without --resume") from None
                if status == "ok" and not (self.sequences + 1 < len(offsets) and
                                           offsets[self.sequences] <= offsets[self.sequences + 1] <= stored):
                    break  # its IDs are not all there: a run stopped while it replaced the files
                if expected is not None and (given := expected()) != path:
                    raise ValueError(f"cannot resume {self.dir}: input file {self.files_done + 1} is {given!r}, "
                                     f"the dataset has {path!r}")
                if status == "ok":
                    self.sequences += 1
                    self.hashes.setdefault(record["hash"], path)
                self.manifest_size += len(line)
                self.files_done += 1
        self.offset = int(offsets[self.sequences])
        if (self.dir / RUN).exists():
            with contextlib.suppress(ValueError, AttributeError, OSError):  # the report of the run only
                self.sessions = list(json.loads((self.dir / RUN).read_text()).get("sessions", []))
        self._remove_temporaries()
        self._write_json(META, dict(self.meta, complete=False))

    def _write_json(self, name: str, value: dict[str, Any]) -> None:
        durable.replace_file(self.dir / name, (json.dumps(value, indent=2, sort_keys=True) + "\n").encode())

    def _set_length(self) -> None:
        """The commit point: index.npy's header counts the sequences written."""
        durable.pwrite(self._fds[INDEX], _npy_header(self.sequences + 1), 0, self.dir / INDEX)

    def commit(self, sequences: list[np.ndarray], lines: list[bytes]) -> None:
        """Appends one window: the IDs of its kept files and one manifest line per file."""
        if sequences:
            lengths = np.fromiter((len(s) for s in sequences), dtype=np.int64, count=len(sequences))
            durable.pwrite(self._fds[TOKENS], b"".join(s.astype("<u2", copy=False).tobytes() for s in sequences),
                           2 * self.offset, self.dir / TOKENS)
            offsets = self.offset + np.cumsum(lengths)
            durable.pwrite(self._fds[INDEX], offsets.astype("<i8").tobytes(),
                           _NPY_HEADER_SIZE + 8 * (self.sequences + 1), self.dir / INDEX)
            self.offset = int(offsets[-1])
            self.sequences += len(sequences)
        text = b"".join(lines)
        durable.pwrite(self._fds[MANIFEST], text, self.manifest_size, self.dir / MANIFEST)
        self.manifest_size += len(text)
        if sequences:
            self._set_length()
        self.files_done += len(lines)

    def _close_files(self) -> None:
        for fd in self._fds.values():
            durable.close(fd)
        self._fds = {}

    def close(self, *, complete: bool, session: dict[str, Any] | None = None) -> None:
        """Ends the run: syncs the files, adds `session` to run.json, and with `complete` marks the
        dataset complete. The files are closed even when a step fails."""
        try:
            for name, fd in self._fds.items():
                durable.fsync(fd, self.dir / name)
        finally:
            self._close_files()
        if session is not None:
            self.sessions.append(session)
            self._write_json(RUN, {"sessions": self.sessions})
        if complete:
            self._write_json(META, dict(self.meta, complete=True))


class TokenDataset:
    """A dataset written by ``python -m noteloom encode`` (on one machine or on Dask), memory-mapped.

    ``ds[i]`` is a read-only uint16 view of sequence i (from its prefix tokens to "<E>"),
    ``ds.row(i)`` its manifest line as a dict, ``ds.manifest()`` every input file's line in input
    order, ``ds.windows(length)`` fixed-length training windows. It is a map-style dataset for a
    PyTorch ``DataLoader``: worker processes may be forked or spawned (it pickles as its directory
    and augmentation).

    With ``augment`` (keyword arguments of ``noteloom.augment_ids``, such as
    ``{"max_pitch_aug": 5, "max_num_aug_steps": 2, "max_tempo_aug": 0.2, "mixup": True}``), ``ds[i]``
    is a new augmented array each time, with fresh random amounts; ``ds.stored(i)``, the windows
    and the chunks stay as stored. With a ``seed`` as well, the amounts of ``ds[i]`` depend only on
    (seed, epoch, i), so runs repeat batch for batch whatever the workers and their start method;
    ``ds.set_epoch(e)`` moves to epoch e (workers get it when they are started, so with
    persistent workers call it before the DataLoader starts them).

    ``split`` opens one part ("train", "valid" or "test") of the split that ``noteloom split``
    stored in the directory; ``ds.split(valid=, test=)`` makes one without storing it. A part is a
    view of the dataset's sequences (no copy of the IDs) with the same methods.
    """

    offsets: np.ndarray  # int64: sequence i is IDs offsets[i] to offsets[i + 1] of the packed tokens
    starts: np.ndarray  # sharded: where sequence i starts in the shards' tokens end to end
    _indices: np.ndarray  # a part: the whole dataset's sequences it holds, ascending

    def __init__(self, directory: str | os.PathLike[str], *, augment: dict[str, Any] | None = None,
                 split: str | None = None, seed: int | None = None):
        self.directory = Path(directory)
        # augment_ids's keyword arguments, applied to every ds[i]
        self.augment = None if augment is None else check_augmentation(augment)
        if seed is not None and not (isinstance(seed, int) and 0 <= seed < 1 << 64):
            raise ValueError(f"seed must be an int from 0 to 2**64 - 1, not {seed!r}")
        self.seed, self.epoch = seed, 0
        self._shards: _Shards | None = None
        self._base: TokenDataset | None = None  # the whole dataset, when this is a part of it
        self._part: tuple[Any, ...] | None = None  # how the part was chosen (for pickling)
        self.tokens: np.ndarray | _PackedTokens
        for attempt in range(3):
            self.meta: dict[str, Any] = _read_meta(self.directory)
            if SHARDS in self.meta and "index" not in self.meta:
                raise DatasetError(f"{self.directory}: a sharded dataset of an older layout; encode it again")
            try:
                self._open_index()
                break
            except FileNotFoundError:  # a rerun committed a new index between reading meta.json and here
                if attempt == 2 or SHARDS not in self.meta:
                    raise
        if self._shards is None:
            tokens = self.directory / TOKENS
            _check_offsets(self.directory / INDEX, self.offsets, os.path.getsize(tokens) // 2, str(tokens))
            total = int(self.offsets[-1])
            self.tokens = (np.memmap(tokens, dtype="<u2", mode="r", shape=(total,)) if total
                           else np.zeros(0, dtype="<u2"))
            # mapped after the index, so it holds the line of every sequence the index counts; and
            # mapped, not reopened, so that a rewrite of the dataset leaves this reader its own
            self._text = _map(self.directory / MANIFEST)
        self._rows: np.ndarray | None = None  # byte offset of each kept file's manifest line
        if split is not None:
            from .splits import load_split

            whole = object.__new__(TokenDataset)  # this object becomes the part; the whole stays beside it
            whole.__dict__.update(self.__dict__)
            self._become_part(whole, ("stored", split), load_split(whole, split))

    def _become_part(self, base: TokenDataset, part: tuple[Any, ...], indices: np.ndarray) -> None:
        """Makes this object the view of `base`'s sequences `indices` (ascending)."""
        whole = base._base or base
        if base._base is not None:
            indices = base._indices[indices]
        self._base, self._part, self._indices = whole, part, indices
        lengths = np.diff(whole.offsets)[indices]
        self.offsets = np.concatenate(([0], np.cumsum(lengths, dtype=np.int64)))
        self.tokens = _PackedTokens(self)
        self._shards = None

    def part(self, indices: np.ndarray, how: tuple[Any, ...]) -> TokenDataset:
        """A view of the sequences `indices` (ascending) of this dataset, chosen as `how` says."""
        view = object.__new__(TokenDataset)
        view.directory, view.meta, view.augment, view._rows = self.directory, self.meta, self.augment, None
        view.seed, view.epoch = self.seed, self.epoch
        view._become_part(self, how, np.asarray(indices, dtype=np.int64))
        return view

    def split(self, *, valid: float, test: float, seed: int = 0) -> dict[str, TokenDataset]:
        """The sequences in three parts, "train", "valid" and "test", as views: a sequence's part
        depends only on its content hash and `seed` (copies of one piece always share a part, and
        a sequence keeps its part when the corpus grows or is encoded again), the parts' shares
        coming out near ``1 - valid - test``, ``valid`` and ``test``."""
        from .splits import assign

        if self._base is not None:
            raise ValueError("split the whole dataset, not a part of it")
        parts = assign(self, valid, test, seed)
        return {name: self.part(indices, ("hash", name, valid, test, seed)) for name, indices in parts.items()}

    def chunks(self, max_len: int) -> Any:
        """The sequences in pieces of at most `max_len` IDs for causal-LM training: see TokenChunks."""
        from .chunks import TokenChunks

        return TokenChunks(self, max_len)

    def _token_runs(self) -> Iterator[tuple[int, np.ndarray, np.ndarray, np.ndarray]]:
        """(first sequence, tokens, starts, lengths) for runs of consecutive sequences whose IDs lie
        in one array, sequence first + k being tokens[starts[k] : starts[k] + lengths[k]]."""
        if self._base is not None:
            for first, tokens, starts, lengths in self._base._token_runs():
                lo, hi = np.searchsorted(self._indices, [first, first + len(starts)])
                if hi > lo:
                    picked = self._indices[lo:hi] - first
                    yield int(lo), tokens, starts[picked], lengths[picked]
            return
        lengths = np.diff(self.offsets)
        if self._shards is None:
            yield 0, np.asarray(self.tokens), np.asarray(self.offsets[:-1]), lengths
            return
        starts = np.asarray(self.starts)
        shard_of = np.searchsorted(self._shards.bases, starts, side="right") - 1
        bounds = np.flatnonzero(np.diff(shard_of)) + 1
        for lo, hi in zip(np.concatenate(([0], bounds)), np.concatenate((bounds, [len(starts)]))):
            if hi > lo:
                shard = int(shard_of[lo])
                tokens = np.asarray(self._shards.dataset(shard).tokens)
                yield int(lo), tokens, starts[lo:hi] - self._shards.bases[shard], lengths[lo:hi]

    def _open_index(self) -> None:
        sharded = SHARDS in self.meta
        index = self.directory / (self.meta["index"]["offsets"] if sharded else INDEX)
        self.offsets = np.memmap(index, dtype="<i8", mode="r", offset=_NPY_HEADER_SIZE, shape=(_index_length(index),))
        if sharded:
            starts = self.directory / self.meta["index"]["starts"]
            self.starts = np.load(starts, mmap_mode="r")
            try:
                self._shards = _Shards(self.directory, self.meta[SHARDS])
            except (KeyError, TypeError, ValueError):
                raise DatasetError(f"{self.directory / META}: 'shards' is not a list of shard records") from None
            total = int(self._shards.bases[-1])
            _check_offsets(index, self.offsets, total, "the shards' tokens")
            lengths = np.diff(self.offsets)
            if (self.starts.dtype != np.dtype("<i8") or len(self.starts) != len(lengths) or
                    (len(lengths) and (self.starts.min() < 0 or (self.starts + lengths).max() > total))):
                raise DatasetError(f"{starts}: not the starts of the index's {len(lengths)} sequences within the "
                                   f"{total} IDs of the shards")
            self.tokens = _PackedTokens(self)

    def set_epoch(self, epoch: int) -> None:
        """Draws the augmentation amounts of epoch `epoch` (with a seed)."""
        self.epoch = int(epoch)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (str(self.directory), self.augment, self._part, self.seed, self.epoch))

    def __repr__(self) -> str:
        state = "" if self.meta.get("complete") else ", incomplete"
        shards = "" if self._shards is None else f" in {len(self._shards.dirs)} shards"
        if self._part is not None:
            shards = f", split {self._part[1]!r}"
        augment = "" if self.augment is None else f", augment={self.augment}"
        return (f"TokenDataset({str(self.directory)!r}: {len(self)} sequences, {self.num_tokens} tokens"
                f"{shards}{state}{augment})")

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def __getitem__(self, i: int) -> np.ndarray:
        ids = self.stored(i)
        if self.augment is None:
            return ids
        seed = None if self.seed is None else item_seed(self.seed, self.epoch, _position(i, len(self), "sequence"))
        return augment_ids(ids, **self.augment, seed=seed, tokenizer=self._own_tokenizer())

    def stored(self, i: int) -> np.ndarray:
        """Sequence i as stored, without augmentation: a read-only view."""
        i = _position(i, len(self), "sequence")
        if self._base is not None:
            return self._base.stored(int(self._indices[i]))
        start, end = int(self.offsets[i]), int(self.offsets[i + 1])
        if self._shards is None:
            return self.tokens[start:end]
        shard, local = self._shards.locate(int(self.starts[i]))
        return self._shards.dataset(shard).tokens[local : local + end - start]

    def __iter__(self) -> Iterator[np.ndarray]:
        return (self[i] for i in range(len(self)))

    @property
    def num_tokens(self) -> int:
        return int(self.offsets[-1])

    def tokenizer(self) -> Tokenizer:
        """The tokenizer the dataset was encoded with, rebuilt from meta.json."""
        return tokenizer_of_meta(self.meta)

    def _own_tokenizer(self) -> Tokenizer | None:
        """What augment_ids is told of the IDs: None for the built-in tokenizer (made once)."""
        if "_tokenizer" not in self.__dict__:
            tok = self.tokenizer()
            self.__dict__["_tokenizer"] = None if tok == Tokenizer() else tok
        found: Tokenizer | None = self.__dict__["_tokenizer"]
        return found

    def row(self, i: int) -> dict[str, Any]:
        """The manifest line of sequence i: path, status, reason, tokens, oov, hash."""
        i = _position(i, len(self), "sequence")
        if self._base is not None:
            return self._base.row(int(self._indices[i]))
        if self._shards is not None:
            shard, local = self._shards.locate(int(self.starts[i]))
            part = self._shards.dataset(shard)
            return part.row(int(np.searchsorted(part.offsets, local)))
        if self._rows is None:
            rows = _kept_rows(self._text, len(self))
            if len(rows) < len(self):
                raise DatasetError(f"{self.directory / MANIFEST}: {len(rows)} kept files recorded, but "
                                   f"{self.directory / INDEX} holds {len(self)} sequences")
            self._rows = rows
        start = int(self._rows[i])
        record: dict[str, Any] = json.loads(self._text[start : self._text.find(b"\n", start) + 1])
        return record

    def manifest(self) -> Iterator[dict[str, Any]]:
        """Every input file's manifest line, kept and skipped files, in input order. While the
        dataset is incomplete (being written, or its run interrupted), the lines end at the last
        sequence the index holds. A part of a split gives the lines of its sequences."""
        if self._base is not None:
            yield from (self.row(i) for i in range(len(self)))
            return
        if self._shards is None:
            kept = 0
            for record in _lines(self._text):
                if not self.meta.get("complete") and kept == len(self):
                    return
                kept += record["status"] == "ok"
                yield record
            return
        dedupe = self.directory / self.meta["index"]["dedupe"]
        if not dedupe.exists():
            raise FileNotFoundError(f"{self.directory} was encoded again since it was opened: open it again")
        changed = {entry["file"]: entry["record"] for entry in _manifest_lines(dedupe)}
        file = 0
        for name in self._shards.dirs:
            for record in _manifest_lines(self.directory / name / MANIFEST):
                yield changed.get(file, record)
                file += 1

    def windows(self, length: int, stride: int | None = None) -> TokenWindows:
        """Windows of ``length`` IDs over all sequences packed end to end, starting every ``stride``
        IDs (default: ``length``, no overlap); a last window shorter than ``length`` is left out."""
        return TokenWindows(self, length, length if stride is None else stride)


def _reopen(directory: str, augment: dict[str, Any] | None, part: tuple[Any, ...] | None = None,
            seed: int | None = None, epoch: int = 0) -> TokenDataset:
    if part is not None and part[0] == "stored":
        ds = TokenDataset(directory, augment=augment, split=part[1], seed=seed)
    else:
        ds = TokenDataset(directory, augment=augment, seed=seed)
        if part is not None:
            _, name, valid, test, split_seed = part
            ds = ds.split(valid=valid, test=test, seed=split_seed)[name]
    ds.set_epoch(epoch)
    return ds


def _map(path: Path) -> mmap.mmap | bytes:
    """The bytes of the file at `path`, mapped as they are now."""
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            return mmap.mmap(f.fileno(), size, access=mmap.ACCESS_READ) if size else b""
    except FileNotFoundError:
        raise DatasetError(f"{path}: missing") from None


def _lines(text: mmap.mmap | bytes) -> Iterator[dict[str, Any]]:
    """The complete lines of a manifest's bytes, parsed."""
    start = 0
    while (end := text.find(b"\n", start)) >= 0:
        yield json.loads(text[start : end + 1])
        start = end + 1


def _manifest_lines(path: Path) -> Iterator[dict[str, Any]]:
    yield from _lines(_map(path))


def _kept_rows(data: mmap.mmap | bytes, sequences: int) -> np.ndarray:
    """The byte offset of each kept file's line in a manifest (the first `sequences` of them)."""
    size = len(data)
    if size == 0:
        return np.zeros(0, dtype=np.int64)
    text = np.frombuffer(data, dtype=np.uint8)
    starts = np.concatenate(([0], np.flatnonzero(text == ord("\n")) + 1))[:-1]
    marker = np.frombuffer(b'{"status": "ok"', dtype=np.uint8)
    starts = starts[starts + len(marker) <= size]
    ok = np.ones(len(starts), dtype=bool)
    for k, byte in enumerate(marker):
        ok &= text[starts + k] == byte
    return starts[ok][:sequences]


class _Shards:
    """The shards of a sharded dataset, each opened when first read. At most OPEN stay open (each
    holds two file descriptors), the least recently read closed first."""

    OPEN = 64

    def __init__(self, directory: Path, shards: list[dict[str, Any]]):
        self.directory = directory
        self.dirs = [entry["dir"] for entry in shards]
        # token position where each shard starts, in the shards' tokens end to end
        self.bases = np.concatenate(([0], np.cumsum([entry["tokens"] for entry in shards], dtype=np.int64)))
        self.open: collections.OrderedDict[int, TokenDataset] = collections.OrderedDict()
        self.lock = threading.Lock()  # DataLoader threads read one dataset at once

    def locate(self, start: int) -> tuple[int, int]:
        """The shard holding token position `start`, and the position within it."""
        shard = int(np.searchsorted(self.bases, start, side="right")) - 1
        return shard, start - int(self.bases[shard])

    def dataset(self, shard: int) -> TokenDataset:
        with self.lock:
            part = self.open.get(shard)
            if part is not None:
                self.open.move_to_end(shard)
                return part
        part = TokenDataset(self.directory / self.dirs[shard])  # opened outside the lock: it reads files
        with self.lock:
            self.open[shard] = part
            while len(self.open) > self.OPEN:
                self.open.popitem(last=False)
        return part


class _PackedTokens:
    """A sharded dataset's kept sequences end to end, sliced like the one tokens.bin of a dataset
    on one machine: a slice within one sequence is a view, one across sequences a copy."""

    def __init__(self, dataset: TokenDataset):
        self.dataset = dataset

    def __len__(self) -> int:
        return self.dataset.num_tokens

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> np.ndarray:
        whole: np.ndarray = self[0 : len(self)]
        return whole if dtype is None else whole.astype(dtype)

    def __getitem__(self, key: slice | int) -> Any:
        if not isinstance(key, slice):
            i = _position(key.__index__(), len(self), "token")
            return self[i : i + 1][0]
        start, stop, step = key.indices(len(self))
        if step != 1:
            return np.asarray(self)[key]
        offsets, pieces = self.dataset.offsets, []
        i = int(np.searchsorted(offsets, start, side="right")) - 1
        while start < stop:
            end = min(stop, int(offsets[i + 1]))
            first = int(offsets[i])
            pieces.append(self.dataset.stored(i)[start - first : end - first])
            start, i = end, i + 1
        if len(pieces) == 1:
            return pieces[0]
        joined = np.concatenate(pieces) if pieces else np.zeros(0, dtype="<u2")
        joined.flags.writeable = False
        return joined


def write_shard_index(directory: str | os.PathLike[str], meta: dict[str, Any], shards: list[dict[str, Any]],
                      left_out: Mapping[int, Iterable[int]], changed: Iterable[tuple[int, dict[str, Any]]],
                      session: dict[str, Any], *, started: float) -> None:
    """Makes the complete shards under `directory` one dataset: `shards` lists them in input order
    (dir, files, sequences, tokens), `left_out` maps a shard's position in that list to the
    sequences of that shard the dataset leaves out, `changed` gives the manifest records the dedupe
    pass changed (input file number, record), `session` what run.json adds (this function counts
    the sequences and tokens kept).

    The index files get names of their own, and meta.json, which names them, is replaced last: it
    is the one commit point, so a run stopped at any instant leaves the dataset as it was before
    (or none) or as it is after; run.json follows. Index files that meta.json no longer names go
    once they are an hour older than `started` (a time.time()): until then readers that opened the
    dataset before may still read them, and another client may be about to commit its own."""
    directory = Path(directory)
    starts, lengths, base = [], [], 0
    for k, entry in enumerate(shards):
        path = directory / entry["dir"] / INDEX
        offsets = np.fromfile(path, dtype="<i8", offset=_NPY_HEADER_SIZE, count=_index_length(path))
        keep = np.ones(len(offsets) - 1, dtype=bool)
        keep[np.fromiter(left_out.get(k, ()), dtype=np.int64)] = False
        starts.append(base + offsets[:-1][keep])
        lengths.append(np.diff(offsets)[keep])
        base += int(offsets[-1])
    length = np.concatenate(lengths) if lengths else np.zeros(0, dtype=np.int64)
    packed = np.concatenate(([0], np.cumsum(length, dtype=np.int64))).astype("<i8")

    def replace(name: str, data: bytes) -> None:
        durable.replace_file(directory / name, data, directory / f"{name}.tmp-{uuid.uuid4().hex}")  # clients may race

    run = uuid.uuid4().hex[:12]
    names = {"offsets": f"index-{run}.npy", "starts": f"starts-{run}.npy", "dedupe": f"dedupe-{run}.jsonl"}
    replace(names["offsets"], _npy_header(len(packed)) + packed.tobytes())
    buffer = io.BytesIO()  # a plain .npy file: np.load maps it
    np.save(buffer, (np.concatenate(starts) if starts else np.zeros(0, dtype=np.int64)).astype("<i8"))
    replace(names["starts"], buffer.getvalue())
    replace(names["dedupe"], b"".join(manifest_line({"file": file, "record": rec}) for file, rec in changed))
    whole = dict(meta, format=FORMAT, layout_version=LAYOUT_VERSION, complete=True,
                 files=sum(entry["files"] for entry in shards), shards=shards, index=names)
    replace(META, (json.dumps(whole, indent=2, sort_keys=True) + "\n").encode())
    durable.sync_directory(directory)
    sessions = []
    if (directory / RUN).exists():
        sessions = json.loads((directory / RUN).read_text()).get("sessions", [])
    session = dict(session, encoded=len(packed) - 1, tokens=int(packed[-1]))
    replace(RUN, (json.dumps({"sessions": [*sessions, session]}, indent=2, sort_keys=True) + "\n").encode())
    for stale in directory.iterdir():
        if SHARD_INDEX_FILE.fullmatch(stale.name) and stale.name not in names.values():
            with contextlib.suppress(OSError):
                if stale.stat().st_mtime < started - 3600:
                    stale.unlink()


class TokenWindows:
    """Fixed-length windows over a TokenDataset's packed IDs; a map-style dataset itself."""

    def __init__(self, dataset: TokenDataset, length: int, stride: int):
        if length < 1 or stride < 1:
            raise ValueError("window length and stride must be positive")
        self.dataset, self.length, self.stride = dataset, length, stride

    def __repr__(self) -> str:
        return f"TokenWindows(length={self.length}, stride={self.stride}: {len(self)} windows of {self.dataset!r})"

    def __len__(self) -> int:
        total = self.dataset.num_tokens
        return 0 if total < self.length else (total - self.length) // self.stride + 1

    def __getitem__(self, i: int) -> np.ndarray:
        start = _position(i, len(self), "window") * self.stride
        return self.dataset.tokens[start : start + self.length]

    def __iter__(self) -> Iterator[np.ndarray]:
        return (self[i] for i in range(len(self)))
