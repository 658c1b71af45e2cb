// libFuzzer target: script file contents as the loader prepares and reads them (UTF-16
// conversion in one of three code pages, line ends, the line reader, the marker and
// #DefineFunction header parsers) on arbitrary bytes, with the invariants the statement
// loop relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "interp/front/loader.h"
#include "interp/front/textprep.h"
#include "platform/text.h"

using namespace kel::interp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const uint32_t kPages[] = {kel::platform::kCpWindows1252, kel::platform::kCpUtf8, 932};
    uint32_t cp = kPages[data[0] % 3];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (has_utf16_bom(text.data(), text.size())) {
        std::string buf = text;
        buf.append(2, '\0');
        long n = convert_utf16_buffer(buf.data(), buf.size(), cp);
        if (n < 0) return 0;
        if (static_cast<size_t>(n) >= buf.size() || buf[static_cast<size_t>(n)] != '\0') abort();
        buf.resize(static_cast<size_t>(n));
        text.swap(buf);
    }
    normalize_line_ends(text.data(), text.size());
    if (text.find('\r') != std::string::npos) abort();

    char line[kLineBufSize];
    size_t pos = 0;
    for (;;) {
        size_t before = pos, len = 0, first = 0;
        bool too_long = false;
        if (!read_line(text, pos, line, &len, &first, &too_long)) break;
        if (pos <= before || pos > text.size()) abort();  // every line read moves on
        if (len > kLineMax || line[len] != '\0' || first < before || first > pos) abort();
        if (too_long && len != kLineMax) abort();
        std::string_view l(line, len);
        uint32_t no = 0;
        std::string_view path;
        if (parse_marker(l, &no, &path) && path.size() > len) abort();
        UdfHeader h;
        if (starts_with_ci(l, "#definefunction") && parse_udf_header(l.substr(15), &h)) {
            if (h.name.empty() || h.name.size() > 30 || h.param_count < 0 || h.param_count > 16) abort();
            for (int i = 0; i < h.param_count; ++i)
                if (h.params[i].empty() || h.params[i].size() > 30) abort();
        }
    }
    return 0;
}
