// Start-up failures that a real request cannot provoke on demand: the content block that
// cannot be allocated and the window class that cannot be registered. Each case runs the
// whole start-up in a child process (the class registry and the current directory are
// process-wide) in file mode, so the page lands in the OUT file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/binding.h"
#include "host/intake.h"
#include "platform/gmem.h"
#include "platform/msgq.h"
#include "platform/process.h"

using namespace kel::host;
namespace pf = kel::platform;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct FileModeRequest {
    fs::path dir, dat, con, out, log;
};

// A file-mode request for x.web with URL-encoded content "a=1"; the error log goes to the
// scratch directory through TMP.
FileModeRequest stage(const char* name) {
    FileModeRequest r;
    r.dir = fs::temp_directory_path() / (std::string("kelstartup_") + name + "_" + std::to_string(getpid()));
    fs::remove_all(r.dir);
    fs::create_directories(r.dir);
    r.dat = r.dir / "req.dat";
    r.con = r.dir / "req.con";
    r.out = r.dir / "req.out";
    r.log = r.dir / "TARNWICK.LOG";
    std::ofstream(r.dat, std::ios::binary) << "[CGI]\r\nRequest Method=POST\r\n";
    std::ofstream(r.con, std::ios::binary) << "a=1";
    std::string tmp = r.dir.string() + "/";
    setenv("TMP", tmp.c_str(), 1);
    std::vector<std::string> args = {"tarnhost", r.dat.string(), r.con.string(), r.out.string(), "x.web"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pf::process_init(static_cast<int>(args.size()), argv.data());
    return r;
}

// Checks the page and the log entry; the message on stderr shows in the test's failure.
[[noreturn]] void expect_failure_page(const FileModeRequest& r, int32_t code, const std::string& detail) {
    std::string page = slurp(r.out);
    std::string log = slurp(r.log);
    bool ok = code == 0 && page.find("Tarnwick Error") != std::string::npos &&
              page.find(detail) != std::string::npos && log.find(detail) != std::string::npos;
    if (!ok) std::fprintf(stderr, "exit %d\npage:\n%s\nlog:\n%s\n", code, page.c_str(), log.c_str());
    fs::remove_all(r.dir);
    std::exit(ok ? 0 : 1);
}

[[noreturn]] void content_allocation_fails() {
    FileModeRequest r = stage("content");
    pf::gmem_fail_next(1);
    int32_t code = host_main();
    if (pf::gmem_live_count() != 0) {
        std::fprintf(stderr, "blocks left: %zu\n", pf::gmem_live_count());
        std::exit(1);
    }
    expect_failure_page(r, code, "Error allocating memory for CON buffer");
}

intptr_t other_proc(kel::Hwnd, uint32_t, uintptr_t, intptr_t) { return 0; }

[[noreturn]] void window_class_taken() {
    FileModeRequest r = stage("class");
    // Someone else holds the class name: registration fails before the library is loaded.
    pf::register_class(kWindowClass, &other_proc);
    int32_t code = host_main();
    expect_failure_page(r, code, "InitApplication failed");
}

[[noreturn]] void content_read_when_allocation_works() {
    FileModeRequest r = stage("control");
    // Same request with memory available: intake succeeds and holds "&a=1".
    HostState h;
    bool ok = intake_start(h) && h.content != 0 && h.content_length == 3;
    if (ok) {
        pf::GmemLock lock(h.content);
        ok = lock && std::string(lock.as<char>(), 4) == "&a=1";
    }
    intake_finish(h);
    ok = ok && h.content == 0 && pf::gmem_live_count() == 0;
    fs::remove_all(r.dir);
    std::exit(ok ? 0 : 1);
}

}  // namespace

TEST(StartupFailure, ContentBlockCannotBeAllocated) {
    EXPECT_EXIT(content_allocation_fails(), testing::ExitedWithCode(0), "");
}

TEST(StartupFailure, WindowClassCannotBeRegistered) {
    EXPECT_EXIT(window_class_taken(), testing::ExitedWithCode(0), "");
}

TEST(StartupFailure, ContentReadWhenAllocationWorks) {
    EXPECT_EXIT(content_read_when_allocation_works(), testing::ExitedWithCode(0), "");
}
