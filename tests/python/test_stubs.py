"""The type stubs agree with the module: mypy's stubtest compares every stub signature and name
with what the module reports at run time (the text signatures the binding declares)."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import noteloom

pytest.importorskip("mypy.stubtest")

ALLOWLIST = Path(__file__).with_name("stubtest-allowlist.txt")


def stubtest(tmp_path, mypy_path=None):
    env = dict(os.environ)
    if mypy_path:
        env["MYPYPATH"] = str(mypy_path)
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "noteloom", "_noteloom", "--allowlist", str(ALLOWLIST)],
        capture_output=True, text=True, cwd=tmp_path, env=env, timeout=900,
    )


def test_stubs_match_the_module(tmp_path):
    result = stubtest(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_a_wrong_stub_is_caught(tmp_path):
    # The installed stubs, with one parameter renamed, take precedence over the installed ones.
    stubs = tmp_path / "stubs"
    shutil.copytree(Path(noteloom.__file__).parent, stubs / "noteloom")
    init = stubs / "noteloom" / "__init__.pyi"
    text = init.read_text()
    assert "def add_tempo(self, tempo: int, tick: int)" in text
    init.write_text(text.replace("def add_tempo(self, tempo: int, tick: int)", "def add_tempo(self, tempo: int, ticks: int)"))
    result = stubtest(tmp_path, mypy_path=stubs)
    assert result.returncode != 0
    assert "noteloom.MidiDict.add_tempo" in result.stdout


USER_CODE = '''
import noteloom
d = noteloom.MidiDict.from_midi("piece.mid")
pitches: list[int] = [n.pitch + 1 for n in d.get_msg_dict()["note_msgs"]]
programs: dict[str, int] = noteloom.AbsTokenizer().config["instrument_programs"]
tokens: list[noteloom.Token] = noteloom.AbsTokenizer().tokenize(d)
snapshot: noteloom.MidiFile = d.to_midi()
'''


def test_user_code_type_checks_strictly(tmp_path):
    (tmp_path / "use.py").write_text(USER_CODE)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"],
                            capture_output=True, text=True, cwd=tmp_path, timeout=900)
    assert result.returncode == 0, result.stdout + result.stderr
