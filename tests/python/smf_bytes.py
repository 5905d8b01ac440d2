"""Byte-level builders for Standard MIDI Files in tests.

Every event helper returns the bytes of one track event, delta time included, so a test can
assemble a file byte by byte:

    data = midi_file(1, 480, [track(program(0, 0, 0), note_on(0, 0, 60, 90), note_off(480, 0, 60), end_of_track())])
"""

from __future__ import annotations

import struct

def varlen(value: int) -> bytes:
    """Variable-length quantity (7 bits per byte, high bit set on all but the last byte)."""
    if value < 0:
        raise ValueError("varlen of a negative value")
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def chunk(tag: bytes, body: bytes, length: int | None = None) -> bytes:
    """A chunk: 4-byte tag, 32-bit big-endian length (the body's, unless given), body."""
    assert len(tag) == 4
    return tag + struct.pack(">I", len(body) if length is None else length) + body


def smpte_division(fps: int, subframes: int) -> int:
    """The 16-bit division field for timecode timing: -fps in the high byte, subframes in the low."""
    return ((-fps) & 0xFF) << 8 | subframes


def header(fmt: int, ntracks: int, division: int, length: int = 6, extra: bytes = b"") -> bytes:
    """An MThd chunk. `length` is the declared length; `extra` bytes follow the six standard ones."""
    return chunk(b"MThd", struct.pack(">HHH", fmt, ntracks, division) + extra, length=length + len(extra))


def track(*events: bytes, length: int | None = None) -> bytes:
    """An MTrk chunk holding the concatenated event bytes (no end-of-track is added)."""
    return chunk(b"MTrk", b"".join(events), length=length)


def midi_file(fmt: int, division: int, tracks, ntracks: int | None = None) -> bytes:
    """Header plus the given chunks; the header declares len(tracks) tracks unless told otherwise."""
    tracks = list(tracks)
    return header(fmt, len(tracks) if ntracks is None else ntracks, division) + b"".join(tracks)


def riff(smf_data: bytes, before: tuple[tuple[bytes, bytes], ...] = ()) -> bytes:
    """An RMID file: RIFF container whose "data" chunk holds the SMF. `before` lists extra
    (tag, body) chunks placed ahead of "data"; RIFF chunks are padded to an even size."""

    def riff_chunk(tag: bytes, body: bytes) -> bytes:
        return tag + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")

    body = b"RMID" + b"".join(riff_chunk(t, b) for t, b in before) + riff_chunk(b"data", smf_data)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def channel_event(delta: int, status: int, *data: int, running: bool = False) -> bytes:
    """A channel event; with running=True the status byte is left out."""
    return varlen(delta) + (b"" if running else bytes([status])) + bytes(data)


def note_on(delta: int, channel: int, key: int, velocity: int, running: bool = False) -> bytes:
    return channel_event(delta, 0x90 | channel, key, velocity, running=running)


def note_off(delta: int, channel: int, key: int, velocity: int = 64, running: bool = False) -> bytes:
    return channel_event(delta, 0x80 | channel, key, velocity, running=running)


def controller(delta: int, channel: int, number: int, value: int, running: bool = False) -> bytes:
    return channel_event(delta, 0xB0 | channel, number, value, running=running)


def program(delta: int, channel: int, prog: int, running: bool = False) -> bytes:
    return channel_event(delta, 0xC0 | channel, prog, running=running)


def key_pressure(delta: int, channel: int, key: int, value: int) -> bytes:
    return channel_event(delta, 0xA0 | channel, key, value)


def channel_pressure(delta: int, channel: int, value: int) -> bytes:
    return channel_event(delta, 0xD0 | channel, value)


def pitch_bend(delta: int, channel: int, value: int) -> bytes:
    return channel_event(delta, 0xE0 | channel, value & 0x7F, value >> 7)


def meta(delta: int, mtype: int, payload: bytes) -> bytes:
    return varlen(delta) + bytes([0xFF, mtype]) + varlen(len(payload)) + payload


def tempo(delta: int, usec_per_beat: int) -> bytes:
    return meta(delta, 0x51, usec_per_beat.to_bytes(3, "big"))


def _text_bytes(value: str | bytes) -> bytes:
    return value.encode("utf-8") if isinstance(value, str) else value


def text(delta: int, value: str | bytes) -> bytes:
    return meta(delta, 0x01, _text_bytes(value))


def copyright(delta: int, value: str | bytes) -> bytes:  # noqa: A001 - the SMF event's name
    return meta(delta, 0x02, _text_bytes(value))


def track_name(delta: int, value: str | bytes) -> bytes:
    return meta(delta, 0x03, _text_bytes(value))


def end_of_track(delta: int = 0) -> bytes:
    return meta(delta, 0x2F, b"")


def sysex(delta: int, payload: bytes) -> bytes:
    """F0 <len> <payload>; the payload should end with F7."""
    return varlen(delta) + b"\xf0" + varlen(len(payload)) + payload
