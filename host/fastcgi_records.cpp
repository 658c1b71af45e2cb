// FastCGI records: the reader of one request and the writers of the answer.
#include "host/fastcgi_records.h"

namespace kel::host::fastcgi {

namespace {

constexpr uint8_t kVersion = 1;

// A pair's length: one byte below 128, else four with the top bit set.
bool read_length(std::string_view block, size_t* at, uint64_t* len) {
    if (*at >= block.size()) return false;
    uint8_t b = static_cast<uint8_t>(block[*at]);
    if (b < 0x80) {
        *len = b;
        ++*at;
        return true;
    }
    if (block.size() - *at < 4) return false;
    *len = (uint64_t{b} & 0x7F) << 24 | uint64_t{static_cast<uint8_t>(block[*at + 1])} << 16 |
           uint64_t{static_cast<uint8_t>(block[*at + 2])} << 8 | static_cast<uint8_t>(block[*at + 3]);
    *at += 4;
    return true;
}

void put_length(std::string& out, size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<char>(n));
        return;
    }
    out.push_back(static_cast<char>(0x80 | ((n >> 24) & 0x7F)));
    out.push_back(static_cast<char>(n >> 16));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n));
}

// The answer to FCGI_GET_VALUES: the values asked for that this server knows.
std::string get_values_result(std::string_view query) {
    std::string out;
    std::vector<std::string> asked;
    decode_pairs(query, &asked);
    for (const std::string& e : asked) {
        std::string_view name = std::string_view(e).substr(0, e.find('='));
        // One request per connection and no multiplexing; a worker serves one connection.
        if (name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS") put_pair(out, name, "1");
        else if (name == "FCGI_MPXS_CONNS") put_pair(out, name, "0");
    }
    return out;
}

}  // namespace

void put_record(std::string& out, uint8_t type, uint16_t id, std::string_view content) {
    const size_t n = content.size() < kMaxContent ? content.size() : kMaxContent;
    const char h[kHeaderSize] = {static_cast<char>(kVersion), static_cast<char>(type), static_cast<char>(id >> 8),
                                 static_cast<char>(id),       static_cast<char>(n >> 8), static_cast<char>(n),
                                 0,                           0};
    out.append(h, kHeaderSize);
    out.append(content.data(), n);
}

void put_stream(std::string& out, uint8_t type, uint16_t id, std::string_view data) {
    while (!data.empty()) {
        // Whole multiples of 8 in each full record.
        size_t n = data.size() < kMaxContent ? data.size() : kMaxContent & ~size_t{7};
        put_record(out, type, id, data.substr(0, n));
        data.remove_prefix(n);
    }
}

void put_end_request(std::string& out, uint16_t id, uint32_t app_status, uint8_t protocol_status) {
    const char body[8] = {static_cast<char>(app_status >> 24), static_cast<char>(app_status >> 16),
                          static_cast<char>(app_status >> 8),  static_cast<char>(app_status),
                          static_cast<char>(protocol_status),  0,
                          0,                                   0};
    put_record(out, kEndRequest, id, std::string_view(body, sizeof body));
}

void put_pair(std::string& out, std::string_view name, std::string_view value) {
    put_length(out, name.size());
    put_length(out, value.size());
    out.append(name);
    out.append(value);
}

bool decode_pairs(std::string_view block, std::vector<std::string>* entries) {
    size_t at = 0;
    while (at < block.size()) {
        uint64_t name = 0, value = 0;
        if (!read_length(block, &at, &name) || !read_length(block, &at, &value)) return false;
        const uint64_t left = block.size() - at;
        if (name > left || value > left - name) return false;
        std::string e;
        e.reserve(static_cast<size_t>(name + value + 1));
        e.append(block.data() + at, static_cast<size_t>(name));
        e.push_back('=');
        e.append(block.data() + at + name, static_cast<size_t>(value));
        at += static_cast<size_t>(name + value);
        entries->push_back(std::move(e));
    }
    return true;
}

void RequestReader::refuse(const char* why) {
    state_ = Refused;
    why_ = why;
}

void RequestReader::record(uint8_t type, uint16_t id, std::string_view content, std::string* replies,
                           std::string* out, uint64_t limit) {
    if (id == 0) {  // a management record
        if (type == kGetValues) {
            put_record(*replies, kGetValuesResult, 0, get_values_result(content));
        } else {
            const char body[8] = {static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0};
            put_record(*replies, kUnknownType, 0, std::string_view(body, sizeof body));
        }
        return;
    }
    if (type == kBeginRequest) {
        if (id_ == 0) {
            if (content.size() < 8) return refuse("a short BEGIN_REQUEST record");
            uint16_t role = static_cast<uint16_t>(static_cast<uint8_t>(content[0]) << 8 | static_cast<uint8_t>(content[1]));
            if (role != kRoleResponder) {
                put_end_request(*replies, id, 0, kUnknownRole);
                return;
            }
            id_ = id;
            keep_conn_ = (static_cast<uint8_t>(content[2]) & kKeepConn) != 0;
        } else if (id == id_) {
            refuse("a second BEGIN_REQUEST for the request");
        } else {
            put_end_request(*replies, id, 0, kCantMultiplex);
        }
        return;
    }
    if (id != id_ || id_ == 0) return;  // a request refused or never begun
    if (type == kAbortRequest) return refuse("the request was aborted");
    if (state_ == Params) {
        if (type == kStdin) return refuse("content before the end of the params");
        if (type != kParams) return;
        if (!content.empty()) {
            if (content.size() > kMaxParamsBytes - raw_params_.size()) return refuse("params over 1 MiB");
            raw_params_.append(content);
            return;
        }
        if (!decode_pairs(raw_params_, &params_)) return refuse("a param longer than the params");
        raw_params_.clear();
        raw_params_.shrink_to_fit();
        state_ = Content;
        return;
    }
    if (type != kStdin) return;  // params again, data: not read
    if (content.empty()) {
        state_ = Ended;
        return;
    }
    if (out && out->size() < limit) {
        uint64_t room = limit - out->size();
        out->append(content.data(), content.size() < room ? content.size() : static_cast<size_t>(room));
    }
}

size_t RequestReader::take(const uint8_t* data, size_t n, std::string* replies, std::string* content,
                           uint64_t content_limit) {
    size_t at = 0;
    const State from = state_;  // the params' end, or the content's, ends the taking
    while (state_ == from && (state_ == Params || state_ == Content) && n - at >= kHeaderSize) {
        const uint8_t* h = data + at;
        if (h[0] != kVersion) {
            refuse("a record of another protocol version");
            break;
        }
        const size_t len = size_t{h[4]} << 8 | h[5], whole = kHeaderSize + len + h[6];
        if (n - at < whole) break;
        record(h[1], static_cast<uint16_t>(h[2] << 8 | h[3]),
               std::string_view(reinterpret_cast<const char*>(h) + kHeaderSize, len), replies, content,
               content_limit);
        at += whole;
    }
    return at;
}

}  // namespace kel::host::fastcgi
