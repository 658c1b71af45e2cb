// libFuzzer target: the form-field readers on arbitrary posted content, URL-encoded and
// multipart. The first input byte chooses the kind and the boundary length; the readers
// must stay inside the content and keep their promises (limits, names without NUL,
// every listed multipart name found again).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "host/webfuncs.h"

using namespace kel::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int kind = (data[0] & 1) ? 3 : 2;
    size_t blen = (data[0] >> 1) & 0x1F;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (blen > rest.size()) blen = rest.size();
    std::string boundary(rest.substr(0, kind == 3 ? blen : 0));
    // A heap copy of exactly the content bytes, so a read past its end is caught.
    std::string_view body = rest.substr(kind == 3 ? blen : 0);
    char* copy = static_cast<char*>(std::malloc(body.size() ? body.size() : 1));
    if (!body.empty()) std::memcpy(copy, body.data(), body.size());
    std::string_view content(copy, body.size());

    std::string names = field_names(content, kind, boundary);
    if (names.find('\0') != std::string::npos) abort();
    size_t start = 0;
    for (int i = 0; i < 8 && start <= names.size(); ++i) {
        size_t tab = names.find('\t', start);
        std::string name = names.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
        std::string text = field_value(content, kind, boundary, name, 4096, true);
        std::string bytes = field_value(content, kind, boundary, name, 1 << 20, false);
        if (text.size() > 4096) abort();
        if (text.find('\0') != std::string::npos) abort();
        if (bytes.size() > content.size() + 16 * 1024) abort();
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    // A bounded index either holds at most the limit or refuses the whole form.
    FormIndex bounded;
    size_t limit = data[0] >> 6;
    if (bounded.build(content, kind, boundary, limit)) {
        if (bounded.field_count() > limit) abort();
    } else if (bounded.field_count() != 0 || !bounded.names(content).empty()) {
        abort();
    }
    field_value(content, kind, boundary, "", 4096, true);
    field_value(content, kind, boundary, std::string_view("a\0b", 3), 4096, false);
    if (kind == 3) {
        size_t parts = 0;
        for_each_part(content, boundary, [&](std::string_view n, std::string_view v) {
            const char* lo = content.data();
            const char* hi = lo + content.size();
            if (!n.empty() && (n.data() < lo || n.data() + n.size() > hi)) abort();
            if (!v.empty() && (v.data() < lo || v.data() + v.size() > hi)) abort();
            return ++parts < 1000;
        });
        if (boundary.empty() && parts) abort();
    }
    std::free(copy);
    return 0;
}
