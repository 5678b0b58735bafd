// Readable texts for what the library hands back: register values, scan results,
// the last-error text and the error log.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qorvi_netpod.h"
#include "register_names.h"

namespace netpod::tool {

// The library's messages end in a tab and the reporting function in parentheses;
// the tab becomes two spaces: "Address IP not valid  (Qorvi_NETPOD_Read_TYPE)".
std::string ShowLibraryText(std::string_view text);

// "Qorvi-NETPOD" for type 8.0, "Qorvi-NETPOD 2" for 8.2, "unknown type H.L" otherwise.
std::string ProductName(int32_t high, int32_t low);
// "2.5", or "3.4.1.2" when the module reports the two build numbers too.
std::string FirmwareText(int32_t a, int32_t b, int32_t c, int32_t d);
std::string MacText(const int32_t* mac);            // six elements
std::string DottedText(const int32_t* parts);       // four elements
std::string ModuleNameText(const char* name);       // sixteen bytes, not terminated
std::string FlagNumbers(const bool* flags, int count);  // "0, 9" or "none"
std::string FlagMask(const bool* flags, int count);     // "0x0201"
std::string HexBytes(const uint8_t* bytes, int count);  // "a0 00 10"

// Whether the last answer carried the register (its Valid flag).
bool HasValue(const RegisterValues& values, RegisterRef ref);
// The register's value with its unit: "24.000 V", "0, 9 (0x0201)", "8.2 (Qorvi-NETPOD 2)".
std::string ValueText(const RegisterValues& values, RegisterRef ref);
// Every register that the answer carried, one per line, for `info`.
std::string FullReport(const RegisterValues& values);

// The table printed by `scan`.
std::string ScanTable(std::span<const ModuleInfo> modules);

// `watch`: the columns of the chosen registers, and one answer as a CSV line or as a
// table row (empty cells where the answer did not carry a register).
std::vector<std::string> WatchColumns(std::span<const RegisterRef> refs);
std::vector<std::string> WatchCells(const RegisterValues& values, std::span<const RegisterRef> refs);
std::string CsvLine(long elapsedMs, const std::vector<std::string>& cells);
std::string TableRow(const std::string& first, const std::vector<std::string>& cells,
                     const std::vector<std::string>& columns);

// The last `count` entries of the error log's contents, one line each, oldest first.
std::vector<std::string> LastLogEntries(std::string_view logContents, int count);
// Of entries as LastLogEntries gives them: the last one that ends with `message`,
// then the nearest one before it with the same address; nothing when either is
// missing.
std::optional<std::string> EntryBeforeOfSameAddress(const std::vector<std::string>& entries,
                                                    std::string_view message);

}  // namespace netpod::tool
