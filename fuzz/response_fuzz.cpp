// libFuzzer harness for the main port's answer path: reassembly of the byte stream,
// checksum verification and decoding into RegisterValues.
//
// The first input byte chooses how the rest is cut into batches, so that the fuzzer
// also explores packets that span batches. The same bytes are then fed again in one
// batch to a second assembler, and both must end in the same state.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "protocol/response_analysis.h"

namespace {

bool IgnoreReport(std::string_view, std::string_view) { return true; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t step = std::size_t{data[0]} + 1;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);

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
