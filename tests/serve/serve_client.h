// `netpod serve` run as a child process on a free loopback port, and the requests
// the tests make to it.
#pragma once

#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tool/tool_process.h"

namespace netpod::test {

using Json = nlohmann::json;

// One Server-Sent Event: its name ("message" when it has none) and its data.
struct Event {
    std::string name;
    std::string data;
};

// Cuts the bytes of an event stream into events; comments (": ...") are dropped.
class EventParser {
public:
    std::vector<Event> Feed(const char* data, std::size_t size) {
        buffer_.append(data, size);
        std::vector<Event> events;
        for (auto end = buffer_.find("\n\n"); end != std::string::npos; end = buffer_.find("\n\n")) {
            const std::string block = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            Event event{"message", {}};
            bool hasData = false;
            std::size_t start = 0;
            while (start <= block.size()) {
                const auto newline = block.find('\n', start);
                const std::string line = block.substr(start, newline == std::string::npos ? std::string::npos
                                                                                          : newline - start);
                if (line.starts_with("event: "))
                    event.name = line.substr(7);
                else if (line.starts_with("data: ")) {
                    event.data += line.substr(6);
                    hasData = true;
                }
                if (newline == std::string::npos)
                    break;
                start = newline + 1;
            }
            if (hasData)
                events.push_back(event);
        }
        return events;
    }

private:
    std::string buffer_;
};

class ServedTool {
public:
    // Starts `netpod serve ARGS --listen 127.0.0.1:0` and waits for the URL it prints.
    explicit ServedTool(std::vector<std::string> args) {
        args.insert(args.begin(), "serve");
        args.push_back("--listen");
        args.push_back("127.0.0.1:0");
        process_ = std::make_unique<ToolProcess>(args);
        if (!process_->WaitForOutput("#token=", std::chrono::seconds(30)) ||
            !process_->WaitForOutput("\n", std::chrono::seconds(5)))
            return;
        const std::string& out = process_->out();
        const auto module = out.find("module ");
        const auto url = out.find("http://");
        const auto hash = out.find("/#token=");
        const auto end = out.find('\n', hash);
        if (module == std::string::npos || url == std::string::npos || hash == std::string::npos)
            return;
        module_ = out.substr(module + 7, out.find(',', module) - module - 7);
        url_ = out.substr(url, end - url);
        base_ = out.substr(url, hash - url);
        token_ = out.substr(hash + 8, end - hash - 8);
        port_ = std::stoi(base_.substr(base_.rfind(':') + 1));
    }

    bool ready() const { return port_ > 0; }
    const std::string& url() const { return url_; }        // as printed, with the token
    const std::string& base() const { return base_; }      // http://127.0.0.1:PORT
    const std::string& token() const { return token_; }
    const std::string& module() const { return module_; }  // the module's address
    int port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    ToolProcess& process() { return *process_; }

    std::unique_ptr<httplib::Client> Client() const {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client->set_connection_timeout(5);
        client->set_read_timeout(60);
        return client;
    }

    Json State() const {
        auto result = Client()->Get("/api/state");
        if (!result || result->status != 200)
            return Json();
        return Json::parse(result->body, nullptr, false);
    }

    // A write as the page sends it, with the token unless `token` says otherwise.
    httplib::Result Write(const std::string& path, const Json& body, const char* token = nullptr) const {
        httplib::Headers headers{{"X-Netpod-Token", token ? token : token_}};
        return Client()->Post(path.c_str(), headers, body.dump(), "application/json");
    }

    // Follows the event stream until a state satisfies `wanted`; that state, or null
    // after `timeout` (checked at least at every heartbeat of the stream).
    Json WaitForState(const std::function<bool(const Json&)>& wanted,
                      std::chrono::seconds timeout = std::chrono::seconds(30)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        Json found;
        EventParser parser;
        auto client = Client();
        client->Get("/api/events", [&](const char* data, std::size_t size) {
            for (const Event& event : parser.Feed(data, size)) {
                if (event.name != "message")
                    continue;
                Json state = Json::parse(event.data, nullptr, false);
                if (!state.is_discarded() && wanted(state)) {
                    found = state;
                    return false;
                }
            }
            return std::chrono::steady_clock::now() < deadline;
        });
        return found;
    }

    // Asks the tool to stop as Ctrl-C does and collects its exit.
    ToolResult Stop() {
        ::kill(process_->pid(), SIGTERM);
        return process_->Finish(std::chrono::seconds(30));
    }

private:
    std::unique_ptr<ToolProcess> process_;
    std::string url_, base_, token_, module_;
    int port_ = -1;
};

inline bool Connected(const Json& state) { return state["connection"]["state"] == "connected"; }

}  // namespace netpod::test
