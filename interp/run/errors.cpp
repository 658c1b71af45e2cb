// Error decision, handlers and display.
#include "interp/run/errors.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "interp/data/array.h"
#include "interp/data/convert.h"
#include "interp/run/exec.h"
#include "interp/data/heap.h"
#include "interp/base/messages.h"
#include "interp/run/udf.h"
#include "interp/data/vars.h"
#include "platform/fileio.h"
#include "platform/msgq.h"
#include "platform/process.h"

namespace kel::interp {

namespace {

std::string msg(Err e) { return std::string(message_text(e)); }

std::string cut(std::string_view s, size_t max) { return std::string(s.substr(0, max)); }

// Handler variables live in the frame that is current when the error is handled.

void set_var_int(Instance& inst, std::string_view name, int32_t v) {
    int32_t idx = var_find_or_create(inst, name);
    if (idx < 0) return;
    VarRecord& r = inst.vars[idx];
    release_value(inst, r);
    r.flags = kVtInt;
    r.i = v;
}

bool element_str(Instance& inst, uint32_t h, int64_t i, std::string_view s) {
    ValueCore v{};
    v.flags = kVtStr;
    v.str = heap_strdup(inst, s);
    if (!v.str) return false;
    bool ok = array_store(inst, h, i, v);
    heap_free(inst, v.str);
    return ok;
}

bool element_int(Instance& inst, uint32_t h, int64_t i, int32_t n) {
    ValueCore v{};
    v.flags = kVtInt;
    v.i = n;
    return array_store(inst, h, i, v);
}

// The additional information with one more item, by the rules of Instance::info.
std::string with_info_item(const std::string& info, std::string_view item) {
    static constexpr std::string_view kSep = "\n\n----------------------------------------\n\xA0\n";
    std::string r = info;
    if (!r.empty()) {
        if (r.size() + kSep.size() >= kAddInfoMax) return r;
        r.append(kSep);
    }
    r.append(item.substr(0, kAddInfoMax - r.size()));
    return r;
}

struct ErrorFacts {
    uint32_t code;
    std::string line;
    size_t pos;
    std::string assignment;
    std::string file;
    std::string text;
    std::string info;
    std::string segment;
    uint32_t line_no;
    uint32_t func_line;
    uint32_t depth;
};

ErrorFacts gather(Instance& inst, uint32_t code, const char* line_text, size_t pos, bool cancel) {
    ExecState& ex = exec_state(inst);
    ErrorFacts f;
    f.code = (code == Err::UserMinor || code == Err::UserModerate || code == Err::UserSevere ||
              is_extension_error(code)) &&
                     inst.real_code
                 ? inst.real_code
                 : code;
    f.line = line_text ? cut(line_text, kPendingTextMax) : std::string();
    f.pos = pos;
    Place pl = place_of(inst, pos);
    f.file = pl.file;
    f.line_no = pl.line;
    f.func_line = 0;
    f.depth = pl.depth;
    if (ex.cur_udf >= 0 && ex.cur_udf < static_cast<int>(ex.udfs.size())) {
        f.segment = ex.udfs[ex.cur_udf]->name;
        // A body that carries a file marker counts file lines already.
        f.func_line = pl.text_line;
        f.line_no = pl.marked ? pl.line : ex.udfs[ex.cur_udf]->first_line + pl.text_line - 1;
        f.file = ex.udfs[ex.cur_udf]->body.file;
        f.depth = ex.udfs[ex.cur_udf]->include_depth + pl.depth;
    }
    if (inst.assign_target && inst.vars) {
        uint16_t fr = static_cast<uint16_t>(inst.assign_target >> 16);
        uint16_t vi = static_cast<uint16_t>(inst.assign_target & 0xFFFF);
        if (fr == inst.cur_frame && vi < inst.cur_count) f.assignment = inst.vars[vi].name;
    }
    if (cancel) {
        f.text = "Cancel";
        f.info = "User pressed Cancel";
    } else if (is_extension_error(code) && !inst.ext_error_text.empty()) {
        // The host's own text ("10112: WebBaseConv: ...") says what went wrong; the
        // generic "Cmd Extender" text would hide it.
        f.text = cut(inst.ext_error_text, kPendingTextMax);
        f.info = with_info_item(inst.add_info, f.text);
    } else {
        f.text = message_text_or_number(code);
        f.info = inst.add_info;
    }
    return f;
}

void fill_handler_vars(Instance& inst, const ErrorFacts& f) {
    var_set_text(inst, "tkerrorhandlerline", f.line, false);
    set_var_int(inst, "tkerrorhandleroffset", static_cast<int32_t>(f.pos));
    var_set_text(inst, "tkerrorhandlerassignment", f.assignment, false);
    var_set_text(inst, "tkerrorhandlerfile", f.file, false);
    var_set_text(inst, "tkerrortextstring", f.text, false);
    var_set_text(inst, "tkerroradditionalinfo", f.info, false);
    var_set_text(inst, "tkerrorinsegment", f.segment, false);
    set_var_int(inst, "tkerrorhandlerlinenumber", static_cast<int32_t>(f.line_no));
}

// A fresh tkerrorarray; its value (holding one reference) lands in *out when given.
bool fill_error_array(Instance& inst, const ErrorFacts& f, ValueCore* out) {
    ValueCore arr{};
    int32_t dims[kMaxDims] = {12, 0, 0, 0, 0};
    if (array_create(inst, arr, dims, 0, 1) < 0) return false;
    uint32_t h = arr.str;
    element_int(inst, h, 0, static_cast<int32_t>(f.code));
    element_str(inst, h, 1, f.line);
    element_int(inst, h, 2, static_cast<int32_t>(f.pos));
    element_str(inst, h, 3, f.assignment);
    element_str(inst, h, 4, f.file);
    element_str(inst, h, 5, f.text);
    element_str(inst, h, 6, f.info);
    element_str(inst, h, 7, f.segment);
    element_int(inst, h, 8, static_cast<int32_t>(f.line_no));
    element_int(inst, h, 9, static_cast<int32_t>(f.func_line));
    element_int(inst, h, 10, static_cast<int32_t>(f.depth));
    element_int(inst, h, 11, 0);
    int32_t idx = var_find_or_create(inst, "tkerrorarray");
    if (idx >= 0) {
        VarRecord& r = inst.vars[idx];
        release_value(inst, r);
        static_cast<ValueCore&>(r) = arr;
        array_addref(h);
    }
    if (out) {
        *out = arr;
    } else {
        array_release(inst, h);
    }
    return true;
}

void inst_inherit_clear(Instance& inst) {
    inst.clear_error();
    inst.add_info.clear();
    inst.ext_error_text.clear();
}

// Runs a handler of mode 1 or 2: jump (or gosub) to `label`. False when the label is
// missing (the triggering code is put back) or the stack is full.
bool jump_handler(Instance& inst, int mode, std::string_view label, Err full_code, uint16_t code) {
    ExecState& ex = exec_state(inst);
    inst.clear_error();
    StructEntry* e = nullptr;
    if (mode == 2) {
        e = struct_push(inst, ex.last_if == 0 ? kKindGosubFalse : ex.last_if == 1 ? kKindGosubTrue : kKindGosubNone);
        if (!e) {
            inst.fail(full_code);
            return false;
        }
        e->resume = static_cast<uint32_t>(ex.next_pos);
        e->saved_if = ex.last_if;
        ex.breakable = 0;
    }
    int64_t target = find_label(inst, *ex.script, label);
    if (target < 0) {
        if (e) struct_pop(inst);
        inst.clear_error();
        inst.fail(code);
        return false;
    }
    ex.next_pos = static_cast<size_t>(target);
    ex.jumped = true;
    inst.add_info.clear();
    inst.ext_error_text.clear();
    return true;
}

// Mode 3: the handler function with exactly one parameter, given tkerrorarray.
// 1 go on, 0 not handled, -1 stop.
int call_handler_function(Instance& inst, const std::string& name, const ErrorFacts& f, bool cancel) {
    ExecState& ex = exec_state(inst);
    int idx = udf_find(inst, name);
    if (idx < 0 || udf_param_count(inst, idx) != 1) return 0;
    ValueCore arr{};
    uint16_t code = inst.err_code;
    inst.clear_error();
    if (!fill_error_array(inst, f, &arr)) {
        inst.fail(code);
        return 0;
    }
    Value arg = empty_value();
    static_cast<ValueCore&>(arg) = arr;
    Value result = empty_value();
    inst.add_info.clear();
    inst.ext_error_text.clear();
    call_user_function(inst, idx, &arg, 1, result);
    release_value(inst, arg);
    if (inst.error() != 0) {
        release_value(inst, result);
        return -1;
    }
    int32_t flags = 0;
    if (to_int(inst, result, true)) flags = result.i;
    inst.clear_error();
    release_value(inst, result);
    if (!(flags & 1)) {
        if (cancel)
            ex.handlers.cancel_mode = 0;
        else
            ex.handlers.error_mode = 0;
    }
    if (flags & 2) {
        inst.fail(Err::Exit);
        return -1;
    }
    return 1;
}

}  // namespace

Place place_of(const Instance& inst, size_t pos) {
    Place pl;
    const ExecState* ex = inst.exec.get();
    if (!ex || !ex->script) return pl;
    const Script& s = *ex->script;
    pl.file = s.file;
    uint32_t line = 1;
    uint32_t text_line = 1;
    bool marked = false;
    // The files open at this point, outermost first. A marker for line 1 starts a file;
    // any other marker goes back to a file already open (after an #include, or a
    // definition's header line) or names the one in progress.
    std::vector<std::string_view> open_files;
    size_t p = 0, end = pos < s.text.size() ? pos : s.text.size();
    while (p < end) {
        size_t eol = s.text.find('\n', p);
        if (eol == std::string::npos || eol >= end) break;
        std::string_view l(s.text.data() + p, eol - p);
        size_t b = 0;
        while (b < l.size() && (l[b] == ' ' || l[b] == '\t')) ++b;
        uint32_t n;
        std::string_view path;
        if (parse_marker(l.substr(b), &n, &path)) {
            if (n == 1 || open_files.empty()) {
                open_files.push_back(path);
            } else {
                size_t k = open_files.size();
                while (k > 0 && open_files[k - 1] != path) --k;
                if (k > 0) open_files.resize(k);
            }
            line = n;
            pl.file = std::string(path);
            pl.included = marked;  // the first marker names the loaded file itself
            marked = true;
        } else {
            ++line;
            ++text_line;
        }
        p = eol + 1;
    }
    pl.marked = marked;
    pl.text_line = text_line;
    pl.depth = open_files.empty() ? 0 : static_cast<uint32_t>(open_files.size() - 1);
    if (s.is_body) pl.included = true;
    if (!s.file.empty() && pl.file != s.file) pl.included = true;
    pl.line = line;
    return pl;
}

bool display_error(Instance& inst, uint32_t code, const char* line_text, size_t line_pos) {
    ExecState& ex = exec_state(inst);
    ErrorClass cls = error_class(code);
    ex.last_error = static_cast<uint16_t>(code);
    ex.last_real = inst.real_code;
    if (ex.error_display == 0 && cls == ErrorClass::kMinor) {
        inst_inherit_clear(inst);
        return true;
    }
    std::string mline = error_message_line(inst, code);
    std::string line = line_text ? cut(line_text, kPendingTextMax) : std::string();
    bool go_on = false;
    if (inst.html_log) {
        // The log keeps the short copy of a host's text, the host gets the whole line.
        bool ext = is_extension_error(code) && !inst.ext_error_log_text.empty();
        record_error_for_host(inst, mline, line, ext ? std::string_view(inst.ext_error_log_text) : std::string_view());
    } else {
        Place pl = place_of(inst, line_pos);
        std::string text = pl.file.empty() ? std::string() : pl.file + "\n";
        text += mline + "\n";
        uint32_t line_no = pl.line;
        std::string file = pl.file;
        bool on = pl.included;
        if (ex.cur_udf >= 0 && ex.cur_udf < static_cast<int>(ex.udfs.size())) {
            on = true;
            if (file.empty()) file = ex.udfs[ex.cur_udf]->name;
        }
        text += msg(on ? Err::LabelOnLine : Err::LabelNearLine) + " " + std::to_string(line_no);
        if (!file.empty()) text += " " + msg(Err::LabelOf) + " " + file;
        if (ex.cur_udf >= 0 && ex.cur_udf < static_cast<int>(ex.udfs.size()))
            text += "\n" + msg(Err::LabelIn) + " " + ex.udfs[ex.cur_udf]->name;
        text += "\n" + line;
        text += "\n" + msg(Err::LabelVersion) + " " + kInterpVersion;
        if (!inst.add_info.empty()) text += "\n" + inst.add_info;
        bool single = ex.error_display == 1 || cls == ErrorClass::kSevere;
        uint32_t type = platform::kMbIconError | (single ? platform::kMbOk : platform::kMbKelErrorDialog);
        int answer = platform::message_box(text.c_str(), (msg(Err::LabelError) + "  " + host_window_title(inst)).c_str(), type);
        go_on = !single && answer == platform::kIdContinue;
    }
    inst.add_info.clear();
    inst.ext_error_text.clear();
    if (go_on) inst.clear_error();
    return go_on;
}

bool after_line_error(Instance& inst, const char* line_text, size_t line_pos) {
    ExecState& ex = exec_state(inst);
    uint16_t code = inst.err_code;
    if (code == 0) return true;
    if (code == Err::Handled) {
        inst.clear_error();
        return true;
    }
    if (code == Err::Cancel) {
        HandlerState& h = ex.handlers;
        if (h.cancel_mode != 0) {
            ErrorFacts f = gather(inst, code, line_text, line_pos, true);
            if (h.cancel_mode == 3) {
                int r = call_handler_function(inst, h.cancel_func, f, true);
                if (r > 0) return true;
                if (r < 0) return false;
                inst.fail(Err::Cancel);
            } else {
                int mode = h.cancel_mode;
                fill_handler_vars(inst, f);
                fill_error_array(inst, f, nullptr);
                if (!h.cancel_inherited) h.cancel_mode = 0;
                if (jump_handler(inst, mode, "cancel", Err::CancelHandlerNesting, err_number(Err::Cancel))) return true;
                if (inst.err_code != Err::Cancel) return display_error(inst, inst.err_code, line_text, line_pos);
            }
        }
        display_error(inst, err_number(Err::Cancel), line_text, line_pos);
        inst.fail(Err::Cancel);
        return false;
    }
    if (code >= 9000) return false;
    if (code < 9000) {
        HandlerState& h = ex.handlers;
        if (h.error_mode != 0) {
            ErrorFacts f = gather(inst, code, line_text, line_pos, false);
            if (h.error_mode == 3) {
                int r = call_handler_function(inst, h.error_func, f, false);
                if (r > 0) {
                    inst.add_info.clear();
                    return true;
                }
                if (r < 0) return false;
            } else {
                int mode = h.error_mode;
                fill_handler_vars(inst, f);
                fill_error_array(inst, f, nullptr);
                h.error_mode = 0;
                if (jump_handler(inst, mode, "tkerrorhandler", Err::ErrorHandlerNesting, code)) return true;
                code = inst.err_code;
            }
        }
        if (ex.error_display == 0 && error_class(code) == ErrorClass::kMinor) {
            ErrorFacts f = gather(inst, code, line_text, line_pos, false);
            fill_handler_vars(inst, f);
            fill_error_array(inst, f, nullptr);
        }
        return display_error(inst, code, line_text, line_pos);
    }
    return false;
}

}  // namespace kel::interp
