// The FastCGI server's rules that need no server: the argument, the settings and the
// params -> environment conversion. Also compiled into libkelfcgi.so.
#include "host/fastcgi.h"

#include <algorithm>
#include <cstring>

#include "platform/profile.h"

namespace kel::host::fastcgi {

bool parse_address(std::string_view arg, Address* out, std::string* error) {
    auto refuse = [&](const std::string& why) {
        *error = "tarnhost: " + why + " (use --fastcgi=unix:PATH or --fastcgi=tcp:127.0.0.1:PORT)";
        return false;
    };
    if (arg.substr(0, kArgPrefix.size()) != kArgPrefix) return refuse("not a --fastcgi argument");
    std::string_view v = arg.substr(kArgPrefix.size());
    if (v.substr(0, 5) == "unix:") {
        std::string_view p = v.substr(5);
        if (p.empty() || p[0] != '/') return refuse("the socket path must be absolute");
        if (p.size() > 107) return refuse("the socket path is longer than 107 bytes");
        for (unsigned char c : p)
            if (c < 0x20 || c == 0x7F) return refuse("the socket path holds a control character");
        out->kind = Address::Unix;
        out->path = std::string(p);
        return true;
    }
    if (v.substr(0, 4) == "tcp:") {
        std::string_view rest = v.substr(4);
        constexpr std::string_view kLoopback = "127.0.0.1:";
        if (rest.substr(0, kLoopback.size()) != kLoopback) return refuse("tcp listens on 127.0.0.1 only");
        std::string_view port = rest.substr(kLoopback.size());
        if (port.empty() || port.size() > 5) return refuse("the port must be 1 to 65535");
        int n = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return refuse("the port must be 1 to 65535");
            n = n * 10 + (c - '0');
        }
        if (n < 1 || n > 65535) return refuse("the port must be 1 to 65535");
        out->kind = Address::Tcp;
        out->port = n;
        return true;
    }
    return refuse("unknown address \"" + std::string(v) + "\"");
}

Settings settings_from(const std::vector<std::string>& values, std::vector<std::string>* warnings) {
    Settings s;
    struct Limit {
        int* field;
        int lo, hi;
    } limits[] = {{&s.workers, 1, 256}, {&s.max_requests_per_worker, 1, 100000},
                  {&s.request_time_limit, 1, 86400}, {&s.listen_backlog, 1, 65535},
                  {&s.kept_connection_idle, 1, 86400}};
    for (size_t i = 0; i < kSettingKeys.size() && i < values.size(); ++i) {
        if (values[i].empty()) continue;
        Limit& l = limits[i];
        int32_t v = platform::profile_int(values[i], *l.field);
        int32_t kept = v < l.lo ? l.lo : v > l.hi ? l.hi : v;
        if (kept != v && warnings)
            warnings->push_back(std::string("[FastCGI] ") + kSettingKeys[i] + "=" + values[i] + " is outside " +
                                std::to_string(l.lo) + " to " + std::to_string(l.hi) + "; " +
                                std::to_string(kept) + " is used");
        *l.field = kept;
    }
    return s;
}

std::vector<std::string> params_to_environment(const char* const* params) {
    struct Entry {
        std::string_view name;
        const char* text;
    };
    std::vector<Entry> entries;
    for (const char* const* p = params; p && *p; ++p) {
        const char* eq = std::strchr(*p, '=');
        if (!eq || eq == *p) continue;
        std::string_view name(*p, static_cast<size_t>(eq - *p));
        if (name == "FCGI_ROLE") continue;  // the library's own, not the web server's
        entries.push_back({name, *p});
    }
    // Entries of one name side by side, each name's in the order given: the first one's
    // place gets the last one's text.
    std::vector<uint32_t> by_name(entries.size());
    for (uint32_t i = 0; i < by_name.size(); ++i) by_name[i] = i;
    std::sort(by_name.begin(), by_name.end(), [&](uint32_t a, uint32_t b) {
        int c = entries[a].name.compare(entries[b].name);
        return c < 0 || (c == 0 && a < b);
    });
    std::vector<const char*> at(entries.size(), nullptr);
    for (size_t i = 0; i < by_name.size();) {
        size_t j = i;
        while (j + 1 < by_name.size() && entries[by_name[j + 1]].name == entries[by_name[i]].name) ++j;
        at[by_name[i]] = entries[by_name[j]].text;
        i = j + 1;
    }
    std::vector<std::string> env;
    env.reserve(entries.size());
    for (const char* text : at)
        if (text) env.emplace_back(text);
    return env;
}

}  // namespace kel::host::fastcgi
