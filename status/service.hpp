// The watchers' side of a run: the board the main loop publishes to and,
// with --http, the HTTP server that serves it as /metrics (Prometheus) and
// /summary (JSON).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "console/failure.hpp"
#include "net/http/server.hpp"
#include "status/board.hpp"

namespace nolu::qxt {

// What --http and --http-token ask for.
struct HttpSettings {
    std::string listen;  // [host:]port; empty: no server
    std::string token;   // the bearer token every request must carry; empty: none
};

// What the run lets a watcher steer (POST /pause and /resume): the mining run
// attaches it once its threads hold their arenas.
class RunControl {
public:
    virtual ~RunControl() = default;
    // Pauses (true) or resumes hashing at a request; by names the requester
    // ("HTTP", "SIGUSR1") for the console line. True while hashing is still
    // paused afterwards, for any reason (a resume leaves a thermal pause).
    virtual bool request_pause(bool pause, const char* by) = 0;
};

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
    // The run's controls for POST /pause and /resume; null detaches them
    // (before the run ends). Without controls those answer 409.
    void attach(RunControl* control) { control_.store(control); }
    // A new token from a reload: checked as at the start (printable, and
    // required beyond loopback); nothing to do without a server.
    Status set_token(const std::string& token);

private:
    friend Outcome<std::unique_ptr<StatusService>> open_status_service(const HttpSettings& http);

    StatusBoard board_;  // outlives the server, whose routes read it
    std::atomic<RunControl*> control_{nullptr};  // likewise, for the actions
    std::unique_ptr<HttpServer> server_;
    std::string url_;
    bool token_ = false;
    bool loopback_ = true;
};

// Without an address to listen on: a board and no server. With one: binds
// the listener and starts the server before anything else runs, so a bad
// address, a port in use or an address beyond loopback without --http-token
// end the start with a plain line on standard error and status 2.
Outcome<std::unique_ptr<StatusService>> open_status_service(const HttpSettings& http);

// /metrics and /summary of the board's latest snapshot; 503 before the
// first one; 405 for /pause and /resume (POST only); 404 for any other path.
HttpRoutes status_routes(const StatusBoard& board);

// POST /pause and /resume through the attached control: 200 with
// {"paused":true|false}, 409 while none is attached (starting, benchmarking);
// 405 for the pages, 404 for any other path.
HttpRoutes status_actions(const std::atomic<RunControl*>& control);

}  // namespace nolu::qxt
