// The interpreter's instance block: taken from pages of its own, from the heap when no
// such pages are to be had. Each case runs the start-up in a child process (the request
// state, the class registry and the current directory are process-wide).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/binding.h"
#include "host/intake.h"
#include "platform/dynlib.h"
#include "platform/gmem.h"
#include "platform/process.h"

using namespace kel::host;
namespace pf = kel::platform;
namespace fs = std::filesystem;

namespace {

// A file-mode GET request for x.web without content, so that no block is taken before
// the interpreter's.
fs::path stage(const char* name) {
    fs::path dir = fs::temp_directory_path() / (std::string("kelinstance_") + name + "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "req.dat", std::ios::binary) << "[CGI]\r\nRequest Method=GET\r\n";
    std::ofstream(dir / "req.con", std::ios::binary);
    std::string tmp = dir.string() + "/";
    setenv("TMP", tmp.c_str(), 1);
    std::vector<std::string> args = {"tarnhost", (dir / "req.dat").string(), (dir / "req.con").string(),
                                     (dir / "req.out").string(), "x.web"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pf::process_init(static_cast<int>(args.size()), argv.data());
    return dir;
}

[[noreturn]] void start_and_stop(const char* name, int failures) {
    fs::path dir = stage(name);
    HostState h;
    bool ok = intake_start(h) && register_window_class();
    if (!ok) std::fputs("intake or class failed\n", stderr);
    size_t before = pf::gmem_live_count();
    pf::gmem_fail_next(failures);
    ok = ok && start_window_and_interpreter(h);
    if (!ok) std::fputs("interpreter did not start\n", stderr);
    // The instance block and the variable table.
    if (ok && pf::gmem_live_count() != before + 2) {
        std::fprintf(stderr, "blocks: %zu, before %zu\n", pf::gmem_live_count(), before);
        ok = false;
    }
    if (ok) stop_interpreter(h);
    if (ok && pf::gmem_live_count() != before) {
        std::fprintf(stderr, "blocks left: %zu\n", pf::gmem_live_count() - before);
        ok = false;
    }
    intake_finish(h);
    fs::remove_all(dir);
    std::exit(ok ? 0 : 1);
}

// The interpreter as the host finds it: beside the program, or by name through the
// library path. Under AddressSanitizer the name search does not see this program's
// run path (the sanitizer makes the call), so there is nothing to start.
bool interpreter_reachable() {
    void* lib = pf::lib_load((pf::program_dir() + "/libkelrun32.so").c_str());
    if (!lib) lib = pf::lib_load("libkelrun32.so");
    if (!lib) return false;
    pf::lib_free(lib);
    return true;
}

}  // namespace

TEST(InstanceBlock, StartsAndIsGivenBack) {
    if (!interpreter_reachable()) GTEST_SKIP() << "libkelrun32.so cannot be loaded from here";
    EXPECT_EXIT(start_and_stop("pages", 0), testing::ExitedWithCode(0), "");
}

TEST(InstanceBlock, HeapWhenNoPagesOfItsOwn) {
    if (!interpreter_reachable()) GTEST_SKIP() << "libkelrun32.so cannot be loaded from here";
    // The first allocation after the request's own is the instance block's page mapping.
    EXPECT_EXIT(start_and_stop("heap", 1), testing::ExitedWithCode(0), "");
}

TEST(InstanceBlock, StartFailsWhenNeitherIsAvailable) {
    if (!interpreter_reachable()) GTEST_SKIP() << "libkelrun32.so cannot be loaded from here";
    EXPECT_EXIT(
        {
            fs::path dir = stage("none");
            HostState h;
            bool ok = intake_start(h) && register_window_class();
            pf::gmem_fail_next(2);
            bool started = start_window_and_interpreter(h);
            intake_finish(h);
            fs::remove_all(dir);
            std::exit(ok && !started ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
