// The error log's text, one rule for the host and the interpreter alike: both write
// entries into the same file, and a reader of the log (dumperrorlog) sees one format.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace kel {

// Control bytes of text that may come from a request become "%0D" and the like (a tab
// stays), so that request text cannot end an entry or forge another.
inline std::string escape_log_text(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(s.size());
    for (unsigned char c : s) {
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            r += '%';
            r += kHex[c >> 4];
            r += kHex[c & 15];
        } else {
            r += static_cast<char>(c);
        }
    }
    return r;
}

// One entry: "MM/DD/YY  HH:MM:SS  " and the title, a blank line, the headline, a blank
// line, the detail, a blank line and the rule that separates entries. Empty texts leave
// out their line; every text is escaped. `Time` is the platform's local time (month,
// day, year, hour, minute, second).
template <class Time>
std::string error_log_entry(const Time& t, std::string_view title, std::string_view headline,
                            std::string_view detail) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d/%02d  %02d:%02d:%02d  ", t.month, t.day, t.year % 100, t.hour,
                  t.minute, t.second);
    std::string e = stamp;
    e += escape_log_text(title);
    e += "\r\n\r\n";
    if (!headline.empty()) e += escape_log_text(headline) + "\r\n";
    e += "\r\n";
    if (!detail.empty()) e += escape_log_text(detail) + "\r\n";
    e += "\r\n<HR>\r\n\r\n";
    return e;
}

}  // namespace kel
