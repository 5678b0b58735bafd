// The tool's command line and value forms, without a module.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "command_line.h"
#include "register_names.h"
#include "value_parsing.h"

using namespace netpod::tool;

namespace {

std::vector<bool> Flags(std::initializer_list<int> on, int count) {
    std::vector<bool> flags(static_cast<std::size_t>(count), false);
    for (int k : on)
        flags[static_cast<std::size_t>(k)] = true;
    return flags;
}

Parsed<CommandLine> Parse(std::initializer_list<std::string_view> args) {
    return ParseCommandLine(std::vector<std::string_view>(args));
}

}  // namespace

TEST(FlagSet, NumbersMasksAndWordsGiveTheSameFlags) {
    const auto expected = Flags({0, 9}, 16);
    for (const char* text : {"0,9", "9,0", "0x0201", "0X201", "0b1000000001", " 0 , 9 ", "0,9,9"}) {
        const auto parsed = ParseFlagSet(text, 16);
        ASSERT_TRUE(parsed) << text << ": " << parsed.error();
        EXPECT_EQ(*parsed, expected) << text;
    }
    EXPECT_EQ(*ParseFlagSet("0-3,12", 16), Flags({0, 1, 2, 3, 12}, 16));
    EXPECT_EQ(*ParseFlagSet("none", 16), Flags({}, 16));
    EXPECT_EQ(*ParseFlagSet("", 16), Flags({}, 16));
    EXPECT_EQ(*ParseFlagSet("ALL", 16), std::vector<bool>(16, true));
    EXPECT_EQ(*ParseFlagSet("0x80000001", 32), Flags({0, 31}, 32));
}

TEST(FlagSet, RefusesFlagsThatDoNotExist) {
    for (const char* text : {"16", "0,16", "-1", "0x10000", "0b10000000000000000", "3-1", "0-16", "a", "0,,9",
                             "0x", "0xz1", "1.5"}) {
        const auto parsed = ParseFlagSet(text, 16);
        EXPECT_FALSE(parsed) << text;
        EXPECT_FALSE(parsed.error().empty());
    }
    EXPECT_FALSE(ParseFlagSet("0x100000000", 32));
    EXPECT_FALSE(ParseFlagSet("32", 32));
}

TEST(Values, IntegersAndNumbers) {
    EXPECT_EQ(*ParseInteger("255"), 255);
    EXPECT_EQ(*ParseInteger("-1"), -1);
    EXPECT_EQ(*ParseInteger("0x87"), 135);
    EXPECT_EQ(*ParseInteger("2147483647"), 2147483647);
    for (const char* text : {"2147483648", "12abc", "", "0x", "1.0", "+"})
        EXPECT_FALSE(ParseInteger(text)) << text;

    EXPECT_FLOAT_EQ(*ParseFloat("1.5"), 1.5F);
    EXPECT_FLOAT_EQ(*ParseFloat("-12"), -12.0F);
    for (const char* text : {"1,5", "", "1.5V", "x"})
        EXPECT_FALSE(ParseFloat(text)) << text;
}

TEST(Values, AddressesKeepOutOfRangePartsForTheLibrary) {
    EXPECT_EQ(*ParseDottedQuad("192.168.0.20"), (DottedQuad{192, 168, 0, 20}));
    // 256 and -1 reach the library, which refuses them with its own message.
    EXPECT_EQ(*ParseDottedQuad("10.0.0.256"), (DottedQuad{10, 0, 0, 256}));
    EXPECT_EQ(*ParseDottedQuad("-1.0.0.0"), (DottedQuad{-1, 0, 0, 0}));
    for (const char* text : {"1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d", "", "1.2.3.4 x"})
        EXPECT_FALSE(ParseDottedQuad(text)) << text;

    EXPECT_EQ(*ParseMac("02:00:0a:ff:00:01"), (MacAddress{2, 0, 10, 255, 0, 1}));
    EXPECT_EQ(*ParseMac("02-00-0A-FF-00-01"), (MacAddress{2, 0, 10, 255, 0, 1}));
    for (const char* text : {"02:00:00:00:00", "02:00:00:00:00:01:02", "100:0:0:0:0:0", "0g:0:0:0:0:0"})
        EXPECT_FALSE(ParseMac(text)) << text;
}

TEST(Values, HexBytesInEveryWrittenForm) {
    const std::vector<uint8_t> expected{0xA0, 0x00, 0x10};
    for (const char* text : {"a0 00 10", "a00010", "0xa0,0x0,0x10", "A0:00:10", "  a0   0010 "})
        EXPECT_EQ(*ParseHexBytes(text), expected) << text;
    for (const char* text : {"a0 0g", "abc", "", "   ", "0x123"})
        EXPECT_FALSE(ParseHexBytes(text)) << text;
}

TEST(Values, ModuleNameIsPaddedAndLimitedToSixteen) {
    const auto name = ParseModuleName("line 3");
    ASSERT_TRUE(name);
    EXPECT_EQ(std::string(name->data(), 6), "line 3");
    for (std::size_t i = 6; i < 16; ++i)
        EXPECT_EQ((*name)[i], '\0');
    EXPECT_TRUE(ParseModuleName("0123456789abcdef"));
    EXPECT_FALSE(ParseModuleName("0123456789abcdefg"));
    EXPECT_EQ(std::string(ParseModuleName("\"quoted\"")->data()), "quoted");
}

TEST(Registers, EverySpellingFindsTheSameRegister) {
    for (const char* text : {"tcp-timeout", "TCP_TIMEOUT", "tcptimeout", "TCPTIMEOUT"})
        EXPECT_EQ(FindRegister(text)->reg, Register::TcpTimeout) << text;
    EXPECT_EQ(FindRegister("ANALOGINPUTSTHRESHOLD")->reg, Register::Threshold);
    EXPECT_EQ(*FindRegister("input-voltage.15"), (RegisterRef{Register::InputVoltage, 15}));
    EXPECT_EQ(*FindRegister("input-voltages"), (RegisterRef{Register::InputVoltage, -1}));
    for (const char* text : {"input-voltage.16", "input-voltage.-1", "input-voltage.", "bogus", ""})
        EXPECT_FALSE(FindRegister(text)) << text;
    EXPECT_EQ(DisplayName({Register::InputVoltage, 3}), "input-voltage.3");
}

TEST(WriteItems, ValuesAndCommands) {
    const auto outputs = ParseWriteItem("outputs=0,9");
    ASSERT_TRUE(outputs) << outputs.error();
    EXPECT_EQ(outputs->target.reg, Register::Outputs);
    EXPECT_EQ(std::get<std::vector<bool>>(outputs->value), Flags({0, 9}, 16));

    EXPECT_EQ(std::get<float>(ParseWriteItem("threshold=1.5")->value), 1.5F);
    EXPECT_EQ(std::get<DottedQuad>(ParseWriteItem("ip=192.168.0.20")->value), (DottedQuad{192, 168, 0, 20}));
    EXPECT_EQ(std::get<int32_t>(ParseWriteItem("tcp-timeout=300")->value), 300);  // the library refuses it
    EXPECT_EQ(std::string(std::get<ModuleNameBytes>(ParseWriteItem("name=line 3")->value).data()), "line 3");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(ParseWriteItem("reset-cpu")->value));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(ParseWriteItem("warnings=0")->value));
    // A value may itself hold '=': only the first one separates.
    EXPECT_EQ(std::string(std::get<ModuleNameBytes>(ParseWriteItem("name=a=b")->value).data()), "a=b");
}

TEST(WriteItems, RefusalsSayWhy) {
    EXPECT_NE(ParseWriteItem("type=1").error().find("cannot be written"), std::string::npos);
    EXPECT_NE(ParseWriteItem("reset-cpu=1").error().find("takes no value"), std::string::npos);
    EXPECT_NE(ParseWriteItem("outputs").error().find("outputs=VALUE"), std::string::npos);
    EXPECT_NE(ParseWriteItem("warnings=5").error().find("cleared"), std::string::npos);
    EXPECT_NE(ParseWriteItem("outputs=16").error().find("0 to 15"), std::string::npos);
    EXPECT_FALSE(ParseWriteItem("threshold=high"));
    EXPECT_FALSE(ParseWriteItem("name=seventeen chars!!"));
    EXPECT_FALSE(ParseWriteItem("input-voltage.2=1"));
}

TEST(CommandLineParsing, CommandsWithTheirArguments) {
    auto line = Parse({"info", "192.168.0.12"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(line->command, Command::Info);
    EXPECT_EQ(line->address, (DottedQuad{192, 168, 0, 12}));
    EXPECT_FALSE(line->emulate);

    line = Parse({"--emulate", "watch", "inputs", "input-voltages", "--count", "20", "--csv", "--period=50"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_TRUE(line->emulate);
    EXPECT_EQ(line->count, 20);
    EXPECT_TRUE(line->csv);
    EXPECT_EQ(line->periodMs, 50);
    EXPECT_EQ(line->registers,
              (std::vector<RegisterRef>{{Register::Inputs, -1}, {Register::InputVoltage, -1}}));

    // --emulate may follow the command too.
    line = Parse({"write", "outputs=0,9", "name=x", "--emulate"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(line->writes.size(), 2U);

    line = Parse({"i2c", "10.0.0.5", "xfer", "a0", "00", "10", "--ask-id", "7"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(line->i2cAction, I2cAction::Transfer);
    EXPECT_EQ(line->i2cBytes, (std::vector<uint8_t>{0xA0, 0x00, 0x10}));
    EXPECT_EQ(line->askId, 7);

    line = Parse({"set-ip", "02:00:00:00:00:01", "192.168.0.20", "255.255.255.0"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(line->newMask, (DottedQuad{255, 255, 255, 0}));

    // The library checks the period and the AskID; the tool passes them on.
    line = Parse({"--emulate", "watch", "inputs", "--period", "0"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->periodMs, 0);

    line = Parse({"serve", "10.0.0.5", "--listen", "0.0.0.0:9000", "--period=20"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(line->command, Command::Serve);
    EXPECT_EQ(line->listen, (ListenAddress{{0, 0, 0, 0}, 9000}));
    EXPECT_EQ(line->periodMs, 20);
    line = Parse({"--emulate", "serve", "--listen=localhost:0"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(line->listen, (ListenAddress{{127, 0, 0, 1}, 0}));
    line = Parse({"--emulate", "serve"});
    ASSERT_TRUE(line) << line.error();
    EXPECT_EQ(line->listen, (ListenAddress{{127, 0, 0, 1}, 8080}));  // loopback unless told otherwise

    // --help wins over missing arguments.
    line = Parse({"watch", "--help"});
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->help);
    EXPECT_NE(HelpText(line->command).find("--period"), std::string::npos);
}

TEST(CommandLineParsing, BadArgumentsGiveAReasonAndTheUsageLine) {
    struct Case {
        std::vector<std::string_view> args;
        const char* reason;
        const char* usage;
    };
    const std::vector<Case> cases{
        {{}, "missing command", "COMMAND"},
        {{"frobnicate"}, "unknown command", "COMMAND"},
        {{"info"}, "missing ADDRESS", "info ADDRESS"},
        {{"info", "10.0.0"}, "bad address", "info ADDRESS"},
        {{"--emulate", "info", "127.0.0.2"}, "give no ADDRESS", "info ADDRESS"},
        {{"info", "10.0.0.1", "extra"}, "unexpected argument", "info ADDRESS"},
        {{"read", "10.0.0.1"}, "at least one REGISTER", "read ADDRESS"},
        {{"read", "10.0.0.1", "reset-cpu"}, "cannot be read", "read ADDRESS"},
        {{"watch", "10.0.0.1", "type"}, "cannot be watched", "watch ADDRESS"},
        {{"watch", "10.0.0.1", "inputs", "--count", "0"}, "--count", "watch ADDRESS"},
        {{"watch", "10.0.0.1", "inputs", "--count"}, "needs a value", "watch ADDRESS"},
        {{"watch", "10.0.0.1", "inputs", "--count", "x"}, "--count", "watch ADDRESS"},
        {{"read", "10.0.0.1", "inputs", "--csv"}, "unknown option", "read ADDRESS"},
        {{"write", "10.0.0.1", "outputs=16"}, "0 to 15", "write ADDRESS"},
        {{"set-ip", "02:00:00:00:00:01", "10.0.0.1"}, "MAC IP MASK", "set-ip MAC IP MASK"},
        {{"i2c", "10.0.0.1", "probe"}, "unknown i2c action", "i2c ADDRESS"},
        {{"i2c", "10.0.0.1", "xfer"}, "HEXBYTES", "i2c ADDRESS"},
        {{"--emulate", "i2c", "xfer", "zz"}, "hexadecimal", "i2c ADDRESS"},
        {{"log", "--lines", "-3"}, "--lines", "log"},
        {{"serve"}, "missing ADDRESS", "serve ADDRESS"},
        {{"--emulate", "serve", "--listen", "127.0.0.1"}, "bad listening address", "serve ADDRESS"},
        {{"--emulate", "serve", "--listen", "127.0.0.1:65536"}, "bad listening address", "serve ADDRESS"},
        {{"--emulate", "serve", "--listen", "127.0.0.256:80"}, "bad listening address", "serve ADDRESS"},
        {{"--emulate", "serve", "--listen", "example.org:80"}, "bad listening address", "serve ADDRESS"},
        {{"--emulate", "serve", "--listen"}, "needs a value", "serve ADDRESS"},
        {{"--emulate", "watch", "inputs", "--listen", "127.0.0.1:80"}, "unknown option", "watch ADDRESS"},
    };
    for (const Case& c : cases) {
        const auto line = ParseCommandLine(c.args);
        std::string shown;
        for (auto a : c.args)
            shown += std::string(a) + " ";
        ASSERT_FALSE(line) << shown;
        EXPECT_NE(line.error().find(c.reason), std::string::npos) << shown << "-> " << line.error();
        const auto usage = line.error().find("\nusage: netpod");
        ASSERT_NE(usage, std::string::npos) << line.error();
        EXPECT_NE(line.error().find(c.usage, usage), std::string::npos) << line.error();
    }
}
