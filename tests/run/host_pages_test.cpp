// Runs the real tarnhost in a staged copy of the bin directory, with a controlled
// environment, working directory and standard input, and compares the response bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const fs::path& p, const std::string& s) {
    std::ofstream f(p, std::ios::binary);
    f << s;
}

std::string shell_quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'') r += "'\\''";
        else r += c;
    }
    return r + "'";
}

enum class Lib { Real, Fake, FakeNoExport, None };

struct Result {
    std::string out;
    int rc = -1;
};

class Stage {
public:
    explicit Stage(Lib lib = Lib::Fake, const std::string& ini_extra = "") {
        static int counter = 0;
        dir_ = fs::temp_directory_path() / ("tarnhost_run_" + std::to_string(std::random_device{}()) + "_" +
                                            std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::path bin = KEL_BIN_DIR;
        for (const char* f : {"tarnhost", "libkelplatform.so", "tarnlogo.gif", "tarnbig.gif"})
            fs::copy_file(bin / f, dir_ / f);
        fs::path lib_src;
        if (lib == Lib::Real) lib_src = bin / "libkelrun32.so";
        if (lib == Lib::Fake) lib_src = fs::path(KEL_FAKE_DIR) / "libfake_kelrun32.so";
        if (lib == Lib::FakeNoExport) lib_src = fs::path(KEL_FAKE_DIR) / "libfake_kelrun32_noexport.so";
        if (!lib_src.empty()) fs::copy_file(lib_src, dir_ / "libkelrun32.so");
        write_file(dir_ / "TARNWICK.INI", "[TARNWICK]\r\nErrorLog=" + log().string() + "\r\n" + ini_extra);
    }
    ~Stage() { fs::remove_all(dir_); }
    const fs::path& dir() const { return dir_; }
    fs::path log() const { return dir_ / "err.log"; }

    // Runs tarnhost from the stage directory with exactly `env` as its environment.
    Result run(const std::map<std::string, std::string>& env, const std::vector<std::string>& args = {},
               const std::string& stdin_text = "", const std::string& redirect_extra = "") const {
        write_file(dir_ / "stdin.txt", stdin_text);
        std::string cmd = "cd " + shell_quote(dir_.string()) + " && env -i";
        for (const auto& [k, v] : env) cmd += " " + shell_quote(k + "=" + v);
        cmd += " ./tarnhost";
        for (const auto& a : args) cmd += " " + shell_quote(a);
        cmd += " <stdin.txt >stdout.txt 2>stderr.txt" + redirect_extra + "; echo $? >rc.txt";
        std::system(cmd.c_str());
        Result r;
        r.out = read_file(dir_ / "stdout.txt");
        r.rc = std::atoi(read_file(dir_ / "rc.txt").c_str());
        return r;
    }

private:
    fs::path dir_;
};

const std::string kHead =
    "Content-type: text/html\r\n\r\n<HTML>\r\n<HEAD>\r\n<TITLE>Tarnwick version 2019B</TITLE>\r\n</HEAD>\r\n"
    "<BODY BGCOLOR=\"#FFFFFF\" LINK=\"003D84\" VLINK=\"003D84\" TEXT=\"#000000\" ALINK=\"#950000\">\r\n";

std::string foot(const std::string& url, const std::string& message = "") {
    return "<CENTER>\r\n<TABLE WIDTH=\"90%\">\r\n<TR><TD WIDTH=\"225\" VALIGN=\"top\"><CENTER>\r\n"
           "<IMG SRC=\"" + url + "?dumpgif+tarnlogo\" ALT=\"Tarnwick\" BORDER=\"0\"><BR>\r\n"
           "Version 2019B\r\n</CENTER></TD>\r\n<TD>\r\n" + message +
           "Tarnwick runs KEL scripts for your web server.<BR>\r\n"
           "Questions and problem reports go to the administrator of this site.<BR>\r\n"
           "</TD></TR></TABLE>\r\n</CENTER>\r\n</BODY>\r\n</HTML>\r\n";
}

const std::string kCgiUrl = "http://test.example/cgi-bin/tarnhost";

std::map<std::string, std::string> cgi_get(const std::string& query) {
    return {{"REQUEST_METHOD", "GET"},
            {"QUERY_STRING", query},
            {"SERVER_NAME", "test.example"},
            {"SERVER_PORT", "80"},
            {"SCRIPT_NAME", "/cgi-bin/tarnhost"}};
}

// An error page: `status` is the CGI status line of a page that opens the response
// ("" for local and file mode), or kContinued for one that follows response bytes.
const char* const kContinued = nullptr;
std::string error_block(const std::string& headline, const std::string& detail, const char* status) {
    std::string open = status == kContinued ? "\r\n<HR>\r\n" : std::string(status) + "Content-type: text/html\r\n\r\n";
    return open + "<H1>Tarnwick Error</H1>\r\n<Pre>\r\n" + headline + "\r\n\r\n" + detail + "\r\n</Pre>\r\n<HR>\r\n";
}
const char* const k400 = "Status: 400 Bad Request\r\n";
const char* const k404 = "Status: 404 Not Found\r\n";
const char* const k413 = "Status: 413 Content Too Large\r\n";
const char* const k415 = "Status: 415 Unsupported Media Type\r\n";
const char* const k500 = "Status: 500 Internal Server Error\r\n";
const char* const k503 = "Status: 503 Service Unavailable\r\n";

const std::string k403 =
    "Status: 403 Forbidden\r\nContent-type: text/html\r\n\r\n<HTML>\r\n<HEAD>\r\n<TITLE>403 Forbidden</TITLE>\r\n"
    "</HEAD>\r\n<BODY>\r\n<H1>Forbidden</H1>\r\nOperation not permitted\r\n</BODY>\r\n</HTML>\r\n";

std::string env_lines(const std::map<std::string, std::string>& env) {
    std::string s;
    for (const auto& [k, v] : env) {
        std::string line = k + "=" + v, esc;
        for (char c : line) {
            if (c == '&') esc += "&amp;";
            else if (c == '<') esc += "&lt;";
            else if (c == '>') esc += "&gt;";
            else if (c == '"') esc += "&quot;";
            else esc += c;
        }
        s += esc + "\r\n";
    }
    return s;
}

}  // namespace

TEST(HostRunCgi, DumpInputDataGet) {
    Stage st;
    auto env = cgi_get("dumpinputdata&a=1&b=%3Cx%3E&c=\"q\"");
    Result r = st.run(env);
    std::string expected = kHead + "<BLOCKQUOTE>\r\n<H1>Data file</H1>\r\n<PRE>\r\n" + env_lines(env) +
                           "</PRE>\r\n<HR>\r\n<H1>Content file</H1>\r\n<PRE>\r\n"
                           "a=1\r\n\r\nb=&lt;x&gt;\r\n\r\nc=&quot;q&quot;\r\n\r\n"
                           "</PRE>\r\n<HR>\r\n<H1>Command-line parameters</H1>\r\n<PRE>\r\n 0. ./tarnhost\r\n"
                           "</PRE>\r\n<HR>\r\n</BLOCKQUOTE>\r\n" + foot(kCgiUrl);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.rc, 0);
}

TEST(HostRunCgi, DumpInputDataPostTakesRequestFromQueryString) {
    Stage st;
    auto env = cgi_get("dumpinputdata");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "5";
    env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    Result r = st.run(env, {}, "a=1\r\nEXTRA");
    EXPECT_NE(r.out.find("<H1>Content file</H1>\r\n<PRE>\r\na=1\r\n\r\n</PRE>"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(0, kHead.size()), kHead);
}

TEST(HostRunCgi, SignedContentLengthMeansNoContent) {
    Stage st;
    auto env = cgi_get("dumpinputdata");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "-5";
    Result r = st.run(env, {}, "a=1");
    EXPECT_NE(r.out.find("<H1>Content file</H1>\r\n<PRE>\r\n&lt;none&gt;\r\n</PRE>"), std::string::npos);
}

TEST(HostRunCgi, ShortBodyEndsAtEndOfInput) {
    Stage st;
    auto env = cgi_get("dumpinputdata");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "1000";
    Result r = st.run(env, {}, "k=v");
    EXPECT_NE(r.out.find("<PRE>\r\nk=v\r\n\r\n</PRE>"), std::string::npos);
}

TEST(HostRunCgi, ContentAboveTheCapIsRefused) {
    Stage st(Lib::Fake, "MaxContentLength=4\r\n");
    auto env = cgi_get("x.web");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "5";
    Result r = st.run(env, {}, "a=123");
    EXPECT_EQ(r.out, error_block("Tarnwick Error", "Posted content too large", k413));
    EXPECT_NE(read_file(st.log()).find("Posted content too large"), std::string::npos);
}

TEST(HostRunCgi, MultipartContentShownEscaped) {
    Stage st;
    auto env = cgi_get("dumpinputdata");
    env["REQUEST_METHOD"] = "POST";
    std::string body = "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n<v>\r\n--b--\r\n";
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    env["CONTENT_TYPE"] = "multipart/form-data; boundary=b";
    Result r = st.run(env, {}, body);
    EXPECT_NE(r.out.find("name=&quot;f&quot;\r\n\r\n&lt;v&gt;\r\n--b--\r\n</PRE>"), std::string::npos) << r.out;
}

TEST(HostRunCgi, Forbidden403WhenDisabled) {
    Stage st(Lib::Fake, "DisableDumpinputdata=1\r\nDisableDumperrorlog=1\r\n");
    EXPECT_EQ(st.run(cgi_get("dumpinputdata")).out, k403);
    EXPECT_EQ(st.run(cgi_get("dumpinputdataXYZ")).out, k403);
    EXPECT_EQ(st.run(cgi_get("DUMPERRORLOG")).out, k403);
    write_file(st.log(), "x");
    EXPECT_EQ(st.run(cgi_get("deleteerrorlog")).out, kHead + foot(kCgiUrl, "Error log has been deleted.<P>\r\n"));
}

TEST(HostRunCgi, DumpErrorLogEscapesButKeepsRules) {
    Stage st;
    write_file(st.log(), "a<b>&\"\r\n<HR>\r\n x<HR>\r\n");
    Result r = st.run(cgi_get("dumperrorlog"));
    EXPECT_EQ(r.out, kHead + "<BLOCKQUOTE>\r\n<H1>Tarnwick Error Log</H1>\r\n<PRE>\r\n"
                             "a&lt;b&gt;&amp;&quot;\r\n<HR>\r\n x&lt;HR&gt;\r\n</PRE></BLOCKQUOTE>\r\n" +
                         foot(kCgiUrl));
}

TEST(HostRunCgi, DeleteErrorLog) {
    Stage st;
    write_file(st.log(), "entry");
    EXPECT_EQ(st.run(cgi_get("deleteerrorlog")).out, kHead + foot(kCgiUrl, "Error log has been deleted.<P>\r\n"));
    EXPECT_FALSE(fs::exists(st.log()));
    EXPECT_EQ(st.run(cgi_get("deleteerrorlog")).out, kHead + foot(kCgiUrl, "Error log not found.<P>\r\n"));
}

TEST(HostRunCgi, DumpAuthorInfo) {
    Stage st;
    auto env = cgi_get("dumpauthorinfo");
    env["SERVER_PORT"] = "443";
    env["SERVER_NAME"] = "a\"b";
    Result r = st.run(env);
    EXPECT_EQ(r.out.substr(0, kHead.size()), kHead);
    EXPECT_NE(r.out.find("<IMG SRC=\"https://a&quot;b:443/cgi-bin/tarnhost?dumpgif+tarnbig\""), std::string::npos)
        << r.out;
    const std::string tail = "</CENTER>\r\n</BODY>\r\n</HTML>\r\n";
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

TEST(HostRunCgi, DumpGif) {
    Stage st;
    EXPECT_EQ(st.run(cgi_get("dumpgif+tarnlogo")).out,
              "Content-type: image/gif\r\n\r\n" + read_file(st.dir() / "tarnlogo.gif"));
    write_file(st.dir() / "pic.GIF", "GIF89a-bytes");
    EXPECT_EQ(st.run(cgi_get("dumpgif+pic.GIF")).out, "Content-type: image/gif\r\n\r\nGIF89a-bytes");
    EXPECT_EQ(st.run(cgi_get("dumpgif")).out, error_block("Tarnwick Error", "GIF file name not specified", k400));
    EXPECT_EQ(st.run(cgi_get("dumpgif+logo.png")).out,
              error_block("Tarnwick Error: File does not have an extension of '.GIF'", "logo.png", k400));
    EXPECT_EQ(st.run(cgi_get("dumpgif+a//x.gif")).out,
              error_block("Tarnwick Error: GIF file name contains invalid path info", "a//x.gif", k400));
    EXPECT_EQ(st.run(cgi_get("dumpgif+../x.gif")).out,
              error_block("Tarnwick Error: GIF file name contains invalid path info", "../x.gif", k400));
    EXPECT_EQ(st.run(cgi_get("dumpgif+none.gif")).out,
              error_block("Tarnwick Error: Unable to find/open specified GIF file", "none.gif", k404));
}

TEST(HostRunLocal, DumpInputData) {
    Stage st;
    Result r = st.run({}, {"/TarnwickLocal:out.htm", "dumpinputdata", "x"});
    EXPECT_EQ(r.out, "");
    std::string expected = kHead + "<BLOCKQUOTE>\r\n<H1>Data file</H1>\r\n<PRE>\r\n&lt;none&gt;\r\n"
                           "</PRE>\r\n<HR>\r\n<H1>Content file</H1>\r\n<PRE>\r\n&lt;none&gt;\r\n"
                           "</PRE>\r\n<HR>\r\n<H1>Command-line parameters</H1>\r\n<PRE>\r\n 0. ./tarnhost\r\n"
                           " 1. /TarnwickLocal:out.htm\r\n 2. dumpinputdata\r\n 3. x\r\n"
                           "</PRE>\r\n<HR>\r\n</BLOCKQUOTE>\r\n" + foot("http://localmachine/tarnhost");
    EXPECT_EQ(read_file(st.dir() / "out.htm"), expected);
}

TEST(HostRunFile, DumpInputData) {
    Stage st;
    std::string dat = "[CGI]\r\nQuery String=dumpinputdata\r\nContent Type=application/x-www-form-urlencoded\r\n"
                      "Server Name=files.example\r\nExecutable Path=/scripts/tarnhost\r\n";
    write_file(st.dir() / "req.dat", dat);
    write_file(st.dir() / "req.con", "x=1&y=%26");
    Result r = st.run({}, {"req.dat", "req.con", "req.out"});
    std::string expected = kHead + "<BLOCKQUOTE>\r\n<H1>Data file</H1>\r\n<PRE>\r\n" + dat +
                           "\r\n</PRE>\r\n<HR>\r\n<H1>Content file</H1>\r\n<PRE>\r\nx=1\r\n\r\ny=&amp;\r\n\r\n"
                           "</PRE>\r\n<HR>\r\n<H1>Command-line parameters</H1>\r\n<PRE>\r\ndumpinputdata\r\n"
                           "</PRE>\r\n<HR>\r\n</BLOCKQUOTE>\r\n" + foot("http://files.example/scripts/tarnhost");
    EXPECT_EQ(read_file(st.dir() / "req.out"), expected);
    EXPECT_EQ(r.out, "");
}

// The failure table: each row's page (when there is an output) and its log entry.
TEST(HostRunFailures, NotEnoughParameters) {
    Stage st;
    Result r = st.run({}, {"a", "b"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(read_file(st.log()).find("Tarnwick Error: Not enough command-line parameters\r\n\r\n./tarnhost a b"),
              std::string::npos);
}

TEST(HostRunFailures, OutFileCannotBeCreated) {
    Stage st;
    st.run({}, {"/TarnwickLocal:/nonexistent/dir/out.htm", "x.web"});
    EXPECT_NE(read_file(st.log()).find("Tarnwick Error: Could not open/create OUT file\r\n\r\n/nonexistent/dir/out.htm"),
              std::string::npos);
    write_file(st.dir() / "r.dat", "[CGI]\r\n");
    write_file(st.dir() / "r.con", "");
    st.run({}, {"r.dat", "r.con", "/nonexistent/dir/r.out"});
    EXPECT_NE(read_file(st.log()).find("/nonexistent/dir/r.out"), std::string::npos);
}

TEST(HostRunFailures, DatAndConFilesCannotBeOpened) {
    Stage st;
    st.run({}, {"missing.dat", "x.con", "x.out"});
    EXPECT_NE(read_file(st.log()).find("Tarnwick Error: Could not find/open DAT file\r\n\r\n" + st.dir().string() +
                                       "/missing.dat"),
              std::string::npos);
    write_file(st.dir() / "r.dat", "[CGI]\r\n");
    st.run({}, {"r.dat", "missing.con", "x.out"});
    EXPECT_NE(read_file(st.log()).find("Tarnwick Error: Could not find/open CON file"), std::string::npos);
    EXPECT_FALSE(fs::exists(st.dir() / "x.out"));
}

TEST(HostRunFailures, PathCheck) {
    Stage st;
    EXPECT_EQ(st.run(cgi_get("..%2Fx.web")).out,
              error_block("Tarnwick Error: Script file name contains invalid path info", "../x.web", k400));
    EXPECT_EQ(st.run(cgi_get("a%0Ab.web")).out,
              error_block("Tarnwick Error: Script file name contains invalid path info", "a\nb.web", k400));
    EXPECT_EQ(st.run(cgi_get("%3Cb%3E:x.web")).out,
              error_block("Tarnwick Error: Script file name contains invalid path info", "&lt;b&gt;:x.web", k400));
    EXPECT_NE(read_file(st.log()).find("a%0Ab.web"), std::string::npos);
}

TEST(HostRunFailures, UnsupportedContentType) {
    Stage st;
    auto env = cgi_get("x.web");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "3";
    env["CONTENT_TYPE"] = "text/plain";
    EXPECT_EQ(st.run(env, {}, "abc").out, error_block("Tarnwick Error", "Form has an unsupported 'Content Type'", k415));
}

TEST(HostRunFailures, NotAWebFile) {
    Stage st;
    EXPECT_EQ(st.run(cgi_get("x.txt")).out,
              error_block("Tarnwick Error: File does not have an extension of '.WEB'", "x.txt", k400));
    EXPECT_EQ(st.run(cgi_get(".web")).out,
              error_block("Tarnwick Error: File does not have an extension of '.WEB'", ".web", k400));
}

TEST(HostRunFailures, EmptyScriptName) {
    Stage st;
    EXPECT_EQ(st.run(cgi_get("&a=1")).out, error_block("Tarnwick Error: Script file name not specified", "", k400));
}

TEST(HostRunFailures, MissingLibrary) {
    Stage st(Lib::None);
    Result r = st.run(cgi_get("dumpinputdata"));
    EXPECT_EQ(r.out, error_block("Batch DLL initialization error", "KELRUN32.DLL not found", k500) +
                         error_block("Tarnwick Error", "InitInstance failed", kContinued));
    EXPECT_EQ(r.rc, 0);
}

TEST(HostRunFailures, LibraryWithoutAnExport) {
    Stage st(Lib::FakeNoExport);
    Result r = st.run(cgi_get("dumpinputdata"));
    EXPECT_EQ(r.out, error_block("Batch DLL initialization error", "Err num 33", k500) +
                         error_block("Tarnwick Error", "InitInstance failed", kContinued));
    EXPECT_NE(read_file(st.dir() / "stderr.txt").find("Interface Error: DLL GetProcAddress Failure"),
              std::string::npos);
}

TEST(HostRunFailures, PhaseFailures) {
    Stage st;
    const std::pair<const char*, const char*> rows[] = {{"0", "35"}, {"1", "37"}, {"2", "39"}, {"3", "43"}};
    for (const auto& [phase, code] : rows) {
        auto env = cgi_get("dumpinputdata");
        env["KEL_FAKE_FAIL_PHASE"] = phase;
        Result r = st.run(env);
        EXPECT_EQ(r.out, error_block("Batch DLL initialization error", std::string("Err num ") + code, k500) +
                             error_block("Tarnwick Error", "InitInstance failed", kContinued))
            << phase;
        EXPECT_EQ(r.rc, 0);
    }
}

TEST(HostRunScript, CallLineQuotesTheName) {
    Stage st;
    auto env = cgi_get("x%60%25y.web");
    env["KEL_FAKE_RECORD"] = (st.dir() / "line.txt").string();
    st.run(env);
    EXPECT_EQ(read_file(st.dir() / "line.txt"), "Call(`x``%%y.web`,``)\r\n");
}

TEST(HostRunScript, FoundScriptGetsItsFullPath) {
    Stage st;
    fs::create_directories(st.dir() / "sub");
    write_file(st.dir() / "sub" / "a.web", "");
    auto env = cgi_get("/sub/a.web");
    env["KEL_FAKE_RECORD"] = (st.dir() / "line.txt").string();
    st.run(env);
    std::string full = (st.dir() / "sub" / "a.web").string();
    for (char& c : full)
        if (c == '/') c = '\\';
    EXPECT_EQ(read_file(st.dir() / "line.txt"), "Call(`" + full + "`,``)\r\n");
}

TEST(HostRunScript, PendingErrorBecomesAnUnloggedPage) {
    Stage st;
    auto env = cgi_get("x.web");
    env["KEL_FAKE_PENDING"] = "1";
    Result r = st.run(env);
    EXPECT_EQ(r.out, error_block("3057:  Variable could not be converted", "Line 3: x = &lt;1", k500));
    EXPECT_FALSE(fs::exists(st.log()));
}

TEST(HostRunScript, ExitCodeLowByte) {
    Stage st;
    auto env = cgi_get("x.web");
    env["KEL_FAKE_EXIT"] = "3";
    EXPECT_EQ(st.run(env).rc, 3);
    env["KEL_FAKE_EXIT"] = "256";
    EXPECT_EQ(st.run(env).rc, 255);
    env["KEL_FAKE_EXIT"] = "257";
    EXPECT_EQ(st.run(env).rc, 1);
}

TEST(HostRunScript, TimeOutPageOnceThenCancel) {
    Stage st;
    auto env = cgi_get("x.web");
    env["KEL_FAKE_LOOP"] = "1";
    Result r = st.run(env);
    EXPECT_EQ(r.out, error_block("Tarnwick Error: Script timed out",
                                 "You can adjust the timeout value with the \"WebSetTimeout\" function", k503));
    EXPECT_NE(read_file(st.log()).find("Tarnwick Error: Script timed out"), std::string::npos);
}

TEST(HostRunScript, ScriptIgnoringTheCancelIsEnded) {
    Stage st;
    auto env = cgi_get("x.web");
    env["KEL_FAKE_LOOP"] = "1";
    env["KEL_FAKE_IGNORE_CANCEL"] = "1";
    Result r = st.run(env);
    EXPECT_EQ(r.out, error_block("Tarnwick Error: Script timed out",
                                 "You can adjust the timeout value with the \"WebSetTimeout\" function", k503));
    EXPECT_NE(read_file(st.log()).find("Script did not stop after being cancelled"), std::string::npos);
}

TEST(HostRunScript, ScriptStuckWithoutPumpingIsEnded) {
    Stage st;
    auto env = cgi_get("x.web");
    env["KEL_FAKE_LOOP"] = "1";
    env["KEL_FAKE_STUCK"] = "1";
    env["KEL_FAKE_EXIT"] = "4";
    Result r = st.run(env);
    EXPECT_EQ(r.out, error_block("Tarnwick Error: Script timed out",
                                 "You can adjust the timeout value with the \"WebSetTimeout\" function", k503));
    EXPECT_NE(read_file(st.log()).find("Script did not stop after being cancelled"), std::string::npos);
    EXPECT_EQ(r.rc, 4);
}

namespace {
std::string host_call(const Stage& st, std::map<std::string, std::string> env, const std::string& spec,
                      const std::vector<std::string>& args = {}, const std::string& in = "") {
    env["KEL_FAKE_CALL"] = spec;
    env["KEL_FAKE_RECORD"] = (st.dir() / "call.txt").string();
    fs::remove(st.dir() / "call.txt");
    st.run(env, args, in);
    return read_file(st.dir() / "call.txt");
}
}  // namespace

TEST(HostRunWebFunctions, RequestDataInCgiMode) {
    Stage st;
    auto env = cgi_get("x.web+2024+a%5C%5Cb&name=a+b&name=c&e=");
    EXPECT_EQ(host_call(st, env, "4"), "0:2024 a\\b");
    EXPECT_EQ(host_call(st, env, "32|1"), "0:+2024+a%5C%5Cb");
    EXPECT_EQ(host_call(st, env, "17|name"), "0:a b\tc");
    EXPECT_EQ(host_call(st, env, "20"), "0:name\te");
    EXPECT_EQ(host_call(st, env, "7"), "0:#19");  // the query's NUL counts
    EXPECT_EQ(host_call(st, env, "6"), "0:name=a+b&name=c&e=");
    EXPECT_EQ(host_call(st, env, "9|CGI|SERVER_NAME|d"), "0:test.example");
    EXPECT_EQ(host_call(st, env, "9|CGI|NOPE|d"), "0:d");
    EXPECT_EQ(host_call(st, env, "11"), "0:#0");
    EXPECT_EQ(host_call(st, env, "31"), "0:");
}

TEST(HostRunWebFunctions, PostedFieldsAndFiles) {
    Stage st;
    auto env = cgi_get("x.web");
    env["REQUEST_METHOD"] = "POST";
    std::string body = "f=hello+world&g=2\r\n";
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    EXPECT_EQ(host_call(st, env, "17|F", {}, body), "0:hello world");
    EXPECT_EQ(host_call(st, env, "19|f", {}, body), "0:#11");
    EXPECT_EQ(host_call(st, env, "18|g|out.txt", {}, body), "0:#1");
    EXPECT_EQ(read_file(st.dir() / "out.txt"), "2");
    EXPECT_EQ(host_call(st, env, "18|x|", {}, body), "-3:10127: WebParamFile: Output file name not specified");
}

TEST(HostRunWebFunctions, OutputAndDatData) {
    Stage st;
    std::string dat = "[CGI]\r\nQuery String=x.web\r\n[Extra]\r\nKey=v1\r\n";
    write_file(st.dir() / "r.dat", dat);
    write_file(st.dir() / "r.con", "");
    EXPECT_EQ(host_call(st, {}, "9|Extra|Key|d", {"r.dat", "r.con", "r.out"}), "0:v1");
    host_call(st, {}, "14|line|2", {"r.dat", "r.con", "r2.out"});
    EXPECT_EQ(read_file(st.dir() / "r2.out"), "line\r\n\r\n");
    host_call(st, {}, "8|42", {"r.dat", "r.con", "r3.out"});
    EXPECT_EQ(read_file(st.dir() / "r3.out").substr(0, 33), "Content-type: image/x-xbitmap\r\n\r\n");
    EXPECT_EQ(host_call(st, {}, "11", {"/TarnwickLocal:l.out", "x.web"}), "0:#1");
}

TEST(HostRunWebFunctions, LogReader) {
    Stage st;
    write_file(st.dir() / "access.log",
               "garbage line\n127.0.0.1 - u [10/Oct/2000:13:55:36 -0700] \"GET /a HTTP/1.0\" 200 5\r\n");
    EXPECT_EQ(host_call(st, cgi_get("x.web"), "13|access.log|4"), "-3:10117: WebOpenLog: Invalid format");
    EXPECT_EQ(host_call(st, cgi_get("x.web"), "13|missing.log|1"), "-3:10118: WebOpenLog: Error opening log file");
    EXPECT_EQ(host_call(st, cgi_get("x.web"), "12|3|0"), "-3:10119: WebLogLine: Invalid log file handle");
}

TEST(HostRunReal, DumpInputDataWithTheRealLibrary) {
    Stage st(Lib::Real);
    Result r = st.run(cgi_get("dumpinputdata"));
    EXPECT_EQ(r.out.substr(0, kHead.size()), kHead) << r.out;
    EXPECT_EQ(r.rc, 0);
}

TEST(HostRunFailures, StandardInputNotAvailable) {
    Stage st;
    auto env = cgi_get("x.web");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "3";
    env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    Result r = st.run(env, {}, "a=1", " <&-");
    EXPECT_EQ(r.out, error_block("Tarnwick Error", "GetStdHandle(STD_INPUT_HANDLE) failed", k500));
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(read_file(st.log()).find("Tarnwick Error\r\n\r\nGetStdHandle(STD_INPUT_HANDLE) failed"),
              std::string::npos);
    // Without content the standard input is never taken, so its absence does not matter.
    env["CONTENT_LENGTH"] = "0";
    env["KEL_FAKE_RECORD"] = (st.dir() / "line.txt").string();
    st.run(env, {}, "", " <&-");
    EXPECT_EQ(read_file(st.dir() / "line.txt"), "Call(`x.web`,``)\r\n");
}

TEST(HostRunFailures, StandardOutputNotAvailable) {
    Stage st;
    Result r = st.run(cgi_get("x.web"), {}, "", " >&-");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(read_file(st.log()).find("Tarnwick Error\r\n\r\nGetStdHandle(STD_OUTPUT_HANDLE) failed"),
              std::string::npos);
}

TEST(HostRunReal, UndefinedVariableReportedInTheUserSettings) {
    Stage st(Lib::Real);
    write_file(st.dir() / "undef.web", "x = notdefinedyet + 1\r\n");
    auto env = cgi_get("undef.web");
    env["XDG_CONFIG_HOME"] = (st.dir() / "cfg").string();
    st.run(env);
    std::string ini = read_file(st.dir() / "cfg" / "Pellmoor" / "Settings" / "FENSCRPT.INI");
    EXPECT_EQ(ini, "[Error Reporting]\r\n3052=notdefinedyet\r\n");
}

// Request bodies captured once from curl (-F and --data-urlencode) and kept as fixtures.
namespace {
Result post_fixture(const Stage& st, const std::string& name, const std::string& script) {
    fs::path fx = fs::path(KEL_TEST_DIR) / "host" / "fixtures";
    std::string body = read_file(fx / ("curl_" + name + ".body"));
    auto env = cgi_get(script);
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    env["CONTENT_TYPE"] = read_file(fx / ("curl_" + name + ".type"));
    return st.run(env, {}, body);
}
}  // namespace

TEST(HostRunFixtures, CurlMultipartUpload) {
    Stage st(Lib::Real);
    write_file(st.dir() / "fx.web",
               "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\n"
               "webout(webparamnames(), 1)\r\nwebout(webparamdata(\"title\"), 1)\r\n"
               "webout(webparamdata(\"first name\"), 1)\r\nwebout(webparamdata(\"evil\"), 1)\r\n"
               "webout(webparamsize(\"upload\"), 1)\r\nwebout(webparamfile(\"upload\", \"got.bin\"), 1)\r\n");
    Result r = post_fixture(st, "multipart", "fx.web");
    std::string upload = read_file(fs::path(KEL_TEST_DIR) / "host" / "fixtures" / "curl_upload.bin");
    // The uploaded file's own "Content-Disposition" text is data, not a field.
    EXPECT_EQ(r.out, "Content-type: text/plain\r\n\r\ntitle\tfirst name\tupload\r\nHello & <world>\tsecond\r\nJane\r\n\r\n" +
                         std::to_string(upload.size()) + "\r\n1\r\n");
    EXPECT_EQ(read_file(st.dir() / "got.bin"), upload);
}

TEST(HostRunFixtures, CurlUrlEncodedForm) {
    Stage st(Lib::Real);
    write_file(st.dir() / "fx.web",
               "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\n"
               "webout(webparamnames(), 1)\r\nwebout(webparamdata(\"first name\"), 1)\r\n"
               "webout(webparamdata(\"note\"), 1)\r\nwebout(\"[\" : webparamdata(\"empty\") : \"]\", 1)\r\n"
               "webout(webconsize(), 1)\r\n");
    Result r = post_fixture(st, "urlencoded", "fx.web");
    EXPECT_EQ(r.out, "Content-type: text/plain\r\n\r\nfirst name\tnote\tempty\r\nJane Doe\r\n100% & more\r\n[]\r\n47\r\n");
}

// --- Hostile requests -----------------------------------------------------------------

// A web server's environment always means CGI mode: the words of a query without "=" that
// Apache passes as arguments never select local or file mode or name an output file.
TEST(HostHostile, ArgumentsNeverSelectAModeUnderCgi) {
    Stage st(Lib::Real);
    write_file(st.dir() / "hello.web", "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\nwebout(\"hi\", 1)\r\n");
    fs::path victim = st.dir() / "victim.txt";
    write_file(victim, "keep");
    const std::vector<std::vector<std::string>> argv_sets = {
        {"/TarnwickLocal:" + victim.string(), "hello.web"},
        {"/tarnwicklocal:" + victim.string(), "hello.web"},
        {"/TARNWICKLOCAL", "hello.web"},
        {"a.dat", "b.con", "victim.txt", "hello.web"},
    };
    for (const auto& args : argv_sets) {
        std::string query;
        for (const auto& a : args) query += (query.empty() ? "" : "+") + a;
        for (const char* var : {"REQUEST_METHOD", "GATEWAY_INTERFACE"}) {
            std::map<std::string, std::string> env = cgi_get(query);
            if (std::string(var) == "GATEWAY_INTERFACE") {
                env.erase("REQUEST_METHOD");
                env["GATEWAY_INTERFACE"] = "CGI/1.1";
            }
            Result r = st.run(env, args);
            EXPECT_EQ(r.out.substr(0, 24), "Status: 400 Bad Request\r") << query << " with " << var;
            EXPECT_EQ(read_file(victim), "keep") << query;
        }
    }
    EXPECT_FALSE(fs::exists(st.dir() / "a.dat"));
    EXPECT_FALSE(fs::exists(st.dir() / "TARNWICK.LCL"));
    // Without a CGI environment the command line still chooses local mode.
    Result r = st.run({}, {"/TarnwickLocal:" + (st.dir() / "out.txt").string(), "hello.web"});
    EXPECT_EQ(read_file(st.dir() / "out.txt"), "Content-type: text/plain\r\n\r\nhi\r\n");
}

TEST(HostHostile, MissingScriptIsNotFoundAndNamed) {
    Stage st(Lib::Real);
    Result r = st.run(cgi_get("nosuch.web+x"));
    EXPECT_EQ(r.out.rfind("Status: 404 Not Found\r\nContent-type: text/html\r\n\r\n<H1>", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\r\n\r\nnosuch.web\r\n</Pre>"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Call("), std::string::npos) << r.out;
    // Local mode keeps its described page, which follows the script-started rule.
    Result l = st.run({}, {"/TarnwickLocal:" + (st.dir() / "out.txt").string(), "nosuch.web"});
    std::string out = read_file(st.dir() / "out.txt");
    EXPECT_EQ(out.substr(0, 8), "\r\n<HR>\r\n") << out;
}

TEST(HostHostile, ScriptErrorBeforeAndAfterOutput) {
    Stage st(Lib::Real);
    write_file(st.dir() / "early.web", "x = 1 / 0\r\n");
    write_file(st.dir() / "late.web", "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\nx = 1 / 0\r\n");
    std::string early = st.run(cgi_get("early.web")).out;
    EXPECT_EQ(early.rfind("Status: 500 Internal Server Error\r\nContent-type: text/html\r\n\r\n<H1>", 0), 0u) << early;
    std::string late = st.run(cgi_get("late.web")).out;
    EXPECT_EQ(late.rfind("Content-type: text/plain\r\n\r\n\r\n<HR>\r\n<H1>", 0), 0u) << late;
}

TEST(HostHostile, DeleteErrorLogCanBeDisabled) {
    Stage st(Lib::Fake, "DisableDeleteerrorlog=1\r\n");
    write_file(st.log(), "trace\r\n");
    EXPECT_EQ(st.run(cgi_get("deleteerrorlog")).out, k403);
    EXPECT_EQ(st.run(cgi_get("DeleteErrorLog")).out, k403);
    EXPECT_EQ(read_file(st.log()), "trace\r\n");
    Stage open(Lib::Fake, "DisableDeleteerrorlog=0\r\n");
    write_file(open.log(), "trace\r\n");
    EXPECT_NE(open.run(cgi_get("deleteerrorlog")).out.find("Error log has been deleted."), std::string::npos);
    EXPECT_FALSE(fs::exists(open.log()));
}

namespace {
std::string many_fields(size_t n) {
    std::string body;
    for (size_t i = 0; i < n; ++i) body += (i ? "&f" : "f") + std::to_string(i) + "=v";
    return body;
}
std::string multipart_fields(size_t n) {
    std::string body;
    for (size_t i = 0; i < n; ++i)
        body += "--BB\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) + "\"\r\n\r\nv\r\n";
    return body + "--BB--\r\n";
}
Result post(const Stage& st, const std::string& script, const std::string& body, const std::string& type = "") {
    auto env = cgi_get(script);
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    if (!type.empty()) env["CONTENT_TYPE"] = type;
    return st.run(env, {}, body);
}
}  // namespace

// MaxFormFields at its limit and one past it, for both kinds of form; the refusal comes
// before the script runs and is logged.
TEST(HostHostile, TooManyFormFieldsAreRefused) {
    Stage st(Lib::Real, "MaxFormFields=50\r\n");
    write_file(st.dir() / "n.web", "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\n"
                                    "webout(itemcount(webparamnames(), @tab), 1)\r\nwebout(webparamdata(\"f49\"), 1)\r\n");
    const std::string ok = "Content-type: text/plain\r\n\r\n50\r\nv\r\n";
    const std::string refused = error_block("Tarnwick Error", "Posted form has too many fields", k413);
    EXPECT_EQ(post(st, "n.web", many_fields(50)).out, ok);
    EXPECT_EQ(post(st, "n.web", many_fields(51)).out, refused);
    const std::string mp = "multipart/form-data; boundary=BB";
    EXPECT_EQ(post(st, "n.web", multipart_fields(50), mp).out, ok);
    EXPECT_EQ(post(st, "n.web", multipart_fields(51), mp).out, refused);
    EXPECT_EQ(st.run(cgi_get("n.web&" + many_fields(51))).out, refused);  // GET fields count too
    EXPECT_NE(read_file(st.log()).find("Posted form has too many fields"), std::string::npos);
}

// 100,000 fields (a 1.3 MB body) under a raised limit: every name listed once and each
// value found, in one request well inside the test's time limit.
TEST(HostHostile, HundredThousandFieldsStayLinear) {
    Stage st(Lib::Real, "MaxFormFields=200000\r\n");
    write_file(st.dir() / "all.web",
               "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\nnames = webparamnames()\r\n"
               "n = itemcount(names, @tab)\r\nfound = 0\r\nfor i = 0 to n - 1\r\n"
               "  if webparamdata(\"F\" : i) == \"v\" then found = found + 1\r\nnext\r\n"
               "webout(n : \" \" : found : \" \" : webparamdata(\"f7\"), 1)\r\n");
    std::string body = many_fields(100000) + "&f7=w";  // one repeated name
    Result r = post(st, "all.web", body);
    EXPECT_EQ(r.out, "Content-type: text/plain\r\n\r\n100000 99999 v\tw\r\n");
    EXPECT_EQ(post(Stage(Lib::Real), "all.web", many_fields(10001)).out.substr(0, 30), "Status: 413 Content Too Large\r");
}

// A part whose name lost its closing quote is skipped; the fields after it are found.
TEST(HostHostile, BrokenMultipartPartIsSkipped) {
    Stage st(Lib::Real);
    write_file(st.dir() / "mp.web", "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\n"
                                     "webout(webparamnames(), 1)\r\nwebout(webparamdata(\"a\"), 1)\r\n"
                                     "webout(webparamsize(\"a\"), 1)\r\nwebout(webparamdata(\"c\"), 1)\r\n");
    std::string body = "--BB\r\nContent-Disposition: form-data; name=\"c\"\r\n\r\nv3\r\n"
                       "--BB\r\nContent-Disposition: form-data; name=\"b\r\n\r\nv2\r\n"
                       "--BB\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv1\r\n--BB--\r\n";
    Result r = post(st, "mp.web", body, "multipart/form-data; boundary=BB");
    EXPECT_EQ(r.out, "Content-type: text/plain\r\n\r\nc\ta\r\nv1\r\n2\r\nv3\r\n");
}

// A termination request while the host waits for the posted body ends the request at
// once: the script never runs.
TEST(HostHostile, TerminationDuringBodyReadStopsTheRequest) {
    Stage st(Lib::Real);
    write_file(st.dir() / "mark.web", "webout(\"ran\", 1)\r\n");
    auto env = cgi_get("mark.web");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "100";
    // The body's writer stays open (sleep holds the pipe) while tarnhost is sent SIGTERM.
    std::string cmd = "cd " + shell_quote(st.dir().string()) +
                      " && mkfifo in.fifo && { (printf a=1; exec sleep 10) >in.fifo & writer=$!; } && env -i";
    for (const auto& [k, v] : env) cmd += " " + shell_quote(k + "=" + v);
    cmd += " ./tarnhost <in.fifo >stdout.txt 2>stderr.txt & pid=$!; sleep 0.3; kill -TERM $pid; wait $pid;"
           " kill $writer; wait";
    std::system(("timeout 30 sh -c " + shell_quote(cmd)).c_str());
    std::string out = read_file(st.dir() / "stdout.txt");
    EXPECT_EQ(out.find("ran"), std::string::npos) << out;
    EXPECT_EQ(out.substr(0, 32), "Status: 503 Service Unavailable\r") << out;
}

// weboutfile of an endless file: the time-out stops the copy between blocks, so the
// script ends as cancelled instead of being killed as stuck.
TEST(HostHostile, LongHostWorkStopsAtTheTimeOut) {
    Stage st(Lib::Real);
    write_file(st.dir() / "zero.web", "websettimeout(1)\r\nweboutfile(\"/dev/zero\")\r\nwebout(\"after\", 1)\r\n");
    Result r = st.run(cgi_get("zero.web"), {}, "", " >/dev/null");
    std::string log = read_file(st.log());
    EXPECT_NE(log.find("Script timed out"), std::string::npos) << log;
    EXPECT_EQ(log.find("did not stop"), std::string::npos) << log;
}

TEST(HostRunReal, InterpreterLogEntryCarriesTheWindowTitle) {
    Stage st(Lib::Real);
    write_file(st.dir() / "fails.web", "x = 1 / 0\r\n");
    st.run(cgi_get("fails.web"));
    std::string log = read_file(st.log());
    // The same title the host's own entries carry: "Tarnwick - " and the script name.
    EXPECT_NE(log.find("  Tarnwick - fails.web\r\n\r\n3062:  Attempt to divide by zero\r\n\r\nx = 1 / 0 \r\n"),
              std::string::npos)
        << log;
}

// The response is written in one piece at the end, but what native code writes to the
// standard output itself comes where the script called it, and a large response arrives
// whole: the buffer is flushed before a native call and whenever it is full.
TEST(HostRunCgi, BufferedResponseKeepsOrderAndSize) {
    Stage st(Lib::Real);
    write_file(st.dir() / "order.web",
               "webout(\"Content-type: text/plain\", 1)\r\nwebout(\"\", 1)\r\nwebout(\"before\", 1)\r\n"
               "dllcall(\"libc.so.6\", long:\"write\", long:1, lpstr:\"native\", long:6)\r\n"
               "webout(\" after\", 1)\r\nline = strfill(\"x\", 999)\r\n"
               "for i = 1 to 200\r\nwebout(line, 1)\r\nnext\r\nwebout(\"end\", 1)\r\n");
    Result r = st.run(cgi_get("order.web"));
    std::string lines;
    for (int i = 0; i < 200; ++i) lines += std::string(999, 'x') + "\r\n";
    EXPECT_EQ(r.out, "Content-type: text/plain\r\n\r\nbefore\r\nnative after\r\n" + lines + "end\r\n");
    EXPECT_EQ(r.rc, 0);
}
