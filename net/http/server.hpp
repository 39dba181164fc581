// The status server: one thread that serves a listening socket with poll,
// one request per connection (Connection: close). It holds at most
// max_connections connections; a request head must arrive within
// request_time of the connection (a client that trickles bytes is answered
// 408 and dropped) and the reply must be taken within reply_time. At the cap
// a new connection pushes out, oldest first, one whose reply is sent (still
// lingering), one being answered with an error (401 and the like), or one
// still sending its request, so that neither idle clients nor a flood of
// quick or refused requests can lock the scraper out; it is answered 503
// only when every connection is being sent a reply to a request that passed. Nothing here blocks: the routes are
// the only code it runs that is not its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/http/response.hpp"
#include "common/expected.hpp"
#include "common/unique_fd.hpp"

namespace nolu::qxt {

struct HttpServerLimits {
    std::size_t max_connections = 32;
    std::chrono::milliseconds request_time{5000};
    std::chrono::milliseconds reply_time{5000};
    // After the reply, what the client still sends is read and dropped for
    // this long, so that closing does not reset the connection under the reply.
    std::chrono::milliseconds linger_time{500};
};

class HttpServer {
public:
    // Serves listen_fd (non-blocking; owned from now on) on a new thread.
    // Token: the bearer token every request must carry; empty: none.
    // Actions: the POST routes (none: POST is answered 405).
    static Expected<std::unique_ptr<HttpServer>> start(int listen_fd, std::string token, HttpRoutes routes,
                                                       HttpServerLimits limits = {}, HttpRoutes actions = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // The token requests must carry from now on (a reload); requests already
    // answered are not affected.
    void set_token(std::string token);
    std::string token() const;

    // Wakes the thread through a pipe, closes every connection and the
    // listening socket and joins the thread. Idempotent.
    void stop();

private:
    HttpServer(int listen_fd, int wake_read, int wake_write, std::string token, HttpRoutes routes,
               HttpRoutes actions, HttpServerLimits limits);

    UniqueFd listen_fd_;
    UniqueFd wake_read_;
    UniqueFd wake_write_;
    mutable std::mutex token_mutex_;  // the token changes on a reload while the thread reads it
    std::string token_;
    HttpRoutes routes_;
    HttpRoutes actions_;
    HttpServerLimits limits_;
    std::thread thread_;
};

}  // namespace nolu::qxt
