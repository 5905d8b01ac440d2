"""Sound from MIDI files: a WAV rendered by the fluidsynth program with a General MIDI soundfont.

fluidsynth is run as a command, not linked: on Debian, ``apt-get install fluidsynth
timgm6mb-soundfont`` gives both. The soundfont is the one named by the caller, else by the
environment variable NOTELOOM_SOUNDFONT, else the first of the Debian ones installed.
"""

from __future__ import annotations

import os
import secrets
import shutil
import subprocess
import wave

SOUNDFONT_VARIABLE = "NOTELOOM_SOUNDFONT"
# default-GM.sf2 is Debian's choice among the installed General MIDI soundfonts (an alternative)
SOUNDFONTS = ("/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2",
              "/usr/share/sounds/sf2/TimGM6mb.sf2")
_INSTALL = "apt-get install fluidsynth timgm6mb-soundfont"


class RenderError(OSError):
    """fluidsynth or a soundfont is missing, or fluidsynth could not render the file."""


def find_soundfont(soundfont: str | os.PathLike[str] | None = None) -> str:
    """The soundfont to render with: `soundfont`, else $NOTELOOM_SOUNDFONT, else the first Debian
    General MIDI soundfont installed; checked to be a SoundFont file."""
    named_by = ""
    if soundfont is None and os.environ.get(SOUNDFONT_VARIABLE):
        soundfont, named_by = os.environ[SOUNDFONT_VARIABLE], f" (named by {SOUNDFONT_VARIABLE})"
    if soundfont is None:
        for candidate in SOUNDFONTS:
            if os.path.isfile(candidate):
                return candidate
        raise RenderError(f"no General MIDI soundfont found (looked for {', '.join(SOUNDFONTS)}): install one "
                          f"with `{_INSTALL}`, or name a .sf2 file with --soundfont or {SOUNDFONT_VARIABLE}")
    path = os.fspath(soundfont)
    named = f"the soundfont {path}{named_by}"
    try:
        with open(path, "rb") as f:
            head = f.read(12)
    except FileNotFoundError:
        raise RenderError(f"{named} does not exist") from None
    except OSError as e:
        raise RenderError(f"cannot read {named}: {e.strerror}") from None
    # fluidsynth takes a file it cannot read as a soundfont for its own default one, so look first
    if head[:4] != b"RIFF" or head[8:12] != b"sfbk":
        raise RenderError(f"{named} is not a SoundFont (.sf2) file")
    return path


def _failed(stderr: str) -> bool:
    # fluidsynth reports files it cannot read or write, and goes on with exit status 0
    return any(line.startswith("fluidsynth: error:") or "not a SoundFont or MIDI file" in line
               for line in stderr.splitlines())


def render(midi_path: str | os.PathLike[str], wav_path: str | os.PathLike[str], *,
           soundfont: str | os.PathLike[str] | None = None, sample_rate: int = 44100) -> None:
    """Renders a MIDI file to a WAV file (16-bit stereo at `sample_rate` Hz) with fluidsynth.
    `wav_path` is replaced only by a complete rendering. A missing program or soundfont, or a
    failed rendering (fluidsynth's messages included), raises RenderError, an OSError."""
    if not isinstance(sample_rate, int) or not 8000 <= sample_rate <= 96000:
        raise ValueError(f"sample_rate must be a whole number of Hz from 8000 to 96000, not {sample_rate!r}")
    program = shutil.which("fluidsynth")
    if program is None:
        raise RenderError(f"rendering needs the fluidsynth program, which is not on PATH: `{_INSTALL}`")
    font = os.path.abspath(find_soundfont(soundfont))
    midi = os.path.abspath(midi_path)  # absolute: a name starting with "-" is no option then
    try:
        with open(midi, "rb") as f:
            head = f.read(4)
    except OSError as e:
        raise RenderError(f"cannot read {os.fspath(midi_path)}: {e.strerror}") from None
    if head != b"MThd":
        raise RenderError(f"{os.fspath(midi_path)} is not a Standard MIDI File")
    out = os.path.abspath(wav_path)
    folder = os.path.dirname(out)
    if os.path.isdir(out):
        raise RenderError(f"cannot write {os.fspath(wav_path)}: it is a folder")
    if not os.path.isdir(folder):
        raise RenderError(f"cannot write {os.fspath(wav_path)}: no folder {folder}")
    # fluidsynth writes beside the target (its file type chosen by the extension), made by it so
    # that the umask decides the file's mode
    part = os.path.join(folder, f".{os.path.basename(out)}.{secrets.token_hex(6)}{os.path.splitext(out)[1] or '.wav'}")
    try:
        done = subprocess.run([program, "-ni", "-q", "-F", part, "-r", str(sample_rate), font, midi],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
        message = (done.stderr.strip() or done.stdout.strip()) or f"exit status {done.returncode}"
        if done.returncode != 0 or _failed(done.stderr):
            raise RenderError(f"fluidsynth could not render {os.fspath(midi_path)}: {message}")
        if not os.path.exists(part) or os.path.getsize(part) == 0 or (part.endswith(".wav") and _frames(part) == 0):
            raise RenderError(f"fluidsynth wrote no sound for {os.fspath(midi_path)}: {message}")
        os.replace(part, out)
    finally:
        if os.path.exists(part):
            os.unlink(part)


def _frames(path: str) -> int:
    try:
        with wave.open(path, "rb") as w:
            return w.getnframes()
    except (wave.Error, EOFError):
        return 0
