// Form fields of the posted content, URL-encoded or multipart: parsed once per request
// into an index of names and value ranges that every field function reads.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kel::host {

// The parts of multipart content in order: `fn` gets each part's field name and value
// bytes and returns false to stop. An empty boundary has no parts. A part whose name has
// no closing quote is skipped; the parts after it are still found.
void for_each_part(std::string_view content, std::string_view boundary,
                   const std::function<bool(std::string_view name, std::string_view value)>& fn);

// A hash keyed per process from the system's random source, so that a request cannot
// choose names that collide.
struct KeyedHash {
    size_t operator()(std::string_view s) const;
};

class FormIndex {
public:
    // Indexes `content` (kind 2 URL-encoded: the text from its leading "&"; kind 3
    // multipart: the bytes). False, with the index empty, when the content holds more
    // than `max_fields` fields (every non-empty "&"-separated field, every multipart part).
    bool build(std::string_view content, int kind, std::string_view boundary, size_t max_fields);
    void clear();
    size_t field_count() const { return counted_; }

    // Every value of the field `name`, in order, joined by tabs and cut at `limit` bytes.
    // URL-encoded names match literally first (without case), then by their decoded form;
    // multipart names without case. With `text` each value ends at its first NUL.
    // `content` is the same text the index was built from (it may have moved).
    std::string value(std::string_view content, std::string_view name, size_t limit, bool text) const;
    // Every name once (exact comparison), in first-occurrence order, joined by tabs.
    std::string names(std::string_view content) const;

private:
    struct Field {
        uint32_t name_off, name_len;    // the name as sent (URL-encoded: undecoded)
        uint32_t value_off, value_len;  // the value as sent
    };
    struct Chain {
        uint32_t first, last;
    };
    using Map = std::unordered_map<std::string, Chain, KeyedHash>;
    static void link(Map& map, std::vector<uint32_t>& next, std::string key, uint32_t field);
    std::string collect(std::string_view content, const Map& map, const std::vector<uint32_t>& next,
                        std::string_view name, size_t limit, bool text) const;

    int kind_ = 0;
    size_t counted_ = 0;
    std::vector<Field> fields_;
    std::vector<std::string> decoded_;  // URL-encoded: each name decoded, cut at 4096 and at a NUL
    Map literal_, decoded_map_;
    std::vector<uint32_t> literal_next_, decoded_next_;
};

// One-shot readers over content that has no index yet (tests, tools).
std::string field_value(std::string_view content, int kind, std::string_view boundary, std::string_view name,
                        size_t limit, bool text = false);
std::string field_names(std::string_view content, int kind, std::string_view boundary = {});

}  // namespace kel::host
