// The choice of the language file: made once, on the first message text that is wanted,
// so a request that shows no message never reads a settings file for it.
#include "platform/language.h"

#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/profile.h"

namespace kel::platform {

namespace {

struct Choice {
    bool chosen = false;
    std::string file;
};

Choice& choice() {
    static Choice* c = new Choice;  // never freed: callers keep the reference
    return *c;
}

bool is_system_marker(const std::string& code) {
    if (code.size() != 3) return false;
    for (char ch : code)
        if (ch != 'X' && ch != 'x') return false;
    return true;
}

std::string language_code() {
    std::string code = profile_get_string("FENSCRPT.INI", "MAIN", "Language", "");
    if (code.empty() || is_system_marker(code)) code = profile_get_string("win.ini", "INTL", "sLanguage", "");
    if (code.empty()) code = "enu";
    return code;
}

std::string found_on_search_path(const std::string& name) {
    std::string found = search_path(name.c_str());
    return !found.empty() && file_exists(found.c_str()) ? found : std::string();
}

std::string choose() {
    std::string code = language_code();
    // The code only ever completes a file name: nothing in it may lead elsewhere.
    if (code.find_first_of("/\\:") == std::string::npos && code.find("..") == std::string::npos) {
        std::string name = "FENDLANG." + code;
        std::string local = program_dir() + "/" + name;
        if (file_exists(local.c_str())) return local;
        std::string found = found_on_search_path(name);
        if (!found.empty()) return found;
    }
    return found_on_search_path("FENDLANG");
}

}  // namespace

const std::string& language_file() {
    Choice& c = choice();
    if (!c.chosen) {
        c.file = choose();
        c.chosen = true;
    }
    return c.file;
}

void reset_language_file() {
    Choice& c = choice();
    c.chosen = false;
    c.file.clear();
}

}  // namespace kel::platform
