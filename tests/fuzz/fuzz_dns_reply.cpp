// libFuzzer target: arbitrary bytes as a name server's reply to a query
// for "pool.test" (the first two bytes are the id asked with, so a seed's
// own id matches), read for A and for AAAA records.
#include <cstdint>
#include <cstdlib>

#include "net/dns_message.hpp"

using namespace nolu::qxt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string wire = *dns_wire_name("pool.test");
    const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>((data[0] << 8) | data[1]) : 0;
    for (const std::uint16_t type : {dns_type_a, dns_type_aaaa}) {
        const DnsReply reply = parse_dns_reply(data, size, id, wire, type);
        // Only an answer carries addresses, only of the type asked for, and
        // never from a truncated reply; each address once.
        if (!reply.addresses.empty() && (reply.kind != DnsReply::Kind::answer || reply.truncated)) std::abort();
        for (std::size_t i = 0; i < reply.addresses.size(); ++i) {
            if (reply.addresses[i].v6 != (type == dns_type_aaaa)) std::abort();
            for (std::size_t j = 0; j < i; ++j)
                if (reply.addresses[j] == reply.addresses[i]) std::abort();
        }
        // Every address needs a record of at least 11 bytes plus its data.
        if (reply.addresses.size() * 15 > size) std::abort();
    }
    return 0;
}
