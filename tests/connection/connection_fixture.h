// What the end-to-end connection tests share: an emulated module on a loopback
// address of the test's own, and a recorder for the three callbacks.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "netpod_emulator/emulator.h"
#include "qorvi_netpod.h"

namespace netpod::test {

using namespace std::chrono_literals;

// Collects what the library reports through the callbacks. The callbacks are plain
// C functions, so the recorder is process-wide; each test resets it.
class Recorder {
public:
    static Recorder& instance() {
        static Recorder r;
        return r;
    }
    void reset() {
        std::lock_guard g(m_);
        events.clear();
        eventThreads.clear();
        answers = 0;
        handleKnownAtEvent.clear();
        rs232Counts.clear();
        last = RegisterValues{};
        onAnswer = nullptr;
    }

    static void OnEvent(int32_t code, ComID com) {
        Recorder& r = instance();
        {
            std::lock_guard g(r.m_);
            r.events.push_back({code, com});
            // The open has stored the handle before any callback may see it.
            r.handleKnownAtEvent.push_back(r.watched != nullptr && *r.watched == com);
            r.eventThreads.push_back(std::this_thread::get_id());
        }
        r.cv_.notify_all();
    }
    static void OnValues(RegisterValues* values, ComID com) {
        Recorder& r = instance();
        std::function<void(RegisterValues*, ComID)> hook;
        {
            std::lock_guard g(r.m_);
            r.last = *values;
            ++r.answers;
            hook = r.onAnswer;
        }
        r.cv_.notify_all();
        // Last: a hook may close the connection, after which nothing here may run.
        if (hook)
            hook(values, com);
    }
    static void OnRs232(int32_t count, ComID) {
        Recorder& r = instance();
        {
            std::lock_guard g(r.m_);
            r.rs232Counts.push_back(count);
        }
        r.cv_.notify_all();
    }

    // Waits until `done` holds (checked under the recorder's lock).
    template <class Pred>
    bool waitFor(Pred done, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock l(m_);
        return cv_.wait_for(l, limit, [&] { return done(*this); });
    }
    template <class Fn>
    auto read(Fn fn) {
        std::lock_guard g(m_);
        return fn(*this);
    }

    struct Event {
        int32_t code;
        ComID com;
    };
    std::vector<Event> events;
    std::vector<std::thread::id> eventThreads;
    int answers = 0;
    ComID* watched = nullptr;   // the test's handle variable
    std::vector<bool> handleKnownAtEvent;
    std::vector<int32_t> rs232Counts;
    RegisterValues last{};
    std::function<void(RegisterValues*, ComID)> onAnswer;   // runs on the notification thread

private:
    std::mutex m_;
    std::condition_variable cv_;
};

inline std::array<int32_t, 4> AddressOf(const std::string& dotted) {
    in_addr a{};
    ::inet_pton(AF_INET, dotted.c_str(), &a);
    const auto* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
    return {b[0], b[1], b[2], b[3]};
}

inline std::string LastError() {
    char buffer[512];
    int32_t n = sizeof buffer;
    Qorvi_NETPOD_GetLastError(buffer, &n);
    return std::string(buffer, static_cast<std::size_t>(n));
}

// The error log lies beside the library, shared by every test process; entries are
// whole, so a test looks for its own by their exact text.
inline std::string LogText() {
    std::ifstream in(NETPOD_LOG_FILE, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}
// For entries reported on the notification thread, which a writer thread of their
// own puts in the file a moment later.
inline bool LogEventuallyHas(const std::string& text) {
    for (int i = 0; i < 300; ++i) {
        if (LogText().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
inline std::string IpColumn(const std::string& ip) {
    std::string c = ip;
    if (c.size() < 15)
        c.append(15 - c.size(), ' ');
    return c + "\t";
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        Recorder::instance().reset();
        Recorder::instance().read([this](Recorder& r) { return r.watched = &com_; });
    }
    void TearDown() override {
        Qorvi_NETPOD_CloseConnection(&com_);
        emulator_.reset();
        // A hook may refer to the finished test's locals.
        Recorder::instance().read([](Recorder& r) { return r.onAnswer = nullptr; });
    }

    // Starts an emulated module with fixed (non-dynamic) values unless told otherwise.
    void StartModule(emu::ModuleConfig config = {}, bool dynamicValues = false) {
        config.dynamicValues = dynamicValues;
        std::string error;
        emulator_ = emu::StartOnFreeLoopback(config, 1, &error);
        ASSERT_NE(emulator_, nullptr) << error;
        address_ = AddressOf(emulator_->config(0).address);
        ip_ = emulator_->config(0).address;
    }
    bool OpenMain() {
        return Qorvi_NETPOD_OpenConnection_MAINPORT(address_.data(), &Recorder::OnValues, &Recorder::OnEvent, &com_);
    }
    bool OpenRs232() {
        return Qorvi_NETPOD_OpenConnection_RS232(address_.data(), &Recorder::OnRs232, &Recorder::OnEvent, &com_);
    }
    void WaitConnected() {
        ASSERT_TRUE(Recorder::instance().waitFor([this](Recorder& r) {
            for (auto& e : r.events)
                if (e.code == 1 && e.com == com_)
                    return true;
            return false;
        })) << "no Com_Event 1";
    }
    // Sends what is marked and waits for the answer callback.
    void Exchange() {
        const int before = Recorder::instance().read([](Recorder& r) { return r.answers; });
        ASSERT_TRUE(Qorvi_NETPOD_SendData_MAINPORT(com_)) << LastError();
        ASSERT_TRUE(Recorder::instance().waitFor([&](Recorder& r) { return r.answers > before; }))
            << "no answer; last error: " << LastError();
    }
    RegisterValues LastValues() {
        return Recorder::instance().read([](Recorder& r) { return r.last; });
    }

    std::unique_ptr<emu::Emulator> emulator_;
    std::array<int32_t, 4> address_{};
    std::string ip_;
    ComID com_ = nullptr;
};

}  // namespace netpod::test
