"""The command line `python -m noteloom` (MIDI files and folders in, one JSON line of token IDs
per file out) and the demo script that drives it."""

import json
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from noteloom import AbsTokenizer, MidiDict

REPO = Path(__file__).resolve().parents[2]
# Keep the GIL off on a free-threaded interpreter (a build with the GIL refuses PYTHON_GIL=0).
ENV = dict(os.environ, PYTHON_GIL="0") if sysconfig.get_config_var("Py_GIL_DISABLED") else dict(os.environ)


def run_cli(*args, cwd=None, timeout=120):
    return subprocess.run(
        [sys.executable, "-m", "noteloom", *map(str, args)],
        capture_output=True,
        text=True,
        env=ENV,
        cwd=cwd,
        timeout=timeout,
    )


def write_piece(path, seed):
    """A small piece with piano, guitar and drums whose content depends on `seed`."""
    d = MidiDict()
    d.add_tempo(500000 + 10000 * seed, 0)
    d.add_instrument(0, 0, 0)
    d.add_instrument(25, 0, 1)
    d.add_instrument(0, 0, 9)
    for i in range(6 + seed):
        d.add_note(48 + (i * 5 + seed) % 40, i * 240, i * 240 + 200 + 20 * seed, 40 + (i * 13 + seed) % 80, i % 2)
    d.add_note(36, 0, 10, 100, 9)
    d.add_note(38, 480 * (seed + 1), 480 * (seed + 1) + 10, 90, 9)
    d.to_midi().save(str(path))
    return path


def write_empty_piece(path):
    d = MidiDict()
    d.add_tempo(500000, 0)
    d.add_instrument(0, 0, 0)
    d.to_midi().save(str(path))
    return path


def expected_ids(path):
    tok = AbsTokenizer()
    return tok.encode(tok.tokenize(MidiDict.from_midi(str(path))))


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def skipped_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("noteloom: skipped ")]


@pytest.fixture
def pieces(tmp_path):
    folder = tmp_path / "pieces"
    folder.mkdir()
    good = [write_piece(folder / f"{name}.mid", seed) for seed, name in enumerate(["c", "a", "b"])]
    bad = folder / "bad.mid"
    bad.write_bytes(b"this is not a midi file at all")
    empty = write_empty_piece(folder / "empty.mid")
    return {"folder": folder, "good": good, "bad": bad, "empty": empty}


def test_files_in_input_order_with_clear_errors(pieces, tmp_path):
    c, a, b = pieces["good"]
    bad, empty = pieces["bad"], pieces["empty"]
    order = [c, bad, a, empty, b]
    r = run_cli(*order, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    rows = json_lines(r.stdout)
    assert len(r.stdout.splitlines()) == 3
    assert [row["path"] for row in rows] == [str(c), str(a), str(b)]
    for row in rows:
        assert set(row) == {"path", "ids"}
        assert row["ids"] == expected_ids(row["path"])
        assert len(row["ids"]) > 10
    # the pieces differ, so their IDs do too
    assert len({tuple(row["ids"]) for row in rows}) == 3

    skipped = skipped_lines(r.stderr)
    assert len(skipped) == 2
    assert skipped[0].startswith(f"noteloom: skipped {bad}: Failed to load MIDI file: ")
    assert len(skipped[0]) > len(f"noteloom: skipped {bad}: Failed to load MIDI file: ")
    assert skipped[1] == f"noteloom: skipped {empty}: Tokenization failed: Empty note messages after filtering"
    assert "3 of 5 files encoded" in r.stderr


def test_relative_paths_are_reported_as_given(pieces):
    folder = pieces["folder"]
    r = run_cli("a.mid", "bad.mid", ".", cwd=folder)
    assert r.returncode == 0, r.stderr
    rows = json_lines(r.stdout)
    assert rows[0] == {"path": "a.mid", "ids": expected_ids(folder / "a.mid")}
    assert [row["path"] for row in rows[1:]] == [os.path.join(".", n) for n in ("a.mid", "b.mid", "c.mid")]
    assert skipped_lines(r.stderr)[0].startswith("noteloom: skipped bad.mid: Failed to load MIDI file: ")


def test_missing_file_is_reported_and_skipped(pieces, tmp_path):
    missing = tmp_path / "nowhere.mid"
    good = pieces["good"][0]
    r = run_cli(missing, good, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert [row["path"] for row in json_lines(r.stdout)] == [str(good)]
    (line,) = skipped_lines(r.stderr)
    assert line.startswith(f"noteloom: skipped {missing}: Failed to load MIDI file: ")


def test_folder_is_searched_recursively_for_midi_files(pieces, tmp_path):
    folder = pieces["folder"]
    sub = folder / "sub"
    sub.mkdir()
    deep = write_piece(sub / "deep.midi", 4)
    upper = write_piece(folder / "UPPER.MID", 5)
    (folder / "notes.txt").write_text("not music")
    write_piece(folder / "piece.mid.bak", 6)  # wrong suffix: ignored
    r = run_cli(folder, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    rows = json_lines(r.stdout)
    good = {str(p) for p in pieces["good"]} | {str(deep), str(upper)}
    assert {row["path"] for row in rows} == good
    assert len(rows) == 5
    for row in rows:
        assert row["ids"] == expected_ids(row["path"])
    assert len(skipped_lines(r.stderr)) == 2
    # the files of one folder come in sorted order
    top = [row["path"] for row in rows if Path(row["path"]).parent == folder]
    assert top == sorted(top)


def test_output_option_writes_the_lines_to_a_file(pieces, tmp_path):
    out = tmp_path / "ids.jsonl"
    files = [pieces["good"][1], pieces["bad"], pieces["good"][0]]
    r = run_cli("-o", out, *files, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == ""
    rows = json_lines(out.read_text(encoding="utf-8"))
    assert [row["path"] for row in rows] == [str(files[0]), str(files[2])]
    assert all(row["ids"] == expected_ids(row["path"]) for row in rows)
    assert out.read_text(encoding="utf-8") == run_cli(*files, cwd=tmp_path).stdout
    # long form
    out2 = tmp_path / "ids2.jsonl"
    r = run_cli(*files, "--output", out2, cwd=tmp_path)
    assert r.returncode == 0
    assert out2.read_text(encoding="utf-8") == out.read_text(encoding="utf-8")


def test_thread_count_does_not_change_the_output(pieces, tmp_path):
    folder = pieces["folder"]
    for i in range(12):
        write_piece(folder / f"extra_{i:02d}.mid", i % 7)
    one = run_cli("-j", "1", folder, cwd=tmp_path)
    four = run_cli("-j", "4", folder, cwd=tmp_path)
    assert one.returncode == 0 and four.returncode == 0
    assert one.stdout == four.stdout
    assert len(json_lines(one.stdout)) == 15
    assert skipped_lines(one.stderr) == skipped_lines(four.stderr)
    explicit = sorted(folder.glob("*.mid"), reverse=True)
    assert run_cli("-j", "1", *explicit, cwd=tmp_path).stdout == run_cli("-j", "4", *explicit, cwd=tmp_path).stdout


def test_exit_code_is_1_when_every_file_fails(pieces, tmp_path):
    r = run_cli(pieces["bad"], pieces["empty"], cwd=tmp_path)
    assert r.returncode == 1
    assert r.stdout == ""
    assert len(skipped_lines(r.stderr)) == 2


def test_exit_code_is_0_with_one_good_file_among_failures(pieces, tmp_path):
    r = run_cli(pieces["bad"], pieces["empty"], pieces["good"][2], cwd=tmp_path)
    assert r.returncode == 0
    assert len(json_lines(r.stdout)) == 1


def test_usage_errors(tmp_path):
    r = run_cli(cwd=tmp_path)
    assert r.returncode == 2
    assert "usage" in r.stderr.lower()
    r = run_cli("-j", "many", "x.mid", cwd=tmp_path)
    assert r.returncode == 2


def test_demo_runs(tmp_path):
    r = subprocess.run(
        [sys.executable, str(REPO / "tools" / "demo.py")],
        capture_output=True,
        text=True,
        env=ENV,
        cwd=tmp_path,
        timeout=300,
    )
    assert r.returncode == 0, r.stderr
    lines = [line for line in r.stdout.splitlines() if " files, " in line]
    assert len(lines) == 1
    count = int(lines[0].split()[0])
    assert count > 0
    assert "token IDs" in lines[0]
