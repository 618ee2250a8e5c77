// IR verifier: the three passes, their messages and order, and long operand chains.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ir/builder.hpp"
#include "ir/parser.hpp"
#include "ir/verify.hpp"

using namespace ir;

static std::vector<std::string> findings(const std::string& body) {
    const auto r = verify_report(parse_or_throw("sc.graph @v {\n" + body));
    return r ? *r : std::vector<std::string>{};
}

TEST(IrVerify, NaturalOrderPasses) {
    ScGraphBuilder b("ok");
    const ValueId x = b.input("x", ScType::rate());
    const ValueId e = b.encode(x, 64, 1);
    const ValueId a = b.bitwise_and(e, e);
    b.output("y", b.popcount(a));
    EXPECT_TRUE(verify(b.graph()).empty());
    EXPECT_EQ(verify_report(b.graph()), std::nullopt);
    EXPECT_TRUE(verify(ScGraph{}).empty());
}

TEST(IrVerify, FindingsInPassOrder) {
    struct Case {
        std::string body;
        std::vector<std::string> expect;
    };
    const Case cases[] = {
        {"%0 = sc.popcount %7\n", {"op[0]: operand %7 not defined before use in sc.popcount"}},
        // An output fed by its own id: a use before definition and a cycle.
        {"%0 = sc.input \"x\" : rate\nsc.output \"y\" %1\n",
         {"op[1]: operand %1 not defined before use in sc.output",
          "op[0]: cycle detected involving %1"}},
        // The cycle finding names the first root whose search meets the cycle.
        {"%0 = sc.popcount %1\n%1 = sc.popcount %2\n%2 = sc.popcount %1\n",
         {"op[0]: operand %1 not defined before use in sc.popcount",
          "op[1]: operand %2 not defined before use in sc.popcount",
          "op[0]: cycle detected involving %0"}},
        // A repeated undefined operand is reported as often as it occurs.
        {"%0 = sc.and %1, %1\n",
         {"op[0]: operand %1 not defined before use in sc.and",
          "op[0]: operand %1 not defined before use in sc.and"}},
        // Duplicates name the latest earlier definition; all passes always run.
        {"%0 = sc.input \"a\" : rate\n%2 = sc.scale %0, factor=1\n%1 = sc.scale %0, factor=1\n"
         "%2 = sc.scale %0, factor=1\n%3 = sc.xor %9, %0\n%2 = sc.scale %2, factor=1\n",
         {"op[3]: %2 is already defined by op[1]", "op[5]: %2 is already defined by op[3]",
          "op[4]: operand %9 not defined before use in sc.xor",
          "op[0]: cycle detected involving %2"}},
        {"%0 = sc.lif_step %1, leak=%2, gain=%0, noise=%3\n",
         {"op[0]: operand %1 not defined before use in sc.lif_step",
          "op[0]: operand %2 not defined before use in sc.lif_step",
          "op[0]: operand %0 not defined before use in sc.lif_step",
          "op[0]: operand %3 not defined before use in sc.lif_step",
          "op[0]: cycle detected involving %0"}},
    };
    for (const Case& c : cases) EXPECT_EQ(findings(c.body), c.expect) << c.body;
}

TEST(IrVerify, LaterDuplicateReplacesOperandsForTheCycleSearch) {
    // %1's first definition points at itself, but the later one wins the map: no cycle.
    ScGraph g;
    g.push(op::Popcount{1, 1});
    g.push(op::Input{1, ScType::rate(), "x"});
    const auto f = verify(g);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], (VerifyError{"%1 is already defined by op[0]", 1}));
    EXPECT_EQ(f[1], (VerifyError{"operand %1 not defined before use in sc.popcount", 0}));
    EXPECT_EQ(verify_no_cycles(g), std::nullopt);
}

TEST(IrVerify, MillionOperationChains) {
    const uint32_t n = 1000000;
    // Defined before use: clean.
    ScGraph ok;
    ok.push(op::Input{0, ScType::rate(), "x"});
    for (uint32_t i = 1; i < n; ++i) ok.push(op::Scale{i, i - 1, 1.0});
    EXPECT_TRUE(verify(ok).empty());

    // Each op uses the next one's id and the last closes the loop: the first search runs the
    // whole chain deep.
    ScGraph loop;
    for (uint32_t i = 0; i + 1 < n; ++i) loop.push(op::Scale{i, i + 1, 1.0});
    loop.push(op::Scale{n - 1, 0, 1.0});
    const auto f = verify(loop);
    ASSERT_EQ(f.size(), n);  // n - 1 forward uses, one cycle
    EXPECT_EQ(f.back(), (VerifyError{"cycle detected involving %0", 0}));
    EXPECT_EQ(f[n - 2].display(), "op[999998]: operand %999999 not defined before use in sc.scale");

    // The same chain, open at its end: deep search, no cycle.
    loop.ops.back() = op::Scale{n - 1, n, 1.0};
    EXPECT_EQ(verify_no_cycles(loop), std::nullopt);
}
