"""noteloom.Tokenizer: the built-in configuration agrees with AbsTokenizer, other configurations keep
their families' notes, the configuration survives JSON and pickling, and bad fields are named."""

import json
import pickle

import pytest

from noteloom import AbsTokenizer, MidiDict, Tokenizer, normalize_midi_dict
from noteloom.sources import find_midi_files
from support import CORPUS, instruments_of, make_piece, notes_of, write_piece

MULTI = {"piano": 0, "bass": 33, "strings": 41, "drum": 0}


def corpus_pieces(tmp_path, limit=60):
    paths = [write_piece(tmp_path / f"p{i}.mid", i) for i in range(8)]
    if CORPUS.exists():
        paths += sorted(find_midi_files(CORPUS))[:limit]
    pieces = []
    for p in paths:
        try:
            pieces.append(MidiDict.from_midi(str(p)))
        except OSError:
            continue
    return pieces


def test_default_configuration_is_the_built_in_one_id_for_id(tmp_path):
    tok, builtin = Tokenizer(), AbsTokenizer()
    assert tok.vocabulary() == builtin.decode(list(range(builtin.vocab_size())))
    checked = 0
    for piece in corpus_pieces(tmp_path):
        if not piece.note_msgs:
            continue
        tokens = tok.tokenize(piece)
        assert tokens == builtin.tokenize(piece)
        assert tok.encode(tokens) == builtin.encode(tokens)
        ours, theirs = tok.detokenize(tokens), builtin.detokenize(tokens)
        assert (notes_of(ours), instruments_of(ours)) == (notes_of(theirs), instruments_of(theirs))
        checked += 1
    assert checked >= 8


def band_piece():
    """Piano, bass (program 33), strings (41) and drums, four notes each."""
    notes = []
    for channel, pitch in ((0, 60), (1, 40), (2, 67), (9, 38)):
        notes += [(pitch + k, 480 * k, 480 * k + 400, 80, channel) for k in range(4)]
    instruments = [(0, 0, 0), (33, 0, 1), (41, 0, 2)]
    return make_piece(notes=notes, tempos=[(500000, 0)], instruments=instruments)


def test_bass_and_strings_survive_normalize_tokenize_detokenize():
    tok = Tokenizer(instruments=MULTI)
    piece = normalize_midi_dict(band_piece(), {name: False for name in MULTI}, MULTI, 10, 5000, 127,
                                tok._quantize_velocity)
    tokens = tok.tokenize(piece)
    assert tok.decode(tok.encode(tokens)) == tokens
    back = tok.detokenize(tokens)
    programs = {m.channel: m.data for m in back.instrument_msgs}
    by_program = sorted((programs[n.channel], n.pitch) for n in back.note_msgs if n.channel != 9)
    assert by_program == sorted([(0, 60 + k) for k in range(4)] + [(33, 40 + k) for k in range(4)]
                                + [(41, 67 + k) for k in range(4)])
    assert sorted(n.pitch for n in back.note_msgs if n.channel == 9) == [38, 39, 40, 41]
    # The built-in vocabulary has no bass or strings notes: they encode as 0.
    ids = dict(zip(tokens, AbsTokenizer().encode(tokens)))
    assert {ids[t] for t in tokens if isinstance(t, tuple) and t[0] in ("bass", "strings")} == {0}


def test_ids_depend_on_the_configuration_only():
    shuffled = dict(reversed(list(MULTI.items())))
    a, b = Tokenizer(instruments=MULTI), Tokenizer(instruments=shuffled)
    assert a.vocabulary() == b.vocabulary() and a == b
    assert list(a.config["instruments"]) == ["piano", "bass", "strings", "drum"]
    # A bare name announces its family's first program.
    assert Tokenizer(instruments=["strings", "bass"]).config["instruments"] == {"bass": 32, "strings": 40}


def test_json_and_pickle_round_trips(tmp_path):
    tok = Tokenizer(instruments=MULTI, time_step_ms=20, abs_time_step_ms=4000, max_dur_ms=3000, velocity_step=8,
                    drum_velocity=100, composers=["X"], forms=[], genres=["pop"])
    path = tmp_path / "tok.json"
    tok.save(path)
    document = json.loads(path.read_text())
    assert len(document["vocabulary"]) == tok.vocab_size()
    assert Tokenizer.from_config(json.loads(json.dumps(tok.config))) == tok
    loaded = Tokenizer.load(path)
    assert loaded == tok and loaded.vocabulary() == tok.vocabulary()
    assert pickle.loads(pickle.dumps(tok)).vocabulary() == tok.vocabulary()
    # Onsets cover one segment, durations up to max_dur_ms.
    onsets = [t[1] for t in tok.vocabulary() if isinstance(t, tuple) and t[0] == "onset"]
    durations = [t[1] for t in tok.vocabulary() if isinstance(t, tuple) and t[0] == "dur"]
    assert onsets == list(range(0, 4000, 20)) and durations == list(range(0, 3001, 20))
    document["vocabulary"][-1] = ["onset", 1, 1]
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError, match="stored vocabulary"):
        Tokenizer.load(path)


@pytest.mark.parametrize("fields, named", [
    ({"instruments": {"lute": 0}}, "instruments"),
    ({"instruments": {"piano": 200}}, "instruments"),
    ({"instruments": {"strings": 48}}, "instruments"),
    ({"instruments": ["piano", "chromatic", "organ", "guitar", "bass", "strings", "ensemble", "brass", "reed",
                      "pipe", "synth_lead", "synth_pad", "synth_effect", "ethnic", "percussive", "sfx"]},
     "instruments"),
    ({"time_step_ms": 0}, "time_step_ms"),
    ({"abs_time_step_ms": -5}, "abs_time_step_ms"),
    ({"abs_time_step_ms": 5005}, "abs_time_step_ms"),
    ({"max_dur_ms": 0}, "max_dur_ms"),
    ({"velocity_step": 0}, "velocity_step"),
    ({"drum_velocity": 128}, "drum_velocity"),
    ({"time_step_ms": 1, "abs_time_step_ms": 2_000_000}, "time_step_ms"),
])
def test_invalid_fields_are_named(fields, named):
    with pytest.raises(ValueError, match=named):
        Tokenizer(**fields)


def test_wrong_types_and_unknown_fields():
    with pytest.raises(TypeError, match="composers"):
        Tokenizer(composers="Bach")
    with pytest.raises(TypeError, match="time_step_ms"):
        Tokenizer(time_step_ms=10.0)
    with pytest.raises(ValueError, match="'steps'"):
        Tokenizer.from_config({"steps": 3})


def test_fifteen_families_fit_and_go_past_uint16():
    families = ["piano", "chromatic", "organ", "guitar", "bass", "strings", "ensemble", "brass", "reed", "pipe",
                "synth_lead", "synth_pad", "synth_effect", "ethnic", "percussive", "drum"]
    tok = Tokenizer(instruments=families, velocity_step=2)
    assert tok.vocab_size() > 65536
    last_note = ("percussive", 127, 126)
    assert tok.decode(tok.encode([last_note])) == [last_note]
    assert tok.encode([last_note])[0] > 65535 or tok.encode([("drum", 127, 126)])[0] > 65535


def band_files(tmp_path, count=6):
    folder = tmp_path / "band"
    folder.mkdir()
    for k in range(count):
        piece = band_piece()
        piece.note_msgs = piece.note_msgs[: 8 + k]  # a different file each time
        piece.to_midi().save(str(folder / f"b{k}.mid"))
    return folder


def test_the_engine_keeps_the_configured_families(tmp_path):
    from noteloom import encode_files

    files = sorted(str(p) for p in band_files(tmp_path).iterdir())
    tok = Tokenizer(instruments=MULTI)
    built_in = list(encode_files(files, threads=2))
    configured = list(encode_files(files, threads=2, tokenizer=tok))
    for path, a, b in zip(files, built_in, configured):
        assert b.kept_notes == b.notes > a.kept_notes
        piece = normalize_midi_dict(MidiDict.from_midi(path), {name: False for name in MULTI}, MULTI, 10, 5000, 127,
                                    tok._quantize_velocity)
        assert list(b.ids) == tok.encode(tok.tokenize(piece))
    # The default configuration through the engine is the built-in one, ID for ID.
    same = list(encode_files(files, threads=2, tokenizer=Tokenizer()))
    assert [list(r.ids) for r in same] == [list(r.ids) for r in built_in]
    with pytest.raises(ValueError, match="65536"):
        next(encode_files(files, tokenizer=Tokenizer(instruments=list(MULTI) + ["organ", "brass", "reed", "pipe"],
                                                     velocity_step=1)))


def test_a_dataset_keeps_its_tokenizer_and_refuses_another_on_resume(tmp_path):
    from noteloom import TokenDataset, encode_dataset
    from support import run_cli

    folder = band_files(tmp_path)
    out = tmp_path / "ds"
    r = run_cli("encode", folder, "-o", out, "--instruments", "piano,bass,strings,drum")
    assert r.returncode == 0, r.stderr
    ds = TokenDataset(out)
    assert ds.tokenizer() == Tokenizer(instruments=["piano", "bass", "strings", "drum"])
    assert ds.meta["vocab_size"] == ds.tokenizer().vocab_size()
    with pytest.raises(ValueError, match="tokenizer_config"):
        encode_dataset(folder, out, resume=True, tokenizer=Tokenizer(instruments=["piano", "bass", "drum"]))
    summary = encode_dataset(folder, out, resume=True, tokenizer=ds.tokenizer())
    assert summary.resumed == len(ds)
    saved = tmp_path / "tok.json"
    Tokenizer(instruments=MULTI).save(saved)
    assert run_cli("encode", folder, "-o", tmp_path / "ds2", "--tokenizer", saved).returncode == 0
    assert TokenDataset(tmp_path / "ds2").tokenizer() == Tokenizer(instruments=MULTI)
    # A dataset of the built-in tokenizer gives the built-in one back.
    assert run_cli("encode", folder, "-o", tmp_path / "ds3").returncode == 0
    assert TokenDataset(tmp_path / "ds3").tokenizer() == Tokenizer()


def test_reading_back_a_configured_dataset(tmp_path):
    from noteloom import TokenDataset, encode_dataset, ids_to_midi
    from noteloom.pictures import dataset_stats
    from support import run_cli

    out = tmp_path / "ds"
    tok = Tokenizer(instruments=MULTI)
    encode_dataset(band_files(tmp_path), out, tokenizer=tok)
    ds = TokenDataset(out)
    piece = ids_to_midi(ds[5], tokenizer=ds.tokenizer())  # b5: the first 13 notes of the band
    assert {m.data for m in piece.instrument_msgs if m.channel != 9} == {0, 33, 41}
    assert len(piece.note_msgs) == ds.row(5)["kept_notes"] == ds.row(5)["notes"]
    chunks = ds.chunks(24)
    for s in range(len(ds)):
        pieces = [chunks[j] for j in range(len(chunks)) if chunks.sequence(j) == s]
        assert sum(len(ids_to_midi(p, tokenizer=tok).note_msgs) for p in pieces) == ds.row(s)["kept_notes"]
    assert set(dataset_stats(ds)["instruments"]) == {"piano", "bass", "strings"}
    r = run_cli("decode", out, "-i", "1", "-o", tmp_path / "one.mid")
    assert r.returncode == 0, r.stderr
    assert len(MidiDict.from_midi(str(tmp_path / "one.mid")).note_msgs) == ds.row(1)["kept_notes"]
    # Augmentation reads the IDs as the dataset's tokenizer's: the same as through its tokens.
    shifted = TokenDataset(out, augment={"pitch_aug": 2, "tempo_aug": 1.5})[5]
    tokens = tok.apply_tempo_aug(tok.apply_pitch_aug(tok.decode(ds[5].tolist()), 0, 2), 0.0, False, 1.5)
    assert shifted.tolist() == tok.encode(tokens)
    assert sorted(n.pitch for n in ids_to_midi(shifted, tokenizer=tok).note_msgs) == sorted(
        n.pitch + 2 for n in piece.note_msgs)
    from noteloom import piano_roll

    assert (piano_roll(ds[5], tokenizer=tok) == piano_roll(piece)).all()
