// The pure protocol core: building requests and analysing answers, per call.
#include <benchmark/benchmark.h>

#include <vector>

#include "protocol/ostrak_packet.h"
#include "protocol/register_map.h"
#include "protocol/request_builder.h"
#include "protocol/response_analysis.h"

namespace netpod {
namespace {

bool Quiet(std::string_view, std::string_view) { return true; }

void BM_BuildAllReadsAndWrites(benchmark::State& state) {
    RequestMarks marks;
    TxSlots slots;
    ExchangeWrites writes;
    for (auto _ : state) {
        std::fill(std::begin(marks.ReadFlags), std::end(marks.ReadFlags), true);
        std::fill(std::begin(marks.ReadInputVoltage), std::end(marks.ReadInputVoltage), true);
        marks.ReadRequest = true;
        marks.WriteValues.OutputsRequest = true;
        marks.WriteValues.WarningsRequest = true;
        marks.WriteRequest = true;
        FillPacketToSend(marks, slots, writes);
        benchmark::DoNotOptimize(slots);
    }
}
BENCHMARK(BM_BuildAllReadsAndWrites);

// One ReadAnswer carrying every register, as a module answers a whole read.
std::vector<std::uint8_t> FullAnswer() {
    std::vector<std::uint8_t> body;
    for (std::uint8_t address : kReadFlagAddress) {
        body.push_back(address);
        body.insert(body.end(), static_cast<std::size_t>(ItemValueSize(address)), 0x5A);
    }
    for (int n = 0; n < 16; ++n) {
        body.push_back(static_cast<std::uint8_t>(0x30 + n));
        body.insert(body.end(), 4, 0x01);
    }
    std::vector<std::uint8_t> packet(body.size() + kOstrakOverhead);
    packet.resize(BuildOstrakPacket(kReadAnswer, 0, body, packet));
    return packet;
}

void BM_AnalyseFullAnswer(benchmark::State& state) {
    const std::vector<std::uint8_t> packet = FullAnswer();
    ResponseAssembler assembler(&Quiet);
    RegisterValues values{};
    for (auto _ : state) {
        assembler.ReceivedRawData(packet, values);
        benchmark::DoNotOptimize(values);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(BM_AnalyseFullAnswer);

}  // namespace
}  // namespace netpod
