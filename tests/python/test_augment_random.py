"""The random paths of augmentation: uniformity and range of the drawn amounts, the tempo factor,
the shuffles of simultaneous events, and independence of the per-thread / per-process generators.

Statistical checks use Pearson's chi-square statistic against a threshold whose chi-square tail
probability is 1e-11. Every cell is expected to hold at least 5000 observations, where the
statistic follows the chi-square law closely (the skew corrections at this depth stay within a
small factor), so the chance that a correct generator fails any one of these tests is well below
1e-9. A generator that never produces some value, or that favours or avoids a value by 20% or
more, lands far above the thresholds with these sample sizes.
"""

import itertools
import json
import math
import os
import subprocess
import sys
import sysconfig
import threading
import warnings

import pytest

from noteloom import AbsTokenizer

NOMINAL_TAIL = 1e-11


# --- chi-square tail -----------------------------------------------------------------------------


def _log_prefactor(a, x):
    return -x + a * math.log(x) - math.lgamma(a)


def gamma_q(a, x):
    """Regularized upper incomplete gamma function Q(a, x)."""
    if x <= 0:
        return 1.0
    if x < a + 1:
        term = total = 1.0 / a
        n = 1
        while abs(term) > abs(total) * 1e-17:
            term *= x / (a + n)
            total += term
            n += 1
        return 1.0 - total * math.exp(_log_prefactor(a, x))
    tiny = 1e-300
    b = x + 1.0 - a
    c = 1.0 / tiny
    d = 1.0 / b
    h = d
    for i in range(1, 10000):
        an = -i * (i - a)
        b += 2.0
        d = an * d + b
        if abs(d) < tiny:
            d = tiny
        c = b + an / c
        if abs(c) < tiny:
            c = tiny
        d = 1.0 / d
        delta = d * c
        h *= delta
        if abs(delta - 1.0) < 1e-16:
            break
    return math.exp(_log_prefactor(a, x)) * h


def chi2_sf(x, df):
    return gamma_q(df / 2.0, x / 2.0)


def chi2_threshold(df, tail=NOMINAL_TAIL):
    lo, hi = float(df), float(df) * 10 + 400
    assert chi2_sf(hi, df) < tail
    for _ in range(200):
        mid = (lo + hi) / 2
        if chi2_sf(mid, df) > tail:
            lo = mid
        else:
            hi = mid
    return hi


def chi2_statistic(counts, expected):
    return sum((c - expected) ** 2 / expected for c in counts)


def assert_uniform(counter, values, n):
    """Every value of `values` observed, nothing else, and counts consistent with uniformity."""
    assert set(counter) <= set(values), f"values outside the range: {set(counter) - set(values)}"
    missing = [v for v in values if counter.get(v, 0) == 0]
    assert not missing, f"never drawn: {missing}"
    expected = n / len(values)
    assert expected >= 5000
    stat = chi2_statistic([counter.get(v, 0) for v in values], expected)
    limit = chi2_threshold(len(values) - 1)
    assert stat < limit, f"chi-square {stat:.1f} >= {limit:.1f}: {dict(sorted(counter.items()))}"


def test_chi_square_tail_helper():
    # closed forms: df=2 -> exp(-x/2); df=1 -> erfc(sqrt(x/2)); df=4 -> exp(-x/2)(1 + x/2)
    for x in (0.5, 1.0, 3.0, 10.0, 40.0, 80.0):
        assert chi2_sf(x, 2) == pytest.approx(math.exp(-x / 2), rel=1e-9)
        assert chi2_sf(x, 1) == pytest.approx(math.erfc(math.sqrt(x / 2)), rel=1e-8)
        assert chi2_sf(x, 4) == pytest.approx(math.exp(-x / 2) * (1 + x / 2), rel=1e-9)
    # thresholds are where the tail is 1e-11 and grow with the degrees of freedom
    for df in (1, 5, 10, 12, 19, 30):
        t = chi2_threshold(df)
        assert chi2_sf(t, df) == pytest.approx(NOMINAL_TAIL, rel=1e-6)
    assert chi2_threshold(2) == pytest.approx(-2 * math.log(NOMINAL_TAIL), rel=1e-9)
    assert chi2_threshold(5) < chi2_threshold(10) < chi2_threshold(30)


# --- helpers -------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def tok():
    return AbsTokenizer()


def draw_pitch_shifts(tok, count, maximum=63, base=64):
    """`count` random shifts observed through one note at pitch `base`."""
    note = [("piano", base, 64)]
    out = []
    for _ in range(count):
        (t,) = tok.apply_pitch_aug(note, maximum, None)
        assert t != "<U>"
        out.append(t[1] - base)
    return out


# --- pitch and velocity --------------------------------------------------------------------------


def test_pitch_shifts_are_uniform_over_the_closed_range(tok):
    m = 6
    values = list(range(-m, m + 1))
    n = 13 * 5000
    counts = {}
    note = [("piano", 60, 64), ("onset", 0, 0), ("drum", 40, 0)]
    for _ in range(n):
        out = tok.apply_pitch_aug(note, m, None)
        assert out[1:] == [("onset", 0, 0), ("drum", 40, 0)]
        d = out[0][1] - 60
        counts[d] = counts.get(d, 0) + 1
    assert_uniform(counts, values, n)


def test_pitch_shift_applies_one_common_amount(tok):
    tokens = [("piano", 30, 64), ("guitar", 50, 8), ("piano", 70, 100)]
    for _ in range(2000):
        out = tok.apply_pitch_aug(tokens, 20, None)
        d = out[0][1] - 30
        assert -20 <= d <= 20
        assert out == [("piano", 30 + d, 64), ("guitar", 50 + d, 8), ("piano", 70 + d, 100)]


def test_pitch_random_shift_can_push_notes_out_of_range(tok):
    seen_unknown = seen_note = False
    for _ in range(400):
        (t,) = tok.apply_pitch_aug([("piano", 125, 64)], 4, None)
        if t == "<U>":
            seen_unknown = True
        else:
            assert 121 <= t[1] <= 127
            seen_note = True
    # shifts 3 and 4 (2 of 9 values) leave the range: missing either outcome in 400 draws has
    # probability below (7/9)**400 < 1e-43
    assert seen_unknown and seen_note


def test_velocity_steps_are_uniform_over_the_closed_range(tok):
    m = 15
    values = list(range(-m, m + 1))
    n = 31 * 5000
    counts = {}
    note = [("piano", 60, 64)]
    for _ in range(n):
        ((_, _, v),) = tok.apply_velocity_aug(note, m, None)
        assert (v - 64) % 4 == 0
        s = (v - 64) // 4
        counts[s] = counts.get(s, 0) + 1
    assert_uniform(counts, values, n)


def test_velocity_random_steps_respect_the_bounds(tok):
    seen = set()
    for _ in range(3000):
        out = tok.apply_velocity_aug([("piano", 60, 8), ("piano", 61, 120)], 40, None)
        v1, v2 = out[0][2], out[1][2]
        assert 4 <= v1 <= 124 and 4 <= v2 <= 124
        assert v1 % 4 == 0 and v2 % 4 == 0
        seen.add((v1, v2))
    # step -40..-2 -> (4, *), step 29..40 -> (*, 124): both clamps happen
    assert any(v1 == 4 for v1, _ in seen) and any(v2 == 124 for _, v2 in seen)


# --- tempo factor --------------------------------------------------------------------------------


def test_tempo_factors_stay_in_range_and_spread_uniformly(tok):
    m = 0.5
    segments = 100
    t = segments * 5000  # the event's time before scaling
    tokens = ["<T>"] * segments + [("piano", 60, 64), ("onset", 0, 0), ("dur", 1000, 0), "<E>"]
    bins = 20
    n = bins * 5000
    counts = {}
    low_edge = high_edge = 0
    for _ in range(n):
        out = tok.apply_tempo_aug(tokens, m, False, None)
        assert out[-4][0] == "piano" and out[-1] == "<E>"
        new_time = out.count("<T>") * 5000 + out[-3][1]
        assert len(out) == out.count("<T>") + 4
        # the new time is the multiple of 10 nearest to t * f, with f in [1 - m, 1 + m]
        assert 250000 <= new_time <= 750000
        assert new_time % 10 == 0
        dur = out[-2][1]
        assert 500 <= dur <= 1500
        f = new_time / t
        assert abs(dur - 1000 * f) <= 5 + 1e-6
        b = min(int((f - (1 - m)) / (2 * m) * bins), bins - 1)
        counts[b] = counts.get(b, 0) + 1
        low_edge += new_time <= 252500
        high_edge += new_time >= 747500
    assert_uniform(counts, list(range(bins)), n)
    # each of the outer half-percent bands is hit (all misses: probability about e**-200)
    assert low_edge > 0 and high_edge > 0


def test_tempo_factor_is_one_common_value_per_call(tok):
    tokens = ["<T>"] * 10 + [("piano", 60, 64), ("onset", 0, 0), ("dur", 1000, 0)]
    tokens += ["<T>"] * 10 + [("piano", 61, 64), ("onset", 0, 0), ("dur", 2000, 0), "<E>"]
    for _ in range(500):
        out = tok.apply_tempo_aug(tokens, 0.3, False, None)
        times, total = [], 0
        durs = []
        for x in out:
            if x == "<T>":
                total += 5000
            elif isinstance(x, tuple) and x[0] == "onset":
                times.append(total + x[1])
            elif isinstance(x, tuple) and x[0] == "dur":
                durs.append(x[1])
        assert len(times) == 2
        f1, f2 = times[0] / 50000, times[1] / 100000
        assert abs(f1 - f2) <= 0.0003  # both within 5 ms / t of the same factor
        assert abs(durs[1] - 2 * durs[0]) <= 10


# --- mixup ---------------------------------------------------------------------------------------


def test_mixup_permutations_are_uniform(tok):
    a = [("piano", 60 + i, 64) for i in range(3)]
    b = [("guitar", 70 + i, 64) for i in range(2)]
    tokens = []
    for n in a:
        tokens += [n, ("onset", 100, 0), ("dur", 50, 0)]
    tokens += [("drum", 36, 0), ("onset", 150, 0)]
    for n in b:
        tokens += [n, ("onset", 200, 0), ("dur", 50, 0)]
    tokens.append("<E>")
    perms3 = list(itertools.permutations(a))
    perms2 = list(itertools.permutations(b))
    cells = [(p, q) for p in perms3 for q in perms2]
    n = len(cells) * 5000
    counts = {}
    for _ in range(n):
        out = tok.apply_tempo_aug(tokens, 0.0, True, 1.0)
        assert len(out) == len(tokens)
        assert out[9:11] == [("drum", 36, 0), ("onset", 150, 0)]
        assert out[1:9:3] == [("onset", 100, 0)] * 3 and out[12::3][:2] == [("onset", 200, 0)] * 2
        key = (tuple(out[0:9:3]), tuple(out[11:17:3]))
        counts[key] = counts.get(key, 0) + 1
    assert_uniform(counts, cells, n)


def test_mixup_of_two_events_gives_both_orders(tok):
    tokens = [("piano", 60, 64), ("onset", 0, 0), ("dur", 10, 0), ("drum", 38, 0), ("onset", 0, 0), "<E>"]
    swapped = [("drum", 38, 0), ("onset", 0, 0), ("piano", 60, 64), ("onset", 0, 0), ("dur", 10, 0), "<E>"]
    seen = {0: 0, 1: 0}
    for _ in range(200):
        out = tok.apply_tempo_aug(tokens, 0.0, True, 1.0)
        assert out in (tokens, swapped)
        seen[out == swapped] += 1
    # each order has probability 1/2: missing one in 200 calls has probability 2**-199
    assert seen[0] and seen[1]


# --- independence of generators ------------------------------------------------------------------

# 50 draws from 127 equally likely shifts: two independent sequences agree with probability
# 127**-50 (about 1e-105).


def test_two_calls_give_different_sequences(tok):
    first = draw_pitch_shifts(tok, 50)
    second = draw_pitch_shifts(tok, 50)
    assert first != second


def test_two_threads_draw_different_sequences(tok):
    results = {}
    barrier = threading.Barrier(2)

    def work(name):
        barrier.wait()
        results[name] = draw_pitch_shifts(tok, 50)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 2
    assert results[0] != results[1]
    main = draw_pitch_shifts(tok, 50)
    assert main != results[0] and main != results[1]


def test_many_threads_each_get_their_own_generator(tok):
    results = {}
    count = 8
    barrier = threading.Barrier(count)

    def work(i):
        barrier.wait()
        results[i] = draw_pitch_shifts(tok, 200)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seqs = [tuple(results[i]) for i in range(count)]
    assert len(set(seqs)) == count
    assert all(all(-63 <= d <= 63 for d in s) for s in seqs)


def _fork_and_draw(tok, count):
    read_fd, write_fd = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
        pid = os.fork()
    if pid == 0:  # child
        code = 1
        try:
            os.close(read_fd)
            data = json.dumps(draw_pitch_shifts(tok, count)).encode()
            os.write(write_fd, data)
            code = 0
        finally:
            os._exit(code)
    os.close(write_fd)
    chunks = []
    while True:
        chunk = os.read(read_fd, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_fd)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    return json.loads(b"".join(chunks))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_draws_a_different_sequence(tok):
    draw_pitch_shifts(tok, 5)  # make sure this thread's generator exists before forking
    child = _fork_and_draw(tok, 50)
    parent = draw_pitch_shifts(tok, 50)
    assert len(child) == 50 and all(-63 <= d <= 63 for d in child)
    assert child != parent


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_two_children_of_one_parent_state_differ(tok):
    draw_pitch_shifts(tok, 5)
    first = _fork_and_draw(tok, 50)
    second = _fork_and_draw(tok, 50)  # the parent did not draw in between
    assert first != second


def test_separate_processes_draw_different_sequences():
    script = (
        "from noteloom import AbsTokenizer\n"
        "t = AbsTokenizer()\n"
        "print([t.apply_pitch_aug([('piano', 64, 64)], 63, None)[0][1] for _ in range(50)])\n"
    )
    env = dict(os.environ)
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        env["PYTHON_GIL"] = "0"
    runs = [
        subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60, check=True)
        for _ in range(2)
    ]
    seqs = [json.loads(r.stdout) for r in runs]
    assert all(len(s) == 50 for s in seqs)
    assert seqs[0] != seqs[1]
