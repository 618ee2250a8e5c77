// The emitted SystemVerilog checked by a real tool: each representative graph is emitted to a
// temporary folder and linted by verilator together with stand-ins of the hardware modules.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ir/builder.hpp"
#include "ir/emit_sv.hpp"
#include "ir/parser.hpp"

namespace fs = std::filesystem;
using namespace ir;

namespace {

fs::path stub_dir() { return fs::path(__FILE__).parent_path() / "sv"; }

std::string read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A shell word holding s.
std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

const char* const kBlocks[] = {"sc_bitstream_encoder", "sc_bitstream_synapse", "sc_lif_neuron",
                               "sc_dense_layer_core"};

// Each test works in a temporary folder whose name holds a space, beside copies of the
// stand-ins and the waivers: verilator cuts its file names at a space, so it runs from inside
// the folder on names relative to it.
class IrVerilatorLint : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("verilator --version > /dev/null 2>&1") != 0) {
            const char* why =
                "verilator is not installed: scripts/install-deps.sh installs it (apt-get install verilator)";
            const char* ci = std::getenv("CI");
            if (ci && *ci) FAIL() << why;
            GTEST_SKIP() << why;
        }
        std::string tmpl = (fs::temp_directory_path() / "sc ir XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        for (const char* m : kBlocks)
            fs::copy_file(stub_dir() / (std::string(m) + ".sv"), dir_ / (std::string(m) + ".sv"));
        fs::copy_file(stub_dir() / "emitted_waivers.vlt", dir_ / "emitted_waivers.vlt");
        fs::create_directory(dir_ / "ir_sv_emitted");  // the folder name the waivers are limited to
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }

    // Emits the graph to ir_sv_emitted/<name>.sv and lints it; returns verilator's report when
    // it fails.
    void lint(const ScGraph& g) {
        const std::string file = "ir_sv_emitted/" + g.name + ".sv", log = g.name + ".log";
        std::ofstream(dir_ / file) << emit_or_throw(g);
        std::string cmd = "cd " + quoted(dir_.string()) + " && verilator --lint-only -Wall --top-module " + g.name;
        for (const char* m : kBlocks) cmd += " " + std::string(m) + ".sv";
        cmd += " emitted_waivers.vlt " + file + " > " + log + " 2>&1";
        const int rc = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0)
            << g.name << ":\n" << read(dir_ / log) << "\n---- emitted ----\n" << read(dir_ / file);
    }

    static ScGraph from_text(const std::string& name, const std::string& body) {
        return parse_or_throw("sc.graph @" + name + " {\n" + body + "}\n");
    }

    fs::path dir_;
};

}  // namespace

TEST_F(IrVerilatorLint, StochasticMultiplyAndXor) {
    lint(from_text("sc_mul",
                   "%0 = sc.input \"x\" : rate\n"
                   "%1 = sc.input \"w\" : rate\n"
                   "%2 = sc.encode %0, length=256, seed=0xACE1\n"
                   "%3 = sc.encode %1, length=256, seed=0x00AB\n"
                   "%4 = sc.and %2, %3\n"
                   "%5 = sc.xor %2, %4\n"
                   "sc.output \"y\" %4\n"
                   "sc.output \"d\" %5\n"));
}

TEST_F(IrVerilatorLint, LifNeuronFeedsASynapse) {
    ScGraphBuilder b("sc_lif");
    const ValueId cur = b.input("current", ScType::fixed(16, 8));
    const ValueId leak = b.input("leak", ScType::fixed(16, 8));
    const ValueId gain = b.input("gain", ScType::fixed(16, 8));
    const ValueId noise = b.input("noise", ScType::fixed(16, 8));
    const ValueId p = b.input("p", ScType::rate());
    const ValueId lif = b.lif_step(cur, leak, gain, noise, 16, 8, -4, -2, 256, 2);
    const ValueId e = b.encode(p, 1024, 7);
    b.output("fired", b.bitwise_and(lif, e));
    lint(b.graph());
}

TEST_F(IrVerilatorLint, DenseLayer) {
    ScGraphBuilder b("sc_dense");
    const ValueId x = b.input("x", ScType::vec(ScType::fixed(16, 8), 3));
    const ValueId w = b.input("w", ScType::vec(ScType::fixed(16, 8), 21));
    const ValueId leak = b.input("leak", ScType::fixed(16, 8));
    const ValueId gain = b.input("gain", ScType::fixed(16, 8));
    const ValueId d = b.dense_forward(x, w, leak, gain, 3, 7, 16, 1024, 44257, 44258, 0, 65535);
    b.output("spikes", d);
    lint(b.graph());
}

TEST_F(IrVerilatorLint, ArithmeticOnSixtyFourBits) {
    lint(from_text("sc_arith",
                   "%0 = sc.input \"x\" : u64\n"
                   "%1 = sc.popcount %0\n"
                   "%2 = sc.scale %1, factor=1.5\n"
                   "%3 = sc.scale %0, factor=-0.75\n"
                   "%4 = sc.offset %2, offset=-0.25\n"
                   "%5 = sc.div_const %4, divisor=3\n"
                   "%6 = sc.reduce %5, mode=sum\n"
                   "%7 = sc.reduce %3, mode=max\n"
                   "sc.output \"count\" %1\n"
                   "sc.output \"sum\" %6\n"
                   "sc.output \"peak\" %7\n"));
}

TEST_F(IrVerilatorLint, ConstantsAndOutputsOfOutputs) {
    ScGraphBuilder b("sc_consts");
    const ValueId neg = b.constant(-1.0, ScType::fixed(16, 8));
    const ValueId i = b.constant(int64_t{-5}, ScType::sint(16));
    const ValueId u = b.constant(uint64_t{7}, ScType::uint(32));
    const ValueId il = b.constant(std::vector<int64_t>{-1, 2}, ScType::vec(ScType::sint(16), 2));
    const ValueId fl = b.constant(std::vector<double>{0.5, -0.25, 1.0},
                                  ScType::vec(ScType::fixed(16, 8), 3));
    const ValueId y = b.output("y", neg);
    const ValueId z = b.output("z", y);
    b.output("zz", z);
    b.output("i", i);
    b.output("u", u);
    b.output("il", il);
    b.output("fl", fl);
    lint(b.graph());
}
