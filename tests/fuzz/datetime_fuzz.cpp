// libFuzzer target: the exported date-time parser on arbitrary bytes in every mode, with
// what its callers rely on: valid fields are in range for the mode, the day number of a
// valid date leads back to it, and a date-time string written from the fields reads back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/datetime.h"

extern "C" int32_t ParseYMDHMS(const char* text, int32_t* fields, int32_t mode, int32_t expand);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kel::lib;
    if (size < 1) return 0;
    int mode = data[0] & 3;
    int expand = (data[0] & 4) != 0;
    // The exported form reads a C string: a NUL ends the text.
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    int32_t f[6];
    if (ParseYMDHMS(text.c_str(), f, mode, expand) != 1) return 0;
    DateTime t{f[0], f[1], f[2], f[3], f[4], f[5]};
    if (t.year < 0 || t.month < 0 || t.day < 0 || t.hour < 0 || t.minute < 0 || t.second < 0) abort();
    if (mode == kYmdFull || mode == kYmdTime) {
        if (t.hour > 23 || t.minute > 59 || t.second > 59) abort();
    }
    if (mode == kYmdFull || mode == kYmdDate) {
        if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > month_length(t.year, t.month)) abort();
        if (t.year > 9999) abort();
        CivilDate c = civil_from_day_number(day_number(t.year, t.month, t.day));
        if (c.year != t.year || c.month != t.month || c.day != t.day) abort();
    }
    if (mode == kYmdFull) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d:%02d:%02d:%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        int32_t back[6];
        if (ParseYMDHMS(buf, back, kYmdFull, 0) != 1 || std::memcmp(back, f, sizeof f) != 0) abort();
    }
    return 0;
}
