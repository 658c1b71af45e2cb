// libFuzzer target: the CSV line scanner on arbitrary bytes, narrow and UTF-16, with the
// invariants a caller relies on (count agrees with split; a written line reads back).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/csv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    char delim = static_cast<char>(data[0]);
    bool keep = data[1] & 1;
    std::string_view line(reinterpret_cast<const char*>(data + 2), size - 2);
    if (!kel::lib::csv_delimiter_ok<char>(std::string_view(&delim, 1))) delim = ',';

    int64_t n = kel::lib::csv_count<char>(line, delim);
    std::vector<std::string> fields;
    bool ok = kel::lib::csv_split<char>(line, delim, keep, fields);
    if (ok != (n >= 0)) abort();
    if (ok && static_cast<int64_t>(fields.size()) != n) abort();
    std::string last;
    if (kel::lib::csv_field<char>(line, delim, -1, keep, last) != ok) abort();
    if (ok && n > 0 && last != fields.back()) abort();

    if (ok && !keep) {
        std::string again = kel::lib::csv_join(fields, delim);
        std::vector<std::string> back;
        if (!kel::lib::csv_split<char>(again, delim, false, back)) abort();
        // An empty line has no fields, so a single empty field does not survive the trip.
        if (!(fields.size() == 1 && fields[0].empty()) && back != fields) abort();
    }

    std::u16string wide;
    for (char ch : line) wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(ch)));
    if (kel::lib::csv_count<char16_t>(wide, static_cast<char16_t>(static_cast<uint8_t>(delim))) !=
        kel::lib::csv_count<char>(line, delim))
        abort();
    return 0;
}
