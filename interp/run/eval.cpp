// The expression evaluator: recursive descent, one function per precedence level. Every
// routine reports failure on the instance and returns; the owner of a value releases it.
#include "interp/run/eval.h"

#include "interp/run/eval_parts.h"
#include "interp/run/grammar.h"

#include <cmath>
#include <cstring>
#include <string>

#include "interp/data/array.h"
#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/data/map.h"
#include "interp/base/messages.h"
#include "interp/run/ops.h"
#include "interp/run/router.h"
#include "interp/run/tokenizer.h"
#include "interp/run/udf.h"
#include "interp/data/vars.h"

namespace kel::interp {

namespace {

struct EvalMode;

constexpr double kFloatMax = 1e300;
constexpr double kFloatTiny = 1e-300;
constexpr int kMaxArgSlots = kMaxCallArgs + 1;

void level1(Instance& inst, Value& out);

void set_int(Instance& inst, Value& v, int32_t i) { eval_set_int(inst, v, i); }

void set_float(Instance& inst, Value& v, double f) { eval_set_float(inst, v, f); }

// Runs `fn` with frame `frame` current, then switches back (3815 / 3816 on failure).
template <typename Fn>
bool in_frame(Instance& inst, uint16_t frame, Fn fn) {
    if (frame == inst.cur_frame) {
        fn();
        return true;
    }
    FrameRef back{inst.cur_frame};
    if (!frame_switch(inst, frame, &back)) {
        inst.fail(Err::PointerAccess);
        return false;
    }
    fn();
    if (!frame_switch(inst, back.index, nullptr)) {
        inst.fail(Err::VarTableAccess);
        return false;
    }
    return true;
}

// ---- Operators -------------------------------------------------------------------

// The operator classes, read from the one operator table (interp/run/ops.h).
bool is_arith_op(int op) {
    uint8_t code = binary_opcode(op);
    return code >= kOpAdd && code <= kOpPow;
}

bool is_rel_op(int op) {
    uint8_t code = binary_opcode(op);
    return code >= kOpEq && code <= kOpGe;
}

// Makes an operand numeric: true with *is_float telling which form to use.
bool numeric_operand(Instance& inst, Value& v, bool* is_float) {
    if ((v.flags & kVtInt) && !(v.flags & (kVtArray | kVtVariant))) {
        *is_float = false;
        return true;
    }
    if (v.flags & kVtFloat) {
        *is_float = true;
        return true;
    }
    if (v.flags & (kVtStr | kVtWide)) {
        if (to_int(inst, v, false)) {
            *is_float = false;
            return true;
        }
        if (inst.error()) return false;  // out of string memory while narrowing
        if (to_float(inst, v)) {
            *is_float = true;
            return true;
        }
        if (inst.error()) return false;
    }
    inst.fail(Err::NotANumber);
    return false;
}

// pow with the checks the C library's error hook made: domain, singularity, overflow.
double checked_pow(double a, double b) {
    double r = std::pow(a, b);
    if (std::isnan(r) && !std::isnan(a) && !std::isnan(b))
        fp_pending_set(Err::MathDomain);
    else if (std::isinf(r) && std::isfinite(a) && std::isfinite(b))
        fp_pending_set(a == 0.0 ? Err::MathSingularity : Err::MathOverflow);
    return r;
}

void arith(Instance& inst, Value& a, Value& b, int op) {
    bool fa, fb;
    if (!numeric_operand(inst, a, &fa) || !numeric_operand(inst, b, &fb)) return;
    if (!fa && !fb) {
        uint8_t code = binary_opcode(op);
        int32_t r = 0;
        if (!int_op(code, a.i, b.i, &r)) {
            inst.fail(int_op_error(code));
            return;
        }
        set_int(inst, a, r);
        return;
    }
    double x = fa ? a.f : a.i, y = fb ? b.f : b.i;
    double r = 0;
    switch (op) {
        case Kw::Plus: r = x + y; break;
        case Kw::Minus: r = x - y; break;
        case Kw::Star: r = x * y; break;
        case Kw::Slash:
            if (y == 0.0) {
                inst.fail(Err::DivideByZero);
                return;
            }
            r = x / y;
            break;
        case Kw::Mod:
            if (y == 0.0) {
                inst.fail(Err::DivideByZero);
                return;
            }
            r = x - std::trunc(x / y) * y;
            break;
        case Kw::Power: r = checked_pow(x, y); break;
        case Kw::AndAnd: set_int(inst, a, (x != 0.0 && y != 0.0) ? 1 : 0); return;
        case Kw::OrOr: set_int(inst, a, (x != 0.0 || y != 0.0) ? 1 : 0); return;
        default: inst.fail(Err::BinaryOpType); return;
    }
    if (uint16_t pend = fp_pending_take()) {
        inst.fail(pend);
        return;
    }
    if (std::fabs(r) > kFloatMax) {
        inst.fail(Err::MathOverflow);
        return;
    }
    if (std::fabs(r) < kFloatTiny) r = 0.0;
    set_float(inst, a, r);
}

void concat(Instance& inst, Value& a, Value& b) {
    bool wide = (a.flags & (kVtWide | kVtVariant)) || (b.flags & (kVtWide | kVtVariant));
    if (wide) {
        if (!to_wide(inst, a) || !to_wide(inst, b)) {
            if (!inst.error()) inst.fail(Err::NotAString);
            return;
        }
        std::u16string w(value_wide(inst, a));
        w.append(value_wide(inst, b));
        HeapOff off = heap_wstrdup_or_fail(inst, w);
        if (!off) {
            return;
        }
        release_value(inst, a);
        a.wstr = off;
        a.flags = kVtWide;
    } else {
        if (!to_str(inst, a) || !to_str(inst, b)) {
            if (!inst.error()) inst.fail(Err::NotAString);
            return;
        }
        std::string_view sa = heap_str(inst, a.str), sb = heap_str(inst, b.str);
        HeapOff off = heap_alloc_or_fail(inst, sa.size() + sb.size() + 1);
        if (!off) {
            return;
        }
        // Read both before writing: the new block never overlaps them.
        char* dst = heap_ptr(inst, off);
        std::memcpy(dst, sa.data(), sa.size());
        std::memcpy(dst + sa.size(), heap_str(inst, b.str), sb.size());
        dst[sa.size() + sb.size()] = '\0';
        release_value(inst, a);
        a.str = off;
        a.flags = kVtStr;
    }
    untag_value(a);
}

// ---- Values of variables ------------------------------------------------------------

bool name_of_token(const Instance& inst, std::string& key) {
    key = inst.tok.text;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return !key.empty();
}

// The array handle a variable (or the variable a pointer in it names) holds; 0 when none.
uint32_t array_of_var(Instance& inst, int32_t idx) {
    if (idx <= 0 || !inst.vars) return 0;
    const VarRecord& r = inst.vars[idx];
    if (r.flags & kVtArray) return r.str;
    if (!(r.flags & kVtStr)) return 0;
    std::string ptr = heap_str(inst, r.str);
    uint16_t frame;
    int32_t target = -1;
    if (!resolve_var_pointer(inst, ptr, false, &frame, &target) || target <= 0) return 0;
    uint32_t handle = 0;
    in_frame(inst, frame, [&] {
        if (inst.vars[target].flags & kVtArray) handle = inst.vars[target].str;
    });
    return handle;
}

}  // namespace

// Subscript n (from 0) of an element of `handle`, just evaluated: converted into `key` (a
// map's one subscript) or into subs[n] (an array's). Releases `s`; false with the error
// raised.
bool subscript_take(Instance& inst, uint32_t handle, int n, Value& s, std::string& key, int32_t* subs) {
    if (array_is_map(handle)) {
        if (n != 0) {
            release_value(inst, s);
            return true;
        }
        bool ok = to_str(inst, s);
        if (ok) key.assign(heap_str(inst, s.str));
        release_value(inst, s);
        if (!ok && !inst.error()) inst.fail(Err::NotAString);
        return ok;
    }
    bool ok = to_int(inst, s, true);
    int32_t v = s.i;
    release_value(inst, s);
    if (!ok) {
        if (!inst.error()) inst.fail(Err::DimensionsNotNumeric);
        return false;
    }
    if (n <= kMaxDims) subs[n] = v;
    return true;
}

// The element `n` subscripts select, at the "]": its linear index, or -1 with the error
// raised. A map takes exactly one subscript (the index is then 0).
int64_t subscripts_index(Instance& inst, uint32_t handle, const int32_t* subs, int n) {
    bool is_map = array_is_map(handle);
    if (is_map ? n != 1 : n > kMaxDims) {
        inst.fail(Err::WrongDimensionCount);
        return -1;
    }
    return is_map ? 0 : array_index(inst, handle, subs, n);
}

namespace {

int64_t read_subscripts(Instance& inst, uint32_t handle, std::string& key);

}  // namespace

// An element of an array or an entry of a map, as read_subscripts left it.
bool element_fetch(Instance& inst, uint32_t handle, int64_t index, const std::string& key, ValueCore& out) {
    if (array_is_map(handle)) return map_lookup(inst, handle, key, out);
    return array_fetch(inst, handle, index, out);
}

uint32_t array_of_name(Instance& inst, const std::string& name, int32_t* index) {
    int32_t idx = var_lookup(inst, name);
    if (index) *index = idx;
    return array_of_var(inst, idx);
}

bool element_store(Instance& inst, uint32_t handle, int64_t index, const std::string& key, const ValueCore& v) {
    if (array_is_map(handle)) return map_store(inst, handle, key, v);
    return array_store(inst, handle, index, v);
}

namespace {

// The element's flags word; 0 for a missing map key.
uint32_t element_flags(Instance& inst, uint32_t handle, int64_t index, const std::string& key) {
    if (array_is_map(handle)) {
        const ValueCore* v = map_find(inst, handle, key);
        return v ? v->flags : 0;
    }
    return array_element_flags(handle, index);
}

// The current token names a variable holding an array (or a map) and "[" follows: the
// name, its record, the array and the element the subscripts select. Leaves the token
// after "]"; false with the error raised.
bool read_element_ref(Instance& inst, std::string& name, int32_t* index, uint32_t* handle, int64_t* elem,
                      std::string& key) {
    name_of_token(inst, name);
    *index = var_lookup(inst, name);
    *handle = array_of_var(inst, *index);
    get_token(inst);
    if (inst.error()) return false;
    if (!*handle) {
        inst.fail(Err::ArrayNeedsDimensions);
        return false;
    }
    *elem = read_subscripts(inst, *handle, key);
    return *elem >= 0;
}

// ---- Calls --------------------------------------------------------------------------

void release_args(Instance& inst, Value* args, int n) {
    for (int i = 0; i < n; ++i) release_value(inst, args[i]);
}

void raise_paren_missing(Instance& inst, int id) {
    std::string name = keyword_display_name(inst, id);
    inst.fail(Err::MissingOpenParen).info(name + " " + std::string(message_text(Err::InfoNoOpenParen)));
}

// ---- Special forms ------------------------------------------------------------------

bool expect_lparen(Instance& inst, int id) {
    get_token(inst);
    if (inst.error()) return false;
    if (!tok_is(inst, Kw::LParen)) {
        raise_paren_missing(inst, id);
        return false;
    }
    return true;
}

}  // namespace

void name_arg_var(Instance& inst, NameArg& a) {
    a.kind = NameArg::kVar;
    a.frame = inst.cur_frame;
    a.index = var_lookup(inst, a.name);
}

void name_arg_ptr(Instance& inst, NameArg& a) {
    a.kind = NameArg::kPtr;
    int32_t idx = var_lookup(inst, a.name);
    uint16_t saved = inst.err_code;
    if (idx > 0 && (inst.vars[idx].flags & kVtStr)) {
        std::string ptr = heap_str(inst, inst.vars[idx].str);
        a.resolved = resolve_var_pointer(inst, ptr, false, &a.frame, &a.index);
    } else {
        a.resolved = false;
    }
    inst.err_code = saved;
}

bool form_name_info(Instance& inst, int id, const NameArg& a, int32_t* r) {
    if (a.kind == NameArg::kPtr && !a.resolved) {
        *r = -1;
        return true;
    }
    uint32_t f = 0;
    if (a.kind == NameArg::kElem)
        f = element_flags(inst, a.handle, a.elem, a.key);
    else if (a.index > 0)
        in_frame(inst, a.frame, [&] { f = inst.vars[a.index].flags; });
    if (inst.error()) return false;
    *r = id == Kw::IsDefined ? (is_defined(f) ? 1 : 0) : static_cast<int32_t>(f & 0xFFFF);
    return true;
}

bool form_drop_name(Instance& inst, const NameArg& a) {
    if (a.kind != NameArg::kVar && a.kind != NameArg::kPtr) {
        inst.fail(Err::DropNotVariable);
        return false;
    }
    if (a.index > 0 && a.resolved) {
        uint16_t idx = static_cast<uint16_t>(a.index);
        if (!in_frame(inst, a.frame, [&] { var_drop(inst, idx); })) return false;
    }
    return true;
}

namespace {

// Reads a name argument (the token after "(" or ","); leaves the token after it.
bool read_name_arg(Instance& inst, NameArg& a) {
    inst.tok.no_create = true;
    get_token(inst);
    if (inst.error()) return false;
    if (tok_is(inst, Kw::Star)) {
        inst.tok.no_create = true;
        get_token(inst);
        if (inst.error()) return false;
        if (inst.tok.type != kTokVariable) return true;  // kind stays kNone
        name_of_token(inst, a.name);
        name_arg_ptr(inst, a);
        get_token(inst);
        return !inst.error();
    }
    if (inst.tok.type == kTokVariable) {
        name_of_token(inst, a.name);
        name_arg_var(inst, a);
        get_token(inst);
        return !inst.error();
    }
    if (tok_is(inst, Kw::OleObject) && !std::strchr(inst.tok.text, '.')) {
        a.kind = NameArg::kElem;
        return read_element_ref(inst, a.name, &a.index, &a.handle, &a.elem, a.key);
    }
    return true;
}

bool expect_rparen(Instance& inst) {
    if (!tok_is(inst, Kw::RParen)) {
        inst.fail(Err::WrongArgCount).info(message_text(Err::InfoMissingParen));
        return false;
    }
    get_token(inst);
    return !inst.error();
}

void form_isdefined_vartype(Instance& inst, Value& out, int id) {
    if (!expect_lparen(inst, id)) return;
    NameArg a;
    if (!read_name_arg(inst, a)) return;
    if (a.kind == NameArg::kNone) {
        inst.fail(Err::IllegalSyntax);
        return;
    }
    int32_t r;
    if (!form_name_info(inst, id, a, &r)) return;
    if (!expect_rparen(inst)) return;
    set_int(inst, out, r);
}

void form_objecttypeget(Instance& inst, Value& out) {
    if (!expect_lparen(inst, Kw::ObjectTypeGet)) return;
    NameArg a;
    if (!read_name_arg(inst, a)) return;
    if (!expect_rparen(inst)) return;
    // Objects belong to the automation layer, which this build does not have: nothing here
    // is an object, so the type name is always empty.
    eval_set_str(inst, out, "");
}

void form_drop(Instance& inst, Value& out) {
    if (!expect_lparen(inst, Kw::Drop)) return;
    while (true) {
        NameArg a;
        if (!read_name_arg(inst, a)) return;
        if (!form_drop_name(inst, a)) return;
        if (tok_is(inst, Kw::Comma)) continue;
        break;
    }
    if (!expect_rparen(inst)) return;
    set_int(inst, out, 1);
}

// Record `r` takes a copy of `v`, its old value released; false (r as it was) when the
// copy cannot be made.
bool record_take_copy(Instance& inst, VarRecord& r, const Value& v) {
    Value copy = empty_value();
    if (!copy_value(inst, v, copy)) return false;
    release_value(inst, r);
    std::memcpy(static_cast<ValueCore*>(&r), static_cast<ValueCore*>(&copy), sizeof(ValueCore));
    r.flags &= ~kVtUndef;
    return true;
}

bool set_pointer_result(Instance& inst, Value& out, uint16_t frame, const std::string& name) {
    std::string ptr;
    if (!in_frame(inst, frame, [&] { ptr = make_var_pointer(inst, name); })) return false;
    return eval_set_str(inst, out, ptr);
}

void pointer_error(Instance& inst, Err info_msg) { inst.fail(Err::PointerError).info(message_text(info_msg)); }

void form_pointer(Instance& inst, Value& out, int id) {
    if (!expect_lparen(inst, id)) return;
    TokenState& t = inst.tok;
    if (id == Kw::PtrPersistent)
        t.persistent_name = true;
    else if (id == Kw::PtrGlobalDefine || id == Kw::MakePointer)
        t.define_name = true;
    else
        t.no_create = true;
    if (id == Kw::PtrGlobalDefine && inst.cur_frame != 0) {
        pointer_error(inst, Err::InfoGlobalFromMain);
        return;
    }
    get_token(inst);
    if (inst.error()) return;
    if (t.type != kTokVariable) {
        if (id == Kw::MakePointer)
            inst.fail(Err::MakePointerNotName);
        else
            pointer_error(inst, Err::InfoNotVarName);
        return;
    }
    std::string name;
    name_of_token(inst, name);
    int32_t idx = t.var_index;
    get_token(inst);
    if (inst.error()) return;
    switch (id) {
        case Kw::MakePointer:
            if (!expect_rparen(inst)) return;
            set_pointer_result(inst, out, inst.cur_frame, name);
            return;
        case Kw::PtrGlobalDefine:
            if (!expect_rparen(inst)) return;
            if (idx <= 0) {
                pointer_error(inst, Err::InfoPointerCreate);
                return;
            }
            inst.vars[idx].marks |= kVarGlobal;
            set_pointer_result(inst, out, 0, name);
            return;
        case Kw::PtrGlobal:
        case Kw::PtrGlobalTest: {
            if (!expect_rparen(inst)) return;
            int32_t g = -1;
            uint32_t flags = 0;
            uint8_t marks = 0;
            if (!in_frame(inst, 0, [&] {
                    g = var_lookup(inst, name);
                    if (g > 0) {
                        flags = inst.vars[g].flags;
                        marks = inst.vars[g].marks;
                    }
                }))
                return;
            if (id == Kw::PtrGlobalTest) {
                set_int(inst, out, (g > 0 && is_defined(flags) && (marks & kVarGlobal)) ? 1 : 0);
                return;
            }
            if (g <= 0) return pointer_error(inst, Err::InfoPointerCreate);
            if (!is_defined(flags)) return pointer_error(inst, Err::InfoVarNotFound);
            if (!(marks & kVarGlobal)) return pointer_error(inst, Err::InfoNotGlobal);
            set_pointer_result(inst, out, 0, name);
            return;
        }
        case Kw::PtrPersistent: {
            if (!tok_is(inst, Kw::Comma)) {
                inst.fail(Err::WrongArgCount).info(message_text(Err::InfoMissingParen));
                return;
            }
            get_token(inst);
            if (inst.error()) return;
            Value v = empty_value();
            level1(inst, v);
            if (inst.error() || !expect_rparen(inst)) {
                release_value(inst, v);
                return;
            }
            bool stored = true;
            if (idx > 0) {
                in_frame(inst, 0, [&] {
                    VarRecord& r = inst.vars[idx];
                    if (is_defined(r.flags)) return;
                    if (v.flags & kVtArray) array_addref(v.str);
                    stored = record_take_copy(inst, r, v);
                });
            }
            release_value(inst, v);
            if (!stored || inst.error()) return;
            set_pointer_result(inst, out, 0, name);
            return;
        }
        default:
            inst.fail(Err::IllegalSyntax);
    }
}

// ---- Primaries and unary operators --------------------------------------------------

// The current token names a variable holding an array and "[" follows.
void array_element(Instance& inst, Value& out) {
    std::string name, key;
    int32_t idx;
    uint32_t handle;
    int64_t index;
    if (!read_element_ref(inst, name, &idx, &handle, &index, key)) return;
    release_value(inst, out);
    Value tmp = empty_value();
    if (!element_fetch(inst, handle, index, key, tmp)) return;
    out = tmp;
}

}  // namespace

void eval_constant(Instance& inst, int kw, Value& out) {
    ConstantValue c = constant_value(keyword(kw));
    release_value(inst, out);
    switch (c.type) {
        case ConstantValue::kInt: out.i = c.i; out.flags = kVtInt; break;
        case ConstantValue::kFloat: out.f = c.f; out.flags = kVtFloat; break;
        case ConstantValue::kString: eval_set_str(inst, out, c.s); break;
    }
}

void eval_pointer_of(Instance& inst, Value& v) {
    if (v.var_index == kNoIndex || v.frame_index == kNoIndex) {
        inst.fail(Err::BadAmpersand);
        return;
    }
    std::string name;
    uint16_t idx = v.var_index;
    if (!in_frame(inst, v.frame_index, [&] { name = inst.vars[idx].name; })) return;
    uint16_t frame = v.frame_index;
    set_pointer_result(inst, v, frame, name);
    untag_value(v);
}

// *ptr: the value of the variable the pointer names.
void eval_dereference(Instance& inst, Value& v) {
    if (!(v.flags & kVtStr)) {
        inst.fail(Err::NotAPointer);
        return;
    }
    std::string ptr = heap_str(inst, v.str);
    uint16_t frame;
    int32_t idx = -1;
    if (!resolve_var_pointer(inst, ptr, false, &frame, &idx)) return;
    Value tmp = empty_value();
    bool undefined = idx <= 0;
    bool ok = true;
    if (!undefined) {
        if (!in_frame(inst, frame, [&] {
                const VarRecord& r = inst.vars[idx];
                if (!is_defined(r.flags))
                    undefined = true;
                else
                    ok = copy_value(inst, r, tmp);
            }))
            return;
    }
    if (undefined) {
        inst.fail(Err::UninitializedViaPointer);
        return;
    }
    if (!ok) return;
    release_value(inst, v);
    v = tmp;
    v.var_index = static_cast<uint16_t>(idx);
    v.frame_index = frame;
}

namespace {

// *ptr as the text reads it: "[...]" after a pointer to an array subscripts the array.
void dereference(Instance& inst, Value& v) {
    eval_dereference(inst, v);
    if (inst.error()) return;
    if ((v.flags & kVtArray) && tok_is(inst, Kw::LBracket)) {
        uint32_t handle = v.str;
        std::string key;
        int64_t index = read_subscripts(inst, handle, key);
        if (index < 0) return;
        Value elem = empty_value();
        bool fetched = element_fetch(inst, handle, index, key, elem);
        release_value(inst, v);
        v = fetched ? elem : empty_value();
    }
}

}  // namespace

int eval_op_level(int k) {
    if (k == Kw::AndAnd || k == Kw::OrOr) return 1;
    if (k == Kw::Amp || k == Kw::Bar || k == Kw::Caret) return 2;
    if (is_rel_op(k) || k == Kw::Assign) return 3;
    if (k == Kw::Colon) return 4;
    if (k == Kw::Shl || k == Kw::Shr) return 5;
    if (k == Kw::Plus || k == Kw::Minus) return 6;
    if (k == Kw::Star || k == Kw::Slash || k == Kw::Mod) return 7;
    if (k == Kw::Power) return 8;
    return 0;
}

namespace {

// The grammar (interp/run/grammar.h) evaluating as it reads the tokenizer's tokens.
struct EvalMode {
    using Ctx = Instance;
    using V = Value;
    using Args = Value[kMaxArgSlots];
    using Chain = ConcatChain;
    struct BinaryDepth {
        explicit BinaryDepth(Instance&) {}
        static constexpr bool ok() { return true; }
    };
    using PrefixDepth = EvalDepth;

    static Value empty() { return empty_value(); }
    static void drop(Instance& inst, Value& v) { release_value(inst, v); }
    static bool err(const Instance& inst) { return inst.error() != 0; }
    static uint8_t type(const Instance& inst) { return inst.tok.type; }
    static int kw(const Instance& inst) { return inst.tok.kw; }
    static bool is(const Instance& inst, int k) { return tok_is(inst, k); }
    static void next(Instance& inst) { get_token(inst); }
    static void fail(Instance& inst, Err e) { inst.fail(e); }
    static void fail_info(Instance& inst, Err e, Err info) { inst.fail(e).info(message_text(info)); }
    static void paren_missing(Instance& inst, int id) { raise_paren_missing(inst, id); }

    static void int_literal(Instance& inst, Value& out) { set_int(inst, out, decimal_digits_value(inst.tok.text)); }
    static void float_literal(Instance& inst, Value& out) {
        double d = 0;
        FloatParse r = parse_float_string(inst.tok.text, &d);
        if (r == FloatParse::kOverflow)
            inst.fail(Err::MathOverflow);
        else if (r != FloatParse::kOk)
            inst.fail(Err::UnrecognizableItem);
        else
            set_float(inst, out, d);
    }
    static void string_literal(Instance& inst, Value& out) { eval_set_str(inst, out, inst.tok.text); }
    static void multiline(Instance& inst, Value& out) { read_multiline_string(inst, &out); }
    static void variable(Instance& inst, Value& out) { eval_variable(inst, inst.tok.var_index, out); }
    static void paren(Instance&, Value&) {}
    static void ole_object(Instance& inst, Value& out) {
        if (!std::strchr(inst.tok.text, '.')) {
            array_element(inst, out);
            return;
        }
        // Dotted names call into the automation layer, which this build does not have.
        inst.fail(Err::FunctionNotDefined).info(fill_message(Err::InfoObjectAccess, inst.tok.text));
    }
    static void constant(Instance& inst, Value& out, int kw) { eval_constant(inst, kw, out); }
    static void special_form(Instance& inst, Value& out, int kw) {
        switch (kw) {
            case Kw::IsDefined:
            case Kw::VarType: form_isdefined_vartype(inst, out, kw); return;
            case Kw::ObjectTypeGet: form_objecttypeget(inst, out); return;
            case Kw::Drop: form_drop(inst, out); return;
            default: form_pointer(inst, out, kw); return;
        }
    }
    static const KeywordRecord* host_table(const Instance& inst) { return inst.host_table; }
    static void host_constant(Instance& inst, Value& out, int, const KeywordRecord& r) {
        eval_host_constant(inst, r, out);
    }
    static bool call_allowed(Instance& inst, int id, CallInfo* ci) { return eval_call_allowed(inst, id, ci); }
    static void own_call(Instance& inst, int id, Value& out, uint64_t ptypes) {
        call_builtin(inst, id, out, nullptr, 0, true, ptypes);
    }
    static void init_args(Args& args) {
        for (auto& a : args) a = empty_value();
    }
    static void release_args(Instance& inst, Value* args, int n) { interp::release_args(inst, args, n); }
    static void call(Instance& inst, int id, Value& out, Value* args, int argc, uint64_t ptypes) {
        eval_call_with_args(inst, id, out, args, argc, ptypes);
    }
    static void prefix(Instance& inst, int op, Value& out) {
        if (op == Kw::Amp) return eval_pointer_of(inst, out);
        if (op == Kw::Star) return dereference(inst, out);
        eval_unary_numeric(inst, op, out);
    }
    static void binary(Instance& inst, Value& out, Value& rhs, int op) { binary_op(inst, out, rhs, op); }
    static void own_arg(Instance& inst, Value& v) { eval_expression(inst, v, false, false, nullptr); }
    static bool chain_add(Instance& inst, ConcatChain& chain, Value& out, Value& rhs) {
        return chain.add(inst, out, rhs);
    }
    static void chain_finish(Instance& inst, ConcatChain& chain, Value& out) { chain.finish(inst, out); }
};

void level1(Instance& inst, Value& out) { grammar::level1<EvalMode>(inst, out); }

// Reads "[s1, s2, ...]" starting at the current "[" token; leaves the token after "]".
// Returns the linear element index, or -1 with the error raised.
int64_t read_subscripts(Instance& inst, uint32_t handle, std::string& key) {
    if (!tok_is(inst, Kw::LBracket)) {
        inst.fail(Err::ArrayNeedsDimensions);
        return -1;
    }
    int32_t subs[kMaxDims + 1];
    int n = 0;
    bool read = grammar::subscript_list<EvalMode>(inst, [&](Value& s) {
        return subscript_take(inst, handle, n++, s, key, subs);
    });
    if (!read) return -1;
    int64_t index = subscripts_index(inst, handle, subs, n);
    if (index < 0) return -1;
    get_token(inst);
    return inst.error() ? -1 : index;
}

// ---- Assignment ---------------------------------------------------------------------

struct Target {
    uint16_t frame = 0;
    int32_t index = -1;
    uint32_t handle = 0;  // element target when nonzero
    int64_t elem = -1;
    std::string key;  // element target of a map
    std::string name;
};

int compound_op(int kw) {
    switch (kw) {
        case Kw::AddAssign: return Kw::Plus;
        case Kw::SubAssign: return Kw::Minus;
        case Kw::MulAssign: return Kw::Star;
        case Kw::DivAssign: return Kw::Slash;
        case Kw::ModAssign: return Kw::Mod;
        case Kw::AndAssign: return Kw::Amp;
        case Kw::OrAssign: return Kw::Bar;
        case Kw::XorAssign: return Kw::Caret;
        case Kw::ShlAssign: return Kw::Shl;
        case Kw::ShrAssign: return Kw::Shr;
        case Kw::ColonAssign: return Kw::Colon;
        default: return -1;
    }
}

// Looks ahead in the text without reading tokens: does an assignment operator start here?
bool assignment_op_at(const char* p) {
    while (*p == ' ' || *p == '\t') ++p;
    if (p[0] == '=') return p[1] != '=';  // "=" and "==" are the only operators starting so
    if (!std::strchr("+-*/&|^<>:mM", p[0]) || p[0] == '\0') return false;
    if ((p[0] == 'm' || p[0] == 'M') && (p[1] == 'o' || p[1] == 'O') && (p[2] == 'd' || p[2] == 'D') && p[3] == '=')
        return true;
    int kw = match_operator(p);
    return kw == Kw::Assign || compound_op(kw) >= 0;
}

// Skips a bracketed list starting at p ("[" after blanks); returns the position after the
// matching "]", or nullptr.
const char* skip_brackets(const char* p) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '[') return nullptr;
    int depth = 0;
    for (; *p; ++p) {
        char c = *p;
        if (c == '"' || c == '\'' || c == '`') {
            for (++p; *p && *p != c; ++p) {
            }
            if (*p != c) return nullptr;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']' && --depth == 0) {
            return p + 1;
        }
    }
    return nullptr;
}

bool store(Instance& inst, const Target& t, Value& v) {
    if (t.handle) return element_store(inst, t.handle, t.elem, t.key, v);
    bool ok = true;
    bool done = in_frame(inst, t.frame, [&] {
        VarRecord& r = inst.vars[t.index];
        if ((v.flags & kVtArray) && (r.flags & kVtArray) && r.str == v.str) return;  // to itself
        ok = record_take_copy(inst, r, v);
    });
    return done && ok;
}

// As store, for a value nobody else holds: the variable takes its strings over.
void store_owned(Instance& inst, const Target& t, Value& v) {
    bool moved = false;
    in_frame(inst, t.frame, [&] {
        VarRecord& r = inst.vars[t.index];
        release_value(inst, r);
        std::memcpy(static_cast<ValueCore*>(&r), static_cast<ValueCore*>(&v), sizeof(ValueCore));
        r.flags &= ~kVtUndef;
        moved = true;
    });
    if (!moved) release_value(inst, v);
    v = empty_value();
}

bool fetch_target(Instance& inst, const Target& t, Value& out) {
    if (t.handle) {
        Value tmp = empty_value();
        if (!element_fetch(inst, t.handle, t.elem, t.key, tmp)) return false;
        out = tmp;
        return true;
    }
    bool ok = true;
    if (!in_frame(inst, t.frame, [&] {
            const VarRecord& r = inst.vars[t.index];
            if (!is_defined(r.flags)) {
                find_var(inst, r.name, true);
                if (!inst.error()) inst.fail(Err::UninitializedVariable);
                ok = false;
                return;
            }
            ok = copy_value(inst, r, out);
        }))
        return false;
    return ok;
}

// Returns false (with nothing consumed) when the line is not an assignment.
bool try_assignment(Instance& inst, Value& out, bool deref_target, bool discard) {
    TokenState& t = inst.tok;
    Target target;
    if (deref_target) {
        const char* star = t.start;
        bool had_star = tok_is(inst, Kw::Star);
        if (had_star) {
            get_token(inst);
            if (inst.error()) return true;
        }
        if (t.type != kTokVariable || !assignment_op_at(t.pos)) {
            if (had_star) {  // not an assignment: read the "*" again as the unary operator
                t.pos = star;
                t.type = kTokNone;
                get_token(inst);
                if (inst.error()) return true;
            }
            return false;
        }
        int32_t pidx = t.var_index;
        if (pidx <= 0 || !(inst.vars[pidx].flags & kVtStr)) {
            inst.fail(Err::NotAPointer);
            return true;
        }
        std::string ptr = heap_str(inst, inst.vars[pidx].str);
        if (!resolve_var_pointer(inst, ptr, true, &target.frame, &target.index)) return true;
        if (target.index <= 0) {
            if (!inst.error()) inst.fail(Err::BadPointer);
            return true;
        }
    } else if (t.type == kTokVariable) {
        if (!assignment_op_at(t.pos)) return false;
        target.frame = inst.cur_frame;
        target.index = t.var_index;
        if (target.index <= 0) {
            inst.fail(Err::UndefinedVariable);
            return true;
        }
    } else if (tok_is(inst, Kw::OleObject) && !std::strchr(t.text, '.')) {
        const char* after = skip_brackets(t.pos);
        if (!after || !assignment_op_at(after)) return false;
        target.frame = inst.cur_frame;
        if (!read_element_ref(inst, target.name, &target.index, &target.handle, &target.elem, target.key)) return true;
    } else {
        return false;
    }
    if (!target.handle) get_token(inst);  // the assignment operator
    if (inst.error()) return true;
    int op = t.type == kTokKeyword ? t.kw : -1;
    int bin = compound_op(op);
    if (op != Kw::Assign && bin < 0) {
        inst.fail(Err::IllegalSyntax);
        return true;
    }
    inst.assign_target = static_cast<uint32_t>(target.frame) << 16 | static_cast<uint16_t>(target.index);
    Value cur = empty_value();
    if (bin >= 0 && !fetch_target(inst, target, cur)) {
        release_value(inst, cur);
        return true;
    }
    get_token(inst);
    Value rhs = empty_value();
    if (!inst.error()) level1(inst, rhs);
    if (!inst.error() && t.type != kTokNone)
        eval_raise_extra(inst, tok_is(inst, Kw::LBracket));
    if (inst.error()) {
        release_value(inst, cur);
        release_value(inst, rhs);
        return true;
    }
    if (!eval_assign_value(inst, cur, rhs, bin)) return true;
    if (discard && !target.handle && !(cur.flags & (kVtArray | kVtVariant | kVtBinBuf))) {
        store_owned(inst, target, cur);
        return true;
    }
    if (store(inst, target, cur)) {
        out = cur;
        if (!target.handle) {
            out.var_index = static_cast<uint16_t>(target.index);
            out.frame_index = target.frame;
        }
    } else {
        release_value(inst, cur);
    }
    return true;
}

}  // namespace

bool copy_value(Instance& inst, const ValueCore& src, Value& dst) {
    dst = empty_value();
    std::memcpy(static_cast<ValueCore*>(&dst), &src, sizeof(ValueCore));
    dst.str = 0;
    dst.wstr = 0;
    dst.flags &= ~kVtUndef;
    if (src.flags & kVtArray) {
        dst.str = src.str;
        array_addref(src.str);
    } else if ((src.flags & kVtStr) && src.str) {
        dst.str = heap_strdup_or_fail(inst, heap_str(inst, src.str));
        if (!dst.str) {
            dst.flags &= ~(kVtStr | kVtWide);
            return false;
        }
    }
    if ((src.flags & kVtWide) && src.wstr) {
        dst.wstr = heap_wstrdup_or_fail(inst, value_wide(inst, src));
        if (!dst.wstr) {
            release_value(inst, dst);
            return false;
        }
    }
    return true;
}

void binary_op(Instance& inst, Value& a, Value& b, int op) {
    if (op == Kw::Colon) {
        concat(inst, a, b);
    } else if (is_rel_op(op)) {
        int r = compare_values(inst, a, b, op, false);
        if (r >= 0) set_int(inst, a, r);
    } else if (is_arith_op(op)) {
        arith(inst, a, b, op);
    } else {
        inst.fail(Err::IllegalSyntax);
    }
    release_value(inst, b);
}

void eval_expression(Instance& inst, Value& out, bool allow_assign, bool deref_target, const char* line_text,
                     bool discard) {
    (void)line_text;  // kept by the statement loop for the error handler
    out = empty_value();
    int32_t saved = inst.assign_allowed;
    inst.assign_allowed = allow_assign ? 1 : 0;
    bool handled = false;
    if (allow_assign || deref_target) handled = try_assignment(inst, out, deref_target, discard);
    if (!handled && !inst.error()) level1(inst, out);
    if (inst.error()) {
        release_value(inst, out);
        out = empty_value();
    }
    inst.assign_allowed = saved;
}

void eval_variable(Instance& inst, int32_t idx, Value& out) {
    if (idx <= 0 || !inst.vars) {
        inst.fail(Err::UndefinedVariable);
        return;
    }
    const VarRecord& r = inst.vars[idx];
    if (!is_defined(r.flags)) {
        find_var(inst, r.name, true);  // raises 3052 with its report
        if (!inst.error()) inst.fail(Err::UninitializedVariable);
        return;
    }
    if (!copy_value(inst, r, out)) return;
    out.var_index = static_cast<uint16_t>(idx);
    out.frame_index = inst.cur_frame;
}

bool eval_call_info(const Instance& inst, int id, CallInfo* info) {
    *info = CallInfo{};
    if (id >= 0 && id < kKeywordCount) {
        const KeywordRecord& r = keyword(id);
        info->disabled = r.kind != kFunc;
        info->required = r.u.args.required;
        info->optional = r.u.args.optional;
        info->ptypes = param_type_word(r);
        return true;
    }
    if (id >= kHostIdFirst && id <= kHostIdLast && inst.host_table) {
        const KeywordRecord& r = inst.host_table[id - kHostIdFirst];
        info->disabled = (r.kind & kKindDisabled) != 0;
        info->required = r.u.args.required;
        info->optional = r.u.args.optional;
        info->ptypes = param_type_word(r);
        return true;
    }
    if (id >= kUdfIdFirst && id <= kUdfIdLast) {
        info->required = udf_param_count(inst, id - kUdfIdFirst);
        return true;
    }
    return false;
}

void eval_call_with_args(Instance& inst, int id, Value& out, Value* args, int argc, uint64_t ptypes,
                         bool from_compiled) {
    bool arrays = false;
    for (int i = 0; i < argc; ++i) arrays |= (args[i].flags & kVtArray) != 0;
    if (!arrays) {
        if (id >= kUdfIdFirst && id <= kUdfIdLast)
            call_udf(inst, id, out, args, argc, from_compiled);
        else
            call_builtin(inst, id, out, args, argc, false, ptypes);
        release_args(inst, args, argc);
        return;
    }
    bool pinned[kMaxArgSlots] = {};
    for (int i = 0; i < argc; ++i)
        if (args[i].flags & kVtArray) pinned[i] = array_lock(args[i].str);
    call_builtin(inst, id, out, args, argc, false, ptypes);
    for (int i = 0; i < argc; ++i)
        if (pinned[i]) array_unlock(args[i].str);
    release_args(inst, args, argc);
}

void eval_unary_numeric(Instance& inst, int op, Value& out) {
    bool is_float;
    if (!numeric_operand(inst, out, &is_float)) return;
    if (!is_float) {
        set_int(inst, out, int_unary(unary_opcode(op), out.i));
    } else if (op == Kw::Plus || op == Kw::Minus) {
        set_float(inst, out, op == Kw::Minus ? -out.f : out.f);
    } else if (op == Kw::Bang) {
        set_int(inst, out, out.f == 0.0 ? 1 : 0);
    } else {
        inst.fail(Err::UnaryOpType);
    }
}

ConcatChain::ConcatChain() {
    for (auto& p : parts_) p = empty_value();
}

namespace {

// Joins `out` and the pending narrow strings into one new block.
bool flush_chain(Instance& inst, Value& out, Value* parts, int& n) {
    if (n == 0) return true;
    size_t lens[16];
    size_t len0 = std::strlen(heap_str(inst, out.str));
    uint64_t total = len0;
    for (int i = 0; i < n; ++i) total += lens[i] = std::strlen(heap_str(inst, parts[i].str));
    HeapOff off = heap_alloc_or_fail(inst, total + 1);
    if (!off) {
        return false;
    }
    char* dst = heap_ptr(inst, off);
    std::memcpy(dst, heap_str(inst, out.str), len0);
    dst += len0;
    for (int i = 0; i < n; ++i) {
        std::memcpy(dst, heap_str(inst, parts[i].str), lens[i]);
        dst += lens[i];
        release_value(inst, parts[i]);
    }
    *dst = '\0';
    n = 0;
    release_value(inst, out);
    out.str = off;
    out.flags = kVtStr;
    untag_value(out);
    return true;
}

}  // namespace

bool ConcatChain::add(Instance& inst, Value& out, Value& rhs) {
    bool wide = (n_ == 0 && (out.flags & (kVtWide | kVtVariant))) || (rhs.flags & (kVtWide | kVtVariant));
    if (wide) {
        if (!flush_chain(inst, out, parts_, n_)) {
            release_value(inst, rhs);
            return false;
        }
        binary_op(inst, out, rhs, Kw::Colon);
        return !inst.error();
    }
    if ((n_ == 0 && !to_str(inst, out)) || !to_str(inst, rhs)) {
        if (!inst.error()) inst.fail(Err::NotAString);
        release_value(inst, rhs);
        return false;
    }
    if (n_ == 0 && !(out.flags & kVtStr)) {
        inst.fail(Err::NotAString);
        release_value(inst, rhs);
        return false;
    }
    if (n_ == kParts && !flush_chain(inst, out, parts_, n_)) {
        release_value(inst, rhs);
        return false;
    }
    parts_[n_++] = rhs;
    return true;
}

void ConcatChain::finish(Instance& inst, Value& out) {
    if (!inst.error()) flush_chain(inst, out, parts_, n_);
    for (int i = 0; i < n_; ++i) release_value(inst, parts_[i]);
    n_ = 0;
}

int eval_compound_op(int kw) { return compound_op(kw); }

bool eval_assign_value(Instance& inst, Value& cur, Value& rhs, int bin) {
    if (bin < 0) {
        cur = rhs;
        return true;
    }
    binary_op(inst, cur, rhs, bin);
    if (!inst.error()) return true;
    release_value(inst, cur);
    return false;
}

bool eval_assignment_op_at(const char* p) { return assignment_op_at(p); }

const char* eval_skip_brackets(const char* p) { return skip_brackets(p); }

void eval_raise_extra(Instance& inst, bool bracket) {
    inst.fail(Err::ExtraAfterEnd).info(message_text(bracket ? Err::InfoCheckBrackets : Err::InfoCheckExtra));
}

bool eval_fetch_var(Instance& inst, uint16_t frame, int32_t index, Value& out) {
    Target t;
    t.frame = frame;
    t.index = index;
    return fetch_target(inst, t, out);
}

void eval_store_var(Instance& inst, uint16_t frame, int32_t index, Value& v, bool discard, Value& out) {
    Target t;
    t.frame = frame;
    t.index = index;
    if (discard && !(v.flags & (kVtArray | kVtVariant | kVtBinBuf))) {
        store_owned(inst, t, v);
        return;
    }
    if (store(inst, t, v)) {
        out = v;
        out.var_index = static_cast<uint16_t>(index);
        out.frame_index = frame;
    } else {
        release_value(inst, v);
    }
}

bool read_own_arg_list(Instance& inst, Err syntax_err, bool (*on_arg)(void* ctx, Value& v), void* ctx) {
    if (OwnArgs* src = inst.tok.own_args) {
        // Called from a compiled line: the arguments are evaluated from its tree, in turn.
        inst.tok.own_args = nullptr;
        for (uint32_t k = 0; k < src->count; ++k) {
            Value v = empty_value();
            src->eval(inst, src->line, src->nodes[k], v);
            if (inst.error()) {
                release_value(inst, v);
                return false;
            }
            if (!on_arg(ctx, v)) return false;
        }
        return true;
    }
    return grammar::own_arg_list<EvalMode>(inst, syntax_err, [&](Value& v) { return on_arg(ctx, v); });
}

}  // namespace kel::interp
