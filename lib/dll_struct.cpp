// dllstructalloc, dllstructfree, dllstructpeek, dllstructpoke: blocks of memory laid out
// by a definition, handed to native code with lpstruct.
//
// A definition is a list of members separated by ";" or ",", each "type name" or
// "type name[count]": byte (1 byte), word (2), long (4), long_ptr (8), double (8), lpstr (a
// pointer to an 8-bit string). Each member is aligned to its own size and the whole to
// its largest member. Names are case-insensitive; a member of an array is named
// "name[i]", counted from 0; a byte array named without an index reads and writes as a
// string. The memory is zero-filled and lies below 2 GiB.
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/api/builtin.h"
#include "interp/base/messages.h"
#include "lib/dll.h"
#include "platform/vmem.h"

namespace kel::lib {

namespace pf = kel::platform;

namespace {

constexpr int32_t kStructFirstHandle = 40001;
constexpr int kStructSlots = 256;
constexpr int64_t kMaxStructBytes = 1 << 20;
constexpr int kMaxStructMembers = 256;

enum class MemberType { kByte, kWord, kLong, kLongPtr, kDouble, kLpstr };

struct MemberTypeName {
    const char* name;
    MemberType type;
    int size;
};
constexpr MemberTypeName kMemberTypes[] = {
    {"byte", MemberType::kByte, 1},       {"word", MemberType::kWord, 2},     {"long", MemberType::kLong, 4},
    {"long_ptr", MemberType::kLongPtr, 8}, {"double", MemberType::kDouble, 8}, {"lpstr", MemberType::kLpstr, 8},
};

struct Member {
    std::string name;  // lower case
    MemberType type;
    int size;
    int64_t offset;
    int64_t count;  // 0: not an array
};

struct DllStruct {
    uint8_t* mem = nullptr;
    size_t mapped = 0;
    int64_t size = 0;
    std::vector<Member> members;
    // The strings that lpstr members point to, by member offset.
    std::unordered_map<int64_t, std::unique_ptr<std::string>> strings;
};

struct StructTable {
    std::unique_ptr<DllStruct> slots[kStructSlots];
};

std::unordered_map<const Instance*, std::unique_ptr<StructTable>>& tables() {
    static std::unordered_map<const Instance*, std::unique_ptr<StructTable>> t;
    return t;
}

DllStruct* struct_of(const Instance& inst, int32_t handle) {
    if (handle < kStructFirstHandle || handle >= kStructFirstHandle + kStructSlots) return nullptr;
    auto it = tables().find(&inst);
    if (it == tables().end()) return nullptr;
    return it->second->slots[handle - kStructFirstHandle].get();
}

void free_struct(DllStruct& s) {
    if (s.mem) pf::vm_free_low(s.mem, s.mapped);
    s.mem = nullptr;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool is_name(std::string_view s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char ch : s)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_')) return false;
    return true;
}

// One to nine digits and nothing else: their value; -1 otherwise.
int64_t short_digits(std::string_view s) {
    if (s.empty() || s.size() > 9) return -1;
    for (char ch : s)
        if (ch < '0' || ch > '9') return -1;
    return interp::decimal_digits_value(s);
}

// Digits only, 1 to `max`; -1 otherwise.
int64_t parse_count(std::string_view s, int64_t max) {
    int64_t v = short_digits(trim(s));
    return v >= 1 && v <= max ? v : -1;
}

// "name" or "name[index]": the name (lower case) and the index (-1 when none). False
// for anything else.
bool split_index(std::string_view text, std::string* name, int64_t* index, int64_t max_index) {
    text = trim(text);
    *index = -1;
    size_t open = text.find('[');
    if (open == std::string_view::npos) {
        *name = lower(text);
        return is_name(*name);
    }
    if (text.back() != ']') return false;
    *name = lower(trim(text.substr(0, open)));
    std::string_view inner = trim(text.substr(open + 1, text.size() - open - 2));
    int64_t v = short_digits(inner);
    if (v < 0 || v > max_index) return false;
    *index = v;
    return is_name(*name);
}

// Lays out a definition; false with the information for error 1998.
bool parse_definition(std::string_view def, DllStruct& s, std::string* why) {
    int64_t at = 0;
    int align = 1;
    size_t pos = 0;
    while (pos <= def.size()) {
        size_t end = def.find_first_of(";,", pos);
        if (end == std::string_view::npos) end = def.size();
        std::string_view item = trim(def.substr(pos, end - pos));
        pos = end + 1;
        if (item.empty()) {
            if (end == def.size()) break;
            continue;
        }
        size_t blank = item.find_first_of(" \t");
        if (blank == std::string_view::npos) {
            *why = interp::fill_message(Err::InfoMemberNoName, item);
            return false;
        }
        std::string tname = lower(item.substr(0, blank));
        const MemberTypeName* t = nullptr;
        for (const auto& mt : kMemberTypes)
            if (tname == mt.name) t = &mt;
        if (!t) {
            *why = interp::fill_message(Err::InfoUnknownType, tname);
            return false;
        }
        Member m;
        m.type = t->type;
        m.size = t->size;
        std::string_view rest = trim(item.substr(blank));
        size_t open = rest.find('[');
        if (open != std::string_view::npos) {
            if (rest.back() != ']' || (m.count = parse_count(rest.substr(open + 1, rest.size() - open - 2), kMaxStructBytes)) < 0) {
                *why = interp::fill_message(Err::InfoBadArraySize, rest);
                return false;
            }
            rest = trim(rest.substr(0, open));
        } else {
            m.count = 0;
        }
        m.name = lower(rest);
        if (!is_name(m.name)) {
            *why = interp::fill_message(Err::InfoBadMemberName, rest);
            return false;
        }
        for (const Member& o : s.members) {
            if (o.name == m.name) {
                *why = interp::fill_message(Err::InfoMemberTwice, m.name);
                return false;
            }
        }
        if (static_cast<int>(s.members.size()) == kMaxStructMembers) {
            *why = interp::fill_message(Err::InfoTooManyMembers, kMaxStructMembers);
            return false;
        }
        at = (at + m.size - 1) / m.size * m.size;
        m.offset = at;
        at += m.size * (m.count ? m.count : 1);
        if (at > kMaxStructBytes) {
            *why = interp::fill_message(Err::InfoStructTooLarge, static_cast<long long>(kMaxStructBytes));
            return false;
        }
        if (m.size > align) align = m.size;
        s.members.push_back(std::move(m));
    }
    if (s.members.empty()) {
        *why = interp::message_text(Err::InfoNoMembers);
        return false;
    }
    s.size = (at + align - 1) / align * align;
    return true;
}

// The member and element named by `text`; nullptr with 1998 raised.
const Member* find_member(Call& c, DllStruct& s, std::string_view text, int64_t* index) {
    std::string name;
    if (split_index(text, &name, index, kMaxStructBytes)) {
        for (const Member& m : s.members) {
            if (m.name != name) continue;
            if (*index >= 0 && (m.count == 0 ? *index != 0 : *index >= m.count)) break;
            return &m;
        }
    }
    c.fail(Err::BadStructDefinition).info(interp::fill_message(Err::InfoMember, text));
    return nullptr;
}

DllStruct* struct_arg(Call& c, int n) {
    DllStruct* s = struct_of(c.inst, c.integer(n));
    if (!s) c.fail(Err::NotStructHandle);
    return s;
}

std::string narrow_arg(Call& c, int n) {
    return c.is_wide(n) ? interp::wide_to_ansi(c.wstr(n)) : std::string(c.str(n));
}

void dllstructalloc_fn(Call& c) {
    auto d = std::make_unique<DllStruct>();
    std::string why;
    if (!parse_definition(narrow_arg(c, 1), *d, &why)) {
        c.fail(Err::BadStructDefinition).info(why);
        return;
    }
    auto& t = tables()[&c.inst];
    if (!t) t = std::make_unique<StructTable>();
    int slot = -1;
    for (int k = 0; k < kStructSlots && slot < 0; ++k)
        if (!t->slots[k]) slot = k;
    if (slot < 0) {
        c.fail(Err::TooManyStructs);
        return;
    }
    size_t page = pf::vm_page_size();
    d->mapped = (static_cast<size_t>(d->size) + page - 1) / page * page;
    d->mem = static_cast<uint8_t*>(pf::vm_alloc_low(d->mapped));
    if (!d->mem) {
        c.fail(Err::BinaryAllocFailed);
        return;
    }
    std::memset(d->mem, 0, d->mapped);
    t->slots[slot] = std::move(d);
    c.ret_int(kStructFirstHandle + slot);
}

void dllstructfree_fn(Call& c) {
    DllStruct* s = struct_arg(c, 1);
    if (!s) return;
    free_struct(*s);
    tables()[&c.inst]->slots[c.integer(1) - kStructFirstHandle].reset();
    c.ret_int(1);
}

template <class T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

void dllstructpeek_fn(Call& c) {
    DllStruct* s = struct_arg(c, 1);
    if (!s) return;
    int64_t index = -1;
    const Member* m = find_member(c, *s, narrow_arg(c, 2), &index);
    if (!m) return;
    if (m->type == MemberType::kByte && m->count && index < 0) {
        const char* p = reinterpret_cast<const char*>(s->mem + m->offset);
        c.ret_str(std::string_view(p, strnlen(p, static_cast<size_t>(m->count))));
        return;
    }
    const uint8_t* p = s->mem + m->offset + m->size * (index < 0 ? 0 : index);
    switch (m->type) {
        case MemberType::kByte: c.ret_int(*p); break;
        case MemberType::kWord: c.ret_int(load<uint16_t>(p)); break;
        case MemberType::kLong: c.ret_int(load<int32_t>(p)); break;
        case MemberType::kLongPtr: c.ret_int(static_cast<int32_t>(static_cast<uint32_t>(load<uint64_t>(p)))); break;
        case MemberType::kDouble: c.ret_float(load<double>(p)); break;
        case MemberType::kLpstr: {
            const char* str = load<const char*>(p);
            c.ret_str(str ? std::string_view(str) : std::string_view());
            break;
        }
    }
}

void dllstructpoke_fn(Call& c) {
    DllStruct* s = struct_arg(c, 1);
    if (!s) return;
    int64_t index = -1;
    const Member* m = find_member(c, *s, narrow_arg(c, 2), &index);
    if (!m) return;
    Value& v = c.arg(3);
    uint8_t* p = s->mem + m->offset + m->size * (index < 0 ? 0 : index);
    if ((m->type == MemberType::kByte && m->count && index < 0) || m->type == MemberType::kLpstr) {
        if (!interp::to_str(c.inst, v)) {
            if (!c.failed()) c.fail(Err::NotAString);
            return;
        }
        std::string_view text = interp::heap_str(c.inst, v.str);
        if (m->type == MemberType::kByte) {
            // The text and its NUL must fit: nothing is cut silently.
            if (static_cast<int64_t>(text.size()) >= m->count) {
                c.fail(Err::BadStructDefinition).info(interp::fill_message(interp::fill_message(Err::InfoTextTooLong, m->count - 1), 's', m->name));
                return;
            }
            std::memset(p, 0, static_cast<size_t>(m->count));
            std::memcpy(p, text.data(), text.size());
        } else {
            auto& keep = s->strings[p - s->mem];
            keep = std::make_unique<std::string>(text);
            store<const char*>(p, keep->c_str());
        }
        c.ret_int(1);
        return;
    }
    if (m->type == MemberType::kDouble) {
        if (!interp::to_float(c.inst, v)) {
            if (!c.failed()) c.fail(Err::DllCallNotDouble);
            return;
        }
        store<double>(p, v.f);
        c.ret_int(1);
        return;
    }
    if (!interp::to_int(c.inst, v, true) && !(!c.failed() && interp::to_float(c.inst, v) && interp::to_int(c.inst, v, true))) {
        if (!c.failed()) c.fail(Err::DllCallNotLong);
        return;
    }
    switch (m->type) {
        case MemberType::kByte: *p = static_cast<uint8_t>(v.i); break;
        case MemberType::kWord: store<uint16_t>(p, static_cast<uint16_t>(v.i)); break;
        case MemberType::kLong: store<int32_t>(p, v.i); break;
        default: store<int64_t>(p, v.i); break;
    }
    c.ret_int(1);
}

}  // namespace

void* dll_struct_memory(const Instance& inst, int32_t handle) {
    DllStruct* s = struct_of(inst, handle);
    return s ? s->mem : nullptr;
}

void dll_struct_release_all(const Instance& inst) {
    auto it = tables().find(&inst);
    if (it == tables().end()) return;
    for (auto& s : it->second->slots)
        if (s) free_struct(*s);
    tables().erase(it);
}

// Every builtin in this file; each name has a row in keywords.inc.
constexpr Builtin kDllStructBuiltins[] = {
    {"dllstructalloc", dllstructalloc_fn},
    {"dllstructfree", dllstructfree_fn},
    {"dllstructpeek", dllstructpeek_fn},
    {"dllstructpoke", dllstructpoke_fn},
};

KEL_BUILTIN_FAMILY(kDllStructBuiltins)

}  // namespace kel::lib
