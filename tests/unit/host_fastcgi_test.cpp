// The FastCGI server's rules: the --fastcgi argument, the [FastCGI] settings and the
// request params turned into the environment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/fastcgi.h"

using namespace kel::host::fastcgi;

namespace {
Address parsed(const std::string& arg) {
    Address a;
    std::string error;
    EXPECT_TRUE(parse_address(arg, &a, &error)) << arg << ": " << error;
    return a;
}
std::string refusal(const std::string& arg) {
    Address a;
    std::string error;
    EXPECT_FALSE(parse_address(arg, &a, &error)) << arg;
    return error;
}
}  // namespace

TEST(FastcgiArgument, UnixPathsUpToTheSocketAddressSize) {
    Address a = parsed("--fastcgi=unix:/run/tarn.sock");
    EXPECT_EQ(a.kind, Address::Unix);
    EXPECT_EQ(a.path, "/run/tarn.sock");
    std::string longest = "/" + std::string(106, 'a');
    EXPECT_EQ(parsed("--fastcgi=unix:" + longest).path, longest);
    EXPECT_NE(refusal("--fastcgi=unix:" + longest + "a").find("longer than 107"), std::string::npos);
    EXPECT_NE(refusal("--fastcgi=unix:").find("absolute"), std::string::npos);
    EXPECT_NE(refusal("--fastcgi=unix:run/tarn.sock").find("absolute"), std::string::npos);
    EXPECT_NE(refusal("--fastcgi=unix:/run/a\nb").find("control"), std::string::npos);
}

TEST(FastcgiArgument, TcpOnLoopbackPortsOneTo65535) {
    Address a = parsed("--fastcgi=tcp:127.0.0.1:9000");
    EXPECT_EQ(a.kind, Address::Tcp);
    EXPECT_EQ(a.port, 9000);
    EXPECT_EQ(parsed("--fastcgi=tcp:127.0.0.1:1").port, 1);
    EXPECT_EQ(parsed("--fastcgi=tcp:127.0.0.1:65535").port, 65535);
    for (const char* bad : {"--fastcgi=tcp:127.0.0.1:0", "--fastcgi=tcp:127.0.0.1:65536", "--fastcgi=tcp:127.0.0.1:",
                            "--fastcgi=tcp:127.0.0.1:+80", "--fastcgi=tcp:127.0.0.1:80 ", "--fastcgi=tcp:127.0.0.1:123456"})
        EXPECT_NE(refusal(bad).find("port"), std::string::npos) << bad;
    for (const char* bad : {"--fastcgi=tcp:0.0.0.0:9000", "--fastcgi=tcp:10.0.0.1:9000", "--fastcgi=tcp:localhost:9000",
                            "--fastcgi=tcp::9000"})
        EXPECT_NE(refusal(bad).find("127.0.0.1 only"), std::string::npos) << bad;
}

TEST(FastcgiArgument, AnythingElseIsRefusedWithTheUsage) {
    for (const char* bad : {"--fastcgi=", "--fastcgi=UNIX:/x", "--fastcgi=udp:127.0.0.1:1", "--fastcgi", "-fastcgi=unix:/x"})
        EXPECT_NE(refusal(bad).find("use --fastcgi=unix:PATH or --fastcgi=tcp:127.0.0.1:PORT"), std::string::npos) << bad;
}

TEST(FastcgiSettings, DefaultsWhenMissing) {
    std::vector<std::string> warnings;
    Settings s = settings_from({"", "", "", ""}, &warnings);
    EXPECT_EQ(s.workers, 4);
    EXPECT_EQ(s.max_requests_per_worker, 1000);
    EXPECT_EQ(s.request_time_limit, 180);
    EXPECT_EQ(s.listen_backlog, 128);
    EXPECT_EQ(s.kept_connection_idle, 75);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(settings_from({}, nullptr).workers, 4);
}

TEST(FastcgiSettings, EachLimitKeptAndOnePastItClamped) {
    std::vector<std::string> w;
    Settings s = settings_from({"256", "100000", "86400", "65535"}, &w);
    EXPECT_EQ(s.workers, 256);
    EXPECT_EQ(s.max_requests_per_worker, 100000);
    EXPECT_EQ(s.request_time_limit, 86400);
    EXPECT_EQ(s.listen_backlog, 65535);
    EXPECT_TRUE(w.empty());
    // The idle limit of a kept connection, at its ends and one past each.
    EXPECT_EQ(settings_from({"", "", "", "", "86400"}, &w).kept_connection_idle, 86400);
    EXPECT_EQ(settings_from({"", "", "", "", "1"}, &w).kept_connection_idle, 1);
    EXPECT_TRUE(w.empty());
    EXPECT_EQ(settings_from({"", "", "", "", "86401"}, &w).kept_connection_idle, 86400);
    EXPECT_EQ(settings_from({"", "", "", "", "0"}, &w).kept_connection_idle, 1);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], "[FastCGI] KeptConnectionIdle=86401 is outside 1 to 86400; 86400 is used");
    w.clear();
    s = settings_from({"257", "100001", "86401", "65536"}, &w);
    EXPECT_EQ(s.workers, 256);
    EXPECT_EQ(s.max_requests_per_worker, 100000);
    EXPECT_EQ(s.request_time_limit, 86400);
    EXPECT_EQ(s.listen_backlog, 65535);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], "[FastCGI] Workers=257 is outside 1 to 256; 256 is used");
    EXPECT_EQ(w[1], "[FastCGI] MaxRequestsPerWorker=100001 is outside 1 to 100000; 100000 is used");
    w.clear();
    s = settings_from({"1", "1", "1", "1"}, &w);
    EXPECT_EQ(s.workers, 1);
    EXPECT_EQ(s.request_time_limit, 1);
    EXPECT_EQ(s.listen_backlog, 1);
    EXPECT_TRUE(w.empty());
    s = settings_from({"0", "0", "0", "0"}, &w);
    EXPECT_EQ(s.workers, 1);
    EXPECT_EQ(s.request_time_limit, 1);
    EXPECT_EQ(w.size(), 4u);
}

TEST(FastcgiSettings, TheProfileIntegerRule) {
    std::vector<std::string> w;
    // Leading blanks and trailing text as everywhere in the profile; no digits reads 0.
    Settings s = settings_from({"  8 workers", "", "-5", "many"}, &w);
    EXPECT_EQ(s.workers, 8);
    EXPECT_EQ(s.request_time_limit, 1);
    EXPECT_EQ(s.listen_backlog, 1);
    EXPECT_EQ(w.size(), 2u);
}

TEST(FastcgiParams, EntriesBecomeTheEnvironment) {
    const char* params[] = {"REQUEST_METHOD=GET", "QUERY_STRING=", "X=a=b", nullptr};
    EXPECT_EQ(params_to_environment(params), (std::vector<std::string>{"REQUEST_METHOD=GET", "QUERY_STRING=", "X=a=b"}));
}

TEST(FastcgiParams, MalformedDroppedLaterReplacesEarlier) {
    const char* params[] = {"NOEQUALS", "=nameless", "A=1", "FCGI_ROLE=RESPONDER", "B=2", "A=3", "", nullptr};
    EXPECT_EQ(params_to_environment(params), (std::vector<std::string>{"A=3", "B=2"}));
    EXPECT_TRUE(params_to_environment(nullptr).empty());
    // Names are compared exactly, as the environment does.
    const char* cased[] = {"a=1", "A=2", nullptr};
    EXPECT_EQ(params_to_environment(cased).size(), 2u);
}

TEST(FastcgiParams, ManyNamesEachKeepsItsFirstPlace) {
    // 300 names given in descending order, each three times: the order of first
    // appearance, each with its last value.
    std::vector<std::string> given;
    for (int round = 0; round < 3; ++round)
        for (int i = 299; i >= 0; --i) given.push_back("N" + std::to_string(i) + "=" + std::to_string(round));
    std::vector<const char*> params;
    for (const std::string& g : given) params.push_back(g.c_str());
    params.push_back(nullptr);
    std::vector<std::string> want;
    for (int i = 299; i >= 0; --i) want.push_back("N" + std::to_string(i) + "=2");
    EXPECT_EQ(params_to_environment(params.data()), want);
}
