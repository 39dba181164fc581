// libFuzzer target: arbitrary bytes as what a client sent the status server.
// The parse must not depend on how the bytes were split into reads, and the
// reply the server would send must be well-formed HTTP. The same bytes as a
// worker name must come out of the metrics label escaper and the JSON
// summary as valid text that reads back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/http/request.hpp"
#include "net/http/response.hpp"
#include "status/metrics_text.hpp"
#include "status/summary_json.hpp"
#include "common/utf8.hpp"
#include "common/json.hpp"

using namespace nolu::qxt;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool same(const HttpRequest& a, const HttpRequest& b) {
    return a.method == b.method && a.path == b.path && a.has_authorization == b.has_authorization &&
           a.authorization == b.authorization;
}

// What the server would send for these bytes.
std::string reply_for(HttpParse parsed, const HttpRequest& request) {
    const HttpRoutes routes = [](std::string_view path) {
        if (path != "/metrics") return http_error(404);
        HttpReply r;
        r.body = "m 1\n";
        return r;
    };
    if (parsed == HttpParse::bad) return http_reply_bytes(http_error(400), false);
    if (parsed == HttpParse::too_large) return http_reply_bytes(http_error(413), false);
    return http_reply_bytes(answer_http(request, "t0ken", routes), request.method == "HEAD");
}

void check_reply(const std::string& reply) {
    check(reply.compare(0, 9, "HTTP/1.1 ") == 0 && reply.size() > 13 && reply[12] == ' ');
    const std::size_t end = reply.find("\r\n\r\n");
    check(end != std::string::npos);
    const std::string head = reply.substr(0, end + 2);
    const std::size_t length = head.find("\r\nContent-Length: ");
    check(length != std::string::npos);
    const std::size_t declared = std::strtoul(head.c_str() + length + 18, nullptr, 10);
    const std::size_t body = reply.size() - end - 4;
    check(body == declared || body == 0);
}

void check_texts(std::string_view bytes) {
    const std::string label = metric_label_value(bytes);
    check(label.find('\n') == std::string::npos);
    check(valid_utf8(label) == label);
    for (std::size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '\\') {
            check(i + 1 < label.size() && (label[i + 1] == '\\' || label[i + 1] == '"' || label[i + 1] == 'n'));
            ++i;
        } else {
            check(label[i] != '"');
        }
    }
    MinerSnapshot s;
    s.pool = PoolFacts{};
    s.pool->worker = std::string(bytes);
    JsonValue v;
    check(json_parse(format_summary(s), v));
    check(json_string_or(*json_find(v, "pool"), "worker", "") == valid_utf8(bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    HttpRequest whole;
    const HttpParse parsed = parse_http_request(bytes, whole);
    if (parsed == HttpParse::complete) {
        check(!whole.method.empty() && !whole.path.empty());
        check(whole.path.front() == '/' || whole.path == "*");
    }
    // Any shorter read gives nothing yet, or the same answer.
    for (const std::size_t cut : {size / 2, size > 0 ? size - 1 : 0, size > 0 ? std::size_t{data[0]} % size : 0}) {
        HttpRequest part;
        const HttpParse early = parse_http_request(bytes.substr(0, cut), part);
        check(early == HttpParse::incomplete || early == parsed);
        if (early == HttpParse::complete) check(same(part, whole));
    }
    if (parsed != HttpParse::incomplete) check_reply(reply_for(parsed, whole));
    if (size <= 4096) check_texts(bytes);
    return 0;
}
