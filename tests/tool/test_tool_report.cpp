// The tool's readable texts for register values, scans and the error log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "report.h"
#include "value_parsing.h"

using namespace netpod::tool;

TEST(Report, LibraryTextShowsTheTabAsASeparator) {
    const std::string shown =
        ShowLibraryText("Address IP not valid\t(Qorvi_NETPOD_OpenConnection_MAINPORT)");
    EXPECT_EQ(shown, "Address IP not valid  (Qorvi_NETPOD_OpenConnection_MAINPORT)");
    EXPECT_EQ(shown.find('\t'), std::string::npos);
}

TEST(Report, ProductsFirmwareAndAddresses) {
    EXPECT_EQ(ProductName(8, 0), "Qorvi-NETPOD");
    EXPECT_EQ(ProductName(8, 2), "Qorvi-NETPOD 2");
    EXPECT_EQ(ProductName(9, 1), "unknown type 9.1");
    EXPECT_EQ(FirmwareText(2, 5, 0, 0), "2.5");
    EXPECT_EQ(FirmwareText(3, 4, 1, 2), "3.4.1.2");
    const int32_t mac[6]{2, 0, 10, 255, 0, 1};
    EXPECT_EQ(MacText(mac), "02:00:0a:ff:00:01");
    const int32_t ip[4]{192, 168, 0, 20};
    EXPECT_EQ(DottedText(ip), "192.168.0.20");
    const uint8_t bytes[3]{0xA0, 0x00, 0x10};
    EXPECT_EQ(HexBytes(bytes, 3), "a0 00 10");
    EXPECT_EQ(HexBytes(bytes, 0), "");
}

TEST(Report, ModuleNameStopsAtSixteenBytesWithoutTerminator) {
    // A full name has no terminator: the text must end at the sixteenth byte and
    // not run on into whatever follows it.
    struct {
        char name[16];
        char after[8];
    } record{};
    std::memcpy(record.name, "0123456789abcdef", 16);
    std::memcpy(record.after, "GARBAGE", 8);
    EXPECT_EQ(ModuleNameText(record.name), "0123456789abcdef");

    const char shortName[16] = {'l', 'i', 'n', 'e', ' ', '3'};
    EXPECT_EQ(ModuleNameText(shortName), "line 3");
    const char odd[16] = {'a', '\x01', 'b'};
    EXPECT_EQ(ModuleNameText(odd), "a\\x01b");
}

TEST(Report, FlagTextsMatchWhatTheParserAccepts) {
    const auto flags = *ParseFlagSet("0,9", 16);
    bool raw[16];
    for (int k = 0; k < 16; ++k)
        raw[k] = flags[static_cast<std::size_t>(k)];
    EXPECT_EQ(FlagNumbers(raw, 16), "0, 9");
    EXPECT_EQ(FlagMask(raw, 16), "0x0201");
    EXPECT_EQ(*ParseFlagSet(FlagMask(raw, 16), 16), flags);

    bool warnings[32]{};
    warnings[0] = warnings[31] = true;
    EXPECT_EQ(FlagMask(warnings, 32), "0x80000001");
    bool none[16]{};
    EXPECT_EQ(FlagNumbers(none, 16), "none");
}

TEST(Report, ValuesCarryTheirUnitsAndOnlyValidOnesAreReported) {
    RegisterValues v{};
    v.TypeHigh = 8;
    v.TypeLow = 2;
    v.TypeValid = true;
    v.Voltage = 24.0F;
    v.VoltageValid = true;
    v.Outputs[0] = v.Outputs[9] = true;
    v.OutputsValid = true;
    v.AnalogInputsThreshold = -1.5F;
    v.AnalogInputsThresholdValid = true;
    std::memcpy(v.ModuleName, "line 3", 6);
    v.ModuleNameValid = true;
    v.InputVoltage[3] = 1.25F;
    v.InputVoltageValid[3] = true;

    EXPECT_EQ(ValueText(v, {Register::Type, -1}), "8.2 (Qorvi-NETPOD 2)");
    EXPECT_EQ(ValueText(v, {Register::Voltage, -1}), "24.000 V");
    EXPECT_EQ(ValueText(v, {Register::Outputs, -1}), "0, 9 (0x0201)");
    EXPECT_EQ(ValueText(v, {Register::Threshold, -1}), "-1.500 V");
    EXPECT_EQ(ValueText(v, {Register::Name, -1}), "\"line 3\"");
    EXPECT_EQ(ValueText(v, {Register::InputVoltage, 3}), "1.250 V");
    EXPECT_TRUE(HasValue(v, {Register::InputVoltage, 3}));
    EXPECT_FALSE(HasValue(v, {Register::InputVoltage, 4}));
    EXPECT_FALSE(HasValue(v, {Register::InputVoltage, -1}));  // not all sixteen came
    EXPECT_FALSE(HasValue(v, {Register::Mac, -1}));

    const std::string report = FullReport(v);
    EXPECT_NE(report.find("type"), std::string::npos);
    EXPECT_NE(report.find("24.000 V"), std::string::npos);
    EXPECT_NE(report.find("3: 1.250 V"), std::string::npos);
    EXPECT_EQ(report.find("mac"), std::string::npos);  // not in the answer
    EXPECT_EQ(report.find("inputs "), std::string::npos);
}

TEST(Report, WatchCellsLineUpWithTheirColumns) {
    const std::vector<RegisterRef> refs{{Register::Inputs, -1}, {Register::InputVoltage, -1},
                                        {Register::Voltage, -1}};
    const auto columns = WatchColumns(refs);
    ASSERT_EQ(columns.size(), 18U);
    EXPECT_EQ(columns[1], "input-voltage.0");
    EXPECT_EQ(columns[17], "voltage");

    RegisterValues v{};
    v.Inputs[1] = true;
    v.InputsValid = true;
    v.InputVoltage[15] = -0.5F;
    v.InputVoltageValid[15] = true;
    const auto cells = WatchCells(v, refs);
    ASSERT_EQ(cells.size(), columns.size());
    EXPECT_EQ(cells[0], "0x0002");
    EXPECT_EQ(cells[1], "");  // not in this answer
    EXPECT_EQ(cells[16], "-0.500");
    EXPECT_EQ(cells[17], "");
    EXPECT_EQ(CsvLine(120, {"0x0002", "", "1.000"}), "120,0x0002,,1.000\n");
}

TEST(Report, ScanTableNamesTheProduct) {
    ModuleInfo modules[2]{};
    modules[0].Type[0] = 8;
    modules[0].Type[1] = 0;
    modules[0].Version[0] = 2;
    const int32_t ip0[4]{127, 0, 0, 2};
    std::memcpy(modules[0].IPAddress, ip0, sizeof ip0);
    std::memcpy(modules[0].ModuleName, "first", 5);
    modules[1].Type[0] = 8;
    modules[1].Type[1] = 2;
    std::memcpy(modules[1].ModuleName, "0123456789abcdef", 16);
    const std::string table = ScanTable(modules);
    EXPECT_EQ(table.rfind("ADDRESS", 0), 0U);
    EXPECT_NE(table.find("127.0.0.2"), std::string::npos);
    EXPECT_NE(table.find("Qorvi-NETPOD  "), std::string::npos);
    EXPECT_NE(table.find("Qorvi-NETPOD 2"), std::string::npos);
    EXPECT_NE(table.find("0123456789abcdef\n"), std::string::npos);
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
}

TEST(Report, LastLogEntriesSkipTheHeaderAndKeepTheNewest) {
    const std::string log =
        "Error Log File for the \"Qorvi-NETPOD_DLLInterface.dll\"\t\ttitle\r\n\r\n"
        "Date\t\tHour\t\tIP Address\tError description\r\n\r\n"
        "01/02/24\t10:00:00\tNone           \tfirst\t(A)\r\n\r\n"
        "01/02/24\t10:00:01\t10.0.0.1       \tsecond\t(B)\r\n\r\n"
        "01/02/24\t10:00:02\tNone           \tthird\t(C)\r\n\r\n";
    const auto all = LastLogEntries(log, 10);
    ASSERT_EQ(all.size(), 3U);
    EXPECT_EQ(all[1], "01/02/24  10:00:01  10.0.0.1  second  (B)");
    const auto last = LastLogEntries(log, 2);
    ASSERT_EQ(last.size(), 2U);
    EXPECT_NE(last[0].find("second"), std::string::npos);
    EXPECT_NE(last[1].find("third"), std::string::npos);
    EXPECT_TRUE(LastLogEntries(log, 0).empty());
    EXPECT_TRUE(LastLogEntries("", 5).empty());
}

// Another process wrote the shared log between a step's reason and its failure: the
// reason shown is the entry of the same address, not the one just before.
TEST(Report, TheReasonOfAFailureIsTheEntryBeforeItOfTheSameAddress) {
    const std::vector<std::string> entries = {
        "01/02/24  10:00:00  10.0.0.9  Address IP not found on the network  (MakeInitialTYPETest)",
        "01/02/24  10:00:00  10.0.0.7  Bad value for TimeMiliSec  (Qorvi_NETPOD_SetRepetitiveAskTime)",
        "01/02/24  10:00:01  10.0.0.9  Initial Test failed  (Qorvi_NETPOD_OpenConnection_MAINPORT)",
        "01/02/24  10:00:02  10.0.0.7  Initial Test failed  (Qorvi_NETPOD_OpenConnection_MAINPORT)",
    };
    const auto reason = EntryBeforeOfSameAddress(entries, "Initial Test failed  (Qorvi_NETPOD_OpenConnection_MAINPORT)");
    ASSERT_TRUE(reason.has_value());
    // The newest failure is 10.0.0.7's: its own entry before it is the bad period.
    EXPECT_NE(reason->find("Bad value for TimeMiliSec"), std::string::npos);
    const std::vector<std::string> others(entries.begin(), entries.begin() + 3);
    EXPECT_EQ(EntryBeforeOfSameAddress(others, "Initial Test failed  (Qorvi_NETPOD_OpenConnection_MAINPORT)"),
              entries[0]);
    EXPECT_FALSE(EntryBeforeOfSameAddress({entries[2]}, "Initial Test failed  (Qorvi_NETPOD_OpenConnection_MAINPORT)"));
    EXPECT_FALSE(EntryBeforeOfSameAddress(entries, "ChangeIPAddress Failed  (Qorvi_NETPOD_ChangeIPAddress)"));
}
