// libFuzzer target: the date-time parser on arbitrary bytes in every mode, with what its
// callers rely on: valid fields are in range for the mode, a written date-time string
// reads back to the same fields, and the exported form agrees.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interp/instance.h"
#include "lib/datetime.h"

extern "C" int32_t ParseYMDHMS(const char* text, int32_t* fields, int32_t mode, int32_t expand);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kel::lib;
    static kel::interp::Instance inst;
    if (size < 1) return 0;
    int mode = data[0] & 3;
    bool expand = (data[0] & 4) != 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    DateTime t{};
    bool ok = parse_ymdhms(inst, text, mode, &t, expand);
    if (text.find('\0') == std::string::npos) {
        int32_t f[6];
        if ((ParseYMDHMS(text.c_str(), f, mode, expand) == 1) != ok) abort();
        if (ok && std::memcmp(f, &t, sizeof f) != 0) abort();
    }
    if (!ok) return 0;
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
        DateTime back{};
        if (!parse_ymdhms(inst, format_ymdhms(inst, t), kYmdFull, &back, false)) abort();
        if (std::memcmp(&back, &t, sizeof t) != 0) abort();
    }
    return 0;
}
