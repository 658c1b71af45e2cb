// libFuzzer target: the tag-string reader on arbitrary text. Whatever it accepts must
// describe tags inside the text and format back to the very same string.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <string>

#include "lib/binbuf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    kel::lib::TagState t;
    if (!kel::lib::tag_parse(text, &t)) return 0;
    if (t.slot < 0 || t.slot >= kel::lib::kBinBufSlots || t.offset < 0 || t.data_len < 0) abort();
    if (t.start_tag.empty() || t.end_tag.empty()) abort();
    if (t.state != kel::lib::kTagInit && t.state != kel::lib::kTagFound && t.state != kel::lib::kTagReplaced) abort();
    // Hex digits may come in either case; the formatted string uses upper case.
    std::string again = kel::lib::tag_format(t);
    if (again.size() != text.size()) abort();
    for (size_t i = 0; i < text.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(again[i])) != std::toupper(static_cast<unsigned char>(text[i])) &&
            i < 36)
            abort();
    if (again.compare(36, std::string::npos, text, 36, std::string::npos) != 0) abort();
    return 0;
}
