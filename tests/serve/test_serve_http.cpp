// The HTTP interface of `netpod serve`, run as a user runs it, against emulated
// modules on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "netpod_emulator/emulator.h"
#include "serve_client.h"

using namespace netpod::test;
using namespace std::chrono_literals;

namespace {

constexpr int kMostStreams = 16;  // as the tool's server allows

std::unique_ptr<netpod::emu::Emulator> StartModule(bool dynamic = true) {
    netpod::emu::ModuleConfig config;
    config.typeLow = 0;
    config.version = {0x01, 0x02, 0x03, 0x04};
    config.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    config.name = "press line 7";
    config.dynamicValues = dynamic;
    std::string error;
    auto emulator = netpod::emu::StartOnFreeLoopback(config, 1, &error);
    EXPECT_NE(emulator, nullptr) << error;
    return emulator;
}

bool HasLiveValues(const Json& s) {
    return Connected(s) && !s["supply"].is_null() && !s["inputVoltages"].is_null() && !s["inputs"].is_null();
}

// The reason of a refused request: status, JSON body with ok false and the reason.
void ExpectRefused(const httplib::Result& result, int status, const std::string& reason) {
    ASSERT_TRUE(result) << "no answer for a request expecting " << status;
    EXPECT_EQ(result->status, status) << result->body;
    const Json body = Json::parse(result->body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << result->body;
    EXPECT_EQ(body["ok"], false);
    EXPECT_NE(body["error"].get<std::string>().find(reason), std::string::npos) << result->body;
}

// Sends raw bytes to the server and returns what it answers before closing.
std::string RawExchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    const timeval limit{30, 0};  // a server that never answers fails the test, not hangs it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

}  // namespace

TEST(ServeHttp, ServesThePageAndTheModulesStateAndIdentity) {
    auto module = StartModule(false);
    ASSERT_NE(module, nullptr);
    ServedTool tool({module->config(0).address});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    EXPECT_EQ(tool.module(), module->config(0).address);
    EXPECT_EQ(tool.token().size(), 32U);

    const Json state = tool.WaitForState(HasLiveValues);
    ASSERT_FALSE(state.is_null()) << tool.State().dump();
    const Json& m = state["module"];
    EXPECT_EQ(m["address"], module->config(0).address);
    EXPECT_EQ(m["type"], "8.0");
    EXPECT_EQ(m["product"], "Qorvi-NETPOD");
    EXPECT_EQ(m["firmware"], "3.4.1.2");
    EXPECT_EQ(m["mac"], "02:11:22:33:44:55");
    EXPECT_EQ(m["name"], "press line 7");
    EXPECT_EQ(state["periodMs"], 100);
    EXPECT_DOUBLE_EQ(state["supply"].get<double>(), 24.0);
    EXPECT_DOUBLE_EQ(state["threshold"].get<double>(), 12.0);
    ASSERT_EQ(state["outputs"].size(), 16U);
    ASSERT_EQ(state["inputs"].size(), 16U);
    ASSERT_EQ(state["inputVoltages"].size(), 16U);
    EXPECT_EQ(state["warnings"], Json::array());
    const Json polled = tool.State();  // the same state, without a stream
    EXPECT_EQ(polled["module"], state["module"]);
    EXPECT_GE(polled["sequence"].get<int64_t>(), state["sequence"].get<int64_t>());

    auto client = tool.Client();
    const struct {
        const char* path;
        const char* type;
        const char* content;
    } assets[] = {{"/", "text/html", "src=\"/page.js\""},
                  {"/page.js", "text/javascript", "EventSource('/api/events')"},
                  {"/page.css", "text/css", ".lamp"}};
    for (const auto& asset : assets) {
        const auto result = client->Get(asset.path);
        ASSERT_TRUE(result) << asset.path;
        EXPECT_EQ(result->status, 200) << asset.path;
        EXPECT_TRUE(result->get_header_value("Content-Type").starts_with(asset.type)) << asset.path;
        EXPECT_NE(result->body.find(asset.content), std::string::npos) << asset.path;
        // Everything the page needs comes from the tool: it works without internet.
        EXPECT_EQ(result->body.find("http://"), std::string::npos) << asset.path;
        EXPECT_EQ(result->body.find("https://"), std::string::npos) << asset.path;
        // No other site may frame the page and trick a click onto an output.
        EXPECT_EQ(result->get_header_value("X-Frame-Options"), "DENY");
        EXPECT_NE(result->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
                  std::string::npos);
    }
    const auto stopped = tool.Stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
}

TEST(ServeHttp, WritesNeedTheTokenAndShowWhatTheModuleReadsBack) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    ServedTool tool({module->config(0).address});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    ASSERT_FALSE(tool.WaitForState(Connected).is_null());
    const auto writesBefore = module->counters(0).mainWrites;

    // Without the token, or with another one, nothing is written.
    auto client = tool.Client();
    ExpectRefused(client->Post("/api/outputs", R"({"output": 3, "on": true})", "application/json"), 403,
                  "needs the token");
    const std::string wrong(32, '0');
    ExpectRefused(tool.Write("/api/outputs", {{"output", 3}, {"on", true}}, wrong.c_str()), 403, "wrong token");
    EXPECT_EQ(module->counters(0).mainWrites, writesBefore);
    EXPECT_EQ(module->registers(0).outputs, 0);

    // Switching one output keeps the others; the answer carries the state read back.
    struct Switch {
        Json body;
        uint16_t outputs;
    };
    const Switch switches[] = {{{{"output", 3}, {"on", true}}, 0x0008},
                               {{{"output", 9}, {"on", true}}, 0x0208},
                               {{{"output", 3}, {"on", false}}, 0x0200},
                               {{{"mask", 0x0201}}, 0x0201}};
    for (const Switch& s : switches) {
        const auto result = tool.Write("/api/outputs", s.body);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200) << result->body;
        EXPECT_EQ(module->registers(0).outputs, s.outputs) << s.body.dump();
        const Json reply = Json::parse(result->body);
        EXPECT_EQ(reply["ok"], true);
        for (int k = 0; k < 16; ++k)
            EXPECT_EQ(reply["state"]["outputs"][k].get<bool>(), ((s.outputs >> k) & 1) != 0) << k;
    }

    auto result = tool.Write("/api/threshold", {{"volts", -1.5}});
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    EXPECT_EQ(module->registers(0).analogThresholdRaw, -98304);
    EXPECT_DOUBLE_EQ(Json::parse(result->body)["state"]["threshold"].get<double>(), -1.5);

    // A value the library refuses: its own text, and nothing sent.
    const auto writesNow = module->counters(0).mainWrites;
    ExpectRefused(tool.Write("/api/threshold", {{"volts", 13}}), 422,
                  "Analog Value threshold value not valid.  (Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD)");
    EXPECT_EQ(module->counters(0).mainWrites, writesNow);
    EXPECT_EQ(module->registers(0).analogThresholdRaw, -98304);

    result = tool.Write("/api/name", {{"name", "line 3"}});
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    const auto name = module->registers(0).name;
    EXPECT_EQ(std::string(name.data(), 7), std::string("line 3\0", 7));
    EXPECT_EQ(Json::parse(result->body)["state"]["module"]["name"], "line 3");

    // Warnings appear by name as the module raises them, and clear.
    const uint8_t raised[4] = {0x80, 0x00, 0x00, 0x01};
    ASSERT_TRUE(module->setRegisterValue(0, 0x08, raised));
    const Json warned = tool.WaitForState([](const Json& s) { return s["warnings"].size() == 2; });
    ASSERT_FALSE(warned.is_null());
    EXPECT_EQ(warned["warnings"][0]["flag"], 0);
    EXPECT_EQ(warned["warnings"][1]["flag"], 31);
    EXPECT_EQ(warned["warnings"][1]["name"], "warning 31");
    result = tool.Write("/api/warnings/clear", Json::object());
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << result->body;
    EXPECT_EQ(module->registers(0).warnings, 0U);
    EXPECT_FALSE(tool.WaitForState([](const Json& s) { return s["warnings"] == Json::array(); }).is_null());
    const auto stopped = tool.Stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
}

TEST(ServeHttp, BadRequestsGetFourHundredsWithAReasonAndChangeNothing) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    ServedTool tool({module->config(0).address});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    ASSERT_FALSE(tool.WaitForState(Connected).is_null());
    const auto writesBefore = module->counters(0).mainWrites;
    auto client = tool.Client();
    const httplib::Headers token{{"X-Netpod-Token", tool.token()}};

    ExpectRefused(client->Get("/nothing"), 404, "nothing at /nothing");
    const auto post = client->Post("/api/state", "{}", "application/json");
    ExpectRefused(post, 405, "takes GET");
    EXPECT_EQ(post->get_header_value("Allow"), "GET");
    ExpectRefused(client->Get("/api/outputs"), 405, "takes POST");
    ExpectRefused(client->Delete("/api/name"), 405, "takes POST");

    // Another name for this machine: a site of the same browser that points its own
    // name at 127.0.0.1 reads nothing, and writes nothing.
    ExpectRefused(client->Get("/api/state", {{"Host", "evil.example:" + std::to_string(tool.port())}}), 403,
                  "addressed to 127.0.0.1:");
    httplib::Headers foreign = token;
    foreign.emplace("Origin", "http://evil.example");
    ExpectRefused(client->Post("/api/outputs", foreign, R"({"output": 1, "on": true})", "application/json"), 403,
                  "own page");
    ExpectRefused(client->Post("/api/outputs", token, R"({"output": 1, "on": true})", "text/plain"), 415, "JSON");

    ExpectRefused(client->Post("/api/outputs", token, R"({"output": 1, "on": tr)", "application/json"), 400,
                  "not valid JSON");
    ExpectRefused(client->Post("/api/outputs", token, R"({"output": 16, "on": true})", "application/json"), 400,
                  "0 to 15");
    ExpectRefused(client->Post("/api/name", token, R"({"name": "much too long a name"})", "application/json"),
                  400, "16 bytes");
    ExpectRefused(client->Post("/api/name", token, std::string(20000, ' '), "application/json"), 413,
                  "too long");

    // Not HTTP at all.
    const std::string garbage = RawExchange(tool.port(), "HELLO\r\n\r\n");
    EXPECT_TRUE(garbage.starts_with("HTTP/1.1 400")) << garbage;
    EXPECT_NE(garbage.find("\"error\""), std::string::npos) << garbage;

    // The server goes on, and the module saw no write.
    EXPECT_EQ(client->Get("/api/state")->status, 200);
    EXPECT_EQ(module->counters(0).mainWrites, writesBefore);
    EXPECT_EQ(module->registers(0).outputs, 0);
    EXPECT_EQ(tool.Stop().exitCode, 0);
}

TEST(ServeHttp, ManyPagesShareOneConnectionAndPagesThatLeaveFreeTheirPlace) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    ServedTool tool({module->config(0).address, "--period", "20"});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    ASSERT_FALSE(tool.WaitForState(HasLiveValues).is_null());

    // As many pages as the server takes, each following the stream until told to go.
    // A page turned away tries again, as a browser does: the stream of the wait above
    // holds its place until the server notices that it has gone.
    struct Page {
        std::vector<Event> events;
        bool inOrder = true;
    };
    std::vector<Page> pages(kMostStreams);
    std::mutex mutex;
    std::condition_variable changed;
    int followed = 0;
    bool leave = false;
    std::vector<std::thread> threads;
    auto leaveAll = [&] {
        {
            std::lock_guard lock(mutex);
            leave = true;
        }
        for (std::thread& t : threads)
            if (t.joinable())
                t.join();
    };
    struct Guard {
        std::function<void()> atExit;
        ~Guard() { atExit(); }
    } joinAtExit{leaveAll};
    for (Page& page : pages) {
        threads.emplace_back([&, p = &page] {
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            while (std::chrono::steady_clock::now() < deadline) {
                EventParser parser;
                int64_t lastSequence = -1;
                p->events.clear();
                tool.Client()->Get("/api/events", [&](const char* data, std::size_t size) {
                    for (const Event& event : parser.Feed(data, size)) {
                        if (event.name == "message") {
                            const int64_t sequence = Json::parse(event.data)["sequence"].get<int64_t>();
                            p->inOrder = p->inOrder && sequence > lastSequence;
                            lastSequence = sequence;
                        }
                        p->events.push_back(event);
                        if (p->events.size() == 4) {
                            std::lock_guard lock(mutex);
                            ++followed;
                            changed.notify_all();
                        }
                    }
                    std::lock_guard lock(mutex);
                    return !leave;  // false: the page goes away without a word
                });
                if (p->events.size() >= 4)
                    return;
                std::this_thread::sleep_for(50ms);  // turned away: try again
            }
        });
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 60s, [&] { return followed == kMostStreams; }))
            << followed << " pages followed the stream";
    }
    // One more page is turned away with a reason; the rest of the server still answers.
    auto client = tool.Client();
    client->set_read_timeout(30);
    ExpectRefused(client->Get("/api/events"), 503, "too many live pages");
    EXPECT_EQ(client->Get("/api/state")->status, 200);
    EXPECT_EQ(tool.Write("/api/outputs", {{"output", 2}, {"on", true}})->status, 200);
    // All of them follow the module through the tool's one connection.
    EXPECT_EQ(module->counters(0).mainConnections, 1U);

    leaveAll();
    for (const Page& page : pages) {
        EXPECT_EQ(page.events.front().name, "history");
        EXPECT_TRUE(page.inOrder);
    }
    // The pages that went away left their places: as many can follow the stream again.
    std::vector<std::thread> again;
    std::atomic<int> servedAgain{0};
    for (int i = 0; i < kMostStreams; ++i) {
        again.emplace_back([&] {
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            while (std::chrono::steady_clock::now() < deadline) {
                if (!tool.WaitForState(Connected, 10s).is_null()) {
                    ++servedAgain;
                    return;
                }
                std::this_thread::sleep_for(50ms);  // turned away: the server has not seen a page leave yet
            }
        });
    }
    for (std::thread& t : again)
        t.join();
    EXPECT_EQ(servedAgain.load(), kMostStreams);
    EXPECT_EQ(tool.Stop().exitCode, 0);
}

TEST(ServeHttp, ShowsTheLostModuleAndReconnectsByItself) {
    auto module = StartModule();
    ASSERT_NE(module, nullptr);
    ServedTool tool({module->config(0).address});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    ASSERT_FALSE(tool.WaitForState(HasLiveValues).is_null());

    module->stop();
    const Json lost = tool.WaitForState([](const Json& s) { return s["connection"]["state"] == "lost"; }, 60s);
    ASSERT_FALSE(lost.is_null()) << tool.State().dump();
    EXPECT_FALSE(lost["connection"]["message"].get<std::string>().empty());
    EXPECT_FALSE(lost["outputs"].is_null());  // the last values stay, for the page to show greyed
    ExpectRefused(tool.Write("/api/outputs", {{"output", 1}, {"on", true}}), 503, "no connection to the module");

    std::string error;
    ASSERT_TRUE(module->start(&error)) << error;
    ASSERT_FALSE(tool.WaitForState(HasLiveValues, 60s).is_null()) << tool.State().dump();
    const auto result = tool.Write("/api/outputs", {{"output", 1}, {"on", true}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << result->body;
    EXPECT_EQ(module->registers(0).outputs, 0x0002);
    EXPECT_EQ(tool.Stop().exitCode, 0);
}

TEST(ServeHttp, EndsOnSigtermWithPagesOpenAndRefusesWhatItCannotDo) {
    ServedTool tool({"--emulate"});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    ASSERT_FALSE(tool.WaitForState(Connected).is_null());
    // A page that follows the stream until the server ends it.
    std::atomic<bool> streamEnded{false};
    std::thread page([&] {
        tool.Client()->Get("/api/events", [](const char*, std::size_t) { return true; });
        streamEnded = true;
    });
    const auto stopped = tool.Stop();
    page.join();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_TRUE(streamEnded.load());

    // The library refuses the period: the tool says why and ends.
    auto result = RunTool({"--emulate", "serve", "--period", "0", "--listen", "127.0.0.1:0"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("(Qorvi_NETPOD_SetRepetitiveAskTime)"), std::string::npos) << result.err;

    // A port that is taken.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    result = RunTool({"--emulate", "serve", "--listen", "127.0.0.1:" + std::to_string(ntohs(address.sin_port))});
    ::close(fd);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot listen on 127.0.0.1:"), std::string::npos) << result.err;
}
