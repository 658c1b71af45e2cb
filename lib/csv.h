// One CSV line: the scanner behind ItemCountCsv/ItemExtractCsv and the array CSV readers,
// and the writer that quotes a field only when it has to. Narrow and UTF-16 alike.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel::lib {

// A usable delimiter is exactly one unit and not a space, a double quote, CR or LF.
template <class Ch>
constexpr bool csv_delimiter_ok(std::basic_string_view<Ch> d) {
    return d.size() == 1 && d[0] != Ch(' ') && d[0] != Ch('"') && d[0] != Ch('\r') && d[0] != Ch('\n');
}

// Calls `on_field(field_number, text)` for every field, in order, with the field unquoted
// (doubled quotes reduced); blanks around a field are dropped unless `keep_blanks`.
// Returns the number of fields, or -1 when the line breaks the quoting rules (a quote after
// text, text after a closing quote, a quote left open). An empty line has 0 fields. The
// callback returns false to stop early (the rest of the line is still checked).
template <class Ch, class OnField>
int64_t csv_scan(std::basic_string_view<Ch> line, Ch delim, bool keep_blanks, OnField&& on_field) {
    if (line.empty()) return 0;
    // With a tab delimiter the tab is text, so only the space is a blank.
    auto blank = [delim](Ch ch) { return ch == Ch(' ') || (ch == Ch('\t') && delim != Ch('\t')); };
    const size_t n = line.size();
    int64_t fields = 0;
    bool want = true;
    std::basic_string<Ch> text;
    size_t i = 0;
    for (;;) {
        // One field: [lead blanks] (quoted part | plain text) [trail blanks]
        text.clear();
        size_t lead = i;
        while (i < n && blank(line[i])) ++i;
        std::basic_string_view<Ch> lead_blanks = line.substr(lead, i - lead);
        if (i < n && line[i] == Ch('"')) {
            ++i;
            bool closed = false;
            while (i < n) {
                if (line[i] == Ch('"')) {
                    if (i + 1 < n && line[i + 1] == Ch('"')) {
                        text.push_back(Ch('"'));
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                text.push_back(line[i++]);
            }
            if (!closed) return -1;
            size_t trail = i;
            while (i < n && blank(line[i])) ++i;
            if (i < n && line[i] != delim) return -1;
            if (keep_blanks) text = std::basic_string<Ch>(lead_blanks) + text + std::basic_string<Ch>(line.substr(trail, i - trail));
        } else {
            size_t start = i;
            while (i < n && line[i] != delim) {
                if (line[i] == Ch('"')) return -1;  // a quote after text has been seen
                ++i;
            }
            size_t end = i;
            while (end > start && blank(line[end - 1])) --end;
            if (keep_blanks)
                text.assign(line.substr(lead, i - lead));
            else
                text.assign(line.substr(start, end - start));
        }
        ++fields;
        if (want) want = on_field(fields, std::basic_string_view<Ch>(text));
        if (i >= n) break;
        ++i;  // the delimiter; one at the very end opens an empty last field
    }
    return fields;
}

template <class Ch>
int64_t csv_count(std::basic_string_view<Ch> line, Ch delim) {
    return csv_scan<Ch>(line, delim, false, [](int64_t, std::basic_string_view<Ch>) { return false; });
}

// Field `index` (1-based; -1 = the last) into `out`; an index out of range leaves `out`
// empty. False when the line is invalid.
template <class Ch>
bool csv_field(std::basic_string_view<Ch> line, Ch delim, int64_t index, bool keep_blanks,
               std::basic_string<Ch>& out) {
    out.clear();
    if (index == -1) {
        index = csv_count<Ch>(line, delim);
        if (index < 0) return false;
    }
    int64_t got = csv_scan<Ch>(line, delim, keep_blanks, [&](int64_t k, std::basic_string_view<Ch> t) {
        if (k != index) return true;
        out.assign(t);
        return false;
    });
    if (got < 0) {
        out.clear();
        return false;
    }
    return true;
}

// Every field of the line; false (fields cleared) when the line is invalid.
template <class Ch>
bool csv_split(std::basic_string_view<Ch> line, Ch delim, bool keep_blanks,
               std::vector<std::basic_string<Ch>>& fields) {
    fields.clear();
    int64_t got = csv_scan<Ch>(line, delim, keep_blanks, [&](int64_t, std::basic_string_view<Ch> t) {
        fields.emplace_back(t);
        return true;
    });
    if (got < 0) fields.clear();
    return got >= 0;
}

// Appends one field, in double quotes (inner quotes doubled) when it holds the delimiter,
// a quote, CR or LF, or starts or ends with a blank that a reader would drop.
template <class Ch>
void csv_append_field(std::basic_string<Ch>& out, std::basic_string_view<Ch> field, Ch delim) {
    bool quote = false;
    for (Ch ch : field)
        if (ch == delim || ch == Ch('"') || ch == Ch('\r') || ch == Ch('\n')) quote = true;
    if (!field.empty()) {
        auto blank = [](Ch ch) { return ch == Ch(' ') || ch == Ch('\t'); };
        if (blank(field.front()) || blank(field.back())) quote = true;
    }
    if (!quote) {
        out.append(field);
        return;
    }
    out.push_back(Ch('"'));
    for (Ch ch : field) {
        if (ch == Ch('"')) out.push_back(Ch('"'));
        out.push_back(ch);
    }
    out.push_back(Ch('"'));
}

// A whole line from fields, separated by `delim` (no line end).
template <class Ch>
std::basic_string<Ch> csv_join(const std::vector<std::basic_string<Ch>>& fields, Ch delim) {
    std::basic_string<Ch> out;
    for (size_t k = 0; k < fields.size(); ++k) {
        if (k) out.push_back(delim);
        csv_append_field<Ch>(out, fields[k], delim);
    }
    return out;
}

}  // namespace kel::lib
