"""Emitted SystemVerilog run by real tools: every module of the table below is simulated by
iverilog beside behavioural stand-ins of the four hardware blocks (engine/tests/sv), each output
compared on every clock with an evaluation of the graph written here in Python, and linted by
verilator.

The evaluation reads the graph text itself and computes each value as an exact integer: inputs
of signed types (iN, fixed) and float or signed constants are two's-complement numbers, a scale
is floor(x * fx(factor) / 256), an offset x + fx(offset), a quotient truncates toward zero, a
popcount counts the value's bits at its type's width, and a port shows the low bits of its value.
The stand-ins' behaviour is written in their headers; the evaluation follows those texts.
"""
import pathlib
import random
import re
import shutil
import subprocess

import pytest

import sc_dravik_engine as sc
from bitref import lfsr16_step
from sc_testing import require_tool

SV_DIR = pathlib.Path(__file__).resolve().parent.parent / "engine" / "tests" / "sv"
BLOCKS = ["sc_bitstream_encoder", "sc_bitstream_synapse", "sc_lif_neuron", "sc_dense_layer_core"]
CYCLES = 10



@pytest.fixture
def work(tmp_path):
    """A folder whose name holds a space, with copies of the stand-ins and the waivers: paths
    with spaces are covered, and verilator, which cuts its file names at a space, is run from
    inside it on names relative to it."""
    folder = tmp_path / "hdl work"
    folder.mkdir()
    for name in [f"{b}.sv" for b in BLOCKS] + ["emitted_waivers.vlt"]:
        shutil.copyfile(SV_DIR / name, folder / name)
    return folder


# ---------------------------------------------------------------- the graphs

GRAPHS = {
    # Already correct before popcounts counted the source's own bits and literals grew to fit:
    # its module text stays byte for byte what it was (sixty_four.sv beside the stand-ins).
    "sixty_four": """
        %0 = sc.input "x" : u64
        %1 = sc.input "p" : rate
        %2 = sc.input "q" : rate
        %3 = sc.popcount %0
        %4 = sc.scale %3, factor=1.5
        %5 = sc.offset %4, offset=0.25
        %6 = sc.div_const %5, divisor=3
        %7 = sc.reduce %6, mode=max
        %8 = sc.popcount %7
        %9 = sc.encode %1, length=64, seed=0xACE1
        %10 = sc.encode %2, length=64, seed=0x00AB
        %11 = sc.and %9, %10
        %12 = sc.xor %9, %11
        %13 = sc.constant 0.5 : rate
        %14 = sc.constant -3 : i16
        %15 = sc.constant 7 : u32
        %16 = sc.constant [1, -2] : vec<i16,2>
        %17 = sc.constant [0.5, -0.25] : vec<rate,2>
        %18 = sc.scale %14, factor=-1.5
        %19 = sc.offset %14, offset=-0.5
        %20 = sc.input "cur" : fixed<16,8>
        %21 = sc.lif_step %20, leak=%20, gain=%20, noise=%20, dw=16, frac=8, vt=-256, rp=3
        %22 = sc.and %21, %9
        %23 = sc.input "xs" : vec<fixed<16,8>,3>
        %24 = sc.input "ws" : vec<fixed<16,8>,21>
        %25 = sc.dense_forward %23, weights=%24, leak=%20, gain=%20, ni=3, nn=7, len=1024
        sc.output "count" %3
        sc.output "y" %8
        sc.output "xbit" %12
        sc.output "half" %13
        sc.output "neg" %14
        sc.output "seven" %15
        sc.output "pair" %16
        sc.output "rates" %17
        sc.output "s" %18
        sc.output "o" %19
        sc.output "fired" %22
        sc.output "spikes" %25
    """,
    # The basic stochastic pipeline: a rate encoded into a stream whose ones are counted.
    "pipeline": """
        %0 = sc.input "p" : rate
        %1 = sc.encode %0, length=64, seed=1
        %2 = sc.popcount %1
        sc.output "n" %2
    """,
    # Popcount of every kind of source width: 1 bit, 2..63 bits, 64 bits, wider, and none.
    "popcount_widths": """
        %0 = sc.input "b" : bool
        %1 = sc.input "s" : bitstream<64>
        %2 = sc.input "r" : rate
        %3 = sc.input "u" : u8
        %4 = sc.input "f" : fixed<12,4>
        %5 = sc.input "w" : u63
        %6 = sc.input "x" : u64
        %7 = sc.input "v" : vec<u8,16>
        %8 = sc.input "z" : u0
        %9 = sc.popcount %0
        %10 = sc.popcount %1
        %11 = sc.popcount %2
        %12 = sc.popcount %3
        %13 = sc.popcount %4
        %14 = sc.popcount %5
        %15 = sc.popcount %6
        %16 = sc.popcount %7
        %17 = sc.popcount %8
        %18 = sc.xor %0, %1
        %19 = sc.popcount %18
        %20 = sc.popcount %9
        sc.output "pb" %9
        sc.output "ps" %10
        sc.output "pr" %11
        sc.output "pu" %12
        sc.output "pf" %13
        sc.output "pw" %14
        sc.output "px" %15
        sc.output "pv" %16
        sc.output "pz" %17
        sc.output "pxor" %19
        sc.output "pp" %20
        sc.output "uu" %3
        %33 = sc.popcount %32
        sc.output "puu" %33
    """,
    # Constants of every kind, counted and driven to ports at their types' widths.
    "constants": """
        %0 = sc.constant 0.5 : rate
        %1 = sc.constant -1.0 : fixed<32,8>
        %2 = sc.constant 7 : u8
        %3 = sc.constant -3 : i64
        %4 = sc.constant [1, -2] : vec<i16,2>
        %5 = sc.constant [1, 2] : vec<u8,2>
        %6 = sc.constant [] : vec<rate,0>
        %7 = sc.constant [70000, 1] : vec<i32,2>
        %8 = sc.constant 5000000000 : u64
        %9 = sc.constant -100000 : i32
        %10 = sc.constant 3.5 : fixed<8,4>
        %11 = sc.popcount %0
        %12 = sc.popcount %1
        %13 = sc.popcount %2
        %14 = sc.popcount %3
        %15 = sc.popcount %4
        %16 = sc.popcount %6
        %17 = sc.popcount %8
        %18 = sc.popcount %9
        sc.output "k0" %0
        sc.output "k1" %1
        sc.output "k2" %2
        sc.output "k3" %3
        sc.output "k4" %4
        sc.output "k5" %5
        sc.output "k6" %6
        sc.output "k7" %7
        sc.output "k8" %8
        sc.output "k9" %9
        sc.output "k10" %10
        sc.output "n0" %11
        sc.output "n1" %12
        sc.output "n2" %13
        sc.output "n3" %14
        sc.output "n4" %15
        sc.output "n6" %16
        sc.output "n8" %17
        sc.output "n9" %18
    """,
    # List constants: each element at its element type's width in a vector type (cut to it,
    # or extended from 64 bits), 16-bit slots in any other type; LISTS gives their port values.
    "lists": """
        %0 = sc.constant [7, 40000] : vec<u16,2>
        %1 = sc.constant [1.5, -2, 300] : vec<fixed<16,8>,3>
        %2 = sc.constant [0.5, 128.0] : vec<fixed<16,8>,2>
        %3 = sc.constant [70000, 5] : vec<i16,2>
        %4 = sc.constant [70000, 5] : vec<i32,2>
        %5 = sc.constant [1, 2] : vec<u32,2>
        %6 = sc.constant [-3, 4, 5000000000] : vec<i64,3>
        %7 = sc.constant [1, 0, 1, 1] : vec<bool,4>
        %8 = sc.constant [3, 9] : vec<u8,2>
        %9 = sc.constant [1, 2] : vec<i16,2>
        %10 = sc.constant [0.5, -1.0, 3.25] : vec<fixed<16,8>,3>
        %11 = sc.constant [-1, 2] : vec<u100,2>
        %12 = sc.constant [-40000, 3] : vec<vec<i8,2>,2>
        %13 = sc.constant [5, 6] : vec<u0,2>
        %14 = sc.constant [3, 5, 7] : u24
        %15 = sc.constant [-2, 1] : rate
        %16 = sc.popcount %0
        %17 = sc.popcount %6
        %18 = sc.popcount %7
        %19 = sc.popcount %11
        %20 = sc.popcount %13
        sc.output "l0" %0
        sc.output "l1" %1
        sc.output "l2" %2
        sc.output "l3" %3
        sc.output "l4" %4
        sc.output "l5" %5
        sc.output "l6" %6
        sc.output "l7" %7
        sc.output "l8" %8
        sc.output "l9" %9
        sc.output "l10" %10
        sc.output "l11" %11
        sc.output "l12" %12
        sc.output "l13" %13
        sc.output "l14" %14
        sc.output "l15" %15
        sc.output "n0" %16
        sc.output "n6" %17
        sc.output "n7" %18
        sc.output "n11" %19
        sc.output "n13" %20
    """,
    # Scale, offset, quotient and reduction over unsigned, signed and negative values.
    "arithmetic": """
        %0 = sc.input "x" : u16
        %1 = sc.input "i" : i16
        %2 = sc.input "f" : fixed<16,8>
        %3 = sc.input "b" : bool
        %4 = sc.input "q" : u64
        %5 = sc.scale %0, factor=-1.5
        %6 = sc.scale %0, factor=1.5
        %7 = sc.scale %1, factor=0.5
        %8 = sc.scale %2, factor=-2
        %9 = sc.scale %5, factor=0.25
        %10 = sc.scale %3, factor=-3
        %11 = sc.scale %4, factor=-0.5
        %12 = sc.scale %0, factor=100000000
        %13 = sc.offset %1, offset=1
        %14 = sc.offset %0, offset=-0.25
        %15 = sc.offset %0, offset=10000000000
        %16 = sc.offset %5, offset=0.5
        %17 = sc.div_const %1, divisor=3
        %18 = sc.div_const %5, divisor=7
        %19 = sc.div_const %0, divisor=3000000000
        %20 = sc.div_const %4, divisor=5000000000
        %21 = sc.div_const %1, divisor=5000000000
        %22 = sc.reduce %1, mode=sum
        %23 = sc.reduce %0, mode=max
        %24 = sc.reduce %5
        %25 = sc.constant -0.5 : fixed<16,8>
        %26 = sc.scale %25, factor=-1.5
        %27 = sc.offset %25, offset=0.25
        %28 = sc.div_const %25, divisor=2
        %29 = sc.popcount %5
        sc.output "s5" %5
        sc.output "s6" %6
        sc.output "s7" %7
        sc.output "s8" %8
        sc.output "s9" %9
        sc.output "s10" %10
        sc.output "s11" %11
        sc.output "s12" %12
        sc.output "o13" %13
        sc.output "o14" %14
        sc.output "o15" %15
        sc.output "o16" %16
        sc.output "d17" %17
        sc.output "d18" %18
        sc.output "d19" %19
        sc.output "d20" %20
        sc.output "d21" %21
        sc.output "r22" %22
        sc.output "r23" %23
        sc.output "r24" %24
        sc.output "c26" %26
        sc.output "c27" %27
        sc.output "c28" %28
        sc.output "p29" %29
        %54 = sc.div_const %30, divisor=4
        sc.output "via_port" %54
    """,
    # Two LIF neurons (one at 12 bits) feeding synapses with encoded streams, and their spikes
    # driven to ports at the data width.
    "lif": """
        %0 = sc.input "cur" : fixed<16,8>
        %1 = sc.input "leak" : fixed<16,8>
        %2 = sc.input "gain" : fixed<16,8>
        %3 = sc.input "noise" : fixed<16,8>
        %4 = sc.lif_step %0, leak=%1, gain=%2, noise=%3, dw=16, frac=8, vt=300, rp=2
        %5 = sc.input "cur12" : fixed<12,4>
        %6 = sc.input "gain12" : fixed<12,4>
        %7 = sc.lif_step %5, leak=%6, gain=%6, noise=%5, dw=12, frac=4, vt=40, rp=1
        %8 = sc.lif_step %0, leak=%1, gain=%2, noise=%3, vt=5000000000
        %9 = sc.lif_step %0, leak=%1, gain=%2, noise=%3, vt=-3000000000, rp=0
        %10 = sc.input "p" : rate
        %11 = sc.encode %10, length=256, seed=0xACE1
        %12 = sc.and %4, %11
        %13 = sc.and %11, %7
        sc.output "spike" %4
        sc.output "spike12" %7
        sc.output "never" %8
        sc.output "always" %9
        sc.output "gated" %12
        sc.output "gated12" %13
    """,
    # A dense layer whose short runs restart, its spikes counted.
    "dense": """
        %0 = sc.input "x" : vec<fixed<16,8>,3>
        %1 = sc.input "w" : vec<fixed<16,8>,6>
        %2 = sc.input "leak" : fixed<16,8>
        %3 = sc.input "gain" : fixed<16,8>
        %4 = sc.dense_forward %0, weights=%1, leak=%2, gain=%3, ni=3, nn=2, len=3
        %5 = sc.popcount %4
        sc.output "spikes" %4
        sc.output "count" %5
    """,
    # Bitstream logic: XOR and AND of streams, and the low bits of wider values.
    "streams": """
        %0 = sc.input "a" : bitstream<32>
        %1 = sc.input "b" : bool
        %2 = sc.input "p" : rate
        %3 = sc.input "k" : u8
        %4 = sc.encode %2, length=32, seed=0x00AB
        %5 = sc.xor %0, %1
        %6 = sc.and %4, %5
        %7 = sc.xor %3, %4
        sc.output "x" %5
        sc.output "y" %6
        sc.output "z" %7
        sc.output "e" %4
    """,
    # Names that are not simple identifiers, written escaped.
    "my-graph": """
        %0 = sc.input "1st" : u8
        %1 = sc.input "module" : bool
        %2 = sc.input "a+b" : rate
        %3 = sc.popcount %0
        %4 = sc.popcount %1
        %5 = sc.encode %2, length=16, seed=5
        sc.output "out[0]" %3
        sc.output "wire" %4
        sc.output "x.y" %5
        sc.output "n$" %6
    """,
}


# ---------------------------------------------------------------- the graph, read here

def parse_graph(text):
    """The operations of a body as (kind, id, fields) in text order; outputs get the next id."""
    ops, next_id = [], 0
    for line in filter(None, (l.strip() for l in text.splitlines())):
        m = re.fullmatch(r'sc\.output "(.*)" %(\d+)', line)
        if m:
            ops.append(("output", next_id, {"name": m[1], "source": int(m[2])}))
            next_id += 1
            continue
        m = re.fullmatch(r"%(\d+) = sc\.(\w+) (.*)", line)
        kind, oid, rest = m[2], int(m[1]), m[3]
        fields = dict(re.findall(r"(\w+)=([^,\s]+)", rest))
        fields["args"] = [int(a) for a in re.findall(r"%(\d+)", rest)]  # in operand order
        if kind == "input":
            fields["name"], fields["ty"] = re.fullmatch(r'"(.*)" : (.*)', rest).groups()
        if kind == "constant":
            fields["value"], fields["ty"] = rest.rsplit(" : ", 1)
        ops.append((kind, oid, fields))
        next_id = max(next_id, oid + 1)
    return ops


def type_width(ty):
    m = re.fullmatch(r"vec<(.*),(\d+)>", ty)
    if m:
        return type_width(m[1]) * int(m[2])
    if ty in ("bool",) or ty.startswith("bitstream"):
        return 1
    if ty == "rate":
        return 16
    m = re.fullmatch(r"[ui](\d+)|fixed<(\d+),\d+>", ty)
    return int(m[1] or m[2])


def signed_type(ty):
    return ty[0] == "i" or ty.startswith("fixed")


def signed_bits(pattern, width):
    return pattern - (1 << width) if width and pattern >> (width - 1) & 1 else pattern


def fx(x):
    return max(-(1 << 63), min((1 << 63) - 1, int(float(x) * 256)))


def constant_value(text, ty):
    """The constant's integer: fx of a float, the integer itself; lists as their elements."""
    if text.startswith("["):
        items = [e.strip() for e in text[1:-1].split(",") if e.strip()]
        return [fx(e) if any("." in i for i in items) else int(e) for e in items]
    if "." in text or ty == "rate":
        return fx(text)
    return int(text)


def list_bits(elems, ty):
    """A list constant as one pattern: element k in bits [k * w, (k + 1) * w) in two's
    complement, w the element width of a vector type; of any other type, 16-bit fields (64-bit
    ones when an element needs more)."""
    m = re.fullmatch(r"vec<(.*),(\d+)>", ty)
    if m:
        w = type_width(m[1])
    else:
        w = 16 if all(-32768 <= e < 32768 for e in elems) else 64
    return sum((e % (1 << w)) << (w * k) for k, e in enumerate(elems))


def port_width(ops, source, seen=()):
    """The table of output widths, following outputs to what they forward."""
    op = next((o for o in ops if o[1] == source), None)
    if op is None or source in seen:
        return 16
    kind, _, f = op
    if kind == "output":
        return port_width(ops, f["source"], seen + (source,))
    if kind in ("input", "constant"):
        return type_width(f["ty"])
    return {"encode": 1, "and": 1, "xor": 1, "lif_step": int(f.get("dw", 16)),
            "dense_forward": int(f.get("nn", 7))}.get(kind, 64)


def wrap(x, k):
    return signed_bits(x % (1 << k), k)


class Model:
    """The graph as a clocked circuit: values from the state, then one clock of the state."""

    def __init__(self, ops, inputs):
        self.ops, self.inputs = ops, inputs
        self.state = {}
        for kind, oid, f in ops:
            if kind == "encode":
                self.state[oid] = int(f["seed"], 16) if f["seed"].startswith("0x") else int(f["seed"])
            elif kind == "lif_step":
                self.state[oid] = {"v": 0, "refractory": 0, "fired": 0}
            elif kind == "dense_forward":
                self.state[oid] = {"t": 0, "busy": False, "v": [0] * int(f["nn"]),
                                   "fired": [0] * int(f["nn"])}

    def values(self):
        """(value, width) of every id: exact integers, width the bits a popcount counts."""
        val = {}
        for kind, oid, f in self.ops:
            a = [val[x][0] for x in f.get("args", [])]
            if kind == "input":
                w = type_width(f["ty"])
                p = self.inputs[f["name"]]
                val[oid] = (signed_bits(p, w) if signed_type(f["ty"]) else p, w)
            elif kind == "output":
                w = max(port_width(self.ops, f["source"]), 1)
                v = val[f["source"]][0] % (1 << w)
                negative = val[f["source"]][0] < 0
                val[oid] = (signed_bits(v, w) if negative else v, w)
            elif kind == "constant":
                c = constant_value(f["value"], f["ty"])
                if isinstance(c, list):
                    c = list_bits(c, f["ty"])
                val[oid] = (c, type_width(f["ty"]))
            elif kind == "encode":
                val[oid] = (int(self.state[oid] < a[0] % (1 << 16)), 1)
            elif kind == "and":
                val[oid] = (a[0] & a[1] & 1, 1)
            elif kind == "xor":
                val[oid] = ((a[0] ^ a[1]) & 1, 1)
            elif kind == "popcount":
                v, w = val[f["args"][0]]
                val[oid] = (bin(v % (1 << w)).count("1") if w else 0, 64)
            elif kind == "lif_step":
                val[oid] = (self.state[oid]["fired"], 1)
            elif kind == "dense_forward":
                fired = self.state[oid]["fired"]
                val[oid] = (sum(b << j for j, b in enumerate(fired)), len(fired))
            elif kind == "scale":
                val[oid] = ((a[0] * fx(f["factor"])) >> 8, 64)
            elif kind == "offset":
                val[oid] = (a[0] + fx(f["offset"]), 64)
            elif kind == "div_const":
                q = abs(a[0]) // int(f["divisor"])
                val[oid] = (q if a[0] >= 0 else -q, 64)
            elif kind == "reduce":
                v, w = val[f["args"][0]]
                val[oid] = (v % (1 << 64) if w > 64 else v, 64)
        return val

    def clock(self, val):
        for kind, oid, f in self.ops:
            if kind == "encode":
                self.state[oid] = lfsr16_step(self.state[oid])
            elif kind == "lif_step":
                self.lif(self.state[oid], f, [val[x][0] for x in f["args"]])
            elif kind == "dense_forward":
                self.dense(self.state[oid], f, [val[x][0] for x in f["args"]])

    @staticmethod
    def lif(s, f, pins):
        w, frac = int(f.get("dw", 16)), int(f.get("frac", 8)) % 32
        vt, rp = int(f.get("vt", 256)), int(f.get("rp", 2))
        cur, leak_k, gain_k, noise = (wrap(p, w) for p in pins)
        if s["refractory"] > 0:
            s["refractory"] -= 1
            s["v"], s["fired"] = 0, 0
            return
        d = wrap(0 - s["v"], min(2 * w, 16))
        leak = wrap((d * leak_k) >> frac, w)
        drive = wrap((cur * gain_k) >> frac, w)
        v_new = wrap(s["v"] + noise + drive + leak, w)
        if v_new >= vt:
            s["v"], s["refractory"], s["fired"] = 0, rp, 1
        else:
            s["v"], s["fired"] = v_new, 0

    @staticmethod
    def dense(s, f, pins):
        ni, nn, length = int(f["ni"]), int(f["nn"]), int(f["len"])
        x, wts, leak, gain = pins
        field = lambda bits, k: wrap(bits >> (16 * k), 16)
        was_busy = s["busy"]
        for j in range(nn):
            drive = wrap(sum(field(x, i) * field(wts, j * ni + i) for i in range(ni)), 64) >> 8
            v = s["v"][j]
            v_new = wrap(v - (wrap(v * wrap(leak, 16), 64) >> 8)
                         + (wrap(drive * wrap(gain, 16), 64) >> 8), 64)
            s["fired"][j] = int(was_busy and v_new >= 256)
            if was_busy:
                s["v"][j] = 0 if v_new >= 256 else v_new
        if not was_busy:
            s["t"], s["busy"] = 0, True
        else:
            s["busy"] = s["t"] + 1 < length
            s["t"] += 1


def expected_trace(ops, vectors):
    outputs = [(f["name"], oid) for kind, oid, f in ops if kind == "output"]
    lines = []
    for inputs in vectors:
        model = Model(ops, inputs)
        for _ in range(CYCLES):
            val = model.values()
            lines.append(" ".join(
                format(val[oid][0] % (1 << val[oid][1]), "x") for _, oid in outputs))
            model.clock(val)
    return lines


# ---------------------------------------------------------------- the tools

def escaped(name):
    """Any name of printable characters, as an escaped identifier (the same as a plain one)."""
    return "\\" + name + " "


def bench_module(ops, top, vectors):
    ports = [(kind, f["name"], max(type_width(f["ty"]) if kind == "input"
                                   else port_width(ops, f["source"]), 1))
             for kind, _, f in ops if kind in ("input", "output")]
    decl, conn, show = [], [".clk(clk)", ".rst_n(rst_n)"], []
    for k, (kind, name, w) in enumerate(ports):
        decl.append(f"    {'reg' if kind == 'input' else 'wire'} [{w - 1}:0] p{k};")
        conn.append(f".{escaped(name)}(p{k})")
        if kind == "output":
            show.append(f"p{k}")
    body = []
    for inputs in vectors:
        body.append("        #1 rst_n = 0;")  # an edge: the blocks reset asynchronously
        for k, (kind, name, w) in enumerate(ports):
            if kind == "input":
                body.append(f"        p{k} = {w}'h{inputs[name]:x};")
        body.append("        #1 rst_n = 1; #1;")
        body.append(f"        repeat ({CYCLES}) begin $display(\"{' '.join(['%h'] * len(show))}\", "
                    f"{', '.join(show)}); clk = 1; #1 clk = 0; #1; end")
    return "\n".join([
        "`timescale 1ns / 1ps", "module tb;", "    reg clk = 0, rst_n = 1;", *decl,
        f"    {escaped(top)} dut ({', '.join(conn)});", "    initial begin", *body,
        "        $finish;", "    end", "endmodule", ""])


STAND_INS = [f"{b}.sv" for b in BLOCKS]


def simulate(work, sv_text, ops, top, vectors):
    require_tool("iverilog", "iverilog")
    (work / "dut.sv").write_text(sv_text)
    (work / "tb.sv").write_text(bench_module(ops, top, vectors))
    build = subprocess.run(["iverilog", "-g2012", "-o", str(work / "sim"), "-s", "tb",
                            *(str(work / f) for f in STAND_INS), str(work / "dut.sv"),
                            str(work / "tb.sv")],
                           capture_output=True, text=True)
    # iverilog notes an always_comb that reads no signal (a count of a constant); it still runs
    # once at time 0.
    notes = [l for l in build.stderr.splitlines() if "always_comb process has no sensitivities" not in l]
    assert build.returncode == 0 and not notes, build.stderr + build.stdout
    run = subprocess.run(["vvp", "-n", str(work / "sim")], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    # Leading zeros differ between the two sides: compare numbers (an unknown value stays
    # as printed, with its x digits).
    def number(t):
        return t if re.search(r"[xz]", t, re.I) else format(int(t, 16), "x")

    return [" ".join(map(number, line.split())) for line in run.stdout.splitlines()]


def lint(work, sv_text, top):
    """verilator's findings as (rule, line of the module text) pairs."""
    require_tool("verilator", "verilator")
    folder = work / "ir_sv_sim"  # the folder name the waivers are limited to
    folder.mkdir(exist_ok=True)
    (folder / f"{top}.sv").write_text(sv_text)
    run = subprocess.run(["verilator", "--lint-only", "-Wall", "-Wno-fatal", "--top-module",
                          top, *STAND_INS, "emitted_waivers.vlt", f"ir_sv_sim/{top}.sv"],
                         cwd=work, capture_output=True, text=True)
    text_lines = sv_text.splitlines()
    found = []
    for m in re.finditer(r"%(Warning|Error)(?:-(\w+))?: ([^:]+):(\d+):", run.stderr):
        where = text_lines[int(m[4]) - 1].strip() if m[3].endswith(f"{top}.sv") else m[3]
        found.append((m[1], m[2], where))
    assert run.returncode == 0 or found, run.stderr
    return found


def vectors_for(ops, seed):
    """All zeros, all ones, and random values of every input."""
    rng = random.Random(seed)
    inputs = [(f["name"], type_width(f["ty"])) for kind, _, f in ops if kind == "input"]
    out = [{n: 0 for n, _ in inputs}, {n: (1 << w) - 1 if w else 0 for n, w in inputs}]
    for _ in range(3):
        out.append({n: rng.getrandbits(w) if w else 0 for n, w in inputs})
    return out


# The arithmetic of the 64-bit input stays exact in 64 bits for values below 2^40.
LIMITS = {("arithmetic", "q"): 1 << 40}


def fixed(*values, frac=8, bits=16):
    """Fixed-point numbers packed into one pattern, the first in the lowest bits."""
    return sum((round(v * (1 << frac)) % (1 << bits)) << (bits * k) for k, v in enumerate(values))


# Inputs in the working range of the neurons, where each pin moves the spikes its own way
# (random patterns mostly saturate them).
CHOSEN = {
    "lif": [
        dict(cur=fixed(1.0), leak=fixed(0.125), gain=fixed(0.5), noise=fixed(0.0625),
             cur12=fixed(1.0, frac=4, bits=12), gain12=fixed(0.5, frac=4, bits=12), p=0x8000),
        dict(cur=fixed(0.75), leak=fixed(0.25), gain=fixed(1.0), noise=fixed(-0.0625),
             cur12=fixed(1.5, frac=4, bits=12), gain12=fixed(0.25, frac=4, bits=12), p=0x4000),
    ],
    "dense": [
        dict(x=fixed(1.0, 0.5, -0.25), w=fixed(1.0, 1.0, 0.0, 0.5, -1.0, 2.0),
             leak=fixed(0.25), gain=fixed(1.0)),
        dict(x=fixed(0.5, 0.5, 0.5), w=fixed(0.25, 0.5, 0.25, 1.0, 0.5, 0.25),
             leak=fixed(0.125), gain=fixed(0.75)),
    ],
}


def graph_vectors(name, ops):
    vectors = vectors_for(ops, name) + CHOSEN.get(name, [])
    for v in vectors:
        for (graph, port), limit in LIMITS.items():
            if graph == name:
                v[port] %= limit
    return vectors


def engine_graph(name):
    """The graph of the table, named after its key, as the engine parses it."""
    return sc.ir_parse("sc.graph @" + name + " {\n" + GRAPHS[name] + "}\n")


@pytest.fixture(params=list(GRAPHS), ids=list(GRAPHS))
def emitted(request):
    name = request.param
    g = engine_graph(name)
    assert sc.ir_verify(g) is None
    return name, parse_graph(GRAPHS[name]), sc.ir_emit_sv(g)


def test_already_correct_text_is_unchanged():
    text = sc.ir_emit_sv(engine_graph("sixty_four"))
    assert text == (SV_DIR / "sixty_four.sv").read_text()


# The ports of the "lists" graph, worked out by hand from the element patterns.
LISTS = {
    "l0": 0x9C400007,
    "l1": 0x2C00FE000180,
    "l2": 0x80000080,
    "l3": 0x00051170,
    "l4": 0x0000000500011170,
    "l5": 0x0000000200000001,
    "l6": (5000000000 << 128) | (4 << 64) | (2**64 - 3),
    "l7": 0xD,
    "l8": 0x0903,
    "l9": 0x00020001,
    "l10": 0x0340FF000080,
    "l11": (2 << 100) | (2**100 - 1),
    "l12": 0x000363C0,  # -40000 and 3 in 16-bit fields of two i8 each
    "l13": 0,
    "l14": 0x050003,  # not a vector: 16-bit fields, cut to the port's 24 bits
    "l15": 0xFFFE,
    "n0": 8, "n6": 75, "n7": 3, "n11": 101, "n13": 0,
}


def test_list_constants_drive_every_element(work):
    ops = parse_graph(GRAPHS["lists"])
    names = [f["name"] for kind, _, f in ops if kind == "output"]
    first = simulate(work, sc.ir_emit_sv(engine_graph("lists")), ops, "lists", [{}])[0]
    assert dict(zip(names, (int(v, 16) for v in first.split()))) == LISTS


def test_simulates_as_the_graph_says(emitted, work):
    name, ops, text = emitted
    vectors = graph_vectors(name, ops)
    assert simulate(work, text, ops, name, vectors) == expected_trace(ops, vectors)


# Today's arithmetic templates leave SystemVerilog to extend a narrow operand to the 64-bit
# result, and a 1-bit XOR takes the low bit of wider operands; verilator names those widths.
EXTENDED_OPERAND = re.compile(r"assign v\d+ = .* [+/^] .*;|assign v\d+ = [^ ]+;")


# Besides those: an input of no bits and the unused high bits of a constant cut to its port are
# never read, and a keyword written as an escaped name is still noted as one.
OTHER_NOTES = {"UNUSEDSIGNAL", "SYMRSVDWORD"}


def test_lints_clean(emitted, work):
    name, _, text = emitted
    found = lint(work, text, name)
    assert [f for f in found if f[0] == "Error"] == []
    assert [f for f in found if f[1] == "UNDRIVEN"] == []
    assert [f for f in found if f[1] == "WIDTH" and not EXTENDED_OPERAND.fullmatch(f[2])] == []
    assert [f for f in found if f[1] not in OTHER_NOTES | {"WIDTH"}] == []


# Faults the comparison must catch: a pin connected to another value, a wrong shift, an
# unsigned product, a popcount past the source's bits.
MUTATIONS = [
    ("lif", ".leak_k(leak),\n        .gain_k(gain),", ".leak_k(gain),\n        .gain_k(leak),"),
    ("lif", ".I_t(cur),\n        .noise_in(noise),", ".I_t(noise),\n        .noise_in(cur),"),
    ("dense", ".cfg_leak(leak),\n        .cfg_gain(gain),", ".cfg_leak(gain),\n        .cfg_gain(leak),"),
    ("arithmetic", "(x * 384) >>> 8", "(x * 384) >>> 7"),
    ("arithmetic", "($signed({1'b0, x}) * -384) >>> 8", "(x * -384) >>> 8"),
    ("popcount_widths", "_pc_i < 12;", "_pc_i < 13;"),
]


@pytest.mark.parametrize("graph, before, after", MUTATIONS)
def test_catches_faults(graph, before, after, work):
    ops = parse_graph(GRAPHS[graph])
    text = sc.ir_emit_sv(engine_graph(graph))
    assert before in text
    vectors = graph_vectors(graph, ops)
    faulty = text.replace(before, after)
    assert simulate(work, faulty, ops, graph, vectors) != expected_trace(ops, vectors)
