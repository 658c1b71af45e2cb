// libFuzzer target: the web-server log line parsers (common, combined, Microsoft) on
// arbitrary lines. A line that does not parse leaves the fields alone; one that parses
// fills them with text taken from the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "host/webfuncs.h"

using namespace kel::host;

namespace {

void check(bool (*parse)(std::string_view, std::string*), std::string_view line) {
    std::string fields[kLogFields];
    for (int i = 0; i < kLogFields; ++i) fields[i] = "\x01sentinel";
    bool ok = parse(line, fields);
    for (int i = 0; i < kLogFields; ++i) {
        if (!ok && fields[i] != "\x01sentinel") abort();
        if (ok && fields[i] != "\x01sentinel" && fields[i].size() > line.size() + 64) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* copy = static_cast<char*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);
    std::string_view line(copy, size);
    check(&parse_common_line, line);
    check(&parse_combined_line, line);
    check(&parse_ms_line, line);
    std::free(copy);
    return 0;
}
