// Binary buffers, tagged sections: finding text between a start tag and an end tag,
// reading it and replacing whole sections (filling template files). The position is kept
// in a plain tag string that the script passes back and forth; a string the script edited
// is refused (1581) rather than trusted.
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/binbuf.h"
#include "interp/api/builtin.h"

namespace kel::lib {

namespace {

int64_t section_len(const TagState& t) {
    return static_cast<int64_t>(t.start_tag.size()) + t.data_len + static_cast<int64_t>(t.end_tag.size());
}

// The tag string of argument n and its buffer: 1581 for a string that is not a valid one
// or whose section lies outside the buffer's data, 3023 when its buffer was freed.
BinBuf* tag_arg(Call& c, int n, TagState* t) {
    if (!tag_parse(c.str(n), t)) return c.fail(Err::TagBadStructure), nullptr;
    BinBuf* b = binbuf_get(c.inst, kBinBufFirstHandle + t->slot);
    if (!b) return c.fail(Err::BadBinaryHandle), nullptr;
    int64_t end = t->offset + (t->state == kTagFound ? section_len(*t) : 0);
    if (end > b->eod) return c.fail(Err::TagBadStructure), nullptr;
    return b;
}

void ret_tag(Call& c, const TagState& t) { c.ret_str(tag_format(t)); }

// binarytaginit(h, start-tag, end-tag)
void binarytaginit_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    TagState t;
    t.slot = binbuf_slot(c.inst, c.integer(1));
    t.state = kTagInit;
    t.start_tag = c.str(2);
    t.end_tag = c.str(3);
    if (t.start_tag.empty() || t.end_tag.empty()) return (void)c.fail(Err::TagBlank);
    std::string s = tag_format(t);
    if (s.empty()) return (void)c.fail(Err::TagBadStructure);
    c.ret_str(s);
}

// binarytagfind(tag): the next section from the last position (after the section last
// found, or after the text last inserted), tags matched without case; "" when none.
void binarytagfind_fn(Call& c) {
    TagState t;
    BinBuf* b = tag_arg(c, 1, &t);
    if (!b) return;
    int64_t from = t.offset + (t.state == kTagFound ? section_len(t) : 0);
    int64_t start = binbuf_find(b->data, from, b->eod, t.start_tag, true);
    int64_t text = start + static_cast<int64_t>(t.start_tag.size());
    int64_t end = start < 0 ? -1 : binbuf_find(b->data, text, b->eod, t.end_tag, true);
    if (end < 0) return c.ret_str("");
    t.offset = static_cast<int32_t>(start);
    t.data_len = static_cast<int32_t>(end - text);
    t.state = kTagFound;
    ret_tag(c, t);
}

// binarytagindex(tag, mode): 0 the offset of the text after the start tag, 1 of the tag.
void binarytagindex_fn(Call& c) {
    TagState t;
    if (!tag_arg(c, 1, &t)) return;
    int32_t mode = c.integer(2);
    if (mode == 0) return c.ret_int(t.offset + static_cast<int32_t>(t.start_tag.size()));
    if (mode == 1) return c.ret_int(t.offset);
    c.fail(Err::TagBadMode);
}

// binarytaglen(tag, mode): 0 the length of the text between the tags, 1 of the section.
void binarytaglen_fn(Call& c) {
    TagState t;
    if (!tag_arg(c, 1, &t)) return;
    int32_t mode = c.integer(2);
    if (mode == 0) return c.ret_int(t.data_len);
    if (mode == 1) return c.ret_int(static_cast<int32_t>(section_len(t)));
    c.fail(Err::TagBadMode);
}

// binarytagextr(tag, flags): the text between the tags. Flags bit 0: each tab, CR or LF
// becomes a space, or goes when a space stands before or after it.
void binarytagextr_fn(Call& c) {
    TagState t;
    BinBuf* b = tag_arg(c, 1, &t);
    if (!b) return;
    const char* p = reinterpret_cast<const char*>(b->data) + t.offset + t.start_tag.size();
    std::string_view text(p, static_cast<size_t>(t.data_len));
    if (!(c.integer(2) & 1)) return c.ret_str(text);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (ch != '\t' && ch != '\r' && ch != '\n') {
            out.push_back(ch);
            continue;
        }
        bool space_before = !out.empty() && out.back() == ' ';
        bool space_after = i + 1 < text.size() && text[i + 1] == ' ';
        if (!space_before && !space_after) out.push_back(' ');
    }
    c.ret_str(out);
}

// binarytagrepl(tag, new-text): the whole section last found (both tags and the text)
// becomes new-text; when that would not fit the buffer nothing changes and the search
// simply moves past the section. Without a section found the tag string comes back as it is.
void binarytagrepl_fn(Call& c) {
    TagState t;
    BinBuf* b = tag_arg(c, 1, &t);
    if (!b) return;
    if (t.state != kTagFound) return c.ret_str(c.str(1));
    std::string_view rep = c.str(2);
    int64_t sec = section_len(t);
    int64_t sec_end = t.offset + sec;
    int64_t eod = b->eod - sec + static_cast<int64_t>(rep.size());
    if (eod > b->size) {
        t.offset = static_cast<int32_t>(sec_end);
    } else {
        uint8_t* at = b->data + t.offset;
        std::memmove(at + rep.size(), b->data + sec_end, static_cast<size_t>(b->eod - sec_end));
        std::memcpy(at, rep.data(), rep.size());
        if (eod < b->eod) std::memset(b->data + eod, 0, static_cast<size_t>(b->eod - eod));
        b->eod = static_cast<int32_t>(eod);
        t.offset += static_cast<int32_t>(rep.size());
    }
    t.state = kTagReplaced;
    t.data_len = 0;
    ret_tag(c, t);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kBinBufTagBuiltins[] = {
    {"binarytagextr", binarytagextr_fn},
    {"binarytagfind", binarytagfind_fn},
    {"binarytagindex", binarytagindex_fn},
    {"binarytaginit", binarytaginit_fn},
    {"binarytaglen", binarytaglen_fn},
    {"binarytagrepl", binarytagrepl_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kBinBufTagBuiltins)

}  // namespace kel::lib
