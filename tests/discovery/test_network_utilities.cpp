// The scan, the change of IP address and the ICMP echo test. They broadcast and ping,
// so every test here first makes sure it runs in a private loopback-only namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "discovery/change_ip_address.h"
#include "diagnostics/error_log.h"
#include "protocol/ip_text.h"
#include "transport/icmp_echo.h"
#include "discovery/network_scan.h"
#include "netpod_emulator/emulator.h"
#include "qorvi_netpod.h"
#include "support/netns_guard.h"
#include "discovery/log_entries.h"

namespace netpod {
namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The record a scan must produce for an emulated module, byte for byte.
ModuleInfo ExpectedRecord(const emu::ModuleConfig& config) {
    ModuleInfo record;
    std::memset(&record, 0, sizeof record);
    record.Type[0] = config.typeHigh;
    record.Type[1] = config.typeLow;
    const auto& v = config.version;
    if (v[0] != 0) {
        record.Version[0] = v[2];
        record.Version[1] = v[3];
        record.Version[2] = v[0];
        record.Version[3] = v[1];
    } else {
        record.Version[0] = v[1];
        record.Version[1] = v[2] * 256 + v[3];
    }
    for (int i = 0; i < 6; ++i)
        record.MacAddress[i] = config.mac[static_cast<std::size_t>(i)];
    std::sscanf(config.address.c_str(), "%d.%d.%d.%d", &record.IPAddress[0], &record.IPAddress[1],
                &record.IPAddress[2], &record.IPAddress[3]);
    std::memcpy(record.ModuleName, config.name.data(), std::min<std::size_t>(16, config.name.size()));
    return record;
}

bool SameBytes(const ModuleInfo& a, const ModuleInfo& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::unique_ptr<emu::Emulator> StartModules(std::size_t count, emu::ModuleConfig base = {}) {
    std::string why;
    auto emulator = emu::StartOnFreeLoopback(base, count, &why, /*answerBroadcast=*/true);
    EXPECT_NE(emulator, nullptr) << why;
    return emulator;
}

class NetworkScan : public ::testing::Test {
protected:
    void SetUp() override {
        NETPOD_REQUIRE_PRIVATE_NETNS();
        std::memset(records, 0x5A, sizeof records);
        std::memset(&untouched, 0x5A, sizeof untouched);
    }

    // True when `found` holds each module's record once, in some order; a scan
    // stores answers in the order they arrive, which the emulator does not promise.
    static bool HoldsEachModuleOnce(const emu::Emulator& emulator, const ModuleInfo* found, std::size_t n) {
        std::vector<bool> seen(emulator.moduleCount(), false);
        for (std::size_t r = 0; r < n; ++r) {
            bool matched = false;
            for (std::size_t m = 0; m < emulator.moduleCount() && !matched; ++m)
                if (!seen[m] && SameBytes(found[r], ExpectedRecord(emulator.config(m))))
                    seen[m] = matched = true;
            if (!matched)
                return false;
        }
        return true;
    }

    ModuleInfo records[12];
    ModuleInfo untouched;
};

TEST_F(NetworkScan, ThreeModulesWithRoomForTenAndForTwo) {
    emu::ModuleConfig base;
    base.version = {0x01, 0x02, 0x03, 0x04};
    auto emulator = StartModules(3, base);
    ASSERT_NE(emulator, nullptr);

    ASSERT_EQ(ScanNetwork(records, 10), 3);
    EXPECT_TRUE(HoldsEachModuleOnce(*emulator, records, 3));
    for (std::size_t r = 3; r < 12; ++r)
        EXPECT_TRUE(SameBytes(records[r], untouched)) << "record " << r;
    for (std::size_t m = 0; m < 3; ++m) {
        // The 12-byte broadcast read: TYPE, VERSION, MODULENAME, ETHERNETMAC; the
        // checksum is 0xEAC8 (complements FFDE FFFF FFFB FFFE EAEE, sum 4EAC4, folded).
        const auto datagrams = emulator->receivedDatagrams(m);
        ASSERT_EQ(datagrams.size(), 1u);
        EXPECT_EQ(datagrams[0], (std::vector<std::uint8_t>{0x00, 0x21, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x15, 0x11,
                                                           0xEA, 0xC8}));
        emulator->clearRecorded(m);
    }

    std::memset(records, 0x5A, sizeof records);
    EXPECT_EQ(Qorvi_NETPOD_ScanNetwork(records, 2), 3);
    EXPECT_TRUE(HoldsEachModuleOnce(*emulator, records, 2));
    EXPECT_TRUE(SameBytes(records[2], untouched));

    // No array at all: nothing is stored, every answer still counts.
    EXPECT_EQ(ScanNetwork(nullptr, 10), 3);
    EXPECT_EQ(ScanNetwork(records, -1), 3);
}

TEST_F(NetworkScan, NothingAnswersAfterOneWait) {
    const auto start = Clock::now();
    EXPECT_EQ(ScanNetwork(records, 10), 0);
    const auto took = MillisecondsSince(start);
    EXPECT_GE(took, 190);
    EXPECT_LT(took, 2000);
    EXPECT_TRUE(SameBytes(records[0], untouched));
}

// A module that splits its answer over two datagrams: the halves are assembled
// across the receives of the scan.
TEST_F(NetworkScan, SplitAnswerIsAssembled) {
    auto emulator = StartModules(1);
    ASSERT_NE(emulator, nullptr);
    emu::Faults faults;
    faults.udpSplit = true;
    emulator->setFaults(0, faults);
    ASSERT_EQ(ScanNetwork(records, 10), 1);
    EXPECT_TRUE(SameBytes(records[0], ExpectedRecord(emulator->config(0))));
    EXPECT_EQ(emulator->counters(0).udpFaults.split, 1u);
}

// Two answers in one 84-byte datagram do not fit the 50-byte receive buffer: the
// first is taken, the cut-off second is dropped, and the other module's answer that
// follows is read whole rather than used to complete the dropped one.
TEST_F(NetworkScan, DoubleAnswerIsCutAndDoesNotSpoilTheNext) {
    auto emulator = StartModules(2);
    ASSERT_NE(emulator, nullptr);
    emu::Faults faults;
    faults.udpDouble = true;
    emulator->setFaults(0, faults);
    WriteErrorLog("No Error yet", kNoIpText);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(ScanNetwork(records, 10), 2);
        EXPECT_TRUE(HoldsEachModuleOnce(*emulator, records, 2));
    }
    EXPECT_EQ(LastErrorText(), "No Error yet");
    EXPECT_EQ(emulator->counters(0).udpFaults.doubled, 3u);
}

// A wrong checksum and an unknown register before the MAC both leave the module
// uncounted, each with its own log entry naming the module's address.
TEST_F(NetworkScan, FaultyAnswersAreNotCounted) {
    auto emulator = StartModules(1);
    ASSERT_NE(emulator, nullptr);
    const std::string& address = emulator->config(0).address;

    emu::Faults faults;
    faults.udpUnknownRegister = true;
    emulator->setFaults(0, faults);
    EXPECT_EQ(ScanNetwork(records, 10), 0);
    EXPECT_EQ(LastErrorText(), "Receive unknown module gegister\t(ReceiveUDP_Data)");
    EXPECT_TRUE(test::LogHasEntry(address, "Receive unknown module gegister\t(ReceiveUDP_Data)"));
    EXPECT_EQ(emulator->counters(0).udpFaults.unknownRegister, 1u);

    faults = {};
    faults.udpBadChecksum = true;
    emulator->setFaults(0, faults);
    EXPECT_EQ(ScanNetwork(records, 10), 0);
    EXPECT_EQ(LastErrorText(), "ChecksumError occurs. Nb of ChecksumError = 1\t(Qorvi_NETPOD_SendData_MAINPORT)");
    EXPECT_TRUE(SameBytes(records[0], untouched));

    // An answer later than the 200 ms wait is lost with the closed socket.
    faults = {};
    faults.udpDelayMs = 500;
    emulator->setFaults(0, faults);
    EXPECT_EQ(ScanNetwork(records, 10), 0);
}

class ChangeIP : public ::testing::Test {
protected:
    void SetUp() override { NETPOD_REQUIRE_PRIVATE_NETNS(); }

    // Runs the export and returns the last-error text it left.
    std::string Change(const std::int32_t* mac, const std::int32_t* ip, const std::int32_t* mask, bool expected) {
        WriteErrorLog("No Error yet", kNoIpText);
        EXPECT_EQ(Qorvi_NETPOD_ChangeIPAddress(mac, ip, mask), expected);
        return LastErrorText();
    }

    static constexpr char kExportFailed[] = "ChangeIPAddress Failed\t(Qorvi_NETPOD_ChangeIPAddress)";
};

TEST_F(ChangeIP, ModuleTakesTheNewAddressAndMask) {
    emu::ModuleConfig base;
    base.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    auto emulator = StartModules(2, base);
    ASSERT_NE(emulator, nullptr);
    const auto mac = emulator->config(1).mac;
    const std::int32_t macValues[6] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
    // Nothing routes to 10.x inside the namespace, so nothing answers the echo.
    const std::int32_t ip[4] = {10, 20, 30, 40};
    const std::int32_t mask[4] = {255, 255, 0, 0};
    EXPECT_EQ(Change(macValues, ip, mask, true), "No Error yet");

    const emu::RegisterSnapshot changed = emulator->registers(1);
    EXPECT_EQ(changed.ip, (std::array<std::uint8_t, 4>{10, 20, 30, 40}));
    EXPECT_EQ(changed.mask, (std::array<std::uint8_t, 4>{255, 255, 0, 0}));
    EXPECT_EQ(emulator->counters(1).udpChangeIpApplied, 1u);
    EXPECT_EQ(emulator->counters(0).udpChangeIpIgnored, 1u);
    const auto datagrams = emulator->receivedDatagrams(1);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].size(), 22u);
    EXPECT_EQ((std::vector<std::uint8_t>(datagrams[0].begin(), datagrams[0].begin() + 6)),
              (std::vector<std::uint8_t>{0x00, 0x2A, 0x00, 0x01, 0x00, 0x0E}));
}

TEST_F(ChangeIP, ArgumentsAreCheckedInOrder) {
    const std::int32_t mac[6] = {2, 0, 0, 0, 0, 1};
    const std::int32_t badMac[6] = {2, 0, 256, 0, 0, 1};
    const std::int32_t negativeMac[6] = {-1, 0, 0, 0, 0, 1};
    const std::int32_t ip[4] = {10, 66, 1, 2};
    const std::int32_t badIp[4] = {10, 66, 300, 2};
    const std::int32_t mask[4] = {255, 255, 255, 0};
    const std::int32_t badMask[4] = {255, 255, 255, -1};

    struct Case {
        const std::int32_t *mac, *ip, *mask;
        const char* message;
        const char* ipText;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, "Pointer on data to write not valid. MacAddress = NULL\t(ChangeIPAddress)", "0"},
        {mac, nullptr, nullptr, "Pointer on data to write not valid. IPAddress = NULL\t(ChangeIPAddress)", "0"},
        {mac, ip, nullptr, "Pointer on data to write not valid. SubnetMaskAddress = NULL\t(ChangeIPAddress)", "0"},
        {badMac, badIp, badMask, "Mac Address not valid\t(ChangeIPAddress)", "10.66.300.2"},
        {negativeMac, ip, mask, "Mac Address not valid\t(ChangeIPAddress)", "10.66.1.2"},
        {mac, badIp, badMask, "IP Address not valid\t(ChangeIPAddress)", "10.66.300.2"},
        {mac, ip, badMask, "Subnet Mask Address not valid\t(ChangeIPAddress)", "10.66.1.2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const auto start = Clock::now();
        // The export's own entry comes last and is the last-error text.
        EXPECT_EQ(Change(c.mac, c.ip, c.mask, false), kExportFailed);
        EXPECT_TRUE(test::LogHasEntry(c.ipText, c.message));
        // A refused argument waits for nothing: well below the 5000 ms echo wait
        // (a wait for the acknowledge would have logged its own message instead).
        // Two log writes under ThreadSanitizer on a busy machine can take 180 ms.
        EXPECT_LT(MillisecondsSince(start), 1000);
    }
    EXPECT_TRUE(test::LogHasEntry("0", kExportFailed));
}

// Inside the namespace every 127.x address is this host, and it answers the echo:
// giving a module an address already in use is refused before anything is broadcast.
TEST_F(ChangeIP, AddressInUseIsRefused) {
    auto emulator = StartModules(1);
    ASSERT_NE(emulator, nullptr);
    const auto mac = emulator->config(0).mac;
    const std::int32_t macValues[6] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
    const std::int32_t ip[4] = {127, 0, 0, 77};
    const std::int32_t mask[4] = {255, 0, 0, 0};
    EXPECT_EQ(Change(macValues, ip, mask, false), kExportFailed);
    EXPECT_TRUE(test::LogHasEntry("127.0.0.77", "The IP address is already in use\t(ChangeIPAddress)"));
    EXPECT_EQ(emulator->counters(0).udpDatagrams, 0u);
}

TEST_F(ChangeIP, NoAcknowledgeFromAnUnknownMacOrALateModule) {
    auto emulator = StartModules(1);
    ASSERT_NE(emulator, nullptr);
    const std::int32_t unknownMac[6] = {0x02, 0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    const std::int32_t ip[4] = {10, 67, 0, 1};
    const std::int32_t mask[4] = {255, 255, 255, 0};
    constexpr char kNoAck[] = "Change IP Address acknowledge not received from the module\t(ChangeIPAddress)";
    const auto start = Clock::now();
    EXPECT_EQ(Change(unknownMac, ip, mask, false), kExportFailed);
    EXPECT_GE(MillisecondsSince(start), 190);
    EXPECT_TRUE(test::LogHasEntry("10.67.0.1", kNoAck));
    EXPECT_EQ(emulator->counters(0).udpChangeIpIgnored, 1u);

    const auto mac = emulator->config(0).mac;
    const std::int32_t macValues[6] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
    emu::Faults late;
    late.udpDelayMs = 500;
    emulator->setFaults(0, late);
    EXPECT_EQ(Change(macValues, ip, mask, false), kExportFailed);
    EXPECT_EQ(emulator->counters(0).udpFaults.delayed, 1u);
}

// A malformed acknowledge still acknowledges; its checksum entry is logged on the way.
TEST_F(ChangeIP, CorruptAcknowledgeStillCounts) {
    auto emulator = StartModules(1);
    ASSERT_NE(emulator, nullptr);
    const auto mac = emulator->config(0).mac;
    const std::int32_t macValues[6] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
    const std::int32_t ip[4] = {10, 68, 0, 1};
    const std::int32_t mask[4] = {255, 255, 255, 0};
    emu::Faults corrupt;
    corrupt.udpBadChecksum = true;
    emulator->setFaults(0, corrupt);
    EXPECT_EQ(Change(macValues, ip, mask, true),
              "ChecksumError occurs. Nb of ChecksumError = 1\t(Qorvi_NETPOD_SendData_MAINPORT)");
    EXPECT_EQ(emulator->counters(0).udpFaults.corrupted, 1u);
}

class IcmpEcho : public ::testing::Test {
protected:
    void SetUp() override { NETPOD_REQUIRE_PRIVATE_NETNS(); }

    static bool WriteSysctl(const char* path, const char* value) {
        std::ofstream file(path);
        file << value;
        file.flush();
        return static_cast<bool>(file);
    }

    static std::uint32_t Address(const char* text) {
        in_addr a{};
        ::inet_pton(AF_INET, text, &a);
        return a.s_addr;
    }
};

TEST_F(IcmpEcho, EveryLoopbackAddressAnswersAndUnroutedOnesDoNot) {
    const std::int32_t loopback[4] = {127, 3, 2, 1};
    EXPECT_TRUE(IsIPAddressInUse(loopback));
    // No route: the send fails at once and counts as "not in use".
    const std::int32_t unrouted[4] = {10, 1, 2, 3};
    const auto start = Clock::now();
    EXPECT_FALSE(IsIPAddressInUse(unrouted));
    EXPECT_LT(MillisecondsSince(start), 1000);
}

// Both kinds of ICMP socket, where they can be opened; the namespace has its own
// settings, so the test may allow unprivileged echo sockets and silence the replies.
TEST_F(IcmpEcho, BothSocketKindsSeeTheReplyAndTheSilence) {
    const bool datagramAllowed = WriteSysctl("/proc/sys/net/ipv4/ping_group_range", "0 2147483647");
    const auto raw = EchoOver(IcmpSocketKind::Raw, Address("127.0.0.9"), std::chrono::milliseconds(2000));
    const auto datagram = EchoOver(IcmpSocketKind::Datagram, Address("127.0.0.9"), std::chrono::milliseconds(2000));
    if (!raw && !datagram)
        GTEST_SKIP() << "no ICMP socket of either kind can be opened here";
    if (raw) {
        EXPECT_TRUE(*raw);
    }
    if (datagramAllowed) {
        ASSERT_TRUE(datagram.has_value());
        EXPECT_TRUE(*datagram);
    }

    ASSERT_TRUE(WriteSysctl("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1"));
    const auto start = Clock::now();
    if (raw) {
        EXPECT_EQ(EchoOver(IcmpSocketKind::Raw, Address("127.0.0.9"), std::chrono::milliseconds(300)), false);
    }
    if (datagram) {
        EXPECT_EQ(EchoOver(IcmpSocketKind::Datagram, Address("127.0.0.9"), std::chrono::milliseconds(300)), false);
    }
    EXPECT_GE(MillisecondsSince(start), 290);
}

}  // namespace
}  // namespace netpod
