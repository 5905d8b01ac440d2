"""Pictures (piano rolls, dataset statistics) and sound (fluidsynth renderings)."""

import collections
import importlib.util
import os
import re
import shutil
import sys
import subprocess
import wave

import numpy as np
import pytest

import noteloom
from noteloom.audio import SOUNDFONTS, render
from noteloom.pictures import dataset_stats, plot_roll
from noteloom.vocabulary import tokenizer

from support import run_cli, write_piece

HAS_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
needs_matplotlib = pytest.mark.skipif(not HAS_MATPLOTLIB, reason="matplotlib is not installed")
needs_fluidsynth = pytest.mark.skipif(
    shutil.which("fluidsynth") is None or not (os.environ.get("NOTELOOM_SOUNDFONT") or any(map(os.path.isfile, SOUNDFONTS))),
    reason="the fluidsynth program or a General MIDI soundfont is not installed")


def read_png(path, width, height):
    """The picture at `path`, checked to be a PNG of at least width x height that is not one colour."""
    from matplotlib.image import imread

    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = imread(path)
    assert image.shape[1] >= width and image.shape[0] >= height
    assert len(np.unique(image.reshape(-1, image.shape[2]), axis=0)) > 10
    return image


def oracle_stats(ds, indices):
    """What dataset_stats should say of sequences `indices`, from their IDs and decoded pieces."""
    ids = [np.asarray(ds.stored(i)) for i in indices]
    instruments = collections.Counter()
    for seq in ids:
        instruments.update({t[0].removeprefix("prefix:instrument:") for t in tokenizer().decode(seq.tolist())
                            if isinstance(t, tuple) and t[0].startswith("prefix:instrument:")})
    pitched = [n.pitch for seq in ids for n in noteloom.ids_to_midi(seq).note_msgs if n.channel != 9]
    return [len(s) for s in ids], instruments, np.bincount(pitched, minlength=128)


@needs_matplotlib
def test_a_roll_draws_each_channel_in_its_colour(tmp_path):
    piece = noteloom.MidiDict()
    piece.add_tempo(500000, 0)
    piece.add_instrument(0, 0, 0)
    piece.add_note(60, 0, 8 * 480, 127, 0)  # 4 s, as loud as can be: opaque, across the whole roll
    piece.add_note(36, 480, 500, 100, 9)
    plot_roll(piece, tmp_path / "roll.png", title="two channels")
    image = read_png(tmp_path / "roll.png", 800, 300)
    blue = np.all(np.abs(image[..., :3] - np.array([0x1F, 0x77, 0xB4]) / 255) < 0.02, axis=-1)
    assert blue.sum() > 5000  # far more than the legend's patch: the note itself


@needs_matplotlib
def test_plot_draws_a_midi_file_and_a_dataset_sequence(tmp_path, pieces):
    assert run_cli("encode", pieces, "-o", tmp_path / "ds").returncode == 0
    done = run_cli("plot", pieces / "a.mid", "-o", tmp_path / "file.png")
    assert done.returncode == 0, done.stderr
    read_png(tmp_path / "file.png", 800, 300)
    done = run_cli("plot", tmp_path / "ds", "-i", 2, "-o", tmp_path / "sequence.png")
    assert done.returncode == 0, done.stderr
    read_png(tmp_path / "sequence.png", 800, 300)


def test_stats_count_lengths_instruments_and_pitches(tmp_path, pieces):
    noteloom.encode_dataset([pieces], tmp_path / "ds")
    ds = noteloom.TokenDataset(tmp_path / "ds")
    for view, indices in ((ds, range(len(ds))), (ds.part(np.array([0, 2, 3]), ("picked",)), [0, 2, 3])):
        stats = dataset_stats(view)
        lengths, instruments, pitches = oracle_stats(ds, indices)
        assert stats["sequences"] == len(lengths) and stats["tokens"] == sum(lengths)
        assert stats["length"] == pytest.approx(dict(zip(["p5", "p50", "p95"], np.percentile(lengths, [5, 50, 95])),
                                                     max=max(lengths)))
        assert stats["instruments"] == dict(instruments)
        assert stats["pitches"].tolist() == pitches.tolist() and pitches.sum() > 0


def test_stats_command_prints_the_dataset_and_draws_it(tmp_path, pieces):
    noteloom.encode_dataset([pieces], tmp_path / "ds")
    ds = noteloom.TokenDataset(tmp_path / "ds")
    args = ["-o", tmp_path / "stats.png"] if HAS_MATPLOTLIB else []
    done = run_cli("stats", tmp_path / "ds", *args)
    assert done.returncode == 0, done.stderr
    lengths = [len(ds[i]) for i in range(len(ds))]
    field = lambda name: re.search(rf"^{name}:\s+(.*)$", done.stdout, re.M).group(1)  # noqa: E731
    assert int(field("sequences")) == len(ds) == 5
    assert int(field("tokens")) == sum(lengths)
    p50 = float(re.search(r"p50 (\S+)", field("length")).group(1))
    assert p50 == pytest.approx(np.percentile(lengths, 50), abs=0.05)
    skipped = sum(record["status"] != "ok" for record in ds.manifest())
    assert int(field("skipped")) == skipped == 2
    if HAS_MATPLOTLIB:
        read_png(tmp_path / "stats.png", 1200, 300)


def test_pictures_without_matplotlib_say_what_to_install(tmp_path):
    write_piece(tmp_path / "a.mid", 1)
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "from noteloom.cli import main\n"
            f"sys.exit(main(['plot', {str(tmp_path / 'a.mid')!r}, '-o', {str(tmp_path / 'a.png')!r}]))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert "needs matplotlib: pip install 'noteloom[plot]'" in done.stderr
    assert not (tmp_path / "a.png").exists()


@needs_fluidsynth
def test_render_makes_sound(tmp_path):
    write_piece(tmp_path / "a.mid", 3)
    render(tmp_path / "a.mid", tmp_path / "a.wav", sample_rate=22050)
    with wave.open(str(tmp_path / "a.wav")) as w:
        assert w.getframerate() == 22050 and w.getsampwidth() == 2
        frames = w.getnframes()
        samples = np.frombuffer(w.readframes(frames), dtype="<i2")
    assert frames > 22050  # the piece lasts more than a second
    assert np.abs(samples.astype(np.int64)).max() > 1000


def test_render_without_fluidsynth_says_what_to_install(tmp_path):
    write_piece(tmp_path / "a.mid", 3)
    done = run_cli("render", tmp_path / "a.mid", "-o", tmp_path / "a.wav", env=dict(os.environ, PATH=str(tmp_path)))
    assert done.returncode == 1
    assert done.stderr.startswith("noteloom: ") and "apt-get install fluidsynth" in done.stderr
    assert not (tmp_path / "a.wav").exists()


@needs_fluidsynth
def test_render_with_a_missing_soundfont_names_it(tmp_path):
    write_piece(tmp_path / "a.mid", 3)
    missing = tmp_path / "gone.sf2"
    done = run_cli("render", tmp_path / "a.mid", "-o", tmp_path / "a.wav",
                   env=dict(os.environ, NOTELOOM_SOUNDFONT=str(missing)))
    assert done.returncode == 1
    assert f"the soundfont {missing} (named by NOTELOOM_SOUNDFONT) does not exist" in done.stderr
    assert not (tmp_path / "a.wav").exists()
