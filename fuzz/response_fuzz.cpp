// libFuzzer harness for the main port's answer path: reassembly of the byte stream,
// checksum verification and decoding into RegisterValues.
//
// The first input byte chooses how the rest is cut into batches, so that the fuzzer
// also explores packets that span batches. When the second byte is odd, the stream
// is first made of packets with correct checksums and answer function codes
// (packet_shaping.h), so that the register decoder and the I2C answers run; when it
// is even, the bytes go in as they are, for the reassembly and the checksum path.
// The same bytes are then fed again in one batch to a second assembler, and both
// must end in the same state.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "packet_shaping.h"
#include "protocol/response_analysis.h"

namespace {

bool IgnoreReport(std::string_view, std::string_view) { return true; }

// A little above the largest body the assembler holds, so that oversized packets
// still come up now and then.
constexpr std::size_t kBodyCap = 800;
constexpr std::uint16_t kAnswerFunctions[] = {netpod::kReadAnswer, netpod::kI2CTransferAnswer,
                                              netpod::kI2CScanAnswer};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t step = std::size_t{data[0]} + 1;
    std::vector<std::uint8_t> bytes(data + 2, data + size);
    if (data[1] % 2 != 0)
        netpod::fuzz::FixUpPackets(bytes, kBodyCap, kAnswerFunctions);
    const std::span<const std::uint8_t> stream(bytes);

    RegisterValues cutValues;
    RegisterValues wholeValues;
    std::memset(&cutValues, 0, sizeof cutValues);
    std::memset(&wholeValues, 0, sizeof wholeValues);
    netpod::ResponseAssembler cut(&IgnoreReport);
    netpod::ResponseAssembler whole(&IgnoreReport);

    int cutPackets = 0;
    for (std::size_t pos = 0; pos < stream.size(); pos += step)
        cutPackets += cut.ReceivedRawData(stream.subspan(pos, std::min(step, stream.size() - pos)), cutValues);
    const int wholePackets = whole.ReceivedRawData(stream, wholeValues);

    if (cutPackets != wholePackets || cut.NbChecksumError() != whole.NbChecksumError() ||
        cut.RxCount() != whole.RxCount() || std::memcmp(&cutValues, &wholeValues, sizeof cutValues) != 0)
        std::abort();
    if (cutValues.I2CAnswerLength > 180 || cutValues.ScanI2CLength > 127)
        std::abort();
    return 0;
}
