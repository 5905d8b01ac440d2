"""Throughput of normalize_midi_dict and of the three augmentations over the corpus.

    PYTHON_GIL=0 .venv/bin/python bench/bench_augment.py [CORPUS_DIR] [--repeat N]

normalize_midi_dict is measured in notes per second (its per-note velocity callback is a Python
call, which dominates); the augmentations in tokens per second over the corpus's token sequences.
Last, the training-time path on ID arrays: augment_ids (the three steps, random amounts, mixup)
next to the same steps through token objects, decode -> three methods -> encode, on one thread.
"""

import numpy as np

from common import arguments, best_time, pieces_with_notes
from noteloom import AbsTokenizer, augment_ids, normalize_midi_dict

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

    id_arrays = [np.array(tok.encode(t), dtype=np.uint16) for t in token_lists]
    n_ids = sum(len(a) for a in id_arrays)
    native = best_time(lambda: [augment_ids(a, max_pitch_aug=5, max_num_aug_steps=2, max_tempo_aug=0.2, mixup=True)
                                for a in id_arrays], args.repeat)

    def through_tokens():
        for a in id_arrays:
            tokens = tok.apply_velocity_aug(tok.apply_pitch_aug(tok.decode(a.tolist()), 5, None), 2, None)
            tok.encode(tok.apply_tempo_aug(tokens, 0.2, True, None))

    python = best_time(through_tokens, args.repeat)
    print(f"{'augment_ids (3 steps, mixup)':<34} {n_ids / native / 1e6:8.2f} M tokens/s (goal >= 50)")
    print(f"{'decode, 3 methods, encode':<34} {n_ids / python / 1e6:8.2f} M tokens/s "
          f"(augment_ids {python / native:.1f}x faster)")


if __name__ == "__main__":
    main()
