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

bool is_action(std::string_view path) { return path == "/pause" || path == "/resume"; }

HttpReply method_not_allowed(const char* allow) {
    HttpReply reply = http_error(405);
    reply.extra_headers = std::string("Allow: ") + allow + "\r\n";
    return reply;
}

}  // namespace

StatusService::~StatusService() { stop(); }

Status StatusService::set_token(const std::string& token) {
    if (!server_) return success();
    if (!printable_token(token)) return fail("--http-token: use printable characters without blanks");
    if (token.empty() && !loopback_) return fail("--http-token is required to listen beyond loopback");
    server_->set_token(token);
    token_ = !token.empty();
    return success();
}

void StatusService::stop() {
    if (server_) server_->stop();
}

void StatusService::announce() const {
    if (!server_) return;
    log_line(colours.grey, "http ",
             "metrics at " + url_ + "/metrics, summary at " + url_ + "/summary" +
                 (token_ ? " (bearer token required)" : ""));
}

Outcome<std::unique_ptr<StatusService>> open_status_service(const HttpSettings& http) {
    auto service = std::make_unique<StatusService>();
    if (http.listen.empty()) return service;
    if (!printable_token(http.token))
        return command_line_failure("--http-token: use printable characters without blanks");
    const Expected<HttpEndpoint> endpoint = parse_http_endpoint(http.listen);
    if (!endpoint) return command_line_failure(endpoint.error().message);
    const bool token = !http.token.empty();
    const Expected<HttpListener> listener = open_http_listener(*endpoint, token, http.listen);
    if (!listener) return command_line_failure(listener.error().message);
    Expected<std::unique_ptr<HttpServer>> server =
        HttpServer::start(listener->fd, http.token, status_routes(service->board_), {},
                          status_actions(service->control_));
    if (!server) return command_line_failure(server.error().message);
    service->server_ = std::move(*server);
    service->url_ = listener->url;
    service->token_ = token;
    service->loopback_ = listener->loopback;
    return service;
}

HttpRoutes status_routes(const StatusBoard& board) {
    return [&board](std::string_view path) {
        if (is_action(path)) return method_not_allowed("POST");
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

HttpRoutes status_actions(const std::atomic<RunControl*>& control) {
    return [&control](std::string_view path) {
        if (path == "/metrics" || path == "/summary") return method_not_allowed("GET, HEAD");
        if (!is_action(path)) return http_error(404);
        RunControl* run = control.load();
        if (run == nullptr) {
            HttpReply reply = http_error(409);
            reply.body += "nothing to pause: the miner is not mining (starting up or benchmarking)\n";
            return reply;
        }
        const bool paused = run->request_pause(path == "/pause", "HTTP");
        HttpReply reply;
        reply.content_type = summary_content_type;
        reply.body = paused ? "{\"paused\":true}\n" : "{\"paused\":false}\n";
        return reply;
    };
}

}  // namespace nolu::qxt
