#include "net/dns_message.hpp"

#include <algorithm>

namespace nolu::qxt {

namespace {

constexpr std::size_t header_size = 12;
constexpr std::size_t max_name = 255;
constexpr int max_pointer_hops = 64;
constexpr int max_cname_hops = 16;
constexpr std::uint16_t class_in = 1;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool u16(std::size_t& at, std::uint16_t& out) const {
        if (at + 2 > size_) return false;
        out = static_cast<std::uint16_t>((data_[at] << 8) | data_[at + 1]);
        at += 2;
        return true;
    }

    // The name at `at` in wire form, lower case; `at` moves past it (past the
    // first pointer when it is compressed).
    bool name(std::size_t& at, std::string& out) const {
        out.clear();
        std::size_t pos = at;
        bool jumped = false;
        int hops = 0;
        for (;;) {
            if (pos >= size_) return false;
            const std::uint8_t length = data_[pos];
            if (length == 0) {
                out.push_back('\0');
                if (!jumped) at = pos + 1;
                return out.size() <= max_name;
            }
            if ((length & 0xC0) == 0xC0) {
                if (pos + 1 >= size_) return false;
                const std::size_t target = (static_cast<std::size_t>(length & 0x3F) << 8) | data_[pos + 1];
                // Only backwards: together with the length cap this ends every loop.
                if (target >= pos || ++hops > max_pointer_hops) return false;
                if (!jumped) at = pos + 2;
                jumped = true;
                pos = target;
                continue;
            }
            if ((length & 0xC0) != 0) return false;  // the reserved label kinds
            if (pos + 1 + length > size_ || out.size() + 1 + length + 1 > max_name) return false;
            out.push_back(static_cast<char>(length));
            for (std::size_t i = 0; i < length; ++i) out.push_back(lower(static_cast<char>(data_[pos + 1 + i])));
            pos += 1 + length;
        }
    }

    const std::uint8_t* data() const { return data_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

struct Record {
    std::string owner;
    std::uint16_t type = 0;
    std::uint16_t rclass = 0;
    std::size_t rdata = 0;
    std::uint16_t rdlength = 0;
    std::string target;  // a CNAME's target
};

bool read_record(const Reader& reader, std::size_t size, std::size_t& at, Record& record) {
    std::uint16_t ttl_high = 0, ttl_low = 0;
    if (!reader.name(at, record.owner) || !reader.u16(at, record.type) || !reader.u16(at, record.rclass) ||
        !reader.u16(at, ttl_high) || !reader.u16(at, ttl_low) || !reader.u16(at, record.rdlength))
        return false;
    if (at + record.rdlength > size) return false;
    record.rdata = at;
    if (record.type == dns_type_cname) {
        std::size_t target_at = at;
        if (!reader.name(target_at, record.target) || target_at > at + record.rdlength) return false;
    }
    at += record.rdlength;
    return true;
}

}  // namespace

std::optional<std::string> dns_wire_name(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.empty()) return std::nullopt;
    std::string wire;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(start, dot == std::string_view::npos ? name.npos : dot - start);
        if (label.empty() || label.size() > 63) return std::nullopt;
        wire.push_back(static_cast<char>(label.size()));
        for (const char c : label) wire.push_back(lower(c));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    wire.push_back('\0');
    if (wire.size() > max_name) return std::nullopt;
    return wire;
}

std::vector<std::uint8_t> dns_query(std::uint16_t id, const std::string& wire_name, std::uint16_t type) {
    std::vector<std::uint8_t> query;
    query.reserve(header_size + wire_name.size() + 4);
    auto put16 = [&query](std::uint16_t value) {
        query.push_back(static_cast<std::uint8_t>(value >> 8));
        query.push_back(static_cast<std::uint8_t>(value));
    };
    put16(id);
    put16(0x0100);  // a standard query, recursion desired
    put16(1);       // one question
    put16(0);
    put16(0);
    put16(0);
    for (const char c : wire_name) query.push_back(static_cast<std::uint8_t>(c));
    put16(type);
    put16(class_in);
    return query;
}

DnsReply parse_dns_reply(const std::uint8_t* data, std::size_t size, std::uint16_t id, const std::string& wire_name,
                         std::uint16_t type) {
    DnsReply reply;
    const Reader reader(data, size);
    std::size_t at = 0;
    std::uint16_t reply_id = 0, flags = 0, questions = 0, answers = 0, authority = 0, additional = 0;
    if (size < header_size || !reader.u16(at, reply_id) || !reader.u16(at, flags) || !reader.u16(at, questions) ||
        !reader.u16(at, answers) || !reader.u16(at, authority) || !reader.u16(at, additional))
        return reply;
    const bool is_reply = (flags & 0x8000) != 0;
    const int opcode = (flags >> 11) & 0x0F;
    if (reply_id != id || !is_reply || opcode != 0 || questions != 1) return reply;

    std::string question;
    std::uint16_t question_type = 0, question_class = 0;
    if (!reader.name(at, question) || !reader.u16(at, question_type) || !reader.u16(at, question_class) ||
        question != wire_name || question_type != type || question_class != class_in)
        return reply;

    reply.truncated = (flags & 0x0200) != 0;
    const int rcode = flags & 0x0F;
    if (rcode == 3) {
        reply.kind = DnsReply::Kind::no_such_name;
        return reply;
    }
    if (rcode != 0) {
        reply.kind = DnsReply::Kind::server_failure;
        return reply;
    }
    reply.kind = DnsReply::Kind::answer;
    if (reply.truncated) return reply;  // what is there may be cut short: ask again over TCP

    std::vector<Record> records;
    for (std::uint16_t i = 0; i < answers; ++i) {
        Record record;
        if (!read_record(reader, size, at, record)) {
            reply.kind = DnsReply::Kind::server_failure;  // a broken answer: try another server
            return reply;
        }
        if (record.rclass == class_in) records.push_back(std::move(record));
    }

    std::string owner = wire_name;
    for (int hop = 0; hop < max_cname_hops; ++hop) {
        const auto alias = std::find_if(records.begin(), records.end(), [&](const Record& r) {
            return r.type == dns_type_cname && r.owner == owner;
        });
        if (alias == records.end()) break;
        owner = alias->target;
    }
    const std::size_t length = type == dns_type_a ? 4 : 16;
    for (const Record& record : records) {
        if (record.type != type || record.owner != owner || record.rdlength != length) continue;
        IpAddress address;
        address.v6 = type == dns_type_aaaa;
        std::copy(data + record.rdata, data + record.rdata + length, address.bytes.begin());
        if (std::find(reply.addresses.begin(), reply.addresses.end(), address) == reply.addresses.end())
            reply.addresses.push_back(address);
    }
    return reply;
}

}  // namespace nolu::qxt
