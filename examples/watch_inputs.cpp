// watch_inputs.cpp - the repetitive ask from C++: the module is polled for its inputs
// and input voltages every 100 ms, and ten answers are printed.
//
//     watch_inputs ADDRESS [ANSWERS]
//
// A small RAII owner closes the connection on every path; the callbacks hand each
// answer to the main thread through a mutex and a condition variable.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>

#include "qorvi_netpod.h"

namespace {

// Written by the callbacks on the library's notification thread, read by main.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    int lastEvent = -1;
    std::deque<RegisterValues> answers;
} inbox;

void OnData(RegisterValues* values, ComID) {
    {
        std::lock_guard lock(inbox.mutex);
        inbox.answers.push_back(*values);
    }
    inbox.changed.notify_all();
}

void OnEvent(int32_t code, ComID) {
    {
        std::lock_guard lock(inbox.mutex);
        inbox.lastEvent = code;
    }
    inbox.changed.notify_all();
}

std::string LastError() {
    char text[512];
    int32_t length = sizeof text;
    Qorvi_NETPOD_GetLastError(text, &length);
    return std::string(text, static_cast<std::size_t>(length));  // no terminator is written
}

// Owns one connection: closes it when it goes out of scope.
class Connection {
public:
    explicit Connection(ComID com) : com_(com) {}
    ~Connection() { Qorvi_NETPOD_CloseConnection(&com_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ComID get() const { return com_; }

private:
    ComID com_;
};

}  // namespace

int main(int argc, char** argv) {
    int32_t address[4];
    if (argc < 2 || argc > 3 ||
        std::sscanf(argv[1], "%d.%d.%d.%d", &address[0], &address[1], &address[2], &address[3]) != 4) {
        std::fprintf(stderr, "usage: watch_inputs ADDRESS [ANSWERS]\n");
        return 2;
    }
    const int wanted = argc == 3 ? std::atoi(argv[2]) : 10;

    ComID com = nullptr;
    if (!Qorvi_NETPOD_OpenConnection_MAINPORT(address, OnData, OnEvent, &com)) {
        std::fprintf(stderr, "open failed: %s\n", LastError().c_str());
        return 1;
    }
    Connection connection(com);
    {
        std::unique_lock lock(inbox.mutex);
        if (!inbox.changed.wait_for(lock, std::chrono::seconds(5), [] { return inbox.lastEvent != -1; }) ||
            inbox.lastEvent != 1) {
            std::fprintf(stderr, "no connection to %s\n", argv[1]);
            return 1;
        }
    }

    // Put the registers in the repetitive-ask packet, set the period, start.
    if (!Qorvi_NETPOD_Read_INPUTS(true, com) || !Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(true, com) ||
        !Qorvi_NETPOD_RepetitiveAskSetTime(100, com) || !Qorvi_NETPOD_RepetitiveAskStart(com)) {
        std::fprintf(stderr, "repetitive ask refused: %s\n", LastError().c_str());
        return 1;
    }
    for (int shown = 0; shown < wanted;) {
        RegisterValues values;
        {
            std::unique_lock lock(inbox.mutex);
            if (!inbox.changed.wait_for(lock, std::chrono::seconds(5), [] { return !inbox.answers.empty(); })) {
                std::fprintf(stderr, "no answer within 5 s\n");
                return 1;
            }
            values = inbox.answers.front();
            inbox.answers.pop_front();
        }
        if (!values.InputsValid || !values.InputVoltageValid[15])
            continue;  // a part of an answer; the rest follows
        unsigned mask = 0;
        for (int k = 0; k < 16; ++k)
            mask |= values.Inputs[k] ? 1U << k : 0U;
        std::printf("inputs 0x%04x  input 0 %.3f V  input 15 %.3f V\n", mask, values.InputVoltage[0],
                    values.InputVoltage[15]);
        ++shown;
    }
    Qorvi_NETPOD_RepetitiveAskStop(com);
    return 0;
}
