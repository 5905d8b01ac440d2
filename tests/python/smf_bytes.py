"""Byte-level helpers for building Standard MIDI Files in tests, plus a small reference model of
how noteloom lays out the files it writes and how it turns track events into messages.

Builder: every event helper returns the bytes of one track event, delta time included, so a test
can assemble a file byte by byte:

    data = midi_file(1, 480, [track(program(0, 0, 0), note_on(0, 0, 60, 90), note_off(480, 0, 60), end_of_track())])

Model: events are plain tuples (see EVENT KINDS below). `layout` reproduces the track table the
writer builds for a MidiDict, `encode` turns tracks of (delta, event) into file bytes with running
status, and `load_events` turns tracks of (delta, event) into the message lists the loader
produces. The tests compare noteloom against these, and the model against hand-written bytes.
"""

from __future__ import annotations

import struct

# --- builder ------------------------------------------------------------------------------------


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


# --- model --------------------------------------------------------------------------------------
#
# EVENT KINDS (plain tuples):
#   ("note_on", channel, key, velocity)      ("note_off", channel, key, velocity)
#   ("control", channel, number, value)      ("program", channel, program)
#   ("tempo", usec)                          ("text", payload_bytes)     ("copyright", payload_bytes)
#   ("end_of_track",)                        ("other",)  - anything the loader ignores
#
# Plain message forms (as produced by `plain` in the tests):
#   notes (pitch, start, end, velocity, tick, channel); tempos (data, tick);
#   instruments (program, tick, channel); pedals (data, tick, channel); metas (msg_type, text)


def i32(value: int) -> int:
    """The signed 32-bit reading of the low 32 bits of `value`."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def load_events(tracks, ticks_per_beat: int) -> dict:
    """The messages the loader makes from tracks of (delta, event), defaults and sorting included."""
    notes, tempos, instruments, pedals, metas = [], [], [], [], []
    open_notes: dict[tuple[int, int], list[tuple[int, int]]] = {}
    for events in tracks:
        running = 0
        for delta, ev in events:
            running = (running + delta) & 0xFFFFFFFF
            tick = i32(running)
            kind = ev[0]
            if kind == "note_on" and ev[3] > 0:
                open_notes.setdefault((ev[1], ev[2]), []).append((tick, ev[3]))
            elif kind in ("note_on", "note_off"):
                channel, key = ev[1], ev[2]
                still_open = []
                for start, velocity in open_notes.pop((channel, key), []):
                    if start == tick:
                        still_open.append((start, velocity))
                    else:
                        notes.append((key, start, tick, velocity, start, channel))
                if still_open:
                    open_notes[(channel, key)] = still_open
            elif kind == "control" and ev[2] == 64:
                pedals.append((1 if ev[3] >= 64 else 0, tick, ev[1]))
            elif kind == "program":
                instruments.append((ev[2], tick, ev[1]))
            elif kind == "tempo":
                tempos.append((ev[1], tick))
            elif kind in ("text", "copyright"):
                try:
                    metas.append((kind, ev[1].decode("utf-8")))
                except UnicodeDecodeError:
                    pass
    if not tempos:
        tempos.append((500000, 0))
    if not instruments:
        instruments.append((0, 0, 0))
    return {
        "ticks_per_beat": ticks_per_beat,
        "notes": sorted(notes, key=lambda n: n[4]),
        "tempos": sorted(tempos, key=lambda t: t[1]),
        "instruments": sorted(instruments, key=lambda i: i[1]),
        "pedals": sorted(pedals, key=lambda p: p[1]),
        "metas": metas,
    }


def layout(notes=(), tempos=(), instruments=(), pedals=(), metas=()):
    """The tracks of (delta, event) that the writer produces for a MidiDict's message lists.

    notes (pitch, start, end, velocity, channel, ...); tempos (data, tick); instruments
    (program, tick, channel); pedals (data, tick, channel); metas (msg_type, text) at tick 0.
    """
    table: dict[int, list] = {0: []}
    ordered = sorted(instruments, key=lambda m: m[0])
    channel_track: dict[int, int] = {}
    k = 0
    for _prog, _tick, channel in ordered:
        k = (k + 1) % 256
        table[k] = []
        channel_track[channel] = k
    for data, tick in tempos:
        table[0].append((tick, ("tempo", data & 0xFFFFFF)))
    for msg_type, value in metas:
        if msg_type in ("text", "copyright"):
            table[0].append((0, (msg_type, value.encode("utf-8"))))
    k = 0
    for prog, tick, channel in ordered:
        k = (k + 1) % 256
        table[k].append((tick, ("program", channel & 0x0F, prog & 0x7F)))
    for data, tick, channel in pedals:
        if channel in channel_track:
            table[channel_track[channel]].append((tick, ("control", channel & 0x0F, 64, 127 if data > 0 else 0)))
    for note in notes:
        pitch, start, end, velocity, channel = note[:5]
        if channel in channel_track:
            t = table[channel_track[channel]]
            t.append((start, ("note_on", channel & 0x0F, pitch & 0x7F, velocity & 0x7F)))
            t.append((end, ("note_off", channel & 0x0F, pitch & 0x7F, 64)))
    tracks = []
    for number in sorted(table):
        events = sorted(table[number], key=lambda e: e[0])
        out, previous = [], 0
        for tick, ev in events:
            delta = tick - previous
            out.append((delta & 0x0FFFFFFF if delta > 0 else 0, ev))
            previous = tick
        out.append((0, ("end_of_track",)))
        tracks.append(out)
    return tracks


_STATUS = {"note_off": 0x80, "note_on": 0x90, "control": 0xB0, "program": 0xC0}
_META = {"tempo": 0x51, "text": 0x01, "copyright": 0x02, "end_of_track": 0x2F}


def encode_event(ev, running_status):
    """Bytes of one event (without delta) and the running status after it."""
    kind = ev[0]
    if kind in _STATUS:
        status = _STATUS[kind] | ev[1]
        data = bytes(v & 0x7F for v in ev[2:])
        return (b"" if status == running_status else bytes([status])) + data, status
    if kind == "tempo":
        payload = ev[1].to_bytes(3, "big")
    elif kind in ("text", "copyright"):
        payload = ev[1]
    else:
        payload = b""
    return bytes([0xFF, _META[kind]]) + varlen(len(payload)) + payload, None


def encode(fmt: int, division: int, tracks) -> bytes:
    """File bytes for tracks of (delta, event): channel events use running status, meta events
    cancel it."""
    chunks = []
    for events in tracks:
        body, status = [], None
        for delta, ev in events:
            data, status = encode_event(ev, status)
            body.append(varlen(delta) + data)
        chunks.append(track(*body))
    return midi_file(fmt, division, chunks)
