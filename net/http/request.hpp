// The head of one HTTP/1.x request (request line and header fields), read
// from the bytes a connection has sent so far: what the status server needs
// of it, or why it is refused. A pure function of its input, so it can be
// fed arbitrary bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nolu::qxt {

// The largest request head the status server reads (request line, header
// fields and the blank line that ends them).
inline constexpr std::size_t http_max_head = 8192;

enum class HttpParse {
    incomplete,  // no end of the head yet: read more
    complete,    // a well-formed head; the request is filled in
    bad,         // malformed (400)
    too_large,   // no end of the head within the size cap (413)
};

struct HttpRequest {
    std::string method;                // case-sensitive, as sent: "GET"
    std::string path;                  // the target's path without query or fragment: "/metrics"
    bool has_authorization = false;
    std::string authorization;         // the Authorization field's value, without surrounding blanks
};

// Parses the head at the start of buffer. Lines end in CRLF or a bare LF;
// empty lines before the request line are skipped. The head, with the blank
// line that ends it, must fit in max_head bytes; bytes after it (a body, a
// second request) are ignored. Refused as bad: a request line other than
// "method SP target SP HTTP/1.x"; a target that is not a path ("/..."), an
// absolute URL or "*"; control bytes; folded or nameless field lines; an
// HTTP/1.1 request without exactly one Host field; two Authorization fields.
// The result depends only on the bytes, not on how they were split into reads.
HttpParse parse_http_request(std::string_view buffer, HttpRequest& out, std::size_t max_head = http_max_head);

}  // namespace nolu::qxt
