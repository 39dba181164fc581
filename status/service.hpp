// The watchers' side of a run: the board the main loop publishes to and,
// with --http, the HTTP server that serves it as /metrics (Prometheus) and
// /summary (JSON).
#pragma once

#include <memory>
#include <string>

#include "console/failure.hpp"
#include "net/http/server.hpp"
#include "cli/options.hpp"
#include "status/board.hpp"

namespace nolu::qxt {

class StatusService {
public:
    StatusService() = default;
    StatusService(const StatusService&) = delete;
    StatusService& operator=(const StatusService&) = delete;
    ~StatusService();

    StatusBoard& board() { return board_; }
    // The grey "http " console line with the two addresses; nothing without --http.
    void announce() const;
    // Stops the server (if any); the board stays.
    void stop();

private:
    friend Outcome<std::unique_ptr<StatusService>> open_status_service(const Options& options);

    StatusBoard board_;  // outlives the server, whose routes read it
    std::unique_ptr<HttpServer> server_;
    std::string url_;
    bool token_ = false;
};

// Without --http, or when verifying: a board and no server. With it: binds
// the listener and starts the server before anything else runs, so a bad
// address, a port in use or an address beyond loopback without --http-token
// end the start with a plain line on standard error and status 2.
Outcome<std::unique_ptr<StatusService>> open_status_service(const Options& options);

// /metrics and /summary of the board's latest snapshot; 503 before the
// first one; 404 for any other path.
HttpRoutes status_routes(const StatusBoard& board);

}  // namespace nolu::qxt
