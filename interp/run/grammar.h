// The expression grammar: recursive descent, one function per precedence level, written
// once over a mode `M` that says what reading a token and what each form means. The
// evaluating mode (interp/run/eval.cpp) reads the tokenizer and computes values as it
// goes; the compiling mode (interp/run/fastline.cpp) reads a cached line's tokens and
// builds the tree its walker runs. Both therefore accept the same text, in the same
// order, with the same lookahead.
//
// A mode provides, as static members over its context `M::Ctx`:
//   V, Args, Chain                   value, argument array and ":" chain types
//   empty(), drop(c, v)              a fresh value; releases one
//   err(c), type(c), kw(c), is(c, k), next(c)   the current token and reading on
//   fail(c, e), fail_info(c, e, info), paren_missing(c, id)   raising
//   BinaryDepth, PrefixDepth         guards around a binary level and the prefix level
//   the forms: int_literal, float_literal, string_literal, multiline, variable, paren,
//   ole_object, constant, special_form, host_constant, call_allowed, own_call,
//   init_args, release_args, call, prefix, binary, chain_add, chain_finish, and own_arg
//   (an argument of a builtin that reads its own list)
// The forms that end at their own token leave it current; the grammar reads past it.
#pragma once
#include <cstdint>

#include "interp/base/keywords.h"
#include "interp/base/messages.h"
#include "interp/base/token_state.h"
#include "interp/run/eval_parts.h"
#include "interp/run/ops.h"

namespace kel::interp::grammar {

// The level of the binary operator that is the current token, 0 for none.
template <class M>
int op_level(typename M::Ctx& c) {
    return M::type(c) == kTokKeyword ? eval_op_level(M::kw(c)) : 0;
}

template <class M, int Level>
bool level_has(typename M::Ctx& c) {
    return op_level<M>(c) == Level;
}

template <class M, int Level>
void binary_level(typename M::Ctx& c, typename M::V& out);

template <class M>
void level1(typename M::Ctx& c, typename M::V& out) {
    binary_level<M, 1>(c, out);
}

// The current token is the function's keyword; leaves the token after ")".
template <class M>
void call_function(typename M::Ctx& c, typename M::V& out, int id) {
    CallInfo ci;
    if (!M::call_allowed(c, id, &ci)) return;
    int required = ci.required, optional = ci.optional;
    uint64_t ptypes = ci.ptypes;
    M::next(c);
    if (M::err(c)) return;
    if (!M::is(c, Kw::LParen) && id != Kw::OleObject) {
        M::paren_missing(c, id);
        return;
    }
    if (required == kOwnArgList) {
        M::own_call(c, id, out, ptypes);
        if (M::err(c)) return;
        if (!M::is(c, Kw::RParen)) {
            M::fail_info(c, Err::WrongArgCount, Err::InfoMissingParen);
            return;
        }
        M::next(c);
        return;
    }
    int max = required + optional;
    if (max > kMaxCallArgs) {
        M::fail(c, Err::TooManyArgsDefined);
        return;
    }
    typename M::Args args;
    M::init_args(args);
    int argc = 0;
    M::next(c);
    if (M::err(c)) return;
    for (int n = 1; n <= max; ++n) {
        if (M::is(c, Kw::RParen)) {
            if (n > required) break;
            M::fail_info(c, Err::BadDelimiterInCall, Err::InfoMoreParams);
            break;
        }
        if (n > 1) {
            M::next(c);  // the separator
            if (M::err(c)) break;
        }
        level1<M>(c, args[n - 1]);
        argc = n;
        if (M::err(c)) break;
        if (M::is(c, Kw::RParen)) {
            if (n < required) M::fail_info(c, Err::BadDelimiterInCall, Err::InfoMoreParams);
            break;
        }
        if (!M::is(c, Kw::Comma)) {
            if (n < required)
                M::fail_info(c, Err::BadDelimiterInCall, Err::InfoMoreParams);
            else
                M::fail_info(c, Err::WrongArgCount, Err::InfoMissingParen);
            break;
        }
        if (n == max) break;
    }
    if (!M::err(c) && !M::is(c, Kw::RParen)) M::fail_info(c, Err::WrongArgCount, Err::InfoMissingParen);
    if (M::err(c)) {
        M::release_args(c, args, argc);
        return;
    }
    M::call(c, id, out, args, argc, ptypes);
    if (M::err(c)) return;
    M::next(c);
}

template <class M>
void primary(typename M::Ctx& c, typename M::V& out) {
    switch (M::type(c)) {
        case kTokInteger: M::int_literal(c, out); break;
        case kTokFloat: M::float_literal(c, out); break;
        case kTokString: M::string_literal(c, out); break;
        case kTokMultiline: M::multiline(c, out); break;
        case kTokVariable: M::variable(c, out); break;
        case kTokKeyword: {
            int kw = M::kw(c);
            if (kw == Kw::LParen) {
                M::next(c);
                if (M::err(c)) return;
                level1<M>(c, out);
                if (M::err(c)) return;
                if (!M::is(c, Kw::RParen)) {
                    M::fail(c, Err::UnbalancedParens);
                    return;
                }
                M::paren(c, out);
                break;
            }
            if (kw == Kw::OleObject) {
                M::ole_object(c, out);  // reads what it names
                return;
            }
            if (kw >= 0 && kw < kKeywordCount) {
                int32_t kind = keyword(kw).kind;
                if (kind == kConst) {
                    M::constant(c, out, kw);
                    break;
                }
                if ((kind & ~kKindDisabled) == kSpecial) {
                    if (kind & kKindDisabled) {
                        M::fail(c, Err::NotAvailable);
                        return;
                    }
                    M::special_form(c, out, kw);  // reads its own arguments
                    return;
                }
                if ((kind & ~kKindDisabled) == kFunc) {
                    call_function<M>(c, out, kw);
                    return;
                }
                M::fail(c, (kind & kKindDisabled) ? Err::NotAvailable : Err::IllegalSyntax);
                return;
            }
            if (kw >= kHostIdFirst && kw <= kHostIdLast && M::host_table(c)) {
                // The host's named constants (log formats and the like) are values, not calls.
                const KeywordRecord& r = M::host_table(c)[kw - kHostIdFirst];
                if ((r.kind & ~kKindDisabled) == kConst) {
                    M::host_constant(c, out, kw, r);
                    break;
                }
            }
            if ((kw >= kHostIdFirst && kw <= kHostIdLast) || (kw >= kUdfIdFirst && kw <= kUdfIdLast)) {
                call_function<M>(c, out, kw);
                return;
            }
            M::fail(c, Err::IllegalSyntax);
            return;
        }
        default: M::fail(c, Err::IllegalSyntax); return;
    }
    // A form that ended at its own token: read on.
    if (!M::err(c)) M::next(c);
}

// The prefix operators (! - + ~ & *), then a primary.
template <class M>
void level9(typename M::Ctx& c, typename M::V& out) {
    typename M::PrefixDepth depth(c);
    if (!depth.ok()) return;
    if (M::type(c) == kTokKeyword) {
        int op = M::kw(c);
        if (is_prefix_op(op)) {
            M::next(c);
            if (M::err(c)) return;
            level9<M>(c, out);
            if (M::err(c)) return;
            M::prefix(c, op, out);
            return;
        }
    }
    primary<M>(c, out);
}

// A list of expressions separated by "," up to `close` (the token before it current on
// entry, `close` current on return), each read by `read_item` and handed to `on_item` as
// soon as it is read (false stops, its error raised); another token after an item raises
// `syntax_err`. With `empty_ok` the list may be empty.
template <class M, class ReadItem, class OnItem>
bool separated_list(typename M::Ctx& c, int close, bool empty_ok, Err syntax_err, ReadItem&& read_item,
                    OnItem&& on_item) {
    M::next(c);
    if (M::err(c)) return false;
    if (empty_ok && M::is(c, close)) return true;
    for (;;) {
        typename M::V v = M::empty();
        read_item(c, v);
        if (M::err(c)) {
            M::drop(c, v);
            return false;
        }
        if (!on_item(v)) return false;
        if (M::is(c, close)) return true;
        if (!M::is(c, Kw::Comma)) {
            M::fail(c, syntax_err);
            return false;
        }
        M::next(c);
        if (M::err(c)) return false;
    }
}

// The argument list of a builtin that reads its own ("(" current on entry, ")" current on
// return), possibly empty; another token after an argument raises `syntax_err`.
template <class M, class OnArg>
bool own_arg_list(typename M::Ctx& c, Err syntax_err, OnArg&& on_arg) {
    return separated_list<M>(
        c, Kw::RParen, true, syntax_err, [](typename M::Ctx& cc, typename M::V& v) { M::own_arg(cc, v); }, on_arg);
}

// The subscripts of an element ("[" current on entry, "]" current on return); another
// token after a subscript raises ArraySyntax.
template <class M, class OnSub>
bool subscript_list(typename M::Ctx& c, OnSub&& on_sub) {
    return separated_list<M>(
        c, Kw::RBracket, false, Err::ArraySyntax, [](typename M::Ctx& cc, typename M::V& v) { level1<M>(cc, v); },
        on_sub);
}

// A run of ":" operators: each operand is evaluated and converted exactly when the
// pairwise joins would do it.
template <class M>
void concat_chain(typename M::Ctx& c, typename M::V& out) {
    typename M::Chain chain;
    while (!M::err(c) && level_has<M, 4>(c)) {
        M::next(c);
        if (M::err(c)) break;
        typename M::V rhs = M::empty();
        binary_level<M, 5>(c, rhs);
        if (M::err(c)) {
            M::drop(c, rhs);
            break;
        }
        if (!M::chain_add(c, chain, out, rhs)) break;
    }
    M::chain_finish(c, chain, out);
}

// The operators of level `Level` (8 down to 1) after their first operand `out`, which is
// complete: each right operand is read at the level below, the ":" run as one chain.
template <class M, int Level>
void level_rest(typename M::Ctx& c, typename M::V& out) {
    if constexpr (Level == 4) {
        concat_chain<M>(c, out);
    } else {
        while (!M::err(c) && level_has<M, Level>(c)) {
            int op = M::kw(c);
            if (op == Kw::Assign) {
                M::fail_info(c, Err::AssignNotLegal, Err::InfoUseEquals);
                return;
            }
            M::next(c);
            if (M::err(c)) return;
            typename M::V rhs = M::empty();
            binary_level<M, Level + 1>(c, rhs);
            if (M::err(c)) {
                M::drop(c, rhs);
                return;
            }
            M::binary(c, out, rhs, op);
        }
    }
}

// A binary level: its first operand read at the prefix level at once, then the levels
// from 8 down to `Level` that the operators after it belong to, each asked once (a level
// that has no operator there has nothing to do). Each level's operators end at one of a
// lower level, so the levels run in descending order, as a descent through all of them
// would run them.
template <class M, int Level>
void binary_level(typename M::Ctx& c, typename M::V& out) {
    if constexpr (Level == 9) {
        level9<M>(c, out);
    } else {
        typename M::BinaryDepth depth(c);
        if (!depth.ok()) return;
        level9<M>(c, out);
        for (;;) {
            if (M::err(c)) return;
            int l = op_level<M>(c);
            if (l < Level) return;
            switch (l) {
                case 1: level_rest<M, 1>(c, out); break;
                case 2: level_rest<M, 2>(c, out); break;
                case 3: level_rest<M, 3>(c, out); break;
                case 4: level_rest<M, 4>(c, out); break;
                case 5: level_rest<M, 5>(c, out); break;
                case 6: level_rest<M, 6>(c, out); break;
                case 7: level_rest<M, 7>(c, out); break;
                default: level_rest<M, 8>(c, out); break;
            }
        }
    }
}

}  // namespace kel::interp::grammar
