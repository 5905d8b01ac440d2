"""Tokens per second for tokenize, encode, decode and detokenize over the corpus, and the
construction time of the tokenizer.

    PYTHON_GIL=0 .venv/bin/python bench/bench_tokenizer.py [CORPUS_DIR] [--repeat N]
"""

from common import arguments, best_time, pieces_with_notes
from noteloom import AbsTokenizer


def main():
    args = arguments(__doc__)
    construct = best_time(AbsTokenizer, max(args.repeat, 20))
    tok = AbsTokenizer()
    dicts = pieces_with_notes(args.corpus)
    token_lists = [tok.tokenize(d) for d in dicts]
    id_lists = [tok.encode(t) for t in token_lists]
    n_tokens = sum(len(t) for t in token_lists)
    n_notes = sum(len(d.note_msgs) for d in dicts)
    print(f"{len(dicts)} pieces, {n_notes} notes, {n_tokens} tokens")
    print(f"{'_AbsTokenizer()':<14} {construct * 1e3:10.2f} ms")
    rows = [
        ("tokenize", lambda: [tok.tokenize(d) for d in dicts]),
        ("encode", lambda: [tok.encode(t) for t in token_lists]),
        ("decode", lambda: [tok.decode(i) for i in id_lists]),
        ("detokenize", lambda: [tok.detokenize(t) for t in token_lists]),
    ]
    for name, fn in rows:
        seconds = best_time(fn, args.repeat)
        print(f"{name:<14} {n_tokens / seconds / 1e6:10.2f} M tokens/s")


if __name__ == "__main__":
    main()
