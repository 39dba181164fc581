// The status server on loopback, with short limits: replies, the token,
// hostile and broken clients (oversized, slow, idle, not reading), the cap
// on connections and a prompt stop.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/http/listen.hpp"
#include "net/http/server.hpp"
#include "tests/support/http_client.hpp"

using namespace nolu::qxt;
using namespace nolu::qxt::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t big_body = 16u << 20;  // more than loopback socket buffers hold

struct Served {
    std::unique_ptr<HttpServer> server;
    std::uint16_t port = 0;
    std::atomic<int> routed{0};
};

std::unique_ptr<Served> serve(const std::string& token = "", HttpServerLimits limits = {}) {
    auto served = std::make_unique<Served>();
    Expected<HttpListener> listener = open_http_listener(HttpEndpoint{"127.0.0.1", 0}, false, "test");
    EXPECT_TRUE(listener) << listener.error().message;
    if (!listener) return served;
    served->port = listener->port;
    Served* s = served.get();
    Expected<std::unique_ptr<HttpServer>> server =
        HttpServer::start(listener->fd, token, [s](std::string_view path) {
            s->routed.fetch_add(1);
            HttpReply reply;
            if (path == "/metrics") {
                reply.body = "metric 1\n";
            } else if (path == "/big") {
                reply.body.assign(big_body, 'x');
            } else {
                reply = http_error(404);
            }
            return reply;
        }, limits);
    EXPECT_TRUE(server);
    if (server) served->server = std::move(*server);
    return served;
}

HttpServerLimits short_limits() {
    HttpServerLimits limits;
    limits.max_connections = 4;
    limits.request_time = 300ms;
    limits.reply_time = 1000ms;
    limits.linger_time = 200ms;
    return limits;
}

// Whether the server has closed fd (EOF or reset) within the limit.
bool closed_by_server(int fd, std::chrono::milliseconds limit) {
    return read_until_closed(fd, limit).closed;
}

}  // namespace

TEST(HttpServer, AnswersGetHeadAndErrors) {
    auto s = serve();
    HttpResult r = http_get(s->port, "/metrics");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "metric 1\n");
    EXPECT_EQ(http_field(r, "Content-Length"), "9");
    EXPECT_EQ(http_field(r, "Connection"), "close");
    EXPECT_TRUE(r.closed);

    r = http_exchange(s->port, "HEAD /metrics HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(http_field(r, "Content-Length"), "9");
    EXPECT_EQ(r.body, "");

    EXPECT_EQ(http_get(s->port, "/").status, 404);
    r = http_exchange(s->port, "DELETE /metrics HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(http_field(r, "Allow"), "GET, HEAD");
    EXPECT_EQ(http_exchange(s->port, "GET /metrics HTTP/1.1\r\n\r\n").status, 400);  // no Host
    const std::string tls_hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15);
    EXPECT_EQ(http_exchange(s->port, tls_hello).status, 400);

    // A request in pieces, and a second request glued behind the first: one
    // reply, whole, then the close.
    const int fd = connect_loopback(s->port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, "GET /met"));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(send_all(fd, "rics HTTP/1.1\r\nHost: a\r\n\r\nGET /metrics HTTP/1.1\r\nHost: a\r\n\r\n"));
    r = parse_http_result(read_until_closed(fd, 5s));
    ::close(fd);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "metric 1\n");
    EXPECT_TRUE(r.closed);
}

TEST(HttpServer, TokenGuardsEveryPath) {
    auto s = serve("t0k.en/+=");
    HttpResult r = http_get(s->port, "/metrics");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(http_field(r, "WWW-Authenticate"), "Bearer realm=\"korven-qxt\"");
    EXPECT_EQ(http_get(s->port, "/nope").status, 401);
    EXPECT_EQ(http_get(s->port, "/metrics", "Authorization: Bearer t0k.en/+\r\n").status, 401);
    EXPECT_EQ(http_get(s->port, "/metrics", "Authorization: Basic dDBrLmVuLys9\r\n").status, 401);
    EXPECT_EQ(s->routed.load(), 0);
    r = http_get(s->port, "/metrics", "Authorization: Bearer t0k.en/+=\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "metric 1\n");
    // A reload's new token holds from the next request on; the old one is refused.
    s->server->set_token("n3w");
    EXPECT_EQ(http_get(s->port, "/metrics", "Authorization: Bearer t0k.en/+=\r\n").status, 401);
    EXPECT_EQ(http_get(s->port, "/metrics", "Authorization: Bearer n3w\r\n").status, 200);
}

TEST(HttpServer, OversizedRequestGets413) {
    auto s = serve("", short_limits());
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: a\r\nX-Fill: " + std::string(9000, 'a') + "\r\n\r\n";
    const HttpResult r = http_exchange(s->port, head);
    EXPECT_EQ(r.status, 413);
    EXPECT_TRUE(r.closed);
    // A huge target too, without any line end.
    EXPECT_EQ(http_exchange(s->port, "GET /" + std::string(20000, 'm')).status, 413);
    EXPECT_EQ(s->routed.load(), 0);
}

TEST(HttpServer, SlowClientIsDroppedAfterTheRequestTime) {
    auto s = serve("", short_limits());
    const int fd = connect_loopback(s->port);
    ASSERT_GE(fd, 0);
    const auto start = Clock::now();
    // One byte every 50 ms: the request would take over a second.
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n";
    bool dropped = false;
    for (const char c : request) {
        if (!send_all(fd, std::string(1, c))) {
            dropped = true;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) break;  // the server answered
    }
    const HttpResult r = parse_http_result(read_until_closed(fd, 5s));
    const auto took = Clock::now() - start;
    ::close(fd);
    EXPECT_TRUE(r.status == 408 || dropped) << r.head;
    EXPECT_TRUE(r.closed);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(s->routed.load(), 0);
}

TEST(HttpServer, IdleConnectionsDoNotLockOutAScrape) {
    HttpServerLimits limits = short_limits();
    limits.request_time = 10s;  // the idle clients would hold their places a long time
    auto s = serve("", limits);
    std::vector<int> idle;
    for (int i = 0; i < 12; ++i) {
        idle.push_back(connect_loopback(s->port));
        ASSERT_GE(idle.back(), 0);
    }
    const auto start = Clock::now();
    const HttpResult r = http_get(s->port, "/metrics");
    EXPECT_EQ(r.status, 200);
    EXPECT_LT(Clock::now() - start, 2s);
    // Only max_connections are kept: the oldest idle ones were pushed out.
    int closed = 0;
    for (const int fd : idle) {
        if (closed_by_server(fd, 100ms)) ++closed;
        ::close(fd);
    }
    EXPECT_GE(closed, 12 - 4 + 1);
}

TEST(HttpServer, ClientsThatDoNotReadAreDroppedAndBusySlotsGive503) {
    // Room for a slow (sanitized, loaded) build to route all four before
    // the first one's reply time ends.
    HttpServerLimits limits = short_limits();
    limits.reply_time = 2500ms;
    auto s = serve("", limits);
    // Four clients ask for a reply larger than the socket buffers and never read it.
    std::vector<int> stuck;
    for (int i = 0; i < 4; ++i) {
        stuck.push_back(connect_loopback(s->port));
        ASSERT_TRUE(send_all(stuck.back(), "GET /big HTTP/1.1\r\nHost: a\r\n\r\n"));
    }
    const auto deadline = Clock::now() + 3s;
    while (s->routed.load() < 4 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(s->routed.load(), 4);
    std::this_thread::sleep_for(50ms);
    // Every place is taken by a reply in progress: a new client hears 503 at once.
    HttpResult r = http_get(s->port, "/metrics");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(http_field(r, "Retry-After"), "1");
    // After the reply time the stuck clients are dropped and the server serves again.
    std::this_thread::sleep_for(2700ms);
    r = http_get(s->port, "/metrics");
    EXPECT_EQ(r.status, 200);
    for (const int fd : stuck) {
        const Received got = read_until_closed(fd, 2s);
        EXPECT_TRUE(got.closed);
        EXPECT_LT(got.bytes.size(), big_body);
        ::close(fd);
    }
}

TEST(HttpServer, StopsPromptlyWithClientsConnected) {
    auto s = serve();  // default limits: 5 s request time
    const int idle = connect_loopback(s->port);
    const int half = connect_loopback(s->port);
    ASSERT_TRUE(send_all(half, "GET /metrics HTTP/1.1\r\nHo"));
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    s->server->stop();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_TRUE(closed_by_server(idle, 1s));
    EXPECT_TRUE(closed_by_server(half, 1s));
    ::close(idle);
    ::close(half);
    EXPECT_LT(connect_loopback(s->port), 0);  // the listener is gone
    s->server->stop();                        // a second stop changes nothing
}

TEST(HttpListen, AddressesAndLoopback) {
    Expected<HttpEndpoint> e = parse_http_endpoint("9410");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "127.0.0.1");
    EXPECT_EQ(e->port, 9410);
    e = parse_http_endpoint("[fe80::1%eth0]:0");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "fe80::1%eth0");
    EXPECT_EQ(e->port, 0);
    e = parse_http_endpoint("rig.lan:65535");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "rig.lan");
    for (const char* bad : {"", "[]:1", "[::1]", "[::1]:", "host:", "-1", "1.5", "99999", "a:b:1"})
        EXPECT_FALSE(parse_http_endpoint(bad)) << bad;

    auto loopback = [](const char* text) {
        sockaddr_storage s{};
        if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&s)->sin_addr) == 1) {
            s.ss_family = AF_INET;
        } else {
            EXPECT_EQ(inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&s)->sin6_addr), 1) << text;
            s.ss_family = AF_INET6;
        }
        return is_loopback_address(reinterpret_cast<const sockaddr*>(&s));
    };
    for (const char* yes : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.2"}) EXPECT_TRUE(loopback(yes)) << yes;
    for (const char* no : {"0.0.0.0", "128.0.0.1", "10.0.0.1", "::", "::ffff:10.0.0.1", "fe80::1", "::2"})
        EXPECT_FALSE(loopback(no)) << no;
}

TEST(HttpListen, NamesGoThroughTheMinersOwnResolver) {
    // "localhost" is loopback even where no hosts file says so.
    Expected<HttpListener> named = open_http_listener(HttpEndpoint{"localhost", 0}, false, "localhost:0");
    ASSERT_TRUE(named) << named.error().message;
    EXPECT_TRUE(named->loopback);
    EXPECT_TRUE(named->url.rfind("http://127.0.0.1:", 0) == 0 || named->url.rfind("http://[::1]:", 0) == 0)
        << named->url;
    EXPECT_GT(named->port, 0);
    ::close(named->fd);

    const Expected<HttpListener> bad = open_http_listener(HttpEndpoint{"no..such", 0}, false, "no..such:0");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message, "--http no..such:0: cannot resolve no..such: name not found");
}
