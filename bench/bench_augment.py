"""Throughput of normalize_midi_dict and of the three augmentations over the corpus.

    PYTHON_GIL=0 .venv/bin/python bench/bench_augment.py [CORPUS_DIR] [--repeat N]

normalize_midi_dict is measured in notes per second (its per-note velocity callback is a Python
call, which dominates); the augmentations in tokens per second over the corpus's token sequences.
"""

from common import arguments, best_time, pieces_with_notes
from noteloom import AbsTokenizer, normalize_midi_dict

FAMILIES = {"piano": False, "guitar": False, "bass": False, "strings": True}
PROGRAMS = {"piano": 0, "guitar": 24, "bass": 32}


def main():
    args = arguments(__doc__)
    tok = AbsTokenizer()
    dicts = pieces_with_notes(args.corpus)
    token_lists = [tok.tokenize(d) for d in dicts]
    n_notes = sum(len(d.note_msgs) for d in dicts)
    n_tokens = sum(len(t) for t in token_lists)
    print(f"{len(dicts)} pieces, {n_notes} notes, {n_tokens} tokens")

    quantize = tok._quantize_velocity
    seconds = best_time(lambda: [normalize_midi_dict(d, FAMILIES, PROGRAMS, 10, 5000, 127, quantize) for d in dicts],
                        args.repeat)
    print(f"{'normalize_midi_dict':<34} {n_notes / seconds / 1e6:8.2f} M notes/s")
    rows = [
        ("apply_pitch_aug (random)", lambda t: tok.apply_pitch_aug(t, 5, None)),
        ("apply_velocity_aug (random)", lambda t: tok.apply_velocity_aug(t, 2, None)),
        ("apply_tempo_aug (random)", lambda t: tok.apply_tempo_aug(t, 0.2, False, None)),
        ("apply_tempo_aug (random, mixup)", lambda t: tok.apply_tempo_aug(t, 0.2, True, None)),
    ]
    for name, fn in rows:
        seconds = best_time(lambda: [fn(t) for t in token_lists], args.repeat)
        print(f"{name:<34} {n_tokens / seconds / 1e6:8.2f} M tokens/s")


if __name__ == "__main__":
    main()
