// Runs script text in-process through ProcessDaBatBuffer, with a small host table whose
// functions print, fail with a chosen status and text, ask for a stop (service 7) or
// answer -5 (cancel), so the statement loop and the error decision can be tested without
// starting tarnhost.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "interp/run/exec.h"
#include "interp_host_fixture.h"

namespace kel::test {

struct RunHost;
inline RunHost* g_run_host = nullptr;

constexpr KeywordRecord host_record(int32_t id, const char* name, int required) {
    KeywordRecord r{};
    r.id = id;
    r.kind = 2;
    for (int i = 0; i < 8; ++i) r.ptypes[i] = 0x11;  // every argument as a string
    r.u.args.required = static_cast<uint8_t>(required);
    uint16_t len = 0;
    while (name[len]) {
        r.name[len] = name[len];
        ++len;
    }
    r.name_len = len;
    return r;
}

// 1000 out(text), 1001 hostfail(text, status), 1002 hoststop(), 1003 hostcancel().
inline const KeywordRecord kRunHostTable[] = {
    host_record(0, "out", 1),
    host_record(1, "hostfail", 2),
    host_record(2, "hoststop", 0),
    host_record(3, "hostcancel", 0),
    KeywordRecord{},
};

struct RunHost {
    FakeHost host;
    std::string out;      // what out() printed, one line per call
    std::string stderr_text;
    bool started = false;

    bool start() {
        started = host.start();
        return started;
    }
    ~RunHost() {
        if (started) host.stop();
    }

    static int32_t parent(Hwnd, uintptr_t, uint32_t, int32_t code, ResultCallback answer, RequestRecord* req,
                          uintptr_t, ExchangeValue* args, int32_t argc, ExchangeValue* result) {
        RunHost& h = *g_run_host;
        auto arg = [&](int i) -> std::string {
            return i < argc && args[i].str ? std::string(args[i].str) : std::string();
        };
        switch (code) {
        case 0:
            h.out += arg(0) + "\n";
            result->flags = kVtInt;
            result->i = 0;
            return answer(0, kCallbackMagic, req, result);
        case 1: {
            static std::string text;
            text = arg(0);
            int32_t status = static_cast<int32_t>(std::strtol(arg(1).c_str(), nullptr, 10));
            result->flags = kVtStr;
            result->str = text.data();
            answer(status, kCallbackMagic, req, result);
            return status;
        }
        case 2:
            DLLServices(h.host.inst_block, 7, nullptr, nullptr, 0, 0);
            result->flags = kVtInt;
            result->i = 1;
            return answer(0, kCallbackMagic, req, result);
        case 3:
            return -5;
        default:
            return -4;
        }
    }

    // Runs `text` as the host's buffer; stderr (the headless dialogs) is kept.
    void run(const std::string& text) {
        g_run_host = this;
        Handle b = platform::gmem_alloc(text.size() + 1, true);
        std::memcpy(platform::gmem_lock(b), text.c_str(), text.size() + 1);
        platform::gmem_unlock(b);
        ::testing::internal::CaptureStderr();
        ProcessDaBatBuffer(0, host.inst_block, b, &RunHost::parent, kRunHostTable);
        stderr_text = ::testing::internal::GetCapturedStderr();
        platform::gmem_free(b);
    }

    // The error the run left behind.
    uint16_t error() {
        Entered e(host.inst_block);
        return e.inst().err_code;
    }
    uint16_t real_code() {
        Entered e(host.inst_block);
        return e.inst().real_code;
    }
    // Service 25: the headline (message line) and detail (failing line) for the host.
    bool pending(std::string* headline, std::string* detail) {
        char l[2100] = {}, m[2100] = {};
        if (host.svc(25, l, m, sizeof l) != 1) return false;
        *headline = m;
        *detail = l;
        return true;
    }
};

inline std::string read_text_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace kel::test
