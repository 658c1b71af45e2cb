// Compiled lines: the compiler over a line's cached tokens, and the evaluator of its tree.
#include "interp/run/fastline.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

#include "interp/data/array.h"
#include "interp/data/convert.h"
#include "interp/run/eval.h"
#include "interp/run/exec.h"
#include "interp/run/eval_parts.h"
#include "interp/run/fast_ops.h"
#include "interp/run/grammar.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/run/router.h"
#include "interp/run/tokenizer.h"
#include "interp/run/udf.h"
#include "interp/data/vars.h"

namespace kel::interp {

namespace {

enum NodeKind : uint8_t {
    kNInt,
    kNFloat,
    kNStr,
    kNConst,
    kNHostConst,
    kNVar,
    kNParen,
    kNUnary,
    kNBinary,
    kNChain,
    kNCall,
    kNDeref,  // `*operand`: the variable the pointer names
    kNOwnCall,  // a builtin that reads its own argument list (one of kOwnListCalls)
    kNAddr,     // `&operand`: the pointer to the variable the operand's value came from
    kNVarDefined,  // a variable read right after an "&" in unary position: a new one is
                   // created defined, as the tokenizer creates it there
    kNElem,  // `name[s1, ...]`: an element of the array (or map) the name holds, the name
             // FastLine::elem_names[a], the subscripts lists[first..first+count)
    kNForm,  // isdefined, vartype, objecttypeget or drop (`id`) of the name arguments
             // FastLine::name_args[first..first+count)
};

// The special forms a compiled line runs: the ones whose names are read without any
// variable created.
constexpr bool form_compiled(int id) { return name_arg_form(id); }

// The builtins that read their own argument list which a compiled line can call: the
// ones that read it as plain expressions, one after the other.
constexpr int kOwnListCalls[] = {keyword_index("max"), keyword_index("min"), keyword_index("average"),
                                 keyword_index("strcat")};

constexpr bool own_list_compiled(int id) {
    for (int k : kOwnListCalls)
        if (k == id) return true;
    return false;
}


// The constant-operand form of an opcode, kOpFail when there is none.
uint8_t const_opcode(uint8_t op, int32_t c) {
    switch (op) {
        case kOpAdd: return kOpAddC;
        case kOpSub: return kOpSubC;
        case kOpMul: return kOpMulC;
        case kOpDiv: return (c != 0 && c != -1) ? kOpDivC : kOpFail;
        case kOpMod: return (c != 0 && c != -1) ? kOpModC : kOpFail;
        case kOpEq: return kOpEqC;
        case kOpNe: return kOpNeC;
        case kOpLt: return kOpLtC;
        case kOpLe: return kOpLeC;
        case kOpGt: return kOpGtC;
        case kOpGe: return kOpGeC;
        default: return kOpFail;
    }
}

constexpr int kIntStack = 64;

// The kinds the ladder reaches through its innermost level, each one nesting level deep.
inline bool is_level9(uint8_t k) { return k != kNBinary && k != kNChain; }

constexpr int kCompileDepthMax = 64;


// ---- Compiler ------------------------------------------------------------------------

// What a line is compiled into before its block is made: kept from line to line, so that
// compiling allocates nothing but the block. A compile inside another (the statement
// after `then`) takes the next set; past the last it makes its own.
struct Scratch {
    std::vector<const CachedToken*> toks;
    std::vector<FastNode> nodes;
    std::vector<FastOp> code;
    std::vector<int32_t> lists;
    std::vector<FastVar> vars;
    std::string texts;
};
constexpr int kScratchSets = 4;

}  // namespace

struct CompileScratch {
    Scratch sets[kScratchSets];
    int used = 0;
};

void CompileScratchFree::operator()(CompileScratch* s) const { delete s; }

namespace {

// The set of arrays a compile uses while it lasts: the instance's next one, or its own.
class ScratchUse {
public:
    explicit ScratchUse(const Instance& inst) {
        if (inst.exec) {
            auto& kept = inst.exec->compile_scratch;
            if (!kept) kept.reset(new CompileScratch);
            if (kept->used < kScratchSets) {
                kept_ = kept.get();
                set_ = &kept_->sets[kept_->used++];
            }
        }
        if (!set_) {
            own_ = std::make_unique<Scratch>();
            set_ = own_.get();
        }
        set_->toks.clear();
        set_->nodes.clear();
        set_->code.clear();
        set_->lists.clear();
        set_->vars.clear();
        set_->texts.clear();
    }
    ~ScratchUse() {
        if (kept_) --kept_->used;
    }
    ScratchUse(const ScratchUse&) = delete;
    ScratchUse& operator=(const ScratchUse&) = delete;
    Scratch& get() { return *set_; }

private:
    CompileScratch* kept_ = nullptr;
    Scratch* set_ = nullptr;
    std::unique_ptr<Scratch> own_;
};

// At most this many operands in one list (a call's arguments, subscripts, a ":" run) are
// compiled; a longer list leaves the line to the text.
constexpr uint32_t kListMax = 64;
struct NodeList {
    int32_t v[kListMax];
    uint32_t n = 0;
    bool push(int32_t x) {
        if (n == kListMax) return false;
        v[n++] = x;
        return true;
    }
};

class Compiler {
public:
    Compiler(const Instance& inst, const LineTokens& lt, FastLine& f, Scratch& b)
        : inst_(inst), lt_(lt), f_(f), b_(b), toks_(b.toks) {}

    // The token chain from `at` to the end of the line; false when a token is missing
    // (then ends_missing()). Keeps what it found: a single keyword needs only its first token.
    bool ends_missing() const { return ends_missing_; }
    bool read_chain(uint16_t at) {
        toks_.reserve(lt_.toks.size() + lt_.elem_names.size() + lt_.name_args.size());
        for (size_t guard = 0; guard < 512; ++guard) {
            const CachedToken* k = nullptr;
            for (const CachedToken& c : lt_.toks)
                if (c.at == at) {
                    k = &c;
                    break;
                }
            if (!k)
                for (const CachedToken& c : lt_.elem_names)
                    if (c.at == at) {
                        k = &c;
                        break;
                    }
            if (!k)
                for (const CachedToken& c : lt_.name_args)
                    if (c.at == at) {
                        k = &c;
                        break;
                    }
            if (!k) {
                ends_missing_ = true;
                return false;
            }
            toks_.push_back(k);
            if (k->type == kTokNone) return true;
            if (k->end <= at) return false;
            at = k->end;
        }
        return false;
    }

    size_t size() const { return toks_.size(); }
    // Was token i read as a special form's name argument (LineTokens::name_args)?
    bool name_arg(size_t i) const {
        if (i >= toks_.size() || lt_.name_args.empty()) return false;
        const CachedToken* k = toks_[i];
        return k >= lt_.name_args.data() && k < lt_.name_args.data() + lt_.name_args.size();
    }
    // Past the tokens read so far: a token no rule accepts.
    const CachedToken& tok(size_t i) const { return i < toks_.size() ? *toks_[i] : missing_; }
    bool is_kw(size_t i, int kw) const { return tok(i).type == kTokKeyword && tok(i).kw == kw; }
    bool at_end(size_t i) const { return tok(i).type == kTokNone; }
    std::string_view text(size_t i) const {
        const CachedToken& k = tok(i);
        return std::string_view(lt_.texts).substr(k.text_off, k.text_len);
    }

    int32_t var_slot(size_t i) {
        std::string_view key = text(i);
        if (key.empty() || key.size() > kMaxVarName) return -1;
        for (size_t s = 0; s < b_.vars.size(); ++s)
            if (b_.vars[s].len == key.size() && std::memcmp(b_.vars[s].key, key.data(), key.size()) == 0)
                return static_cast<int32_t>(s);
        FastVar v;
        std::memcpy(v.key, key.data(), key.size());
        v.len = static_cast<uint8_t>(key.size());
        v.hint = tok(i).var_index;
        if (key.size() + 1 <= 8) {
            std::memcpy(&v.key8, v.key, 8);
            v.mask8 = key.size() + 1 == 8 ? ~uint64_t{0} : (uint64_t{1} << ((key.size() + 1) * 8)) - 1;
        }
        b_.vars.push_back(v);
        return static_cast<int32_t>(b_.vars.size() - 1);
    }

    // level1 from token i; returns the node or -1, i advanced past it.
    int32_t expr(size_t& i);

    // Was token i read right after an "&" that makes a new variable defined?
    bool after_address_of(size_t i) const {
        if (i == 0) return false;
        uint8_t prev_type = i >= 2 ? tok(i - 2).type : uint8_t{kTokNone};
        int prev_kw = i >= 2 ? tok(i - 2).kw : -1;
        return address_of_at(inst_, lt_.line.c_str() + tok(i - 1).start, prev_type, prev_kw);
    }

    const Instance& inst() const { return inst_; }
    FastLine& fl() { return f_; }
    Scratch& bl() { return b_; }

    // What the compiling mode builds with.
    // Adds a node (after its operands, so nodes come in postfix order) with its integer
    // program: the operands' programs, which are just before, then its own step.
    int32_t add(const FastNode& n0) {
        FastNode n = n0;
        uint32_t start = static_cast<uint32_t>(b_.code.size());
        if (n.kind == kNBinary || n.kind == kNUnary || n.kind == kNParen || n.kind == kNChain || n.kind == kNCall ||
            n.kind == kNDeref || n.kind == kNOwnCall || n.kind == kNAddr) {
            if (n.a >= 0) start = node(n.a).code;
            if ((n.kind == kNCall || n.kind == kNOwnCall) && n.count > 0) start = node(b_.lists[n.first]).code;
        }
        FastOp op;
        switch (n.kind) {
            case kNInt: op.op = kOpInt; op.v = n.ival; break;
            case kNVar: op.op = kOpVar; op.v = n.a; break;
            case kNUnary: op.op = unary_opcode(n.op); break;
            case kNBinary: op.op = binary_opcode(n.op); break;
            case kNParen: op.op = kOpNone; break;
            default: op.op = kOpFail; break;
        }
        uint32_t stack = kIntStack + 1;  // no integer program
        switch (n.kind) {
            case kNInt: case kNVar: stack = 1; break;
            case kNUnary: case kNParen: stack = n.a >= 0 ? node(n.a).stack : 1; break;
            case kNBinary: stack = std::max(node(n.a).stack, node(n.b).stack + 1); break;
            default: break;
        }
        if (n.kind == kNBinary) fuse_binary(n, op, stack);
        n.stack = stack;
        if (op.op != kOpNone) b_.code.push_back(op);
        n.code = start;
        n.code_end = static_cast<uint32_t>(b_.code.size());
        b_.nodes.push_back(n);
        return static_cast<int32_t>(b_.nodes.size() - 1);
    }
    FastNode& node(int32_t n) { return b_.nodes[static_cast<size_t>(n)]; }

    // True when node n is a leaf whose one step is the last of the program so far.
    bool last_leaf(int32_t n, NodeKind kind) {
        const FastNode& x = node(n);
        return x.kind == kind && x.code + 1 == x.code_end && x.code_end == b_.code.size();
    }

    // A leaf whose step went into its parent's step: its own program is empty (the
    // integer evaluation of an empty program fails, so nothing reads it by mistake).
    void absorb(int32_t n) { node(n).code_end = node(n).code; }

    // The binary node n's step `op`, with the operand steps just before it: a constant
    // right operand goes into the operator ("x op 7"), and a variable operand is read by
    // the operator's own step ("v mod 7", "top + v", "v - top"). The programs hold no
    // side effects and give up as a whole, so the operands may be read in either order.
    void fuse_binary(const FastNode& n, FastOp& op, uint32_t& stack) {
        if (op.op < kOpAdd || op.op > kOpGe) return;
        if (last_leaf(n.b, kNInt)) {
            uint8_t c = const_opcode(op.op, node(n.b).ival);
            if (c == kOpFail) return;
            b_.code.pop_back();
            absorb(n.b);
            op.op = c;
            op.v = node(n.b).ival;
            stack = node(n.a).stack;
            if (last_leaf(n.a, kNVar)) {
                op.c = op.v;
                op.v = b_.code.back().v;
                op.op = var_const_opcode(c);
                b_.code.pop_back();
                absorb(n.a);
                stack = 1;
            }
            return;
        }
        if (last_leaf(n.b, kNVar)) {
            op.v = b_.code.back().v;
            op.op = var_right_opcode(op.op);
            b_.code.pop_back();
            absorb(n.b);
            stack = node(n.a).stack;
            return;
        }
        const FastNode& a = node(n.a);
        if (a.kind != kNVar || a.code + 1 != a.code_end || b_.code[a.code].op != kOpVar) return;
        uint8_t swapped;
        switch (op.op) {
            case kOpSub: swapped = kOpRSubV; break;
            case kOpLt: swapped = kOpGtV; break;
            case kOpLe: swapped = kOpGeV; break;
            case kOpGt: swapped = kOpLtV; break;
            case kOpGe: swapped = kOpLeV; break;
            case kOpAdd: case kOpMul: case kOpAnd: case kOpOr: case kOpXor: case kOpLAnd: case kOpLOr:
            case kOpEq: case kOpNe:
                swapped = var_right_opcode(op.op);
                break;
            default: return;
        }
        // "v op (expression)": the variable's step leaves the front of the program and the
        // right operand's nodes (all those after the variable's) move down one step.
        op.v = b_.code[a.code].v;
        op.op = swapped;
        b_.code.erase(b_.code.begin() + a.code);
        for (size_t k = static_cast<size_t>(n.a) + 1; k < b_.nodes.size(); ++k) {
            if (b_.nodes[k].code > a.code) --b_.nodes[k].code;
            if (b_.nodes[k].code_end > a.code) --b_.nodes[k].code_end;
        }
        absorb(n.a);
        stack = node(n.b).stack;
    }

private:
    const Instance& inst_;
    const LineTokens& lt_;
    FastLine& f_;
    Scratch& b_;
    std::vector<const CachedToken*>& toks_;
    bool ends_missing_ = false;
    static constexpr CachedToken missing_{0, 0, 0, 0xFF, -1, -1, 0, 0};
};

// The grammar (interp/run/grammar.h) building the tree over a line's cached tokens. A
// form the tree has no node for, or an error the text would raise while it is read,
// leaves the line uncompiled: it then runs as text, which raises that error.
struct CompileCtx {
    Compiler& comp;
    size_t i;
    bool failed = false;
    int nest = 0;
};

struct CompileMode {
    using Ctx = CompileCtx;
    using V = int32_t;
    using Args = int32_t[kMaxCallArgs + 1];
    using Chain = NodeList;
    // A level of the grammar read: past kCompileDepthMax the line is not compiled.
    class BinaryDepth {
    public:
        explicit BinaryDepth(Ctx& c) : c_(c) {
            ok_ = ++c_.nest <= kCompileDepthMax;
            if (!ok_) c_.failed = true;
        }
        ~BinaryDepth() { --c_.nest; }
        BinaryDepth(const BinaryDepth&) = delete;
        BinaryDepth& operator=(const BinaryDepth&) = delete;
        bool ok() const { return ok_; }

    private:
        Ctx& c_;
        bool ok_;
    };
    using PrefixDepth = BinaryDepth;

    static int32_t empty() { return -1; }
    static void drop(Ctx&, int32_t&) {}
    static bool err(const Ctx& c) { return c.failed; }
    static uint8_t type(const Ctx& c) { return c.comp.tok(c.i).type; }
    static int kw(const Ctx& c) { return c.comp.tok(c.i).kw; }
    static bool is(const Ctx& c, int k) { return c.comp.is_kw(c.i, k); }
    static void next(Ctx& c) { ++c.i; }
    static void fail(Ctx& c, Err) { c.failed = true; }
    static void fail_info(Ctx& c, Err, Err) { c.failed = true; }
    static void paren_missing(Ctx& c, int) { c.failed = true; }

    static FastNode leaf(NodeKind kind) {
        FastNode n;
        n.kind = kind;
        n.depth = 1;
        return n;
    }
    static void int_literal(Ctx& c, int32_t& out) {
        FastNode n = leaf(kNInt);
        n.ival = decimal_digits_value(c.comp.text(c.i));
        out = c.comp.add(n);
    }
    static void float_literal(Ctx& c, int32_t& out) {
        double d = 0;
        if (parse_float_string(std::string(c.comp.text(c.i)), &d) != FloatParse::kOk) {
            c.failed = true;
            return;
        }
        FastNode n = leaf(kNFloat);
        n.fval = d;
        out = c.comp.add(n);
    }
    static void string_literal(Ctx& c, int32_t& out) {
        FastNode n = leaf(kNStr);
        std::string_view text = c.comp.text(c.i);
        n.first = static_cast<uint32_t>(c.comp.bl().texts.size());
        n.count = static_cast<uint32_t>(text.size());
        c.comp.bl().texts.append(text);
        out = c.comp.add(n);
    }
    static void multiline(Ctx& c, int32_t&) { c.failed = true; }
    static void variable(Ctx& c, int32_t& out) {
        FastNode n = leaf(c.comp.after_address_of(c.i) ? kNVarDefined : kNVar);
        n.a = c.comp.var_slot(c.i);
        if (n.a < 0) {
            c.failed = true;
            return;
        }
        out = c.comp.add(n);
    }
    static void paren(Ctx& c, int32_t& out) {
        FastNode n;
        n.kind = kNParen;
        n.a = out;
        n.pure = c.comp.node(out).pure;
        n.depth = c.comp.node(out).depth + 1;
        out = c.comp.add(n);
    }
    // A name read as an array's, then its subscripts; dotted names have no node.
    static void ole_object(Ctx& c, int32_t& out) {
        std::string name(c.comp.text(c.i));
        if (name.find('.') != std::string::npos) {
            c.failed = true;
            return;
        }
        fold_name(name);
        next(c);
        if (!is(c, Kw::LBracket)) {
            c.failed = true;
            return;
        }
        NodeList subs;
        bool read = grammar::subscript_list<CompileMode>(c, [&](int32_t s) {
            if (subs.push(s)) return true;
            c.failed = true;
            return false;
        });
        if (!read) return;
        FastNode n;
        n.kind = kNElem;
        n.pure = false;
        n.depth = 1;
        FastLine& f = c.comp.fl();
        n.a = static_cast<int32_t>(f.elem_names.size());
        f.elem_names.push_back(name);
        std::vector<int32_t>& lists = c.comp.bl().lists;
        n.first = static_cast<uint32_t>(lists.size());
        n.count = subs.n;
        for (uint32_t k = 0; k < subs.n; ++k) {
            int32_t sub = subs.v[k];
            lists.push_back(sub);
            n.depth = std::max(n.depth, c.comp.node(sub).depth + 1);
        }
        out = c.comp.add(n);
        next(c);  // past "]"
    }
    static void constant(Ctx& c, int32_t& out, int kw) {
        FastNode n = leaf(kNConst);
        n.id = kw;
        out = c.comp.add(n);
    }
    // "(" name [, name ...] ")", each name as it was read without creating a variable;
    // a shape the text refuses (which it always does) leaves the line text.
    static void special_form(Ctx& c, int32_t& out, int kw) {
        next(c);
        if (!form_compiled(kw) || !is(c, Kw::LParen)) {
            c.failed = true;
            return;
        }
        FastLine& f = c.comp.fl();
        FastNode n = leaf(kNForm);
        n.id = kw;
        n.pure = false;
        n.first = static_cast<uint32_t>(f.name_args.size());
        for (;;) {
            next(c);
            FastNameArg a;
            const CachedToken& t = c.comp.tok(c.i);
            bool star = t.type == kTokKeyword && t.kw == Kw::Star;
            if (!c.comp.name_arg(c.i)) {
                c.failed = true;
                return;
            }
            if (t.type == kTokVariable || (star && c.comp.tok(c.i + 1).type == kTokVariable && c.comp.name_arg(c.i + 1))) {
                if (star) next(c);
                a.kind = star ? NameArg::kPtr : NameArg::kVar;
                a.name = c.comp.text(c.i);
                next(c);
            } else if (t.type == kTokKeyword && t.kw == Kw::OleObject && kw != Kw::Drop &&
                       c.comp.text(c.i).find('.') == std::string_view::npos) {
                a.kind = NameArg::kElem;
                ole_object(c, a.elem);
                if (c.failed) return;
                n.depth = std::max(n.depth, c.comp.node(a.elem).depth);
            } else if (kw != Kw::ObjectTypeGet) {
                c.failed = true;  // the text raises an error here whenever it runs
                return;
            }
            f.name_args.push_back(std::move(a));
            if (kw != Kw::Drop || !is(c, Kw::Comma)) break;
        }
        if (!is(c, Kw::RParen)) {
            c.failed = true;
            return;
        }
        n.count = static_cast<uint32_t>(f.name_args.size()) - n.first;
        out = c.comp.add(n);
        next(c);
    }
    static const KeywordRecord* host_table(const Ctx& c) { return c.comp.inst().host_table; }
    // Disabled or not, the constant's node raises what the text would when it runs.
    static void host_constant(Ctx& c, int32_t& out, int kw, const KeywordRecord&) {
        FastNode n = leaf(kNHostConst);
        n.id = kw;
        out = c.comp.add(n);
    }
    static bool call_allowed(Ctx& c, int id, CallInfo* ci) {
        if (!eval_call_info(c.comp.inst(), id, ci) || ci->disabled) c.failed = true;
        return !c.failed;
    }
    // The argument list ("(" current): plain expressions up to ")", which is left current.
    static void own_call(Ctx& c, int id, int32_t& out, uint64_t) {
        if (!own_list_compiled(id)) {
            c.failed = true;
            return;
        }
        NodeList args;
        bool read = grammar::own_arg_list<CompileMode>(c, Err::IllegalSyntax, [&](int32_t a) {
            if (args.push(a)) return true;
            c.failed = true;
            return false;
        });
        if (!read) return;
        call(c, id, out, args.v, static_cast<int>(args.n), 0);
        c.comp.node(out).kind = kNOwnCall;
    }
    static void own_arg(Ctx& c, int32_t& out) { grammar::level1<CompileMode>(c, out); }
    static void init_args(Args& args) {
        for (int32_t& a : args) a = -1;
    }
    static void release_args(Ctx&, int32_t*, int) {}
    static void call(Ctx& c, int id, int32_t& out, const int32_t* args, int argc, uint64_t) {
        FastNode n;
        n.kind = kNCall;
        n.id = id;
        n.pure = false;
        n.depth = 1;
        std::vector<int32_t>& lists = c.comp.bl().lists;
        n.first = static_cast<uint32_t>(lists.size());
        n.count = static_cast<uint32_t>(argc);
        for (int k = 0; k < argc; ++k) {
            lists.push_back(args[k]);
            n.depth = std::max(n.depth, c.comp.node(args[k]).depth + 1);
        }
        out = c.comp.add(n);
    }
    // `*` before "[" has no node (the line stays text): it subscripts the array the
    // pointer names when the pointer names one.
    static void prefix(Ctx& c, int op, int32_t& out) {
        bool deref = op == Kw::Star, addr = op == Kw::Amp;
        if (deref && is(c, Kw::LBracket)) {
            c.failed = true;
            return;
        }
        FastNode n;
        n.kind = deref ? kNDeref : addr ? kNAddr : kNUnary;
        n.op = static_cast<int16_t>(op);
        n.a = out;
        n.pure = !deref && !addr && c.comp.node(out).pure;
        n.depth = c.comp.node(out).depth + 1;
        out = c.comp.add(n);
    }
    static void binary(Ctx& c, int32_t& out, int32_t& rhs, int op) {
        FastNode n;
        n.kind = kNBinary;
        n.op = static_cast<int16_t>(op);
        n.a = out;
        n.b = rhs;
        n.pure = c.comp.node(out).pure && c.comp.node(rhs).pure;
        n.depth = std::max(c.comp.node(out).depth, c.comp.node(rhs).depth);
        out = c.comp.add(n);
    }
    static bool chain_add(Ctx& c, Chain& chain, int32_t&, int32_t& rhs) {
        if (chain.push(rhs)) return true;
        c.failed = true;
        return false;
    }
    static void chain_finish(Ctx& c, Chain& chain, int32_t& out) {
        if (c.failed || chain.n == 0) return;
        FastNode n;
        n.kind = kNChain;
        n.a = out;
        std::vector<int32_t>& lists = c.comp.bl().lists;
        n.first = static_cast<uint32_t>(lists.size());
        n.count = chain.n;
        n.pure = c.comp.node(out).pure;
        n.depth = c.comp.node(out).depth;
        for (uint32_t k = 0; k < chain.n; ++k) {
            int32_t p = chain.v[k];
            lists.push_back(p);
            n.pure = n.pure && c.comp.node(p).pure;
            n.depth = std::max(n.depth, c.comp.node(p).depth);
        }
        out = c.comp.add(n);
    }
};

int32_t Compiler::expr(size_t& i) {
    CompileCtx c{*this, i};
    int32_t out = -1;
    grammar::level1<CompileMode>(c, out);
    i = c.i;
    return c.failed ? -1 : out;
}


bool rest_blank(const std::string& line, size_t from) {
    while (from < line.size() && (line[from] == ' ' || line[from] == '\t')) ++from;
    return from >= line.size() || line[from] == ';';
}

// `s = s : a : b`: the first part of the chain is the target itself and the rest cannot
// touch it (no calls).
bool is_self_append(const FastLine& f) {
    if (f.bin >= 0 || f.expr < 0) return false;
    const FastNode& n = f.nodes[static_cast<size_t>(f.expr)];
    if (n.kind != kNChain || !n.pure || n.count == 0) return false;
    const FastNode& first = f.nodes[static_cast<size_t>(n.a)];
    if (first.kind != kNVar || first.a != f.target) return false;
    for (uint32_t k = 0; k < n.count; ++k) {
        uint8_t kind = f.nodes[static_cast<size_t>(f.lists[n.first + k])].kind;
        if (kind != kNVar && kind != kNInt && kind != kNStr) return false;
    }
    return true;
}

}  // namespace

FastLinePtr fast_compile_tail(const Instance& inst, const LineTokens& lt, uint16_t at) {
    FastLinePtr t = fast_compile(inst, lt, at);
    if (t && t->kind != FastKind::kAssign && t->kind != FastKind::kAssignPointer && t->kind != FastKind::kAssignElem &&
        t->kind != FastKind::kExpr && t->kind != FastKind::kReturn && t->kind != FastKind::kRaiseAfter &&
        t->kind != FastKind::kBreak && t->kind != FastKind::kContinue)
        t.reset();
    return t;
}

namespace {
FastLinePtr compile_line(const Instance& inst, const LineTokens& lt, uint16_t at);
}  // namespace

bool fast_may_compile(const Instance& inst, uint8_t type, int kw) {
    if (type == kTokVariable) return true;
    if (type != kTokKeyword) return false;
    switch (kw) {
        case Kw::Star: case Kw::OleObject: case Kw::If: case Kw::Then: case Kw::Return: case Kw::While: case Kw::To:
        case Kw::Next: case Kw::EndFor: case Kw::EndWhile: case Kw::EndIf: case Kw::EndSwitch:
        case Kw::EndSelect: case Kw::Break: case Kw::Continue: case Kw::Else: case Kw::Switch: case Kw::Select:
        case Kw::Case: case Kw::For:
            return true;
        default: break;
    }
    if (kw >= 0 && kw < kKeywordCount) return keyword(kw).kind == kFunc || (keyword(kw).kind == kSpecial && form_compiled(kw));
    if (kw >= kHostIdFirst && kw <= kHostIdLast)
        return inst.host_table && inst.host_table[kw - kHostIdFirst].kind != kCommand;
    return kw >= kUdfIdFirst && kw <= kUdfIdLast;
}

FastLinePtr fast_compile(const Instance& inst, const LineTokens& lt, uint16_t at) {
    FastLinePtr f = compile_line(inst, lt, at);
    if (f) f->has_elems = !f->elem_names.empty();
    if (f) f->self_append = f->kind == FastKind::kAssign && is_self_append(*f);
    if (f && f->has_elems) {
        // Whether a name before "[" is an array's is seen when the line starts
        // (fast_elems_ok): nothing in the line may change it before it is read. Nodes
        // complete in their order in the list, so a call after every element runs when
        // the elements have all been read.
        bool elem_later = false;
        for (size_t k = f->nodes.size(); k-- > 0;) {
            uint8_t kind = f->nodes[k].kind;
            if (kind == kNDeref || kind == kNAddr) return nullptr;
            if (kind == kNElem) elem_later = true;
            bool changes = kind == kNCall || kind == kNOwnCall || (kind == kNForm && f->nodes[k].id == Kw::Drop);
            if (changes && elem_later) return nullptr;
        }
    }
    if (f && f->expr >= 0) {
        const FastNode& nd = f->nodes[static_cast<size_t>(f->expr)];
        f->expr_form = fast_var_rooted(*f, f->expr) ? FastForm::kVar
                       : (nd.kind == kNInt || nd.pure) ? FastForm::kInt
                                                        : FastForm::kOther;
        // `variable` or `variable op constant`: the short form the statements try inline.
        uint32_t len = nd.code_end - nd.code;
        uint8_t op0 = len > 0 ? f->code[nd.code].op : uint8_t{kOpFail};
        if (nd.pure && nd.kind != kNInt && len == 1 && (op0 == kOpVar || is_var_const_opcode(op0))) {
            f->small_var = f->code[nd.code].v;
            f->small_op = op0 == kOpVar ? uint8_t{kOpNone} : var_const_base(op0);
            f->small_c = f->code[nd.code].c;
            f->small_depth = nd.depth;
        } else if (nd.pure && nd.kind != kNInt && len > 0 && nd.stack <= static_cast<uint32_t>(kIntStack)) {
            f->expr_program = true;
            // The code is complete: the program's steps stay where they are.
            f->prog = f->code.data() + nd.code;
            f->prog_end = f->code.data() + nd.code_end;
            f->prog_depth = nd.depth;
        } else if (nd.kind == kNInt) {
            f->expr_const = true;
            f->const_value = nd.ival;
        }
        f->int_store = f->kind == FastKind::kAssign && f->bin < 0 && !f->self_append &&
                       (f->small_var >= 0 || f->expr_program || f->expr_const);
        // `total = total + (expression)` (or the sum the other way round): the last step
        // adds the target itself, which the assignment can do on the record it writes.
        f->self_add = f->int_store && f->expr_program && f->prog_end - f->prog >= 2 &&
                      f->prog_end[-1].op == kOpAddV && f->prog_end[-1].v == f->target;
    }
    return f;
}

namespace {

bool compile_into(const Instance& inst, const LineTokens& lt, uint16_t at, FastLine* f, Scratch& b) {
    f->udf_count = inst.exec ? udf_count(inst) : 0;
    f->host_table = inst.host_table;
    if (at >= lt.line.size()) return false;
    // Room for as many nodes and steps as the line has tokens: most lines need no more.
    size_t ntok = lt.toks.size() + lt.elem_names.size() + lt.name_args.size();
    b.nodes.reserve(ntok);
    b.code.reserve(ntok);
    b.lists.reserve(ntok);
    Compiler c(inst, lt, *f, b);
    bool whole_chain = c.read_chain(at);
    if (c.size() == 0) return false;
    const CachedToken& t0 = c.tok(0);
    size_t i = 0;
    auto whole = [&](int32_t e) { return e >= 0 && c.at_end(i); };
    // A statement whose expression is followed by another token raises 3074 there (the
    // text reads no further): compiled as far, with a raise after it.
    auto whole_or_raise = [&](int32_t e) {
        if (whole(e)) return true;
        if (e < 0 || i >= c.size() || c.tok(i).type == kTokNone) return false;
        f->raise_of = f->kind;
        f->kind = FastKind::kRaiseAfter;
        f->raise_bracket = c.is_kw(i, Kw::LBracket);
        return true;
    };
    if (lt.line[at] == '*') {
        // `*pointer = expression` (or a compound operator); the other statements that
        // start so stay text.
        if ((!whole_chain && !c.ends_missing()) || !c.is_kw(0, Kw::Star) || c.tok(1).type != kTokVariable ||
            c.tok(2).type != kTokKeyword || !eval_assignment_op_at(lt.line.c_str() + c.tok(1).end))
            return false;
        int op = c.tok(2).kw;
        if (op != Kw::Assign && eval_compound_op(op) < 0) return false;
        f->kind = FastKind::kAssignPointer;
        f->target = c.var_slot(1);
        if (f->target < 0) return false;
        f->bin = static_cast<int16_t>(op == Kw::Assign ? -1 : eval_compound_op(op));
        i = 3;
        f->expr = c.expr(i);
        return whole_or_raise(f->expr);
    }
    if (t0.type == kTokKeyword && rest_blank(lt.line, t0.end)) {
        // Keywords that read nothing after themselves.
        FastKind k;
        switch (t0.kw) {
            case Kw::Next:
            case Kw::EndFor: k = FastKind::kNext; break;
            case Kw::EndWhile: k = FastKind::kEndWhile; break;
            case Kw::EndIf: k = FastKind::kEndIf; break;
            case Kw::EndSwitch:
            case Kw::EndSelect: k = FastKind::kEndSwitch; break;
            case Kw::Break: k = FastKind::kBreak; break;
            case Kw::Continue: k = FastKind::kContinue; break;
            case Kw::Else: k = FastKind::kElse; break;
            default: k = FastKind::kExpr; break;
        }
        if (k != FastKind::kExpr) {
            f->kind = k;
            f->skip_ok = true;
            return true;
        }
    }
    if (t0.type == kTokKeyword && (t0.kw == Kw::Then || t0.kw == Kw::Else) && !rest_blank(lt.line, t0.end)) {
        // The statement after a line's first `then` or `else` is read from where it starts.
        size_t after = t0.end;
        while (after < lt.line.size() && (lt.line[after] == ' ' || lt.line[after] == '\t')) ++after;
        // A tail passed over reads a multi-line string's lines: that stays with the text.
        if (lt.line.find("$\"", after) != std::string::npos) return false;
        f->kind = FastKind::kBranchTail;
        f->run_on = t0.kw == Kw::Then ? 1 : 0;
        f->tail_at = static_cast<uint16_t>(after);
        f->tail = fast_compile_tail(inst, lt, f->tail_at);
        return true;
    }
    if (t0.type == kTokKeyword && t0.kw == Kw::If) {
        // The tokens after `then` are read from where the statement there starts.
        i = 1;
        f->expr = c.expr(i);
        if (f->expr < 0) return false;
        if (c.at_end(i)) {
            f->kind = FastKind::kIfBlock;
            return true;
        }
        if (!c.is_kw(i, Kw::Then)) return false;
        size_t after = c.tok(i).end;
        if (rest_blank(lt.line, after)) {
            f->kind = FastKind::kIfBlock;
            return true;
        }
        while (after < lt.line.size() && (lt.line[after] == ' ' || lt.line[after] == '\t')) ++after;
        f->kind = FastKind::kIf;
        f->tail_at = static_cast<uint16_t>(after);
        // The statement after `then` compiles on its own once its tokens have been read.
        f->tail = fast_compile_tail(inst, lt, f->tail_at);
        return true;
    }
    // Past here a chain that ends where the text stopped reading compiles only with a
    // raise at its end (whole_or_raise).
    if ((!whole_chain && !c.ends_missing()) || c.size() < 2) return false;
    if (t0.type == kTokVariable && c.tok(1).type == kTokKeyword &&
        (c.tok(1).kw == Kw::Assign || eval_compound_op(c.tok(1).kw) >= 0)) {
        if (!eval_assignment_op_at(lt.line.c_str() + t0.end)) return false;
        f->kind = FastKind::kAssign;
        f->target = c.var_slot(0);
        if (f->target < 0) return false;
        f->bin = static_cast<int16_t>(c.tok(1).kw == Kw::Assign ? -1 : eval_compound_op(c.tok(1).kw));
        i = 2;
        f->expr = c.expr(i);
        if (!whole_or_raise(f->expr)) return false;
        return true;
    }
    if (t0.type == kTokKeyword && t0.kw == Kw::OleObject) {
        // `name[s1, ...] = expression` (or a compound operator): the text takes it as an
        // assignment when an assignment operator follows the brackets it matches.
        const char* after = eval_skip_brackets(lt.line.c_str() + t0.end);
        if (!after || !eval_assignment_op_at(after)) return false;
        CompileCtx cc{c, 0};
        int32_t elem = -1;
        CompileMode::ole_object(cc, elem);
        i = cc.i;
        if (cc.failed || elem < 0 || c.tok(i - 1).end != after - lt.line.c_str()) return false;
        int op = c.tok(i).type == kTokKeyword ? c.tok(i).kw : -1;
        if (op != Kw::Assign && eval_compound_op(op) < 0) return false;
        f->kind = FastKind::kAssignElem;
        f->target = elem;
        f->bin = static_cast<int16_t>(op == Kw::Assign ? -1 : eval_compound_op(op));
        ++i;
        f->expr = c.expr(i);
        return whole_or_raise(f->expr);
    }
    if (t0.type == kTokVariable) {
        if (eval_assignment_op_at(lt.line.c_str() + t0.end)) return false;
        f->kind = FastKind::kExpr;
        f->expr = c.expr(i);
        return whole_or_raise(f->expr);
    }
    if (t0.type != kTokKeyword) return false;
    int kw = t0.kw;
    switch (kw) {
        case Kw::Return:
            f->kind = FastKind::kReturn;
            f->skip_ok = true;
            i = 1;
            if (c.at_end(1)) return true;
            f->expr = c.expr(i);
            return whole(f->expr);
        case Kw::While:
            f->kind = FastKind::kWhile;
            i = 1;
            f->expr = c.expr(i);
            return whole(f->expr);
        case Kw::For: {
            // `for name = start to limit [by step]`: the name, the start up to `to`, and
            // the `to` part compiled as a line of its own (next comes back to it).
            if (c.tok(1).type != kTokVariable || !c.is_kw(2, Kw::Assign)) return false;
            f->kind = FastKind::kFor;
            f->skip_ok = true;
            f->target = c.var_slot(1);
            if (f->target < 0) return false;
            i = 3;
            f->expr = c.expr(i);
            if (f->expr < 0 || !c.is_kw(i, Kw::To)) return false;
            f->tail_at = static_cast<uint16_t>(c.tok(i).start);
            f->tail = fast_compile(inst, lt, c.tok(i).at);
            return f->tail && f->tail->kind == FastKind::kTo && !f->tail->has_elems;
        }
        case Kw::Switch:
        case Kw::Select:
        case Kw::Case:
            // Both run while a block is skipped: a switch then opens without its value, and
            // a case evaluates its value only while its switch looks for a branch.
            f->kind = kw == Kw::Case ? FastKind::kCase : FastKind::kSwitch;
            f->skip_ok = true;
            i = 1;
            f->expr = c.expr(i);
            return whole(f->expr);
        case Kw::To:
            f->kind = FastKind::kTo;
            f->skip_ok = true;
            i = 1;
            // Limit and step are evaluated (calls and all) each time the test runs, as the
            // text evaluates them.
            f->expr = c.expr(i);
            if (f->expr < 0) return false;
            if (c.is_kw(i, Kw::By)) {
                ++i;
                f->expr2 = c.expr(i);
                if (f->expr2 < 0) return false;
            }
            return c.at_end(i);
        default: break;
    }
    if ((kw >= 0 && kw < kKeywordCount && (keyword(kw).kind == kFunc || (keyword(kw).kind == kSpecial && form_compiled(kw)))) ||
        (kw >= kHostIdFirst && kw <= kHostIdLast) ||
        (kw >= kUdfIdFirst && kw <= kUdfIdLast)) {
        f->kind = FastKind::kExpr;
        f->expr = c.expr(i);
        return whole_or_raise(f->expr);
    }
    return false;
}

// Copies `n` records of `from` to `at` in block `base`, past `used` bytes aligned for them.
template <class T>
void place(std::byte* base, size_t& used, const std::vector<T>& from, FastArray<T>& to) {
    static_assert(std::is_trivially_copyable_v<T>);
    used = (used + alignof(T) - 1) / alignof(T) * alignof(T);
    to.p = reinterpret_cast<T*>(base + used);
    to.n = static_cast<uint32_t>(from.size());
    if (!from.empty()) std::memcpy(static_cast<void*>(to.p), from.data(), from.size() * sizeof(T));
    used += from.size() * sizeof(T);
}

template <class T>
size_t room(size_t used, const std::vector<T>& v) {
    return (used + alignof(T) - 1) / alignof(T) * alignof(T) + v.size() * sizeof(T);
}

FastLinePtr compile_line(const Instance& inst, const LineTokens& lt, uint16_t at) {
    ScratchUse use(inst);
    Scratch& b = use.get();
    FastLine proto;
    if (!compile_into(inst, lt, at, &proto, b)) return nullptr;
    // The line's block: the record, then its arrays.
    size_t size = sizeof(FastLine);
    size = room(size, b.nodes);
    size = room(size, b.vars);
    size = room(size, b.code);
    size = room(size, b.lists);
    size += b.texts.size();
    auto* base = static_cast<std::byte*>(::operator new(size));
    FastLinePtr f(new (base) FastLine(std::move(proto)));
    size_t used = sizeof(FastLine);
    place(base, used, b.nodes, f->nodes);
    place(base, used, b.vars, f->vars);
    place(base, used, b.code, f->code);
    place(base, used, b.lists, f->lists);
    char* texts = reinterpret_cast<char*>(base + used);
    if (!b.texts.empty()) std::memcpy(texts, b.texts.data(), b.texts.size());
    f->texts = std::string_view(texts, b.texts.size());
    return f;
}

}  // namespace

void FastLineFree::operator()(FastLine* f) const {
    f->~FastLine();
    ::operator delete(static_cast<void*>(f));
}

// ---- Evaluation ----------------------------------------------------------------------

bool fast_elems_check(Instance& inst, const FastLine& f) {
    for (const std::string& name : f.elem_names)
        if (!names_array(inst, name)) return false;
    return true;
}

// Out of line, so that the evaluators calling var_hit keep their registers.
[[gnu::noinline]] bool long_name_is(const char* name, const FastVar& v) {
    return std::memcmp(name, v.key, v.len + 1u) == 0;
}

namespace {

// As the tokenizer reads a variable token: the record is found or created (undefined,
// or with `defined` defined).
int32_t var_resolve(Instance& inst, FastVar& v, bool defined = false) {
    int32_t idx = var_hit(inst, v);
    if (idx > 0) return idx;
    bool saved = inst.create_defined;
    inst.create_defined = defined;
    idx = var_find_or_create(inst, std::string_view(v.key, v.len));
    inst.create_defined = saved;
    if (idx >= 0) {
        v.hint = idx;
        v.epoch = 0;  // checked again before it is trusted
    }
    return idx;
}

// A variable's whole number for an integer program: false when the slot's record is
// gone or holds anything else.
[[gnu::always_inline]] inline bool int_var(const Instance& inst, const FastLine& f, int32_t slot, int32_t* out) {
    const FastVar& v = f.vars[static_cast<size_t>(slot)];
    // The record remembered with the epoch is never null: no test for it.
    if (v.epoch != inst.var_epoch && var_hit_cached(inst, v) <= 0) return false;
    const VarRecord* r = v.rec;
    if ((r->flags & kPureIntMask) != kVtInt) return false;
    *out = r->i;
    return true;
}

// Runs node n's integer program. False (having touched nothing) when a value is not a
// whole integer or an operation would raise an error: the exact path then runs.
// The top of the stack is kept in `acc`; st[1..sp-1] hold the values below it.
// The steps from `op` to `end`, a program whose stack fits (FastNode::stack).
[[gnu::always_inline]] inline bool ev_steps(const Instance& inst, const FastLine& f, const FastOp* op,
                                            const FastOp* end, int32_t* out) {
    if (!inst.vars) return false;
    int32_t st[kIntStack + 1];
    int32_t acc = 0, x;
    int sp = 0;
    for (; op != end; ++op) {
        switch (op->op) {
            case kOpInt:
                st[sp++] = acc;
                acc = op->v;
                break;
            case kOpVar:
                if (!int_var(inst, f, op->v, &x)) return false;
                st[sp++] = acc;
                acc = x;
                break;
            case kOpNeg: acc = int_unary(kOpNeg, acc); break;
            case kOpNot: acc = int_unary(kOpNot, acc); break;
            case kOpCompl: acc = int_unary(kOpCompl, acc); break;
// Each opcode a case of its own, so that int_op folds to that one operation.
#define KEL_STACK_OP(code)                                           \
    case code:                                                       \
        if (!int_op(code, st[--sp], acc, &acc)) return false;        \
        break;
#define KEL_CONST_OP(code)                                           \
    case code:                                                       \
        if (!int_op(code, acc, op->v, &acc)) return false;           \
        break;
#define KEL_VAR_CONST_OP(code)                                                          \
    case var_const_opcode(code):                                                        \
        if (!int_var(inst, f, op->v, &x) || !int_op(code, x, op->c, &x)) return false;  \
        st[sp++] = acc;                                                                 \
        acc = x;                                                                        \
        break;
#define KEL_VAR_RIGHT_OP(code)                                                          \
    case var_right_opcode(code):                                                        \
        if (!int_var(inst, f, op->v, &x) || !int_op(code, acc, x, &acc)) return false;  \
        break;
            KEL_STACK_OP(kOpAdd) KEL_STACK_OP(kOpSub) KEL_STACK_OP(kOpMul) KEL_STACK_OP(kOpDiv)
            KEL_STACK_OP(kOpMod) KEL_STACK_OP(kOpShl) KEL_STACK_OP(kOpShr) KEL_STACK_OP(kOpAnd)
            KEL_STACK_OP(kOpOr) KEL_STACK_OP(kOpXor) KEL_STACK_OP(kOpLAnd) KEL_STACK_OP(kOpLOr)
            KEL_STACK_OP(kOpEq) KEL_STACK_OP(kOpNe) KEL_STACK_OP(kOpLt) KEL_STACK_OP(kOpLe)
            KEL_STACK_OP(kOpGt) KEL_STACK_OP(kOpGe) KEL_STACK_OP(kOpPow)
            KEL_CONST_OP(kOpAddC) KEL_CONST_OP(kOpSubC) KEL_CONST_OP(kOpMulC) KEL_CONST_OP(kOpDivC)
            KEL_CONST_OP(kOpModC) KEL_CONST_OP(kOpEqC) KEL_CONST_OP(kOpNeC) KEL_CONST_OP(kOpLtC)
            KEL_CONST_OP(kOpLeC) KEL_CONST_OP(kOpGtC) KEL_CONST_OP(kOpGeC)
            KEL_VAR_CONST_OP(kOpAddC) KEL_VAR_CONST_OP(kOpSubC) KEL_VAR_CONST_OP(kOpMulC)
            KEL_VAR_CONST_OP(kOpDivC) KEL_VAR_CONST_OP(kOpModC) KEL_VAR_CONST_OP(kOpEqC)
            KEL_VAR_CONST_OP(kOpNeC) KEL_VAR_CONST_OP(kOpLtC) KEL_VAR_CONST_OP(kOpLeC)
            KEL_VAR_CONST_OP(kOpGtC) KEL_VAR_CONST_OP(kOpGeC)
            KEL_VAR_RIGHT_OP(kOpAdd) KEL_VAR_RIGHT_OP(kOpSub) KEL_VAR_RIGHT_OP(kOpMul) KEL_VAR_RIGHT_OP(kOpDiv)
            KEL_VAR_RIGHT_OP(kOpMod) KEL_VAR_RIGHT_OP(kOpShl) KEL_VAR_RIGHT_OP(kOpShr) KEL_VAR_RIGHT_OP(kOpAnd)
            KEL_VAR_RIGHT_OP(kOpOr) KEL_VAR_RIGHT_OP(kOpXor) KEL_VAR_RIGHT_OP(kOpLAnd) KEL_VAR_RIGHT_OP(kOpLOr)
            KEL_VAR_RIGHT_OP(kOpEq) KEL_VAR_RIGHT_OP(kOpNe) KEL_VAR_RIGHT_OP(kOpLt) KEL_VAR_RIGHT_OP(kOpLe)
            KEL_VAR_RIGHT_OP(kOpGt) KEL_VAR_RIGHT_OP(kOpGe) KEL_VAR_RIGHT_OP(kOpPow)
#undef KEL_STACK_OP
#undef KEL_CONST_OP
#undef KEL_VAR_CONST_OP
#undef KEL_VAR_RIGHT_OP
            case kOpRSubV:
                if (!int_var(inst, f, op->v, &x) || !int_op(kOpSub, x, acc, &acc)) return false;
                break;
            case kOpNone:
            case kOpFail: return false;
            // The compiler writes no other opcode: the dispatch needs no range check.
            default: __builtin_unreachable();
        }
    }
    if (sp != 1) return false;
    *out = acc;
    return true;
}

// Node n's program; false when its stack would not fit.
[[gnu::always_inline]] inline bool ev_int_inline(const Instance& inst, const FastLine& f, const FastNode& nd,
                                                 int32_t* out) {
    // The program's depth is known: no step can overflow the stack.
    if (nd.stack > static_cast<uint32_t>(kIntStack)) return false;
    return ev_steps(inst, f, f.code.data() + nd.code, f.code.data() + nd.code_end, out);
}

// The main expression's program (FastLine::expr_program), within the nesting limit.
[[gnu::always_inline]] inline bool ev_program(const Instance& inst, const FastLine& f, int32_t* out) {
    if (inst.eval_depth + static_cast<int>(f.prog_depth) > kMaxEvalDepth) return false;
    return ev_steps(inst, f, f.prog, f.prog_end, out);
}

// Out of line, so that the evaluators calling it keep their registers.
[[gnu::noinline]] bool ev_int(const Instance& inst, const FastLine& f, int32_t n, int32_t* out) {
    return ev_int_inline(inst, f, f.nodes[static_cast<size_t>(n)], out);
}

// Programs of one step ("n", "n - 1", "n < 2") without the stack machine.
// 0: not such a program; 1: done; -1: not a whole integer (nothing touched).
inline int ev_small(const Instance& inst, const FastLine& f, const FastNode& nd, int32_t* out) {
    if (nd.code_end - nd.code != 1) return 0;
    const FastOp& op = f.code[nd.code];
    if (op.op != kOpVar && !is_var_const_opcode(op.op)) return 0;
    uint8_t base = op.op == kOpVar ? uint8_t{kOpNone} : var_const_base(op.op);
    return var_op_const(inst, f, op.v, base, op.c, out) ? 1 : -1;
}

void set_int(Instance& inst, Value& v, int32_t i) { eval_set_int(inst, v, i); }

void ev(Instance& inst, FastLine& f, int32_t n, Value& out);

// Calls and ":" chains keep their big locals out of the evaluator's own frame, which
// recursion through function calls stacks up.
[[gnu::noinline]] void ev_call(Instance& inst, FastLine& f, const FastNode& nd, Value& out) {
    // A user-defined function is never disabled and takes its arguments as they are.
    CallInfo ci;
    if ((nd.id < kUdfIdFirst || nd.id > kUdfIdLast) && !eval_call_allowed(inst, nd.id, &ci)) return;
    Value args[kMaxCallArgs + 1];
    int argc = 0;
    for (uint32_t k = 0; k < nd.count; ++k) {
        args[k] = empty_value();
        ev(inst, f, f.lists[nd.first + k], args[k]);
        argc = static_cast<int>(k) + 1;
        if (inst.error()) break;
    }
    if (inst.error()) {
        for (int k = 0; k < argc; ++k) release_value(inst, args[k]);
        return;
    }
    if (nd.id >= kUdfIdFirst && nd.id <= kUdfIdLast) {
        bool arrays = false;
        for (int k = 0; k < argc; ++k) arrays |= (args[k].flags & kVtArray) != 0;
        if (!arrays) {
            call_udf_compiled(inst, nd.id, out, args, argc);
            return;
        }
    }
    eval_call_with_args(inst, nd.id, out, args, argc, ci.ptypes, true);
}

// An argument of a builtin reading its own list, as that reading evaluates one.
void own_arg(Instance& inst, void* line, int32_t node, Value& out) {
    fast_eval_expression(inst, *static_cast<FastLine*>(line), node, out);
}

[[gnu::noinline]] void ev_own_call(Instance& inst, FastLine& f, const FastNode& nd, Value& out) {
    CallInfo ci;
    if (!eval_call_allowed(inst, nd.id, &ci)) return;
    OwnArgs args;
    args.line = &f;
    args.nodes = f.lists.data() + nd.first;
    args.count = nd.count;
    args.eval = own_arg;
    inst.tok.own_args = &args;
    call_builtin(inst, nd.id, out, nullptr, 0, true, ci.ptypes);
    inst.tok.own_args = nullptr;
}

[[gnu::noinline]] void ev_chain(Instance& inst, FastLine& f, const FastNode& nd, Value& out) {
    ev(inst, f, nd.a, out);
    if (inst.error()) return;
    ConcatChain chain;
    for (uint32_t k = 0; k < nd.count; ++k) {
        Value rhs = empty_value();
        ev(inst, f, f.lists[nd.first + k], rhs);
        if (inst.error()) {
            release_value(inst, rhs);
            break;
        }
        if (!chain.add(inst, out, rhs)) break;
    }
    chain.finish(inst, out);
    return;
}

// The element node `nd` selects, as the text finds it: the array the name holds (its own
// record in `var` when given), each subscript evaluated and converted in turn, then the
// element they select. 0 with the error raised.
uint32_t elem_locate(Instance& inst, FastLine& f, const FastNode& nd, int64_t* index, std::string& key,
                     int32_t* var = nullptr) {
    uint32_t handle = array_of_name(inst, f.elem_names[static_cast<size_t>(nd.a)], var);
    if (!handle) {
        inst.fail(Err::ArrayNeedsDimensions);
        return 0;
    }
    int32_t subs[kMaxDims + 1];
    for (uint32_t k = 0; k < nd.count; ++k) {
        Value s = empty_value();
        ev(inst, f, f.lists[nd.first + k], s);
        if (inst.error()) {
            release_value(inst, s);
            return 0;
        }
        if (!subscript_take(inst, handle, static_cast<int>(k), s, key, subs)) return 0;
    }
    *index = subscripts_index(inst, handle, subs, static_cast<int>(nd.count));
    return *index < 0 ? 0 : handle;
}

[[gnu::noinline]] void ev_elem(Instance& inst, FastLine& f, const FastNode& nd, Value& out) {
    std::string key;
    int64_t index;
    uint32_t handle = elem_locate(inst, f, nd, &index, key);
    if (!handle) return;
    release_value(inst, out);
    Value tmp = empty_value();
    if (!element_fetch(inst, handle, index, key, tmp)) return;
    out = tmp;
}

// A special form over its name arguments, each looked up when the text would read it.
[[gnu::noinline]] void ev_form(Instance& inst, FastLine& f, const FastNode& nd, Value& out) {
    for (uint32_t k = 0; k < nd.count; ++k) {
        const FastNameArg& fa = f.name_args[nd.first + k];
        NameArg a;
        a.name = fa.name;
        if (fa.kind == NameArg::kVar || fa.kind == NameArg::kPtr) {
            // The name's token, read without creating the variable, leaves it in the scratch record.
            name_to_scratch(inst, fa.name);
            if (fa.kind == NameArg::kVar)
                name_arg_var(inst, a);
            else
                name_arg_ptr(inst, a);
        } else if (fa.kind == NameArg::kElem) {
            a.kind = NameArg::kElem;
            a.handle = elem_locate(inst, f, f.nodes[static_cast<size_t>(fa.elem)], &a.elem, a.key, &a.index);
            if (!a.handle) return;
        }
        if (nd.id == Kw::Drop) {
            if (!form_drop_name(inst, a)) return;
        } else if (nd.id != Kw::ObjectTypeGet) {
            int32_t r;
            if (form_name_info(inst, nd.id, a, &r)) set_int(inst, out, r);
            return;
        }
    }
    if (nd.id == Kw::Drop)
        set_int(inst, out, 1);
    else
        eval_set_str(inst, out, "");  // no automation layer: nothing is an object
}

void ev_inner(Instance& inst, FastLine& f, const FastNode& nd, Value& out) {
    switch (nd.kind) {
        case kNInt: set_int(inst, out, nd.ival); return;
        case kNFloat: eval_set_float(inst, out, nd.fval); return;
        case kNStr: eval_set_str(inst, out, std::string_view(f.texts).substr(nd.first, nd.count)); return;
        case kNConst: eval_constant(inst, nd.id, out); return;
        case kNHostConst: {
            if (!inst.host_table) {
                inst.fail(Err::NotAvailable);
                return;
            }
            eval_host_constant(inst, inst.host_table[nd.id - kHostIdFirst], out);
            return;
        }
        case kNVar: {
            int32_t idx = var_resolve(inst, f.vars[static_cast<size_t>(nd.a)]);
            if (inst.error()) return;
            eval_variable(inst, idx, out);
            return;
        }
        case kNVarDefined: {
            int32_t idx = var_resolve(inst, f.vars[static_cast<size_t>(nd.a)], true);
            if (inst.error()) return;
            eval_variable(inst, idx, out);
            return;
        }
        case kNParen: ev(inst, f, nd.a, out); return;
        case kNDeref:
            ev(inst, f, nd.a, out);
            if (!inst.error()) eval_dereference(inst, out);
            return;
        case kNAddr:
            ev(inst, f, nd.a, out);
            if (!inst.error()) eval_pointer_of(inst, out);
            return;
        case kNUnary:
            ev(inst, f, nd.a, out);
            if (!inst.error()) eval_unary_numeric(inst, nd.op, out);
            return;
        case kNCall: ev_call(inst, f, nd, out); return;
        case kNOwnCall: ev_own_call(inst, f, nd, out); return;
        case kNBinary: {
            ev(inst, f, nd.a, out);
            if (inst.error()) return;
            Value rhs = empty_value();
            ev(inst, f, nd.b, rhs);
            if (inst.error()) {
                release_value(inst, rhs);
                return;
            }
            if ((out.flags & ~kVtUndef) == kVtInt && (rhs.flags & ~kVtUndef) == kVtInt) {
                // Two whole numbers (results of calls): the operator's integer form, when it
                // has one that cannot fail.
                int32_t r;
                if (int_op(binary_opcode(nd.op), out.i, rhs.i, &r)) {
                    set_int(inst, out, r);
                    return;
                }
            }
            binary_op(inst, out, rhs, nd.op);
            return;
        }
        case kNChain: ev_chain(inst, f, nd, out); return;
        case kNElem: ev_elem(inst, f, nd, out); return;
        case kNForm: ev_form(inst, f, nd, out); return;
    }
}

void ev(Instance& inst, FastLine& f, int32_t n, Value& out) {
    const FastNode& nd = f.nodes[static_cast<size_t>(n)];
    // Integer operators over integers give the same value without touching anything.
    if (nd.pure && (nd.kind == kNBinary || nd.kind == kNUnary) &&
        inst.eval_depth + static_cast<int>(nd.depth) <= kMaxEvalDepth) {
        int32_t x;
        int small = ev_small(inst, f, nd, &x);
        if (small > 0 || (small == 0 && ev_int(inst, f, n, &x))) {
            set_int(inst, out, x);
            return;
        }
    }
    if (!is_level9(nd.kind)) {
        ev_inner(inst, f, nd, out);
        return;
    }
    // The ladder's innermost level counts its nesting against the C++ stack.
    EvalDepth depth(inst);
    if (!depth.ok()) return;
    if (nd.kind == kNCall)
        ev_call(inst, f, nd, out);
    else
        ev_inner(inst, f, nd, out);
}

// Appends the parts of `s = s : a : b` to the narrow string in s without copying s.
// False (nothing done) when s or a part is not of the simple kinds.
[[gnu::always_inline]] inline bool self_append(Instance& inst, FastLine& f, int32_t idx) {
    const FastNode& chain = f.nodes[static_cast<size_t>(f.expr)];
    if (inst.eval_depth + static_cast<int>(chain.depth) > kMaxEvalDepth) return false;
    VarRecord& r = inst.vars[idx];
    if ((r.flags & ~kVtUndef) != kVtStr || !r.str) return false;
    // Every part must be a whole integer or a narrow string, read without side effects.
    char nums[16][12];
    std::string_view parts[16];
    uint32_t n = chain.count;
    if (n > 16) return false;
    uint64_t add = 0;
    for (uint32_t k = 0; k < n; ++k) {
        const FastNode& p = f.nodes[static_cast<size_t>(f.lists[chain.first + k])];
        if (p.kind == kNStr) {
            parts[k] = std::string_view(f.texts).substr(p.first, p.count);
        } else {
            int32_t v;
            if (p.kind == kNInt) {
                v = p.ival;
            } else {
                int32_t pi = var_hit(inst, f.vars[static_cast<size_t>(p.a)]);
                if (pi <= 0) return false;
                const VarRecord& pr = inst.vars[pi];
                if ((pr.flags & kPureIntMask) == kVtStr && pr.str) {
                    if (pi == idx) return false;
                    parts[k] = heap_str(inst, pr.str);
                    add += parts[k].size();
                    continue;
                }
                if ((pr.flags & kPureIntMask) != kVtInt) return false;
                v = pr.i;
            }
            parts[k] = std::string_view(nums[k], format_int_to(v, nums[k]));
        }
        add += parts[k].size();
    }
    size_t len;
    if (f.append_off == r.str && f.append_epoch == inst.heap.epoch)
        len = f.append_len;
    else
        len = std::strlen(heap_str(inst, r.str));
    // The block's room: its size less the tags, less the terminating zero.
    if (r.str < kHeapHeaderSize + kBlockOverhead || r.str >= inst.heap.top) return false;
    uint32_t b = r.str - kBlockOverhead, tag, bsize, tail;
    std::memcpy(&tag, inst.heap.base + b, 4);
    std::memcpy(&bsize, inst.heap.base + b + 4, 4);
    if (tag != kTagUsed || bsize < kMinBlock || bsize > inst.heap.top - b) return false;
    std::memcpy(&tail, inst.heap.base + b + bsize - 4, 4);
    if (tail != kTagUsed) return false;
    uint64_t room = uint64_t{bsize} - 12;
    uint64_t need = len + add + 1;
    HeapOff off = r.str;
    if (need > room) {
        // Grow by half again, so that a string built by appending is copied a few times only.
        uint64_t want = need + need / 2;
        HeapOff fresh = heap_alloc(inst, want);
        if (!fresh) fresh = heap_alloc_or_fail(inst, need);
        if (!fresh) {
            return true;
        }
        VarRecord& r2 = inst.vars[idx];
        std::memcpy(heap_ptr(inst, fresh), heap_str(inst, r2.str), len);
        heap_free(inst, r2.str);
        r2.str = fresh;
        off = fresh;
        // Parts that were strings on the heap are still where they were (only s moved).
    }
    char* dst = heap_ptr(inst, off) + len;
    for (uint32_t k = 0; k < n; ++k) {
        std::memcpy(dst, parts[k].data(), parts[k].size());
        dst += parts[k].size();
    }
    *dst = '\0';
    VarRecord& r3 = inst.vars[idx];
    r3.flags = kVtStr;
    // The text changed in place: lengths other lines remember of this block are stale.
    ++inst.heap.epoch;
    f.append_off = off;
    f.append_len = static_cast<uint32_t>(len + add);
    f.append_epoch = inst.heap.epoch;
    return true;
}

}  // namespace

void fast_eval_expression(Instance& inst, FastLine& f, int32_t e, Value& out) {
    out = empty_value();
    int32_t saved = inst.assign_allowed;
    inst.assign_allowed = 0;
    ev(inst, f, e, out);
    if (inst.error()) {
        release_value(inst, out);
        out = empty_value();
    }
    inst.assign_allowed = saved;
}

int32_t fast_var_index(Instance& inst, FastLine& f, int32_t slot) {
    return var_resolve(inst, f.vars[static_cast<size_t>(slot)]);
}

bool fast_var_rooted(const FastLine& f, int32_t e) {
    const FastNode* nd = &f.nodes[static_cast<size_t>(e)];
    while (nd->kind == kNParen) nd = &f.nodes[static_cast<size_t>(nd->a)];
    return nd->kind == kNVar;
}

bool fast_var_number(Instance& inst, FastLine& f, int32_t e, Value& out) {
    const FastNode& nd = f.nodes[static_cast<size_t>(e)];
    if (nd.kind != kNVar || inst.eval_depth + 1 > kMaxEvalDepth) return false;
    int32_t idx = var_hit(inst, f.vars[static_cast<size_t>(nd.a)]);
    if (idx <= 0) return false;
    const VarRecord& r = inst.vars[idx];
    uint32_t kind = r.flags & kPureIntMask;
    if (kind != kVtInt && kind != kVtFloat) return false;
    // What eval_variable gives for a number: the record's value, tagged with the variable.
    copy_core_fields(out, r);
    out.str = 0;
    out.wstr = 0;
    out.flags &= ~kVtUndef;
    out.source = 0;
    out.var_index = static_cast<uint16_t>(idx);
    out.frame_index = inst.cur_frame;
    return true;
}

bool fast_eval_int(Instance& inst, FastLine& f, int32_t e, int32_t* out) {
    const FastNode& nd = f.nodes[static_cast<size_t>(e)];
    if (nd.kind == kNInt) {
        *out = nd.ival;
        return true;
    }
    if (!nd.pure || inst.eval_depth + static_cast<int>(nd.depth) > kMaxEvalDepth) return false;
    int small = ev_small(inst, f, nd, out);
    if (small) return small > 0;
    return ev_int(inst, f, e, out);
}

bool fast_eval_program(const Instance& inst, const FastLine& f, int32_t* out) { return ev_program(inst, f, out); }

namespace {

void fast_assign_exact(Instance& inst, FastLine& f);
void fast_assign_other(Instance& inst, FastLine& f);

}  // namespace

// `name = expression` with an integer form: a small frame of its own.
[[gnu::noinline]] void fast_assign_whole(Instance& inst, FastLine& f) {
    int32_t x, idx;
    // A program runs here, in this frame; the target is looked up after it (neither
    // touches anything), so that fewer values are kept across the program.
    const FastVar& tv = f.vars[static_cast<size_t>(f.target)];
    if (f.self_add) {
        // The program but its last step, then that step (a whole-number target plus the
        // value, wrapping) on the target's own record.
        if (inst.eval_depth + static_cast<int>(f.prog_depth) <= kMaxEvalDepth &&
            ev_steps(inst, f, f.prog, f.prog_end - 1, &x) &&
            (tv.epoch == inst.var_epoch || var_hit_cached(inst, tv) > 0) &&
            (tv.rec->flags & kPureIntMask) == kVtInt) {
            VarRecord* r = tv.rec;
            int_op(kOpAdd, x, r->i, &x);
            release_value(inst, *r);
            r->i = x;
            r->flags = kVtInt;
            inst.assign_target = static_cast<uint32_t>(inst.cur_frame) << 16 | static_cast<uint16_t>(tv.hint);
            return;
        }
        fast_assign_exact(inst, f);
        return;
    }
    if ((f.expr_program ? ev_program(inst, f, &x) : fast_main_int(inst, f, &x)) &&
        (tv.epoch == inst.var_epoch || var_hit_cached(inst, tv) > 0) && tv.rec->flags != kVtFree) {
        VarRecord* r = tv.rec;
        idx = tv.hint;
        release_value(inst, *r);
        r->i = x;
        r->flags = kVtInt;
        inst.assign_target = static_cast<uint32_t>(inst.cur_frame) << 16 | static_cast<uint16_t>(idx);
        return;
    }
    fast_assign_exact(inst, f);
}

void fast_assign(Instance& inst, FastLine& f) {
    if (f.int_store)
        fast_assign_whole(inst, f);
    else
        fast_assign_other(inst, f);
}

namespace {

// The other assignments: appending in place, compound operators, and the exact path.
[[gnu::noinline]] void fast_assign_other(Instance& inst, FastLine& f) {
    FastVar& tv = f.vars[static_cast<size_t>(f.target)];
    int32_t idx = var_hit(inst, tv);
    if (idx > 0) {
        VarRecord* r = &inst.vars[idx];
        int32_t x, y;
        if (f.bin < 0) {
            if (f.self_append && self_append(inst, f, idx)) {
                inst.assign_target = static_cast<uint32_t>(inst.cur_frame) << 16 | static_cast<uint16_t>(idx);
                return;
            }
            if (fast_main_int(inst, f, &x)) {
                r = &inst.vars[idx];
                release_value(inst, *r);
                r->i = x;
                r->flags = kVtInt;
                inst.assign_target = static_cast<uint32_t>(inst.cur_frame) << 16 | static_cast<uint16_t>(idx);
                return;
            }
        } else if ((r->flags & kPureIntMask) == kVtInt && fast_main_int(inst, f, &y) &&
                   int_op(binary_opcode(f.bin), inst.vars[idx].i, y, &x)) {
            r = &inst.vars[idx];
            r->i = x;
            r->flags = kVtInt;
            std::memset(r->variant, 0, sizeof r->variant);
            inst.assign_target = static_cast<uint32_t>(inst.cur_frame) << 16 | static_cast<uint16_t>(idx);
            return;
        }
    }
    fast_assign_exact(inst, f);
}

// The assignment to record `idx` of frame `frame` once the target is found: the current
// value for a compound operator, the expression, the store.
void assign_found(Instance& inst, FastLine& f, uint16_t frame, int32_t idx, Value& out) {
    inst.assign_target = static_cast<uint32_t>(frame) << 16 | static_cast<uint16_t>(idx);
    Value cur = empty_value();
    if (f.bin >= 0 && !eval_fetch_var(inst, frame, idx, cur)) {
        release_value(inst, cur);
        return;
    }
    Value rhs = empty_value();
    ev(inst, f, f.expr, rhs);
    if (!inst.error() && f.kind == FastKind::kRaiseAfter) eval_raise_extra(inst, f.raise_bracket);
    if (inst.error()) {
        release_value(inst, cur);
        release_value(inst, rhs);
        return;
    }
    if (eval_assign_value(inst, cur, rhs, f.bin)) eval_store_var(inst, frame, idx, cur, true, out);
}

// The exact path, step for step as the text runs it.
[[gnu::noinline]] void fast_assign_exact(Instance& inst, FastLine& f) {
    FastVar& tv = f.vars[static_cast<size_t>(f.target)];
    int32_t idx = var_resolve(inst, tv);
    if (inst.error()) return;
    Value out = empty_value();
    int32_t saved = inst.assign_allowed;
    inst.assign_allowed = 1;
    if (idx <= 0)
        inst.fail(Err::UndefinedVariable);
    else
        assign_found(inst, f, inst.cur_frame, idx, out);
    inst.assign_allowed = saved;
    release_value(inst, out);
}

}  // namespace

// `*pointer = expression`: the pointer's variable is read, and the variable it names
// found or created, before anything on the right runs.
void fast_assign_pointer(Instance& inst, FastLine& f) {
    int32_t pidx = var_resolve(inst, f.vars[static_cast<size_t>(f.target)]);
    if (inst.error()) return;
    Value out = empty_value();
    int32_t saved = inst.assign_allowed;
    inst.assign_allowed = 1;
    uint16_t frame = 0;
    int32_t idx = -1;
    if (pidx <= 0 || !(inst.vars[pidx].flags & kVtStr))
        inst.fail(Err::NotAPointer);
    else if (resolve_var_pointer(inst, std::string(heap_str(inst, inst.vars[pidx].str)), true, &frame, &idx) &&
             idx <= 0 && !inst.error())
        inst.fail(Err::BadPointer);
    if (!inst.error() && idx > 0) assign_found(inst, f, frame, idx, out);
    inst.assign_allowed = saved;
    release_value(inst, out);
}

// `name[s1, ...] = expression`: the element found (its subscripts evaluated) before the
// assignment is known as this one, then the current value for a compound operator, the
// expression, the store.
void fast_assign_elem(Instance& inst, FastLine& f) {
    int32_t saved = inst.assign_allowed;
    inst.assign_allowed = 1;
    std::string key;
    int64_t index;
    int32_t var = -1;
    uint32_t handle = elem_locate(inst, f, f.nodes[static_cast<size_t>(f.target)], &index, key, &var);
    if (handle) {
        inst.assign_target = static_cast<uint32_t>(inst.cur_frame) << 16 | static_cast<uint16_t>(var);
        Value cur = empty_value();
        Value rhs = empty_value();
        if (f.bin >= 0 && !element_fetch(inst, handle, index, key, cur)) {
            release_value(inst, cur);
        } else {
            ev(inst, f, f.expr, rhs);
            if (!inst.error() && f.kind == FastKind::kRaiseAfter) eval_raise_extra(inst, f.raise_bracket);
            if (inst.error()) {
                release_value(inst, cur);
                release_value(inst, rhs);
            } else if (eval_assign_value(inst, cur, rhs, f.bin)) {
                element_store(inst, handle, index, key, cur);
                release_value(inst, cur);
            }
        }
    }
    inst.assign_allowed = saved;
}

void fast_expr_statement(Instance& inst, FastLine& f) {
    Value out = empty_value();
    int32_t saved = inst.assign_allowed;
    inst.assign_allowed = 1;
    ev(inst, f, f.expr, out);
    inst.assign_allowed = saved;
    release_value(inst, out);
}

// The statement as far as its expression, then the error the text raises at the token
// after it.
void fast_raise_after(Instance& inst, FastLine& f) {
    switch (f.raise_of) {
        case FastKind::kAssign: fast_assign_exact(inst, f); return;
        case FastKind::kAssignPointer: fast_assign_pointer(inst, f); return;
        case FastKind::kAssignElem: fast_assign_elem(inst, f); return;
        default:
            fast_expr_statement(inst, f);
            if (!inst.error()) eval_raise_extra(inst, f.raise_bracket);
            return;
    }
}

}  // namespace kel::interp
