// Form fields: the multipart walker and the per-request index of fields.
#include "host/forms.h"

#include <cstring>
#include <unordered_set>

#include "host/intake.h"
#include "platform/random.h"

namespace kel::host {

namespace pf = kel::platform;

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string lowered(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = lower(c);
    return r;
}

bool iequal_at(std::string_view hay, size_t pos, std::string_view needle) {
    if (pos > hay.size() || hay.size() - pos < needle.size()) return false;
    for (size_t i = 0; i < needle.size(); ++i)
        if (lower(hay[pos + i]) != lower(needle[i])) return false;
    return true;
}

std::string_view cut_at_nul(std::string_view s) {
    size_t z = s.find('\0');
    return z == std::string_view::npos ? s : s.substr(0, z);
}

// A delimiter line starts with "--" + boundary and continues with the closing "--", a
// blank or the line end; a longer word that merely begins with the boundary is data.
bool delimiter_at(std::string_view c, size_t pos, std::string_view boundary) {
    if (!iequal_at(c, pos, "--") || c.compare(pos + 2 < c.size() ? pos + 2 : c.size(), boundary.size(), boundary) != 0)
        return false;
    size_t after = pos + 2 + boundary.size();
    if (after >= c.size()) return true;
    char n = c[after];
    return n == '-' || n == '\r' || n == '\n' || n == ' ' || n == '\t';
}

// Position of the next delimiter at a line start, from `from` (itself a line start).
size_t next_delimiter(std::string_view c, size_t from, std::string_view boundary) {
    for (size_t pos = from; pos < c.size();) {
        if (delimiter_at(c, pos, boundary)) return pos;
        size_t lf = c.find('\n', pos);
        if (lf == std::string_view::npos) break;
        pos = lf + 1;
    }
    return std::string_view::npos;
}

// The name of a header line "Content-Disposition: form-data; name="...""; the header
// name and "form-data" compare without case. `*open` is set for a name without its
// closing quote.
bool disposition_name(std::string_view line, std::string_view* name, bool* open) {
    constexpr std::string_view kHeader = "content-disposition:";
    if (!iequal_at(line, 0, kHeader)) return false;
    size_t i = kHeader.size();
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (!iequal_at(line, i, "form-data")) return false;
    i += 9;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] != ';') return false;
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (!iequal_at(line, i, "name=\"")) return false;
    i += 6;
    size_t close = line.find('"', i);
    if (close == std::string_view::npos) {
        *open = true;
        return false;
    }
    *name = line.substr(i, close - i);
    return true;
}

// SipHash-2-4: a keyed hash whose outputs an outsider cannot predict without the key.
uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

uint64_t siphash24(uint64_t k0, uint64_t k1, const unsigned char* in, size_t len) {
    uint64_t v0 = 0x736f6d6570736575ULL ^ k0, v1 = 0x646f72616e646f6dULL ^ k1;
    uint64_t v2 = 0x6c7967656e657261ULL ^ k0, v3 = 0x7465646279746573ULL ^ k1;
    auto round = [&] {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    size_t whole = len & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m = 0;
        for (int b = 0; b < 8; ++b) m |= uint64_t{in[i + static_cast<size_t>(b)]} << (8 * b);
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
    uint64_t last = uint64_t{len & 0xFF} << 56;
    for (size_t i = 0; i < (len & 7); ++i) last |= uint64_t{in[whole + i]} << (8 * i);
    v3 ^= last;
    round();
    round();
    v0 ^= last;
    v2 ^= 0xFF;
    for (int i = 0; i < 4; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

struct HashKey {
    uint64_t k0 = 0, k1 = 0;
};

const HashKey& hash_key() {
    static const HashKey key = [] {
        HashKey k;
        uint64_t words[2] = {0, 0};
        pf::random_bytes(words, sizeof words);
        k.k0 = words[0];
        k.k1 = words[1];
        return k;
    }();
    return key;
}

}  // namespace

size_t KeyedHash::operator()(std::string_view s) const {
    const HashKey& k = hash_key();
    return static_cast<size_t>(siphash24(k.k0, k.k1, reinterpret_cast<const unsigned char*>(s.data()), s.size()));
}

namespace {

// Multipart content is walked once, front to back: text before the first delimiter is
// preamble, each part is a header block up to its first empty line and then its value up
// to the line end before the next delimiter. Nothing inside a value is ever taken for a
// header, so an uploaded file that happens to contain header text adds no fields.
// Every part, named or not: `fn(named, name, value)` returns false to stop.
template <class Fn>
void walk_parts(std::string_view c, std::string_view boundary, Fn fn) {
    if (boundary.empty()) return;
    size_t pos = next_delimiter(c, 0, boundary);
    while (pos != std::string_view::npos) {
        size_t after = pos + 2 + boundary.size();
        if (iequal_at(c, after, "--")) return;  // the closing delimiter
        size_t lf = c.find('\n', after);
        if (lf == std::string_view::npos) return;
        std::string_view name;
        bool have_name = false, broken = false;
        size_t line = lf + 1, value = std::string_view::npos;
        while (line < c.size()) {
            size_t end = c.find('\n', line);
            if (end == std::string_view::npos) return;  // headers that never end: no value
            std::string_view text = c.substr(line, end - line);
            if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
            if (text.empty()) {
                value = end + 1;
                break;
            }
            if (!have_name && !broken) have_name = disposition_name(text, &name, &broken);
            line = end + 1;
        }
        if (value == std::string_view::npos) return;
        size_t next = next_delimiter(c, value, boundary);
        size_t vend = next == std::string_view::npos ? c.size() : next;
        if (next != std::string_view::npos && vend > value) {
            --vend;  // the LF before the delimiter belongs to it
            if (vend > value && c[vend - 1] == '\r') --vend;
        }
        // A part whose name lost its closing quote is a broken part: it has no field,
        // and the parts after it are still read.
        if (!fn(have_name, name, c.substr(value, vend - value))) return;
        pos = next;
    }
}

}  // namespace

void for_each_part(std::string_view c, std::string_view boundary,
                   const std::function<bool(std::string_view name, std::string_view value)>& fn) {
    walk_parts(c, boundary, [&](bool named, std::string_view name, std::string_view value) {
        return !named || fn(name, value);
    });
}

void FormIndex::clear() {
    kind_ = 0;
    counted_ = 0;
    fields_.clear();
    decoded_.clear();
    literal_.clear();
    decoded_map_.clear();
    literal_next_.clear();
    decoded_next_.clear();
}

void FormIndex::link(Map& map, std::vector<uint32_t>& next, std::string key, uint32_t field) {
    if (next.size() <= field) next.resize(field + 1, UINT32_MAX);
    auto [it, fresh] = map.try_emplace(std::move(key), Chain{field, field});
    if (!fresh) {
        next[it->second.last] = field;
        it->second.last = field;
    }
}

bool FormIndex::build(std::string_view c, int kind, std::string_view boundary, size_t max_fields) {
    clear();
    kind_ = kind;
    auto add = [&](std::string_view name, std::string_view value) {
        Field f{static_cast<uint32_t>(name.data() - c.data()), static_cast<uint32_t>(name.size()),
                static_cast<uint32_t>(value.data() - c.data()), static_cast<uint32_t>(value.size())};
        fields_.push_back(f);
        return static_cast<uint32_t>(fields_.size() - 1);
    };
    if (kind == 2) {
        size_t start = 0;
        while (start < c.size()) {
            size_t end = c.find('&', start);
            if (end == std::string_view::npos) end = c.size();
            std::string_view field = c.substr(start, end - start);
            start = end + 1;
            if (field.empty()) continue;
            if (++counted_ > max_fields) {
                clear();
                return false;
            }
            size_t eq = field.find('=');
            if (eq == std::string_view::npos) continue;
            uint32_t i = add(field.substr(0, eq), field.substr(eq + 1));
            link(literal_, literal_next_, lowered(field.substr(0, eq)), i);
            decoded_.emplace_back(cut_at_nul(url_decode(field.substr(0, eq), kMaxCmdData)));
            link(decoded_map_, decoded_next_, lowered(decoded_.back()), i);
        }
    } else if (kind == 3) {
        bool over = false;
        walk_parts(c, boundary, [&](bool named, std::string_view name, std::string_view value) {
            if (++counted_ > max_fields) {
                over = true;
                return false;
            }
            if (!named) return true;
            uint32_t i = add(name, value);
            link(literal_, literal_next_, lowered(name), i);
            return true;
        });
        if (over) {
            clear();
            return false;
        }
    }
    return true;
}

std::string FormIndex::collect(std::string_view c, const Map& map, const std::vector<uint32_t>& next,
                               std::string_view name, size_t limit, bool text) const {
    std::string out;
    auto it = map.find(lowered(name));
    if (it == map.end()) return out;
    bool first = true;
    for (uint32_t i = it->second.first; i != UINT32_MAX && out.size() <= limit; i = next[i]) {
        const Field& f = fields_[i];
        std::string_view raw = c.substr(f.value_off, f.value_len);
        std::string decoded;
        std::string_view v = raw;
        if (kind_ == 2) {
            decoded = url_decode(raw, limit);
            v = decoded;
        }
        if (text) v = cut_at_nul(v);
        if (!first) out += '\t';
        first = false;
        if (out.size() < limit + 1) out.append(v.substr(0, limit + 1 - out.size()));
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

std::string FormIndex::value(std::string_view c, std::string_view name, size_t limit, bool text) const {
    if (name.empty()) return {};
    if (kind_ == 3) return collect(c, literal_, literal_next_, name, limit, text);
    if (kind_ != 2) return {};
    // webparamnames lists decoded names, so a script may ask for "first name" where the
    // form sent "first+name"; those are found by their decoded form when no field has
    // the name as sent.
    if (literal_.count(lowered(name))) return collect(c, literal_, literal_next_, name, limit, text);
    return collect(c, decoded_map_, decoded_next_, name, limit, text);
}

std::string FormIndex::names(std::string_view c) const {
    std::string out;
    std::unordered_set<std::string_view, KeyedHash> seen;
    for (size_t i = 0; i < fields_.size(); ++i) {
        const Field& f = fields_[i];
        std::string_view n = kind_ == 2 ? std::string_view(decoded_[i])
                                        : cut_at_nul(c.substr(f.name_off, f.name_len).substr(0, kMaxCmdData));
        if (!seen.insert(n).second) continue;
        if (seen.size() > 1) out += '\t';
        out += n;
    }
    return out;
}

std::string field_value(std::string_view content, int kind, std::string_view boundary, std::string_view name,
                        size_t limit, bool text) {
    FormIndex index;
    index.build(content, kind, boundary, SIZE_MAX);
    return index.value(content, name, limit, text);
}

std::string field_names(std::string_view content, int kind, std::string_view boundary) {
    FormIndex index;
    index.build(content, kind, boundary, SIZE_MAX);
    return index.names(content);
}

}  // namespace kel::host
