// libFuzzer target: the path normaliser and the Windows wildcard matcher on arbitrary
// bytes, with the invariants callers rely on: normalising is idempotent and never leaves
// a backslash; "*" matches every name; a name always matches itself, in any case.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/fileio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t cut = data[0] % (size);
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (cut > rest.size()) cut = rest.size();
    std::string_view pattern = rest.substr(0, cut), name = rest.substr(cut);

    // Drive prefixes read the settings file: keep them out so every run is the same.
    std::string path(rest);
    if (path.size() >= 2 && path[1] == ':') path[1] = '_';
    std::string once = kel::platform::normalize_path(path);
    if (once.find('\\') != std::string::npos) abort();
    if (once.size() >= 2 && once[1] == ':') return 0;
    if (kel::platform::normalize_path(once) != once) abort();

    (void)kel::platform::wildcard_match(pattern, name);
    if (!kel::platform::wildcard_match("*", name)) abort();
    std::string plain(name);
    if (plain.find_first_of("*?.") == std::string::npos) {
        if (!kel::platform::wildcard_match(plain, name)) abort();
        for (char& ch : plain)
            if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
        if (!kel::platform::wildcard_match(plain, name)) abort();
    }
    return 0;
}
