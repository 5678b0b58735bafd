// netpod_scale_bench: how the library holds up at scale, measured beside a small
// raw-socket client that does the same work, against the same fast peer, in the same
// run. Every figure is printed for both, with the library's over the raw client's as
// a ratio, so that the noise of a shared machine mostly cancels out.
//
// The peer runs in a child process (its CPU time is not the client's), inside a
// private network namespace where one can be made, else on a free loopback address.
// Everything is bounded: a watchdog ends the run, and the peer dies with it.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fast_peer.h"
#include "host.h"
#include "library_client.h"
#include "raw_client.h"
#include "stats.h"

namespace scalebench {
namespace {

using Milliseconds = std::chrono::milliseconds;

struct Plan {
    bool quick = false;
    bool privateNetwork = true;
    std::size_t connections = 300;  // CPU per polled answer and resident memory
    std::size_t many = 1000;        // answers delivered per second
    int pollPeriodMs = 10;
    int askPeriodMs = 1;
    int roundTrips = 20000;    // per client
    int roundTripBlock = 500;  // the clients take turns in blocks of this many
    Milliseconds askWindow{3000};
    Milliseconds pollWindow{3000};
    Milliseconds warmup{500};
    int rounds = 3;  // of the polling phases, the clients' order alternating
    unsigned watchdogSeconds = 300;
};

// Limits of the quick check: far beyond today's figures, so that only a gross
// regression trips them and the noise of a busy machine never does.
constexpr double kRoundTripRatioLimit = 3.0;  // on-demand median, library / raw
constexpr double kAskRateRatioLimit = 0.5;    // 1 ms repetitive ask, library / raw

constexpr Milliseconds kRateSlice{250};

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: netpod_scale_bench [--quick] [--no-netns] [--connections N] [--many N] [--rounds N]\n"
                 "  --quick          a few seconds in all, smaller counts; exits 1 on a gross regression\n"
                 "  --no-netns       plain loopback, no private network namespace\n"
                 "  --connections N  connections for CPU per answer and memory (default 300)\n"
                 "  --many N         connections for answers per second (default 1000)\n"
                 "  --rounds N       rounds of the polling phases, figures their medians (default 3)\n");
}

std::optional<std::size_t> ParseCount(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > 20000)
        return std::nullopt;
    return static_cast<std::size_t>(value);
}

// Returns the plan, or nothing after printing why (exit status 2).
std::optional<Plan> ParseArguments(int argc, char** argv) {
    Plan plan;
    std::optional<std::size_t> connections, many, rounds;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--quick") {
            plan.quick = true;
        } else if (arg == "--no-netns") {
            plan.privateNetwork = false;
        } else if ((arg == "--connections" || arg == "--many" || arg == "--rounds") && i + 1 < argc) {
            const auto value = ParseCount(argv[++i]);
            if (!value || (arg == "--rounds" && *value > 20)) {
                std::fprintf(stderr, "netpod_scale_bench: %s needs a count from 1 to %d\n", argv[i - 1],
                             arg == "--rounds" ? 20 : 20000);
                return std::nullopt;
            }
            (arg == "--connections" ? connections : arg == "--many" ? many : rounds) = value;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "netpod_scale_bench: unknown option %s\n", argv[i]);
            PrintUsage(stderr);
            return std::nullopt;
        }
    }
    if (plan.quick) {
        plan.connections = 100;
        plan.many = 300;
        plan.roundTrips = 2000;
        plan.roundTripBlock = 250;
        plan.askWindow = Milliseconds(1000);
        plan.pollWindow = Milliseconds(500);
        plan.warmup = Milliseconds(250);
        plan.rounds = 1;
        plan.watchdogSeconds = 90;
    }
    plan.rounds = static_cast<int>(rounds.value_or(static_cast<std::size_t>(plan.rounds)));
    plan.watchdogSeconds += static_cast<unsigned>(plan.quick ? 30 : 120) * static_cast<unsigned>(plan.rounds - 1);
    plan.connections = connections.value_or(plan.connections);
    plan.many = many.value_or(plan.many);
    return plan;
}

void OnWatchdog(int) {
    static const char message[] = "netpod_scale_bench: the run took too long and was stopped\n";
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    _exit(1);  // the peer follows: it dies with this process
}

// What one client did in one polling phase.
struct PollFigures {
    double answersPerSecond = 0;
    double cpuMicrosecondsPerAnswer = 0;
    double residentKiBConnected = 0;  // per connection, connected, before any traffic
    double residentKiBPolled = 0;     // per connection, still open after the polling
    double openMilliseconds = 0;      // to open all and see them connected
    double peerBusy = -1;             // the peer's share of one core in the window; -1 unknown
    std::vector<double> intervalsUs;  // between answers, when logged
};

// One connection, polled until a few answers came, then closed: the first use of the
// code and of the process-wide threads is paid here, not by the connections whose
// memory is measured afterwards.
template <class Client>
bool WarmUp(const std::string& address, int periodMs, std::string* error) {
    Client client;
    if (!client.open(address, 1, error) || !client.startAsk(periodMs, nullptr, error))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (client.answers() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(Milliseconds(1));
    client.stopAsk();
    client.close();
    if (client.answers() < 3 || client.faults() != 0) {
        *error = std::to_string(client.answers()) + " good answers and " + std::to_string(client.faults()) +
                 " wrong ones or failures while warming up";
        return false;
    }
    return true;
}

// Opens `count` connections, polls each every `periodMs` for a warm-up and then the
// measured window, and closes them. Client is RawPoller or LibraryFleet.
template <class Client>
bool MeasurePolling(const PeerProcess& peer, std::size_t count, int periodMs, const Plan& plan, bool logTimes,
                    PollFigures& out, std::string* error) {
    const std::string& address = peer.address;
    std::optional<AnswerLog> log;
    if (logTimes)
        log.emplace(static_cast<std::size_t>(plan.askWindow.count()) * 4 + 1000);
    if (!WarmUp<Client>(address, periodMs, error))
        return false;
    Client client;
    const std::int64_t residentBefore = ResidentBytes();
    const std::int64_t openStart = NowNanoseconds();
    if (!client.open(address, count, error))
        return false;
    out.openMilliseconds = static_cast<double>(NowNanoseconds() - openStart) / 1e6;
    const std::int64_t residentConnected = ResidentBytes();
    if (!client.startAsk(periodMs, log ? &*log : nullptr, error))
        return false;
    std::this_thread::sleep_for(plan.warmup);
    if (log)
        log->enable(true);
    const std::uint64_t answers0 = client.answers();
    const std::int64_t cpu0 = ProcessCpuNanoseconds();
    const std::int64_t peer0 = OtherProcessCpuNanoseconds(peer.pid);
    const std::int64_t time0 = NowNanoseconds();
    // The rate is the median of the slices' rates, so that a moment when other work
    // on the machine took the CPU does not decide it.
    std::vector<double> sliceRates;
    std::uint64_t sliceAnswers = answers0;
    std::int64_t sliceStart = time0;
    const auto windowStart = std::chrono::steady_clock::now();
    const auto slices = std::max<Milliseconds::rep>(1, plan.pollWindow / kRateSlice);
    for (Milliseconds::rep k = 1; k <= slices; ++k) {
        std::this_thread::sleep_until(windowStart + k * kRateSlice);
        const std::uint64_t a = client.answers();
        const std::int64_t t = NowNanoseconds();
        sliceRates.push_back(static_cast<double>(a - sliceAnswers) / (static_cast<double>(t - sliceStart) / 1e9));
        sliceAnswers = a;
        sliceStart = t;
    }
    const std::uint64_t answers1 = client.answers();
    const std::int64_t cpu1 = ProcessCpuNanoseconds();
    const std::int64_t peer1 = OtherProcessCpuNanoseconds(peer.pid);
    const std::int64_t time1 = NowNanoseconds();
    if (log)
        log->enable(false);
    client.stopAsk();
    const std::int64_t residentPolled = ResidentBytes();
    client.close();  // no answer is delivered once this has returned
    const std::uint64_t faults = client.faults();

    const double answers = static_cast<double>(answers1 - answers0);
    const double perConnection = 1024.0 * static_cast<double>(count);
    out.answersPerSecond = Percentile(sliceRates, 50);
    out.cpuMicrosecondsPerAnswer = answers > 0 ? static_cast<double>(cpu1 - cpu0) / 1e3 / answers : 0.0;
    if (peer0 >= 0 && peer1 >= 0)
        out.peerBusy = static_cast<double>(peer1 - peer0) / static_cast<double>(time1 - time0);
    out.residentKiBConnected = static_cast<double>(residentConnected - residentBefore) / perConnection;
    out.residentKiBPolled = static_cast<double>(residentPolled - residentBefore) / perConnection;
    if (log)
        out.intervalsUs = log->intervalsMicroseconds();
    if (faults != 0) {
        *error = std::to_string(faults) + " answers were wrong or connections failed";
        return false;
    }
    if (answers == 0) {
        *error = "no answer at all within the window";
        return false;
    }
    return true;
}

double Median(std::vector<double> values) {
    return values.empty() ? 0.0 : Percentile(values, 50);
}

// The polling phase `plan.rounds` times, the raw client first in odd rounds and the
// library first in even ones, so that a change of load on the machine falls on both.
// Each figure is the median of the rounds; the memory is the first round's (later
// rounds start in a process that has held connections already); the intervals of
// every round are pooled.
bool MeasurePollingRounds(const PeerProcess& peer, std::size_t count, int periodMs, const Plan& plan, bool logTimes,
                          PollFigures& raw, PollFigures& library, std::string* error) {
    std::vector<PollFigures> raws, libraries;
    for (int round = 0; round < plan.rounds; ++round) {
        PollFigures r, l;
        const bool rawFirst = round % 2 == 0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool rawTurn = (turn == 0) == rawFirst;
            const bool ok = rawTurn ? MeasurePolling<RawPoller>(peer, count, periodMs, plan, logTimes, r, error)
                                    : MeasurePolling<LibraryFleet>(peer, count, periodMs, plan, logTimes, l, error);
            if (!ok) {
                *error = std::string(rawTurn ? "raw client" : "library") + ", round " + std::to_string(round + 1) +
                         ": " + *error;
                return false;
            }
        }
        raws.push_back(std::move(r));
        libraries.push_back(std::move(l));
    }
    const auto combine = [](std::vector<PollFigures>& rounds, PollFigures& out) {
        const auto median = [&](double PollFigures::*field) {
            std::vector<double> values;
            for (const PollFigures& f : rounds)
                values.push_back(f.*field);
            return Median(values);
        };
        out = rounds.front();
        out.answersPerSecond = median(&PollFigures::answersPerSecond);
        out.cpuMicrosecondsPerAnswer = median(&PollFigures::cpuMicrosecondsPerAnswer);
        out.openMilliseconds = median(&PollFigures::openMilliseconds);
        out.peerBusy = median(&PollFigures::peerBusy);
        for (std::size_t i = 1; i < rounds.size(); ++i)
            out.intervalsUs.insert(out.intervalsUs.end(), rounds[i].intervalsUs.begin(), rounds[i].intervalsUs.end());
    };
    combine(raws, raw);
    combine(libraries, library);
    return true;
}

struct RoundTrips {
    std::vector<double> libraryUs;
    std::vector<double> rawUs;
    int cpu = -1;  // the CPU both clients were pinned to, or -1
};

// On-demand reads of TYPE, the two clients taking turns in blocks so that a change
// of load on the machine falls on both. The whole process is pinned to one CPU.
bool MeasureRoundTrips(const std::string& address, const Plan& plan, RoundTrips& out, std::string* error) {
    RawBlockingClient raw;
    LibraryFleet library;
    if (!raw.connect(address, error) || !library.open(address, 1, error))
        return false;
    ProcessPinning pinning;
    out.cpu = pinning.pinned() ? pinning.cpu() : -1;
    const auto timed = [](auto&& readOnce, std::vector<double>* samples) {
        const std::int64_t start = NowNanoseconds();
        if (!readOnce())
            return false;
        if (samples != nullptr)
            samples->push_back(static_cast<double>(NowNanoseconds() - start) / 1e3);
        return true;
    };
    const auto rawRead = [&] { return raw.readType(); };
    const auto libraryRead = [&] { return library.readType(); };
    for (int i = 0; i < plan.roundTripBlock; ++i) {  // warm-up, not recorded
        if (!timed(rawRead, nullptr) || !timed(libraryRead, nullptr)) {
            *error = "an on-demand read failed during the warm-up: " + LibraryLastError();
            return false;
        }
    }
    while (static_cast<int>(out.rawUs.size()) < plan.roundTrips) {
        for (int i = 0; i < plan.roundTripBlock; ++i) {
            if (!timed(rawRead, &out.rawUs)) {
                *error = "a raw on-demand read failed";
                return false;
            }
        }
        for (int i = 0; i < plan.roundTripBlock; ++i) {
            if (!timed(libraryRead, &out.libraryUs)) {
                *error = "a library on-demand read failed or was not decoded: " + LibraryLastError();
                return false;
            }
        }
    }
    return true;
}

struct Row {
    std::string label;
    double library;
    double raw;
    int decimals;
};

void PrintTable(const std::vector<Row>& rows) {
    std::printf("%-52s %12s %12s %8s\n", "figure", "library", "raw", "ratio");
    for (const Row& r : rows) {
        char ratio[32] = "-";
        if (r.raw > 0 && std::isfinite(r.library / r.raw))
            std::snprintf(ratio, sizeof ratio, "%.2f", r.library / r.raw);
        std::printf("%-52s %12.*f %12.*f %8s\n", r.label.c_str(), r.decimals, r.library, r.decimals, r.raw, ratio);
    }
}

int Fail(PeerProcess& peer, const std::string& what, const std::string& error) {
    std::fprintf(stderr, "netpod_scale_bench: %s: %s\n", what.c_str(), error.c_str());
    StopPeer(peer);
    return 1;
}

int Run(Plan plan) {
    const std::int64_t runStart = NowNanoseconds();
    // Before anything starts a thread: a namespace and the fork of the peer need a
    // process of one thread.
    const NetworkPlace network =
        plan.privateNetwork ? EnterPrivateNetwork() : NetworkPlace{false, "as asked by --no-netns"};

    // The client holds `many` sockets at once, and so does the peer, which inherits
    // the limit.
    const std::size_t descriptors = RaiseDescriptorLimit(plan.many + plan.connections + 256);
    std::string limitNote;
    const std::size_t allowed = descriptors > 228 ? descriptors - 128 : 100;
    if (plan.many > allowed || plan.connections > allowed) {
        limitNote = "only " + std::to_string(descriptors) + " descriptors allowed: at most " + std::to_string(allowed) +
                    " connections";
        plan.many = std::min(plan.many, allowed);
        plan.connections = std::min(plan.connections, allowed);
    }

    std::string error;
    PeerProcess peer = StartPeer(network.isolated ? "127.0.0.2" : "", plan.watchdogSeconds + 30, &error);
    if (peer.pid < 0) {
        std::fprintf(stderr, "netpod_scale_bench: the peer did not start: %s\n", error.c_str());
        return 1;
    }
    signal(SIGALRM, OnWatchdog);
    alarm(plan.watchdogSeconds);

    std::printf("netpod_scale_bench%s: the library's C exports beside a raw-socket client, same peer, same run\n",
                plan.quick ? " --quick" : "");
    if (network.isolated)
        std::printf("network: %s; peer %s:8010 in child process %d\n", network.note.c_str(), peer.address.c_str(),
                    static_cast<int>(peer.pid));
    else
        std::printf("network: plain loopback, %s; peer %s:8010 in child process %d\n", network.note.c_str(),
                    peer.address.c_str(), static_cast<int>(peer.pid));
    if (!limitNote.empty())
        std::printf("note: %s\n", limitNote.c_str());
    std::fflush(stdout);

    // The polling of `connections` first, while the process has not used the library
    // yet, so that its memory figure starts from a clean slate.
    PollFigures rawPoll, libraryPoll;
    if (!MeasurePollingRounds(peer, plan.connections, plan.pollPeriodMs, plan, false, rawPoll, libraryPoll, &error))
        return Fail(peer, std::to_string(plan.connections) + " connections", error);

    RoundTrips trips;
    if (!MeasureRoundTrips(peer.address, plan, trips, &error))
        return Fail(peer, "on-demand round trip", error);

    Plan askPlan = plan;
    askPlan.pollWindow = plan.askWindow;
    PollFigures rawAsk, libraryAsk;
    if (!MeasurePollingRounds(peer, 1, plan.askPeriodMs, askPlan, true, rawAsk, libraryAsk, &error))
        return Fail(peer, "1 ms ask", error);

    PollFigures rawMany, libraryMany;
    if (!MeasurePollingRounds(peer, plan.many, plan.pollPeriodMs, plan, false, rawMany, libraryMany, &error))
        return Fail(peer, std::to_string(plan.many) + " connections", error);

    StopPeer(peer);
    alarm(0);

    const std::string n = std::to_string(plan.connections);
    const std::string m = std::to_string(plan.many);
    const std::string period = std::to_string(plan.pollPeriodMs) + " ms";
    const std::vector<Row> rows = {
        {"on-demand round trip, median (us)", Percentile(trips.libraryUs, 50), Percentile(trips.rawUs, 50), 1},
        {"on-demand round trip, p99 (us)", Percentile(trips.libraryUs, 99), Percentile(trips.rawUs, 99), 1},
        {"1 ms repetitive ask, answers/s", libraryAsk.answersPerSecond, rawAsk.answersPerSecond, 0},
        {"1 ms repetitive ask, interval p99 (ms)", Percentile(libraryAsk.intervalsUs, 99) / 1000.0,
         Percentile(rawAsk.intervalsUs, 99) / 1000.0, 3},
        {"CPU per polled answer, " + n + " conns every " + period + " (us)", libraryPoll.cpuMicrosecondsPerAnswer,
         rawPoll.cpuMicrosecondsPerAnswer, 2},
        {"answers/s, " + n + " conns every " + period, libraryPoll.answersPerSecond, rawPoll.answersPerSecond, 0},
        {"answers/s, " + m + " conns every " + period, libraryMany.answersPerSecond, rawMany.answersPerSecond, 0},
        {"CPU per polled answer, " + m + " conns every " + period + " (us)", libraryMany.cpuMicrosecondsPerAnswer,
         rawMany.cpuMicrosecondsPerAnswer, 2},
        {"RSS per connection, " + n + " connected (KiB)", libraryPoll.residentKiBConnected,
         rawPoll.residentKiBConnected, 2},
        {"RSS per connection, " + n + " after polling (KiB)", libraryPoll.residentKiBPolled, rawPoll.residentKiBPolled,
         2},
        {"time to open and connect " + m + " conns (ms)", libraryMany.openMilliseconds, rawMany.openMilliseconds, 1},
    };
    std::printf("\n");
    PrintTable(rows);
    std::printf(
        "\nratio = library / raw. For times, CPU and memory a ratio above 1 is what the library costs\n"
        "beyond the raw client; for answers/s a ratio below 1 is how far it falls behind.\n");
    std::printf(
        "round trips: %zu per client, in alternating blocks of %d, pinned to CPU %d; "
        "polling windows %.1f s after %.1f s of warm-up; polling figures: medians of %d round(s)\n",
        trips.rawUs.size(), plan.roundTripBlock, trips.cpu, static_cast<double>(plan.pollWindow.count()) / 1e3,
        static_cast<double>(plan.warmup.count()) / 1e3, plan.rounds);

    // A peer near a whole core would be what limits the rates, not the clients.
    std::printf(
        "peer busy (share of one core): %.0f%% / %.0f%% at %zu conns, %.0f%% / %.0f%% at %zu conns "
        "(library / raw)\n",
        100 * libraryPoll.peerBusy, 100 * rawPoll.peerBusy, plan.connections, 100 * libraryMany.peerBusy,
        100 * rawMany.peerBusy, plan.many);

    // The gross-regression check.
    const double tripRatio = Percentile(trips.libraryUs, 50) / Percentile(trips.rawUs, 50);
    const double askRatio = libraryAsk.answersPerSecond / rawAsk.answersPerSecond;
    const bool tripOk = tripRatio <= kRoundTripRatioLimit;
    const bool askOk = askRatio >= kAskRateRatioLimit;
    std::printf("check: on-demand median ratio %.2f, limit %.1f: %s\n", tripRatio, kRoundTripRatioLimit,
                tripOk ? "ok" : "GROSS REGRESSION");
    std::printf("check: 1 ms ask rate ratio %.2f, limit %.1f: %s\n", askRatio, kAskRateRatioLimit,
                askOk ? "ok" : "GROSS REGRESSION");
    std::printf("run time %.1f s\n", static_cast<double>(NowNanoseconds() - runStart) / 1e9);
    return tripOk && askOk ? 0 : 1;
}

}  // namespace
}  // namespace scalebench

int main(int argc, char** argv) {
    const auto plan = scalebench::ParseArguments(argc, argv);
    if (!plan)
        return 2;
    return scalebench::Run(*plan);
}
