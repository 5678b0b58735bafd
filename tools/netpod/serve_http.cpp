#include "serve_http.h"

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "report.h"
#include "web_assets.h"

namespace netpod::tool::serve {
namespace {

// A stream that has nothing new says so at least this often, which is also how soon
// it notices that its page has gone away.
constexpr std::chrono::seconds kHeartbeat{2};
// Pushes to one page are at least this far apart, however fast the module is polled.
constexpr std::chrono::milliseconds kMinPushInterval{50};
constexpr std::size_t kLongestBody = 16 * 1024;

std::string Dump(const nlohmann::json& json) {
    // Texts that reach the JSON from outside (a request's headers) may not be UTF-8.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Reply(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(Dump(body), "application/json");
}

void Refuse(httplib::Response& res, int status, const std::string& reason) {
    Reply(res, status, {{"ok", false}, {"error", reason}});
}

// The reason given with an error that the HTTP library answers by itself.
std::string StatusReason(int status) {
    switch (status) {
    case 400: return "malformed HTTP request";
    case 413: return "the body is too long (" + std::to_string(kLongestBody) + " bytes at most)";
    case 414: return "the URL is too long";
    case 416: return "no such range";
    default: return "HTTP status " + std::to_string(status);
    }
}

// Holds one of the kMostStreams places while a stream is open.
class StreamPlace {
public:
    explicit StreamPlace(std::atomic<int>& open) : open_(open) {}
    ~StreamPlace() { open_.fetch_sub(1); }
    StreamPlace(const StreamPlace&) = delete;
    StreamPlace& operator=(const StreamPlace&) = delete;

private:
    std::atomic<int>& open_;
};

// Where one stream stands; used only by the worker that serves it.
struct StreamCursor {
    std::unique_ptr<StreamPlace> place;
    bool started = false;
    uint64_t seen = 0;
    Clock::time_point lastPush{};
};

}  // namespace

struct WebServer::Impl {
    LiveState& state;
    SubmitWrite submit;
    std::chrono::milliseconds longestWrite;
    httplib::Server server;
    std::unique_ptr<RequestGuard> guard;  // set by Bind, before any request
    int port = -1;
    std::thread listener;
    std::atomic<int> openStreams{0};

    Impl(LiveState& s, SubmitWrite w, std::chrono::milliseconds longest)
        : state(s), submit(std::move(w)), longestWrite(longest) {}

    void Routes();
    bool HostRefused(const httplib::Request& req, httplib::Response& res) const;
    void Events(httplib::Response& res);
    void Write(const httplib::Request& req, httplib::Response& res);
};

bool WebServer::Impl::HostRefused(const httplib::Request& req, httplib::Response& res) const {
    if (const auto refusal = guard->CheckHost(req.get_header_value("Host"))) {
        Refuse(res, refusal->status, refusal->reason);
        return true;
    }
    return false;
}

void WebServer::Impl::Routes() {
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server.set_payload_max_length(kLongestBody);
    server.set_keep_alive_timeout(2);
    server.set_default_headers({
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
         "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
    });
    // Called for every answer of status 400 and above, also for those that the HTTP
    // library makes itself (a malformed request, a body too long): they get a reason.
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            Refuse(res, res.status, StatusReason(res.status));
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Refuse(res, 500, "internal error");
    });

    auto asset = [this](std::string_view (*content)(), const char* type) {
        return [this, content, type](const httplib::Request& req, httplib::Response& res) {
            if (HostRefused(req, res))
                return;
            res.set_content(std::string(content()), type);
        };
    };
    server.Get("/", asset(&PageHtml, "text/html; charset=utf-8"));
    server.Get("/page.js", asset(&PageScript, "text/javascript; charset=utf-8"));
    server.Get("/page.css", asset(&PageStyle, "text/css; charset=utf-8"));
    server.Get("/api/state", [this](const httplib::Request& req, httplib::Response& res) {
        if (!HostRefused(req, res))
            Reply(res, 200, SnapshotJson(state.Current()));
    });
    server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        if (!HostRefused(req, res))
            Events(res);
    });
    server.Post("/api/outputs|/api/threshold|/api/name|/api/warnings/clear",
                [this](const httplib::Request& req, httplib::Response& res) { Write(req, res); });

    // Everything else: a reason, and the methods a known path takes.
    auto elsewhere = [this](const httplib::Request& req, httplib::Response& res) {
        if (HostRefused(req, res))
            return;
        const bool readPath = req.path == "/" || req.path == "/page.js" || req.path == "/page.css" ||
                              req.path == "/api/state" || req.path == "/api/events";
        if (readPath || IsWritePath(req.path)) {
            const char* allowed = readPath ? "GET" : "POST";
            res.set_header("Allow", allowed);
            Refuse(res, 405, req.path + " takes " + allowed + ", not " + req.method);
            return;
        }
        Refuse(res, 404, "nothing at " + req.path);
    };
    server.Get(".*", elsewhere);
    server.Post(".*", elsewhere);
    server.Put(".*", elsewhere);
    server.Patch(".*", elsewhere);
    server.Delete(".*", elsewhere);
    server.Options(".*", elsewhere);
}

void WebServer::Impl::Events(httplib::Response& res) {
    if (openStreams.fetch_add(1) >= kMostStreams) {
        openStreams.fetch_sub(1);
        Refuse(res, 503, "too many live pages are open (" + std::to_string(kMostStreams) + "); close one");
        return;
    }
    auto cursor = std::make_shared<StreamCursor>();
    cursor->place = std::make_unique<StreamPlace>(openStreams);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider("text/event-stream", [this, cursor](std::size_t, httplib::DataSink& sink) {
        std::string chunk;
        if (!cursor->started) {
            // The page starts with the plot's last minute and the current state.
            const Snapshot now = state.Current();
            chunk = "retry: 2000\n\nevent: history\ndata: " + Dump(HistoryJson(state.History())) + "\n\n" +
                    "data: " + Dump(SnapshotJson(now)) + "\n\n";
            cursor->started = true;
            cursor->seen = now.sequence;
        } else {
            const auto now = Clock::now();
            switch (state.WaitForChange(cursor->seen, cursor->lastPush + kMinPushInterval, now + kHeartbeat)) {
            case LiveState::Wait::Closed:
                sink.done();
                return true;
            case LiveState::Wait::TimedOut:
                chunk = ": still here\n\n";
                break;
            case LiveState::Wait::Changed: {
                const Snapshot changed = state.Current();
                cursor->seen = changed.sequence;
                chunk = "data: " + Dump(SnapshotJson(changed)) + "\n\n";
                break;
            }
            }
        }
        cursor->lastPush = Clock::now();
        // False when the page has gone away: the stream ends and frees its worker.
        return sink.write(chunk.data(), chunk.size());
    });
}

void WebServer::Impl::Write(const httplib::Request& req, httplib::Response& res) {
    const RequestHeaders headers{req.get_header_value("Host"), req.get_header_value("Origin"),
                                 req.get_header_value(std::string(kTokenHeader).c_str()),
                                 req.get_header_value("Content-Type"), req.get_header_value("Sec-Fetch-Site")};
    if (const auto refusal = guard->CheckWrite(headers)) {
        Refuse(res, refusal->status, refusal->reason);
        return;
    }
    const auto request = ParseWriteRequest(req.path, req.body);
    if (!request) {
        Refuse(res, 400, request.error());
        return;
    }
    auto outcome = submit(*request);
    if (outcome.wait_for(longestWrite) != std::future_status::ready) {
        Refuse(res, 504, "the write has no outcome after " + std::to_string(longestWrite.count()) + " ms");
        return;
    }
    const WriteOutcome result = outcome.get();
    if (result.status != 200) {
        Refuse(res, result.status, result.error);
        return;
    }
    Reply(res, 200, {{"ok", true}, {"state", SnapshotJson(state.Current())}});
}

WebServer::WebServer(LiveState& state, SubmitWrite submit, std::chrono::milliseconds longestWrite)
    : impl_(std::make_unique<Impl>(state, std::move(submit), longestWrite)) {
    impl_->Routes();
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Bind(const ListenAddress& listen, const std::string& token, std::string& error) {
    const std::string host = DottedText(listen.host.data());
    errno = 0;
    const int port = listen.port == 0 ? impl_->server.bind_to_any_port(host)
                                      : (impl_->server.bind_to_port(host, listen.port) ? listen.port : -1);
    if (port < 0) {
        error = "cannot listen on " + host + ":" + std::to_string(listen.port) +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    impl_->port = port;
    impl_->guard = std::make_unique<RequestGuard>(token, listen, port);
    return true;
}

int WebServer::port() const { return impl_->port; }

void WebServer::Start() {
    impl_->listener = std::thread([this] { impl_->server.listen_after_bind(); });
}

void WebServer::Stop() {
    impl_->state.Close();
    impl_->server.stop();
    if (impl_->listener.joinable())
        impl_->listener.join();
}

}  // namespace netpod::tool::serve
