// The map functions: mapcreate from a key-value list, key tests and removal, and the
// two-column CSV files. The hash table itself is interp/data/map.h.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "interp/data/array.h"
#include "interp/data/heap.h"
#include "interp/data/map.h"
#include "interp/api/builtin.h"
#include "interp/base/messages.h"
#include "lib/csv.h"
#include "lib/strutil.h"

namespace kel::lib {

using interp::ValueCore;

namespace {

constexpr int32_t kMapMinCapacity = 64;

bool map_delimiter_ok(std::string_view d) {
    return d.size() == 1 && d[0] != '\n' && d[0] != '\r' && d[0] != ' ' && d[0] != '"';
}

void ret_map(Call& c, const ValueCore& m) {
    interp::release_value(c.inst, c.result());
    static_cast<ValueCore&>(c.result()) = m;
}

// Inserts key with a narrow-string value, or an uninitialised one when `value` is null.
bool put_entry(Instance& inst, uint32_t map, std::string_view key, const std::string* value) {
    ValueCore* slot = interp::map_find_or_insert(inst, map, key);
    if (!slot) return false;
    interp::clear_element(inst, *slot);
    if (!value) return true;
    interp::HeapOff off = interp::heap_strdup_or_fail(inst, *value);
    if (!off) return false;
    slot->flags = kVtStr;
    slot->str = off;
    return true;
}

// One field of a key-value pair being parsed.
struct PairField {
    std::string text;
    bool seen = false;    // non-blank text outside quotes
    bool quoted = false;  // a quoted part opened
    bool closed = false;  // and closed
};

}  // namespace

// mapcreate([list [, kvdelim [, pairdelim]]]): the list is read character by character
// in the instance code page, so a delimiter or quote byte inside a double-byte character
// is text.
static void mapcreate_fn(Call& c) {
    NarrowText t(c.inst);
    std::string_view list = c.opt_str(1, "");
    std::string_view kv = c.opt_str(2, ","), pd = c.opt_str(3, "\t");
    if ((!kv.empty() && !one_character(t, kv)) || (!pd.empty() && !one_character(t, pd))) {
        c.fail(Err::DelimiterNotSingle);
        return;
    }
    if (kv.empty()) kv = ",";
    if (pd.empty()) pd = "\t";
    ValueCore m;
    if (list.empty()) {
        if (interp::map_create(c.inst, m, kMapMinCapacity)) ret_map(c, m);
        return;
    }
    if (kv == pd || kv == " " || kv == "\"" || pd == " " || pd == "\"") {
        c.fail(Err::BadDelimiter);
        return;
    }
    bool tab_is_text = kv == "\t" || pd == "\t";
    auto trim = [tab_is_text](char ch) { return ch == ' ' || (ch == '\t' && !tab_is_text); };
    int64_t pairs = 0;
    {
        Items<NarrowText> it(t, list, pd);
        size_t b, e;
        while (it.next(b, e)) ++pairs;
    }
    int64_t capacity = std::max<int64_t>(kMapMinCapacity, std::min<int64_t>(pairs * 6 / 5, INT32_MAX));
    if (!interp::map_create(c.inst, m, static_cast<int32_t>(capacity))) return;

    auto fail = [&](Err code) {
        interp::array_release(c.inst, m.str);
        c.fail(code);
    };
    size_t i = 0, n = list.size();
    while (true) {
        PairField f[2];
        int field = 0;
        bool has_kv = false, in_quotes = false;
        while (i < n) {
            size_t k = t.clen(list, i);
            std::string_view ch = list.substr(i, k);
            bool quote = ch == "\"";
            PairField& cur = f[field];
            if (in_quotes) {
                if (quote) {
                    if (i + 1 < n && list[i + 1] == '"') {
                        cur.text.push_back('"');
                        i += 2;
                        continue;
                    }
                    in_quotes = false;
                    cur.closed = true;
                } else {
                    cur.text.append(ch);
                }
                i += k;
                continue;
            }
            if (ch == pd) break;
            i += k;
            bool blank = k == 1 && trim(ch[0]);
            if (ch == kv) {
                if (field == 1) return fail(Err::BadKeyValuePairs);
                field = 1;
                has_kv = true;
            } else if (cur.closed) {
                if (!blank) return fail(Err::BadKeyValuePairs);
            } else if (quote) {
                if (cur.seen) return fail(Err::BadKeyValuePairs);
                cur.quoted = in_quotes = true;
                cur.text.clear();
            } else if (blank && !cur.seen) {
                // leading blanks are not part of the field
            } else {
                cur.text.append(ch);
                cur.seen = true;
            }
        }
        if (in_quotes) return fail(Err::BadKeyValuePairs);
        for (PairField& p : f)
            if (!p.quoted)
                while (!p.text.empty() && trim(p.text.back())) p.text.pop_back();
        if (f[0].text.empty()) return fail(Err::BadKeyValuePairs);
        bool has_value = has_kv && (f[1].quoted || !f[1].text.empty());
        if (!put_entry(c.inst, m.str, f[0].text, has_value ? &f[1].text : nullptr)) {
            interp::array_release(c.inst, m.str);
            return;
        }
        if (i >= n) break;
        i += pd.size();  // the pair delimiter
    }
    ret_map(c, m);
}

// mapkeyexist(map, key)
static void mapkeyexist_fn(Call& c) {
    if (!interp::map_of(c.inst, c.arg(1))) return;
    c.ret_int(interp::map_find(c.inst, c.arg(1).str, c.str(2)) ? 1 : 0);
}

// mapkeyremove(map, key)
static void mapkeyremove_fn(Call& c) {
    if (!interp::map_of(c.inst, c.arg(1))) return;
    c.ret_int(interp::map_remove(c.inst, c.arg(1).str, c.str(2)) ? 1 : 0);
}

// mapfilegetcsv(filename [, delimiter])
static void mapfilegetcsv_fn(Call& c) {
    std::string_view delim = c.opt_str(2, ",");
    if (delim.empty()) delim = ",";
    if (!map_delimiter_ok(delim)) {
        c.fail(Err::BadDelimiter);
        return;
    }
    std::vector<std::string> lines;
    if (!interp::read_file_lines(c.inst, c.str(1), true, "", &lines)) return;
    int64_t widest = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        int64_t k = csv_count<char>(lines[i], delim[0]);
        if (k < 0) {
            c.fail(Err::BadCsvLines).info(interp::fill_message(Err::InfoBadDataLine, static_cast<long long>(i + 1)));
            return;
        }
        widest = std::max(widest, k);
    }
    int64_t capacity = std::max<int64_t>(kMapMinCapacity, static_cast<int64_t>(lines.size()) * 6 / 5);
    ValueCore m;
    if (!interp::map_create(c.inst, m, static_cast<int32_t>(std::min<int64_t>(capacity, INT32_MAX)))) return;
    std::vector<std::string> fields;
    for (const std::string& line : lines) {
        if (line.empty()) continue;  // a blank line holds no key
        csv_split<char>(line, delim[0], false, fields);
        if (fields.empty()) continue;
        std::string value = fields.size() > 1 ? fields[1] : std::string();
        if (!put_entry(c.inst, m.str, fields[0], widest >= 2 ? &value : nullptr)) {
            interp::array_release(c.inst, m.str);
            return;
        }
    }
    ret_map(c, m);
}

// mapfileputcsv(filename, map [, delimiter [, writeall [, flags]]])
static void mapfileputcsv_fn(Call& c) {
    std::string_view delim = c.opt_str(3, ",");
    if (delim.empty()) delim = ",";
    if (!map_delimiter_ok(delim)) {
        c.fail(Err::BadDelimiter);
        return;
    }
    if (!interp::map_of(c.inst, c.arg(2))) return;
    bool write_all = c.opt_integer(4, 0) != 0, bare = (c.opt_integer(5, 0) & 2) != 0;
    std::string_view term = interp::line_terminator(c.inst);
    std::string out, value;
    auto field = [&](std::string_view s) {
        if (bare) {
            out.append(s);
            return;
        }
        out.push_back('"');
        for (char ch : s) {
            if (ch == '"') out.push_back('"');
            out.push_back(ch);
        }
        out.push_back('"');
    };
    bool ok = true;
    interp::map_for_each(c.arg(2).str, [&](const interp::MapEntry& e) {
        if (e.value.flags == 0 && !write_all) return true;
        value.clear();
        if (e.value.flags != 0 && !interp::value_text(c.inst, e.value, &value)) {
            if (!c.failed()) c.fail(Err::NotAString);
            ok = false;
            return false;
        }
        field(interp::heap_str(c.inst, e.key));
        out.append(delim);
        field(value);
        out.append(term);
        return true;
    });
    if (!ok) return;
    if (!interp::write_file_replacing(c.inst, c.str(1), out)) return;
    c.ret_int(static_cast<int32_t>(std::min<size_t>(out.size(), INT32_MAX)));
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kMapBuiltins[] = {
    {"mapcreate", mapcreate_fn},
    {"mapfilegetcsv", mapfilegetcsv_fn},
    {"mapfileputcsv", mapfileputcsv_fn},
    {"mapkeyexist", mapkeyexist_fn},
    {"mapkeyremove", mapkeyremove_fn},
};

KEL_BUILTIN_FAMILY(kMapBuiltins)

}  // namespace kel::lib
