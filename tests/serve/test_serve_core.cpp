// `netpod serve` without a server: the shared live state, the write bodies and the
// checks every request passes.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "serve_requests.h"
#include "serve_state.h"

using namespace netpod::tool;
using namespace netpod::tool::serve;
using namespace std::chrono_literals;

namespace {

RegisterValues VoltagesOnly(float volts) {
    RegisterValues v{};
    for (int k = 0; k < 16; ++k) {
        v.InputVoltage[k] = volts + static_cast<float>(k);
        v.InputVoltageValid[k] = true;
    }
    return v;
}

}  // namespace

TEST(LiveState, AnswersFillTheSnapshotAndInvalidValuesLeaveItAlone) {
    const auto start = Clock::now();
    LiveState state("127.0.0.9", 100, start);
    auto json = SnapshotJson(state.Current());
    EXPECT_EQ(json["connection"]["state"], "connecting");
    EXPECT_EQ(json["module"]["address"], "127.0.0.9");
    EXPECT_TRUE(json["outputs"].is_null());
    EXPECT_TRUE(json["supply"].is_null());
    EXPECT_TRUE(json["warnings"].is_null());
    EXPECT_EQ(json["sampleTimeMs"], -1);

    RegisterValues v{};
    v.TypeHigh = 8;
    v.TypeLow = 2;
    v.TypeValid = true;
    v.VersionA = 2;
    v.VersionB = 5;
    v.VersionValid = true;
    const int32_t mac[6] = {2, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(v.EthernetMAC, mac, sizeof mac);
    v.EthernetMACValid = true;
    const int32_t ip[4] = {127, 0, 0, 9};
    std::memcpy(v.IPAddress, ip, sizeof ip);
    v.IPAddressValid = true;
    std::memcpy(v.ModuleName, "line 3", 6);
    v.ModuleNameValid = true;
    v.AnalogInputsThreshold = -1.5F;
    v.AnalogInputsThresholdValid = true;
    v.Outputs[0] = v.Outputs[9] = true;
    v.OutputsValid = true;
    v.Inputs[9] = true;
    v.InputsValid = true;
    v.Voltage = 24.12345F;
    v.VoltageValid = true;
    v.Warnings[0] = v.Warnings[31] = true;
    v.WarningsValid = true;
    v.InputVoltage[9] = 24.0F;
    v.InputVoltageValid[9] = true;
    state.Apply(v, start + 1500ms);

    json = SnapshotJson(state.Current());
    EXPECT_EQ(json["module"]["type"], "8.2");
    EXPECT_EQ(json["module"]["product"], "Qorvi-NETPOD 2");
    EXPECT_EQ(json["module"]["firmware"], "2.5");
    EXPECT_EQ(json["module"]["mac"], "02:11:22:33:44:55");
    EXPECT_EQ(json["module"]["ip"], "127.0.0.9");
    EXPECT_EQ(json["module"]["name"], "line 3");
    EXPECT_DOUBLE_EQ(json["threshold"].get<double>(), -1.5);
    EXPECT_DOUBLE_EQ(json["supply"].get<double>(), 24.123);
    EXPECT_EQ(json["outputs"][0], true);
    EXPECT_EQ(json["outputs"][1], false);
    EXPECT_EQ(json["outputs"][9], true);
    EXPECT_EQ(json["inputs"][9], true);
    EXPECT_EQ(json["inputVoltages"][9], 24.0);
    EXPECT_EQ(json["sampleTimeMs"], 1500);
    ASSERT_EQ(json["warnings"].size(), 2U);
    EXPECT_EQ(json["warnings"][0]["flag"], 0);
    EXPECT_EQ(json["warnings"][1]["flag"], 31);
    EXPECT_EQ(json["warnings"][1]["name"], WarningName(31));

    // An answer of the repetitive ask carries only some registers: the others keep
    // the values last read, whatever the answer's record holds beside them.
    RegisterValues polled{};
    polled.Inputs[3] = true;
    polled.InputsValid = true;
    polled.Voltage = 0.0F;  // not Valid
    state.Apply(polled, start + 1600ms);
    json = SnapshotJson(state.Current());
    EXPECT_EQ(json["inputs"][3], true);
    EXPECT_EQ(json["inputs"][9], false);
    EXPECT_EQ(json["outputs"][9], true);
    EXPECT_DOUBLE_EQ(json["supply"].get<double>(), 24.123);
    EXPECT_EQ(json["module"]["name"], "line 3");
    EXPECT_EQ(json["sampleTimeMs"], 1500);  // no voltage in that answer

    // An answer that carries nothing (the acknowledge of a write) changes nothing.
    const uint64_t before = state.Current().sequence;
    state.Apply(RegisterValues{}, start + 1700ms);
    EXPECT_EQ(state.Current().sequence, before);

    state.SetLink(LinkState::Lost, "the module closed the connection");
    json = SnapshotJson(state.Current());
    EXPECT_EQ(json["connection"]["state"], "lost");
    EXPECT_EQ(json["connection"]["message"], "the module closed the connection");
    EXPECT_EQ(json["outputs"][9], true);  // the last values stay, for the page to show as stale
}

TEST(LiveState, HistoryKeepsTheLastMinuteWithPointsAStepApart) {
    const auto start = Clock::now();
    LiveState state("127.0.0.9", 1, start);
    // A 1 ms poll for 70 s: one answer per step survives, of the last minute only.
    for (int ms = 0; ms <= 70'000; ++ms)
        state.Apply(VoltagesOnly(static_cast<float>(ms) / 1000.0F), start + std::chrono::milliseconds(ms));
    const auto history = state.History();
    const int64_t step = kHistoryStep.count();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back().timeMs, 70'000);
    EXPECT_EQ(history.front().timeMs, 10'000);
    EXPECT_EQ(history.size(), static_cast<std::size_t>(60'000 / step + 1));
    for (std::size_t i = 1; i < history.size(); ++i)
        EXPECT_EQ(history[i].timeMs - history[i - 1].timeMs, step) << i;
    EXPECT_FLOAT_EQ(history.back().volts[15], 70.0F + 15.0F);

    // The answers of a 100 ms poll, which jitter around their period, are all kept.
    LiveState jittery("127.0.0.9", 100, start);
    int64_t t = 0;
    for (int i = 0; i < 50; ++i) {
        t += (i % 2 == 0) ? 96 : 104;
        jittery.Apply(VoltagesOnly(0.0F), start + std::chrono::milliseconds(t));
    }
    EXPECT_EQ(jittery.History().size(), 50U);

    const auto json = HistoryJson(history);
    ASSERT_EQ(json["t"].size(), history.size());
    ASSERT_EQ(json["v"].size(), history.size());
    EXPECT_EQ(json["v"][0].size(), 16U);
}

TEST(LiveState, WaitersWakeOnChangesAndOnClose) {
    LiveState state("127.0.0.9", 100);
    const uint64_t first = state.Current().sequence;
    const auto farAway = Clock::now() + 600s;

    // Nothing new: the wait ends at its limit.
    EXPECT_EQ(state.WaitForChange(first, Clock::now(), Clock::now()), LiveState::Wait::TimedOut);
    // The same link state again is no change.
    state.SetLink(LinkState::Connecting, "");
    EXPECT_EQ(state.Current().sequence, first);

    state.SetLink(LinkState::Connected, "");
    EXPECT_EQ(state.WaitForChange(first, Clock::now(), farAway), LiveState::Wait::Changed);

    // A change made by another thread wakes a waiter that would otherwise wait for
    // ten minutes.
    const uint64_t second = state.Current().sequence;
    LiveState::Wait woken = LiveState::Wait::TimedOut;
    std::thread waiter([&] { woken = state.WaitForChange(second, Clock::now(), farAway); });
    state.SetLink(LinkState::Lost, "gone");
    waiter.join();
    EXPECT_EQ(woken, LiveState::Wait::Changed);

    // Close ends every wait, present and future.
    const uint64_t third = state.Current().sequence;
    std::thread closed([&] { woken = state.WaitForChange(third, Clock::now(), farAway); });
    state.Close();
    closed.join();
    EXPECT_EQ(woken, LiveState::Wait::Closed);
    EXPECT_EQ(state.WaitForChange(0, Clock::now(), farAway), LiveState::Wait::Closed);
}

TEST(WriteRequests, BodiesBecomeWrites) {
    auto r = ParseWriteRequest("/api/outputs", R"({"output": 3, "on": true})");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->kind, WriteRequest::Kind::Output);
    EXPECT_EQ(r->output, 3);
    EXPECT_TRUE(r->on);

    r = ParseWriteRequest("/api/outputs", R"({"mask": 65535})");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->kind, WriteRequest::Kind::Outputs);
    EXPECT_EQ(r->mask, 0xFFFF);

    r = ParseWriteRequest("/api/threshold", R"({"volts": -1.5})");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->kind, WriteRequest::Kind::Threshold);
    EXPECT_FLOAT_EQ(r->volts, -1.5F);
    // Out of range values go through: the library refuses them with its own text.
    r = ParseWriteRequest("/api/threshold", R"({"volts": 1e300})");
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(std::isinf(r->volts));

    r = ParseWriteRequest("/api/name", R"({"name": "line 3"})");
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->kind, WriteRequest::Kind::Name);
    EXPECT_EQ(std::string(r->name.data(), 6), "line 3");
    EXPECT_EQ(r->name[6], '\0');
    r = ParseWriteRequest("/api/name", R"({"name": "sixteen chars ok"})");
    ASSERT_TRUE(r) << r.error();

    for (const char* body : {"", "{}", " \r\n"}) {
        r = ParseWriteRequest("/api/warnings/clear", body);
        ASSERT_TRUE(r) << body << ": " << r.error();
        EXPECT_EQ(r->kind, WriteRequest::Kind::ClearWarnings);
    }
}

TEST(WriteRequests, RefusalsSayWhatIsWrong) {
    struct Case {
        const char* path;
        const char* body;
        const char* reason;
    };
    const Case cases[] = {
        {"/api/outputs", "", "not valid JSON"},
        {"/api/outputs", "{\"output\": 3, \"on\": tr", "not valid JSON"},
        {"/api/outputs", "[3, true]", "JSON object"},
        {"/api/outputs", R"({"output": 16, "on": true})", "0 to 15"},
        {"/api/outputs", R"({"output": -1, "on": true})", "0 to 15"},
        {"/api/outputs", R"({"output": 3.0, "on": true})", "0 to 15"},
        {"/api/outputs", R"({"output": "3", "on": true})", "0 to 15"},
        {"/api/outputs", R"({"output": 3})", "\"on\""},
        {"/api/outputs", R"({"output": 3, "on": 1})", "\"on\""},
        {"/api/outputs", R"({"mask": 65536})", "0 to 65535"},
        {"/api/outputs", R"({"mask": -1})", "0 to 65535"},
        {"/api/outputs", R"({"mask": 18446744073709551615})", "0 to 65535"},
        {"/api/threshold", R"({"volts": "1.5"})", "\"volts\""},
        {"/api/threshold", R"({})", "\"volts\""},
        {"/api/name", R"({"name": 3})", "\"name\""},
        {"/api/name", R"({"name": "seventeen chars.."})", "16 bytes"},
        {"/api/name", R"({"name": "Prüfstand 123456"})", "16 bytes"},  // 16 characters, 17 bytes
        {"/api/warnings/clear", "nonsense", "not valid JSON"},
        {"/api/reset", "{}", "nothing to write"},
    };
    for (const Case& c : cases) {
        const auto r = ParseWriteRequest(c.path, c.body);
        ASSERT_FALSE(r) << c.path << " " << c.body;
        EXPECT_NE(r.error().find(c.reason), std::string::npos) << c.body << " -> " << r.error();
    }
}

TEST(RequestGuard, HostOriginBodyTypeAndToken) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    const RequestGuard guard(token, ListenAddress{{127, 0, 0, 1}, 0}, 8123);

    for (const char* host : {"127.0.0.1:8123", "localhost:8123", "LocalHost:8123"})
        EXPECT_FALSE(guard.CheckHost(host)) << host;
    // Another port, another name (a site that points its own name at 127.0.0.1), none.
    for (const char* host : {"127.0.0.1:8124", "127.0.0.1", "evil.example:8123", "127.0.0.2:8123", ""}) {
        const auto refusal = guard.CheckHost(host);
        ASSERT_TRUE(refusal) << host;
        EXPECT_EQ(refusal->status, 403);
        EXPECT_NE(refusal->reason.find("127.0.0.1:8123"), std::string::npos);
    }

    const RequestHeaders good{"127.0.0.1:8123", "http://127.0.0.1:8123", token, "application/json", "same-origin"};
    EXPECT_FALSE(guard.CheckWrite(good));
    // A client that is no browser sends neither Origin nor Sec-Fetch-Site.
    EXPECT_FALSE(guard.CheckWrite({"127.0.0.1:8123", "", token, "application/json; charset=utf-8", ""}));

    struct Case {
        RequestHeaders headers;
        int status;
        const char* reason;
    };
    auto with = [&](auto change) {
        RequestHeaders h = good;
        change(h);
        return h;
    };
    const Case cases[] = {
        {with([](RequestHeaders& h) { h.host = "evil.example:8123"; }), 403, "addressed to"},
        {with([](RequestHeaders& h) { h.origin = "http://evil.example"; }), 403, "own page"},
        {with([](RequestHeaders& h) { h.origin = "null"; }), 403, "own page"},
        {with([](RequestHeaders& h) { h.origin = "https://127.0.0.1:8123"; }), 403, "own page"},
        {with([](RequestHeaders& h) { h.fetchSite = "cross-site"; }), 403, "Sec-Fetch-Site"},
        {with([](RequestHeaders& h) { h.contentType = "text/plain"; }), 415, "JSON"},
        {with([](RequestHeaders& h) { h.contentType = "application/x-www-form-urlencoded"; }), 415, "JSON"},
        {with([](RequestHeaders& h) { h.contentType = ""; }), 415, "JSON"},
        {with([](RequestHeaders& h) { h.token = ""; }), 403, "needs the token"},
        {with([&](RequestHeaders& h) { h.token = token.substr(0, 31) + "0"; }), 403, "wrong token"},
        {with([&](RequestHeaders& h) { h.token = token.substr(0, 16); }), 403, "wrong token"},
        {with([&](RequestHeaders& h) { h.token = token + "0"; }), 403, "wrong token"},
    };
    for (const Case& c : cases) {
        const auto refusal = guard.CheckWrite(c.headers);
        ASSERT_TRUE(refusal) << c.reason;
        EXPECT_EQ(refusal->status, c.status) << refusal->reason;
        EXPECT_NE(refusal->reason.find(c.reason), std::string::npos) << refusal->reason;
    }

    // Listening on every address, the names the machine goes by cannot be known; on
    // another address, "localhost" is not this server.
    const RequestGuard everywhere(token, ListenAddress{{0, 0, 0, 0}, 8123}, 8123);
    EXPECT_FALSE(everywhere.CheckHost("pod-bench.lan:8123"));
    const RequestGuard lan(token, ListenAddress{{192, 168, 1, 5}, 8123}, 8123);
    EXPECT_FALSE(lan.CheckHost("192.168.1.5:8123"));
    EXPECT_TRUE(lan.CheckHost("localhost:8123"));
}

TEST(RequestGuard, TokensAreFreshHexadecimalSecrets) {
    const std::string a = NewToken();
    const std::string b = NewToken();
    ASSERT_EQ(a.size(), 32U);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos) << a;
    EXPECT_NE(a, b);
    EXPECT_TRUE(SameSecret(a, a));
    EXPECT_FALSE(SameSecret(a, b));
    EXPECT_FALSE(SameSecret("", a));
}
