#include "report.h"

#include <algorithm>
#include <cstdio>

namespace netpod::tool {
namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Volts(float value) { return Format("%.3f V", value); }

std::string FlagsWithMask(const bool* flags, int count) {
    return FlagNumbers(flags, count) + " (" + FlagMask(flags, count) + ")";
}

// Table cells and CSV fields of one watched register.
void AppendCells(const RegisterValues& v, RegisterRef ref, std::vector<std::string>& cells) {
    auto cell = [&](bool valid, const std::string& text) { cells.push_back(valid ? text : std::string()); };
    switch (ref.reg) {
    case Register::Voltage:
        cell(v.VoltageValid, Format("%.3f", v.Voltage));
        break;
    case Register::Warnings:
        cell(v.WarningsValid, FlagMask(v.Warnings, 32));
        break;
    case Register::Inputs:
        cell(v.InputsValid, FlagMask(v.Inputs, 16));
        break;
    case Register::InputVoltage:
        for (int n = 0; n < 16; ++n)
            if (ref.index < 0 || ref.index == n)
                cell(v.InputVoltageValid[n], Format("%.3f", v.InputVoltage[n]));
        break;
    default:
        cell(HasValue(v, ref), ValueText(v, ref));
        break;
    }
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

std::string ShowLibraryText(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        if (c == '\t')
            shown += "  ";
        else
            shown.push_back(c);
    }
    return shown;
}

std::string ProductName(int32_t high, int32_t low) {
    if (high == 8 && low == 0)
        return "Qorvi-NETPOD";
    if (high == 8 && low == 2)
        return "Qorvi-NETPOD 2";
    return "unknown type " + std::to_string(high) + "." + std::to_string(low);
}

std::string FirmwareText(int32_t a, int32_t b, int32_t c, int32_t d) {
    std::string text = std::to_string(a) + "." + std::to_string(b);
    if (c != 0 || d != 0)
        text += "." + std::to_string(c) + "." + std::to_string(d);
    return text;
}

std::string MacText(const int32_t* mac) {
    std::string text;
    for (int i = 0; i < 6; ++i) {
        char part[8];
        std::snprintf(part, sizeof part, i == 0 ? "%02x" : ":%02x", static_cast<unsigned>(mac[i] & 0xFF));
        text += part;
    }
    return text;
}

std::string DottedText(const int32_t* parts) {
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
           std::to_string(parts[3]);
}

std::string ModuleNameText(const char* name) {
    // The name is sixteen bytes without terminator; a shorter one is padded with
    // zero bytes, which end it. Other unprintable bytes are shown as \xNN.
    std::string text;
    for (int i = 0; i < 16 && name[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c < 0x7F) {
            text.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

std::string FlagNumbers(const bool* flags, int count) {
    std::string text;
    for (int k = 0; k < count; ++k) {
        if (!flags[k])
            continue;
        if (!text.empty())
            text += ", ";
        text += std::to_string(k);
    }
    return text.empty() ? "none" : text;
}

std::string FlagMask(const bool* flags, int count) {
    uint32_t mask = 0;
    for (int k = 0; k < count; ++k)
        if (flags[k])
            mask |= 1U << k;
    char text[16];
    std::snprintf(text, sizeof text, count <= 16 ? "0x%04x" : "0x%08x", mask);
    return text;
}

std::string HexBytes(const uint8_t* bytes, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        char part[4];
        std::snprintf(part, sizeof part, "%02x", bytes[i]);
        if (i > 0)
            text.push_back(' ');
        text += part;
    }
    return text;
}

bool HasValue(const RegisterValues& v, RegisterRef ref) {
    switch (ref.reg) {
    case Register::Type: return v.TypeValid;
    case Register::Version: return v.VersionValid;
    case Register::Voltage: return v.VoltageValid;
    case Register::Warnings: return v.WarningsValid;
    case Register::PowerUps: return v.NbPowerUpValid;
    case Register::TimeInService: return v.TimeInServiceValid;
    case Register::ComOptions: return v.ComOptionsValid;
    case Register::Mac: return v.EthernetMACValid;
    case Register::Ip: return v.IPAddressValid;
    case Register::Mask: return v.SubnetMaskValid;
    case Register::TcpTimeout: return v.TCPTimeoutValid;
    case Register::Name: return v.ModuleNameValid;
    case Register::Rs232Config: return v.RS232ConfigValid;
    case Register::I2cSpeed: return v.I2CSpeedValid;
    case Register::Connections: return v.TCPConnectionsOpenedValid;
    case Register::Threshold: return v.AnalogInputsThresholdValid;
    case Register::Outputs: return v.OutputsValid;
    case Register::Inputs: return v.InputsValid;
    case Register::InputVoltage:
        if (ref.index >= 0)
            return v.InputVoltageValid[ref.index];
        return std::all_of(std::begin(v.InputVoltageValid), std::end(v.InputVoltageValid), [](bool b) { return b; });
    default:
        return false;  // commands carry no value
    }
}

std::string ValueText(const RegisterValues& v, RegisterRef ref) {
    switch (ref.reg) {
    case Register::Type:
        return std::to_string(v.TypeHigh) + "." + std::to_string(v.TypeLow) + " (" +
               ProductName(v.TypeHigh, v.TypeLow) + ")";
    case Register::Version: return FirmwareText(v.VersionA, v.VersionB, v.VersionC, v.VersionD);
    case Register::Voltage: return Volts(v.Voltage);
    case Register::Warnings: return FlagsWithMask(v.Warnings, 32);
    case Register::PowerUps: return std::to_string(v.NbPowerUp);
    case Register::TimeInService: return std::to_string(v.TimeInService);
    case Register::ComOptions: return FlagsWithMask(v.ComOptions, 32);
    case Register::Mac: return MacText(v.EthernetMAC);
    case Register::Ip: return DottedText(v.IPAddress);
    case Register::Mask: return DottedText(v.SubnetMask);
    case Register::TcpTimeout: return std::to_string(v.TCPTimeout);
    case Register::Name: return "\"" + ModuleNameText(v.ModuleName) + "\"";
    case Register::Rs232Config: return std::to_string(v.RS232Config);
    case Register::I2cSpeed: return std::to_string(v.I2CSpeed);
    case Register::Connections: return std::to_string(v.TCPConnectionsOpened);
    case Register::Threshold: return Volts(v.AnalogInputsThreshold);
    case Register::Outputs: return FlagsWithMask(v.Outputs, 16);
    case Register::Inputs: return FlagsWithMask(v.Inputs, 16);
    case Register::InputVoltage: {
        if (ref.index >= 0)
            return Volts(v.InputVoltage[ref.index]);
        // Four to a line, in columns of 14; no line ends in spaces.
        std::string text;
        int onLine = 0;
        std::size_t previousSize = 0;
        for (int n = 0; n < 16; ++n) {
            if (!v.InputVoltageValid[n])
                continue;
            if (onLine == 4) {
                text += "\n" + std::string(20, ' ');
                onLine = 0;
            }
            const std::string item = std::to_string(n) + ": " + Volts(v.InputVoltage[n]);
            if (onLine > 0)
                text += std::string(14 - std::min<std::size_t>(12, previousSize), ' ');
            text += item;
            previousSize = item.size();
            ++onLine;
        }
        return text;
    }
    default:
        return {};
    }
}

std::string FullReport(const RegisterValues& v) {
    std::string report;
    for (const RegisterInfo& info : AllRegisters()) {
        if (!info.readable)
            continue;
        const RegisterRef ref{info.reg, -1};
        const bool anyInputVoltage =
            info.reg == Register::InputVoltage &&
            std::any_of(std::begin(v.InputVoltageValid), std::end(v.InputVoltageValid), [](bool b) { return b; });
        if (!HasValue(v, ref) && !anyInputVoltage)
            continue;
        report += "  " + Padded(std::string(info.name), 18) + ValueText(v, ref) + "\n";
    }
    return report;
}

std::string ScanTable(std::span<const ModuleInfo> modules) {
    const std::vector<std::string> columns{"ADDRESS", "MAC", "PRODUCT", "FIRMWARE", "NAME"};
    std::vector<std::vector<std::string>> rows;
    for (const ModuleInfo& m : modules) {
        rows.push_back({DottedText(m.IPAddress), MacText(m.MacAddress), ProductName(m.Type[0], m.Type[1]),
                        FirmwareText(m.Version[0], m.Version[1], m.Version[2], m.Version[3]),
                        ModuleNameText(m.ModuleName)});
    }
    std::vector<std::size_t> widths;
    for (const std::string& c : columns)
        widths.push_back(c.size());
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i)
            text += i + 1 < cells.size() ? Padded(cells[i], widths[i] + 2) : cells[i];
        return text + "\n";
    };
    std::string table = line(columns);
    for (const auto& row : rows)
        table += line(row);
    return table;
}

std::vector<std::string> WatchColumns(std::span<const RegisterRef> refs) {
    std::vector<std::string> columns;
    for (const RegisterRef& ref : refs) {
        if (ref.reg == Register::InputVoltage && ref.index < 0) {
            for (int n = 0; n < 16; ++n)
                columns.push_back("input-voltage." + std::to_string(n));
        } else {
            columns.push_back(DisplayName(ref));
        }
    }
    return columns;
}

std::vector<std::string> WatchCells(const RegisterValues& values, std::span<const RegisterRef> refs) {
    std::vector<std::string> cells;
    for (const RegisterRef& ref : refs)
        AppendCells(values, ref, cells);
    return cells;
}

std::string CsvLine(long elapsedMs, const std::vector<std::string>& cells) {
    // No cell holds a comma or a quote (numbers and masks only), so none is quoted.
    std::string line = std::to_string(elapsedMs);
    for (const std::string& cell : cells)
        line += "," + cell;
    return line + "\n";
}

std::string TableRow(const std::string& first, const std::vector<std::string>& cells,
                     const std::vector<std::string>& columns) {
    std::string row = Padded(first, 9);
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::size_t width = std::max<std::size_t>(i < columns.size() ? columns[i].size() : 0, 10) + 2;
        row += Padded(cells[i], width);
    }
    while (!row.empty() && row.back() == ' ')
        row.pop_back();
    return row + "\n";
}

std::vector<std::string> LastLogEntries(std::string_view contents, int count) {
    // Entries are separated by an empty line ("\r\n\r\n"); the file begins with a
    // title and a line of column names, which are not entries.
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start < contents.size()) {
        auto end = contents.find("\r\n\r\n", start);
        if (end == std::string_view::npos)
            end = contents.size();
        const std::string_view block = contents.substr(start, end - start);
        start = end + 4;
        if (block.empty() || block.starts_with("Error Log File") || block.starts_with("Date\t"))
            continue;
        // date, hour, IP column, message: the first three fields are tab-separated.
        std::vector<std::string_view> fields;
        std::string_view rest = block;
        for (int i = 0; i < 3; ++i) {
            const auto tab = rest.find('\t');
            if (tab == std::string_view::npos)
                break;
            fields.push_back(rest.substr(0, tab));
            rest.remove_prefix(tab + 1);
        }
        std::string line;
        for (std::string_view field : fields) {
            while (!field.empty() && field.back() == ' ')
                field.remove_suffix(1);
            line += std::string(field) + "  ";
        }
        line += ShowLibraryText(rest);
        entries.push_back(line);
    }
    if (count >= 0 && entries.size() > static_cast<std::size_t>(count))
        entries.erase(entries.begin(), entries.end() - count);
    return entries;
}

std::optional<std::string> EntryBeforeOfSameAddress(const std::vector<std::string>& entries,
                                                    std::string_view message) {
    // "date  hour  address  message": the address is the third field.
    const auto address = [](std::string_view entry) -> std::string_view {
        for (int i = 0; i < 2; ++i) {
            const auto gap = entry.find("  ");
            if (gap == std::string_view::npos)
                return {};
            entry.remove_prefix(gap + 2);
        }
        return entry.substr(0, entry.find("  "));
    };
    for (std::size_t k = entries.size(); k-- > 0;) {
        if (!entries[k].ends_with(message))
            continue;
        const std::string_view own = address(entries[k]);
        for (std::size_t j = k; j-- > 0;)
            if (address(entries[j]) == own)
                return entries[j];
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace netpod::tool
