"""Corpora as they ship: tar and zip archives, Parquet files and bytes as sources of the main job,
encode_bytes, encode_dataset, and archives built to break the reader."""

import io
import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import tarfile
import zipfile
import zlib
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from noteloom import encode_bytes, encode_dataset, encode_files
from noteloom.sources import find_midi_files

from support import run_cli, tar_bytes, write_piece

KINDS = ["tar", "tar.gz", "tar.bz2", "tar.xz", "tar.zst", "zip", "parquet"]


def members(folder):
    """(name in the archive, bytes) of the files a folder walk finds, in its order."""
    return [(os.path.relpath(p, folder), Path(p).read_bytes()) for p in find_midi_files(str(folder))]


def _info(name, size):
    info = tarfile.TarInfo(name)
    info.size = size
    return info


def pack(entries, kind, path):
    """An archive or Parquet file of `entries` at `path`."""
    if kind.startswith("tar"):
        raw = tar_bytes(entries, tarfile.GNU_FORMAT)
        compress = {"tar": lambda b: b, "tar.gz": lambda b: zlib.compress(b, wbits=31),
                    "tar.bz2": lambda b: __import__("bz2").compress(b), "tar.xz": lambda b: __import__("lzma").compress(b),
                    "tar.zst": lambda b: pa.Codec("zstd").compress(b, asbytes=True)}[kind]
        path.write_bytes(compress(raw))
    elif kind == "zip":
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in entries:
                z.writestr(name, data)
    else:
        table = pa.table({"name": [n for n, _ in entries], "midi": pa.array([d for _, d in entries], pa.binary()),
                          "genre": [f"g{k % 2}" for k in range(len(entries))]})
        pq.write_table(table, path, row_group_size=3)
    return path


def records(out):
    return [json.loads(line) for line in (out / "manifest.jsonl").read_text().splitlines()]


def dataset_files(out):
    return {name: (out / name).read_bytes() for name in ("tokens.bin", "index.npy")}


@pytest.mark.parametrize("kind", KINDS)
def test_an_archive_encodes_as_the_folder_it_was_made_from(pieces, tmp_path, kind):
    # named without its kind: sources are known by their first bytes
    packed = pack(members(pieces), kind, tmp_path / "corpus.bin")
    folder = encode_dataset(pieces, tmp_path / "folder", threads=2)
    extra = {"name_column": "name", "meta_columns": "genre"} if kind == "parquet" else {}
    archive = encode_dataset([packed], tmp_path / "archive", threads=1, **extra)
    assert dataset_files(tmp_path / "archive") == dataset_files(tmp_path / "folder")
    mine, theirs = records(tmp_path / "archive"), records(tmp_path / "folder")
    assert [r["path"] for r in mine] == [f"{packed}::{os.path.relpath(r['path'], pieces)}" for r in theirs]
    assert [dict(r, path=None, meta=None) for r in mine] == [dict(r, path=None, meta=None) for r in theirs]
    if kind == "parquet":
        assert [r["meta"] for r in mine] == [{"genre": f"g{k % 2}"} for k in range(len(mine))]
    assert (archive.files, archive.kept, archive.tokens) == (folder.files, folder.kept, folder.tokens) == (7, 5, archive.tokens)


def test_parquet_layouts_of_the_hub(pieces, tmp_path):
    entries = members(pieces)
    struct_column = pa.array([{"bytes": d, "path": n} for n, d in entries],
                             pa.struct([("bytes", pa.binary()), ("path", pa.string())]))
    older = tmp_path / "older.parquet"  # music = {bytes, path}: the path field names the rows
    pq.write_table(pa.table({"music": struct_column, "md5": [str(k) for k in range(len(entries))]}), older)
    newer = tmp_path / "newer.parquet"  # large_binary and binary_view, with a null row: numbered rows
    data = [d for _, d in entries] + [None]
    pq.write_table(pa.table({"music": pa.array(data, pa.large_binary()), "md5": [str(k) for k in range(len(data))]}),
                   newer)
    view = tmp_path / "view.parquet"
    pq.write_table(pa.table({"midi": pa.array(data, pa.binary_view())}), view)
    expected = [r.reason is None for r in encode_files(p for p in find_midi_files(str(pieces)))]
    for path, names in ((older, [n for n, _ in entries]), (newer, range(len(data))), (view, range(len(data)))):
        out = tmp_path / f"out-{path.stem}"
        encode_dataset(path, out)
        rows = records(out)
        assert [r["path"] for r in rows] == [f"{path}::{n}" for n in names]
        assert [r["status"] == "ok" for r in rows[: len(entries)]] == expected
    assert records(tmp_path / "out-newer")[-1]["reason"].startswith("no data")


def test_encode_bytes_gives_what_encode_files_gives(pieces, tmp_path):
    files = [p for p in sorted(pieces.rglob("*")) if p.is_file()]
    (tmp_path / "cut.mid").write_bytes(files[0].read_bytes()[:30])
    (tmp_path / "nothing.mid").write_bytes(b"")
    files += [tmp_path / "cut.mid", tmp_path / "nothing.mid"]
    kinds = [bytes, memoryview, lambda b: np.frombuffer(b, np.uint8), bytearray]
    items = [(str(p), kinds[k % len(kinds)](p.read_bytes())) for k, p in enumerate(files)]
    for options in ({}, {"normalize": False, "oov": "unk", "threads": 1}, {"max_tokens": 20}):
        got, want = list(encode_bytes(items, **options)), list(encode_files(files, **options))
        assert [(g.path, g.reason, g.hash, g.oov) for g in got] == [(str(w.path), w.reason, w.hash, w.oov) for w in want]
        assert all((g.ids is None and w.ids is None) or np.array_equal(g.ids, w.ids) for g, w in zip(got, want))


def test_encode_dataset_writes_what_the_command_line_writes(pieces, tmp_path):
    tgz = pack(members(pieces), "tar.gz", tmp_path / "c.tgz")
    table = pack(members(pieces), "parquet", tmp_path / "c.parquet")
    sources = [pieces, tgz, table]
    for fmt, out in (("bin", "ds"), ("parquet", "ds.parquet")):
        r = run_cli("encode", *sources, "-o", tmp_path / f"cli-{out}", "--dedupe", "--format", fmt)
        assert r.returncode == 0, r.stderr
        summary = encode_dataset(sources, tmp_path / f"py-{out}", dedupe=True, format=fmt)
        if fmt == "bin":
            for name in ("tokens.bin", "index.npy", "manifest.jsonl", "meta.json"):
                assert (tmp_path / f"py-{out}" / name).read_bytes() == (tmp_path / f"cli-{out}" / name).read_bytes()
            rows = records(tmp_path / f"py-{out}")
            assert summary.files == len(rows) == 21 and summary.kept == sum(r["status"] == "ok" for r in rows)
            assert summary.reasons == {"duplicate": 11, "load failed": 3, "no notes": 3} and summary.skipped == 17
        else:
            cli, py = pq.read_table(tmp_path / f"cli-{out}"), pq.read_table(tmp_path / f"py-{out}")
            assert cli.equals(py) and json.loads(py.schema.metadata[b"noteloom"])["options"]["dedupe"]
    done = []  # a progress callable hears the inputs done so far
    mixed = encode_dataset([("in memory.mid", (pieces / "a.mid").read_bytes()), pieces / "a.mid"], tmp_path / "m",
                           progress=done.append)
    assert [r["path"] for r in records(tmp_path / "m")] == ["in memory.mid", str(pieces / "a.mid")]
    assert mixed.kept == 2 and done and done[-1] == 2


@pytest.mark.parametrize("kind", ["tar.gz", "parquet"])
def test_a_resumed_archive_run_writes_the_bytes_of_an_uninterrupted_one(pieces, tmp_path, kind):
    entries = members(pieces) * 40  # two archive chunks, many Parquet batches
    tgz = pack([(f"{k}/{n}", d) for k, (n, d) in enumerate(entries)], kind, tmp_path / "c.src")
    whole = tmp_path / "whole"
    encode_dataset(tgz, whole)
    cut = tmp_path / "cut"
    shutil.copytree(whole, cut)
    lines = (cut / "manifest.jsonl").read_bytes().splitlines(keepends=True)
    (cut / "manifest.jsonl").write_bytes(b"".join(lines[:100]) + lines[100][:20])  # killed mid-window
    meta = json.loads((cut / "meta.json").read_text())
    (cut / "meta.json").write_text(json.dumps(dict(meta, complete=False)))
    summary = encode_dataset(tgz, cut, resume=True)
    assert summary.resumed == 100 and summary.files == len(entries) - 100
    for name in ("tokens.bin", "index.npy", "manifest.jsonl", "meta.json"):
        assert (cut / name).read_bytes() == (whole / name).read_bytes()
    other = run_cli("encode", pack(entries[:3], "zip", tmp_path / "o.zip"), "-o", cut, "--resume")
    assert other.returncode == 1 and "cannot resume" in other.stderr


# --- hostile archives ------------------------------------------------------------------------


def statuses(out):
    return [(r["path"].partition("::")[2], r["status"], r["reason"]) for r in records(out)]


def test_links_devices_and_odd_names_are_never_followed_or_written(pieces, tmp_path, monkeypatch):
    good = (pieces / "a.mid").read_bytes()
    outside = tmp_path / "outside.mid"
    outside.write_bytes(good)
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w") as tar:
        for name, kind, target in (("sym.mid", tarfile.SYMTYPE, str(outside)), ("hard.mid", tarfile.LNKTYPE, "../a.mid"),
                                   ("dev.mid", tarfile.CHRTYPE, ""), ("fifo.mid", tarfile.FIFOTYPE, ""),
                                   ("dir.mid", tarfile.DIRTYPE, "")):
            info = tarfile.TarInfo(name)
            info.type, info.linkname = kind, target
            tar.addfile(info)
        for name in ("../escape.mid", "/abs.mid"):
            tar.addfile(_info(name, len(good)), io.BytesIO(good))
    archive = tmp_path / "hostile.tar"
    archive.write_bytes(buffer.getvalue())
    zipped = tmp_path / "hostile.zip"
    with zipfile.ZipFile(zipped, "w") as z:
        link = zipfile.ZipInfo("zlink.mid")
        link.create_system, link.external_attr = 3, (stat.S_IFLNK | 0o777) << 16
        z.writestr(link, str(outside))
        z.writestr("../zescape.mid", good)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    before = sorted(p.name for p in tmp_path.iterdir())
    summary = encode_dataset([archive, zipped], tmp_path / "out")
    assert summary.reasons == {"not a regular file": 5}
    assert statuses(tmp_path / "out") == [
        ("sym.mid", "skipped", "not a regular file: symbolic link"),
        ("hard.mid", "skipped", "not a regular file: hard link"),
        ("dev.mid", "skipped", "not a regular file: character device"),
        ("fifo.mid", "skipped", "not a regular file: FIFO"),
        ("../escape.mid", "ok", None),
        ("/abs.mid", "ok", None),
        ("zlink.mid", "skipped", "not a regular file: symbolic link"),
        ("../zescape.mid", "ok", None),
    ]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(before + ["out"]) and not any(work.iterdir())


def _patched_zip(path, name, data, *, declared=None, flags=0, method=zipfile.ZIP_DEFLATED):
    """A zip of one member whose headers claim `declared` bytes and carry `flags`."""
    with zipfile.ZipFile(path, "w", method) as z:
        z.writestr(name, data)
    raw = bytearray(path.read_bytes())
    for signature, flag_at, size_at in ((b"PK\x03\x04", 6, 22), (b"PK\x01\x02", 8, 24)):
        at = raw.index(signature)
        raw[at + flag_at] |= flags
        if declared is not None:
            raw[at + size_at : at + size_at + 4] = struct.pack("<I", declared)
    path.write_bytes(bytes(raw))
    return path


BIG_ARCHIVES = r"""
import io, os, sys, tarfile, zipfile
from noteloom import encode_dataset
folder, good = sys.argv[1], open(sys.argv[2], "rb").read()
class Zeros(io.RawIOBase):
    def __init__(self, n): self.left = n
    def readable(self): return True
    def readinto(self, b):
        n = min(len(b), self.left); b[:n] = bytes(n); self.left -= n; return n
with tarfile.open(os.path.join(folder, "big.tgz"), "w:gz", compresslevel=1) as tar:
    info = tarfile.TarInfo("big.mid"); info.size = 1 << 30
    tar.addfile(info, Zeros(1 << 30))
    info = tarfile.TarInfo("after.mid"); info.size = len(good)
    tar.addfile(info, io.BytesIO(good))
with zipfile.ZipFile(os.path.join(folder, "big.zip"), "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    with z.open("big.mid", "w", force_zip64=True) as member:
        chunk = bytes(1 << 20)
        for _ in range(1024): member.write(chunk)
    z.writestr("after.mid", good)
summary = encode_dataset([os.path.join(folder, "big.tgz"), os.path.join(folder, "big.zip")], os.path.join(folder, "out"))
# the peak of this program's own memory (ru_maxrss would start from the forking parent's)
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(summary.kept, peak // 1024)
"""


def test_members_past_the_file_bound_are_skipped_without_being_held(pieces, tmp_path):
    r = subprocess.run([sys.executable, "-c", BIG_ARCHIVES, str(tmp_path), str(pieces / "a.mid")],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    kept, peak_mib = map(int, r.stdout.split())
    assert kept == 2 and peak_mib < 600
    assert statuses(tmp_path / "out") == [("big.mid", "skipped", "Failed to load MIDI file: file larger than 256 MiB"),
                                         ("after.mid", "ok", None)] * 2
    # a header that claims 1 KiB of a member inflating to 8 MiB: inflating stops past the claim
    bomb = _patched_zip(tmp_path / "bomb.zip", "bomb.mid", bytes(8 << 20), declared=1024)
    encode_dataset(bomb, tmp_path / "bomb")
    assert statuses(tmp_path / "bomb")[0] == ("bomb.mid", "skipped",
                                              "damaged archive: zip member inflates past its declared size")


def _damaged(kind, entries):
    """An archive of `entries` damaged as `kind` says, and the names expected to be read."""
    names = [n for n, _ in entries]
    if kind == "tar header":
        raw = bytearray(tar_bytes(entries, tarfile.GNU_FORMAT))
        at = raw.index(b"ustar", raw.index(names[3].encode())) - 257  # the fourth member's header
        raw[at + 148 : at + 156] = b"0000000\0"
        return bytes(raw), names[:3] + ["<at byte %d>" % at] + names[4:], 3
    if kind == "gzip cut":
        packed = zlib.compress(tar_bytes(entries, tarfile.GNU_FORMAT), wbits=31)
        return packed[: len(packed) * 2 // 3], None, None
    if kind == "gzip crc":
        packed = bytearray(zlib.compress(tar_bytes(entries, tarfile.GNU_FORMAT), wbits=31))
        packed[-8] ^= 0xFF
        return bytes(packed), names + [None], len(names)
    raw = io.BytesIO()
    with zipfile.ZipFile(raw, "w", zipfile.ZIP_STORED) as z:
        for name, data in entries:
            z.writestr(name, data)
    raw = bytearray(raw.getvalue())
    if kind == "zip crc":
        raw[raw.index(b"MTrk", raw.index(names[2].encode())) + 12] ^= 0x55
        return bytes(raw), names, 2
    if kind == "zip cut":
        cut = raw.index(names[4].encode()) + 40  # within the fifth member's local entry
        return bytes(raw[:cut]), names[:4] + [names[4]], 4
    local = raw.index(names[1].encode()) - 30  # the second member marked encrypted
    central = raw.index(names[1].encode(), raw.index(b"PK\x01\x02")) - 46
    raw[local + 6] |= 1
    raw[central + 8] |= 1
    return bytes(raw), names, 1


@pytest.mark.parametrize("kind", ["tar header", "gzip cut", "gzip crc", "zip crc", "zip cut", "zip encrypted"])
def test_damage_is_recorded_and_reading_goes_on(tmp_path, kind):
    entries = [(f"m{k}.mid", write_piece(tmp_path / f"{k}.mid", 11 * k).read_bytes()) for k in range(8)]
    data, names, damaged_at = _damaged(kind, entries)
    archive = tmp_path / "damaged"
    archive.write_bytes(data)
    r = run_cli("encode", archive, "-o", tmp_path / "out")
    assert r.returncode == 0 and "Traceback" not in r.stderr, r.stderr
    assert ("skipped 1: encrypted" if kind == "zip encrypted" else "skipped 1: damaged archive") in r.stderr
    got = statuses(tmp_path / "out")
    if names is None:  # a stream cut short: what came before the cut, then the damage
        assert [s for _, s, _ in got[:-1]] == ["ok"] * (len(got) - 1) and len(got) > 1
        assert got[-1][1:] == ("skipped", "damaged archive: gzip data: unexpected end of file")
        return
    assert len(got) == len(names)
    assert [g[0] for g, n in zip(got, names) if n is not None] == [n for n in names if n is not None]
    _, status, reason = got[damaged_at]
    assert status == "skipped"
    assert reason == "encrypted zip member" if kind == "zip encrypted" else reason.startswith("damaged archive: ")
    assert all(s == "ok" for k, (_, s, _) in enumerate(got) if k != damaged_at)


def test_parquet_sources_that_are_wrong(pieces, tmp_path):
    fake = tmp_path / "fake.parquet"
    fake.write_bytes(b"not parquet at all")
    r = run_cli("encode", fake, pieces / "a.mid", "-o", tmp_path / "out")
    assert r.returncode == 0 and records(tmp_path / "out")[0]["reason"].startswith("not a Parquet file")
    table = pack(members(pieces), "parquet", tmp_path / "t.parquet")
    for args, said in ((["--column", "nope"], "no column 'nope'; its columns: name, midi, genre"),
                       (["--column", "genre"], "holds no bytes; its binary columns: midi"),
                       (["--meta-columns", "name,year"], "no column 'year'")):
        r = run_cli("encode", table, "-o", tmp_path / "bad", *args)
        assert r.returncode == 1 and said in r.stderr and "Traceback" not in r.stderr, r.stderr


def test_member_names_that_are_not_utf8_come_back_as_their_bytes(pieces, tmp_path):
    good = (pieces / "a.mid").read_bytes()
    raw = bytearray(tar_bytes([("caf?.mid", good), ("plain.mid", good)], tarfile.GNU_FORMAT))
    raw[raw.index(b"caf?") + 3] = 0xE9  # a Latin-1 name, as old archivers wrote them
    header = raw[:512]
    header[148:156] = b" " * 8
    raw[148:156] = b"%06o\0 " % sum(header)
    archive = tmp_path / "latin.tar"
    archive.write_bytes(bytes(raw))
    listing = tmp_path / "list.txt"
    listing.write_text(f"{archive}\n")
    assert run_cli("encode", "--paths-from", listing, "-o", tmp_path / "out").returncode == 0
    lines = (tmp_path / "out" / "manifest.jsonl").read_bytes().splitlines()
    names = [json.loads(line)["path"].partition("::")[2] for line in lines]
    assert [os.fsencode(n) for n in names] == [b"caf\xe9.mid", b"plain.mid"] and len(set(names)) == 2
