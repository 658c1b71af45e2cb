// Builtins of script control: ErrorMode, LastError, ErrorEvent, IntControl and Call.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "interp/base/report.h"
#include "interp/api/services.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/base/messages.h"
#include "interp/api/builtin.h"
#include "platform/process.h"

namespace kel::lib {

namespace {

using interp::ScriptState;
using interp::script_state;

void errormode_fn(Call& c) {
    ScriptState& ex = script_state(c.inst);
    int32_t prev = ex.error_display;
    int32_t n = c.integer(1);
    ex.error_display = n == 0 ? 0 : n == 1 ? 1 : 2;
    c.ret_int(prev);
}

void lasterror_fn(Call& c) {
    ScriptState& ex = script_state(c.inst);
    uint16_t code = ex.last_error;
    bool shown = code >= err_number(Err::ShownUserEnded) && code <= err_number(Err::UserErrorReported);
    if ((interp::is_extension_error(code) || shown) && ex.last_real)
        code = ex.last_real;
    ex.last_error = 0;
    ex.last_real = 0;
    c.ret_int(code);
}

void errorevent_fn(Call& c) {
    Instance& inst = c.inst;
    ScriptState& ex = script_state(inst);
    int32_t severity = c.integer(1);
    int32_t code = c.integer(2);
    std::string text(c.str(3).substr(0, 255));
    Err cls;
    switch (severity) {
    case -1: cls = Err::UserMinor; break;
    case -2: cls = Err::UserModerate; break;
    case -3: cls = Err::UserSevere; break;
    default: c.fail(Err::ErrorEventBadSeverity); return;
    }
    if (code < 7000 || code > 7999) {
        c.fail(Err::ErrorEventBadCode);
        return;
    }
    if (ex.handlers.error_mode != 0 || (ex.error_display == 0 && severity == -1)) {
        inst.fail(cls).info(text);
        inst.real_code = static_cast<uint16_t>(code);
        return;
    }
    std::string mline = std::string(interp::message_text(Err::LabelUserDefinedError)) + "  " + std::to_string(code) + ": " + text;
    ex.last_error = err_number(cls);
    ex.last_real = static_cast<uint16_t>(code);
    bool go_on = false;
    const char* line = ex.line_text ? ex.line_text : "";
    if (inst.html_log) {
        interp::record_error_for_host(inst, mline, line);
    } else {
        bool single = ex.error_display == 1 || severity == -3;
        uint32_t type = platform::kMbIconError | (single ? platform::kMbOk : platform::kMbKelErrorDialog);
        std::string caption = std::string(interp::message_text(Err::LabelError)) + "  " + interp::host_window_title(inst);
        int answer = platform::message_box((mline + "\n" + line).c_str(), caption.c_str(), type);
        go_on = !single && answer == platform::kIdContinue;
    }
    if (go_on) {
        c.ret_int(0);
        return;
    }
    inst.fail(Err::UserErrorReported);
    inst.real_code = static_cast<uint16_t>(code);
}

int32_t text_int(std::string_view s) {
    std::string t(s);
    return static_cast<int32_t>(std::strtol(t.c_str(), nullptr, 10));
}

// IntControl 72 / 73: previous mode; 0..3 accepted; p2 == 1 discards the additional
// information; p3 names the mode-3 handler function.
void handler_control(Call& c, bool cancel) {
    ScriptState& ex = script_state(c.inst);
    interp::HandlerState& h = ex.handlers;
    int& mode = cancel ? h.cancel_mode : h.error_mode;
    int32_t prev = mode;
    int32_t n = text_int(c.str(2));
    if (n >= 0 && n <= 3) {
        mode = n;
        if (cancel) h.cancel_inherited = false;
        if (n == 3) {
            std::string name(c.str(4).substr(0, 30));
            for (char& ch : name)
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
            (cancel ? h.cancel_func : h.error_func) = name;
        }
    }
    if (text_int(c.str(3)) == 1) c.inst.add_info.clear();
    c.ret_int(prev);
}

// Requests the interpreter does not handle go to the host's function of that name.
void pass_to_host(Call& c) {
    Instance& inst = c.inst;
    const KeywordRecord* t = inst.host_table;
    int id = -1;
    for (int i = 0; t && i < 999 && t[i].name_len != 0; ++i) {
        if (interp::keyword_name(t[i]) == "intcontrol") {
            id = interp::kHostIdFirst + i;
            break;
        }
    }
    if (id < 0) {
        c.fail(Err::BadIntControl);
        return;
    }
    Value args[5];
    for (int i = 0; i < 5; ++i) args[i] = interp::empty_value();
    // The host sees the request number as decimal text, like the other parameters.
    std::string req = std::to_string(c.integer(1));
    args[0].flags = kVtStr;
    args[0].str = interp::heap_strdup_or_fail(inst, req);
    for (int i = 1; i < 5 && !inst.error(); ++i) interp::copy_value(inst, c.arg(i + 1), args[i]);
    Value result = interp::empty_value();
    if (!inst.error()) interp::call_builtin(inst, id, result, args, 5, false, 0x11111);
    for (int i = 0; i < 5; ++i) interp::release_value(inst, args[i]);
    if (inst.error()) {
        interp::release_value(inst, result);
        return;
    }
    c.result() = result;
}

void intcontrol_fn(Call& c) {
    ScriptState& ex = script_state(c.inst);
    int32_t req = c.integer(1);
    int32_t p1 = text_int(c.str(2));
    switch (req) {
    case 72: handler_control(c, true); return;
    case 73: handler_control(c, false); return;
    case 87: {
        int32_t prev = ex.execute_display;
        if (p1 >= 0 && p1 <= 2) ex.execute_display = p1;
        c.ret_int(prev);
        return;
    }
    case 39:
    case 40: {
        int32_t& v = req == 39 ? ex.share_read : ex.share_write;
        int32_t prev = v;
        if (p1 < 0 || p1 > 3) {
            c.fail(Err::BadShareMode);
            return;
        }
        v = p1;
        c.ret_int(prev);
        return;
    }
    case 41: {
        int32_t prev = ex.four_digit_year;
        if (p1 == 0 || p1 == 1) ex.four_digit_year = p1;
        c.ret_int(prev);
        return;
    }
    case 53: {
        int32_t prev = c.inst.file_line_term;
        if (p1 >= 0 && p1 <= 4) c.inst.file_line_term = p1;
        c.ret_int(prev);
        return;
    }
    default: pass_to_host(c); return;
    }
}

void call_fn(Call& c) {
    Value r = interp::empty_value();
    interp::call_script_file(c.inst, c.str(1), c.str(2), r);
    if (c.inst.error()) {
        interp::release_value(c.inst, r);
        return;
    }
    c.result() = r;
}

const Builtin kControl[] = {
    {"errormode", errormode_fn},   {"lasterror", lasterror_fn}, {"errorevent", errorevent_fn},
    {"intcontrol", intcontrol_fn}, {"call", call_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kControl)

}  // namespace kel::lib
