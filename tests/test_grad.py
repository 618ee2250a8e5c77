"""SurrogateLif and DifferentiableDenseLayer: surrogate values in float32, the step trace, the
caches, the gradients and the clamped weight update."""
import inspect
import math

import numpy as np
import pytest

import bitref
import sc_dravik_engine as sc
from sc_testing import Hook, panic_of, same_bits

f32 = np.float32
UNKNOWN = "Unknown surrogate '{}'. Use one of: fast_sigmoid, superspike, arctan, straight_through."
DEFAULT_K = {"fast_sigmoid": 25.0, "superspike": 100.0, "arctan": 10.0, "ste": 0.0}
NO_MATCH = "backward() called without matching forward()"
NO_INPUT = "backward() called before a valid forward() input cache."


def g_ref(kind, k, x):
    """The surrogate derivative with every operation rounded to float32."""
    x, one = f32(x), f32(1)
    if kind == "ste":
        return one if abs(x) < f32(0.5) else f32(0)
    k = f32(DEFAULT_K[kind] if k is None else k)
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        if kind == "fast_sigmoid":
            t = one + k * abs(x)
            return one / ((f32(2) * k) * t * t)
        if kind == "superspike":
            t = one + k * abs(x)
            return one / (t * t)
        kx = k * x
        return one / (one + kx * kx)


def lif_backward_at(vs, grad, **kwargs):
    """Drives a SurrogateLif (no leak, no gain) through the membrane values vs with the noise
    input, then runs one backward step per forward step; results in forward order."""
    n = sc.SurrogateLif(**kwargs)
    v = 0
    for target in vs:
        assert n.forward(0, 0, 0, target - v) == (0, target)
        v = target
    return [n.backward(grad) for _ in vs][::-1]


# --- Surrogate values ----------------------------------------------------------------------------

@pytest.mark.parametrize("surrogate, k", [
    ("fast_sigmoid", None), ("fast_sigmoid", 3.7), ("fast_sigmoid", 0.0), ("fast_sigmoid", -1.3),
    ("superspike", None), ("superspike", 0.3), ("superspike", -2.0),
    ("arctan", None), ("arctan", 3.7), ("arctan", -0.9),
    ("fast_sigmoid", math.inf), ("superspike", math.inf), ("arctan", math.nan),
    ("ste", None), ("ste", 123.0), ("ste", math.nan),
])
@pytest.mark.parametrize("fraction, vs", [
    (8, [-300, -77, 0, 128, 129, 200, 255]),
    (5, [-1000, -3, 100, 250]),
    (0, [-7, 255]),
])
def test_surrogate_values_in_float32(surrogate, k, fraction, vs):
    grad = 0.7  # not a float32 value: the product must be formed in float32 too
    got = lif_backward_at(vs, grad, fraction=fraction, surrogate=surrogate, k=k)
    for v, value in zip(vs, got):
        x = (f32(v) - f32(256)) / f32(2 ** fraction)
        want = float(f32(grad) * g_ref(surrogate, k, x))
        assert same_bits(value, want), (v, value, want)


@pytest.mark.parametrize("surrogate, g0", [
    ("fast_sigmoid", float(f32(1) / f32(50))), ("superspike", 1.0), ("arctan", 1.0), ("ste", 1.0)])
def test_default_sharpness_at_zero(surrogate, g0):
    # A spike records the reset value; with the reset at the threshold that is x = 0.
    n = sc.SurrogateLif(v_reset=256, surrogate=surrogate)
    assert n.forward(0, 0, 0, 300) == (1, 256)
    assert n.backward(1.0) == g0


def test_straight_through_edge():
    # x = -0.5 exactly, just inside and just outside
    assert lif_backward_at([128, 129, 127], 1.0, surrogate="ste") == [0.0, 1.0, 0.0]


@pytest.mark.parametrize("name, kind", [
    ("fast_sigmoid", "fast_sigmoid"), ("Fast-Sigmoid", "fast_sigmoid"), ("FAST_SIGMOID", "fast_sigmoid"),
    ("superspike", "superspike"), ("super_spike", "superspike"), ("SUPER-SPIKE", "superspike"),
    ("arctan", "arctan"), ("Arc-Tan", "arctan"), ("ARC_TAN", "arctan"),
    ("ste", "ste"), ("STE", "ste"), ("straight_through", "ste"), ("Straight-Through", "ste"),
    ("StraightThrough", "ste"),
])
def test_surrogate_names(name, kind):
    # At x = -0.5 the four kinds with their default sharpness all differ.
    assert lif_backward_at([128], 1.0, surrogate=name) == [float(g_ref(kind, None, -0.5))]
    layer = sc.DifferentiableDenseLayer(1, 1, length=8, surrogate=name)
    layer.forward([0.0])  # output 0: x = -0.5
    [[w]] = layer.get_weights()
    assert layer.backward([1.0])[0] == [w * float(g_ref(kind, None, -0.5)) + 0.0]


@pytest.mark.parametrize("name", ["sigmoid", "Fast_Sigmoid2", "fast sigmoid", "", "fast_sigmoid ",
                                  "super--spike", "\u0130ste", "fast_sigm\u00f6id",
                                  "SUPERSPI\u212aE"])  # Kelvin sign: lower-cases to k outside ASCII
def test_unknown_surrogate_names(name):
    msg = UNKNOWN.format(name)
    with pytest.raises(ValueError) as e:
        sc.SurrogateLif(surrogate=name)
    assert str(e.value) == msg
    # The name is checked before the layer's sizes: a zero size does not win.
    with pytest.raises(ValueError) as e:
        sc.DifferentiableDenseLayer(0, 0, length=0, surrogate=name)
    assert str(e.value) == msg


# --- SurrogateLif --------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, steps, returns, xs", [
    # A firing step returns and records the reset value; a quiet one the new membrane value.
    ({}, [(0, 0, 0, 300), (0, 0, 0, 0), (0, 0, 0, 0), (0, 0, 0, 128)],
     [(1, 0), (0, 0), (0, 0), (0, 128)], [-1.0, -1.0, -1.0, -0.5]),
    ({"v_reset": 64, "v_rest": -32}, [(0, 0, 0, 300), (0, 0, 0, 0)],
     [(1, 64), (0, -32)], [-0.75, -1.125]),
    # Leak toward rest and the gain term, both scaled by 2^-fraction.
    ({"fraction": 4, "v_threshold": 100}, [(0, 32, 3, 0), (8, 0, 0, 0)],
     [(0, 6), (0, 3)], [-5.875, -6.0625]),
    # The returned value is wrapped to the data width, and so is the recorded one.
    ({"data_width": 8, "v_threshold": 100, "v_reset": 200}, [(0, 0, 0, 120)],
     [(1, -56)], [-0.609375]),
    # The divisor is 2^(fraction mod 32).
    ({"fraction": 33}, [(0, 0, 0, 128)], [(0, 128)], [-64.0]),
])
def test_recorded_distances(kwargs, steps, returns, xs):
    n = sc.SurrogateLif(surrogate="arctan", k=1.0, **kwargs)
    assert [n.forward(*s) for s in steps] == returns
    got = [n.backward(1.0) for _ in steps][::-1]
    assert got == [float(g_ref("arctan", 1.0, x)) for x in xs]


def test_trace_is_consumed_newest_first():
    n = sc.SurrogateLif(surrogate="arctan", k=1.0)
    lens = []
    for _ in range(3):
        n.forward(0, 256, 64)  # v = 64, 128, 192
        lens.append(n.trace_len())
    assert lens == [1, 2, 3]
    got = []
    for _ in range(3):
        got.append(n.backward(2.0))
        lens.append(n.trace_len())
    assert lens == [1, 2, 3, 2, 1, 0]
    assert got == [float(f32(2) * g_ref("arctan", 1.0, x)) for x in (-0.25, -0.5, -0.75)]
    with pytest.raises(ValueError, match=r"^backward\(\) called without matching forward\(\)$"):
        n.backward(1.0)
    assert n.trace_len() == 0
    # Forward and backward interleave: each backward takes the newest step left.
    n.forward(0, 256, 10)
    n.forward(0, 256, 10)
    assert n.backward(1.0) == float(g_ref("arctan", 1.0, (212 - 256) / 256))
    n.forward(0, 256, 20)
    assert n.backward(1.0) == float(g_ref("arctan", 1.0, (232 - 256) / 256))
    assert n.backward(1.0) == float(g_ref("arctan", 1.0, (202 - 256) / 256))


def test_reset_and_clear_trace():
    n = sc.SurrogateLif(v_rest=5)
    n.forward(0, 256, 300)  # fires: two refractory steps follow
    n.forward(0, 256, 1)
    n.clear_trace()
    assert n.trace_len() == 0
    # clear_trace keeps the neuron: the second refractory step is still due.
    assert n.forward(0, 256, 1) == (0, 5)
    assert n.forward(0, 256, 1) == (0, 6)
    n.forward(0, 256, 300)
    n.reset()
    assert n.trace_len() == 0
    # reset ends the refractory period and returns v to v_rest.
    assert n.forward(0, 256, 1) == (0, 6)
    with pytest.raises(ValueError, match="without matching"):
        sc.SurrogateLif().backward(1.0)


def test_bad_data_width_panics_without_recording():
    n = sc.SurrogateLif(data_width=17)
    assert str(panic_of(n.forward, 0, 0, 0)) == "mask width must be 1..=32, got 34"
    assert n.trace_len() == 0
    with pytest.raises(ValueError, match="without matching"):
        n.backward(1.0)


@pytest.mark.parametrize("call, exc, text", [
    (lambda: sc.SurrogateLif(v_rest=40000), OverflowError, "out of range integral type conversion attempted"),
    (lambda: sc.SurrogateLif(data_width=-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: sc.SurrogateLif().forward(0, 0, 1 << 15), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: sc.SurrogateLif(surrogate=3), TypeError, "argument 'surrogate': "),
    (lambda: sc.SurrogateLif(k="1"), TypeError, "argument 'k': "),
    (lambda: sc.SurrogateLif(surrogate=None), TypeError, "argument 'surrogate': "),
    (lambda: sc.SurrogateLif().backward("1"), TypeError, "argument 'grad_output': "),
    (lambda: sc.DifferentiableDenseLayer(1, 1, seed=-1), OverflowError, ""),
    (lambda: sc.DifferentiableDenseLayer(1, 1).forward("ab"), TypeError,
     "argument 'input_values': Can't extract `str` to `Vec`"),
    (lambda: sc.DifferentiableDenseLayer(1, 1).update_weights([[0.0]], "x"), TypeError, "argument 'lr': "),
])
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as e:
        call()
    assert str(e.value).startswith(text)


def test_zero_size_layer_panics():
    assert str(panic_of(sc.DifferentiableDenseLayer, 0, 1)) == "n_inputs must be > 0"
    assert str(panic_of(sc.DifferentiableDenseLayer, 0, 1, 0)) == "bitstream length must be > 0"


# --- DifferentiableDenseLayer --------------------------------------------------------------------

def reference_forward(weights, x, length, weight_seed, seed):
    """A single-neuron forward pass built from the generators: weight streams packed in order
    from ChaCha8(weight_seed), inputs encoded in order from one xoshiro256++(seed)."""
    g = bitref.ChaCha8(weight_seed)
    streams = [bitref.byte_form(w, length, g) for w in weights]
    h = bitref.Xoshiro(seed)
    inputs = [bitref.float_form(p, length, h) for p in x]
    count = sum(bitref.and_count(s, i) for s, i in zip(streams, inputs))
    return count / length


@pytest.mark.parametrize("surrogate, k, x0", [
    ("fast_sigmoid", None, 0.6), ("superspike", 2.5, 0.2), ("arctan", None, 0.35),
    ("arctan", -4.0, 0.8), ("ste", None, 0.7), ("ste", None, 0.05),
])
def test_round_on_a_two_input_neuron(surrogate, k, x0):
    length, seed, fseed = 64, 11, 3
    layer = sc.DifferentiableDenseLayer(2, 1, length=length, seed=seed, surrogate=surrogate, k=k)
    g = bitref.ChaCha8(seed)
    assert layer.get_weights() == [[bitref.uniform(g), bitref.uniform(g)]]
    # Large gradients drive the weights to exactly 1 and 0.
    assert layer.update_weights([[-5.0, 7.0]], 1.0) is None
    assert layer.get_weights() == [[1.0, 0.0]]

    x = [x0, 0.9]
    out = layer.forward(x, fseed)
    assert out == [reference_forward([1.0, 0.0], x, length, seed + 1, fseed)]

    grad_out = 0.3
    d = float(g_ref(surrogate, k, f32(out[0] - 0.5))) * grad_out
    grad_input, weight_grads = layer.backward([grad_out])
    assert same_bits(weight_grads, [[x0 * d, 0.9 * d]])
    assert same_bits(grad_input, [1.0 * d + 0.0, 0.0 * d + 0.0])

    lr = 0.5
    layer.update_weights(weight_grads, lr)
    w0 = min(max(1.0 - lr * (x0 * d), 0.0), 1.0)
    w1 = min(max(0.0 - lr * (0.9 * d), 0.0), 1.0)
    assert same_bits(layer.get_weights(), [[w0, w1]])
    # The caches survive the update; backward now sees the new weights.
    grad_input2, weight_grads2 = layer.backward([grad_out])
    assert same_bits(weight_grads2, weight_grads)
    assert same_bits(grad_input2, [w0 * d + 0.0, w1 * d + 0.0])
    # The weights were repacked from the same packing seed.
    assert layer.forward(x, fseed) == [reference_forward([w0, w1], x, length, seed + 1, fseed)]


def test_backward_accumulates_over_neurons_in_order():
    layer = sc.DifferentiableDenseLayer(3, 4, length=256, seed=5, surrogate="superspike", k=1.7)
    x = [0.9, -0.4, 0.55]
    out = layer.forward(x, 9)
    w = layer.get_weights()
    grad_out = [0.25, -1.5, 3.0, 0.1]
    gi, wg = [0.0] * 3, []
    for j in range(4):
        d = float(g_ref("superspike", 1.7, f32(out[j] - 0.5))) * grad_out[j]
        wg.append([x[i] * d for i in range(3)])
        gi = [w[j][i] * d + gi[i] for i in range(3)]
    assert same_bits(layer.backward(grad_out), (gi, wg))
    zero_in, zero_w = layer.backward([0.0] * 4)
    assert all(v == 0.0 for v in zero_in) and all(v == 0.0 for row in zero_w for v in row)


def test_caches_change_only_on_success():
    layer = sc.DifferentiableDenseLayer(3, 2, length=128)
    with pytest.raises(ValueError) as e:
        layer.backward([1.0, 1.0])
    assert str(e.value) == NO_INPUT
    with pytest.raises(ValueError, match=r"^Expected input of length 3, got 2\.$"):
        layer.forward([0.5, 0.5])
    with pytest.raises(ValueError) as e:
        layer.backward([1.0, 1.0])
    assert str(e.value) == NO_INPUT

    layer.forward([0.2, 0.7, 0.4], 1)
    before = layer.backward([1.0, -2.0])
    with pytest.raises(ValueError, match=r"^Expected input of length 3, got 4\.$"):
        layer.forward([0.9, 0.9, 0.9, 0.9], 1)
    with pytest.raises(ValueError, match=r"^Expected input of length 3, got 0\.$"):
        layer.forward([], 1)
    assert same_bits(layer.backward([1.0, -2.0]), before)
    # A forward with other inputs replaces both caches.
    layer.forward([0.9, 0.1, 0.0], 1)
    assert layer.backward([1.0, -2.0])[1][0][2] == 0.0
    assert not same_bits(layer.backward([1.0, -2.0]), before)

    for bad in ([1.0], [1.0, 2.0, 3.0], []):
        with pytest.raises(ValueError) as e:
            layer.backward(bad)
        assert str(e.value) == f"Expected grad_output length 2, got {len(bad)}."
    layer.clear_cache()
    with pytest.raises(ValueError) as e:
        layer.backward([1.0, 1.0])
    assert str(e.value) == NO_INPUT


def test_update_weights_shape_errors_change_nothing():
    layer = sc.DifferentiableDenseLayer(3, 2, length=64)
    layer.forward([0.5, 0.5, 0.5])
    w, out = layer.get_weights(), layer.forward([0.5, 0.5, 0.5])
    cases = [
        ([[1.0, 1.0, 1.0]], "Expected 2 grad rows, got 1."),
        ([[1.0] * 3] * 3, "Expected 2 grad rows, got 3."),
        ([], "Expected 2 grad rows, got 0."),
        ([[1.0] * 3, [1.0] * 2], "Expected each grad row to have length 3."),
        ([[1.0] * 4, [1.0] * 3], "Expected each grad row to have length 3."),
    ]
    for grads, msg in cases:
        with pytest.raises(ValueError) as e:
            layer.update_weights(grads, 1.0)
        assert str(e.value) == msg
    assert layer.get_weights() == w
    assert layer.forward([0.5, 0.5, 0.5]) == out
    # lr 0 with finite gradients changes nothing, the streams included.
    layer.update_weights([[3.0, -2.0, 1e300]] * 2, 0.0)
    assert layer.get_weights() == w
    assert layer.forward([0.5, 0.5, 0.5]) == out


def test_update_keeps_nan_and_clamps_infinities():
    layer = sc.DifferentiableDenseLayer(3, 1, length=64)
    layer.update_weights([[math.nan, math.inf, -math.inf]], 1.0)
    got = layer.get_weights()[0]
    assert math.isnan(got[0]) and got[1:] == [0.0, 1.0]
    # A NaN weight acts as 0 in the streams: only the weight at 1 counts.
    assert layer.forward([1.0, 1.0, 1.0]) == [1.0]


# --- Surface -------------------------------------------------------------------------------------

@pytest.mark.parametrize("obj, sig", [
    (sc.SurrogateLif, "(data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256, "
                      "refractory_period=2, surrogate=\"fast_sigmoid\", k=None)"),
    (sc.SurrogateLif.forward, "($self, leak_k, gain_k, i_t, noise_in=0)"),
    (sc.SurrogateLif.backward, "($self, grad_output)"),
    (sc.SurrogateLif.reset, "($self)"),
    (sc.SurrogateLif.trace_len, "($self)"),
    (sc.SurrogateLif.clear_trace, "($self)"),
    (sc.DifferentiableDenseLayer, "(n_inputs, n_neurons, length=1024, seed=24301, "
                                  "surrogate=\"fast_sigmoid\", k=None)"),
    (sc.DifferentiableDenseLayer.forward, "($self, input_values, seed=44257)"),
    (sc.DifferentiableDenseLayer.backward, "($self, grad_output)"),
    (sc.DifferentiableDenseLayer.update_weights, "($self, weight_grads, lr)"),
    (sc.DifferentiableDenseLayer.clear_cache, "($self)"),
    (sc.DifferentiableDenseLayer.get_weights, "($self)"),
])
def test_text_signatures(obj, sig):
    assert obj.__text_signature__ == sig
    assert not obj.__doc__
    inspect.signature(obj)


def test_keywords_and_defaults():
    a = sc.SurrogateLif(16, 8, 0, 0, 256, 2, "fast_sigmoid", None)
    b = sc.SurrogateLif(k=25.0)
    for n in (a, b):
        n.forward(leak_k=0, gain_k=256, i_t=100)
    assert a.backward(1.0) == b.backward(grad_output=1.0)
    c = sc.DifferentiableDenseLayer(2, 3, 1024, 24301, "fast_sigmoid", None)
    d = sc.DifferentiableDenseLayer(n_neurons=3, n_inputs=2)
    dense = sc.DenseLayer(2, 3)
    assert c.get_weights() == d.get_weights() == dense.get_weights()
    assert c.forward([0.3, 0.8]) == d.forward([0.3, 0.8], seed=44257) == dense.forward([0.3, 0.8])


@pytest.mark.parametrize("outer, inner, error", [
    # Exclusive methods exclude every other call, shared ones allow readers.
    ("forward", "get_weights", "Already mutably borrowed"),
    ("update_weights", "get_weights", "Already mutably borrowed"),
    ("backward", "get_weights", None),
    ("backward", "clear_cache", "Already borrowed"),
])
def test_layer_borrows(outer, inner, error):
    layer = sc.DifferentiableDenseLayer(1, 1, length=8)
    layer.forward([0.5])
    arg = Hook(getattr(layer, inner), 0.5)
    call = {"forward": lambda: layer.forward([arg]),
            "update_weights": lambda: layer.update_weights([[arg]], 0.0),
            "backward": lambda: layer.backward([arg])}[outer]
    if error is None:
        call()
    else:
        with pytest.raises(RuntimeError, match=error):
            call()


@pytest.mark.parametrize("outer, inner, error", [
    ("forward", "trace_len", "Already mutably borrowed"),
    ("backward", "trace_len", "Already mutably borrowed"),
])
def test_lif_borrows(outer, inner, error):
    n = sc.SurrogateLif()
    n.forward(0, 0, 0)
    arg = Hook(getattr(n, inner), 1)
    with pytest.raises(RuntimeError, match=error):
        getattr(n, outer)(*([0, 0, arg] if outer == "forward" else [arg]))
    assert n.trace_len() == 1
