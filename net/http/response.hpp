// What the status server answers: replies as values, their bytes on the
// wire, the bearer-token check and the order in which a request is judged.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "net/http/request.hpp"

namespace nolu::qxt {

struct HttpReply {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::string extra_headers;  // whole field lines, each ending in CRLF
};

// "OK", "Not Found", ...; "Error" for a status without a phrase here.
const char* http_reason(int status);

// A short plain-text reply for an error status ("404 Not Found\n"), with the
// field lines the status calls for (Allow on 405, WWW-Authenticate on 401,
// Retry-After on 503).
HttpReply http_error(int status);

// The reply's bytes: status line, Content-Type, Content-Length (of the body,
// also for HEAD), Cache-Control: no-store, Connection: close, the extra
// fields, a blank line, and the body unless head.
std::string http_reply_bytes(const HttpReply& reply, bool head);

// Whether an Authorization value is "Bearer <token>" (scheme in any case,
// blanks between). The comparison takes the same time wherever the first
// differing byte is: it depends only on the length of token.
bool bearer_matches(std::string_view authorization, std::string_view token);

// The server's routes: the reply for a path of a GET or HEAD request (or,
// as actions, of a POST) that passed the token check; unknown paths give 404.
using HttpRoutes = std::function<HttpReply(std::string_view path)>;

// Judges a parsed request: 401 without the right token (when token is not
// empty), then the routes for GET and HEAD; a POST goes to the actions, which
// change the miner, so only behind a token: without one it is answered 403
// (saying so), and without actions 405, like any other method.
HttpReply answer_http(const HttpRequest& request, std::string_view token, const HttpRoutes& routes,
                      const HttpRoutes& actions = {});

}  // namespace nolu::qxt
