// libFuzzer target: the date and time pattern formatter on arbitrary UTF-16 patterns and
// any fields: literals are copied, and no character of a
// pattern writes more than ten (a year of "yyy" at most ten digits, "September").
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/datepattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kel::lib;
    if (size < 12) return 0;
    // A valid date (weekdays need one), any time of day fields up to 99.
    DateTime t{};
    t.year = (data[0] | data[1] << 8 | data[2] << 16 | (data[3] & 0x7F) << 24);
    t.month = data[4] % 12 + 1;
    t.day = data[5] % month_length(t.year, t.month) + 1;
    t.hour = data[6] % 100;
    t.minute = data[7] % 100;
    t.second = data[8] % 100;
    std::u16string pattern;
    for (size_t i = 12; i + 1 < size; i += 2) pattern.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    PatternFacts f = scan_pattern(pattern);
    std::u16string out;
    render_pattern(pattern, t, &out);
    if (out.size() > 10 * pattern.size()) abort();
    if (!f.date && !f.time && pattern.find(u'\'') == std::u16string::npos) {
        // Nothing but literals: copied as they are, each "%" counting twice in the C form.
        if (out != pattern) abort();
        size_t percents = 0;
        for (char16_t ch : pattern) percents += ch == u'%';
        if (f.c_length != pattern.size() + percents) abort();
    }
    return 0;
}
