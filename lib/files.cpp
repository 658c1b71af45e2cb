// The file family: the open-file table (FileOpen, FileRead, FileWrite, FileClose), the
// whole-file operations over file lists (copy, move, append, rename, delete, size,
// existence) and directories (DirMake, DirRemove, DirRename).
#include "lib/files.h"

#include <algorithm>
#include <cstring>

#include "interp/data/convert.h"
#include "interp/api/library.h"
#include "interp/api/services.h"
#include "interp/base/messages.h"
#include "platform/errors.h"
#include "platform/msgq.h"
#include "platform/process.h"

namespace kel::lib::files {

namespace pf = kel::platform;

FileState& file_state(Instance& inst) {
    if (!inst.files) inst.files = std::make_shared<FileState>();
    return *inst.files;
}

std::string path_arg(Call& c, int n) {
    Value& v = c.arg(n);
    if (v.flags & kVtStr) return std::string(c.str(n));
    if (v.flags & kVtWide) return interp::wide_to_ansi(c.wstr(n), c.inst.code_page);
    return std::string();
}

int read_share(Instance& inst) { return interp::script_state(inst).share_read; }
int write_share(Instance& inst) { return interp::script_state(inst).share_write; }

void system_info(Instance& inst, std::string_view op) {
    uint32_t code = pf::last_error();
    std::string text(op);
    text += ": ";
    text += pf::error_text(code);
    inst.info(text);
}

bool background_mode(const Instance& inst) { return inst.html_log != 0; }

bool split_list(Instance& inst, std::string_view list, std::vector<std::string>* items) {
    items->clear();
    char delim = file_state(inst).list_delimiter;
    size_t start = 0;
    for (size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size() && list[i] != '\t' && list[i] != '|' && list[i] != delim) continue;
        if (i > start) {
            if (i - start > kMaxListItem) {
                inst.fail(Err::UnrecognizableItem).info(interp::fill_message(Err::InfoListItemTooLong, static_cast<long long>(kMaxListItem)));
                return false;
            }
            items->emplace_back(list.substr(start, i - start));
        }
        start = i + 1;
    }
    return true;
}

size_t dir_part_end(std::string_view path) {
    size_t skip = 0;
    if (path.size() >= 8 && (path.substr(0, 8) == "\\\\?\\UNC\\" || path.substr(0, 8) == "//?/UNC/")) skip = 8;
    else if (path.size() >= 4 && (path.substr(0, 4) == "\\\\?\\" || path.substr(0, 4) == "//?/")) skip = 4;
    size_t end = skip;
    size_t sep = path.find_last_of("/\\");
    if (sep != std::string_view::npos && sep + 1 > end) end = sep + 1;
    if (path.size() >= skip + 2 && path[skip + 1] == ':' && end < skip + 2) end = skip + 2;
    return end;
}

bool walk_files(Instance& inst, std::string_view list, bool allow_wild, bool empty_ok, Missing missing,
                const std::function<bool(const std::string& path)>& step) {
    std::vector<std::string> items;
    if (!split_list(inst, list, &items)) return false;
    FileState& fs = file_state(inst);
    for (const std::string& item : items) {
        size_t cut = dir_part_end(item);
        std::string name = item.substr(cut);
        if (!has_wildcards(name)) {
            if (missing == Missing::Skip) {
                pf::FileInfo info;
                if (!pf::file_info(item.c_str(), &info)) continue;
            }
            if (!step(item)) return false;
            continue;
        }
        if (!allow_wild) {
            inst.fail(Err::NoWildcards);
            return false;
        }
        std::string dir = item.substr(0, cut);
        std::vector<pf::FileInfo> found;
        if (!has_wildcards(dir)) pf::dir_list(dir.empty() ? "." : dir.c_str(), name, fs.hidden_files, &found);
        int matched = 0;
        for (const pf::FileInfo& e : found) {
            if (e.is_dir) continue;
            ++matched;
            if (!step(dir + e.name)) return false;
        }
        if (matched == 0 && !empty_ok) {
            inst.fail(Err::NoFileMatch).info(item);
            return false;
        }
    }
    return true;
}

Destination destination(std::string_view dest) {
    std::string d(dest);
    size_t cut = dir_part_end(d);
    if (!has_wildcards(d.substr(cut))) {
        if (!d.empty() && (d.back() == '\\' || d.back() == '/' || d.back() == ':')) d += "*.*";
        else if (!d.empty() && pf::dir_exists(d.c_str())) d += "/*.*";
        cut = dir_part_end(d);
    }
    return {d.substr(0, cut), d.substr(cut)};
}

namespace {

std::string map_part(std::string_view src, std::string_view mask) {
    std::string out;
    for (size_t i = 0; i < mask.size(); ++i) {
        char m = mask[i];
        if (m == '*') {
            if (i < src.size()) out.append(src.substr(i));
            // What follows a star in the mask is taken literally.
            for (size_t k = i + 1; k < mask.size(); ++k)
                if (mask[k] != '*' && mask[k] != '?') out.push_back(mask[k]);
            return out;
        }
        if (m == '?') {
            if (i < src.size()) out.push_back(src[i]);
        } else {
            out.push_back(m);
        }
    }
    return out;
}

}  // namespace

std::string map_name(std::string_view source_name, std::string_view mask) {
    size_t mdot = mask.rfind('.');
    if (mdot == std::string_view::npos) return map_part(source_name, mask);
    size_t sdot = source_name.rfind('.');
    std::string_view sname = sdot == std::string_view::npos ? source_name : source_name.substr(0, sdot);
    std::string_view sext = sdot == std::string_view::npos ? std::string_view() : source_name.substr(sdot + 1);
    std::string name = map_part(sname, mask.substr(0, mdot));
    std::string ext = map_part(sext, mask.substr(mdot + 1));
    return ext.empty() ? name : name + "." + ext;
}

namespace {

// ---- The open-file table ----

FileSlot* find_slot(Instance& inst, int32_t handle) {
    if (handle <= 0) return nullptr;
    FileState& fs = file_state(inst);
    for (FileSlot& s : fs.slots)
        if (s.fd == handle) return &s;
    return nullptr;
}

// Sleeps ms milliseconds serving messages; false when the script was cancelled meanwhile.
bool retry_wait(Instance& inst, int64_t ms) {
    uint64_t until = pf::tick_count64() + static_cast<uint64_t>(ms);
    for (;;) {
        pf::pump_messages();
        if (inst.stop_requested) return false;
        uint64_t now = pf::tick_count64();
        if (now >= until) return true;
        pf::wait_for_event(static_cast<int64_t>(until - now));
    }
}

// Opens with the retry rule of the time-out t: 0 none, -1 once a second for ever, 1 to 19
// twenty retries t*1000/20 ms apart, 20 or more t retries a second apart. Only a sharing
// violation is retried.
pf::File open_retrying(Instance& inst, const std::string& name, pf::Open how, int share, int32_t t) {
    int64_t retries = t < 0 ? -1 : t == 0 ? 0 : t < 20 ? 20 : t;
    int64_t gap = t > 0 && t < 20 ? t * 1000 / 20 : 1000;
    for (int64_t n = 0;; ++n) {
        pf::File f = pf::file_open_shared(name.c_str(), how, share);
        if (f.valid() || pf::last_error() != 32) return f;
        if (retries >= 0 && n >= retries) return f;
        if (!retry_wait(inst, gap)) {
            pf::set_last_error(32);
            return f;
        }
    }
}

// FileOpen(name, mode [, unicode [, time-out]])
void fileopen_fn(Call& c) {
    Instance& inst = c.inst;
    FileState& fs = file_state(inst);
    FileSlot* slot = nullptr;
    for (FileSlot& s : fs.slots)
        if (s.fd == 0) {
            slot = &s;
            break;
        }
    if (!slot) {
        c.fail(Err::TooManyOpenFiles);
        return;
    }
    std::string mode(c.str(2));
    for (char& ch : mode)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    pf::Open how;
    int share;
    if (mode == "READ") {
        how = pf::Open::Read;
        share = read_share(inst);
    } else if (mode == "WRITE") {
        how = pf::Open::WriteTruncate;
        share = write_share(inst);
    } else if (mode == "APPEND") {
        how = pf::Open::Append;
        share = write_share(inst);
    } else {
        c.fail(Err::FileOpenBadMode);
        return;
    }
    bool unicode = c.opt_integer(3, 0) != 0;
    std::string name = path_arg(c, 1);
    pf::File f = open_retrying(inst, name, how, share, c.opt_integer(4, 0));
    if (!f.valid()) {
        c.fail(Err::FileOpenFailed);
        system_info(inst, "CreateFile");
        return;
    }
    int encoding = 0;
    if (how != pf::Open::WriteTruncate) {
        unsigned char mark[2] = {0, 0};
        if (pf::file_read_at(f, mark, 2, 0) == 2) {
            if (mark[0] == 0xFF && mark[1] == 0xFE) encoding = 1;
            else if (mark[0] == 0xFE && mark[1] == 0xFF) encoding = 2;
        }
        if (how == pf::Open::Read && encoding != 0) pf::file_seek(f, 2);
    } else if (unicode) {
        encoding = 1;
    }
    *slot = FileSlot{};
    slot->fd = f.fd;
    slot->mode = how == pf::Open::Read ? kModeRead : kModeWrite;
    slot->encoding = encoding;
    slot->unicode_result = how == pf::Open::Read && unicode;
    c.ret_int(f.fd);
}

constexpr size_t kMaxLine = 1279;
constexpr size_t kReadAhead = 65536;

// The next byte of the file, -1 at its end (or when it cannot be read).
int next_byte(FileSlot& s) {
    if (s.pos >= s.buf.size()) {
        s.buf.resize(kReadAhead);
        int64_t n = pf::file_read(pf::File{s.fd}, s.buf.data(), s.buf.size());
        s.buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        s.pos = 0;
        if (n <= 0) return -1;
    }
    return static_cast<unsigned char>(s.buf[s.pos++]);
}

// The next 16-bit unit; -1 at the end. An odd trailing byte ends the file.
int next_unit(FileSlot& s) {
    int a = next_byte(s);
    if (a < 0) return -1;
    int b = next_byte(s);
    if (b < 0) return -1;
    return s.encoding == 2 ? (a << 8 | b) : (b << 8 | a);
}

// FileRead(handle): the next line, or "*EOF*" once.
void fileread_fn(Call& c) {
    FileSlot* s = find_slot(c.inst, c.integer(1));
    if (!s) {
        c.fail(Err::FileReadNotOpen);
        return;
    }
    if (!(s->mode & kModeRead)) {
        c.fail(Err::FileReadNotForReading);
        return;
    }
    if (s->mode & kModeEofReported) {
        c.fail(Err::ReadPastEnd);
        return;
    }
    auto eof = [&] {
        s->mode |= kModeEofSeen | kModeEofReported;
        if (s->unicode_result) c.ret_wide(u"*EOF*");
        else c.ret_str("*EOF*");
    };
    if (s->mode & kModeEofSeen) {
        eof();
        return;
    }
    bool wide = s->encoding != 0;
    std::string line;
    std::u16string wline;
    size_t count = 0;
    for (;;) {
        int u = wide ? next_unit(*s) : next_byte(*s);
        if (u < 0 || u == 26) {
            s->mode |= kModeEofSeen;
            if (count == 0) {
                eof();
                return;
            }
            break;
        }
        if (u == 0 || u == '\r') continue;
        if (u == '\n') break;
        if (++count > kMaxLine) {
            c.fail(Err::LineTooLong).info(interp::fill_message(Err::InfoLineLimit, static_cast<long long>(kMaxLine)));
            return;
        }
        if (wide) wline.push_back(static_cast<char16_t>(u));
        else line.push_back(static_cast<char>(u));
    }
    uint32_t cp = c.inst.code_page;
    if (wide) {
        if (s->unicode_result) c.ret_wide(wline);
        else c.ret_str(interp::wide_to_ansi(wline, cp));
    } else {
        if (s->unicode_result) c.ret_wide(interp::ansi_to_wide(line, cp));
        else c.ret_str(line);
    }
}

// FileWrite(handle, text): the text and the line terminator.
void filewrite_fn(Call& c) {
    FileSlot* s = find_slot(c.inst, c.integer(1));
    if (!s || !(s->mode & kModeWrite)) {
        c.fail(Err::FileWriteNotForWriting);
        return;
    }
    pf::File f{s->fd};
    static constexpr std::string_view kTerms[] = {"", "\r\n", "\n", "\r", "\t"};
    int32_t t = c.inst.file_line_term;
    std::string_view term = kTerms[t >= 0 && t <= 4 ? t : 1];
    std::string out;
    if (s->encoding == 0) {
        out.assign(c.str(2));
        out.append(term);
    } else {
        std::u16string w = c.is_wide(2) ? std::u16string(c.wstr(2)) : interp::ansi_to_wide(c.str(2), c.inst.code_page);
        for (char ch : term) w.push_back(static_cast<char16_t>(ch));
        // The mark opens an empty file only: an append to a UTF-16 file never puts a
        // second mark in the middle of it.
        if (!(s->mode & kModeWritten) && pf::file_size(f) == 0) out.append("\xFF\xFE", 2);
        // A file that opened with FE FF is big-endian: its appended lines keep that order,
        // so the file does not end up with two byte orders in it.
        bool big = s->encoding == 2;
        for (char16_t u : w) {
            char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
            out.push_back(big ? hi : lo);
            out.push_back(big ? lo : hi);
        }
    }
    if (!out.empty() && !pf::file_write(f, out.data(), out.size())) {
        c.fail(Err::FileWriteFailed);
        system_info(c.inst, "WriteFile");
        return;
    }
    s->mode |= kModeWritten;
    c.ret_int(1);
}

// FileClose(handle)
}  // namespace

void files_release_all(Instance& inst) {
    if (!inst.files) return;
    for (FileSlot& s : inst.files->slots) {
        if (!s.fd) continue;
        pf::File f{s.fd};
        s = FileSlot{};
        pf::file_close(f);
    }
}

namespace {

void fileclose_fn(Call& c) {
    FileSlot* s = find_slot(c.inst, c.integer(1));
    if (!s) {
        c.fail(Err::FileCloseNotOpen);
        return;
    }
    pf::File f{s->fd};
    *s = FileSlot{};
    pf::file_close(f);
    c.ret_int(0);
}

// ---- Whole-file operations ----

// The free space on the target's file system is at least `need` (true when it cannot
// be asked: the copy itself then reports what fails).
bool room_for(const std::string& target_dir, uint64_t need) {
    uint64_t free_bytes = 0;
    if (!pf::disk_space(target_dir.empty() ? "." : target_dir.c_str(), &free_bytes, nullptr)) return true;
    return free_bytes >= need;
}

std::string base_of(const std::string& path) { return path.substr(dir_part_end(path)); }

constexpr size_t kMaxAttributes = 8;

// Attribute strings: "R" sets read-only and "r" clears it; the archive, system and
// hidden letters are accepted and have no effect here.
bool apply_attributes(Instance& inst, const std::string& target, std::string_view attrs, Err err) {
    pf::FileInfo info;
    if (!pf::file_info(target.c_str(), &info)) return true;
    uint32_t a = info.attributes;
    for (char ch : attrs) {
        if (ch == 'R') a |= pf::kAttrReadOnly;
        else if (ch == 'r') a &= ~pf::kAttrReadOnly;
    }
    if (a != info.attributes && !pf::file_set_attributes(target.c_str(), a)) {
        inst.fail(err);
        system_info(inst, "SetFileAttributes");
        return false;
    }
    return true;
}

enum class Op { Copy, Move };

// The overwrite question (warning flag set): refused in background mode; otherwise the
// desktop's question, which here answers "overwrite" as the fixed reply does.
bool may_overwrite(Instance& inst, const std::string& target) {
    if (!pf::file_exists(target.c_str())) return true;
    std::string q = "Overwrite " + target + "?";
    int answer = pf::message_box(q.c_str(), "File exists", pf::kMbYesNoCancel);
    if (answer == pf::kIdCancel) {
        inst.fail(Err::ShownUserEnded);
        return false;
    }
    return answer != pf::kIdNo;
}

void copy_or_move(Call& c, Op op, const char* attrs) {
    Instance& inst = c.inst;
    bool warn = c.integer(3) != 0;
    if (warn && background_mode(inst)) {
        c.fail(Err::WarningInBackground);
        return;
    }
    const Err e_missing = op == Op::Copy ? Err::FileCopyFromOpenFailed : Err::FileMoveFromOpenFailed;
    const Err e_room = op == Op::Copy ? Err::FileCopyNoSpace : Err::FileMoveNoSpace;
    const Err e_fail = op == Op::Copy ? Err::FileCopyFailed : Err::FileMoveFailed;
    if (attrs && std::strlen(attrs) > kMaxAttributes) {
        c.fail(e_fail).info(interp::fill_message(Err::InfoAttributeLength, static_cast<long long>(kMaxAttributes)));
        return;
    }
    Destination dest = destination(c.str(2));
    bool ok = walk_files(inst, c.str(1), true, false, Missing::Report, [&](const std::string& src) {
        pf::FileInfo info;
        if (!pf::file_info(src.c_str(), &info) || info.is_dir) {
            inst.fail(e_missing).info(src);
            return false;
        }
        std::string target = dest.dir + map_name(base_of(src), dest.mask);
        if (warn && !may_overwrite(inst, target)) return !inst.error();
        bool same = pf::same_file(src.c_str(), target.c_str());
        if (op == Op::Copy && same) {
            // Copying a file onto itself would truncate it before it is read.
            pf::set_last_error(32);
            inst.fail(e_fail);
            system_info(inst, "CopyFile");
            return false;
        }
        if (!same && !room_for(dest.dir, info.size)) {
            inst.fail(e_room).info(target);
            return false;
        }
        bool done = op == Op::Copy ? pf::file_copy(src.c_str(), target.c_str()) : pf::file_move(src.c_str(), target.c_str());
        if (!done) {
            inst.fail(e_fail);
            system_info(inst, op == Op::Copy ? "CopyFile" : "FileMove");
            return false;
        }
        return !attrs || apply_attributes(inst, target, attrs, e_fail);
    });
    if (ok) c.ret_int(1);
}

// FileCopy(sources, destination, warning)
void filecopy_fn(Call& c) { copy_or_move(c, Op::Copy, nullptr); }
// FileMove(sources, destination, warning)
void filemove_fn(Call& c) { copy_or_move(c, Op::Move, nullptr); }
// filecopyattr(sources, destination, warning, attributes)
void filecopyattr_fn(Call& c) {
    std::string a(c.str(4));
    copy_or_move(c, Op::Copy, a.c_str());
}
// filemoveattr(sources, destination, warning, attributes)
void filemoveattr_fn(Call& c) {
    std::string a(c.str(4));
    copy_or_move(c, Op::Move, a.c_str());
}

// Copies the whole of `in` to the end of `out`; false on a read or write failure.
bool append_data(pf::File in, pf::File out) {
    std::vector<char> buf(28672);
    for (;;) {
        int64_t n = pf::file_read(in, buf.data(), buf.size());
        if (n < 0) return false;
        if (n == 0) return true;
        if (!pf::file_write(out, buf.data(), static_cast<size_t>(n))) return false;
    }
}

// FileAppend(sources, destination)
void fileappend_fn(Call& c) {
    Instance& inst = c.inst;
    Destination dest = destination(c.str(2));
    bool ok = walk_files(inst, c.str(1), true, false, Missing::Report, [&](const std::string& src) {
        pf::FileInfo info;
        if (!pf::file_info(src.c_str(), &info) || info.is_dir) {
            inst.fail(Err::FileAppendFromOpenFailed).info(src);
            return false;
        }
        std::string target = dest.dir + map_name(base_of(src), dest.mask);
        if (pf::same_file(src.c_str(), target.c_str())) {
            // A file appended to itself never reaches its end and fills the disk.
            inst.fail(Err::FileAppendIOError).info(interp::fill_message(Err::InfoAppendToItself, src));
            return false;
        }
        if (!room_for(dest.dir, info.size)) {
            inst.fail(Err::FileAppendNoSpace).info(target);
            return false;
        }
        pf::File in = pf::file_open_shared(src.c_str(), pf::Open::Read, pf::kShareReadWrite);
        if (!in.valid()) {
            inst.fail(Err::FileAppendFromOpenFailed);
            system_info(inst, "CreateFile");
            return false;
        }
        pf::File out = pf::file_open_shared(target.c_str(), pf::Open::Append, pf::kShareNone);
        if (!out.valid()) {
            inst.fail(Err::FileAppendToOpenFailed);
            system_info(inst, "CreateFile");
            pf::file_close(in);
            return false;
        }
        bool copied = append_data(in, out);
        if (!copied) {
            inst.fail(Err::FileAppendIOError);
            system_info(inst, "WriteFile");
        }
        pf::file_close(in);
        if (!pf::file_close(out) && copied) {
            inst.fail(Err::FileAppendIOError);
            system_info(inst, "WriteFile");
            copied = false;
        }
        return copied;
    });
    if (ok) c.ret_int(1);
}

// FileRename(sources, destination)
void filerename_fn(Call& c) {
    Instance& inst = c.inst;
    Destination dest = destination(c.str(2));
    bool ok = walk_files(inst, c.str(1), true, false, Missing::Report, [&](const std::string& src) {
        std::string target = dest.dir + map_name(base_of(src), dest.mask);
        if (!pf::file_move(src.c_str(), target.c_str())) {
            inst.fail(Err::FileRenameFailed);
            system_info(inst, "FileRename");
            return false;
        }
        return true;
    });
    if (ok) c.ret_int(1);
}

// FileDelete(list)
void filedelete_fn(Call& c) {
    Instance& inst = c.inst;
    bool ok = walk_files(inst, c.str(1), true, true, Missing::Skip, [&](const std::string& path) {
        if (pf::file_delete(path.c_str())) return true;
        uint32_t err = pf::last_error();
        pf::FileInfo info;
        if (pf::file_info(path.c_str(), &info)) {
            pf::set_last_error(err);
            inst.fail(Err::FileDeleteFailed);
            system_info(inst, "FileDelete");
        } else {
            inst.fail(Err::FileDeleteNotFound).info(path);
        }
        return false;
    });
    if (ok) c.ret_int(1);
}

// fileexist(name): 0 not found, 1 found, 2 found but in use. "/" is a separator here.
// A directory is not a file: it counts as not found (direxist tells directories).
void fileexist_fn(Call& c) {
    std::string name = path_arg(c, 1);
    if (name.empty() || pf::dir_exists(name.c_str())) {
        c.ret_int(0);
        return;
    }
    std::string path = name;
    if (dir_part_end(name) == 0 && !pf::file_exists(name.c_str())) {
        std::string found = pf::search_path(name.c_str());
        if (!found.empty()) path = found;
    }
    pf::File f = pf::file_open_shared(path.c_str(), pf::Open::Read, pf::kShareReadWrite);
    if (f.valid()) {
        pf::file_close(f);
        c.ret_int(1);
        return;
    }
    c.ret_int(pf::last_error() == 32 ? 2 : 0);
}

// FileSize(list [, format]): the total in 64 bits; format 1 gives decimal text.
void filesize_fn(Call& c) {
    uint64_t total = 0;
    bool ok = walk_files(c.inst, c.str(1), true, true, Missing::Skip, [&](const std::string& path) {
        pf::FileInfo info;
        if (!pf::file_info(path.c_str(), &info)) {
            c.inst.fail(Err::NoFileMatch).info(path);
            return false;
        }
        total += info.size;
        return true;
    });
    if (!ok) return;
    if (c.opt_integer(2, 0) == 1) c.ret_str(std::to_string(total));
    else if (total <= 0x7FFFFFFFu) c.ret_int(static_cast<int32_t>(total));
    else c.ret_float(static_cast<double>(total));
}

// ---- Directories ----

std::string without_trailing_separator(std::string p) {
    while (p.size() > 1 && (p.back() == '/' || p.back() == '\\') && !(p.size() == 3 && p[1] == ':')) p.pop_back();
    return p;
}

// Creates every missing directory along `path`; a doubled separator stops it.
bool make_chain(const std::string& path) {
    std::string p = without_trailing_separator(path);
    auto sep = [](char ch) { return ch == '/' || ch == '\\'; };
    for (size_t i = 0; i <= p.size(); ++i) {
        if (i < p.size() && !sep(p[i])) continue;
        std::string level = p.substr(0, i);
        if (level.empty() || (level.size() == 2 && level[1] == ':')) continue;
        if (i + 1 < p.size() && sep(p[i + 1])) return pf::dir_exists(p.c_str());
        if (!pf::dir_exists(level.c_str()) && !pf::dir_make(level.c_str()) && !pf::dir_exists(level.c_str()))
            return false;
    }
    return !p.empty();
}

// DirMake(list)
void dirmake_fn(Call& c) {
    Instance& inst = c.inst;
    std::vector<std::string> items;
    if (!split_list(inst, c.str(1), &items)) return;
    for (const std::string& item : items) {
        if (has_wildcards(item.substr(dir_part_end(item)))) {
            c.fail(Err::NoWildcards);
            return;
        }
        if (item.size() > kMaxPath) {
            c.fail(Err::PathTooLong);
            return;
        }
        if (!make_chain(item)) {
            c.fail(Err::DirMakeFailed);
            system_info(inst, "CreateDirectory");
            return;
        }
    }
    c.ret_int(1);
}

// DirRemove(list)
void dirremove_fn(Call& c) {
    Instance& inst = c.inst;
    std::vector<std::string> items;
    if (!split_list(inst, c.str(1), &items)) return;
    for (const std::string& raw : items) {
        if (has_wildcards(raw.substr(dir_part_end(raw)))) {
            c.fail(Err::NoWildcards);
            return;
        }
        std::string item = without_trailing_separator(raw);
        pf::FileInfo info;
        if (!pf::file_info(item.c_str(), &info)) continue;  // missing: nothing to remove
        if (!pf::dir_remove(item.c_str())) {
            c.fail(Err::DirRemoveFailed);
            system_info(inst, "DirRemove");
            return;
        }
    }
    c.ret_int(1);
}

// DirRename(old, new)
void dirrename_fn(Call& c) {
    std::string from(c.str(1)), to(c.str(2));
    if (from.find('\t') != std::string::npos) {
        c.fail(Err::DirRenameFromBad);
        return;
    }
    if (to.find('\t') != std::string::npos) {
        c.fail(Err::DirRenameToBad);
        return;
    }
    auto drive = [](const std::string& p) { return p.size() >= 2 && p[1] == ':' ? static_cast<char>(p[0] | 0x20) : 0; };
    if (drive(from) && drive(to) && drive(from) != drive(to)) {
        c.fail(Err::FileRenameRenameFailed).info(interp::message_text(Err::InfoDrivesDiffer));
        return;
    }
    if (!pf::dir_exists(from.c_str()) || !pf::dir_rename(from.c_str(), to.c_str())) {
        if (!pf::dir_exists(from.c_str())) pf::set_last_error(3);
        c.fail(Err::FileRenameRenameFailed);
        system_info(c.inst, "DirRename");
        return;
    }
    c.ret_int(1);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kFileBuiltins[] = {
    {"fileopen", fileopen_fn},
    {"fileread", fileread_fn},
    {"filewrite", filewrite_fn},
    {"fileclose", fileclose_fn},
    {"filecopy", filecopy_fn},
    {"filemove", filemove_fn},
    {"filecopyattr", filecopyattr_fn},
    {"filemoveattr", filemoveattr_fn},
    {"fileappend", fileappend_fn},
    {"filerename", filerename_fn},
    {"filedelete", filedelete_fn},
    {"fileexist", fileexist_fn},
    {"filesize", filesize_fn},
    {"dirmake", dirmake_fn},
    {"dirremove", dirremove_fn},
    {"dirrename", dirrename_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kFileBuiltins)

}  // namespace kel::lib::files
