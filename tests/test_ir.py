"""The IR toolchain from Python: builder, text printer and parser, verifier, SystemVerilog."""
import pytest

import sc_dravik_engine as sc
from sc_testing import Hook

CONSUMED = "Builder already consumed by build()."
SATURATED = "[18446744073709551614:0]"  # the range of a width saturated at 2^64 - 1


def graph(body, name="m"):
    """Parses the operation lines of a graph given without header and closing line."""
    return sc.ir_parse("sc.graph @" + name + " {\n" + body + "}\n")


def printed_ops(g):
    """The operation lines of ir_print, without indent, header and closing line."""
    return [line[2:] for line in sc.ir_print(g).splitlines()[1:-1]]


def sv(body):
    return sc.ir_emit_sv(graph(body))


# ---------------------------------------------------------------- module surface


def test_module_places_ir_names_after_the_averager():
    names = sc.__all__
    i = names.index("BitstreamAverager")
    assert names[i + 1 : i + 7] == [
        "ScGraph", "ScGraphBuilder", "ir_verify", "ir_print", "ir_parse", "ir_emit_sv",
    ]
    assert names[i + 7] == "AdExNeuron"


@pytest.mark.parametrize(
    "obj, text",
    [
        (sc.ScGraphBuilder, "ScGraphBuilder(name)\n--\n\n"),
        (sc.ScGraphBuilder.input, "input($self, name, ty)\n--\n\nAdd a typed input port. Returns value ID."),
        (sc.ScGraphBuilder.output, "output($self, name, source_id)\n--\n\nAdd an output port forwarding a value."),
        (sc.ScGraphBuilder.constant_f64, "constant_f64($self, value, ty)\n--\n\nAdd a float constant."),
        (sc.ScGraphBuilder.constant_i64, "constant_i64($self, value, ty)\n--\n\nAdd an integer constant."),
        (sc.ScGraphBuilder.encode, "encode($self, prob_id, length, seed)\n--\n\nAdd a Bernoulli encode operation."),
        (sc.ScGraphBuilder.scale, "scale($self, input_id, factor)\n--\n\nAdd a scale (multiply by constant factor) operation."),
        (sc.ScGraphBuilder.offset, "offset($self, input_id, offset_val)\n--\n\nAdd an offset (add constant) operation."),
        (sc.ScGraphBuilder.div_const, "div_const($self, input_id, divisor)\n--\n\nAdd a divide-by-constant operation."),
        (sc.ScGraphBuilder.bitwise_and, "bitwise_and($self, lhs_id, rhs_id)\n--\n\nAdd a bitwise AND (SC multiply)."),
        (sc.ScGraphBuilder.popcount, "popcount($self, input_id)\n--\n\nAdd a popcount operation."),
        (
            sc.ScGraphBuilder.lif_step,
            "lif_step($self, current_id, leak_id, gain_id, noise_id, data_width=16, fraction=8, "
            "v_rest=0, v_reset=0, v_threshold=256, refractory_period=2)\n--\n\nAdd a LIF neuron step.",
        ),
        (
            sc.ScGraphBuilder.dense_forward,
            "dense_forward($self, inputs_id, weights_id, leak_id, gain_id, n_inputs=3, n_neurons=7, "
            "data_width=16, stream_length=1024, seed_base=44257, y_min=0, y_max=65535)"
            "\n--\n\nAdd a dense layer forward pass.",
        ),
        (sc.ScGraphBuilder.build, "build($self)\n--\n\nConsume the builder and return a graph."),
        (sc.ScGraph.len, "len($self)\n--\n\nNumber of operations in the graph."),
        (sc.ScGraph.is_empty, "is_empty($self)\n--\n\nWhether the graph is empty."),
        (sc.ScGraph.num_inputs, "num_inputs($self)\n--\n\nNumber of input ports."),
        (sc.ScGraph.num_outputs, "num_outputs($self)\n--\n\nNumber of output ports."),
        (sc.ir_verify, "ir_verify(graph)\n--\n\nVerify an IR graph. Returns None on success, or a list of error strings."),
        (sc.ir_print, "ir_print(graph)\n--\n\nPrint an IR graph to its stable text format."),
        (sc.ir_parse, "ir_parse(text)\n--\n\nParse an IR graph from text format."),
        (sc.ir_emit_sv, "ir_emit_sv(graph)\n--\n\nEmit SystemVerilog from an IR graph."),
    ],
)
def test_text_signatures_and_docstrings(obj, text):
    head, doc = text.split("\n--\n\n")
    assert obj.__text_signature__ == head[head.index("(") :]
    assert (obj.__doc__ or "") == doc


def test_sc_graph_cannot_be_instantiated():
    with pytest.raises(TypeError):
        sc.ScGraph()
    assert sc.ScGraph.__text_signature__ is None
    assert not sc.ScGraph.__doc__
    assert sc.ScGraph.name.__doc__ == "Graph name."


# ---------------------------------------------------------------- builder and graph


def test_builder_graph_members_print_and_repr():
    b = sc.ScGraphBuilder("g")
    assert b.input("x", "rate") == 0
    assert b.output("y", 0) == 1
    g = b.build()
    assert repr(g) == "ScGraph('g', ops=2)"
    assert (len(g), g.len(), g.is_empty(), g.num_inputs(), g.num_outputs()) == (2, 2, False, 1, 1)
    assert g.name == "g"
    assert sc.ir_print(g) == 'sc.graph @g {\n  %0 = sc.input "x" : rate\n  sc.output "y" %0\n}\n'
    with pytest.raises(AttributeError):
        g.name = "h"


def test_empty_graph_and_verbatim_names():
    g = sc.ScGraphBuilder('a "q"\nb').build()
    assert g.is_empty() and len(g) == 0 and g.num_inputs() == 0 == g.num_outputs()
    assert repr(g) == "ScGraph('a \"q\"\nb', ops=0)"
    assert g.name == 'a "q"\nb'
    assert sc.ir_print(g) == 'sc.graph @a "q"\nb {\n}\n'


def test_every_append_takes_the_next_id():
    b = sc.ScGraphBuilder("ids")
    x = b.input("x", "rate")
    c = b.constant_f64(0.5, "rate")
    k = b.constant_i64(-3, "i16")
    e = b.encode(x, 64, 171)
    a = b.bitwise_and(e, e)
    p = b.popcount(a)
    s = b.scale(x, 1.5)
    o = b.offset(s, -0.25)
    d = b.div_const(p, 3)
    l = b.lif_step(c, c, c, c)
    f = b.dense_forward(x, x, c, c)
    y = b.output("y", 99)  # an undefined source is stored as given
    z = b.popcount(y)
    assert [x, c, k, e, a, p, s, o, d, l, f, y, z] == list(range(13))
    g = b.build()
    assert printed_ops(g) == [
        '%0 = sc.input "x" : rate',
        "%1 = sc.constant 0.5 : rate",
        "%2 = sc.constant -3 : i16",
        "%3 = sc.encode %0, length=64, seed=0x00AB : bitstream<64>",
        "%4 = sc.and %3, %3 : bitstream",
        "%5 = sc.popcount %4 : u64",
        "%6 = sc.scale %0, factor=1.5 : rate",
        "%7 = sc.offset %6, offset=-0.25 : rate",
        "%8 = sc.div_const %5, divisor=3 : u64",
        "%9 = sc.lif_step %1, leak=%1, gain=%1, noise=%1, dw=16, frac=8, vt=256, rp=2 : (bool, fixed<16,8>)",
        "%10 = sc.dense_forward %0, weights=%0, leak=%1, gain=%1, ni=3, nn=7, len=1024 : vec<bool,7>",
        'sc.output "y" %99',
        "%12 = sc.popcount %11 : u64",
    ]
    assert (g.num_inputs(), g.num_outputs()) == (1, 1)


def test_keyword_arguments_and_non_default_fields():
    b = sc.ScGraphBuilder("kw")
    b.input(ty="u8", name="x")
    b.lif_step(0, 0, 0, 0, data_width=12, fraction=4, v_threshold=-5, refractory_period=0)
    b.dense_forward(0, 0, 0, 0, n_inputs=2, n_neurons=0, stream_length=0)
    assert printed_ops(b.build())[1:] == [
        "%1 = sc.lif_step %0, leak=%0, gain=%0, noise=%0, dw=12, frac=4, vt=-5, rp=0 : (bool, fixed<12,4>)",
        "%2 = sc.dense_forward %0, weights=%0, leak=%0, gain=%0, ni=2, nn=0, len=0 : vec<bool,0>",
    ]


@pytest.mark.parametrize(
    "text, printed",
    [
        ("RATE", "rate"),
        ("  bool\t", "bool"),
        ("Bitstream", "bitstream<0>"),
        ("Bitstream<1024>", "bitstream<1024>"),
        ("bitstream<+8>", "bitstream<8>"),
        ("FIXED<16, 8>", "fixed<16,8>"),
        ("fixed< 16 , 8 >", "fixed<16,8>"),
        ("Vec<U8,4>", "vec<u8,4>"),
        ("VEC< vec<Bool,2> , 3 >", "vec<vec<bool,2>,3>"),
        ("I16", "i16"),
        ("u+8", "u8"),
        ("u0", "u0"),
        ("u4294967295", "u4294967295"),
    ],
)
def test_builder_reads_type_texts_without_regard_to_case(text, printed):
    b = sc.ScGraphBuilder("t")
    b.input("x", text)
    assert printed_ops(b.build()) == ['%0 = sc.input "x" : ' + printed]


@pytest.mark.parametrize(
    "text, message",
    [
        ("fixed<16>", "fixed type needs 2 params: 'fixed<16>'"),
        (" FIXED<1,2,3> ", "fixed type needs 2 params: 'FIXED<1,2,3>'"),
        ("fixed<x,8>", "Invalid fixed width: 'x'"),
        ("fixed< X ,8>", "Invalid fixed width: ' x '"),
        ("fixed<16,Y>", "Invalid fixed frac: 'y'"),
        ("bitstream<>", "Invalid bitstream length: ''"),
        ("BITSTREAM<-1>", "Invalid bitstream length: '-1'"),
        ("vec<bool,n>", "Invalid vec count: 'n'"),
        ("vec<bool, -1 >", "Invalid vec count: '-1'"),
        ("float", "Unknown IR type: 'float'"),
        ("Float", "Unknown IR type: 'Float'"),
        ("", "Unknown IR type: ''"),
        ("u4294967296", "Unknown IR type: 'u4294967296'"),
        ("vec<bool>", "Unknown IR type: 'vec<bool>'"),
        # The element is read before the count, and is named lower-cased.
        ("vec<Float,n>", "Unknown IR type: 'float'"),
        ("vec<vec<bool,x>,y>", "Invalid vec count: 'x'"),
    ],
)
def test_builder_type_messages(text, message):
    b = sc.ScGraphBuilder("t")
    with pytest.raises(ValueError) as info:
        b.input("x", text)
    assert str(info.value) == message
    # A refused type appends nothing; the builder goes on.
    assert b.input("x", "rate") == 0


@pytest.mark.parametrize("method", ["constant_f64", "constant_i64"])
def test_constants_read_their_type_with_the_same_reader(method):
    b = sc.ScGraphBuilder("t")
    with pytest.raises(ValueError, match="^Invalid vec count: 'n'$"):
        getattr(b, method)(1, "Vec<u8,n>")
    getattr(b, method)(1, "Vec<U8,4>")
    assert printed_ops(b.build())[0].endswith(" : vec<u8,4>")


def test_seed_range_checks():
    b = sc.ScGraphBuilder("s")
    assert b.encode(0, 8, 65535) == 0
    with pytest.raises(ValueError) as info:
        b.encode(0, 8, 65536)
    assert str(info.value) == "Seed out of range for u16: 65536"
    with pytest.raises(ValueError) as info:
        b.encode(0, 8, 2**64 - 1)
    assert str(info.value) == "Seed out of range for u16: 18446744073709551615"
    with pytest.raises(OverflowError):
        b.encode(0, 8, -1)
    assert b.dense_forward(0, 0, 0, 0, seed_base=65535) == 1
    with pytest.raises(ValueError) as info:
        b.dense_forward(0, 0, 0, 0, seed_base=65536)
    assert str(info.value) == "seed_base out of range for u16: 65536"
    with pytest.raises(OverflowError):
        b.dense_forward(0, 0, 0, 0, seed_base=-1)
    g = b.build()
    assert len(g) == 2
    assert printed_ops(g)[0] == "%0 = sc.encode %0, length=8, seed=0xFFFF : bitstream<8>"


@pytest.mark.parametrize(
    "call, kind, text",
    [
        (lambda b: b.output("y", -1), OverflowError, "out of range integral type conversion attempted"),
        (lambda b: b.popcount(2**32), OverflowError, "out of range integral type conversion attempted"),
        (lambda b: b.lif_step(0, 0, 0, 0, data_width=-1), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda b: b.popcount("0"), TypeError, "argument 'input_id': "),
        (lambda b: b.popcount(1.0), TypeError, "argument 'input_id': "),
        (lambda b: b.input(1, "rate"), TypeError, "argument 'name': "),
        (lambda b: b.input("x", None), TypeError, "argument 'ty': "),
        (lambda b: b.scale(0, "2"), TypeError, "argument 'factor': "),
        (lambda b: b.div_const(0, -1), OverflowError, None),
        (lambda b: b.constant_i64(2**63, "i64"), OverflowError, None),
        (lambda b: b.encode(0, 8), TypeError, "ScGraphBuilder.encode() missing 1 required positional argument: 'seed'"),
        (lambda b: b.popcount(0, 1), TypeError, "ScGraphBuilder.popcount() takes 1 positional arguments but 2 were given"),
        (lambda b: b.output("y", source=0), TypeError, "ScGraphBuilder.output() got an unexpected keyword argument 'source'"),
    ],
)
def test_argument_failures_leave_the_builder_unchanged(call, kind, text):
    b = sc.ScGraphBuilder("c")
    b.input("x", "rate")
    with pytest.raises(kind) as info:
        call(b)
    if text is not None:
        assert str(info.value).startswith(text)
        if text.endswith(": "):
            assert isinstance(info.value.__cause__, TypeError)
    assert b.popcount(0) == 1
    assert len(b.build()) == 2


@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.input("x", "rate"),
        lambda b: b.output("y", 0),
        lambda b: b.constant_f64(1.0, "rate"),
        lambda b: b.constant_i64(1, "i8"),
        lambda b: b.encode(0, 8, 65535),
        lambda b: b.scale(0, 2.0),
        lambda b: b.offset(0, 2.0),
        lambda b: b.div_const(0, 2),
        lambda b: b.bitwise_and(0, 0),
        lambda b: b.popcount(0),
        lambda b: b.lif_step(0, 0, 0, 0),
        lambda b: b.dense_forward(0, 0, 0, 0, seed_base=65535),
        lambda b: b.build(),
    ],
)
def test_consumed_builder_refuses_every_method(call):
    b = sc.ScGraphBuilder("c")
    b.input("x", "rate")
    assert len(b.build()) == 1
    with pytest.raises(ValueError) as info:
        call(b)
    assert str(info.value) == CONSUMED


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.input("x", "float"), "Unknown IR type: 'float'"),
        (lambda b: b.constant_f64(1.0, "fixed<8>"), "fixed type needs 2 params: 'fixed<8>'"),
        (lambda b: b.encode(0, 8, 65536), "Seed out of range for u16: 65536"),
        (lambda b: b.dense_forward(0, 0, 0, 0, seed_base=70000), "seed_base out of range for u16: 70000"),
    ],
)
def test_checks_before_consumption_still_win(call, message):
    b = sc.ScGraphBuilder("c")
    b.build()
    with pytest.raises(ValueError) as info:
        call(b)
    assert str(info.value) == message
    # Conversions come first of all.
    with pytest.raises(OverflowError):
        b.popcount(-1)


def test_a_second_graph_needs_a_new_builder():
    b = sc.ScGraphBuilder("one")
    b.input("x", "rate")
    g1 = b.build()
    with pytest.raises(ValueError, match=r"^Builder already consumed by build\(\)\.$"):
        b.build()
    g2 = sc.ScGraphBuilder("two").build()
    assert (repr(g1), repr(g2)) == ("ScGraph('one', ops=1)", "ScGraph('two', ops=0)")


def test_builder_methods_borrow_exclusively():
    b = sc.ScGraphBuilder("r")

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        b.output("y", Hook(lambda: b.popcount(0), 0))
    assert b.popcount(0) == 0  # released, and nothing was appended by the failed calls


def test_graph_functions_leave_the_graph_unchanged():
    g = graph('%0 = sc.input "x" : u8\n%1 = sc.popcount %7\nsc.output "y" %1\n')
    text = sc.ir_print(g)
    for _ in range(2):
        assert sc.ir_verify(g) == ["op[1]: operand %7 not defined before use in sc.popcount"]
        sc.ir_emit_sv(g)
    assert sc.ir_print(g) == text and repr(g) == "ScGraph('m', ops=3)"
    with pytest.raises(TypeError, match="^argument 'graph': "):
        sc.ir_print(sc.ScGraphBuilder("b"))
    with pytest.raises(TypeError, match="^argument 'text': "):
        sc.ir_parse(b"sc.graph @g {\n")


# ---------------------------------------------------------------- printer and parser

ROUND_TRIP = [
    "sc.graph @e {\n}\n",
    "sc.graph @ {\n}\n",
    "sc.graph @with spaces {\n}\n",
    'sc.graph @all {\n'
    '  %0 = sc.input "x" : rate\n'
    '  %1 = sc.input "w" : vec<fixed<16,8>,4>\n'
    '  %2 = sc.input "" : vec<vec<bool,2>,3>\n'
    '  %3 = sc.input "s" : bitstream<0>\n'
    '  %4 = sc.constant 0.5 : rate\n'
    '  %5 = sc.constant -7 : i16\n'
    '  %6 = sc.constant 18446744073709551615 : u64\n'
    '  %7 = sc.constant -9223372036854775808 : fixed<16,8>\n'
    '  %8 = sc.constant [1.5, -2.25, 0.1] : vec<rate,3>\n'
    '  %9 = sc.constant [1, -2] : vec<i16,2>\n'
    '  %10 = sc.constant [] : vec<u8,0>\n'
    '  %11 = sc.encode %0, length=1024, seed=0xACE1 : bitstream<1024>\n'
    '  %12 = sc.and %11, %11 : bitstream\n'
    '  %13 = sc.popcount %12 : u64\n'
    '  %14 = sc.lif_step %4, leak=%4, gain=%4, noise=%4, dw=12, frac=4, vt=-5, rp=3 : (bool, fixed<12,4>)\n'
    '  %15 = sc.dense_forward %0, weights=%1, leak=%4, gain=%4, ni=3, nn=7, len=1024 : vec<bool,7>\n'
    '  %16 = sc.xor %11, %12 : bitstream\n'
    '  %17 = sc.reduce %13, mode=sum : rate\n'
    '  %18 = sc.reduce %13, mode=max : rate\n'
    '  %19 = sc.graph_forward %1, adj=%1, nodes=16, features=4 : rate\n'
    '  %20 = sc.softmax_attention %1, %1, %1, dim_k=64 : rate\n'
    '  %21 = sc.kuramoto_step %1, omega=%1, K=%1, dt=0.01 : rate\n'
    '  %22 = sc.scale %0, factor=100000000000000000000 : rate\n'
    '  %23 = sc.offset %0, offset=0.0000001 : rate\n'
    '  %24 = sc.scale %0, factor=-0 : rate\n'
    '  %25 = sc.scale %0, factor=NaN : rate\n'
    '  %26 = sc.offset %0, offset=-inf : rate\n'
    '  %27 = sc.div_const %13, divisor=18446744073709551615 : u64\n'
    '  sc.output "y" %27\n'
    '  %4294967295 = sc.popcount %4294967295 : u64\n'
    '  sc.output "z" %4294967295\n'
    '}\n',
]


@pytest.mark.parametrize("text", ROUND_TRIP)
def test_printed_texts_read_back_exactly(text):
    g = sc.ir_parse(text)
    assert sc.ir_print(g) == text
    assert len(g) == text.count("\n") - 2


def test_builder_graph_prints_and_reads_back_to_the_same_text():
    b = sc.ScGraphBuilder("rt")
    x = b.input("x", "fixed<16,8>")
    w = b.constant_f64(0.1, "rate")
    e = b.encode(w, 4096, 44257)
    b.output("spike", b.lif_step(x, w, w, e, v_rest=3, v_reset=-4))
    b.output("layer", b.dense_forward(x, w, w, w, y_min=-9, y_max=9))
    text = sc.ir_print(b.build())
    assert sc.ir_print(sc.ir_parse(text)) == text


def test_fields_that_the_text_does_not_carry():
    b = sc.ScGraphBuilder("lost")
    b.constant_f64(2.0, "u8")
    b.constant_i64(5, "rate")
    b.lif_step(0, 0, 0, 0, v_rest=-3, v_reset=5)
    g = b.build()
    before, after = sc.ir_emit_sv(g), sc.ir_emit_sv(sc.ir_parse(sc.ir_print(g)))
    # The kind of a constant is chosen again from its printed value and declared type.
    assert "    localparam signed [15:0] c0 = 16'sd512;\n" in before
    assert "    localparam [31:0] c0 = 32'd2;\n" in after
    assert "    localparam signed [15:0] c1 = 16'sd5;\n" in before
    assert "    localparam signed [15:0] c1 = 16'sd1280;\n" in after
    # Rest and reset potentials are not printed and read back as 0.
    assert "        .V_REST(-3),\n        .V_RESET(5),\n" in before
    assert "        .V_REST(0),\n        .V_RESET(0),\n" in after


@pytest.mark.parametrize(
    "line, printed",
    [
        ("%1 = sc.lif_step %0, leak=%0, gain=%0, noise=%0",
         "%1 = sc.lif_step %0, leak=%0, gain=%0, noise=%0, dw=16, frac=8, vt=256, rp=2 : (bool, fixed<16,8>)"),
        ("%1 = sc.lif_step %0, leak=%0, gain=%0, noise=%0, dw=, frac=abc, vt=-1, rp=+4",
         "%1 = sc.lif_step %0, leak=%0, gain=%0, noise=%0, dw=16, frac=8, vt=-1, rp=4 : (bool, fixed<16,8>)"),
        ("%1 = sc.dense_forward %0 weights=%0 leak=%0 gain=%0",
         "%1 = sc.dense_forward %0, weights=%0, leak=%0, gain=%0, ni=3, nn=7, len=1024 : vec<bool,7>"),
        ("%1 = sc.graph_forward %0, adj=%0",
         "%1 = sc.graph_forward %0, adj=%0, nodes=16, features=4 : rate"),
        ("%1 = sc.softmax_attention %0, %0, %0 junk",
         "%1 = sc.softmax_attention %0, %0, %0, dim_k=64 : rate"),
        ("%1 = sc.kuramoto_step %0, omega=%0, K=%0, dt=x",
         "%1 = sc.kuramoto_step %0, omega=%0, K=%0, dt=0.01 : rate"),
        ("%1 = sc.reduce %0, mode=MAX", "%1 = sc.reduce %0, mode=sum : rate"),
        ("%1 = sc.reduce %0", "%1 = sc.reduce %0, mode=sum : rate"),
        ("%1 = sc.encode %0, length=8, seed=0x00ab", "%1 = sc.encode %0, length=8, seed=0x00AB : bitstream<8>"),
        ("%1 = sc.encode %0, length=8, seed=0XACE1", "%1 = sc.encode %0, length=8, seed=0xACE1 : bitstream<8>"),
        ("%1 = sc.encode %0, length=8, seed=171", "%1 = sc.encode %0, length=8, seed=0x00AB : bitstream<8>"),
        ("%1 = sc.scale %0, factor=1e-7", "%1 = sc.scale %0, factor=0.0000001 : rate"),
        ("%1 = sc.scale %0, factor=Infinity", "%1 = sc.scale %0, factor=inf : rate"),
        ("%1 = sc.popcount %0", "%1 = sc.popcount %0 : u64"),
        ("%1 = sc.and %0,%0", "%1 = sc.and %0, %0 : bitstream"),
        ("  %+1 = sc.xor  %0 , %0 , %9 : whatever", "%1 = sc.xor %0, %0 : bitstream"),
        ('%1 = sc.input "x" : u+8', '%1 = sc.input "x" : u8'),
        ('%1 = sc.input "x" : fixed< 16 , 8 >', '%1 = sc.input "x" : fixed<16,8>'),
        ('%1 = sc.input "x" : bitstream', '%1 = sc.input "x" : bitstream<0>'),
        ("%1 = sc.constant 5 : rate", "%1 = sc.constant 5 : rate"),
        ("%1 = sc.constant [1, 2.5] : vec<rate,2>", "%1 = sc.constant [1, 2.5] : vec<rate,2>"),
        ("%1 = sc.constant [ ] : vec<rate,0>", "%1 = sc.constant [] : vec<rate,0>"),
    ],
)
def test_parser_defaults_and_lenient_forms(line, printed):
    assert printed_ops(graph('%0 = sc.input "in" : rate\n' + line + "\n"))[1] == printed


def test_parser_line_handling_and_numbering():
    # A "}" in the middle is skipped and the lines after it are read; no closing line is needed.
    g = sc.ir_parse('sc.graph @g {\n\n  %0 = sc.input "x" : rate\n}\n  %5 = sc.popcount %0\n  sc.output "y" %5')
    assert printed_ops(g) == ['%0 = sc.input "x" : rate', "%5 = sc.popcount %0 : u64", 'sc.output "y" %5']
    # The output took id 6: the next line with that id repeats it.
    g = graph('%0 = sc.input "x" : rate\n%5 = sc.popcount %0\nsc.output "y" %5\n%6 = sc.popcount %0\n')
    assert sc.ir_verify(g) == ["op[3]: %6 is already defined by op[2]"]
    # The largest id leaves the counter where it was.
    g = graph('%3 = sc.popcount %3\n%4294967295 = sc.popcount %3\nsc.output "y" %3\n%4 = sc.popcount %3\n')
    assert sc.ir_verify(g)[0] == "op[3]: %4 is already defined by op[2]"
    # An output whose name holds the input marker is read as an input line, and fails as one.
    with pytest.raises(ValueError) as info:
        graph('sc.output "a= sc.input" %0 : rate\n')
    assert str(info.value) == "line 2: invalid ValueId: 'sc.output \"a'"


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "line 0: empty input"),
        ("\n", "line 1: expected 'sc.graph @name {'"),
        ("sc.graph @{\n}\n", "line 1: expected 'sc.graph @name {'"),
        ("sc.graph g {\n", "line 1: expected 'sc.graph @name {'"),
        ("sc.graph @g {\n  %0 = sc.bogus %1\n", "line 2: unrecognised op: %0 = sc.bogus %1"),
        ("sc.graph @g {\n}\n\n  %1 = sc.scale %1,factor=2\n", "line 4: invalid ValueId: '%1,factor=2'"),
    ],
)
def test_parser_failures_by_line(text, message):
    with pytest.raises(ValueError) as info:
        sc.ir_parse(text)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "line, message",
    [
        ('%0 = sc.input x : rate', "missing name"),
        ('%0 = sc.input "x : rate', "unterminated name"),
        ('%0 = sc.input "x"', "missing type"),
        ('%0 = sc.input "x" : Rate', "unrecognised type: 'Rate'"),
        ('%0 = sc.input "x" : RATE', "unrecognised type: 'RATE'"),
        ('%0 = sc.input "x" : fixed<16>', "unrecognised type: 'fixed<16>'"),
        ('%0 = sc.input "x" : fixed<16,x>', "invalid digit found in string"),
        ('%0 = sc.input "x" : vec<bool>', "unrecognised type: 'vec<bool>'"),
        ('%0 = sc.input "x" : vec<bool,>', "cannot parse integer from empty string"),
        ('%0 = sc.input "x" : bitstream<>', "cannot parse integer from empty string"),
        ('%0 = sc.input "x" : bitstream< 8>', "invalid digit found in string"),
        ('%0 = sc.input "x" : u99999999999', "unrecognised type: 'u99999999999'"),
        ('sc.output y %0', "missing name"),
        ('sc.output "y %0', "unterminated name"),
        ('sc.output "y" 0', "invalid ValueId: '0'"),
        ("%0 = sc.constant 1", "missing type"),
        ("%0 = sc.constant [1, 2 : vec<i16,2>", "malformed vector constant"),
        ("%0 = sc.constant [1,] : vec<i16,2>", "cannot parse integer from empty string"),
        ("%0 = sc.constant [1.5,] : vec<rate,2>", "cannot parse float from empty string"),
        ("%0 = sc.constant [NaN] : vec<rate,1>", "invalid digit found in string"),
        ("%0 = sc.constant -1 : u8", "invalid digit found in string"),
        ("%0 = sc.constant NaN : i8", "invalid digit found in string"),
        ("%0 = sc.constant 1.5x : rate", "invalid float literal"),
        ("%0 = sc.constant 9223372036854775808 : i64", "number too large to fit in target type"),
        ("%0 = sc.constant -9223372036854775809 : i64", "number too small to fit in target type"),
        ("%1 = sc.encode", "missing prob"),
        ("%1 = sc.encode %0, seed=1", "missing length"),
        ("%1 = sc.encode %0, length=8", "missing seed"),
        ("%1 = sc.encode %0, length=, seed=1", "cannot parse integer from empty string"),
        ("%1 = sc.encode %0, length=8, seed=65536", "number too large to fit in target type"),
        ("%1 = sc.encode %0, length=8, seed=0x10000", "number too large to fit in target type"),
        ("%1 = sc.encode %0, length=8, seed=0x", "cannot parse integer from empty string"),
        ("%1 = sc.and %0 : bitstream", "sc.and needs 2 operands"),
        ("%1 = sc.xor %0", "sc.xor needs 2 operands"),
        ("%1 = sc.reduce", "missing input"),
        ("%1 = sc.popcount 0", "invalid ValueId: '0'"),
        ("%1 = sc.dense_forward %0, weights=%0, leak=%0", "missing gain"),
        ("%1 = sc.dense_forward %0, weights=%0, leak=%0, gain=x", "invalid ValueId: 'x'"),
        ("%1 = sc.graph_forward %0", "missing adj"),
        ("%1 = sc.softmax_attention %0, %0", "sc.softmax_attention needs q, k, v"),
        ("%1 = sc.softmax_attention %0, %0,   ", "invalid ValueId: ''"),
        ("%1 = sc.kuramoto_step", "missing phases"),
        ("%1 = sc.kuramoto_step %0, omega=%0", "missing K"),
        ("%1 = sc.lif_step %0, leak=%0, gain=%0", "missing noise"),
        ("%1 = sc.scale %0", "missing factor"),
        ("%1 = sc.scale %0, factor=", "cannot parse float from empty string"),
        ("%1 = sc.offset %0, offset=1..2", "invalid float literal"),
        ("%1 = sc.div_const %0, divisor=-1", "invalid digit found in string"),
        ("%1 = sc.div_const %0, divisor=18446744073709551616", "number too large to fit in target type"),
        ("%-1 = sc.popcount %0", "invalid ValueId: '%-1'"),
        ("%4294967296 = sc.popcount %0", "invalid ValueId: '%4294967296'"),
        ("% 1 = sc.popcount %0", "invalid ValueId: '% 1'"),
        ("x = sc.popcount %0", "invalid ValueId: 'x'"),
    ],
)
def test_parser_messages(line, message):
    with pytest.raises(ValueError) as info:
        graph('%0 = sc.input "x" : rate\n' + line + "\n")
    assert str(info.value) == "line 3: " + message


# ---------------------------------------------------------------- verifier


@pytest.mark.parametrize(
    "body, findings",
    [
        ("%0 = sc.popcount %7\n", ["op[0]: operand %7 not defined before use in sc.popcount"]),
        ("%0 = sc.and %1, %1\n", ["op[0]: operand %1 not defined before use in sc.and"] * 2),
        (
            "%0 = sc.popcount %1\n%1 = sc.popcount %2\n%2 = sc.popcount %1\n",
            [
                "op[0]: operand %1 not defined before use in sc.popcount",
                "op[1]: operand %2 not defined before use in sc.popcount",
                "op[0]: cycle detected involving %0",
            ],
        ),
        (
            '%0 = sc.input "a" : rate\n%2 = sc.input "b" : rate\n%1 = sc.popcount %0\n'
            '%2 = sc.popcount %9\n%3 = sc.popcount %0\n%2 = sc.popcount %2\n',
            [
                "op[3]: %2 is already defined by op[1]",
                "op[5]: %2 is already defined by op[3]",
                "op[3]: operand %9 not defined before use in sc.popcount",
                "op[0]: cycle detected involving %2",
            ],
        ),
        (
            "%0 = sc.lif_step %4, leak=%3, gain=%2, noise=%1\n",
            [
                "op[0]: operand %4 not defined before use in sc.lif_step",
                "op[0]: operand %3 not defined before use in sc.lif_step",
                "op[0]: operand %2 not defined before use in sc.lif_step",
                "op[0]: operand %1 not defined before use in sc.lif_step",
            ],
        ),
        ("", None),
    ],
)
def test_verifier_findings_in_order(body, findings):
    assert sc.ir_verify(graph(body)) == findings


def test_verifier_on_builder_graphs():
    b = sc.ScGraphBuilder("ok")
    x = b.input("x", "rate")
    b.output("y", b.popcount(b.bitwise_and(b.encode(x, 64, 1), b.encode(x, 64, 2))))
    assert sc.ir_verify(b.build()) is None

    b = sc.ScGraphBuilder("self")
    b.input("x", "rate")
    b.output("y", 1)  # the id it receives itself
    assert sc.ir_verify(b.build()) == [
        "op[1]: operand %1 not defined before use in sc.output",
        "op[0]: cycle detected involving %1",
    ]


@pytest.mark.parametrize("closed", [True, False])
def test_verifier_completes_a_long_chain(closed):
    # Operation i uses id i + 1, so the first search runs as deep as the chain; the last
    # operation closes it into one cycle through every operation, or ends it at an id that no
    # operation defines.
    n = 1_000_000
    b = sc.ScGraphBuilder("chain")
    for i in range(n - 1):
        b.popcount(i + 1)
    b.popcount(0 if closed else n)
    findings = sc.ir_verify(b.build())
    assert findings[0] == "op[0]: operand %1 not defined before use in sc.popcount"
    assert findings[n - 2] == f"op[{n - 2}]: operand %{n - 1} not defined before use in sc.popcount"
    assert len(findings) == n
    if closed:
        assert findings[-1] == "op[0]: cycle detected involving %0"
    else:
        assert findings[-1] == f"op[{n - 1}]: operand %{n} not defined before use in sc.popcount"


# ---------------------------------------------------------------- SystemVerilog


def test_emits_the_exact_module_of_a_small_graph():
    b = sc.ScGraphBuilder("sc_mul")
    x = b.input("x", "rate")
    w = b.input("w", "rate")
    p = b.popcount(b.bitwise_and(b.encode(x, 256, 0xACE1), b.encode(w, 256, 171)))
    b.output("y", p)
    enc = (
        "    sc_bitstream_encoder #(\n"
        "        .DATA_WIDTH(16),\n"
        "        .SEED_INIT(16'h{seed})\n"
        "    ) u_enc_{n} (\n"
        "        .clk(clk),\n"
        "        .rst_n(rst_n),\n"
        "        .x_value({x}),\n"
        "        .t_index(32'd0),\n"
        "        .bit_out(v{id})\n"
        "    );\n"
        "\n"
    )
    assert sc.ir_emit_sv(b.build()) == (
        "// Auto-generated by SC-Dravik IR Compiler v3.0\n"
        "// Source graph: sc_mul\n"
        "// Do not edit \u2014 regenerate from IR source.\n"
        "\n"
        "`timescale 1ns / 1ps\n"
        "\n"
        "module sc_mul (\n"
        "    input wire clk,\n"
        "    input wire rst_n,\n"
        "    input wire [15:0] x,\n"
        "    input wire [15:0] w,\n"
        "    output wire [63:0] y\n"
        ");\n"
        "\n"
        "    wire v2;\n"
        "    wire v3;\n"
        "    wire v4;\n"
        "    logic [63:0] v5;\n"
        "\n"
        + enc.format(seed="ACE1", n=0, x="x", id=2)
        + enc.format(seed="00AB", n=1, x="w", id=3)
        + "    sc_bitstream_synapse u_syn_2 (\n"
        "        .pre_bit(v2),\n"
        "        .w_bit(v3),\n"
        "        .post_bit(v4)\n"
        "    );\n"
        "\n"
        # The count of a 1-bit stream is that bit.
        "    // Combinatorial popcount for v5\n"
        "    always_comb begin\n"
        "        v5 = {63'd0, v4};\n"
        "    end\n"
        "\n"
        "    assign y = v5;\n"
        "\n"
        "endmodule\n"
    )


def test_empty_graph_module():
    assert sc.ir_emit_sv(sc.ScGraphBuilder("e").build()).endswith(
        "module e (\n    input wire clk,\n    input wire rst_n\n);\n\n\n\nendmodule\n"
    )


def test_port_widths():
    t = sv(
        '%0 = sc.input "b" : bool\n'
        '%1 = sc.input "v" : vec<u8,4>\n'
        '%2 = sc.input "z" : u0\n'
        '%3 = sc.input "r" : rate\n'
        "%4 = sc.popcount %1\n"
        'sc.output "p" %4\n'
        "%6 = sc.lif_step %1, leak=%1, gain=%1, noise=%1, dw=12\n"
        'sc.output "l1" %6\n'
        'sc.output "l2" %7\n'
        'sc.output "u" %99\n'
        "%10 = sc.lif_step %1, leak=%1, gain=%1, noise=%1, dw=0\n"
        "%11 = sc.dense_forward %1, weights=%1, leak=%1, gain=%1, nn=0\n"
        'sc.output "d" %11\n'
        'sc.output "y" %3\n'
        "%14 = sc.scale %3, factor=1\n"
        'sc.output "s" %14\n'
        "%16 = sc.and %0, %0\n"
        'sc.output "a" %16\n'
    )
    assert (
        "    input wire b,\n"
        "    input wire [31:0] v,\n"
        "    input wire [0:0] z,\n"
        "    input wire [15:0] r,\n"
        "    output wire [63:0] p,\n"
        "    output wire [11:0] l1,\n"
        "    output wire [11:0] l2,\n"
        "    output wire [15:0] u,\n"
        "    output wire [0:0] d,\n"
        "    output wire [15:0] y,\n"
        "    output wire [63:0] s,\n"
        "    output wire a\n"
        ");\n"
    ) in t
    assert "    wire signed [0:0] v10_v_out;\n" in t
    assert "    wire [0:0] v11_spikes;\n" in t
    assert "    assign u = v99;\n" in t
    assert "    assign y = r;\n" in t
    assert "    assign l1 = {11'd0, v6_spike};\n" in t
    assert "    assign d = v11_spikes;\n" in t


def test_output_of_an_output_is_driven_from_its_port():
    t = sv('%0 = sc.input "x" : u8\nsc.output "y" %0\nsc.output "z" %1\n%3 = sc.popcount %2\n')
    assert "    output wire [7:0] y,\n    output wire [7:0] z\n);\n" in t
    assert "    assign y = x;\n    assign z = y;\n" in t
    assert "            v3 = v3 + {63'd0, z[_pc_i]};\n" in t
    assert "v1" not in t


def test_output_cycles_end():
    t = sv('sc.output "a" %0\nsc.output "b" %2\nsc.output "c" %1\n')
    assert "    output wire [15:0] a,\n    output wire [15:0] b,\n    output wire [15:0] c\n);\n" in t
    assert "    assign a = a;\n    assign b = c;\n    assign c = b;\n" in t


def test_constant_declarations():
    b = sc.ScGraphBuilder("c")
    b.constant_f64(0.5, "rate")
    b.constant_f64(-1.0, "rate")
    b.constant_f64(0.001, "rate")
    b.constant_f64(0.5, "rate")
    b.constant_i64(-3, "i16")
    b.constant_f64(float("nan"), "rate")
    b.constant_f64(1e300, "rate")
    b.constant_f64(-1e300, "rate")
    t = sc.ir_emit_sv(b.build())
    assert (
        "    localparam signed [15:0] c0 = 16'sd128;\n"
        "    localparam signed [15:0] c1 = -16'sd256;\n"
        "    localparam signed [15:0] c2 = 16'sd0;\n"
        "    localparam signed [15:0] c3 = 16'sd128;\n"
        "    localparam signed [15:0] c4 = -16'sd3;\n"
        "    localparam signed [15:0] c5 = 16'sd0;\n"
        "    localparam signed [63:0] c6 = 64'sd9223372036854775807;\n"
        "    localparam signed [63:0] c7 = -64'sd9223372036854775808;\n"
    ) in t
    assert "'sd-" not in t

    t = sv(
        '%0 = sc.input "x" : rate\n%1 = sc.input "y" : rate\n%2 = sc.input "z" : rate\n'
        "%3 = sc.constant 0.5 : rate\n"
        "%4 = sc.constant 7 : u16\n"
        "%5 = sc.constant [1, 2] : vec<i16,2>\n"
        "%6 = sc.constant [0.5, -0.5, 0.25] : vec<rate,3>\n"
        "%7 = sc.constant [] : vec<rate,0>\n"
    )
    assert (
        "    localparam signed [15:0] c3 = 16'sd128;\n"
        "    localparam [31:0] c4 = 32'd7;\n"
        "    wire [31:0] c5;\n"
        "    assign c5[0 +: 16] = 16'sd1;\n"
        "    assign c5[16 +: 16] = 16'sd2;\n"
        "    wire [47:0] c6;\n"
        "    assign c6[0 +: 16] = 16'sd128;\n"
        "    assign c6[16 +: 16] = -16'sd128;\n"
        "    assign c6[32 +: 16] = 16'sd64;\n"
        "    wire [0:0] c7;\n"
    ) in t


def test_arithmetic_blocks_and_wires():
    b = sc.ScGraphBuilder("a")
    x = b.input("x", "u16")
    c = b.constant_i64(4, "i16")
    b.scale(x, 1.5)
    b.offset(c, -0.25)
    b.div_const(x, 7)
    t = sc.ir_emit_sv(b.build())
    assert (
        "    wire [63:0] v2;\n    wire [63:0] v3;\n    wire [63:0] v4;\n\n"
        "    assign v2 = (x * 384) >>> 8;\n"
        "    assign v3 = c1 + -64;\n"
        "    assign v4 = x / 7;\n"
    ) in t
    t = sv(
        '%0 = sc.input "x" : bool\n%1 = sc.xor %0, %0\n'
        "%2 = sc.reduce %1, mode=max\n%3 = sc.reduce %2\n"
    )
    assert (
        "    assign v1 = x ^ x;\n"
        "    // reduce_max: passthrough for single-element; multi-element requires adder/comparator tree\n"
        "    assign v2 = v1;\n"
        "    // reduce_sum: passthrough for single-element; multi-element requires adder/comparator tree\n"
        "    assign v3 = v2;\n"
    ) in t


def test_instances_share_one_counter():
    b = sc.ScGraphBuilder("n")
    x = b.input("x", "rate")
    e = b.encode(x, 64, 1)
    a = b.bitwise_and(e, e)
    l = b.lif_step(a, x, x, e, data_width=12, fraction=4, v_rest=-3, v_reset=5, v_threshold=300, refractory_period=1)
    b.dense_forward(x, x, l, x, n_inputs=2, n_neurons=5, data_width=8, stream_length=99, y_min=-7, y_max=7)
    b.encode(l, 8, 2)
    t = sc.ir_emit_sv(b.build())
    assert [line for line in t.splitlines() if line.startswith("    ) u_") or "sc_bitstream_synapse u_" in line] == [
        "    ) u_enc_0 (", "    sc_bitstream_synapse u_syn_1 (", "    ) u_lif_2 (", "    ) u_dense_3 (", "    ) u_enc_4 (",
    ]
    assert (
        "    wire v3_spike;\n    wire signed [11:0] v3_v_out;\n"
        "    wire [4:0] v4_spikes;\n    wire v4_running;\n    wire v4_done;\n"
    ) in t
    assert (
        "    sc_lif_neuron #(\n"
        "        .DATA_WIDTH(12),\n"
        "        .FRACTION(4),\n"
        "        .V_REST(-3),\n"
        "        .V_RESET(5),\n"
        "        .V_THRESHOLD(300),\n"
        "        .REFRACTORY_PERIOD(1)\n"
        "    ) u_lif_2 (\n"
        "        .clk(clk),\n"
        "        .rst_n(rst_n),\n"
        "        .leak_k(x),\n"
        "        .gain_k(x),\n"
        "        .I_t(v2),\n"
        "        .noise_in(v1),\n"
        "        .spike_out(v3_spike),\n"
        "        .v_out(v3_v_out)\n"
        "    );\n\n"
        "    sc_dense_layer_core #(\n"
        "        .N_INPUTS(2),\n"
        "        .N_NEURONS(5),\n"
        "        .DATA_WIDTH(8)\n"
        "    ) u_dense_3 (\n"
        "        .clk(clk),\n"
        "        .rst_n(rst_n),\n"
        "        .start_pulse(1'b1),\n"
        "        .stream_len(32'd99),\n"
        "        .x_input_fp(x),\n"
        "        .weight_fp(x),\n"
        "        .y_min_fp(16'd0),\n"
        "        .y_max_fp(16'd256),\n"
        "        .cfg_leak(v3_spike),\n"
        "        .cfg_gain(x),\n"
        "        .I_t(),\n"
        "        .spikes(v4_spikes),\n"
        "        .step_valid(),\n"
        "        .run_done(v4_done),\n"
        "        .running(v4_running)\n"
        "    );\n\n"
    ) in t
    assert "        .x_value(v3_spike),\n" in t


def test_vector_widths_saturate():
    b = sc.ScGraphBuilder("w")
    b.output("y", b.input("x", "vec<vec<u64,1099511627776>,1099511627776>"))
    b.input("zero", "vec<vec<u64,1099511627776>,0>")
    b.output("c", b.constant_i64(1, "vec<u64,288230376151711744>"))  # 2^64 bits exactly
    t = sc.ir_emit_sv(b.build())
    assert f"    input wire {SATURATED} x,\n    output wire {SATURATED} y,\n" in t
    assert "    input wire [0:0] zero,\n" in t
    assert f"    output wire {SATURATED} c\n" in t


@pytest.mark.parametrize(
    "line, message",
    [
        ("%5 = sc.softmax_attention %0, %0, %0, dim_k=32",
         "SoftmaxAttention (v5, dim_k=32) has no synthesizable RTL implementation yet"),
        ("%5 = sc.graph_forward %0, adj=%0, nodes=3, features=2",
         "GraphForward (v5, 3 nodes \u00d7 2 features) has no synthesizable RTL implementation yet"),
        ("%5 = sc.kuramoto_step %0, omega=%0, K=%0",
         "KuramotoStep (v5) has no synthesizable RTL implementation yet"),
    ],
)
def test_emitter_refusals(line, message):
    before = '%0 = sc.input "x" : rate\n%1 = sc.encode %0, length=8, seed=1\nsc.output "y" %1\n'
    after = "%6 = sc.kuramoto_step %0, omega=%0, K=%0\n"
    # Names the emitter would refuse too: a port named twice, one named as a net of its own.
    clashes = 'sc.output "x" %1\nsc.output "clk" %1\n'
    for body in (before + line + "\n", before + line + "\n" + after, line + "\n" + before,
                 before + clashes + line + "\n"):
        # The block's name as the module's name is refused only after the operations.
        for name in ("m", "sc_bitstream_encoder"):
            with pytest.raises(ValueError) as info:
                sc.ir_emit_sv(graph(body, name))
            assert str(info.value) == message


def test_the_refusal_of_an_operation_comes_before_the_names():
    body = '%0 = sc.input "x" : u8\n%1 = sc.kuramoto_step %0, omega=%0, K=%0\nsc.output "x" %1\n'
    with pytest.raises(ValueError) as info:
        sv(body)
    assert str(info.value) == "KuramotoStep (v1) has no synthesizable RTL implementation yet"


BLOCK_LINES = {
    "sc_bitstream_encoder": "%1 = sc.encode %0, length=8, seed=1",
    "sc_bitstream_synapse": "%1 = sc.and %0, %0",
    "sc_lif_neuron": "%1 = sc.lif_step %0, leak=%0, gain=%0, noise=%0",
    "sc_dense_layer_core": "%1 = sc.dense_forward %0, weights=%0, leak=%0, gain=%0",
}


@pytest.mark.parametrize("block", list(BLOCK_LINES))
def test_a_module_that_would_instantiate_itself_is_refused(block):
    body = '%0 = sc.input "x" : rate\n' + BLOCK_LINES[block] + "\n"
    with pytest.raises(ValueError) as info:
        sc.ir_emit_sv(graph(body, block))
    assert str(info.value) == (
        f"Module name '{block}' clashes with a block that the module instantiates."
    )
    # Under another name the graph emits as it did; the name of a block it does not
    # instantiate is free.
    text = sc.ir_emit_sv(graph(body, "top"))
    assert f"    {block} " in text
    for other in BLOCK_LINES:
        if other != block:
            assert sc.ir_emit_sv(graph(body, other)) == text.replace("module top (", f"module {other} (").replace(
                "// Source graph: top\n", f"// Source graph: {other}\n")


@pytest.mark.parametrize(
    "name, written",
    [
        ("x_1$", "x_1$"),
        ("_a", "_a"),
        ("1st", "\\1st "),
        ("module", "\\module "),
        ("wire", "\\wire "),
        ("a+b", "\\a+b "),
        ("out[0]", "\\out[0] "),
        ("x.y", "\\x.y "),
        ("$x", "\\$x "),
    ],
)
def test_names_that_are_not_identifiers_are_escaped(name, written):
    b = sc.ScGraphBuilder(name)
    b.output("y", b.input(name, "u8"))
    t = sc.ir_emit_sv(b.build())
    assert f"// Source graph: {name}\n" in t
    assert f"module {written} (\n" in t
    assert f"    input wire [7:0] {written},\n" in t
    assert f"    assign y = {written};\n" in t


@pytest.mark.parametrize(
    "body, message",
    [
        ('%0 = sc.input "" : u8\n', "Port name of op[0] must not be empty."),
        ('%0 = sc.input "x" : u8\nsc.output "" %0\n', "Port name of op[1] must not be empty."),
        ('%0 = sc.input "a b" : u8\n',
         "Port 'a b' of op[0] cannot be written as a SystemVerilog identifier: it has white space "
         "or a character outside printable ASCII."),
        ('%0 = sc.input "caf\u00e9" : u8\n',
         "Port 'caf\u00e9' of op[0] cannot be written as a SystemVerilog identifier: it has white "
         "space or a character outside printable ASCII."),
        ('%0 = sc.input "x" : u8\nsc.output "y" %0\nsc.output "x" %0\nsc.output "y" %0\n',
         "Port 'x' is named twice, by op[0] and op[2]."),
        ('%0 = sc.input "clk" : bool\n',
         "Port 'clk' of op[0] clashes with a name that the module uses itself."),
        ('%0 = sc.input "x" : bool\nsc.output "rst_n" %0\n',
         "Port 'rst_n' of op[1] clashes with a name that the module uses itself."),
        ('%0 = sc.input "x" : u8\n%1 = sc.popcount %0\nsc.output "v1" %1\n',
         "Port 'v1' of op[2] clashes with a name that the module uses itself."),
        ('%0 = sc.constant 1 : u8\nsc.output "c0" %0\n',
         "Port 'c0' of op[1] clashes with a name that the module uses itself."),
        # The v-net of an operand that no operation defines is read all the same.
        ('%1 = sc.popcount %7\nsc.output "v7" %1\n',
         "Port 'v7' of op[1] clashes with a name that the module uses itself."),
        ('%0 = sc.input "x" : rate\n%1 = sc.encode %0, length=8, seed=1\nsc.output "u_enc_0" %1\n',
         "Port 'u_enc_0' of op[2] clashes with a name that the module uses itself."),
        ('%0 = sc.input "_pc_i" : u8\n%1 = sc.popcount %0\n',
         "Port '_pc_i' of op[0] clashes with a name that the module uses itself."),
    ],
)
def test_names_that_cannot_be_written_are_refused(body, message):
    with pytest.raises(ValueError) as info:
        sv(body)
    assert str(info.value) == message


def test_names_of_the_emitter_free_for_ports_it_does_not_use():
    # v2 and c5 name no net of this module.
    t = sv('%0 = sc.input "v2" : u8\n%1 = sc.popcount %0\nsc.output "c5" %1\n')
    assert "    assign c5 = v1;\n" in t


@pytest.mark.parametrize(
    "name, message",
    [
        ("", "Module name must not be empty."),
        ("my graph", "Module name 'my graph' cannot be written as a SystemVerilog identifier: it "
         "has white space or a character outside printable ASCII."),
        ("a\nb", "Module name 'a\nb' cannot be written as a SystemVerilog identifier: it has "
         "white space or a character outside printable ASCII."),
    ],
)
def test_module_names_that_cannot_be_written_are_refused(name, message):
    with pytest.raises(ValueError) as info:
        sc.ir_emit_sv(sc.ScGraphBuilder(name).build())
    assert str(info.value) == message


@pytest.mark.parametrize(
    "body, line",
    [
        # Values that fit keep the template's literal; larger ones are written at 64 bits.
        ("%0 = sc.constant 4294967295 : u64\n", "    localparam [31:0] c0 = 32'd4294967295;\n"),
        ("%0 = sc.constant 4294967296 : u64\n", "    localparam [63:0] c0 = 64'd4294967296;\n"),
        ("%0 = sc.constant 32767 : i16\n", "    localparam signed [15:0] c0 = 16'sd32767;\n"),
        ("%0 = sc.constant -32768 : i16\n", "    localparam signed [15:0] c0 = -16'sd32768;\n"),
        ("%0 = sc.constant 32768 : i32\n", "    localparam signed [63:0] c0 = 64'sd32768;\n"),
        ("%0 = sc.constant 128.0 : fixed<32,8>\n",
         "    localparam signed [63:0] c0 = 64'sd32768;\n"),
        # A list of a vector type puts each element at its element type's width, cut to it.
        ("%0 = sc.constant [1, -40000] : vec<i32,2>\n",
         "    wire [63:0] c0;\n    assign c0[0 +: 32] = 32'sd1;\n"
         "    assign c0[32 +: 32] = -32'sd40000;\n"),
        ("%0 = sc.constant [200, -1, 256] : vec<u8,3>\n",
         "    wire [23:0] c0;\n    assign c0[0 +: 8] = 8'd200;\n"
         "    assign c0[8 +: 8] = -8'sd1;\n    assign c0[16 +: 8] = 8'd0;\n"),
        ("%0 = sc.constant [-1.0, 2.5] : vec<fixed<12,4>,2>\n",
         "    wire [23:0] c0;\n    assign c0[0 +: 12] = -12'sd256;\n"
         "    assign c0[12 +: 12] = 12'sd640;\n"),
        ("%0 = sc.constant [5, 6] : vec<u0,2>\n", "    wire [0:0] c0;\n    assign c0 = 1'b0;\n"),
        # Any other type keeps 16-bit fields, or 64-bit ones when an element needs more.
        ("%0 = sc.constant [1, -40000] : u8\n",
         "    wire [127:0] c0;\n    assign c0[0 +: 64] = 64'sd1;\n"
         "    assign c0[64 +: 64] = -64'sd40000;\n"),
        ("%0 = sc.constant [1, 2] : u8\n",
         "    wire [31:0] c0;\n    assign c0[0 +: 16] = 16'sd1;\n    assign c0[16 +: 16] = 16'sd2;\n"),
        ('%0 = sc.input "x" : u8\n%1 = sc.div_const %0, divisor=4294967295\n',
         "    assign v1 = x / 4294967295;\n"),
        ('%0 = sc.input "x" : u8\n%1 = sc.div_const %0, divisor=4294967296\n',
         "    assign v1 = x / 64'd4294967296;\n"),
        ('%0 = sc.input "x" : i8\n%1 = sc.div_const %0, divisor=2147483648\n',
         "    assign v1 = $signed(x) / 64'sd2147483648;\n"),
        ('%0 = sc.input "x" : i8\n%1 = sc.div_const %0, divisor=18446744073709551615\n',
         "    assign v1 = 64'($signed(x) / $signed({1'b0, 64'd18446744073709551615}));\n"),
        ('%0 = sc.input "x" : u8\n%1 = sc.scale %0, factor=-8388607.99609375\n',
         "    assign v1 = ($signed({1'b0, x}) * -2147483647) >>> 8;\n"),
        # Unsized, 2147483648 would be a negative 32-bit integer before its minus sign.
        ('%0 = sc.input "x" : u8\n%1 = sc.scale %0, factor=-8388608\n',
         "    assign v1 = ($signed({1'b0, x}) * -64'sd2147483648) >>> 8;\n"),
        ('%0 = sc.input "x" : u8\n%1 = sc.offset %0, offset=16777215.99609375\n',
         "    assign v1 = x + 4294967295;\n"),
        ("%0 = sc.lif_step %1, leak=%1, gain=%1, noise=%1, vt=2147483647\n",
         "        .V_THRESHOLD(2147483647),\n"),
        ("%0 = sc.lif_step %1, leak=%1, gain=%1, noise=%1, vt=-2147483648\n",
         "        .V_THRESHOLD(-64'sd2147483648),\n"),
        ("%0 = sc.dense_forward %1, weights=%1, leak=%1, gain=%1, len=4294967296\n",
         "        .stream_len(64'd4294967296),\n"),
        ("%0 = sc.dense_forward %1, weights=%1, leak=%1, gain=%1, nn=4294967296\n",
         "        .N_NEURONS(64'd4294967296),\n"),
    ],
)
def test_literals_fit_their_values(body, line):
    assert line in sv(body)


@pytest.mark.parametrize(
    "ty, loop",
    [
        ("u100", "for (integer _pc_i = 0; _pc_i < 100; _pc_i = _pc_i + 1)"),
        ("u2147483647", "for (integer _pc_i = 0; _pc_i < 2147483647; _pc_i = _pc_i + 1)"),
        # A 32-bit index never reaches these bounds.
        ("u2147483648", "for (longint unsigned _pc_i = 0; _pc_i < 64'd2147483648; _pc_i = _pc_i + 1)"),
        ("u4294967295", "for (longint unsigned _pc_i = 0; _pc_i < 64'd4294967295; _pc_i = _pc_i + 1)"),
        ("vec<u4294967295,2>",
         "for (longint unsigned _pc_i = 0; _pc_i < 64'd8589934590; _pc_i = _pc_i + 1)"),
    ],
)
def test_popcount_loops_reach_their_bounds(ty, loop):
    t = sv(f'%0 = sc.input "x" : {ty}\n%1 = sc.popcount %0\n')
    assert f"        v1 = 64'd0;\n        {loop}\n            v1 = v1 + {{63'd0, x[_pc_i]}};\n" in t


# ---------------------------------------------------------------- deep types


DEPTH = 1_000_000


def deep_type(depth, leaf="bool", count=2):
    return "vec<" * depth + leaf + f",{count}>" * depth


def test_deeply_nested_vector_type_through_the_parser():
    text = 'sc.graph @deep {\n  %0 = sc.input "x" : ' + deep_type(DEPTH) + '\n  sc.output "y" %0\n}\n'
    g = sc.ir_parse(text)
    assert (len(g), g.num_inputs(), g.num_outputs()) == (2, 1, 1)
    assert sc.ir_print(g) == text
    assert sc.ir_verify(g) is None
    t = sc.ir_emit_sv(g)
    assert f"    input wire {SATURATED} x,\n    output wire {SATURATED} y\n" in t
    # The failure of the innermost element is reported at any depth.
    with pytest.raises(ValueError) as info:
        sc.ir_parse('sc.graph @deep {\n  %0 = sc.input "x" : ' + deep_type(DEPTH, "Bool") + "\n")
    assert str(info.value) == "line 2: unrecognised type: 'Bool'"


def test_deeply_nested_vector_type_through_the_builder():
    b = sc.ScGraphBuilder("deep")
    b.input("x", deep_type(DEPTH, "BOOL", 3).upper())
    b.constant_i64(1, deep_type(DEPTH, "u0"))
    g = b.build()
    lines = sc.ir_print(g).splitlines()
    assert lines[1] == '  %0 = sc.input "x" : ' + deep_type(DEPTH, "bool", 3)
    assert lines[2] == "  %1 = sc.constant 1 : " + deep_type(DEPTH, "u0")
    with pytest.raises(ValueError) as info:
        sc.ScGraphBuilder("deep").input("x", deep_type(DEPTH, "Float"))
    assert str(info.value) == "Unknown IR type: 'float'"
    with pytest.raises(ValueError) as info:
        sc.ScGraphBuilder("deep").input("x", deep_type(DEPTH) + "x")
    assert str(info.value) == "Unknown IR type: '" + deep_type(DEPTH) + "x'"
