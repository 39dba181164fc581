#include "status/service.hpp"

#include "console/console.hpp"
#include "net/http/listen.hpp"
#include "status/metrics_text.hpp"
#include "status/summary_json.hpp"

namespace nolu::qxt {

namespace {

bool printable_token(const std::string& token) {
    for (const char c : token)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

}  // namespace

StatusService::~StatusService() { stop(); }

void StatusService::stop() {
    if (server_) server_->stop();
}

void StatusService::announce() const {
    if (!server_) return;
    log_line(colours.grey, "http ",
             "metrics at " + url_ + "/metrics, summary at " + url_ + "/summary" +
                 (token_ ? " (bearer token required)" : ""));
}

Outcome<std::unique_ptr<StatusService>> open_status_service(const Options& options) {
    auto service = std::make_unique<StatusService>();
    if (options.http.empty() || !options.verify.empty()) return service;
    if (!printable_token(options.http_token))
        return command_line_failure("--http-token: use printable characters without blanks");
    const Expected<HttpEndpoint> endpoint = parse_http_endpoint(options.http);
    if (!endpoint) return command_line_failure(endpoint.error().message);
    const bool token = !options.http_token.empty();
    const Expected<HttpListener> listener = open_http_listener(*endpoint, token, options.http);
    if (!listener) return command_line_failure(listener.error().message);
    Expected<std::unique_ptr<HttpServer>> server =
        HttpServer::start(listener->fd, options.http_token, status_routes(service->board_));
    if (!server) return command_line_failure(server.error().message);
    service->server_ = std::move(*server);
    service->url_ = listener->url;
    service->token_ = token;
    return service;
}

HttpRoutes status_routes(const StatusBoard& board) {
    return [&board](std::string_view path) {
        if (path != "/metrics" && path != "/summary") return http_error(404);
        const std::shared_ptr<const MinerSnapshot> snapshot = board.latest();
        if (!snapshot) return http_error(503);
        HttpReply reply;
        if (path == "/metrics") {
            reply.content_type = metrics_content_type;
            reply.body = format_metrics(*snapshot);
        } else {
            reply.content_type = summary_content_type;
            reply.body = format_summary(*snapshot);
        }
        return reply;
    };
}

}  // namespace nolu::qxt
