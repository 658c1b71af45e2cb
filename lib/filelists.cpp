// File lists and whole-file contents: fileitemize, diritemize, fileitempath (names of
// what a list matches), fileinfotoarray, dirinfotoarray (the same with sizes, times and
// attributes), fileget, filegetw, fileput and fileputw (a whole file in one call).
#include <string>
#include <vector>

#include "interp/data/array.h"
#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/api/services.h"
#include "lib/files.h"
#include "platform/errors.h"
#include "platform/process.h"

namespace kel::lib::files {

namespace pf = kel::platform;
using interp::ValueCore;

namespace {

enum class Kind { Files, Dirs };

struct Entry {
    std::string prefix;  // what fileitempath puts before the name
    pf::FileInfo info;
};

// The directory part a listed name is given with: the item's own directory, else the
// current directory; "/" as the separator.
std::string listing_prefix(const std::string& item) {
    size_t cut = dir_part_end(item);
    std::string dir = item.substr(0, cut);
    if (dir.empty() || (dir.size() == 2 && dir[1] == ':')) dir = pf::current_dir();
    for (char& ch : dir)
        if (ch == '\\') ch = '/';
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

// Every kept entry of every item of the list, in order (duplicates between items kept).
bool collect(Instance& inst, std::string_view list, Kind kind, bool want_prefix, std::vector<Entry>* out) {
    std::vector<std::string> items;
    if (!split_list(inst, list, &items)) return false;
    bool hidden = file_state(inst).hidden_files;
    for (const std::string& item : items) {
        if (item.size() > kMaxPath) {
            inst.fail(Err::PathTooLong);
            return false;
        }
        size_t cut = dir_part_end(item);
        std::string dir = item.substr(0, cut), pattern = item.substr(cut);
        if (pattern.empty() || has_wildcards(dir)) continue;  // names no entry
        std::vector<pf::FileInfo> found;
        if (!pf::dir_list(dir.empty() ? "." : dir.c_str(), pattern, hidden, &found)) continue;
        std::string prefix = want_prefix ? listing_prefix(item) : std::string();
        for (pf::FileInfo& e : found) {
            if (e.is_dir != (kind == Kind::Dirs)) continue;
            out->push_back({prefix, std::move(e)});
        }
    }
    return true;
}

// An empty list asks the host's `itemizenull` (or `itemizenull2`) function, when it has one.
bool itemize_null(Call& c, const char* host_fn, Kind kind) {
    Instance& inst = c.inst;
    const KeywordRecord* t = inst.host_table;
    int id = -1;
    for (int i = 0; t && i < 999 && t[i].name_len != 0; ++i)
        if (interp::keyword_name(t[i]) == host_fn) {
            id = interp::kHostIdFirst + i;
            break;
        }
    if (id < 0) return false;
    Value arg = interp::empty_value();
    arg.flags = kVtStr;
    arg.str = interp::heap_strdup_or_fail(inst, kind == Kind::Files ? "0" : "1");
    Value result = interp::empty_value();
    if (!inst.error()) interp::call_builtin(inst, id, result, &arg, 1, false, 0x1);
    interp::release_value(inst, arg);
    if (!inst.error() && !interp::to_wide(inst, result) && !inst.error()) inst.fail(Err::NotUnicode);
    if (inst.error()) {
        interp::release_value(inst, result);
        return true;
    }
    c.result() = result;
    return true;
}

void itemize(Call& c, Kind kind, bool paths) {
    std::string list = path_arg(c, 1);
    if (list.empty()) {
        if (!itemize_null(c, paths ? "itemizenull2" : "itemizenull", kind)) c.ret_wide(u"");
        return;
    }
    std::vector<Entry> entries;
    if (!collect(c.inst, list, kind, paths, &entries)) return;
    std::string text;
    char delim = file_state(c.inst).list_delimiter;
    for (const Entry& e : entries) {
        if (!text.empty()) text.push_back(delim);
        text += e.prefix;
        text += e.info.name;
    }
    c.ret_wide(interp::ansi_to_wide(text, c.inst.code_page));
}

// fileitemize(list): the names of the matching files.
void fileitemize_fn(Call& c) { itemize(c, Kind::Files, false); }
// diritemize(list): the names of the matching directories ("." and ".." never).
void diritemize_fn(Call& c) { itemize(c, Kind::Dirs, false); }
// fileitempath(list): the full paths of the matching files.
void fileitempath_fn(Call& c) { itemize(c, Kind::Files, true); }

// Stores `v` (a fresh value this function owns) into element `index` and releases it.
bool store(Instance& inst, uint32_t arr, int64_t index, ValueCore v) {
    bool ok = !inst.error() && interp::array_store(inst, arr, index, v);
    interp::release_value(inst, v);
    return ok;
}

ValueCore int_value(int32_t i) {
    ValueCore v{};
    v.flags = kVtInt;
    v.i = i;
    return v;
}

ValueCore text_value(Instance& inst, std::string_view s) {
    ValueCore v{};
    v.str = interp::heap_strdup_or_fail(inst, s);
    if (v.str) v.flags = kVtStr;
    return v;
}

ValueCore wide_value(Instance& inst, std::u16string_view s) {
    ValueCore v{};
    v.wstr = interp::heap_wstrdup(inst, s);
    if (v.wstr) v.flags = kVtWide;
    else inst.fail(Err::OutOfStringMemory);
    return v;
}

// A size: an integer below 2^31, else a float; with `as_text` decimal text.
ValueCore size_value(Instance& inst, uint64_t n, bool as_text) {
    if (as_text) return text_value(inst, std::to_string(n));
    if (n < 0x80000000ull) return int_value(static_cast<int32_t>(n));
    ValueCore v{};
    v.flags = kVtFloat;
    v.f = static_cast<double>(n);
    return v;
}

std::string attribute_letters(uint32_t a) {
    std::string s = "----";
    if (a & pf::kAttrReadOnly) s[0] = 'R';
    if (a & pf::kAttrArchive) s[1] = 'A';
    if (a & pf::kAttrSystem) s[2] = 'S';
    if (a & pf::kAttrHidden) s[3] = 'H';
    return s;
}

// Rows: a summary (count, total size, five zeros), then one per entry: name (full path
// with flags bit 1), size, write, access and creation times, attribute letters and bits.
void info_to_array(Call& c, Kind kind) {
    Instance& inst = c.inst;
    int32_t flags = c.opt_integer(2, 0);
    bool as_text = (flags & 1) != 0, full = (flags & 2) != 0;
    std::vector<Entry> entries;
    if (!collect(inst, path_arg(c, 1), kind, full, &entries)) return;
    if (entries.size() >= 0x7FFFFFFF / 7) {
        c.fail(Err::ListBufferFailed);
        return;
    }
    constexpr int kCols = 7;
    int32_t dims[interp::kMaxDims] = {static_cast<int32_t>(entries.size() + 1), kCols};
    ValueCore arr{};
    if (interp::array_create(inst, arr, dims, 0, 2) < 0) return;
    uint32_t h = arr.str;
    uint64_t total = 0;
    for (const Entry& e : entries) total += e.info.size;
    bool ok = store(inst, h, 0, int_value(static_cast<int32_t>(entries.size()))) &&
              store(inst, h, 1, size_value(inst, total, as_text));
    for (int col = 2; ok && col < kCols; ++col) ok = store(inst, h, col, int_value(0));
    for (size_t i = 0; ok && i < entries.size(); ++i) {
        const pf::FileInfo& f = entries[i].info;
        int64_t row = static_cast<int64_t>(i + 1) * kCols;
        ok = store(inst, h, row, wide_value(inst, interp::ansi_to_wide(entries[i].prefix + f.name, inst.code_page))) &&
             store(inst, h, row + 1, size_value(inst, f.size, as_text)) &&
             store(inst, h, row + 2, text_value(inst, file_time_text(inst, f.write_time))) &&
             store(inst, h, row + 3, text_value(inst, file_time_text(inst, f.access_time))) &&
             store(inst, h, row + 4, text_value(inst, file_time_text(inst, f.create_time))) &&
             store(inst, h, row + 5, text_value(inst, attribute_letters(f.attributes))) &&
             store(inst, h, row + 6, int_value(static_cast<int32_t>(f.attributes)));
    }
    if (!ok) {
        if (!inst.error()) inst.fail(Err::OutOfStringMemory);
        interp::release_value(inst, arr);
        return;
    }
    interp::release_value(inst, c.result());
    static_cast<ValueCore&>(c.result()) = arr;
}

// fileinfotoarray(list [, flags])
void fileinfotoarray_fn(Call& c) { info_to_array(c, Kind::Files); }
// dirinfotoarray(list [, flags])
void dirinfotoarray_fn(Call& c) { info_to_array(c, Kind::Dirs); }

// ---- Whole files ----

// The most a whole-file read takes: what the string heap could ever hold.
uint64_t heap_limit(const Instance& inst) {
    uint64_t r = inst.heap.reserved;
    return r ? r : (100ull << 20);
}

// Reads to end of file, whatever size was reported when it was opened: a file that
// grows or shrinks meanwhile is read as it is. 1800, 1801, or 3096 beyond the heap.
bool read_whole(Call& c, const std::string& name, std::string* data) {
    Instance& inst = c.inst;
    pf::File f = pf::file_open_shared(name.c_str(), pf::Open::Read, read_share(inst));
    if (!f.valid()) {
        c.fail(Err::FileOpenError);
        system_info(inst, "CreateFile");
        return false;
    }
    uint64_t limit = heap_limit(inst);
    int64_t size = pf::file_size(f);
    if (size > 0 && static_cast<uint64_t>(size) <= limit) data->reserve(static_cast<size_t>(size));
    char buf[32768];
    for (;;) {
        int64_t n = pf::file_read(f, buf, sizeof buf);
        if (n < 0) {
            c.fail(Err::FileReadError);
            system_info(inst, "ReadFile");
            pf::file_close(f);
            return false;
        }
        if (n == 0) break;
        if (data->size() + static_cast<uint64_t>(n) > limit) {
            pf::file_close(f);
            data->clear();
            data->shrink_to_fit();
            c.fail(Err::OutOfStringMemory);
            return false;
        }
        data->append(buf, static_cast<size_t>(n));
    }
    pf::file_close(f);
    return true;
}

// UTF-16 units of `bytes` from `from` (big-endian units swapped); an odd trailing byte
// is not a unit and is dropped.
std::u16string units(std::string_view bytes, size_t from, bool big_endian) {
    std::u16string w;
    w.reserve((bytes.size() - from) / 2);
    for (size_t i = from; i + 1 < bytes.size(); i += 2) {
        auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
        w.push_back(static_cast<char16_t>(big_endian ? (a << 8 | b) : (b << 8 | a)));
    }
    return w;
}

int mark_of(std::string_view d) {
    if (d.size() >= 2 && d[0] == '\xFF' && d[1] == '\xFE') return 1;
    if (d.size() >= 2 && d[0] == '\xFE' && d[1] == '\xFF') return 2;
    return 0;
}

template <class S, class R>
S replace_nul(const S& in, const R& repl) {
    S out;
    out.reserve(in.size());
    for (auto ch : in) {
        if (ch == 0) out.append(repl);
        else out.push_back(ch);
    }
    return out;
}

// fileget(file [, nullchar]): the file's text, NUL replaced by nullchar (or dropped).
void fileget_fn(Call& c) {
    std::string nul(c.opt_str(2, ""));
    if (nul.size() > 1) {
        c.fail(Err::BadNullChar);
        return;
    }
    std::string data;
    if (!read_whole(c, path_arg(c, 1), &data)) return;
    int mark = mark_of(data);
    if (mark) {
        std::u16string w = units(data, 2, mark == 2);
        data = interp::wide_to_ansi(w, c.inst.code_page);
    }
    if (data.find('\0') != std::string::npos) data = replace_nul(data, nul);
    c.ret_str(data);
}

// filegetw(file [, nullchar]): the file's text as UTF-16.
void filegetw_fn(Call& c) {
    std::u16string nul = c.has(2) ? std::u16string(c.wstr(2)) : std::u16string();
    if (nul.size() > 1) {
        c.fail(Err::BadNullChar);
        return;
    }
    std::string data;
    if (!read_whole(c, path_arg(c, 1), &data)) return;
    int mark = mark_of(data);
    std::u16string w = mark ? units(data, 2, mark == 2) : interp::ansi_to_wide(data, c.inst.code_page);
    data.clear();
    data.shrink_to_fit();
    if (w.find(u'\0') != std::u16string::npos) w = replace_nul(w, nul);
    c.ret_wide(w);
}

bool write_whole(Call& c, const std::string& name, std::string_view bytes) {
    pf::File f = pf::file_open_shared(name.c_str(), pf::Open::WriteTruncate, write_share(c.inst));
    if (!f.valid()) {
        c.fail(Err::FileOpenError);
        system_info(c.inst, "CreateFile");
        return false;
    }
    bool ok = bytes.empty() || pf::file_write(f, bytes.data(), bytes.size());
    if (!ok) system_info(c.inst, "WriteFile");
    if (!pf::file_close(f) && ok) {
        system_info(c.inst, "CloseHandle");
        ok = false;
    }
    if (!ok) c.fail(Err::FileWriteError);
    return ok;
}

// fileput(file, text): the number of bytes written.
void fileput_fn(Call& c) {
    std::string_view text = c.str(2);
    if (!write_whole(c, path_arg(c, 1), text)) return;
    c.ret_int(static_cast<int32_t>(text.size()));
}

// fileputw(file, text): FF FE and the text as UTF-16 little-endian; bytes written.
void fileputw_fn(Call& c) {
    std::u16string_view w = c.wstr(2);
    std::string bytes("\xFF\xFE", 2);
    bytes.reserve(2 + 2 * w.size());
    for (char16_t u : w) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    if (!write_whole(c, path_arg(c, 1), bytes)) return;
    c.ret_int(static_cast<int32_t>(bytes.size()));
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kFileListBuiltins[] = {
    {"fileitemize", fileitemize_fn},
    {"diritemize", diritemize_fn},
    {"fileitempath", fileitempath_fn},
    {"fileinfotoarray", fileinfotoarray_fn},
    {"dirinfotoarray", dirinfotoarray_fn},
    {"fileget", fileget_fn},
    {"filegetw", filegetw_fn},
    {"fileput", fileput_fn},
    {"fileputw", fileputw_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kFileListBuiltins)

}  // namespace kel::lib::files
