"""The archive reader on the variants real archivers write: concatenated streams, long names of
every dialect, zip64, streamed zips, padding and garbage after the end; and packed zip members
(inflated by the encoding threads) against members the reader inflates."""

import bz2
import io
import json
import lzma
import os
import tarfile
import zipfile
import zlib

import pyarrow as pa
import pytest

from noteloom import encode_dataset

from support import tar_bytes, write_piece

LONG = "deep/" * 30 + "long name.mid"  # past ustar's 100-byte name field


@pytest.fixture
def entries(tmp_path):
    return [(f"m{k}.mid", write_piece(tmp_path / f"{k}.mid", 7 * k).read_bytes()) for k in range(6)]


def halves(data, compress):
    """`data` compressed as two concatenated streams (what pigz, pbzip2 and zstd -T write)."""
    return compress(data[: len(data) // 2]) + compress(data[len(data) // 2 :])


def encoded(tmp_path, archive_bytes, name="a", **options):
    path = tmp_path / name
    path.write_bytes(archive_bytes)
    out = tmp_path / f"out-{name}"
    summary = encode_dataset(path, out, **options)
    rows = [json.loads(line) for line in (out / "manifest.jsonl").read_text().splitlines()]
    return summary, [(r["path"].partition("::")[2], r["status"], r["reason"]) for r in rows]


GZIP, BZIP2, XZ = (lambda b: zlib.compress(b, wbits=31)), bz2.compress, lzma.compress
ZSTD = lambda b: pa.Codec("zstd").compress(b, asbytes=True)  # noqa: E731


@pytest.mark.parametrize("compress", [GZIP, BZIP2, XZ, ZSTD], ids=["gzip", "bzip2", "xz", "zstd"])
def test_concatenated_streams_read_as_one(entries, tmp_path, compress):
    summary, got = encoded(tmp_path, halves(tar_bytes(entries), compress))
    assert got == [(n, "ok", None) for n, _ in entries] and summary.kept == len(entries)


@pytest.mark.parametrize("compress", [GZIP, BZIP2, XZ, ZSTD], ids=["gzip", "bzip2", "xz", "zstd"])
def test_a_stream_cut_short_is_damage_after_what_it_held(entries, tmp_path, compress):
    whole = compress(tar_bytes(entries))
    _, got = encoded(tmp_path, whole[: len(whole) - 30])
    assert got[-1][1] == "skipped" and got[-1][2].startswith("damaged archive: ")
    assert all(status == "ok" for _, status, _ in got[:-1])


def test_what_follows_the_end_of_a_gzip_stream(entries, tmp_path):
    packed = GZIP(tar_bytes(entries))
    _, padded = encoded(tmp_path, packed + bytes(4096), "padded")  # tape blocking: zeros are the end
    assert [s for _, s, _ in padded] == ["ok"] * len(entries)
    _, garbage = encoded(tmp_path, packed + b"trailing garbage", "garbage")
    assert garbage[-1][1:] == ("skipped", "damaged archive: gzip data: unexpected bytes after the end of the stream")


@pytest.mark.parametrize("fmt", [tarfile.PAX_FORMAT, tarfile.GNU_FORMAT, tarfile.USTAR_FORMAT],
                         ids=["pax", "gnu", "ustar"])
def test_long_names_of_every_tar_dialect(entries, tmp_path, fmt):
    name = LONG if fmt != tarfile.USTAR_FORMAT else "deep/" * 20 + "x.mid"  # ustar: prefix + name
    _, got = encoded(tmp_path, tar_bytes([(name, entries[0][1]), entries[1]], fmt))
    assert got == [(name, "ok", None), (entries[1][0], "ok", None)]


def test_a_gnu_base256_size_and_a_pax_size_are_read(entries, tmp_path):
    raw = bytearray(tar_bytes(entries[:2], tarfile.GNU_FORMAT))
    size = len(entries[0][1])
    raw[124:136] = b"\x80" + size.to_bytes(11, "big")  # base-256, as GNU tar writes sizes past 8 GiB
    raw[148:156] = b" " * 8
    raw[148:156] = b"%06o\0 " % sum(raw[:512])
    _, got = encoded(tmp_path, bytes(raw))
    assert [s for _, s, _ in got] == ["ok", "ok"]


def zip_of(entries, **options):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            with z.open(name, "w", **options) as member:
                member.write(data)
    return buffer.getvalue()


class Unseekable(io.RawIOBase):
    """A stream zipfile cannot seek back in: it writes data descriptors after each member."""

    def __init__(self):
        self.parts = []

    def writable(self):
        return True

    def write(self, b):
        self.parts.append(bytes(b))
        return len(b)


def test_zip64_and_streamed_zips(entries, tmp_path):
    _, got = encoded(tmp_path, zip_of(entries, force_zip64=True), "zip64")
    assert [s for _, s, _ in got] == ["ok"] * len(entries)
    sink = Unseekable()
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(name, data)
    streamed = b"".join(sink.parts)
    _, listed = encoded(tmp_path, streamed, "streamed")
    assert listed == [(n, "ok", None) for n, _ in entries]
    # without its directory, the walk of local headers finds each member's end by inflating it
    cut = streamed[: streamed.index(b"PK\x01\x02")]
    _, walked = encoded(tmp_path, cut, "walked")
    assert walked[:-1] == listed and walked[-1][2] == "damaged archive: zip central directory missing or unreadable"


def test_members_sharing_their_data_are_damage(entries, tmp_path):
    raw = bytearray(zip_of(entries[:2]))
    directory = raw.index(b"PK\x01\x02")
    second = raw.index(b"PK\x01\x02", directory + 4)
    raw[second + 42 : second + 46] = raw[directory + 42 : directory + 46]  # both point at the first's data
    _, got = encoded(tmp_path, bytes(raw))
    assert [r for _, _, r in got].count("damaged archive: zip member overlaps another member") == 1


@pytest.mark.parametrize("damage", ["crc", "data"])
def test_packed_members_give_what_the_reader_gives(entries, tmp_path, damage):
    raw = bytearray(zip_of(entries))
    at = raw.index(entries[2][0].encode()) + len(entries[2][0]) + 8  # within the third member's data
    if damage == "crc":
        crc_at = raw.index(entries[2][0].encode()) - 30 + 14
        raw[crc_at] ^= 0xFF
        central = raw.index(entries[2][0].encode(), raw.index(b"PK\x01\x02")) - 46 + 16
        raw[central] ^= 0xFF
    else:
        raw[at] ^= 0xFF
    cores = os.process_cpu_count() or 1
    by_reader = encoded(tmp_path, bytes(raw), "reader", threads=max(1, cores - 1) if cores > 1 else 1)
    by_engine = encoded(tmp_path, bytes(raw), "engine", threads=cores)
    assert by_reader[1] == by_engine[1]
    assert by_engine[1][2][1] == "skipped" and by_engine[1][2][2].startswith("damaged archive: ")
    assert [s for k, (_, s, _) in enumerate(by_engine[1]) if k != 2] == ["ok"] * (len(entries) - 1)


def test_a_directory_count_that_wrapped_loses_no_member(entries, tmp_path):
    raw = bytearray(zip_of(entries))
    end = raw.rindex(b"PK\x05\x06")
    raw[end + 8 : end + 12] = (2).to_bytes(2, "little") * 2  # what writers without zip64 leave past 65535
    _, got = encoded(tmp_path, bytes(raw))
    assert [n for n, _, _ in got] == [n for n, _ in entries]


@pytest.mark.parametrize("threads", [1, os.process_cpu_count() or 1])
def test_members_claiming_more_than_they_hold(tmp_path, threads):
    raw = io.BytesIO()  # each declares 200 MB, and holds an empty deflate stream
    with zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED) as z:
        for k in range(300):
            z.writestr(f"{k}.mid", b"")
    raw = bytearray(raw.getvalue())
    for signature, size_at in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
        at = raw.find(signature)
        while at >= 0:
            raw[at + size_at : at + size_at + 4] = (200 << 20).to_bytes(4, "little")
            at = raw.find(signature, at + 4)
    summary, got = encoded(tmp_path, bytes(raw), threads=threads)
    assert summary.reasons == {"damaged archive": 300}
    assert {r for _, _, r in got} == {"damaged archive: zip member shorter than its header says"}
