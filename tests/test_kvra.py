"""KuramotoSolver, py_phi_star and KVRAMetrics from Python: values derived by hand from the
update rules, the argument checks and their order, noise seeding and thread-count invariance."""
import inspect
import math
import struct

import numpy as np
import pytest

import sc_dravik_engine as sc
from sc_testing import Hook, misaligned, panic_type, run_child

TWO_PI = 6.283185307179586
K = sc.KuramotoSolver
M = sc.KVRAMetrics


def bits(values):
    return [struct.pack("<d", v) for v in values]




# ---------------------------------------------------------------- Kuramoto reference

def ordered_sum(terms):
    s = -0.0
    for t in terms:
        s += t
    return s


def order_parameter(th):
    inv = 1.0 / len(th)
    ms = ordered_sum(math.sin(t) for t in th) * inv
    mc = ordered_sum(math.cos(t) for t in th) * inv
    return math.sqrt(ms * ms + mc * mc)


def ref_step(omega, k, th, dt, w=(), sigma_g=0.0, h=(), pgbo=0.0, field=0.0, ssgf=False,
             amp=0.0):
    """One noise-free step in the order of the update rule; returns (new phases, R)."""
    n = len(th)
    s = [[math.sin(th[j] - th[i]) for j in range(n)] for i in range(n)]

    def term(m, weight, i):
        if len(m) == 0 or weight == 0.0:
            return 0.0
        return ordered_sum(m[i * n + j] * s[i][j] for j in range(n)) * weight

    vel = []
    for i in range(n):
        base = ordered_sum(k[i * n + j] * s[i][j] for j in range(n)) / n + omega[i]
        if ssgf:
            b = (base + term(w, sigma_g, i)) + term(h, pgbo, i)
            c = math.cos(th[i]) if field != 0.0 else 0.0
            vel.append(amp * 0.0 + (field * c + b))
        else:
            vel.append(amp * 0.0 + base)
    new = []
    for i in range(n):
        r = math.fmod(vel[i] * dt + th[i], TWO_PI)
        if r < 0.0:
            r += TWO_PI
        new.append(r)
    return new, order_parameter(new)


def solver(n, seed=1, amp=0.0):
    rng = np.random.default_rng(seed)
    omega = rng.normal(1.0, 0.3, n).tolist()
    k = rng.normal(0.5, 1.0, n * n).tolist()
    th = rng.uniform(0.0, TWO_PI, n).tolist()
    return K(omega, k, th, amp), (omega, k, th)


def test_two_oscillator_step_by_hand():
    omega, k, th = [1.5, -0.75], [0.0, 2.0, 3.0, 0.0], [0.25, 6.0]
    s = K(omega, [[0.0, 2.0], [3.0, 0.0]], th, 0.0)
    want_th, want_r = ref_step(omega, k, th, 0.05)
    assert bits([s.step(0.05)]) == bits([want_r])
    assert bits(s.get_phases()) == bits(want_th)
    assert all(0.0 <= t <= TWO_PI for t in s.get_phases())


@pytest.mark.parametrize("n", [1, 3, 7])
def test_steps_match_the_reference(n):
    s, (omega, k, th) = solver(n)
    for dt in (0.01, 0.3, -2.0):
        th, r = ref_step(omega, k, th, dt)
        assert bits([s.step(dt)]) == bits([r])
        assert bits(s.get_phases()) == bits(th)
    if n == 1:
        assert s.order_parameter() == pytest.approx(1.0, abs=1e-15)


def test_ssgf_pairs_w_with_sigma_g_and_h_with_pgbo_weight():
    n = 4
    s, (omega, k, th) = solver(n, seed=2)
    rng = np.random.default_rng(3)
    w = rng.normal(size=n * n).tolist()
    h = rng.normal(size=n * n).tolist()
    want_th, want_r = ref_step(omega, k, th, 0.1, w, 0.5, h, 0.25, ssgf=True)
    r = s.step_ssgf(0.1, 0, w, 0.5, h, 0.25)
    assert bits([r]) == bits([want_r]) and bits(s.get_phases()) == bits(want_th)

    # The same by keyword, in any order.
    t, _ = solver(n, seed=2)
    r = t.step_ssgf(pgbo_weight=0.25, h_flat=h, sigma_g=0.5, w_flat=w, dt=0.1)
    assert bits([r]) == bits([want_r]) and bits(t.get_phases()) == bits(want_th)


def test_weight_matrix_with_unit_sigma_acts_as_added_coupling():
    # G is not divided by N, so W with sigma_g = 1 pulls like a coupling of N * W.
    n = 5
    s, (omega, k, th) = solver(n, seed=4)
    w = np.random.default_rng(5).normal(size=n * n)
    plain = K(omega, (np.array(k) + n * w).tolist(), th, 0.0)
    assert s.step_ssgf(0.05, w_flat=w.tolist(), sigma_g=1.0) == pytest.approx(plain.step(0.05), abs=1e-12)
    assert s.get_phases() == pytest.approx(plain.get_phases(), abs=1e-12)


def test_field_pressure_acts_through_the_cosine_in_ssgf_steps_only():
    n = 3
    s, (omega, k, th) = solver(n, seed=6)
    s.set_field_pressure(-1.25)
    want_th, want_r = ref_step(omega, k, th, 0.2, field=-1.25, ssgf=True)
    assert bits([s.step_ssgf(0.2)]) == bits([want_r])
    assert bits(s.get_phases()) == bits(want_th)
    # The plain step ignores it.
    th2, r2 = ref_step(omega, k, want_th, 0.2)
    assert bits([s.step(0.2)]) == bits([r2]) and bits(s.get_phases()) == bits(th2)
    # Set back to 0.0, the SSGF step with only dt is the plain step.
    s.set_field_pressure(0.0)
    twin = K(omega, k, s.get_phases(), 0.0)
    assert bits([s.step_ssgf(0.2)]) == bits([twin.step(0.2)])
    assert bits(s.get_phases()) == bits(twin.get_phases())


def test_inactive_terms_ignore_wrong_lengths():
    s, (omega, k, th) = solver(3, seed=7)
    want_th, want_r = ref_step(omega, k, th, 0.1)
    r = s.step_ssgf(0.1, 0, [1.0] * 5, 0.0, [], 3.0)
    assert bits([r]) == bits([want_r]) and bits(s.get_phases()) == bits(want_th)


def test_phases_outside_the_circle_are_wrapped_by_the_first_step_only():
    s = K([0.0, 0.0], [0.0] * 4, [-1.0, 10.0], 0.0)
    assert s.get_phases() == [-1.0, 10.0]
    s.set_phases([7.0, -0.5])
    assert s.get_phases() == [7.0, -0.5]
    s.step(0.1)
    assert s.get_phases() == [math.fmod(7.0, TWO_PI), -0.5 + TWO_PI]
    # A phase that lands exactly on 0 stays 0 (only negative remainders move up by 2 pi),
    # and one that lands on 2 pi wraps to 0.
    s = K([0.0, 1.0], [0.0] * 4, [0.0, 0.5], 0.0)
    s.step(0.1)
    assert s.get_phases() == [0.0, 0.5 + 0.1]
    s = K([0.0], [0.0], [TWO_PI], 0.0)
    s.step(0.1)
    assert s.get_phases() == [0.0]


def test_get_phases_is_a_copy_and_order_parameter_changes_nothing():
    s = K([0.0, 0.0], [0.0] * 4, [0.0, math.pi], 0.0)
    p = s.get_phases()
    p[0] = 99.0
    assert s.get_phases() == [0.0, math.pi]
    assert s.order_parameter() == pytest.approx(0.0, abs=1e-15)
    assert s.get_phases() == [0.0, math.pi]


# ---------------------------------------------------------------- noise and runs

def test_noise_is_seeded_and_scaled_by_dt():
    n = 2048
    base = [math.pi] * n

    def displacement(dt, seed):
        s = K([0.0] * n, [0.0] * (n * n), base, 0.5)
        s.step(dt, seed)
        return (np.array(s.get_phases()) - math.pi) / (0.5 * dt)

    a = displacement(0.01, 11)
    assert bits(a) == bits(displacement(0.01, 11))
    assert not np.array_equal(a, displacement(0.01, 12))
    # The normals themselves, recovered from the step: standard, whatever dt is.
    assert abs(a.mean()) < 0.1 and abs(a.std() - 1.0) < 0.05
    np.testing.assert_allclose(displacement(0.04, 11), a, atol=1e-9)


def test_seed_zero_or_zero_amplitude_gives_no_noise():
    s, (omega, k, th) = solver(6, seed=8, amp=0.7)
    quiet = K(omega, k, th, 0.0)
    assert bits([s.step(0.1, 0)]) == bits([quiet.step(0.1, 5)])
    assert bits(s.run(4, 0.1, 0)) == bits(quiet.run(4, 0.1, 99))
    assert bits(s.run_ssgf(3, 0.1, 0, sigma_g=1.0)) == bits(quiet.run_ssgf(3, 0.1, 7, sigma_g=1.0))
    assert bits(s.get_phases()) == bits(quiet.get_phases())


@pytest.mark.parametrize(
    "seed, step_seeds",
    [(5, [5, 6, 7, 8]), (0, [0, 0, 0, 0]), (2**64 - 1, [2**64 - 1, 0, 1, 2]), (2**64 - 2, [2**64 - 2, 2**64 - 1, 0, 1])],
)
def test_run_seeds_advance_by_one_and_wrap(seed, step_seeds):
    a, _ = solver(8, seed=9, amp=0.3)
    b, _ = solver(8, seed=9, amp=0.3)
    assert bits(a.run(4, 0.05, seed)) == bits([b.step(0.05, s) for s in step_seeds])
    assert bits(a.get_phases()) == bits(b.get_phases())

    w = np.random.default_rng(10).normal(size=64).tolist()
    a.set_field_pressure(0.4)
    b.set_field_pressure(0.4)
    got = a.run_ssgf(4, 0.05, seed, w, 0.3, w, -0.2)
    assert bits(got) == bits([b.step_ssgf(0.05, s, w, 0.3, w, -0.2) for s in step_seeds])
    assert bits(a.get_phases()) == bits(b.get_phases())


def test_empty_runs_change_nothing():
    s, (_, _, th) = solver(3, seed=11, amp=0.2)
    assert s.run(0, 0.1, 3) == [] and s.run_ssgf(0, 0.1, 3) == []
    assert s.get_phases() == th
    with pytest.raises(OverflowError):
        s.run(-1, 0.1)


@pytest.mark.failing_allocation
def test_impossible_runs_change_nothing():
    s, (_, _, th) = solver(3, seed=11, amp=0.2)
    # A step count no memory can hold fails as the allocation of its results, before any
    # step: beyond what a list can index, and within it but far beyond the address space.
    for n_steps in (2**62, 2**58):
        with pytest.raises(MemoryError):
            s.run(n_steps, 0.01)
        with pytest.raises(MemoryError):
            s.run_ssgf(n_steps, 0.01)
    assert s.get_phases() == th


THREAD_SCRIPT = r"""
import struct, sys
import numpy as np
import sc_dravik_engine as sc
out = []
# Small systems stay on the calling thread, larger ones split their rows over the pool.
for n in (1, 2, 7, 31, 32, 33, 48, 130, 384):
    rng = np.random.default_rng(21 + n)
    omega = rng.normal(1.0, 0.3, n).tolist()
    k = rng.normal(0.0, 2.0, (n, n)).tolist()
    th = rng.uniform(0.0, 6.28, n).tolist()
    w = rng.normal(size=n * n).tolist()
    h = rng.normal(size=n * n).tolist()
    s = sc.KuramotoSolver(omega, k, th, 0.4)
    out += [s.step(0.01, 3), s.step(0.01, 0)]
    out += s.run(5, 0.02, 17)
    s.set_field_pressure(0.3)
    out += [s.step_ssgf(0.01, 4, w, 0.7, h, 0.2)]
    out += s.run_ssgf(5, 0.02, 2**64 - 2, w, 0.7, h, 0.2)
    out += s.get_phases()
sys.stdout.write(b"".join(struct.pack("<d", v) for v in out).hex())
"""


def test_results_do_not_depend_on_the_worker_count():
    one, eight = run_child(THREAD_SCRIPT, threads=1), run_child(THREAD_SCRIPT, threads=8)
    assert len(one) == 16 * sum(13 + n for n in (1, 2, 7, 31, 32, 33, 48, 130, 384))
    assert one == eight


# ---------------------------------------------------------------- constructor and setters

@pytest.mark.parametrize(
    "args, text",
    [
        (([], [], []), "omega must not be empty."),
        (([], "x", [1.0]), "omega must not be empty."),
        (([1.0, 2.0], "x", [0.0]), "phases length mismatch: got 1, expected 2."),
        (([1.0], [0.0], []), "phases length mismatch: got 0, expected 1."),
        (([1.0, 2.0], [[0, 1, 2], [0, 1, 2]], [0, 0]),
         "coupling must be shape (2, 2) or flat length 4, got (2, 3)."),
        (([1.0, 2.0], [[0, 1], [0, 1], [0, 1]], [0, 0]),
         "coupling must be shape (2, 2) or flat length 4, got (3, 2)."),
        (([1.0, 2.0], [0, 1, 2], [0, 0]), "Flat coupling length mismatch: got 3, expected 4."),
        (([1.0, 2.0], [[0, 1, 2]], [0, 0]), "Flat coupling length mismatch: got 3, expected 4."),
        (([1.0, 2.0], [], [0, 0]), "coupling must not be an empty matrix."),
        (([1.0, 2.0], [[], []], [0, 0]), "coupling must not have zero columns."),
        (([1.0, 2.0], [[0, 1], [1]], [0, 0]), "coupling must be a rectangular matrix."),
        (([1.0, 2.0], "abcd", [0, 0]), "coupling must be a 1-D or 2-D float array."),
        (([1.0, 2.0], [[0, "a"], [0, 1]], [0, 0]), "coupling must be a 1-D or 2-D float array."),
    ],
)
def test_constructor_messages_in_order(args, text):
    with pytest.raises(ValueError) as info:
        K(*args)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "kwargs, name",
    [
        (dict(omega="ab", coupling=[0.0], phases="cd"), "omega"),
        (dict(omega=[], coupling=[0.0], phases=[1, "a"]), "phases"),
        (dict(omega=[], coupling=[0.0], phases=[], noise_amp="x"), "noise_amp"),
        (dict(omega=[1.0], coupling=[0.0], phases=3), "phases"),
    ],
)
def test_constructor_converts_omega_phases_noise_amp_before_checking(kwargs, name):
    with pytest.raises(TypeError) as info:
        K(**kwargs)
    assert str(info.value).startswith(f"argument '{name}': ")


def test_str_sequences_are_refused():
    with pytest.raises(TypeError, match=r"^argument 'omega': Can't extract `str` to `Vec`$"):
        K("ab", [0.0] * 4, [0.0, 0.0])
    s = K([1.0, 2.0], [0.0] * 4, [0.0, 0.0])
    with pytest.raises(TypeError, match=r"^argument 'w_flat': Can't extract `str` to `Vec`$"):
        s.step_ssgf(0.1, w_flat="abcd", sigma_g=1.0)
    with pytest.raises(TypeError, match=r"^argument 'phases': "):
        s.set_phases("ab")


@pytest.mark.parametrize(
    "coupling",
    [[[0.5, 1.0], [2.0, 0.0]], [0.5, 1.0, 2.0, 0.0], [[0.5, 1.0, 2.0, 0.0]], (0.5, 1.0, 2.0, 0.0),
     np.array([[0.5, 1.0], [2.0, 0.0]]), np.array([0.5, 1, 2, 0], dtype=np.int64)],
)
def test_accepted_coupling_forms_are_one_matrix(coupling):
    ref = K([1.0, 2.0], [0.5, 1.0, 2.0, 0.0], [0.1, 0.2])
    s = K([1.0, 2.0], coupling, [0.1, 0.2])
    assert bits([s.step(0.1)]) == bits([ref.step(0.1)])
    assert bits(s.get_phases()) == bits(ref.get_phases())


@pytest.mark.parametrize("coupling", [[3.0], [[3.0]]])
def test_single_oscillator_accepts_flat_and_nested(coupling):
    s = K([2.0], coupling, [0.5], 0.0)
    assert s.step(0.25) == pytest.approx(1.0, abs=1e-15)
    assert s.get_phases() == [2.0 * 0.25 + 0.5]


@pytest.mark.parametrize(
    "coupling, text",
    [
        ([[1.0, 2.0, 3.0]] * 2, "coupling must be shape (2, 2) or flat length 4, got (2, 3)."),
        ([1.0] * 5, "Flat coupling length mismatch: got 5, expected 4."),
        ([], "coupling must not be an empty matrix."),
        ("x", "coupling must be a 1-D or 2-D float array."),
    ],
)
def test_set_coupling_checks_like_the_constructor_and_keeps_the_old_matrix(coupling, text):
    s = K([1.0, 2.0], [[0.0, 4.0], [-4.0, 0.0]], [0.1, 0.2], 0.0)
    ref = K([1.0, 2.0], [[0.0, 4.0], [-4.0, 0.0]], [0.1, 0.2], 0.0)
    with pytest.raises(ValueError) as info:
        s.set_coupling(coupling)
    assert str(info.value) == text
    assert bits([s.step(0.1)]) == bits([ref.step(0.1)])


def test_set_coupling_replaces_the_matrix():
    s = K([1.0, 2.0], [0.0] * 4, [0.1, 0.2], 0.0)
    s.set_coupling([[0.0, 4.0], [-4.0, 0.0]])
    ref = K([1.0, 2.0], [0.0, 4.0, -4.0, 0.0], [0.1, 0.2], 0.0)
    assert bits([s.step(0.1)]) == bits([ref.step(0.1)])
    assert bits(s.get_phases()) == bits(ref.get_phases())


def test_set_phases_length_is_checked_and_nothing_changes():
    s = K([1.0, 2.0], [0.0] * 4, [0.1, 0.2])
    with pytest.raises(ValueError) as info:
        s.set_phases([1.0, 2.0, 3.0])
    assert str(info.value) == "phases length mismatch: got 3, expected 2."
    assert s.get_phases() == [0.1, 0.2]


def test_exclusive_borrow_is_taken_before_arguments_are_converted():
    s = K([1.0, 2.0], [0.0] * 4, [0.1, 0.2])
    peek = Hook(s.get_phases, 0.1)
    for call in (lambda: s.step(peek), lambda: s.run(1, peek), lambda: s.set_field_pressure(peek),
                 lambda: s.step_ssgf(0.1, 0, [], peek), lambda: s.set_phases([peek, 0.0])):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            call()
    # The matrix converter folds every failed reading into its own message; the coupling
    # fails only because the borrow is held while it is read.
    with pytest.raises(ValueError, match=r"^coupling must be a 1-D or 2-D float array\.$"):
        s.set_coupling([peek] * 4)
    # Reading methods take the shared borrow: conversions may read the object.
    assert s.get_phases() == [0.1, 0.2]
    assert s.step(0.1) == K([1.0, 2.0], [0.0] * 4, [0.1, 0.2]).step(0.1)


@pytest.mark.parametrize(
    "kwargs, what, got",
    [
        (dict(w_flat=[1.0] * 3, sigma_g=0.5), "w_flat", 3),
        (dict(w_flat=[1.0] * 5, sigma_g=float("nan")), "w_flat", 5),
        (dict(h_flat=[1.0], pgbo_weight=-1.0), "h_flat", 1),
        (dict(w_flat=[1.0] * 4, sigma_g=1.0, h_flat=[1.0] * 9, pgbo_weight=2.0), "h_flat", 9),
    ],
)
def test_wrong_term_lengths_stop_before_any_phase_changes(kwargs, what, got):
    P = panic_type()
    s = K([1.0, 2.0], [0.0, 1.0, 1.0, 0.0], [0.1, 0.2], 0.3)
    s.set_field_pressure(0.5)
    text = (f"assertion `left == right` failed: {what} length mismatch: got {got}, expected 4\n"
            f"  left: {got}\n right: 4")
    for call in (lambda: s.step_ssgf(0.1, 3, **kwargs), lambda: s.run_ssgf(5, 0.1, 3, **kwargs)):
        with pytest.raises(P) as info:
            call()
        assert str(info.value) == text
        assert s.get_phases() == [0.1, 0.2]
    # The object stays usable.
    assert isinstance(s.step_ssgf(0.1), float)


def test_argument_kinds():
    s = K([1.0, 2.0], [0.0] * 4, [0.1, 0.2])
    with pytest.raises(OverflowError):
        s.step(0.1, -1)
    with pytest.raises(OverflowError):
        s.step(0.1, 2**64)
    with pytest.raises(TypeError, match=r"^argument 'seed': "):
        s.step(0.1, 1.5)
    with pytest.raises(TypeError, match=r"^argument 'dt': "):
        s.step("0.1")
    with pytest.raises(TypeError, match=r"^KuramotoSolver.step\(\) missing 1 required positional argument: 'dt'$"):
        s.step()
    assert isinstance(s.step(np.float64(0.1), seed=np.uint64(3)), float)


# ---------------------------------------------------------------- text signatures

@pytest.mark.parametrize(
    "obj, sig",
    [
        (K, "(omega, coupling, phases, noise_amp=0.1)"),
        (K.step, "($self, dt, seed=0)"),
        (K.run, "($self, n_steps, dt, seed=0)"),
        (K.step_ssgf, "($self, dt, seed=0, w_flat=..., sigma_g=0.0, h_flat=..., pgbo_weight=0.0)"),
        (K.run_ssgf, "($self, n_steps, dt, seed=0, w_flat=..., sigma_g=0.0, h_flat=..., pgbo_weight=0.0)"),
        (K.get_phases, "($self)"),
        (K.set_phases, "($self, phases)"),
        (K.set_coupling, "($self, coupling)"),
        (K.order_parameter, "($self)"),
        (K.set_field_pressure, "($self, f)"),
        (M, "()"),
        (M.global_coherence, "(weights, metrics)"),
        (M.consciousness_index, "(phases_l4, glyph_l7)"),
        (sc.py_phi_star, "(data, tau)"),
    ],
)
def test_text_signatures(obj, sig):
    assert obj.__text_signature__ == sig
    assert not obj.__doc__  # nothing besides the signature
    inspect.signature(obj)


def test_module_places():
    names = sc.__all__
    i = names.index("KuramotoSolver")
    assert names[i + 1] == "KVRAMetrics"
    assert names[names.index("py_recover_xor_lfsr") + 1] == "py_phi_star"


# ---------------------------------------------------------------- Phi*

def ref_cov(rows):
    k = len(rows)
    if k == 0:
        return []
    T = len(rows[0])
    c = [[1e-10] * k for _ in range(k)]
    if T == 0:
        return c
    mean = [ordered_sum(r) / T for r in rows]
    denom = float(T - 1) if T - 1 > 1 else 1.0
    for i in range(k):
        for j in range(i + 1):
            s = 0.0
            for t in range(T):
                s += (rows[j][t] - mean[j]) * (rows[i][t] - mean[i])
            c[i][j] = c[j][i] = s / denom
        c[i][i] += 1e-10
    return c


def ref_det(m):
    n = len(m)
    if n == 0:
        return 1.0
    if n == 1:
        return m[0][0]
    if n == 2:
        return m[0][0] * m[1][1] - m[0][1] * m[1][0]
    m = [r[:] for r in m]
    det = 1.0
    for j in range(n):
        p = j
        for r in range(j + 1, n):
            if abs(m[r][j]) > abs(m[p][j]):
                p = r
        if abs(m[p][j]) < 1e-300:
            return 0.0
        if p != j:
            m[p], m[j] = m[j], m[p]
            det = -det
        h = m[j][j]
        for l in range(j + 1, n):
            t = m[l][j]
            for c in range(j + 1, n):
                m[l][c] = m[l][c] - m[j][c] * (t / h)
        det = det * h
    return det


def ref_mi(x, y):
    def floored(d):
        return d if d > 1e-300 else 1e-300

    dx, dy, dxy = (floored(ref_det(ref_cov(r))) for r in (x, y, x + y))
    mi = 0.5 * math.log(dy * dx / dxy)
    return mi if mi > 0.0 else 0.0


def ref_phi(rows, tau):
    n = len(rows)
    if n <= 1:
        return 0.0
    T = len(rows[0])
    if 2 * tau >= T:
        return 0.0
    past = [r[:T - tau] for r in rows]
    present = [r[tau:] for r in rows]
    whole = ref_mi(past, present)
    m = math.inf
    for j in range(1, n):
        s = ref_mi(past[:j], present[:j]) + ref_mi(past[j:], present[j:])
        if s < m:
            m = s
    d = whole - m
    return d if d > 0.0 else 0.0


def coupled_series(n, T, seed, mix=0.6):
    """Rows that carry information about each other's past, so Phi* is positive: row i takes
    0.3 of its own last value and `mix` of row i + 1's (cyclically), plus noise. Written
    elementwise, so that its bits do not depend on the BLAS that NumPy loads."""
    rng = np.random.default_rng(seed)
    x = np.zeros((n, T))
    x[:, 0] = rng.normal(size=n)
    for t in range(1, T):
        last = x[:, t - 1]
        x[:, t] = 0.3 * last + mix * np.roll(last, -1) + rng.normal(size=n)
    return x


# The engine sums long series in blocks of samples: the last rows span several of them.
@pytest.mark.parametrize("n, T, tau", [(2, 12, 1), (3, 10, 4), (4, 60, 2), (5, 40, 3), (2, 3000, 1),
                                       (3, 2100, 2)])
def test_phi_star_matches_the_reference(n, T, tau):
    x = coupled_series(n, T, seed=n * 100 + T)
    got = sc.py_phi_star(x, tau)
    assert bits([got]) == bits([ref_phi(x.tolist(), tau)])
    if n >= 4:
        assert got > 0.0


# Long series, pinned to the bits an earlier build gave when it summed over one table of all
# samples; each layout gives the same bits.
@pytest.mark.parametrize("n, T, tau, seed, want", [
    (2, 300_000, 1, 11, "0x1.d4396b239b63cp-3"),
    (8, 120_000, 3, 12, "0x1.71bc1cda8ac5ep-2"),
    (5, 70_001, 2, 13, "0x1.855f74bd76ebap-2"),
])
def test_phi_star_of_long_series_keeps_its_bits(n, T, tau, seed, want):
    x = coupled_series(n, T, seed)
    assert sc.py_phi_star(x, tau).hex() == want
    assert sc.py_phi_star(np.asfortranarray(x), tau).hex() == want


def test_phi_star_degenerate_inputs_give_zero():
    x = coupled_series(3, 10, seed=1)
    assert sc.py_phi_star(x, 5) == 0.0  # 2 * 5 >= 10: no complete past and present
    assert sc.py_phi_star(x[:1], 1) == 0.0
    assert sc.py_phi_star(np.zeros((0, 10)), 0) == 0.0
    assert sc.py_phi_star(np.zeros((4, 0)), 0) == 0.0
    for tau in (2**63, 2**64 - 1):
        assert sc.py_phi_star(x, tau) == 0.0
    const = np.repeat(np.array([[1.0], [-3.0], [7.5]]), 50, axis=1)
    assert sc.py_phi_star(const, 1) == pytest.approx(0.0, abs=1e-12)
    nan = x.copy()
    nan[1, 3] = np.nan
    assert sc.py_phi_star(nan, 1) == 0.0


def test_phi_star_reads_any_layout_with_the_same_bits():
    x = coupled_series(5, 300, seed=2)
    want = bits([sc.py_phi_star(x, 2)])
    big = np.zeros((10, 900))
    big[::2, ::3] = x
    unaligned = misaligned(x)
    assert not unaligned.flags.aligned
    rev = x[::-1, ::-1].copy()
    views = [np.asfortranarray(x), big[::2, ::3], unaligned, rev[::-1, ::-1],
             np.ascontiguousarray(x.T).T, x.astype(np.dtype("=f8"))]
    for v in views:
        assert bits([sc.py_phi_star(v, 2)]) == want
    assert bits([sc.py_phi_star(data=x, tau=2)]) == want


def test_phi_star_of_rescaled_data_stays_finite():
    # Determinants of large-valued series leave the double range; the result must not.
    x = coupled_series(6, 400, seed=3)
    base = sc.py_phi_star(x, 1)
    assert base > 0.0
    for scale in (1e100, 1e150):
        got = sc.py_phi_star(x * scale, 1)
        assert math.isfinite(got) and got == pytest.approx(base, rel=1e-6)


@pytest.mark.parametrize(
    "data",
    [np.zeros((3, 10), dtype=np.int64), np.zeros((3, 10), dtype=np.float32), [[0.0] * 10] * 3,
     np.zeros((2, 3, 10)), np.zeros(10), np.zeros((3, 10), dtype=">f8")],
)
def test_phi_star_refuses_other_arrays(data):
    with pytest.raises(TypeError, match=r"^argument 'data': '.*' object is not an instance of "):
        sc.py_phi_star(data, 1)


def test_phi_star_tau_kinds():
    x = np.zeros((2, 10))
    with pytest.raises(OverflowError):
        sc.py_phi_star(x, -1)
    with pytest.raises(TypeError, match=r"^argument 'tau': "):
        sc.py_phi_star(x, 1.0)


# ---------------------------------------------------------------- coherence metrics

NAN = float("nan")


def ref_index(phases, glyph):
    r = 0.0
    if phases:
        inv = 1.0 / len(phases)
        c = ordered_sum(math.cos(p) for p in phases)
        s = ordered_sum(math.sin(p) for p in phases)
        big_r = math.sqrt((inv * c) ** 2 + (inv * s) ** 2)
        r = 0.7 * (1.0 if big_r > 1.0 else big_r)
    g2 = glyph[0] * glyph[0]
    for v in glyph[1:]:
        g2 += v * v
    g = math.sqrt(g2) / 2.449489742783178
    x = 0.3 * (1.0 if g > 1.0 else g) + r
    return min(max(x, 0.0), 1.0)


@pytest.mark.parametrize(
    "weights, metrics, want",
    [
        ([1.0] * 7, [0.5] * 7, 0.5),
        ([1.0] * 7, [2.0, -1.0, 0.5, 0.5, 0.5, 0.5, 0.5], (1.0 + 0.0 + 0.5 * 5) / 7),
        ([0.0] * 7, [NAN] * 7, 0.0),
        ([-1.0, NAN, 0.0, 0.0, 0.0, 0.0, 0.0], [0.5] * 7, 0.0),
        ([0.0, 0.0, 3.0, 0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 0.0], 1.0),
        ([-2.0, NAN, 1.0, 3.0, 0.0, 0.0, 0.0], [9.0, 9.0, 0.25, 0.75, 9.0, 9.0, 9.0],
         (1.0 * 0.25 + 3.0 * 0.75) / 4.0),
        ((1.0,) * 7, np.full(7, 0.25), 0.25),
    ],
)
def test_global_coherence(weights, metrics, want):
    assert M.global_coherence(weights, metrics) == want
    assert M().global_coherence(metrics=metrics, weights=weights) == want


def test_nan_metric_with_weight_gives_nan():
    assert math.isnan(M.global_coherence([1.0] * 7, [0.5] * 6 + [NAN]))
    assert math.isnan(M.consciousness_index([0.0, NAN], [0.0] * 6))
    assert math.isnan(M.consciousness_index([], [NAN] + [0.0] * 5))


@pytest.mark.parametrize(
    "phases, glyph, want",
    [
        ([], [0.0] * 6, 0.0),
        ([0.4] * 5, [1.0] * 6, 1.0),
        ([0.3, 0.3 + math.pi], [0.0] * 6, 0.0),
        ([0.3, 1.1, 2.0], [0.5, -0.25, 0.0, 1.0, 0.75, 0.1], None),
        ([0.0], [5.0] * 6, None),
        (np.array([0.2, 0.5]), (3.0, 0.0, 0.0, 0.0, 0.0, 0.0), None),
    ],
)
def test_consciousness_index(phases, glyph, want):
    got = M.consciousness_index(phases, glyph)
    assert got == ref_index(list(phases), list(glyph))
    assert 0.0 <= got <= 1.0
    if want is not None:
        assert got == pytest.approx(want, abs=1e-15)
    assert M().consciousness_index(glyph_l7=glyph, phases_l4=phases) == got


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: M.global_coherence([1.0] * 6, [0.5] * 7), "expected a sequence of length 7 (got 6)"),
        (lambda: M.global_coherence([1.0] * 7, [0.5] * 8), "expected a sequence of length 7 (got 8)"),
        (lambda: M.global_coherence([], "x"), "expected a sequence of length 7 (got 0)"),
        (lambda: M.global_coherence(["a"] * 6, [0.5] * 7), "expected a sequence of length 7 (got 6)"),
        (lambda: M.global_coherence([1.0] * 7, ["a"] * 2), "expected a sequence of length 7 (got 2)"),
        (lambda: M.consciousness_index([0.0], [1.0] * 5), "expected a sequence of length 6 (got 5)"),
        (lambda: M.consciousness_index([], ["a"] * 7), "expected a sequence of length 6 (got 7)"),
    ],
)
def test_metric_length_messages(call, text):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: M.global_coherence(3, [0.5] * 7), "weights"),
        (lambda: M.global_coherence([1.0] * 6 + ["a"], [0.5] * 7), "weights"),
        (lambda: M.global_coherence([1.0] * 6 + ["a"], [0.5] * 3), "weights"),
        (lambda: M.global_coherence([1.0] * 7, None), "metrics"),
        (lambda: M.consciousness_index("abc", [1.0] * 3), "phases_l4"),
        (lambda: M.consciousness_index([0.0, "a"], [1.0] * 6), "phases_l4"),
        (lambda: M.consciousness_index([0.0], [1.0] * 5 + [None]), "glyph_l7"),
    ],
)
def test_metric_type_errors_name_the_argument(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{name}': ")
