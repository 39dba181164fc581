// libFuzzer target: arbitrary bytes as /etc/hosts and as /etc/resolv.conf.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/hosts_file.hpp"
#include "net/resolv_conf.hpp"
#include "net/resolver.hpp"

using namespace nolu::qxt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    for (const char* name : {"pool.test", "localhost", "x"}) {
        const auto found = hosts_lookup(text, name);
        for (std::size_t i = 0; i < found.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (found[i] == found[j]) std::abort();
    }
    // The first word of the text as the name asked for.
    const std::size_t end = text.find_first_of(" \t\n#");
    hosts_lookup(text, text.substr(0, end == std::string_view::npos ? text.size() : end));

    const ResolvConf conf = parse_resolv_conf(text);
    if (conf.nameservers.empty() || conf.nameservers.size() > resolv_max_nameservers) std::abort();
    if (conf.search.size() > resolv_max_search) std::abort();
    if (conf.ndots < 0 || conf.ndots > 15 || conf.timeout_s < 1 || conf.timeout_s > 30 || conf.attempts < 1 ||
        conf.attempts > 5)
        std::abort();
    for (const std::string& domain : conf.search)
        if (domain.empty() || domain.size() > 253) std::abort();
    if (search_candidates("pool", conf).size() != conf.search.size() + 1) std::abort();
    parse_ip_literal(text.substr(0, 64));
    return 0;
}
