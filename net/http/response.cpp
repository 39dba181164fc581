#include "net/http/response.hpp"

namespace nolu::qxt {

const char* http_reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 413: return "Content Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Error";
    }
}

HttpReply http_error(int status) {
    HttpReply reply;
    reply.status = status;
    reply.body = std::to_string(status) + " " + http_reason(status) + "\n";
    if (status == 401) reply.extra_headers = "WWW-Authenticate: Bearer realm=\"korven-qxt\"\r\n";
    if (status == 405) reply.extra_headers = "Allow: GET, HEAD\r\n";
    if (status == 503) reply.extra_headers = "Retry-After: 1\r\n";
    return reply;
}

std::string http_reply_bytes(const HttpReply& reply, bool head) {
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + http_reason(reply.status) + "\r\n";
    out += "Content-Type: " + reply.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nConnection: close\r\n";
    out += reply.extra_headers;
    out += "\r\n";
    if (!head) out += reply.body;
    return out;
}

bool bearer_matches(std::string_view authorization, std::string_view token) {
    static constexpr std::string_view scheme = "bearer";
    if (authorization.size() <= scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = authorization[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    std::string_view given = authorization.substr(scheme.size());
    if (given.front() != ' ' && given.front() != '\t') return false;
    while (!given.empty() && (given.front() == ' ' || given.front() == '\t')) given.remove_prefix(1);
    // Every byte of token is compared, whatever matched before.
    unsigned diff = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0u;
        diff |= g ^ static_cast<unsigned char>(token[i]);
    }
    return diff == 0 && !token.empty();
}

HttpReply answer_http(const HttpRequest& request, std::string_view token, const HttpRoutes& routes,
                      const HttpRoutes& actions) {
    if (!token.empty() && !(request.has_authorization && bearer_matches(request.authorization, token)))
        return http_error(401);
    if (request.method == "POST" && actions) {
        if (!token.empty()) return actions(request.path);
        HttpReply reply = http_error(403);
        reply.body += "POST requests change the miner: they need a bearer token (start it with --http-token)\n";
        return reply;
    }
    if (request.method != "GET" && request.method != "HEAD") return http_error(405);
    return routes(request.path);
}

}  // namespace nolu::qxt
