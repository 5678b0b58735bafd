// The page of `netpod serve` in a real browser: headless Chromium, driven through
// chromedriver's WebDriver interface on loopback. Where Chromium is missing or cannot
// start, the test reports itself skipped with the reason.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "netpod_emulator/emulator.h"
#include "serve_client.h"

using namespace netpod::test;
using namespace std::chrono_literals;

namespace {

constexpr const char* kElementKey = "element-6066-11e4-a52e-4f735466cecf";

std::optional<std::string> FindProgram(std::initializer_list<const char*> names) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    for (const char* name : names) {
        std::size_t start = 0;
        while (start <= folders.size()) {
            const auto colon = folders.find(':', start);
            const std::string folder = folders.substr(start, colon == std::string::npos ? colon : colon - start);
            const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
    }
    return std::nullopt;
}

std::string DecodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        const int v = value(c);
        if (v < 0)
            continue;  // padding and line breaks
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

// A WebDriver session of chromedriver with a headless Chromium of its own profile.
class Browser {
public:
    // Null, with the reason, when chromedriver or Chromium cannot start here.
    static std::unique_ptr<Browser> Start(const std::string& chromium, const std::string& chromedriver,
                                          std::string& why) {
        std::unique_ptr<Browser> browser(new Browser);
        browser->driver_ = std::make_unique<ToolProcess>(std::vector<std::string>{"--port=0"}, "", chromedriver);
        const std::string marker = "started successfully on port ";
        if (!browser->driver_->WaitForOutput(marker, 60s) || !browser->driver_->WaitForOutput(".\n", 5s)) {
            why = "chromedriver did not start: " + browser->driver_->out() + browser->driver_->err();
            return nullptr;
        }
        const std::string& out = browser->driver_->out();
        const int port = std::stoi(out.substr(out.find(marker) + marker.size()));
        browser->client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
        browser->client_->set_read_timeout(120);

        char folder[] = "/tmp/netpod-chromium-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            why = "no folder for the browser's profile";
            return nullptr;
        }
        browser->profile_ = folder;
        const Json arguments = {
            "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--window-size=1280,1080", "--user-data-dir=" + browser->profile_,
            // Nothing but loopback: no name resolves, and whatever is not loopback goes
            // to a proxy that does not exist (loopback itself never uses the proxy).
            "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1", "--proxy-server=http://127.0.0.1:9"};
        const Json capabilities = {
            {"capabilities",
             {{"alwaysMatch",
               {{"browserName", "chrome"},
                {"goog:chromeOptions", {{"binary", chromium}, {"args", arguments}}}}}}}};
        const Json session = browser->Call("POST", "/session", capabilities);
        if (!session.contains("sessionId")) {
            why = "Chromium cannot start here: " + session.dump();
            return nullptr;
        }
        browser->session_ = "/session/" + session["sessionId"].get<std::string>();
        return browser;
    }

    ~Browser() {
        if (!session_.empty())
            Call("DELETE", session_, nullptr);  // closes Chromium
        if (driver_) {
            ::kill(driver_->pid(), SIGTERM);  // our own child, by its id
            driver_->Finish(30s);
        }
        if (!profile_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(profile_, ignored);
        }
    }

    // One WebDriver command; its "value".
    Json Call(const std::string& method, const std::string& path, const Json& body) {
        httplib::Result result = method == "GET"      ? client_->Get(path.c_str())
                                 : method == "DELETE" ? client_->Delete(path.c_str())
                                                      : client_->Post(path.c_str(), body.dump(), "application/json");
        if (!result)
            return Json{{"error", "no answer from chromedriver"}};
        const Json reply = Json::parse(result->body, nullptr, false);
        return reply.is_object() && reply.contains("value") ? reply["value"] : Json{{"error", result->body}};
    }

    Json Run(const std::string& script) {
        return Call("POST", session_ + "/execute/sync", {{"script", script}, {"args", Json::array()}});
    }

    // Runs `script` until it returns true or the time is up.
    bool WaitFor(const std::string& script, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Run(script) == true)
                return true;
            std::this_thread::sleep_for(200ms);  // polling the page, not a timing assumption
        }
        return false;
    }

    const std::string& session() const { return session_; }

private:
    Browser() = default;
    std::unique_ptr<ToolProcess> driver_;
    std::unique_ptr<httplib::Client> client_;
    std::string profile_;
    std::string session_;
};

}  // namespace

TEST(ServeBrowser, ThePageShowsLiveValuesAndAClickSwitchesAnOutput) {
    const auto chromium = FindProgram({"chromium", "chromium-browser"});
    const auto chromedriver = FindProgram({"chromedriver"});
    if (!chromium || !chromedriver)
        GTEST_SKIP() << "Chromium or chromedriver is not installed (Debian: chromium, chromium-driver; "
                        "`scripts/install-deps.sh browser` installs them)";

    ServedTool tool({"--emulate"});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    std::string why;
    auto browser = Browser::Start(*chromium, *chromedriver, why);
    if (!browser)
        GTEST_SKIP() << why;

    const Json opened = browser->Call("POST", browser->session() + "/url", {{"url", tool.url()}});
    ASSERT_TRUE(opened.is_null()) << opened.dump();
    // Live values: connected, the supply shown, the plot filling, the outputs usable.
    const std::string live = R"(
        const plot = document.getElementById('plot');
        return document.body.dataset.link === 'connected' &&
               Number(plot.dataset.samples) >= 20 &&
               document.getElementById('supply').textContent.endsWith(' V') &&
               document.getElementById('volts0').textContent.endsWith(' V') &&
               !document.getElementById('out3').disabled;)";
    ASSERT_TRUE(browser->WaitFor(live, 60s)) << browser->Run("return document.body.outerHTML;").dump();
    EXPECT_EQ(browser->Run("return document.getElementById('out3').getAttribute('aria-pressed');"), "false");
    EXPECT_EQ(browser->Run("return document.getElementById('name').textContent;"), "“NETPOD-EMU-01”");

    // A real click on output 3.
    const Json element =
        browser->Call("POST", browser->session() + "/element", {{"using", "css selector"}, {"value", "#out3"}});
    ASSERT_TRUE(element.contains(kElementKey)) << element.dump();
    const std::string clickPath =
        browser->session() + "/element/" + element[kElementKey].get<std::string>() + "/click";
    ASSERT_TRUE(browser->Call("POST", clickPath, Json::object()).is_null());

    // The lamp shows it once read back, and the emulated input that mirrors the
    // output follows through the repetitive ask.
    ASSERT_TRUE(browser->WaitFor(
        "return document.getElementById('out3').getAttribute('aria-pressed') === 'true' && "
        "document.getElementById('in3').classList.contains('on') && "
        "document.getElementById('message').textContent === 'output 3 on: done';",
        30s))
        << browser->Run("return document.getElementById('message').textContent;").dump();
    EXPECT_EQ(browser->Run("return document.querySelectorAll('#outputs .lamp.on').length;"), 1);

    // The module itself: a separate connection of `netpod read`.
    const auto read = RunTool({"read", tool.module(), "outputs"});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_NE(read.out.find("outputs           3 (0x0008)"), std::string::npos) << read.out;

    // Some twenty seconds of plot with input 3 rising on the way, then the picture
    // (the README shows it).
    ASSERT_TRUE(browser->WaitFor(
        "return Number(document.getElementById('plot').dataset.samples) >= 200 && "
        "Number(document.getElementById('volts3').textContent.split(' ')[0]) > 20;",
        60s));
    const Json screenshot = browser->Call("GET", browser->session() + "/screenshot", nullptr);
    ASSERT_TRUE(screenshot.is_string()) << screenshot.dump();
    const std::string png = DecodeBase64(screenshot.get<std::string>());
    ASSERT_TRUE(png.starts_with("\x89PNG\r\n\x1a\n"));
    std::ofstream(NETPOD_SCREENSHOT_PATH, std::ios::binary) << png;
    EXPECT_EQ(std::filesystem::file_size(NETPOD_SCREENSHOT_PATH), png.size());
    std::printf("screenshot: %s\n", NETPOD_SCREENSHOT_PATH);

    browser.reset();
    const auto stopped = tool.Stop();
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
}

TEST(ServeBrowser, ThePageSaysWhenTheModuleOrTheToolIsLostAndRecovers) {
    const auto chromium = FindProgram({"chromium", "chromium-browser"});
    const auto chromedriver = FindProgram({"chromedriver"});
    if (!chromium || !chromedriver)
        GTEST_SKIP() << "Chromium or chromedriver is not installed (Debian: chromium, chromium-driver; "
                        "`scripts/install-deps.sh browser` installs them)";
    std::string why;
    auto module = netpod::emu::StartOnFreeLoopback({}, 1, &why);
    ASSERT_NE(module, nullptr) << why;
    ServedTool tool({module->config(0).address});
    ASSERT_TRUE(tool.ready()) << tool.process().err();
    auto browser = Browser::Start(*chromium, *chromedriver, why);
    if (!browser)
        GTEST_SKIP() << why;
    const Json opened = browser->Call("POST", browser->session() + "/url", {{"url", tool.url()}});
    ASSERT_TRUE(opened.is_null()) << opened.dump();
    const std::string healthy =
        "return document.body.dataset.link === 'connected' && document.getElementById('banner').hidden && "
        "!document.body.classList.contains('stale') && !document.getElementById('out0').disabled;";
    ASSERT_TRUE(browser->WaitFor(healthy, 60s));

    module->stop();
    ASSERT_TRUE(browser->WaitFor(
        "const banner = document.getElementById('banner');"
        "return document.body.dataset.link === 'lost' && !banner.hidden && "
        "banner.textContent.startsWith('The connection to the module is lost') && "
        "document.body.classList.contains('stale') && document.getElementById('out0').disabled;",
        60s))
        << browser->Run("return document.getElementById('banner').textContent;").dump();

    ASSERT_TRUE(module->start(&why)) << why;
    ASSERT_TRUE(browser->WaitFor(healthy, 60s))
        << browser->Run("return document.getElementById('banner').textContent;").dump();

    // The tool itself goes away: the page says so.
    EXPECT_EQ(tool.Stop().exitCode, 0);
    EXPECT_TRUE(browser->WaitFor(
        "return document.getElementById('banner').textContent.startsWith('This page has no live contact');", 60s))
        << browser->Run("return document.getElementById('banner').textContent;").dump();
}
