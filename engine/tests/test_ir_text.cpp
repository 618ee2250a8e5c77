// IR text form: the float layout, the number forms and white space of the reader, the printer's
// lines, the parser's acceptance and its line-numbered failures, and round trips.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "error.hpp"
#include "ir/builder.hpp"
#include "ir/emit_sv.hpp"
#include "ir/lexical.hpp"
#include "ir/parser.hpp"
#include "ir/printer.hpp"
#include "rng.hpp"

using namespace ir;

// ---------------------------------------------------------------- float form

struct FloatCase {
    double x;
    std::string text;
};

class IrFloatForm : public ::testing::TestWithParam<FloatCase> {};

TEST_P(IrFloatForm, PrintsWithoutExponent) { EXPECT_EQ(format_f64(GetParam().x), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, IrFloatForm,
    ::testing::Values(
        FloatCase{1.0, "1"}, FloatCase{0.5, "0.5"}, FloatCase{0.0, "0"}, FloatCase{-0.0, "-0"},
        FloatCase{1e-7, "0.0000001"}, FloatCase{1e20, "1" + std::string(20, '0')},
        // The nearest double to 1e23 is 99999999999999991611392, yet "1" and 23 zeros reads
        // back as it: the shortest text wins over the exact digits.
        FloatCase{1e23, "1" + std::string(23, '0')}, FloatCase{-2.5, "-2.5"},
        FloatCase{0.1, "0.1"}, FloatCase{123.456, "123.456"}, FloatCase{0.01, "0.01"},
        FloatCase{1.5e-5, "0.000015"}, FloatCase{12345678.9, "12345678.9"},
        FloatCase{9007199254740993.0, "9007199254740992"},
        FloatCase{5e-324, "0." + std::string(323, '0') + "5"},
        FloatCase{std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        FloatCase{std::nan(""), "NaN"}, FloatCase{-std::nan(""), "NaN"},
        FloatCase{HUGE_VAL, "inf"}, FloatCase{-HUGE_VAL, "-inf"}));

TEST(IrFloatForm, RandomDoublesReadBackBitForBitWithShortestDigits) {
    rng::Xoshiro256pp r(7);
    for (int i = 0; i < 20000; ++i) {
        const double x = std::bit_cast<double>(r.next_u64());
        if (!std::isfinite(x)) continue;
        const std::string t = format_f64(x);
        ASSERT_EQ(t.find_first_of("eE"), std::string::npos) << t;
        double back = 0.0;
        ASSERT_EQ(lex::parse_f64(t, back), nullptr) << t;
        ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(x)) << t;
        // Same significant digits as the shortest scientific form.
        char buf[64];
        const auto res = std::to_chars(buf, buf + 64, x, std::chars_format::scientific);
        std::string sci(buf, res.ptr), want, got;
        for (char c : sci.substr(0, sci.find('e')))
            if (c >= '0' && c <= '9') want += c;
        for (char c : t)
            if (c >= '0' && c <= '9') got += c;
        got.erase(0, got.find_first_not_of('0'));
        got.erase(got.find_last_not_of('0') + 1);
        want.erase(want.find_last_not_of('0') + 1);
        ASSERT_EQ(got, want) << t;
    }
}

// ---------------------------------------------------------------- number forms

TEST(IrLex, UnsignedForms) {
    struct C {
        const char* s;
        uint64_t max;
        unsigned radix;
        const char* err;
        uint64_t v;
    };
    const C cases[] = {
        {"", 65535, 10, lex::kIntEmpty, 0},
        {"+", 65535, 10, lex::kIntInvalid, 0},
        {"-1", 65535, 10, lex::kIntInvalid, 0},
        {"-0", 65535, 10, lex::kIntInvalid, 0},
        {"65535", 65535, 10, nullptr, 65535},
        {"65536", 65535, 10, lex::kIntTooLarge, 0},
        {"+12", 65535, 10, nullptr, 12},
        {"007", 65535, 10, nullptr, 7},
        {" 1", 65535, 10, lex::kIntInvalid, 0},
        {"1_000", 65535, 10, lex::kIntInvalid, 0},
        {"1e3", 65535, 10, lex::kIntInvalid, 0},
        {"18446744073709551615", UINT64_MAX, 10, nullptr, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, 10, lex::kIntTooLarge, 0},
        // Digits are read left to right: the overflow comes before the bad character.
        {"99999999999999999999x", UINT64_MAX, 10, lex::kIntTooLarge, 0},
        {"x99999999999999999999", UINT64_MAX, 10, lex::kIntInvalid, 0},
        {"aBcD", 65535, 16, nullptr, 0xABCD},
        {"10000", 65535, 16, lex::kIntTooLarge, 0},
        {"G", 65535, 16, lex::kIntInvalid, 0},
    };
    for (const C& c : cases) {
        uint64_t v = 0;
        const char* e = lex::parse_unsigned(c.s, c.max, v, c.radix);
        if (c.err) EXPECT_STREQ(e, c.err) << c.s;
        else {
            EXPECT_EQ(e, nullptr) << c.s;
            EXPECT_EQ(v, c.v) << c.s;
        }
    }
}

TEST(IrLex, SignedForms) {
    struct C {
        const char* s;
        const char* err;
        int64_t v;
    };
    const C cases[] = {
        {"", lex::kIntEmpty, 0},
        {"-", lex::kIntInvalid, 0},
        {"+-1", lex::kIntInvalid, 0},
        {"-9223372036854775808", nullptr, INT64_MIN},
        {"-9223372036854775809", lex::kIntTooSmall, 0},
        {"9223372036854775807", nullptr, INT64_MAX},
        {"+9223372036854775808", lex::kIntTooLarge, 0},
        {"-42", nullptr, -42},
        {"4 2", lex::kIntInvalid, 0},
    };
    for (const C& c : cases) {
        int64_t v = 0;
        const char* e = lex::parse_i64(c.s, v);
        if (c.err) EXPECT_STREQ(e, c.err) << c.s;
        else {
            EXPECT_EQ(e, nullptr) << c.s;
            EXPECT_EQ(v, c.v) << c.s;
        }
    }
}

TEST(IrLex, FloatForms) {
    struct C {
        const char* s;
        const char* err;
        double v;
    };
    const C cases[] = {
        {"", lex::kFloatEmpty, 0},     {".", lex::kFloatInvalid, 0},
        {"+", lex::kFloatInvalid, 0},  {"1e", lex::kFloatInvalid, 0},
        {"e5", lex::kFloatInvalid, 0}, {"1e+", lex::kFloatInvalid, 0},
        {"1 ", lex::kFloatInvalid, 0}, {"0x1p3", lex::kFloatInvalid, 0},
        {"1,5", lex::kFloatInvalid, 0}, {"1_0", lex::kFloatInvalid, 0},
        {"infx", lex::kFloatInvalid, 0}, {"nan(1)", lex::kFloatInvalid, 0},
        {"--1", lex::kFloatInvalid, 0},
        {"1.", nullptr, 1.0},          {".5", nullptr, 0.5},
        {"+2.5E-3", nullptr, 0.0025},  {"-7", nullptr, -7.0},
        {"1e400", nullptr, HUGE_VAL},  {"-1e400", nullptr, -HUGE_VAL},
        {"123456789e-999999999999999", nullptr, 0.0},
        {"0.000000000000000000001e330", nullptr, HUGE_VAL},
        {"1000000000000000000000e-345", nullptr, 0.0},
        {"1e-310", nullptr, 1e-310},   {"+inf", nullptr, HUGE_VAL},
        {"-Infinity", nullptr, -HUGE_VAL}, {"INF", nullptr, HUGE_VAL},
    };
    for (const C& c : cases) {
        double v = -1.0;
        const char* e = lex::parse_f64(c.s, v);
        if (c.err) {
            EXPECT_STREQ(e, c.err) << c.s;
        } else {
            ASSERT_EQ(e, nullptr) << c.s;
            if (std::isnan(c.v)) EXPECT_TRUE(std::isnan(v)) << c.s;
            else EXPECT_EQ(v, c.v) << c.s;
        }
    }
    double v = 0.0;
    ASSERT_EQ(lex::parse_f64("nAn", v), nullptr);
    EXPECT_TRUE(std::isnan(v));
    ASSERT_EQ(lex::parse_f64("-0", v), nullptr);
    EXPECT_TRUE(std::signbit(v) && v == 0.0);
    ASSERT_EQ(lex::parse_f64("-1e-400", v), nullptr);
    EXPECT_TRUE(std::signbit(v) && v == 0.0);
}

TEST(IrLex, TrimsEveryUnicodeWhiteSpace) {
    const char* ws[] = {"\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680",
                        "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
                        "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F",
                        "\u205F", "\u3000"};
    for (const char* w : ws) {
        const std::string s = std::string(w) + "a" + w + "b" + w + w;
        EXPECT_EQ(lex::trim(s), std::string("a") + w + "b") << s;
        EXPECT_EQ(lex::first_word(s), "a") << s;
    }
    // Not White_Space: zero-width space, and the byte-order mark.
    EXPECT_EQ(lex::trim("\u200Bx\uFEFF"), "\u200Bx\uFEFF");
    EXPECT_EQ(lex::first_word("  \u3000 "), "");
}

// ---------------------------------------------------------------- printer

// Every operation once, in the printer's form.
const std::string kAllOps =
    "sc.graph @all {\n"
    "  %0 = sc.input \"x\" : rate\n"
    "  %1 = sc.input \"w\" : vec<fixed<16,8>,4>\n"
    "  %2 = sc.constant 0.5 : rate\n"
    "  %3 = sc.constant -7 : i16\n"
    "  %4 = sc.constant 7 : u8\n"
    "  %5 = sc.constant [1, 2.5, -0.125] : vec<rate,3>\n"
    "  %6 = sc.constant [-1, 2] : vec<i16,2>\n"
    "  %7 = sc.constant [] : vec<bool,0>\n"
    "  %8 = sc.encode %0, length=256, seed=0x00AB : bitstream<256>\n"
    "  %9 = sc.and %8, %8 : bitstream\n"
    "  %10 = sc.popcount %9 : u64\n"
    "  %11 = sc.lif_step %0, leak=%2, gain=%2, noise=%2, dw=12, frac=4, vt=-3, rp=1 : (bool, fixed<12,4>)\n"
    "  %12 = sc.dense_forward %1, weights=%1, leak=%2, gain=%2, ni=4, nn=2, len=512 : vec<bool,2>\n"
    "  %13 = sc.xor %8, %9 : bitstream\n"
    "  %14 = sc.reduce %0, mode=max : rate\n"
    "  %15 = sc.reduce %0, mode=sum : rate\n"
    "  %16 = sc.graph_forward %0, adj=%1, nodes=3, features=5 : rate\n"
    "  %17 = sc.softmax_attention %0, %1, %2, dim_k=8 : rate\n"
    "  %18 = sc.kuramoto_step %0, omega=%1, K=%2, dt=0.001 : rate\n"
    "  %19 = sc.scale %0, factor=1.5 : rate\n"
    "  %20 = sc.offset %0, offset=-0.25 : rate\n"
    "  %21 = sc.div_const %10, divisor=18446744073709551615 : u64\n"
    "  sc.output \"y\" %21\n"
    "  %23 = sc.constant NaN : rate\n"
    "  %24 = sc.constant -inf : rate\n"
    "  %25 = sc.constant 100000000000000000000 : rate\n"
    "  %26 = sc.scale %0, factor=-0 : rate\n"
    "}\n";

TEST(IrPrinter, EmptyGraph) {
    ScGraph g;
    g.name = "e";
    EXPECT_EQ(print(g), "sc.graph @e {\n}\n");
}

TEST(IrPrinter, BuilderGraphNumbersOutputsSilently) {
    ScGraphBuilder b("g");
    b.input("x", ScType::rate());
    b.output("y", 0);
    b.popcount(0);
    b.encode(0, 8, 44257);
    b.lif_step(0, 0, 0, 0, 12, 4, 5, 6, 256, 2);
    b.constant(2.0, ScType::uint(8));
    b.constant(std::vector<double>{1.0, 2.5}, ScType::vec(ScType::rate(), 2));
    EXPECT_EQ(print(b.graph()),
              "sc.graph @g {\n"
              "  %0 = sc.input \"x\" : rate\n"
              "  sc.output \"y\" %0\n"
              "  %2 = sc.popcount %0 : u64\n"
              "  %3 = sc.encode %0, length=8, seed=0xACE1 : bitstream<8>\n"
              "  %4 = sc.lif_step %0, leak=%0, gain=%0, noise=%0, dw=12, frac=4, vt=256, rp=2 : "
              "(bool, fixed<12,4>)\n"
              "  %5 = sc.constant 2 : u8\n"
              "  %6 = sc.constant [1, 2.5] : vec<rate,2>\n"
              "}\n");
}

TEST(IrPrinter, NamesAreVerbatim) {
    ScGraphBuilder b("odd \"name\"\n");
    b.input("a\"b", ScType::boolean());
    b.output("c\nd", 0);
    EXPECT_EQ(print(b.graph()),
              "sc.graph @odd \"name\"\n {\n  %0 = sc.input \"a\"b\" : bool\n  sc.output \"c\nd\" %0\n}\n");
}

// ---------------------------------------------------------------- parser

TEST(IrParser, PrintedTextReadsBackToTheSameText) {
    const auto r = parse(kAllOps);
    ASSERT_TRUE(std::holds_alternative<ScGraph>(r)) << std::get<ParseError>(r).display();
    const ScGraph& g = std::get<ScGraph>(r);
    EXPECT_EQ(g.name, "all");
    EXPECT_EQ(g.ops.size(), 27u);
    EXPECT_EQ(g.next_id, 27u);
    EXPECT_EQ(print(g), kAllOps);
    EXPECT_EQ(g.ops[22].id(), 22u);  // the output
    EXPECT_EQ(const_kind(g.ops[5].get<op::Constant>()->value), ConstKind::F64List);
    EXPECT_EQ(const_kind(g.ops[6].get<op::Constant>()->value), ConstKind::I64List);
    EXPECT_EQ(const_kind(g.ops[7].get<op::Constant>()->value), ConstKind::I64List);
    EXPECT_EQ(g.ops[14].get<op::Reduce>()->mode, ReduceMode::Max);
    EXPECT_TRUE(std::signbit(g.ops[26].get<op::Scale>()->factor));
}

TEST(IrParser, BuilderGraphRoundTripsExceptUnprintedFields) {
    ScGraphBuilder b("rt");
    const ValueId x = b.input("x", ScType::vec(ScType::vec(ScType::fixed(16, 8), 3), 2));
    const ValueId c = b.constant(int64_t{-9223372036854775807 - 1}, ScType::sint(64));
    b.constant(uint64_t{18446744073709551615u}, ScType::uint(64));
    b.constant(0.1, ScType::rate());
    b.constant(std::vector<double>{0.1, -2.5, 1e-300}, ScType::vec(ScType::rate(), 3));
    b.constant(std::vector<int64_t>{-1, 0, 5}, ScType::vec(ScType::sint(8), 3));
    const ValueId e = b.encode(x, 1u << 20, 0);
    b.bitwise_and(e, e);
    b.scale(x, 1e300);
    b.offset(x, -1.0 / 3.0);
    b.div_const(x, 3);
    const ValueId p = b.popcount(e);
    b.lif_step(p, c, c, c, 16, 8, -5, 7, -256, 4);
    b.dense_forward(x, x, c, c, 3, 7, 12, 1024, 44257, 44258, -3, 65535);
    b.output("out", p);
    ScGraph g = b.take();
    const std::string text = print(g);

    ScGraph back = parse_or_throw(text);
    EXPECT_EQ(print(back), text);
    // What the text does not carry comes back as the reader's fixed values.
    auto& lif = std::get<op::LifStep>(g.ops[12].kind);
    lif.v_rest = 0;
    lif.v_reset = 0;
    auto& d = std::get<op::DenseForward>(g.ops[13].kind);
    d.y_min = 0;
    d.y_max = 256;
    d.data_width = 16;
    d.seed = 0xACE1;
    d.weight_seed = 0xBEEF;
    EXPECT_TRUE(back == g);
}

TEST(IrParser, ConstantKindsFollowTheTextAndTheType) {
    const ScGraph g = parse_or_throw(
        "sc.graph @c {\n"
        "  %0 = sc.constant 2 : u8\n"
        "  %1 = sc.constant 5 : rate\n"
        "  %2 = sc.constant 5 : fixed<16,8>\n"
        "  %3 = sc.constant 2.0 : u8\n"
        "  %4 = sc.constant [1, 2.5] : vec<rate,2>\n"
        "  %5 = sc.constant [1, 2] : vec<rate,2>\n"
        "  %6 = sc.constant [ ] : vec<rate,0>\n"
        "  %7 = sc.constant 1 : bool\n"
        "  %8 = sc.constant inf : rate\n"
        "  %9 = sc.constant [NaN, 0.5] : vec<rate,2>\n"
        "}\n");
    auto value = [&](std::size_t i) { return g.ops[i].get<op::Constant>()->value; };
    EXPECT_EQ(value(0), ConstValue(uint64_t{2}));
    EXPECT_EQ(value(1), ConstValue(5.0));
    EXPECT_EQ(value(2), ConstValue(int64_t{5}));
    EXPECT_EQ(value(3), ConstValue(2.0));
    EXPECT_EQ(value(4), ConstValue(std::vector<double>{1.0, 2.5}));
    EXPECT_EQ(value(5), ConstValue(std::vector<int64_t>{1, 2}));
    EXPECT_EQ(value(6), ConstValue(std::vector<int64_t>{}));
    EXPECT_EQ(value(7), ConstValue(uint64_t{1}));
    EXPECT_EQ(value(8), ConstValue(HUGE_VAL));
    EXPECT_TRUE(std::isnan(std::get<std::vector<double>>(value(9))[0]));
}

TEST(IrParser, DefaultsAndFixedFields) {
    const ScGraph g = parse_or_throw(
        "sc.graph @d {\n"
        "  %4 = sc.lif_step %0, leak=%1, gain=%2, noise=%3\n"
        "  %5 = sc.lif_step %0, leak=%1, gain=%2, noise=%3, dw=, frac=abc, vt=-9, rp=+3\n"
        "  %6 = sc.dense_forward %0, weights=%1, leak=%2, gain=%3\n"
        "  %7 = sc.graph_forward %0, adj=%1\n"
        "  %8 = sc.softmax_attention %0, %1, %2\n"
        "  %9 = sc.kuramoto_step %0, omega=%1, K=%2, dt=x\n"
        "  %10 = sc.reduce %0, mode=MAX\n"
        "  %11 = sc.reduce %0\n"
        "  %12 = sc.encode %0, length=1, seed=0x00ab\n"
        "  %13 = sc.encode %0, length=1, seed=0XACE1\n"
        "  %14 = sc.encode %0, length=1, seed=171\n"
        "}\n");
    const auto& l4 = *g.ops[0].get<op::LifStep>();
    EXPECT_EQ(l4.data_width, 16u);
    EXPECT_EQ(l4.fraction, 8u);
    EXPECT_EQ(l4.v_threshold, 256);
    EXPECT_EQ(l4.refractory_period, 2u);
    const auto& l5 = *g.ops[1].get<op::LifStep>();
    EXPECT_EQ(l5.data_width, 16u);
    EXPECT_EQ(l5.fraction, 8u);
    EXPECT_EQ(l5.v_threshold, -9);
    EXPECT_EQ(l5.refractory_period, 3u);
    const auto& d = *g.ops[2].get<op::DenseForward>();
    EXPECT_EQ(d.n_inputs, 3u);
    EXPECT_EQ(d.n_neurons, 7u);
    EXPECT_EQ(d.stream_length, 1024u);
    EXPECT_EQ(d.y_min, 0);
    EXPECT_EQ(d.y_max, 256);
    EXPECT_EQ(d.data_width, 16u);
    EXPECT_EQ(d.seed, 0xACE1);
    EXPECT_EQ(d.weight_seed, 0xBEEF);
    const auto& gf = *g.ops[3].get<op::GraphForward>();
    EXPECT_EQ(gf.n_nodes, 16u);
    EXPECT_EQ(gf.n_features, 4u);
    EXPECT_EQ(g.ops[4].get<op::SoftmaxAttention>()->dim_k, 64u);
    EXPECT_EQ(g.ops[4].get<op::SoftmaxAttention>()->v, 2u);
    EXPECT_EQ(g.ops[5].get<op::KuramotoStep>()->dt, 0.01);
    EXPECT_EQ(g.ops[6].get<op::Reduce>()->mode, ReduceMode::Sum);
    EXPECT_EQ(g.ops[7].get<op::Reduce>()->mode, ReduceMode::Sum);
    EXPECT_EQ(g.ops[8].get<op::Encode>()->seed, 0x00AB);
    EXPECT_EQ(g.ops[9].get<op::Encode>()->seed, 0xACE1);
    EXPECT_EQ(g.ops[10].get<op::Encode>()->seed, 171);
}

TEST(IrParser, HeaderLinesAndNumbering) {
    ScGraph g = parse_or_throw("sc.graph @ {");
    EXPECT_EQ(g.name, "");
    EXPECT_TRUE(g.ops.empty());

    // Blank and "}" lines are skipped anywhere; white space of every kind is trimmed.
    g = parse_or_throw(
        "\u3000 sc.graph @my graph { \r\n"
        "  %0 = sc.input \"a:b\" : rate\u00A0\n"
        "}\n"
        "\n"
        "\u2003%5 = sc.scale\u2003%0\u2003, factor=2\r\n"
        "  sc.output \"y\" %5\n"
        "  %1 = sc.popcount %0\n"
        "  %4294967295 = sc.popcount %0\n"
        "  sc.output \"z\" ,%1,\n"
        "  %5 = sc.scale %0, factor=3\n");
    EXPECT_EQ(g.name, "my graph");
    ASSERT_EQ(g.ops.size(), 7u);
    EXPECT_EQ(g.ops[0].get<op::Input>()->name, "a:b");
    EXPECT_EQ(g.ops[1].get<op::Scale>()->input, 0u);
    EXPECT_EQ(g.ops[2].id(), 6u);  // the output takes next_id after %0 and %5
    EXPECT_EQ(g.ops[5].id(), 7u);  // %1 and %4294967295 left next_id at 7
    EXPECT_EQ(g.ops[5].get<op::Output>()->source, 1u);
    EXPECT_EQ(g.next_id, 8u);
    EXPECT_EQ(g.ops[6].id(), 5u);  // repeated ids pass

    // The largest id wraps the output's id to 0.
    g = parse_or_throw("sc.graph @w {\nsc.output \"a\" %0\n");
    EXPECT_EQ(g.next_id, 1u);
    g = parse_or_throw("sc.graph @w {\n%4294967294 = sc.popcount %0\nsc.output \"a\" %0\n");
    EXPECT_EQ(g.ops[1].id(), 4294967295u);
    EXPECT_EQ(g.next_id, 0u);
}

TEST(IrParser, ReadsTheTypeForms) {
    const auto text = [](std::string_view t) {
        const auto r = parse_type(t);
        return std::holds_alternative<ScType>(r) ? type_text(std::get<ScType>(r))
                                                 : "error: " + std::get<std::string>(r);
    };
    EXPECT_EQ(text("vec<vec<bool,2>,3>"), "vec<vec<bool,2>,3>");
    EXPECT_EQ(text("fixed< 16 , 8 >"), "fixed<16,8>");
    EXPECT_EQ(text("bitstream"), "bitstream<0>");
    EXPECT_EQ(text("u+8"), "u8");
    EXPECT_EQ(text(" vec< i4 , 2 > "), "vec<i4,2>");
    EXPECT_EQ(text("Rate"), "error: unrecognised type: 'Rate'");
    EXPECT_EQ(text("fixed<16>"), "error: unrecognised type: 'fixed<16>'");
    EXPECT_EQ(text("bitstream< 8>"), "error: invalid digit found in string");
    EXPECT_EQ(text("bitstream<>"), "error: cannot parse integer from empty string");
    EXPECT_EQ(text("fixed<99999999999,1>"), "error: number too large to fit in target type");
    EXPECT_EQ(text("vec<bool>"), "error: unrecognised type: 'vec<bool>'");
    EXPECT_EQ(text("vec<vec<Bool,1>,x>"), "error: unrecognised type: 'Bool'");
    EXPECT_EQ(text("u99999999999"), "error: unrecognised type: 'u99999999999'");

    const auto id = [](std::string_view t) {
        const auto r = parse_value_id(t);
        return std::holds_alternative<ValueId>(r) ? std::to_string(std::get<ValueId>(r))
                                                  : std::get<std::string>(r);
    };
    EXPECT_EQ(id(" ,,%+12,, "), "12");
    EXPECT_EQ(id("%4294967295"), "4294967295");
    EXPECT_EQ(id("%4294967296"), "invalid ValueId: '%4294967296'");
    EXPECT_EQ(id("%-1"), "invalid ValueId: '%-1'");
    EXPECT_EQ(id(", %1"), "invalid ValueId: ' %1'");
    EXPECT_EQ(id("%1 "), "1");

    EXPECT_EQ(extract_kv("a, dw=12, x", "dw"), std::optional<std::string_view>("12"));
    EXPECT_EQ(extract_kv("nodw=3:x", "dw"), std::optional<std::string_view>("3"));
    EXPECT_EQ(extract_kv("dw=", "dw"), std::optional<std::string_view>(""));
    EXPECT_EQ(extract_kv("dw 3", "dw"), std::nullopt);
}

struct BadLine {
    std::string body;  // lines after the header
    std::size_t line;
    std::string message;
};

class IrParserErrors : public ::testing::TestWithParam<BadLine> {};

TEST_P(IrParserErrors, StopAtTheFirstBadLine) {
    const BadLine& c = GetParam();
    const auto r = parse("sc.graph @g {\n" + c.body);
    ASSERT_TRUE(std::holds_alternative<ParseError>(r)) << c.body;
    const ParseError& e = std::get<ParseError>(r);
    EXPECT_EQ(e.message, c.message) << c.body;
    EXPECT_EQ(e.line, c.line) << c.body;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IrParserErrors,
    ::testing::Values(
        BadLine{"  %0 = sc.bogus %1\n", 2, "unrecognised op: %0 = sc.bogus %1"},
        BadLine{"\n}\n  %0 = sc.input \"x\" : rate\n  junk\n", 5, "unrecognised op: junk"},
        BadLine{"%0 = sc.input x : rate\n", 2, "missing name"},
        BadLine{"%0 = sc.input \"x : rate\n", 2, "unterminated name"},
        BadLine{"%0 = sc.input \"x\"\n", 2, "missing type"},
        BadLine{"%0 = sc.input \"x\" : Rate\n", 2, "unrecognised type: 'Rate'"},
        BadLine{"%0 = sc.input \"x\" : vec<bool,n>\n", 2, "invalid digit found in string"},
        BadLine{"%x = sc.input \"x\" : rate\n", 2, "invalid ValueId: '%x'"},
        BadLine{"= sc.input \"x\" : rate\n", 2, "invalid ValueId: ''"},
        BadLine{"sc.output y %0\n", 2, "missing name"},
        BadLine{"sc.output \"y %0\n", 2, "unterminated name"},
        BadLine{"sc.output \"y\" 0\n", 2, "invalid ValueId: '0'"},
        BadLine{"sc.output \"y\" %0 %1\n", 2, "invalid ValueId: '%0 %1'"},
        BadLine{"%0 = sc.constant 5\n", 2, "missing type"},
        BadLine{"%0 = sc.constant [1, 2 : vec<i16,2>\n", 2, "malformed vector constant"},
        BadLine{"%0 = sc.constant [ : vec<i16,2>\n", 2, "malformed vector constant"},
        BadLine{"%0 = sc.constant [1, ] : vec<i16,2>\n", 2,
                "cannot parse integer from empty string"},
        BadLine{"%0 = sc.constant [1.5, ] : vec<rate,2>\n", 2,
                "cannot parse float from empty string"},
        BadLine{"%0 = sc.constant [NaN] : vec<rate,1>\n", 2, "invalid digit found in string"},
        BadLine{"%0 = sc.constant -1 : u8\n", 2, "invalid digit found in string"},
        BadLine{"%0 = sc.constant NaN : u8\n", 2, "invalid digit found in string"},
        BadLine{"%0 = sc.constant inf : i16\n", 2, "invalid digit found in string"},
        BadLine{"%0 = sc.constant 1.2.3 : rate\n", 2, "invalid float literal"},
        BadLine{"%0 = sc.constant 99999999999999999999 : u64\n", 2,
                "number too large to fit in target type"},
        BadLine{"%0 = sc.constant -9223372036854775809 : i64\n", 2,
                "number too small to fit in target type"},
        BadLine{"%0 = sc.constant  : rate\n", 2, "cannot parse float from empty string"},
        BadLine{"%1 = sc.encode\n", 2, "missing prob"},
        BadLine{"%1 = sc.encode %0, seed=1\n", 2, "missing length"},
        BadLine{"%1 = sc.encode %0, length=\n", 2, "cannot parse integer from empty string"},
        BadLine{"%1 = sc.encode %0, length=8\n", 2, "missing seed"},
        BadLine{"%1 = sc.encode %0, length=8, seed=65536\n", 2,
                "number too large to fit in target type"},
        BadLine{"%1 = sc.encode %0, length=8, seed=0x\n", 2,
                "cannot parse integer from empty string"},
        BadLine{"%1 = sc.encode %0, length=8, seed=0x1G\n", 2, "invalid digit found in string"},
        BadLine{"%1 = sc.encode %0, length=8, seed=0x10000\n", 2,
                "number too large to fit in target type"},
        BadLine{"%2 = sc.xor %0\n", 2, "sc.xor needs 2 operands"},
        BadLine{"%2 = sc.and %0 : bitstream\n", 2, "sc.and needs 2 operands"},
        BadLine{"%2 = sc.and %0, x\n", 2, "invalid ValueId: 'x'"},
        BadLine{"%1 = sc.reduce\n", 2, "missing input"},
        BadLine{"%1 = sc.popcount : u64\n", 2, "invalid ValueId: ''"},
        BadLine{"%4 = sc.dense_forward\n", 2, "missing inputs"},
        BadLine{"%4 = sc.dense_forward %0, leak=%2, gain=%3\n", 2, "missing weights"},
        BadLine{"%4 = sc.dense_forward %0, weights=%1, gain=%3\n", 2, "missing leak"},
        BadLine{"%4 = sc.dense_forward %0, weights=%1, leak=%2\n", 2, "missing gain"},
        BadLine{"%4 = sc.dense_forward %0, weights=1, leak=%2, gain=%3\n", 2,
                "invalid ValueId: '1'"},
        BadLine{"%2 = sc.graph_forward\n", 2, "missing features"},
        BadLine{"%2 = sc.graph_forward %0\n", 2, "missing adj"},
        BadLine{"%3 = sc.softmax_attention %0, %1\n", 2, "sc.softmax_attention needs q, k, v"},
        BadLine{"%3 = sc.softmax_attention %0, %1,   , dim_k=4\n", 2, "invalid ValueId: ''"},
        BadLine{"%3 = sc.kuramoto_step\n", 2, "missing phases"},
        BadLine{"%3 = sc.kuramoto_step %0, K=%2\n", 2, "missing omega"},
        BadLine{"%3 = sc.kuramoto_step %0, omega=%1\n", 2, "missing K"},
        BadLine{"%4 = sc.lif_step\n", 2, "missing current"},
        BadLine{"%4 = sc.lif_step %0, gain=%2, noise=%3\n", 2, "missing leak"},
        BadLine{"%4 = sc.lif_step %0, leak=%1, noise=%3\n", 2, "missing gain"},
        BadLine{"%4 = sc.lif_step %0, leak=%1, gain=%2\n", 2, "missing noise"},
        BadLine{"%1 = sc.scale %0\n", 2, "missing factor"},
        BadLine{"%1 = sc.scale %0, factor=\n", 2, "cannot parse float from empty string"},
        BadLine{"%1 = sc.scale %0, factor=abc\n", 2, "invalid float literal"},
        BadLine{"%1 = sc.scale %1,factor=2\n", 2, "invalid ValueId: '%1,factor=2'"},
        BadLine{"%1 = sc.offset %0\n", 2, "missing offset"},
        BadLine{"%1 = sc.div_const %0\n", 2, "missing divisor"},
        BadLine{"%1 = sc.div_const %0, divisor=-1\n", 2, "invalid digit found in string"}));

TEST(IrParser, HeaderAndEmptyInputFailures) {
    const auto err = [](std::string_view t) { return std::get<ParseError>(parse(t)).display(); };
    EXPECT_EQ(err(""), "line 0: empty input");
    EXPECT_EQ(err("\n"), "line 1: expected 'sc.graph @name {'");
    EXPECT_EQ(err("sc.graph @{\n"), "line 1: expected 'sc.graph @name {'");
    EXPECT_EQ(err("sc.graph @g{\n"), "line 1: expected 'sc.graph @name {'");
    EXPECT_EQ(err("graph @g {\n"), "line 1: expected 'sc.graph @name {'");
    try {
        parse_or_throw("sc.graph @g {\n%1 = sc.scale %0\n");
        FAIL();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "line 2: missing factor");
    }
}

TEST(IrParser, MillionLevelVectorTypeReadsPrintsAndCopies) {
    const std::size_t depth = 1000000;
    std::string ty;
    ty.reserve(depth * 7 + 8);
    for (std::size_t i = 0; i < depth; ++i) ty += "vec<";
    ty += "bool";
    for (std::size_t i = 0; i < depth; ++i) ty += ",2>";
    const std::string text = "sc.graph @deep {\n  %0 = sc.input \"x\" : " + ty + "\n}\n";

    const ScGraph g = parse_or_throw(text);
    EXPECT_EQ(print(g), text);
    const ScGraph copy = g;
    EXPECT_TRUE(copy == g);
    EXPECT_EQ(type_text(parse_sc_type(ty)), ty);
    // 2^1000000 bits saturates.
    EXPECT_TRUE(emit_or_throw(g).find("    input wire [18446744073709551614:0] x\n);") !=
                std::string::npos);

    // A count that fails deep inside, and a level with no comma, fail without recursion too.
    std::string bad = ty;
    bad[depth * 4 + 5] = 'x';  // the innermost count
    EXPECT_EQ(std::get<std::string>(parse_type(bad)), "invalid digit found in string");
    std::string nocomma;
    for (std::size_t i = 0; i < depth; ++i) nocomma += "vec<";
    nocomma += "bool" + std::string(depth, '>');
    const auto r = parse_type(nocomma);
    ASSERT_TRUE(std::holds_alternative<std::string>(r));
    EXPECT_TRUE(std::get<std::string>(r).starts_with("unrecognised type: 'vec<vec<"));
}
