// Random programs (program_gen.h) run by the real tarnhost twice, with the line cache (so
// that their repeated lines run compiled) and without it: output and report must be the
// same byte for byte. tests/run/golden_test.cpp runs seeds 1 to 150 both ways from the
// programs and outputs on file; this test takes other programs: seeds 121 to 150 without
// variable pointers, 151 to 180 with them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "program_gen.h"
#include "run_util.h"

namespace fs = std::filesystem;

namespace {

// Output file and standard error of one run.
std::string run(const fs::path& dir, bool cache) {
    std::string cmd = "cd '" + dir.string() + "' && " + (cache ? "env -u KEL_TOKEN_CACHE" : "env KEL_TOKEN_CACHE=0") +
                      " timeout 60 ./tarnhost /TarnwickLocal:'" + (dir / "out.txt").string() +
                      "' p.web 2>'" + (dir / "err.txt").string() + "' >/dev/null";
    fs::remove(dir / "out.txt");
    int rc = std::system(cmd.c_str());
    (void)rc;
    return kel_run::read_all(dir / "out.txt") + "\n--- stderr ---\n" + kel_run::read_all(dir / "err.txt");
}

TEST(CompiledLines, RandomProgramsMatchTheirText) {
    fs::path dir = kel_run::stage_binaries("kel_diff_");
    for (uint32_t seed = 121; seed <= 180; ++seed) {
        std::string prog = kel_run::ProgramGenerator(seed, seed > 150).program();
        std::ofstream(dir / "p.web", std::ios::binary) << prog;
        std::string fast = run(dir, true), slow = run(dir, false);
        ASSERT_EQ(fast, slow) << "seed " << seed << ":\n" << prog;
    }
    fs::remove_all(dir);
}

}  // namespace
