"""One share of the fuzz, run in a child interpreter: every public callable of the module whose
index falls in this share is called with drawn arguments, and each call must return or raise
one of the documented exception types.

    fuzz_child.py SHARE SHARES EXAMPLES LAST_CALL_FILE [--small]

Prints one JSON line: the failures (the call, its arguments, what went wrong) and the
callables none of whose calls got past argument conversion. A crash or a call that hangs past its bound ends the
process instead (faulthandler prints the stack), and the file LAST_CALL_FILE names the call
that was running. With --small no size beyond a few hundred is drawn (for the sanitizer
build, whose allocator ends the process on an allocation it cannot serve).

Each argument is drawn as a value of some kind (a float, an int, a list, a float64 array, a
text, ...) or as a hostile object. The kinds a parameter accepts are learnt as the fuzz goes:
a TypeError names the argument it refused, so each callable soon draws mostly the kinds its
parameters take, and its calls reach the engine with edge values instead of stopping at the
first conversion.
"""
import faulthandler
import inspect
import json
import math
import re
import resource
import sys
import traceback

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import sc_dravik_engine as sc

SHARE, SHARES, EXAMPLES, LAST_CALL = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
SMALL = "--small" in sys.argv
CALL_BOUND_S = 60  # a call running longer than this hangs

if not SMALL:
    # Requests for more memory than this fail at once with MemoryError instead of filling the
    # machine first.
    resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))


class HostileError(Exception):
    """Raised by the hostile arguments' conversions; it may pass through unchanged."""


def panic_type():
    try:
        sc.BitstreamAverager(0)
    except BaseException as e:  # noqa: B036
        return type(e)
    raise AssertionError("no panic")


ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, HostileError, panic_type())
# Kinds of RuntimeError that tell of a fault, not of a refused argument.
NOT_ALLOWED = (RecursionError, NotImplementedError)

# ---------------------------------------------------------------- values

WIDTH_INTS = [0, 1, -1, 2, 3, 7, 8, 127, 128, -128, -129, 255, 256, 32767, 32768, -32768, -32769, 65535,
              65536, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -2**63,
              -2**63 - 1, 2**64 - 1, 2**64, 2**100, -2**100]
SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.5, -3.0, 30.0, -70.0, math.nan, math.inf, -math.inf, 5e-324,
                  2.2250738585072014e-308, 1e308, -1e308, 1e-300, 1e15]
# Sizes: small ones and (outside --small) ones far beyond memory or any index, which must fail
# at once; never the middle band, whose allocations or loops would only be slow.
SMALL_SIZES = [0, 1, 2, 3, 4, 5, 7, 8, 16, 33, 64, 257]
HUGE_SIZES = [2**40, 2**48, 2**58, 2**62, 2**63, 2**64 - 1]
SIZE_NAME = re.compile(r"^(n|n_.*|.*_size|length|stream_length|dimension|window|max_hist|n_comp|n_units|"
                       r"n_steps|shape_k|original_length|delay|n_channels|n_heads|dim_k|branch_length|"
                       r"n_branches|n_features|n_nodes)$")
TEXTS = ["", "x", "0.5", "Izhikevich", "HodgkinHuxley", "ArcaneNeuron", "StochasticIF", "GLM", "u64", "u8",
         "bitstream", "f64", "i16", "fast_sigmoid", "sigmoid", "straight_through", "\0", "\u00e9", "\ud800", "a\0b", "a" * 300,
         "sc.graph @g {\n}",
         'sc.graph @g {\n  %0 = sc.input "x" : rate\n  %1 = sc.encode %0, length=256, seed=0x0007 : bitstream<256>\n'
         '  %2 = sc.popcount %1 : u64\n  sc.output "y" %2\n}\n']


class FloatRaises:
    def __float__(self):
        raise HostileError("float")

    def __index__(self):
        raise HostileError("index")


class LyingSequence:
    """A sequence whose length is a lie and whose items fail."""

    def __init__(self, length, fail_at):
        self.length, self.fail_at = length, fail_at

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= self.fail_at:
            raise IndexError(i) if i >= 3 else HostileError("item")
        return 0.5

    def __iter__(self):
        for _ in range(self.fail_at):
            yield 0.5
        raise HostileError("iter")


class CallsBack:
    """A number whose conversion first calls back into the object being fuzzed."""

    def __init__(self, value, call):
        self.value, self.call = value, call

    def _back(self):
        if self.call is not None:
            try:
                self.call()
            except ALLOWED:
                pass

    def __float__(self):
        self._back()
        return float(self.value)

    def __index__(self):
        self._back()
        return int(self.value)


def floats():
    return st.sampled_from(SPECIAL_FLOATS) | st.floats(-100.0, 100.0)


def ints():
    return st.sampled_from(WIDTH_INTS) | st.integers(-300, 300)


def sizes(n):
    huge = [] if SMALL else HUGE_SIZES
    return st.sampled_from(SMALL_SIZES + [n, n]) | st.sampled_from(SMALL_SIZES + huge + [-1, 2**64]) | \
        st.integers(0, 40)


def float_list(n):
    return st.lists(floats(), min_size=n, max_size=n) | st.lists(st.floats(0.0, 1.0), max_size=2 * n + 1)


def int_list(n):
    return st.lists(st.integers(0, n + 1), min_size=n + 1, max_size=n + 1) | \
        st.lists(st.sampled_from(WIDTH_INTS[:24]) | st.integers(0, 2 * n + 2), max_size=2 * n + 2)


def square(n):
    return st.lists(st.lists(st.floats(-1.0, 1.0) | st.sampled_from(SPECIAL_FLOATS), min_size=n, max_size=n),
                    min_size=n, max_size=n)


def array_of(strategy, dtype):
    return st.builds(lambda v: np.array(v, dtype=dtype), strategy)


# The kinds of value a parameter may take, each a strategy for a population size n.
KINDS = {
    "float": lambda n: floats(),
    "int": lambda n: ints(),
    "size": sizes,
    "bool": lambda n: st.booleans(),
    "text": lambda n: st.sampled_from(TEXTS),
    "floats": float_list,
    "ints": int_list,
    "rows": square,
    "ragged": lambda n: st.lists(st.lists(st.floats(-1.0, 1.0), max_size=n + 1), max_size=n + 1),
    "f64": lambda n: array_of(st.lists(floats(), min_size=n, max_size=n), np.float64),
    "f64 rows": lambda n: st.builds(lambda m: np.array(m, dtype=np.float64).reshape(n, n), square(n)),
    "i64": lambda n: array_of(int_list(n), np.int64),
    "u64": lambda n: array_of(st.lists(st.integers(0, 2**64 - 1), max_size=n + 1), np.uint64),
    "u64 rows": lambda n: st.builds(lambda v: np.array(v, dtype=np.uint64).reshape(n, 2),
                                    st.lists(st.integers(0, 2**64 - 1), min_size=2 * n, max_size=2 * n)),
    "u8": lambda n: array_of(st.lists(st.integers(0, 1) | st.integers(0, 255), max_size=8 * n + 9), np.uint8),
    "i16": lambda n: array_of(st.lists(st.integers(-32768, 32767), max_size=n + 1), np.int16),
    "i8": lambda n: array_of(st.lists(st.integers(-128, 127), max_size=n + 2), np.int8),
    "bytes": lambda n: st.binary(max_size=2 * n + 2),
    "tensor": lambda n: st.builds(sc.BitStreamTensor, st.sampled_from([1, 64, 65, 130]), st.integers(0, 3)),
    "tensors": lambda n: st.lists(KINDS["tensor"](n), max_size=n + 1),
    "graph": lambda n: st.builds(lambda: sc.ir_parse(TEXTS[-1])),
}


def odd_array(n):
    """Arrays of the wrong layout, dtype or shape: strided, Fortran order, read-only,
    byte-swapped, misaligned, 0-d, 3-d, empty."""
    dtypes = [np.float64, np.float32, np.int64, np.int16, np.uint64, np.uint8, np.bool_]

    def build(dt, sh, kind):
        a = np.asarray(np.asarray(np.arange(int(np.prod(sh)) if sh else 1, dtype=np.float64).reshape(sh)) * 0.37)
        a = np.asarray(a.astype(dt))
        if kind == "strided" and a.ndim >= 1 and a.size:
            a = np.repeat(a, 2, axis=-1)[..., ::2]
        elif kind == "fortran" and a.ndim == 2:
            a = np.asfortranarray(a)
        elif kind == "readonly":
            a.flags.writeable = False
        elif kind == "swapped" and a.dtype.itemsize > 1:
            a = a.astype(a.dtype.newbyteorder())
        elif kind == "misaligned" and a.ndim == 1 and a.dtype.itemsize > 1:
            m = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype)
            m[...] = a
            a = m
        return a

    shapes = st.sampled_from([(n,), (0,), (n, n), (1, n), (n, 1), (2, n, 2), (), (n + 1,), (2 * n + 1,)])
    kinds = st.sampled_from(["strided", "fortran", "readonly", "swapped", "misaligned", "plain"])
    return st.builds(build, st.sampled_from(dtypes), shapes, kinds)


def hostile(n, call):
    return st.one_of(
        st.none(), st.builds(object), st.builds(FloatRaises), odd_array(n),
        st.builds(LyingSequence, st.sampled_from([0, 2, 10, 2**62]), st.sampled_from([0, 1, 3])),
        st.builds(CallsBack, st.sampled_from([0, 1, 3, -1, 0.5, 30.0]), st.just(call)),
        st.just([0.5] * 100_000), st.just(list(range(3000))), st.just("text"),
        st.sampled_from([np.uint64(2**64 - 1), np.float64(math.nan), np.bool_(True), np.int8(-1),
                         np.float32(3e38), np.int64(-2**63)]),
    )


# ---------------------------------------------------------------- learning the kinds

# One plain value of each kind, for the probes.
REPRESENTATIVE = {
    "float": 0.5, "int": 1, "size": 2, "bool": False, "text": "x", "floats": [0.5, 0.25], "ints": [0, 1, 2],
    "rows": [[0.5, 0.25], [0.125, 0.75]], "ragged": [[0.5], [0.5, 0.25]], "f64": np.array([0.5, 0.25]),
    "f64 rows": np.array([[0.5, 0.25], [0.125, 0.75]]), "i64": np.array([0, 1, 2]),
    "u64": np.array([1, 2], np.uint64), "u64 rows": np.ones((2, 2), np.uint64), "u8": np.array([1, 0, 1], np.uint8),
    "i16": np.array([1, 2], np.int16), "i8": np.array([1, -1], np.int8), "bytes": b"\x01\x00",
    "tensor": None, "tensors": None, "graph": None,
}


def representative(kind):
    if kind == "tensor":
        return sc.BitStreamTensor(64, 1)
    if kind == "tensors":
        return [sc.BitStreamTensor(64, 1), sc.BitStreamTensor(64, 2)]
    if kind == "graph":
        return sc.ir_parse(TEXTS[-1])
    return REPRESENTATIVE[kind]


def sized(name, kinds):
    """A whole number that sizes something draws sizes (huge ones outside --small); any other
    draws the integers at type widths."""
    if SIZE_NAME.match(name):
        return [k for k in kinds if k != "int"] if "size" in kinds else kinds
    return [k for k in kinds if k != "size"] if "int" in kinds else kinds


def signature_of(fn):
    try:
        return inspect.signature(fn)
    except (TypeError, ValueError):
        return None


def refused_argument(error):
    """The parameter a TypeError "argument 'p': ..." names, if any."""
    m = re.match(r"argument '([^']+)'", str(error)) if isinstance(error, TypeError) else None
    return m.group(1) if m else None


class Callable:
    """A callable and the kinds its parameters take: probed once, left to right (the binding
    converts in declaration order, and a refusal names its argument)."""

    def __init__(self, label, fn, params):
        self.label, self.fn, self.params = label, fn, params
        self.kinds = {p.name: list(KINDS) for p in params}

    @staticmethod
    def of(label, fn, signature_source=None):
        sig = signature_of(signature_source if signature_source is not None else fn)
        params = [] if sig is None else [p for p in sig.parameters.values() if p.name != "self"]
        return Callable(label, fn, params)

    def filler(self, p):
        return p.default if p.default is not inspect.Parameter.empty else 0.5

    def probe(self, run, fn):
        """Learns each parameter's kinds by calls that vary it alone. A binding may convert a
        later parameter first, so a second pass varies each one again with the others set to
        values of the kinds the first pass found."""
        values = [self.filler(p) for p in self.params]
        for _ in range(2):
            for i, p in enumerate(self.params):
                accepted, worked = [], []
                for kind in KINDS:
                    args = values[:i] + [representative(kind)] + values[i + 1:]
                    error = run.call(self, fn, args, {}, probe=True)
                    if refused_argument(error) != p.name:
                        accepted.append(kind)
                    if error is None:
                        worked.append(kind)
                if accepted:
                    self.kinds[p.name] = sized(p.name, accepted)
                # The value the other parameters are probed with: one of a kind that made the
                # call succeed, where one did.
                values[i] = representative((worked or self.kinds[p.name])[0])
        return values

    def value(self, data, p, n, call):
        """A value of a kind the parameter takes, or (one time in seven) a hostile one."""
        if 40 <= data.draw(st.integers(0, 99)) < 54:
            return data.draw(hostile(n, call))
        return data.draw(st.one_of(*[KINDS[k](n) for k in self.kinds[p.name]]))

    def draw(self, data, n, call):
        args, kwargs = [], {}
        positional = True
        # Choices are read from the middle of a range: the draws favour its ends.
        for p in self.params:
            if p.default is not inspect.Parameter.empty and 20 <= data.draw(st.integers(0, 99)) < 80:
                positional = False
                continue
            value = self.value(data, p, n, call)
            if positional and not 40 <= data.draw(st.integers(0, 99)) < 60:
                args.append(value)
            else:
                positional = False
                kwargs[p.name] = value
        extra = data.draw(st.integers(0, 99))
        if extra == 47:
            args.append(1.0)  # one too many
        elif extra in (52, 53):
            kwargs[data.draw(st.sampled_from(["no_such_argument", "\0", "a\0b", "\ud800", "\u00e9"]))] = 1
        return args, kwargs


# ---------------------------------------------------------------- calls

class Run:
    def __init__(self):
        self.failures = []
        self.reached = {}  # per callable: calls that got past argument matching and conversion
        self.exempt = set()  # constructors that refuse every call by design

    def fail(self, target, args, kwargs, e):
        self.failures.append({"call": target.label, "args": f"{args!r:.500}", "kwargs": f"{kwargs!r:.500}",
                              "error": f"{type(e).__name__}: {e!r}"[:500]})

    def call(self, target, fn, args, kwargs, also=(), probe=False):
        """Calls fn: a result or an allowed exception passes, anything else is a failure.
        Returns the exception raised (None when fn returned); the result is in self.result."""
        with open(LAST_CALL, "w") as f:
            f.write(f"{target.label}(*{args!r:.3000}, **{kwargs!r:.3000})")
        faulthandler.dump_traceback_later(CALL_BOUND_S, exit=True)
        error, self.result = None, None
        try:
            self.result = fn(*args, **kwargs)
        except NOT_ALLOWED as e:
            self.fail(target, args, kwargs, e)
            error = e
        except ALLOWED + also as e:
            error = e
        except BaseException as e:  # noqa: B036
            self.fail(target, args, kwargs, e)
            error = e
        finally:
            faulthandler.cancel_dump_traceback_later()
        if not probe:
            self.reached.setdefault(target.label, 0)
            self.reached[target.label] += not isinstance(error, TypeError)
        return error


SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=True,
                    suppress_health_check=list(HealthCheck))
MEMBER_EXAMPLES = max(4, EXAMPLES // 3)  # per member, beside the examples that mix them all


def fuzz_function(name, fn, run):
    target = Callable.of(name, fn)
    target.probe(run, fn)

    def one(data, _):
        n = data.draw(st.integers(0, 4))
        args, kwargs = target.draw(data, n, None)
        run.call(target, fn, args, kwargs)

    run_examples(one, None, EXAMPLES)
    if not run.reached.get(name):
        run_examples(one, None, 4 * EXAMPLES)  # every draw so far was refused: draw more


def members(cls):
    out = [("special", name) for name in ("__len__", "__repr__") if name in vars(cls)]
    for name, member in vars(cls).items():
        if name.startswith("__"):
            continue
        if callable(member) or isinstance(member, (staticmethod, classmethod)):
            out.append(("method", name))
        elif hasattr(member, "__get__"):
            out.append(("property", name))
    return out


def fuzz_class(name, cls, run):
    ctor = Callable.of(name, cls)
    good = ctor.probe(run, cls)
    parts = members(cls)
    method_names = sorted(m for kind, m in parts if kind == "method")
    methods = {m: Callable.of(f"{name}.{m}", None, getattr(cls, m)) for m in method_names}
    props = {m: Callable(f"{name}.{m}", None, []) for kind, m in parts if kind == "property"}
    specials = {m: Callable(f"{name}.{m}", {"__len__": len, "__repr__": repr}[m], [])
                for kind, m in parts if kind == "special"}
    # Arguments that build an object, for probing the methods and for the examples whose own
    # constructor call fails: the defaults, else plain values of the kinds each parameter takes
    # (each text tried in turn).
    known = None
    required = [p for p in ctor.params if p.default is inspect.Parameter.empty]
    candidates = [[]] + [[TEXTS[t] if ctor.kinds[p.name][0] == "text" else good[i]
                          for i, p in enumerate(required)] for t in range(len(TEXTS))]
    for args in candidates:
        if run.call(ctor, cls, args, {}, probe=True) is None:
            known = args
            break
    obj = run.result if known is not None else None
    if obj is None:
        # A class its callers never construct (a parser's or builder's result) is met
        # through the value kinds that make one.
        obj = next((v for v in map(representative, ("tensor", "graph")) if isinstance(v, cls)), None)
        if obj is not None:
            run.exempt.add(name)
    for m, target in methods.items():
        if obj is not None:
            target.probe(run, getattr(obj, m))
        # A method called with some other object for self refuses it.
        run.call(target, getattr(cls, m), [object()], {}, probe=True)

    def build(data, n):
        args, kwargs = ctor.draw(data, n, None)
        if run.call(ctor, cls, args, kwargs) is None:
            return run.result
        if known is not None and run.call(ctor, cls, known, {}, probe=True) is None:
            return run.result
        return obj if known is None else None

    def use(data, n, made, back, part):
        kind, member = part
        if kind == "special":
            run.call(specials[member], specials[member].fn, [made], {})
        elif kind == "property":
            if data.draw(st.booleans()):
                run.call(props[member], getattr, [made, member], {})
            else:
                # A property without a setter refuses with the interpreter's AttributeError.
                value = data.draw(st.one_of(*[k(n) for k in KINDS.values()], hostile(n, back)))
                run.call(props[member], setattr, [made, member, value], {}, also=(AttributeError,))
        else:
            target = methods[member]
            margs, mkwargs = target.draw(data, n, back)
            run.call(target, getattr(made, member), margs, mkwargs)

    def sequence(data, focus):
        """Builds an object and calls its members: any of them, or mostly the one in focus."""
        n = data.draw(st.integers(0, 4))
        made = build(data, n)
        if made is None or not parts:
            return
        # A callback calls a method of this very object without arguments.
        back = getattr(made, data.draw(st.sampled_from(method_names))) if method_names else None
        for _ in range(data.draw(st.integers(1, 5))):
            if focus is not None and data.draw(st.integers(0, 3)) != 0:
                use(data, n, made, back, focus)
            else:
                use(data, n, made, back, data.draw(st.sampled_from(parts)))

    labels = {"special": specials, "property": props, "method": methods}
    for focus in [None] + parts:
        run_examples(sequence, focus, EXAMPLES if focus is None else MEMBER_EXAMPLES)
        if focus is not None and not run.reached.get(labels[focus[0]][focus[1]].label):
            run_examples(sequence, focus, 4 * MEMBER_EXAMPLES)  # every call so far was refused


def run_examples(fn, focus, count):
    @settings(SETTINGS, max_examples=count)
    @given(st.data())
    def examples(data):
        fn(data, focus)

    examples()


def main():
    faulthandler.enable()
    run = Run()
    for i, name in enumerate(sc.__all__[1:]):
        if i % SHARES != SHARE:
            continue
        obj = getattr(sc, name)
        try:
            (fuzz_class if isinstance(obj, type) else fuzz_function)(name, obj, run)
        except Exception:  # the harness itself failed: not a finding about the module
            run.failures.append({"call": name, "error": "harness: " + traceback.format_exc()[-1500:]})
    with open(LAST_CALL, "w") as f:
        f.write("done")
    unreached = sorted(label for label, count in run.reached.items() if count == 0 and label not in run.exempt)
    print(json.dumps({"failures": run.failures, "unreached": unreached}))


if __name__ == "__main__":
    main()
