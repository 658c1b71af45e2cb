// The tokenizer. Token text is copied into the one per-instance buffer; only variables
// and multi-line string constants allocate.
#include "interp/run/tokenizer.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string>

#include "interp/run/exec.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/front/loader.h"
#include "interp/base/messages.h"
#include "interp/run/udf.h"
#include "interp/data/vars.h"
#include "platform/text.h"

namespace kel::interp {

namespace {

constexpr size_t kTextMax = kTokenTextSize - 1;
constexpr size_t kMultilineStep = 8192;
constexpr size_t kMultilineInfoMax = 255;
constexpr size_t kMaxSourceLine = 2048;
constexpr int kHostTableMax = 999;

// The prepared line ends at its NUL only: a substituted %@lf% is text like any other.
bool at_end(char c) { return c == '\0'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
bool is_alnum(unsigned char c) { return is_letter(c) || is_digit(c); }

// Kind of a keyword of any range, as the address-of rule sees it.
int32_t kind_of(const Instance& inst, int kw) {
    if (kw >= 0 && kw < kKeywordCount) return keyword(kw).kind;
    if (kw >= 1000 && kw <= 1998 && inst.host_table) return inst.host_table[kw - 1000].kind;
    return kFunc;
}

}  // namespace

bool address_of_at(const Instance& inst, const char* p, uint8_t prev_type, int prev_kw) {
    return *p == '&' && p[1] != '&' && prev_type == kTokKeyword && prev_kw != Kw::RParen &&
           kind_of(inst, prev_kw) != kConst;
}

namespace {

// Where a token is read into: the instance's own state, or the state of a pre-read,
// which creates no variable and raises nothing (a failure is only noted).
template <bool Quiet>
struct Lex;
template <>
struct Lex<false> {
    static constexpr bool quiet = false;
    Instance& inst;
    TokenState& state() { return inst.tok; }
    void fail(Err e) { inst.fail(e); }
};
template <>
struct Lex<true> {
    static constexpr bool quiet = true;
    Instance& inst;
    TokenState& t;
    bool failed = false;
    TokenState& state() { return t; }
    void fail(Err) { failed = true; }
};

void set_text(TokenState& t, const char* p, size_t n) {
    if (n > kTextMax) n = kTextMax;
    std::memcpy(t.text, p, n);
    t.text[n] = '\0';
    t.text_len = static_cast<uint32_t>(n);
}

template <class L>
void read_number(L& x, const char*& p) {
    TokenState& t = x.state();
    const char* s = p;
    bool dot = false, expo = false;
    size_t n = 0;
    while (true) {
        char c = p[n];
        if (is_digit(static_cast<unsigned char>(c))) {
            ++n;
        } else if (c == '.') {
            if (dot) {
                x.fail(Err::FloatTooManyDots);
                return;
            }
            bool digit_before = n > 0 && is_digit(static_cast<unsigned char>(p[n - 1]));
            bool digit_seen = false;
            for (size_t k = 0; k < n; ++k) digit_seen |= is_digit(static_cast<unsigned char>(p[k]));
            if (!is_digit(static_cast<unsigned char>(p[n + 1])) && !(digit_before || digit_seen)) {
                x.fail(Err::UnrecognizableItem);
                return;
            }
            dot = true;
            ++n;
        } else if (c == 'e' || c == 'E') {
            if (expo) {
                x.fail(Err::FloatTooManyEs);
                return;
            }
            char c1 = p[n + 1];
            bool ok = is_digit(static_cast<unsigned char>(c1)) ||
                      ((c1 == '+' || c1 == '-') && is_digit(static_cast<unsigned char>(p[n + 2])));
            if (!ok) {
                x.fail(Err::UnrecognizableItem);
                return;
            }
            expo = true;
            n += (c1 == '+' || c1 == '-') ? 2 : 1;
        } else {
            break;
        }
        if (n > kTextMax) {
            x.fail(Err::StringTooLong);
            return;
        }
    }
    set_text(t, s, n);
    p += n;
    t.type = (dot || expo) ? kTokFloat : kTokInteger;
}

template <class L>
void read_string(L& x, const char*& p) {
    char q = *p++;
    size_t n = 0;
    while (!at_end(*p)) {
        if (*p == q) {
            if (p[1] != q) {
                ++p;
                break;
            }
            ++p;  // a doubled closing quote stands for one
        }
        if (n >= kMaxStringToken) {
            x.fail(Err::StringTooLong);
            return;
        }
        x.state().text[n++] = *p++;
    }
    x.state().text[n] = '\0';
    x.state().text_len = static_cast<uint32_t>(n);
    x.state().type = kTokString;
}

// Flags of record `idx` of frame `frame`, switching tables when it is another frame's.
bool var_flags_of(Instance& inst, uint16_t frame, int32_t idx, uint32_t* flags) {
    if (idx <= 0) return false;
    FrameRef back{inst.cur_frame};
    if (frame != inst.cur_frame && !frame_switch(inst, frame, &back)) return false;
    *flags = inst.vars ? inst.vars[idx].flags : 0;
    if (frame != back.index) frame_switch(inst, back.index, nullptr);
    return true;
}

}  // namespace

// A name followed by "[" is an array access when the variable holds an array, or a
// pointer to a variable that holds one.
bool names_array(Instance& inst, const std::string& key) {
    int32_t idx = var_lookup(inst, key);
    if (idx <= 0) return false;
    const VarRecord& r = inst.vars[idx];
    if (r.flags & kVtArray) return true;
    if (!(r.flags & kVtStr)) return false;
    std::string_view s = heap_str(inst, r.str);
    if (s.size() < kVarPtrMinLen || s.substr(0, kVarPtrPrefix.size()) != kVarPtrPrefix) return false;
    uint16_t saved = inst.err_code;
    std::string text(s);
    uint16_t frame;
    int32_t target = -1;
    bool ok = resolve_var_pointer(inst, text, false, &frame, &target);
    inst.err_code = saved;
    uint32_t flags = 0;
    return ok && var_flags_of(inst, frame, target, &flags) && (flags & kVtArray);
}

namespace {

// The index of the host's table (its records up to the first without a name), made again
// when a run brings another table.
ExecState::HostKeywordIndex& host_index(const Instance& inst) {
    ExecState::HostKeywordIndex& x = inst.exec->host_index;
    if (x.table == inst.host_table) return x;
    x = ExecState::HostKeywordIndex{};
    x.table = inst.host_table;
    for (int i = 0; i < kHostTableMax; ++i) {
        const KeywordRecord& r = inst.host_table[i];
        if (r.name_len == 0) break;
        if (r.name_len > sizeof r.name) continue;
        unsigned b = static_cast<unsigned char>(lower(r.name[0])) & 31u;
        if (x.lens[b] == 0) x.first[b] = static_cast<uint16_t>(i);
        x.lens[b] |= uint64_t{1} << r.name_len;
    }
    return x;
}

int find_host_keyword(const Instance& inst, std::string_view lname) {
    if (!inst.host_table || lname.empty()) return -1;
    int from = 0;
    if (inst.exec) {
        // Most names are no host keyword: their first letter and length reject them at once.
        const ExecState::HostKeywordIndex& x = host_index(inst);
        unsigned b = static_cast<unsigned char>(lname[0]) & 31u;
        if (lname.size() >= 64 || !((x.lens[b] >> lname.size()) & 1)) return -1;
        from = x.first[b];
    }
    for (int i = from; i < kHostTableMax; ++i) {
        const KeywordRecord& r = inst.host_table[i];
        if (r.name_len == 0) break;
        if (r.name_len != lname.size() || lname.size() > sizeof r.name) continue;
        size_t k = 0;
        while (k < lname.size() && lower(r.name[k]) == lname[k]) ++k;
        if (k == lname.size()) return 1000 + i;
    }
    return -1;
}

template <class L>
void read_name(L& x, const char*& p) {
    Instance& inst = x.inst;
    TokenState& t = x.state();
    auto uc = [&](size_t k) { return static_cast<unsigned char>(p[k]); };
    // Dotted names are object access, whatever the name is.
    size_t n = 0;
    while (n <= static_cast<size_t>(kMaxKeywordSearch) &&
           (is_alnum(uc(n)) || uc(n) == '_' || (uc(n) == '@' && n == 0)))
        ++n;
    if (n <= static_cast<size_t>(kMaxKeywordSearch) && p[n] == '.') {
        size_t m = 0;
        while (is_alnum(uc(m)) || uc(m) == '_' || uc(m) == '.' || (uc(m) == '@' && m == 0)) {
            if (++m > kTextMax) {
                x.fail(Err::StringTooLong);
                return;
            }
        }
        set_text(t, p, m);
        p += m;
        t.type = kTokKeyword;
        t.kw = Kw::OleObject;
        return;
    }
    size_t len = 0;
    while (is_alnum(uc(len)) || uc(len) == '_' || uc(len) == '@') {
        if (++len > kTextMax) break;
    }
    if (len <= static_cast<size_t>(kMaxKeywordSearch)) {
        std::string key(p, len);
        fold_name(key);
        int kw = find_builtin(key);
        if (kw == Kw::Mod && p[len] == '=') {
            kw = Kw::ModAssign;
            ++len;
        }
        if (kw < 0) {
            int u = udf_find(inst, key);
            if (u >= 0) kw = kUdfBase + u;
        }
        if (kw < 0) kw = find_host_keyword(inst, key);
        if (kw >= 0) {
            set_text(t, p, len);
            p += len;
            t.type = kTokKeyword;
            t.kw = static_cast<int16_t>(kw);
            return;
        }
        const char* q = p + len;
        while (*q == ' ' || *q == '\t') ++q;
        if (*q == '[') t.volatile_token = true;
        if (*q == '[' && !t.persistent_name && names_array(inst, key)) {
            set_text(t, p, len);
            p += len;
            t.type = kTokKeyword;
            t.kw = Kw::OleObject;
            return;
        }
    }
    // A variable name.
    size_t limit = t.persistent_name ? kPersistentNameMax : kMaxVarName;
    size_t m = 0;
    while (is_alnum(uc(m)) || uc(m) == '_' || uc(m) == '@' || uc(m) == '.') {
        if (m == limit) {
            if constexpr (L::quiet) {
                x.failed = true;
            } else if (t.persistent_name) {
                inst.fail(Err::PointerError).info(message_text(Err::InfoPersistentName));
            } else {
                inst.fail(Err::VarNameTooLongTok);
            }
            return;
        }
        ++m;
    }
    std::string key(p, m);
    fold_name(key);
    p += m;
    t.type = kTokVariable;
    if (t.no_create) {
        set_text(t, key.data(), key.size());
        if constexpr (!L::quiet) name_to_scratch(inst, key);
        t.var_index = 0;
        return;
    }
    if (t.persistent_name) key = persistent_name(static_cast<uint32_t>(t.current_udf), key);
    set_text(t, key.data(), key.size());
    // A pre-read leaves the variable to be found or created where its token is read.
    if constexpr (L::quiet) return;
    FrameRef back{inst.cur_frame};
    bool switched = t.persistent_name && inst.cur_frame != 0;
    if (switched && !frame_switch(inst, 0, &back)) {
        inst.fail(Err::PointerAccess);
        return;
    }
    bool saved_define = inst.create_defined;
    inst.create_defined = t.address_of || t.define_name;
    t.var_index = var_find_or_create(inst, key);
    inst.create_defined = saved_define;
    if (switched && !frame_switch(inst, back.index, nullptr)) inst.fail(Err::VarTableAccess);
}

}  // namespace

// The code page's letters; below 0x80 they are A-Z and a-z in every code page, decided
// here without a call into the platform library (names are read a byte at a time).
bool is_letter(unsigned char c) { return c < 0x80 ? static_cast<unsigned>((c | 0x20) - 'a') < 26u : platform::is_alpha(c); }

void name_to_scratch(Instance& inst, std::string_view key) {
    if (!inst.vars) return;
    VarRecord& scratch = inst.vars[0];
    std::memset(scratch.name, 0, sizeof scratch.name);
    std::memcpy(scratch.name, key.data(), key.size());
    scratch.name[0] = static_cast<char>(scratch.name[0] | 0x80);
}

bool is_name_char(unsigned char c) { return is_alnum(c) || c == '_' || c == '@'; }

void token_begin(Instance& inst, const char* line) {
    TokenState& t = inst.tok;
    t.pos = line ? line : "";
    t.start = t.pos;
    t.type = kTokNone;
    t.kw = -1;
    t.text[0] = '\0';
    t.address_of = false;
    t.cache_next = 0;
}

namespace {

// Every token read starts so: no token yet, blanks passed over, `start` where it begins.
const char* token_start(TokenState& t) {
    t.type = kTokNone;
    t.kw = -1;
    t.text[0] = '\0';
    t.text_len = 0;
    if (!t.pos) t.pos = "";
    const char* p = t.pos;
    while (*p == ' ' || *p == '\t') ++p;
    t.start = p;
    return p;
}

template <class L>
[[gnu::always_inline]] inline void lex_token(L& x) {
    Instance& inst = x.inst;
    TokenState& t = x.state();
    uint8_t prev_type = t.type;
    int prev_kw = t.kw;
    t.var_index = -1;
    const char* p = token_start(t);
    bool next_address_of = address_of_at(inst, p, prev_type, prev_kw);

    auto finish = [&]() {
        t.pos = p;
        t.address_of = next_address_of;
        t.no_create = false;
        t.persistent_name = false;
        t.define_name = false;
    };
    unsigned char c = static_cast<unsigned char>(*p);
    if (at_end(*p) || *p == ';') {
        finish();
        return;
    }
    if (is_digit(c) || c == '.') {
        read_number(x, p);
    } else if (is_letter(c) || c == '@' || c == '_') {
        read_name(x, p);
    } else {
        int kw = match_operator(p);
        if (kw >= 0) {
            const KeywordRecord& r = keyword(kw);
            size_t n = r.name_len;
            set_text(t, p, n);
            p += n;
            t.type = kTokKeyword;
            t.kw = static_cast<int16_t>(kw);
        } else if (c == '"' || c == '\'' || c == '`') {
            read_string(x, p);
        } else if (c == '$' && p[1] == '"') {
            set_text(t, p, 2);
            p += 2;
            t.type = kTokMultiline;
        } else {
            x.fail(Err::UnrecognizableItem);
        }
    }
    finish();
}

// The instance's own reading, one function (its pre-read twin is inlined into token_preread).
[[gnu::noinline]] void read_token(Instance& inst) {
    Lex<false> x{inst};
    lex_token(x);
}

constexpr size_t kMaxCachedTokens = 256;
constexpr size_t kTextPad = 16;

bool cache_usable(Instance& inst) {
    TokenState& t = inst.tok;
    LineTokens* c = t.cache;
    if (!c || !t.pos || t.pos < t.cache_base || t.pos > t.cache_base + t.cache_len) return false;
    // The four one-shot flags sit side by side: one load tests them all.
    static_assert(offsetof(TokenState, address_of) == offsetof(TokenState, no_create) + 1 &&
                  offsetof(TokenState, persistent_name) == offsetof(TokenState, no_create) + 2 &&
                  offsetof(TokenState, define_name) == offsetof(TokenState, no_create) + 3);
    // A token after "&" (address_of) is replayed too: replay creates its variable defined.
    static_assert(std::endian::native == std::endian::little);
    uint32_t one_shot;
    std::memcpy(&one_shot, &t.no_create, sizeof one_shot);
    if (one_shot & ~uint32_t{0xFF00}) return false;
    // Read directly rather than through udf_count: this runs for every token.
    size_t udfs = inst.exec ? inst.exec->udfs.size() : 0;
    if (c->udf_count != udfs || c->host_table != inst.host_table) {
        token_cache_clear(*c);
        c->udf_count = udfs;
        c->host_table = inst.host_table;
    }
    return true;
}

// Replays a cached token exactly as read_token would have produced it.
bool replay(Instance& inst, uint16_t at) {
    TokenState& t = inst.tok;
    LineTokens& c = *t.cache;
    size_t n = c.toks.size();
    size_t i = t.cache_next;
    if (i >= n || c.toks[i].at != at) {
        for (i = 0; i < n && c.toks[i].at != at; ++i) {
        }
        if (i == n) return false;
    }
    CachedToken& k = c.toks[i];
    const char* base = t.cache_base;
    const char* p = base + k.start;
    bool next_address_of = address_of_at(inst, p, t.type, t.kw);
    if (k.type == kTokVariable) {
        int32_t idx = k.var_index;
        const char* key = c.texts.data() + k.text_off;
        bool hit = inst.vars && idx > 0 && static_cast<uint32_t>(idx) < inst.cur_count &&
                   inst.vars[idx].flags != kVtFree && std::memcmp(inst.vars[idx].name, key, k.text_len) == 0 &&
                   inst.vars[idx].name[k.text_len] == '\0';
        if (!hit) {
            bool saved_define = inst.create_defined;
            inst.create_defined = t.address_of;  // as read_name creates it
            idx = var_find_or_create(inst, std::string_view(key, k.text_len));
            inst.create_defined = saved_define;
            if (idx >= 0) k.var_index = idx;
        }
        t.var_index = idx;
    } else {
        t.var_index = -1;
    }
    const char* src = c.texts.data() + k.text_off;
    if (k.text_len < kTextPad) {
        // Most token texts are a few bytes: one fixed-size copy, the padding makes it safe.
        std::memcpy(t.text, src, kTextPad);
    } else {
        std::memcpy(t.text, src, k.text_len);
    }
    t.text[k.text_len] = '\0';
    t.type = k.type;
    t.kw = k.kw;
    t.start = p;
    t.pos = base + k.end;
    t.address_of = next_address_of;
    t.cache_next = static_cast<uint32_t>(i + 1);
    return true;
}

// Appends the token `t` just read (which asked for it at `at`) to `list` of the line
// cache `c`, whose prepared text starts at `base` (`len` bytes); false when it was not.
[[gnu::always_inline]] inline bool record_token(const TokenState& t, LineTokens& c, std::vector<CachedToken>& list, const char* base, uint32_t len,
                  uint16_t at) {
    if (list.size() >= kMaxCachedTokens) return false;
    if (t.pos < base || t.pos > base + len || t.start < base) return false;
    CachedToken k;
    k.at = at;
    k.start = static_cast<uint16_t>(t.start - base);
    k.end = static_cast<uint16_t>(t.pos - base);
    k.type = t.type;
    k.kw = t.kw;
    k.var_index = t.var_index;
    k.text_len = t.text_len;
    // The texts end in kTextPad zero bytes, so that a short text is copied in one piece.
    if (!c.texts.empty()) c.texts.resize(c.texts.size() - kTextPad);
    k.text_off = static_cast<uint32_t>(c.texts.size());
    c.texts.append(t.text, k.text_len);
    c.texts.append(kTextPad, '\0');
    list.push_back(k);
    return true;
}

void record(Instance& inst, uint16_t at, bool elem_name = false) {
    TokenState& t = inst.tok;
    LineTokens& c = *t.cache;
    if (record_token(t, c, elem_name ? c.elem_names : c.toks, t.cache_base, t.cache_len, at) && !elem_name)
        t.cache_next = static_cast<uint32_t>(c.toks.size());
}

// Kept out of line so that replaying a cached token stays a small leaf.
[[gnu::noinline]] void read_and_record(Instance& inst, uint16_t at) {
    TokenState& t = inst.tok;
    t.volatile_token = false;
    read_token(inst);
    if (inst.error()) return;
    if (!t.volatile_token)
        record(inst, at);
    else if (t.type == kTokKeyword && t.kw == Kw::OleObject)
        record(inst, at, true);
}

// A token read without creating its variable (a special form's name argument, no other
// one-shot flag) is kept for the compiler when the line's cache holds.
[[gnu::noinline]] void read_uncached(Instance& inst) {
    TokenState& t = inst.tok;
    const LineTokens* c = t.cache;
    bool name_arg = c && t.no_create && !t.address_of && !t.persistent_name && !t.define_name && t.pos &&
                    t.pos >= t.cache_base && t.pos <= t.cache_base + t.cache_len &&
                    c->udf_count == (inst.exec ? inst.exec->udfs.size() : 0) && c->host_table == inst.host_table;
    auto at = name_arg ? static_cast<uint16_t>(t.pos - t.cache_base) : uint16_t{0};
    read_token(inst);
    if (name_arg && !inst.error()) {
        // What such a name is read as may change from run to run: the latest reading holds.
        LineTokens& lc = *t.cache;
        std::erase_if(lc.name_args, [&](const CachedToken& k) { return k.at == at; });
        // Recorded as the names read as arrays' are, then moved to its own list.
        size_t kept = lc.elem_names.size();
        record(inst, at, true);
        if (lc.elem_names.size() > kept) {
            lc.name_args.push_back(lc.elem_names.back());
            lc.elem_names.pop_back();
        }
    }
}

}  // namespace

void token_cache_clear(LineTokens& c) {
    c.toks.clear();
    c.elem_names.clear();
    c.name_args.clear();
    c.texts.clear();
}

namespace {

// Is keyword `kw` a function that runs when read (a builtin's, a host's or a script's)?
bool calls_a_function(const Instance& inst, int kw) {
    if (kw >= 0 && kw < kKeywordCount) return keyword(kw).kind == kFunc;
    if (kw >= kHostIdFirst && kw <= kHostIdLast) return kind_of(inst, kw) != kConst;
    return kw >= kUdfIdFirst && kw <= kUdfIdLast;
}

// Can a call of keyword `kw` run script lines, and so define a function? A script's
// function and a host's can; of the builtins, the one that runs a script file and the
// ones that call native code, which may call back into a script's function.
bool may_run_script(const Instance& inst, int kw) {
    if (kw >= 0 && kw < kKeywordCount)
        return kw == keyword_index("call") || kw == keyword_index("dllcall") || kw == keyword_index("dllcallcdecl");
    return calls_a_function(inst, kw);
}

}  // namespace

bool token_preread(Instance& inst, bool (*first_ok)(const Instance& inst, uint8_t type, int kw)) {
    TokenState& real = inst.tok;
    if (!real.cache || !inst.exec) return false;
    LineTokens& c = *real.cache;
    const char* base = real.cache_base;
    const uint32_t len = real.cache_len;
    token_cache_clear(c);
    c.udf_count = inst.exec->udfs.size();
    c.host_table = inst.host_table;
    // A state of its own: the instance's tokenizer is left as it was.
    std::unique_ptr<TokenState>& own = inst.exec->preread_tok;
    if (!own) own = std::make_unique<TokenState>();
    TokenState& t = *own;
    t.type = kTokNone;
    t.kw = -1;
    t.text[0] = '\0';
    t.pos = base;
    t.start = base;
    t.var_index = -1;
    t.no_create = t.address_of = t.persistent_name = t.define_name = false;
    t.current_udf = real.current_udf;
    Lex<true> x{inst, t};
    // Where the special forms' name arguments come (read without creating a variable).
    enum { kPlain, kLParen, kName, kNameAfterStar } mode = kPlain;
    int form = -1;
    bool drop_comma = false;  // after a name drop reads: a comma brings another one
    bool after_then = false;
    // A name read after a call that may have run script lines is looked up only then (the
    // call may have defined a function of that name), and a name before "[" after any call
    // (the call may have changed what it holds): the reading stops before it. The
    // parentheses open, one bit each (set for a call's), and whether that call may run
    // script lines, one bit each too.
    uint64_t parens = 0, script_parens = 0;
    int depth = 0;
    bool fn_before = false, call_done = false;
    bool script_before = false, script_done = false;
    for (size_t n = 0; n <= kMaxCachedTokens; ++n) {
        auto at = static_cast<uint16_t>(t.pos - base);
        t.volatile_token = false;
        t.no_create = mode == kName || mode == kNameAfterStar;
        lex_token(x);
        if (x.failed || t.type == kTokMultiline || (n == 0 && !first_ok(inst, t.type, t.kw))) break;
        bool kw = t.type == kTokKeyword;
        if (kw && t.kw == Kw::OleObject && std::strchr(t.text, '.')) break;  // object access
        bool lparen = kw && t.kw == Kw::LParen;
        if (fn_before && !lparen) {  // a function called without "("
            call_done = true;
            script_done |= script_before;
        }
        if ((script_done && t.type == kTokVariable) || (call_done && kw && t.kw == Kw::OleObject)) return false;
        if (lparen) {
            if (depth == 64) break;
            parens = parens << 1 | (fn_before ? 1u : 0u);
            script_parens = script_parens << 1 | (script_before ? 1u : 0u);
            ++depth;
        } else if (kw && t.kw == Kw::RParen && depth > 0) {
            call_done |= (parens & 1) != 0;
            script_done |= (script_parens & 1) != 0;
            parens >>= 1;
            script_parens >>= 1;
            --depth;
        }
        fn_before = kw && calls_a_function(inst, t.kw);
        script_before = fn_before && may_run_script(inst, t.kw);
        bool ok;
        if (mode == kName || mode == kNameAfterStar) {
            // Kept as read_uncached keeps such a name.
            ok = t.type != kTokNone && record_token(t, c, c.name_args, base, len, at) && c.elem_names.size() < kMaxCachedTokens;
        } else if (!t.volatile_token) {
            ok = record_token(t, c, c.toks, base, len, at);
            // The statement after `then` or `else` is read from where it starts.
            if (ok && after_then && t.start != base + at && t.type != kTokNone)
                ok = record_token(t, c, c.toks, base, len, static_cast<uint16_t>(t.start - base));
        } else {
            // A name before "[": an array's is kept for the compiler; what any other name
            // there is depends on more than the text.
            ok = kw && t.kw == Kw::OleObject && record_token(t, c, c.elem_names, base, len, at);
        }
        if (!ok) return false;
        if (t.type == kTokNone) return true;
        after_then = kw && (t.kw == Kw::Then || t.kw == Kw::Else);
        switch (mode) {
            case kPlain:
                if (drop_comma && kw && t.kw == Kw::Comma) {
                    mode = kName;
                } else if (kw && t.kw >= 0 && t.kw < kKeywordCount && keyword(t.kw).kind == kSpecial) {
                    if (!name_arg_form(t.kw)) return false;
                    form = t.kw;
                    mode = kLParen;
                }
                drop_comma = false;
                break;
            case kLParen:
                if (!kw || t.kw != Kw::LParen) return false;
                mode = kName;
                break;
            case kName:
            case kNameAfterStar:
                if (mode == kName && kw && t.kw == Kw::Star) {
                    mode = kNameAfterStar;
                    break;
                }
                if (t.type == kTokVariable) {
                    drop_comma = form == Kw::Drop;
                } else if (!(mode == kName && kw && t.kw == Kw::OleObject && form != Kw::Drop)) {
                    return false;  // a shape the text raises an error for
                }
                mode = kPlain;
                break;
        }
    }
    return false;
}

void get_token(Instance& inst) {
    TokenState& t = inst.tok;
    if (!cache_usable(inst)) {
        read_uncached(inst);
        return;
    }
    auto at = static_cast<uint16_t>(t.pos - t.cache_base);
    if (replay(inst, at)) return;
    read_and_record(inst, at);
}

void token_cache_line(Instance& inst, LineTokens* cache, const char* line, size_t len) {
    TokenState& t = inst.tok;
    if (!cache || len > kTokenTextSize * 2) {
        t.cache = nullptr;
        return;
    }
    if (cache->line.size() != len || std::memcmp(cache->line.data(), line, len) != 0) {
        cache->line.assign(line, len);
        token_cache_clear(*cache);
        // Room for the tokens a line of this length mostly has, so that recording them
        // allocates once: a token is a few bytes, its text no longer than the line.
        cache->toks.reserve(std::min(len / 3 + 4, size_t{64}));
        cache->texts.reserve(len + kTextPad);
    }
    t.cache = cache;
    t.cache_base = line;
    t.cache_len = static_cast<uint32_t>(len);
    t.cache_next = 0;
}

void get_string_token(Instance& inst) {
    TokenState& t = inst.tok;
    const char* p = token_start(t);
    t.no_create = false;
    t.persistent_name = false;
    t.define_name = false;
    if (at_end(*p) || *p == ';') {
        t.pos = p;
        return;
    }
    size_t n = 0;
    while (is_name_char(static_cast<unsigned char>(p[n]))) {
        if (++n >= kTokenTextSize) {
            inst.fail(Err::StringTooLong);
            return;
        }
    }
    if (n == 0) {
        inst.fail(Err::UnrecognizableItem);
        return;
    }
    set_text(t, p, n);
    t.pos = p + n;
    t.type = kTokString;
}

void putback(Instance& inst) {
    TokenState& t = inst.tok;
    if (t.type == kTokNone || !t.start) return;
    t.pos = t.start;
}

void read_multiline_string(Instance& inst, Value* out) {
    TokenState& t = inst.tok;
    std::string text;
    if (out) text.reserve(kMultilineStep);
    std::string line;
    const char* p = t.pos ? t.pos : "";
    // The opening line is cut at the line limit, like every line of the source.
    size_t room = kMaxSourceLine;
    auto bad_char = [&](char c) {
        std::string info = "'";
        info += c;
        info += "'\n";
        info += message_text(Err::InfoCheckColons);
        inst.fail(Err::MultilineBadChar).info(std::string_view(info).substr(0, kMultilineInfoMax));
    };
    while (true) {
        size_t used = 0;
        while (!at_end(*p) && used < room) {
            char c = *p;
            if (c == '$' && p[1] == '"') {
                if (p[2] == '$' && p[3] == '"') {
                    if (out) text.append("$\"");
                    p += 4;
                    used += 4;
                    continue;
                }
                // The statement goes on after the closing delimiter on this line.
                std::string rest(p + 2);  // p may point into continued_line itself
                t.continued_line.swap(rest);
                t.pos = t.continued_line.c_str();
                if (out) {
                    release_value(inst, *out);
                    HeapOff off = heap_strdup_or_fail(inst, text);
                    if (!off) return;
                    out->str = off;
                    out->flags = kVtStr;
                }
                return;
            }
            if (c == ':' || c == '#') {
                if (p[1] != c) {
                    bad_char(c);
                    return;
                }
                if (out) text.push_back(c);
                p += 2;
                used += 2;
                continue;
            }
            if (out) text.push_back(c);
            ++p;
            ++used;
        }
        if (out) {
            text.push_back('\n');
            if (text.capacity() - text.size() < kMaxSourceLine) text.reserve(text.capacity() + kMultilineStep);
        }
        bool header = true;
        while (header) {
            if (!source_read_line(inst, line)) {
                inst.fail(Err::MultilineUnclosed);
                return;
            }
            // An #include or definition line inside the constant left a marker line here;
            // a decoded script's header line adds nothing.
            if (parse_marker(line, nullptr, nullptr)) {
                bad_char('#');
                return;
            }
            header = is_decoded_header(line);
        }
        p = line.c_str();
        room = kMaxSourceLine;
    }
}

}  // namespace kel::interp
