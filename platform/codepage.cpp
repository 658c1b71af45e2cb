// Platform layer: iconv behind code-page numbers. Descriptors are opened on first use of
// a code page and kept: a CGI process converts with one or two at most.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace kel::platform {

namespace {

std::string iconv_name(uint32_t cp) {
    switch (cp) {
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 20932: return "EUC-JP";
    case 51932: return "EUC-JP";
    case 51936: return "GB2312";
    case 51949: return "EUC-KR";
    case 50220: return "ISO-2022-JP";
    case 54936: return "GB18030";
    case 65000: return "UTF-7";
    case 65001: return "UTF-8";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 10000: return "MACINTOSH";
    default: break;
    }
    if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
    char buf[16];
    std::snprintf(buf, sizeof buf, "CP%u", cp);
    return buf;
}

struct Pair {
    uint32_t cp;
    iconv_t to16;
    iconv_t from16;
};

std::vector<Pair>& pairs() {
    static auto* v = new std::vector<Pair>;
    return *v;
}

const Pair* find_pair(uint32_t cp) {
    for (const Pair& p : pairs())
        if (p.cp == cp) return &p;
    std::string name = iconv_name(cp);
    iconv_t to16 = iconv_open("UTF-16LE", name.c_str());
    if (to16 == reinterpret_cast<iconv_t>(-1)) return nullptr;
    iconv_t from16 = iconv_open(name.c_str(), "UTF-16LE");
    if (from16 == reinterpret_cast<iconv_t>(-1)) {
        iconv_close(to16);
        return nullptr;
    }
    pairs().push_back(Pair{cp, to16, from16});
    return &pairs().back();
}

// Converts all of `in`, replacing what cannot be converted by `question` and skipping
// `skip` input bytes at each such point.
void run(iconv_t cd, const char* in, size_t in_len, size_t skip, std::string_view question, std::string* out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char buf[4096];
    char* src = const_cast<char*>(in);
    size_t left = in_len;
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out->append(buf, static_cast<size_t>(dst - buf));
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ: not representable or invalid; EINVAL: cut short at the end.
        out->append(question);
        size_t n = errno == EINVAL ? left : (skip < left ? skip : left);
        src += n;
        left -= n;
    }
    char* dst = buf;
    size_t room = sizeof buf;
    iconv(cd, nullptr, nullptr, &dst, &room);
    out->append(buf, static_cast<size_t>(dst - buf));
}

}  // namespace

bool codepage_known(uint32_t codepage) { return find_pair(codepage) != nullptr; }

bool codepage_to_utf16(uint32_t codepage, std::string_view in, std::u16string* out) {
    const Pair* p = find_pair(codepage);
    if (!p || !out) return false;
    std::string bytes;
    run(p->to16, in.data(), in.size(), 1, std::string_view("?\0", 2), &bytes);
    out->clear();
    out->reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out->push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return true;
}

bool codepage_from_utf16(uint32_t codepage, std::u16string_view in, std::string* out) {
    const Pair* p = find_pair(codepage);
    if (!p || !out) return false;
    std::string bytes;
    bytes.reserve(in.size() * 2);
    for (char16_t c : in) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    out->clear();
    run(p->from16, bytes.data(), bytes.size(), 2, "?", out);
    return true;
}

}  // namespace kel::platform
