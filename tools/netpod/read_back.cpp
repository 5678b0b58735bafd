#include "read_back.h"

#include <cmath>
#include <cstring>

#include "report.h"

namespace netpod::tool {
namespace {

bool SameFlags(const std::vector<bool>& written, const bool* read) {
    for (std::size_t k = 0; k < written.size(); ++k)
        if (written[k] != read[k])
            return false;
    return true;
}

bool SameParts(const DottedQuad& written, const int32_t* read) {
    for (std::size_t i = 0; i < written.size(); ++i)
        if (written[i] != read[i])
            return false;
    return true;
}

}  // namespace

std::vector<RegisterRef> RegistersToReadBack(const std::vector<WriteItem>& writes) {
    std::vector<RegisterRef> refs;
    for (const WriteItem& item : writes) {
        if (item.target.reg == Register::ResetCpu)
            return {};
        if (InfoOf(item.target.reg).command || item.target.reg == Register::Warnings)
            continue;
        bool seen = false;
        for (const RegisterRef& ref : refs)
            seen = seen || ref == item.target;
        if (!seen)
            refs.push_back(item.target);
    }
    return refs;
}

std::optional<std::string> ReadBackMismatch(const WriteItem& item, const RegisterValues& v) {
    const RegisterRef ref = item.target;
    if (!HasValue(v, ref))
        return DisplayName(ref) + " was not in the answer to the read-back";
    bool same = true;
    switch (ref.reg) {
    case Register::Outputs:
        same = SameFlags(std::get<std::vector<bool>>(item.value), v.Outputs);
        break;
    case Register::ComOptions:
        same = SameFlags(std::get<std::vector<bool>>(item.value), v.ComOptions);
        break;
    case Register::Ip:
        same = SameParts(std::get<DottedQuad>(item.value), v.IPAddress);
        break;
    case Register::Mask:
        same = SameParts(std::get<DottedQuad>(item.value), v.SubnetMask);
        break;
    case Register::TcpTimeout:
        same = std::get<int32_t>(item.value) == v.TCPTimeout;
        break;
    case Register::Rs232Config:
        same = std::get<int32_t>(item.value) == v.RS232Config;
        break;
    case Register::I2cSpeed:
        same = std::get<int32_t>(item.value) == v.I2CSpeed;
        break;
    case Register::Threshold: {
        // The threshold travels as a fixed-point number truncated toward zero.
        const double sent = std::trunc(static_cast<double>(std::get<float>(item.value)) * 65536.0) / 65536.0;
        same = std::fabs(sent - static_cast<double>(v.AnalogInputsThreshold)) < 1e-6;
        break;
    }
    case Register::Name:
        same = std::memcmp(std::get<ModuleNameBytes>(item.value).data(), v.ModuleName, 16) == 0;
        break;
    default:
        return std::nullopt;
    }
    if (same)
        return std::nullopt;
    return DisplayName(ref) + " reads back as " + ValueText(v, ref);
}

}  // namespace netpod::tool
