// libFuzzer target: the INI engine on arbitrary file contents. Every listed key reads
// back the value its section lists, and a write of a new key changes nothing else: the
// sections, the other keys and their values stay as they were.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/profile.h"

namespace pf = kel::platform;

namespace {

using Snapshot = std::map<std::string, std::map<std::string, std::string>>;

// The first section of each name and the first value of each key in it, as readers see them.
Snapshot snapshot(const char* path) {
    Snapshot s;
    // A name holding a NUL byte cannot be asked for through a C string; it is skipped.
    auto askable = [](const std::string& n) { return n.find('\0') == std::string::npos; };
    for (const std::string& sec : pf::profile_section_names(path)) {
        if (!askable(sec)) continue;
        auto& keys = s[sec];
        for (const std::string& k : pf::profile_key_names(path, sec.c_str()))
            if (askable(k)) keys[k] = pf::profile_get_string(path, sec.c_str(), k.c_str(), "\x01missing");
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/kel_ini_fuzz_" + std::to_string(getpid()) + ".ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    bool utf16 = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;

    Snapshot before = snapshot(path.c_str());
    for (const auto& [sec, keys] : before)
        for (const auto& [k, v] : keys)
            if (v == "\x01missing") abort();  // listed, so it must be found

    // Section names match in any case: a file that already holds this section (as
    // [FZ\x7f], say) gets the key written into it, so the comparison below would not hold.
    const char* section = "Fz\x7f";
    auto same_name = [](const std::string& a, const char* b) {
        size_t n = std::strlen(b);
        if (a.size() != n) return false;
        for (size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
                return false;
        return true;
    };
    for (const std::string& sec : pf::profile_section_names(path.c_str()))
        if (same_name(sec, section)) {
            unlink(path.c_str());
            return 0;
        }
    if (!pf::profile_write(path.c_str(), section, "fzkey", "fz value")) abort();
    if (pf::profile_get_string(path.c_str(), section, "fzkey", "") != "fz value") abort();
    Snapshot after = snapshot(path.c_str());
    after[section].erase("fzkey");
    if (after[section].empty() && !before.count(section)) after.erase(section);
    // UTF-16 text with broken surrogates comes back repaired, so only its shape is compared.
    if (!utf16 && after != before) abort();
    if (utf16 && after.size() != before.size()) abort();
    if (!pf::profile_write(path.c_str(), section, nullptr, nullptr)) abort();
    unlink(path.c_str());
    return 0;
}
