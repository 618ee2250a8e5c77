// IR data model and builder: type texts, operand lists, numbering, the builder's type reader
// and the checks of the builder as the Python class drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "error.hpp"
#include "ir/builder.hpp"
#include "ir/graph.hpp"
#include "ir/id_map.hpp"
#include "rng.hpp"

using namespace ir;

TEST(IrGraph, TypeTexts) {
    EXPECT_EQ(type_text(ScType::bitstream(0)), "bitstream<0>");
    EXPECT_EQ(type_text(ScType::bitstream(1024)), "bitstream<1024>");
    EXPECT_EQ(type_text(ScType::fixed(16, 8)), "fixed<16,8>");
    EXPECT_EQ(type_text(ScType::rate()), "rate");
    EXPECT_EQ(type_text(ScType::uint(64)), "u64");
    EXPECT_EQ(type_text(ScType::sint(0)), "i0");
    EXPECT_EQ(type_text(ScType::boolean()), "bool");
    EXPECT_EQ(type_text(ScType::vec(ScType::fixed(16, 8), 4)), "vec<fixed<16,8>,4>");
    EXPECT_EQ(type_text(ScType::vec(ScType::vec(ScType::boolean(), 2), 3)), "vec<vec<bool,2>,3>");
    EXPECT_EQ(value_id_text(0), "%0");
    EXPECT_EQ(value_id_text(4294967295u), "%4294967295");
}

TEST(IrGraph, DeepVectorTypesCopyCompareAndDestroyWithoutRecursion) {
    const std::size_t depth = 1000000;
    ScType t = ScType::boolean();
    for (std::size_t i = 0; i < depth; ++i) t = ScType::vec(std::move(t), i % 3 + 1);
    ScType copy = t;
    EXPECT_TRUE(copy == t);
    // A difference at the innermost level is found.
    ScType* p = &copy;
    while (p->elem) p = p->elem.get();
    p->kind = ScType::Kind::Rate;
    EXPECT_FALSE(copy == t);
    // Moving over a deep chain releases the old one.
    copy = ScType::rate();
    EXPECT_EQ(type_text(copy), "rate");
    const std::string text = type_text(t);
    EXPECT_EQ(text.size(), depth * 4 + 4 + depth * 3);
    EXPECT_TRUE(text.starts_with("vec<vec<") && text.ends_with(",2>,3>,1>"));
}

TEST(IrGraph, OperandsFollowFieldOrder) {
    op::LifStep lif;
    lif.current = 1;
    lif.leak = 2;
    lif.gain = 3;
    lif.noise = 4;
    EXPECT_EQ(ScOp(lif).operands(), (std::vector<ValueId>{1, 2, 3, 4}));
    op::DenseForward d;
    d.inputs = 5;
    d.weights = 6;
    d.leak = 7;
    d.gain = 8;
    EXPECT_EQ(ScOp(d).operands(), (std::vector<ValueId>{5, 6, 7, 8}));
    EXPECT_EQ(ScOp(op::SoftmaxAttention{0, 1, 2, 3, 64}).operands(),
              (std::vector<ValueId>{1, 2, 3}));
    EXPECT_EQ(ScOp(op::KuramotoStep{0, 4, 5, 6, 0.01}).operands(),
              (std::vector<ValueId>{4, 5, 6}));
    EXPECT_EQ(ScOp(op::GraphForward{0, 9, 8, 16, 4}).operands(), (std::vector<ValueId>{9, 8}));
    EXPECT_EQ(ScOp(op::BitwiseXor{0, 2, 1}).operands(), (std::vector<ValueId>{2, 1}));
    EXPECT_TRUE(ScOp(op::Input{0, ScType::rate(), "x"}).operands().empty());
    EXPECT_TRUE(ScOp(op::Constant{0, ScType::rate(), 1.0}).operands().empty());
    // An output whose source is its own id is not rejected here.
    EXPECT_EQ(ScOp(op::Output{3, 3, "y"}).operands(), (std::vector<ValueId>{3}));
    EXPECT_STREQ(ScOp(op::DivConst{0, 1, 2}).name(), "sc.div_const");
    EXPECT_STREQ(ScOp(op::BitwiseAnd{0, 1, 2}).name(), "sc.and");
}

TEST(IrGraph, PushKeepsRepeatedIdsAndLeavesCounterAlone) {
    ScGraph g;
    EXPECT_EQ(g.push(op::Popcount{7, 1}), 7u);
    EXPECT_EQ(g.push(op::Scale{7, 1, 2.0}), 7u);
    ASSERT_EQ(g.ops.size(), 2u);
    EXPECT_EQ(g.ops[0].tag(), OpTag::Popcount);
    EXPECT_EQ(g.ops[1].tag(), OpTag::Scale);
    EXPECT_EQ(g.next_id, 0u);
}

TEST(IrBuilder, NumbersEveryAppendOutputsIncluded) {
    ScGraphBuilder b("g");
    EXPECT_EQ(b.input("x", ScType::rate()), 0u);
    EXPECT_EQ(b.output("y", 0), 1u);
    EXPECT_EQ(b.popcount(99), 2u);  // undefined operands are stored as given
    EXPECT_EQ(b.output("self", 3), 3u);
    EXPECT_EQ(b.graph().next_id, 4u);
    EXPECT_EQ(b.graph().ops[2].operands(), std::vector<ValueId>{99});
    EXPECT_EQ(b.graph().ops[3].operands(), std::vector<ValueId>{3});
    const ScGraph g = b.take();
    EXPECT_EQ(g.name, "g");
    EXPECT_EQ(g.num_inputs(), 1u);
    EXPECT_EQ(g.num_outputs(), 2u);
    EXPECT_EQ(graph_repr(g), "ScGraph('g', ops=4)");
}

struct ScTypeCase {
    const char* text;
    const char* expect;  // type text, or the message when error is set
    bool error;
};

class IrBuilderTypes : public ::testing::TestWithParam<ScTypeCase> {};

TEST_P(IrBuilderTypes, ReadsOrRefuses) {
    const ScTypeCase& c = GetParam();
    if (c.error) {
        try {
            parse_sc_type(c.text);
            FAIL() << "accepted " << c.text;
        } catch (const engine::Error& e) {
            EXPECT_EQ(std::string(e.what()), c.expect);
        }
    } else {
        EXPECT_EQ(type_text(parse_sc_type(c.text)), c.expect);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IrBuilderTypes,
    ::testing::Values(
        ScTypeCase{"RATE", "rate", false}, ScTypeCase{" bool ", "bool", false},
        ScTypeCase{"Bitstream", "bitstream<0>", false},
        ScTypeCase{"Bitstream<1024>", "bitstream<1024>", false},
        ScTypeCase{"bitstream<+8>", "bitstream<8>", false},
        ScTypeCase{"FIXED<16, 8>", "fixed<16,8>", false},
        ScTypeCase{"Vec<U8,4>", "vec<u8,4>", false}, ScTypeCase{"u+8", "u8", false},
        ScTypeCase{"I16", "i16", false},
        ScTypeCase{"vec< vec<bool,2> , 3 >", "vec<vec<bool,2>,3>", false},
        ScTypeCase{"\u3000rate\u00a0", "rate", false},
        ScTypeCase{"fixed<16>", "fixed type needs 2 params: 'fixed<16>'", true},
        ScTypeCase{"FIXED<1,2,3>", "fixed type needs 2 params: 'FIXED<1,2,3>'", true},
        ScTypeCase{"fixed<x,8>", "Invalid fixed width: 'x'", true},
        ScTypeCase{"fixed< X ,8>", "Invalid fixed width: ' x '", true},
        ScTypeCase{"fixed<8,Q>", "Invalid fixed frac: 'q'", true},
        ScTypeCase{"bitstream<>", "Invalid bitstream length: ''", true},
        ScTypeCase{"BITSTREAM< 8>", "Invalid bitstream length: ' 8'", true},
        ScTypeCase{"vec<bool,n>", "Invalid vec count: 'n'", true},
        ScTypeCase{"vec<bool, -1 >", "Invalid vec count: '-1'", true},
        ScTypeCase{"float", "Unknown IR type: 'float'", true},
        ScTypeCase{"Float", "Unknown IR type: 'Float'", true},
        ScTypeCase{"u99999999999", "Unknown IR type: 'u99999999999'", true},
        ScTypeCase{"vec<bool>", "Unknown IR type: 'vec<bool>'", true},
        // An inner failure wins over the outer count, and names the inner text lower-cased.
        ScTypeCase{"vec<FLOAT,n>", "Unknown IR type: 'float'", true},
        ScTypeCase{"vec<vec<bool,x>,y>", "Invalid vec count: 'x'", true}));

TEST(IrBuilderSession, ChecksSeedsAndConsumption) {
    BuilderSession s("g");
    EXPECT_EQ(s.input("x", "rate"), 0u);
    EXPECT_EQ(s.encode(0, 64, 65535), 1u);
    try {
        s.encode(0, 64, 65536);
        FAIL();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "Seed out of range for u16: 65536");
    }
    try {
        s.dense_forward(0, 0, 0, 0, 3, 7, 16, 1024, 70000, 0, 65535);
        FAIL();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "seed_base out of range for u16: 70000");
    }
    EXPECT_EQ(s.dense_forward(0, 0, 0, 0, 3, 7, 16, 1024, 65535, 0, 65535), 2u);
    EXPECT_THROW(s.input("bad", "float"), engine::Error);  // appends nothing
    EXPECT_EQ(s.constant_f64(0.5, "rate"), 3u);
    EXPECT_EQ(s.constant_i64(-3, "i16"), 4u);

    const ScGraph g = s.build();
    ASSERT_EQ(g.ops.size(), 5u);
    const auto* d = g.ops[2].get<op::DenseForward>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->seed, 65535);
    EXPECT_EQ(d->weight_seed, 0);
    EXPECT_EQ(d->y_max, 65535);
    EXPECT_EQ(g.ops[3].get<op::Constant>()->value, ConstValue(0.5));
    EXPECT_EQ(g.ops[4].get<op::Constant>()->value, ConstValue(int64_t{-3}));

    const auto consumed = [](auto&& call) {
        try {
            call();
            return std::string("no error");
        } catch (const engine::Error& e) {
            return std::string(e.what());
        }
    };
    const std::string msg = "Builder already consumed by build().";
    EXPECT_EQ(consumed([&] { s.build(); }), msg);
    EXPECT_EQ(consumed([&] { s.output("y", 0); }), msg);
    EXPECT_EQ(consumed([&] { s.popcount(0); }), msg);
    EXPECT_EQ(consumed([&] { s.lif_step(0, 0, 0, 0, 16, 8, 0, 0, 256, 2); }), msg);
    // Checks that run before the consumed check still win.
    EXPECT_EQ(consumed([&] { s.input("x", "float"); }), "Unknown IR type: 'float'");
    EXPECT_EQ(consumed([&] { s.encode(0, 1, 65536); }), "Seed out of range for u16: 65536");
    EXPECT_EQ(consumed([&] { s.encode(0, 1, 5); }), msg);
}

// Both ways of numbering ids (the table for small ids, the radix sort for any) give the
// distinct ids in increasing order and each given id's rank among them.
TEST(IrDenseIds, NumbersAreRanksOfTheDistinctIds) {
    rng::Xoshiro256pp g(5);
    for (const uint64_t spread : {uint64_t{3}, uint64_t{1000}, uint64_t{1} << 32}) {
        std::vector<ir::ValueId> given(5000);
        for (auto& id : given) id = static_cast<ir::ValueId>(g.next_u64() % spread);
        given.push_back(0xFFFFFFFFu % spread);
        const ir::DenseIds d = ir::number_densely(given);
        std::vector<ir::ValueId> want(given);
        std::sort(want.begin(), want.end());
        want.erase(std::unique(want.begin(), want.end()), want.end());
        ASSERT_EQ(d.ids, want) << spread;
        for (std::size_t i = 0; i < given.size(); ++i) {
            ASSERT_EQ(d.ids[d.number[i]], given[i]);
            ASSERT_EQ(d.find(given[i]), d.number[i]);
        }
        if (d.ids.back() != 0xFFFFFFFFu) {
            EXPECT_EQ(d.find(d.ids.back() + 1), ir::DenseIds::npos);
        }
    }
    EXPECT_TRUE(ir::number_densely({}).ids.empty());
}
