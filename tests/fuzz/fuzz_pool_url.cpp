// libFuzzer target: arbitrary bytes as a pool URL (the first line) and a
// --tls-fingerprint value (the rest), through split_pool and pool_list. A
// parsed address must read back the same: its text, as the console names it,
// splits to the same host and port again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pool/url.hpp"

using namespace nolu::qxt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string url(input.substr(0, cut));
    const std::string pin = cut == std::string_view::npos ? "" : std::string(input.substr(cut + 1));
    for (const bool tls : {false, true}) {
        const Expected<Endpoint> endpoint = split_pool(url, tls);
        if (!endpoint) continue;
        const Expected<Endpoint> again = split_pool(endpoint_text(*endpoint), endpoint->tls);
        if (!again || again->host != endpoint->host || again->port != endpoint->port || again->tls != endpoint->tls)
            std::abort();
    }
    const Expected<std::vector<Endpoint>> pools = pool_list(url, {url}, false, {pin});
    if (pools && pools->size() != 2) std::abort();
    return 0;
}
