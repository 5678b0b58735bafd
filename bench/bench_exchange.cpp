// Whole exchanges through the C interface against an emulated module on loopback:
// the latency of one on-demand read, and the polling rate of the repetitive ask.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "netpod_emulator/emulator.h"
#include "qorvi_netpod.h"

namespace {

std::atomic<int> gAnswers{0};
std::atomic<bool> gConnected{false};

void OnValues(RegisterValues*, ComID) { gAnswers.fetch_add(1); }
void OnEvent(int32_t code, ComID) { gConnected.store(code == 1); }

struct Session {
    std::unique_ptr<netpod::emu::Emulator> module;
    ComID com = nullptr;

    bool open() {
        netpod::emu::ModuleConfig config;
        config.dynamicValues = false;
        module = netpod::emu::StartOnFreeLoopback(config);
        if (!module)
            return false;
        in_addr a{};
        inet_pton(AF_INET, module->config(0).address.c_str(), &a);
        const auto* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
        const int32_t address[4] = {b[0], b[1], b[2], b[3]};
        if (!Qorvi_NETPOD_OpenConnection_MAINPORT(address, &OnValues, &OnEvent, &com))
            return false;
        for (int i = 0; i < 500 && !gConnected.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return gConnected.load();
    }
    ~Session() { Qorvi_NETPOD_CloseConnection(&com); }
};

void BM_OnDemandReadRoundTrip(benchmark::State& state) {
    Session s;
    if (!s.open()) {
        state.SkipWithError("no emulated module");
        return;
    }
    for (auto _ : state) {
        const int before = gAnswers.load();
        Qorvi_NETPOD_Read_AllRegister(s.com);
        while (!Qorvi_NETPOD_SendData_MAINPORT(s.com))
            std::this_thread::yield();
        while (gAnswers.load() == before)
            std::this_thread::yield();
    }
}
BENCHMARK(BM_OnDemandReadRoundTrip)->UseRealTime();

void BM_RepetitiveAskAnswersPerSecondAt1ms(benchmark::State& state) {
    Session s;
    if (!s.open()) {
        state.SkipWithError("no emulated module");
        return;
    }
    Qorvi_NETPOD_Read_INPUTS(true, s.com);
    Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(true, s.com);
    Qorvi_NETPOD_RepetitiveAskSetTime(1, s.com);
    Qorvi_NETPOD_RepetitiveAskStart(s.com);
    for (auto _ : state) {
        const int before = gAnswers.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        state.counters["answers_per_s"] = (gAnswers.load() - before) * 5.0;
    }
    Qorvi_NETPOD_RepetitiveAskReset(s.com);
}
BENCHMARK(BM_RepetitiveAskAnswersPerSecondAt1ms)->UseRealTime()->Iterations(5);

}  // namespace
