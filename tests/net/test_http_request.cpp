// The status server's request parser and the way a request is judged:
// what is read from which bytes, what is refused, and in which order.
#include <gtest/gtest.h>

#include <string>

#include "net/http/request.hpp"
#include "net/http/response.hpp"

using namespace nolu::qxt;

namespace {

HttpParse parse(const std::string& bytes, HttpRequest* out = nullptr) {
    HttpRequest request;
    const HttpParse result = parse_http_request(bytes, request);
    if (out != nullptr) *out = request;
    return result;
}

}  // namespace

TEST(HttpRequest, ReadsMethodPathAndAuthorization) {
    HttpRequest r;
    ASSERT_EQ(parse("GET /metrics?x=1#f HTTP/1.1\r\nHost: rig\r\nAuthorization:  Bearer abc \r\n\r\n", &r),
              HttpParse::complete);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/metrics");
    EXPECT_TRUE(r.has_authorization);
    EXPECT_EQ(r.authorization, "Bearer abc");

    // Bare line feeds, empty lines before the request line, HTTP/1.0 without Host,
    // field names in any case, a body after the head.
    ASSERT_EQ(parse("\r\n\nHEAD /summary HTTP/1.0\nauthorization: x\n\nbody", &r), HttpParse::complete);
    EXPECT_EQ(r.method, "HEAD");
    EXPECT_EQ(r.path, "/summary");
    EXPECT_EQ(r.authorization, "x");

    // Absolute URLs give their path; without one, "/".
    ASSERT_EQ(parse("GET http://rig:9100/metrics?a HTTP/1.1\r\nHost: rig\r\n\r\n", &r), HttpParse::complete);
    EXPECT_EQ(r.path, "/metrics");
    ASSERT_EQ(parse("GET HTTPS://rig HTTP/1.1\r\nHost: rig\r\n\r\n", &r), HttpParse::complete);
    EXPECT_EQ(r.path, "/");
    ASSERT_EQ(parse("OPTIONS * HTTP/1.1\r\nHost: rig\r\n\r\n", &r), HttpParse::complete);
    EXPECT_EQ(r.method, "OPTIONS");
}

TEST(HttpRequest, EveryPrefixIsIncompleteAndTheResultDoesNotDependOnTheSplit) {
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: rig\r\nUser-Agent: Prometheus/2.42\r\n\r\n";
    for (std::size_t n = 0; n < request.size(); ++n)
        EXPECT_EQ(parse(request.substr(0, n)), HttpParse::incomplete) << n;
    EXPECT_EQ(parse(request), HttpParse::complete);
    EXPECT_EQ(parse(request + "GET /other HTTP/1.1\r\n"), HttpParse::complete);
}

TEST(HttpRequest, TheHeadMustFitInTheCap) {
    const std::string start = "GET /metrics HTTP/1.1\r\nHost: rig\r\nX: ";
    const std::string end = "\r\n\r\n";
    const std::string fits = start + std::string(http_max_head - start.size() - end.size(), 'a') + end;
    ASSERT_EQ(fits.size(), http_max_head);
    EXPECT_EQ(parse(fits), HttpParse::complete);
    const std::string over = start + std::string(http_max_head - start.size() - end.size() + 1, 'a') + end;
    EXPECT_EQ(parse(over), HttpParse::too_large);
    // Without an end: incomplete below the cap, too large at it.
    EXPECT_EQ(parse(std::string(http_max_head - 1, 'G')), HttpParse::incomplete);
    EXPECT_EQ(parse(std::string(http_max_head, 'G')), HttpParse::too_large);
}

TEST(HttpRequest, MalformedHeadsAreRefused) {
    for (const char* bad : {
             "GET /metrics\r\n\r\n",                                   // no version
             "GET  /metrics HTTP/1.1\r\nHost: a\r\n\r\n",              // two spaces
             "GET /metrics HTTP/1.1 \r\nHost: a\r\n\r\n",              // trailing space
             "GET /metrics HTTP/2.0\r\nHost: a\r\n\r\n",               // not HTTP/1.x
             "GET /metrics http/1.1\r\nHost: a\r\n\r\n",               // version case
             "G(T /metrics HTTP/1.1\r\nHost: a\r\n\r\n",               // method not a token
             "GET metrics HTTP/1.1\r\nHost: a\r\n\r\n",                // target not a path
             "GET http:///metrics HTTP/1.1\r\nHost: a\r\n\r\n",        // URL without a host
             "GET /m\x01 HTTP/1.1\r\nHost: a\r\n\r\n",                 // control byte in the target
             "GET /m\xC3\xA9 HTTP/1.1\r\nHost: a\r\n\r\n",             // raw UTF-8 in the target
             "GET /metrics HTTP/1.1\r\n\r\n",                          // HTTP/1.1 without Host
             "GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",    // two Hosts
             "GET /metrics HTTP/1.1\r\nHost : a\r\n\r\n",              // blank before the colon
             "GET /metrics HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n",    // obsolete folding
             "GET /metrics HTTP/1.1\r\nHost: a\r\nnocolon\r\n\r\n",    // no colon
             "GET /metrics HTTP/1.1\r\nHost: a\r\n: x\r\n\r\n",        // no name
             "GET /metrics HTTP/1.1\r\nHost: a\rX: b\r\n\r\n",         // bare CR
             "GET /metrics HTTP/1.1\r\nHost: a\r\nX: \x7f\r\n\r\n",    // DEL in a value
             "GET /metrics HTTP/1.1\r\nHost: a\r\nAuthorization: Bearer a\r\nauthorization: Bearer b\r\n\r\n",
         }) {
        HttpRequest r;
        EXPECT_EQ(parse(bad, &r), HttpParse::bad) << bad;
        EXPECT_TRUE(r.method.empty());
    }
    // Bytes above 0x7F are allowed in field values.
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: a\r\nUser-Agent: caf\xC3\xA9\r\n\r\n"), HttpParse::complete);
}

TEST(HttpReply, BytesOnTheWire) {
    HttpReply reply;
    reply.content_type = "application/json";
    reply.body = "{}\n";
    EXPECT_EQ(http_reply_bytes(reply, false),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 3\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n{}\n");
    // HEAD: the same fields, the GET body's length, no body.
    EXPECT_EQ(http_reply_bytes(reply, true),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 3\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
    EXPECT_NE(http_reply_bytes(http_error(405), false).find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_NE(http_reply_bytes(http_error(401), false).find("\r\nWWW-Authenticate: Bearer"), std::string::npos);
    EXPECT_NE(http_reply_bytes(http_error(503), false).find("\r\nRetry-After: 1\r\n"), std::string::npos);
    EXPECT_EQ(http_error(413).body, "413 Content Too Large\n");
}

TEST(HttpReply, BearerTokenMatchesOnlyExactly) {
    EXPECT_TRUE(bearer_matches("Bearer s3cret", "s3cret"));
    EXPECT_TRUE(bearer_matches("bearer \t s3cret", "s3cret"));
    EXPECT_TRUE(bearer_matches("BEARER s3cret", "s3cret"));
    EXPECT_FALSE(bearer_matches("Bearer s3cre", "s3cret"));
    EXPECT_FALSE(bearer_matches("Bearer s3crett", "s3cret"));
    EXPECT_FALSE(bearer_matches("Bearer S3cret", "s3cret"));
    EXPECT_FALSE(bearer_matches("Bearers3cret", "s3cret"));
    EXPECT_FALSE(bearer_matches("Basic s3cret", "s3cret"));
    EXPECT_FALSE(bearer_matches("s3cret", "s3cret"));
    EXPECT_FALSE(bearer_matches("Bearer ", ""));
    EXPECT_FALSE(bearer_matches("Bearer", ""));
}

TEST(HttpReply, TokenIsCheckedBeforeTheMethodAndThePath) {
    int routed = 0;
    const HttpRoutes routes = [&routed](std::string_view path) {
        ++routed;
        if (path != "/metrics") return http_error(404);
        HttpReply r;
        r.body = "ok";
        return r;
    };
    auto request = [](const char* method, const char* path, const char* authorization) {
        HttpRequest r;
        r.method = method;
        r.path = path;
        if (authorization != nullptr) {
            r.has_authorization = true;
            r.authorization = authorization;
        }
        return r;
    };
    EXPECT_EQ(answer_http(request("GET", "/metrics", nullptr), "", routes).body, "ok");
    EXPECT_EQ(answer_http(request("GET", "/nope", nullptr), "", routes).status, 404);
    EXPECT_EQ(answer_http(request("POST", "/metrics", nullptr), "", routes).status, 405);
    EXPECT_EQ(answer_http(request("get", "/metrics", nullptr), "", routes).status, 405);
    EXPECT_EQ(routed, 2);
    // With a token, nothing is revealed without it: not even which paths or methods exist.
    EXPECT_EQ(answer_http(request("GET", "/metrics", nullptr), "t0k", routes).status, 401);
    EXPECT_EQ(answer_http(request("POST", "/nope", "Bearer wrong"), "t0k", routes).status, 401);
    EXPECT_EQ(routed, 2);
    EXPECT_EQ(answer_http(request("POST", "/metrics", "Bearer t0k"), "t0k", routes).status, 405);
    EXPECT_EQ(answer_http(request("HEAD", "/metrics", "Bearer t0k"), "t0k", routes).body, "ok");
}

TEST(HttpReply, PostGoesToTheActionsOnlyBehindAToken) {
    const HttpRoutes none = [](std::string_view) { return http_error(404); };
    const HttpRoutes actions = [](std::string_view path) { return HttpReply{.body = std::string(path), .extra_headers = ""}; };
    HttpRequest post;
    post.method = "POST";
    post.path = "/pause";
    // No token configured: refused, saying why (loopback is no excuse).
    EXPECT_EQ(http_reply_bytes(answer_http(post, "", none, actions), false).substr(0, 24), "HTTP/1.1 403 Forbidden\r\n");
    EXPECT_NE(answer_http(post, "", none, actions).body.find("start it with --http-token"), std::string::npos);
    EXPECT_EQ(answer_http(post, "t0k", none, actions).status, 401);
    post.has_authorization = true;
    post.authorization = "Bearer t0k";
    EXPECT_EQ(answer_http(post, "t0k", none, actions).body, "/pause");
}
