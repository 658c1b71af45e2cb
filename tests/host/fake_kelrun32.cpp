// A stand-in interpreter library for the host's run tests: it answers the eight bound
// exports and lets the environment choose a failing phase, a pending error, and a script
// that sets its own time-out and then keeps running.
//   KEL_FAKE_FAIL_PHASE=0|1|2|3   that phase of DoDaDllInit returns 0
//   KEL_FAKE_PENDING=1            service 25 reports a pending error
//   KEL_FAKE_RECORD=path          the script buffer is appended to this file
//   KEL_FAKE_LOOP=1               calls websettimeout(1) and runs until cancelled
//   KEL_FAKE_IGNORE_CANCEL=1      with LOOP: keeps running after the cancel
//   KEL_FAKE_STUCK=1              with LOOP: never pumps messages (stuck in native code)
//   KEL_FAKE_CALL=code|a1|a2|a3   calls that host function; KEL_FAKE_RECORD receives
//                                 "status:text" or "status:#integer"
//   KEL_FAKE_EXIT=n               calls intcontrol(1000, n), the script's exit code
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#include <cstring>
#include <cstdio>
#include "platform/gmem.h"
#include "platform/msgq.h"
#include "shared/abi.h"

namespace {
bool g_stop = false;
bool env_is(const char* name, const char* value) {
    const char* v = std::getenv(name);
    return v && std::strcmp(v, value) == 0;
}
int32_t answer(int32_t status, uint32_t, kel::RequestRecord*, kel::ExchangeValue*) { return status; }

std::string g_answer_text;
int32_t record(int32_t status, uint32_t, kel::RequestRecord*, kel::ExchangeValue* v) {
    g_answer_text = std::to_string(status) + ":";
    if (v->flags & kel::kVtStr) g_answer_text += v->str ? v->str : "";
    else g_answer_text += "#" + std::to_string(v->i);
    return status;
}

void fake_call(kel::ParentCallback parent, const char* spec) {
    std::vector<std::string> parts;
    std::string cur;
    for (const char* p = spec; *p; ++p) {
        if (*p == '|') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    parts.push_back(cur);
    kel::ExchangeValue args[5]{}, result{};
    for (size_t i = 1; i < parts.size() && i <= 5; ++i) {
        args[i - 1].str = parts[i].data();
        args[i - 1].flags = kel::kVtStr;
    }
    parent(0, 0, kel::kCallbackMagic, std::atoi(parts[0].c_str()), record, nullptr, 0, args,
           static_cast<int32_t>(parts.size() - 1), &result);
    if (const char* rec = std::getenv("KEL_FAKE_RECORD")) {
        if (FILE* f = std::fopen(rec, "wb")) {
            std::fwrite(g_answer_text.data(), 1, g_answer_text.size(), f);
            std::fclose(f);
        }
    }
}
}  // namespace

KEL_EXPORT int32_t DoDaDllInit(kel::Hwnd, uintptr_t, uintptr_t, uint32_t phase, uintptr_t, const char*, const void*) {
    char p[4];
    std::snprintf(p, sizeof p, "%u", phase);
    if (env_is("KEL_FAKE_FAIL_PHASE", p)) return 0;
    switch (phase) {
    case 0: return kel::kInstanceBlockSize;
    case 1: return kel::kVarRecordSize;
    default: return 1;
    }
}

KEL_EXPORT int32_t ProcessDaBatBuffer(kel::Hwnd, kel::Handle, kel::Handle buffer, kel::ParentCallback parent,
                                      const kel::KeywordRecord*) {
    if (const char* rec = std::getenv("KEL_FAKE_RECORD")) {
        kel::platform::GmemLock lock(buffer);
        if (FILE* f = std::fopen(rec, "ab")) {
            if (lock) std::fputs(lock.as<char>(), f);
            std::fclose(f);
        }
    }
    if (const char* spec = std::getenv("KEL_FAKE_CALL")) {
        fake_call(parent, spec);
        return 1;
    }
    if (const char* code = std::getenv("KEL_FAKE_EXIT")) {
        kel::ExchangeValue args[5]{}, result{};
        char req[] = "1000";
        args[0].str = req;
        args[1].str = const_cast<char*>(code);
        parent(0, 0, kel::kCallbackMagic, 2, answer, nullptr, 0, args, 5, &result);
    }
    if (env_is("KEL_FAKE_LOOP", "1")) {
        kel::ExchangeValue args[1]{}, result{};
        char one[] = "1";
        args[0].str = one;
        args[0].flags = kel::kVtStr;
        parent(0, 0, kel::kCallbackMagic, 24, answer, nullptr, 0, args, 1, &result);
        if (env_is("KEL_FAKE_STUCK", "1"))
            for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        bool ignore = env_is("KEL_FAKE_IGNORE_CANCEL", "1");
        while (!g_stop || ignore) {
            kel::platform::wait_for_event(50);
            kel::platform::pump_messages();
        }
    }
    return 1;
}

KEL_EXPORT intptr_t DLLServices(kel::Handle, int32_t code, const char* s1, const char* s2, intptr_t n, intptr_t) {
    if (code == 7) g_stop = true;
    if (code == 25 && env_is("KEL_FAKE_PENDING", "1")) {
        std::snprintf(const_cast<char*>(s1), static_cast<size_t>(n), "%s", "Line 3: x = <1");
        std::snprintf(const_cast<char*>(s2), static_cast<size_t>(n), "%s", "3057:  Variable could not be converted");
        return 1;
    }
    return code == 25 ? 0 : 1;
}

KEL_EXPORT int32_t DoDllAbout() { return 0; }
KEL_EXPORT int32_t LoadStandardMenu() { return 0; }
KEL_EXPORT int32_t ParseStandardMenu() { return 0; }
KEL_EXPORT int32_t MenuSelectProcessing() { return 0; }
#ifndef FAKE_OMIT_EXPORT
KEL_EXPORT int32_t HotKeyCheck() { return 0; }
#endif
