// File times: reading a file's last-write, access and creation times as date-time
// strings, packed codes and display text (fileymdhms, filetimecode, FileTimeGet,
// filetimegetex), and setting them (FileTimeSet, filetimesetex, FileTimeTouch).
#include <string>

#include "lib/datetime.h"
#include "lib/files.h"
#include "platform/clock.h"
#include "interp/base/messages.h"

namespace kel::lib::files {

namespace pf = kel::platform;

namespace {

DateTime local_fields(const pf::FileTime& t) {
    pf::LocalTime lt = pf::local_time_of(t.sec * 1000000000LL);
    return {lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second};
}

}  // namespace

std::string file_time_text(Instance& inst, const pf::FileTime& t) { return format_ymdhms(inst, local_fields(t)); }

namespace {

// Fields as filetimegetex and filetimesetex number them.
constexpr int kFieldCreate = 1;
constexpr int kFieldWrite = 2;
constexpr int kFieldAccess = 3;

// The file's information, or 1125 when there is no such file.
bool info_of(Call& c, const std::string& name, pf::FileInfo* info) {
    if (name.empty() || has_wildcards(name) || !pf::file_info(name.c_str(), info)) {
        c.fail(Err::FileTimeGetNotFound).info(name);
        return false;
    }
    return true;
}

// fileymdhms(name): the last-write time as a date-time string.
void fileymdhms_fn(Call& c) {
    pf::FileInfo info;
    if (!info_of(c, path_arg(c, 1), &info)) return;
    c.ret_str(file_time_text(c.inst, info.write_time));
}

// filetimecode(name): the packed date in the high 16 bits and the packed time in the low
// 16, so that later times compare greater.
void filetimecode_fn(Call& c) {
    pf::FileInfo info;
    if (!info_of(c, path_arg(c, 1), &info)) return;
    DateTime t = local_fields(info.write_time);
    uint32_t date = 33, time = 0;  // 1980-01-01 00:00:00 for what cannot be packed
    if (t.year >= 1980 && t.year <= 2107) {
        date = static_cast<uint32_t>((t.year - 1980) << 9 | t.month << 5 | t.day);
        time = static_cast<uint32_t>(t.hour << 11 | t.minute << 5 | t.second / 2);
    }
    c.ret_int(static_cast<int32_t>(date << 16 | time));
}

// FileTimeGet(name): the last-write time as timedate shows it.
void filetimeget_fn(Call& c) {
    pf::FileInfo info;
    if (!info_of(c, path_arg(c, 1), &info)) return;
    c.ret_str(format_timedate(c.inst, local_fields(info.write_time)));
}

// filetimegetex(name, field): 1 creation, 2 last write, 3 last access.
void filetimegetex_fn(Call& c) {
    int32_t field = c.integer(2);
    if (field < kFieldCreate || field > kFieldAccess) {
        c.fail(Err::BadTimeField);
        return;
    }
    pf::FileInfo info;
    if (!info_of(c, path_arg(c, 1), &info)) return;
    const pf::FileTime& t =
        field == kFieldCreate ? info.create_time : field == kFieldWrite ? info.write_time : info.access_time;
    c.ret_str(file_time_text(c.inst, t));
}

// Sets the time `field` of every file of the list to `when` (Unix seconds).
void set_times(Call& c, std::string_view list, int64_t when, int field) {
    Instance& inst = c.inst;
    pf::FileTime t{when, 0};
    bool ok = walk_files(inst, list, true, false, Missing::Report, [&](const std::string& path) {
        pf::FileInfo info;
        if (!pf::file_info(path.c_str(), &info) || info.is_dir) {
            inst.fail(Err::FileTimeTouchNotFound).info(path);
            return false;
        }
        if (field == kFieldCreate) {
            // Creation times are kept by the file system alone and cannot be set here.
            inst.fail(Err::FileTimeTouchNotFound).info(interp::fill_message(Err::InfoCreationTime, path));
            return false;
        }
        bool done = field == kFieldWrite ? pf::file_set_times(path.c_str(), &t, nullptr)
                                         : pf::file_set_times(path.c_str(), nullptr, &t);
        if (!done) {
            inst.fail(Err::FileTimeTouchNotFound);
            system_info(inst, "SetFileTime");
            return false;
        }
        return true;
    });
    if (ok) c.ret_int(1);
}

// The date-time argument n as Unix seconds: 1017 when it does not parse, 1711 when the
// system cannot express it.
bool time_arg(Call& c, int n, int64_t* out) {
    DateTime t;
    if (!parse_ymdhms(c.inst, c.str(n), kYmdFull, &t, true)) {
        c.fail(Err::TimeDiffBadTime);
        return false;
    }
    if (!pf::local_fields_to_unix(t.year, t.month, t.day, t.hour, t.minute, t.second, out)) {
        c.fail(Err::FileTimeSetBadTime);
        return false;
    }
    return true;
}

// FileTimeSet(list, datetime): the last-write time.
void filetimeset_fn(Call& c) {
    int64_t when;
    if (!time_arg(c, 2, &when)) return;
    set_times(c, c.str(1), when, kFieldWrite);
}

// filetimesetex(list, datetime, field)
void filetimesetex_fn(Call& c) {
    int32_t field = c.integer(3);
    if (field < kFieldCreate || field > kFieldAccess) {
        c.fail(Err::BadTimeField);
        return;
    }
    int64_t when;
    if (!time_arg(c, 2, &when)) return;
    set_times(c, c.str(1), when, field);
}

// FileTimeTouch(list): the last-write time becomes now.
void filetimetouch_fn(Call& c) { set_times(c, c.str(1), pf::wall_clock_ns() / 1000000000LL, kFieldWrite); }

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kFileTimeBuiltins[] = {
    {"fileymdhms", fileymdhms_fn},     {"filetimecode", filetimecode_fn},   {"filetimeget", filetimeget_fn},
    {"filetimegetex", filetimegetex_fn}, {"filetimeset", filetimeset_fn},   {"filetimesetex", filetimesetex_fn},
    {"filetimetouch", filetimetouch_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kFileTimeBuiltins)

}  // namespace kel::lib::files
