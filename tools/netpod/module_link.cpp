#include "module_link.h"

#include <algorithm>
#include <vector>

#include "module_session.h"
#include "read_back.h"
#include "register_access.h"
#include "report.h"

namespace netpod::tool::serve {
namespace {

constexpr std::chrono::milliseconds kFirstRetry{1000};
constexpr std::chrono::milliseconds kLongestRetry{5000};
constexpr std::chrono::milliseconds kRefreshInterval{1000};
constexpr std::chrono::milliseconds kAnswerPoll{100};
constexpr std::size_t kMostQueuedWrites = 32;

// Read once a connection is made, and again every kRefreshInterval (all but the
// identity): what the repetitive ask cannot poll.
const std::vector<RegisterRef> kIdentity = {{Register::Type},      {Register::Version}, {Register::Mac},
                                            {Register::Ip},        {Register::Name},    {Register::Threshold},
                                            {Register::Outputs}};
const std::vector<RegisterRef> kRefreshed = {{Register::Outputs}, {Register::Threshold}, {Register::Name}};
const std::vector<RegisterRef> kPolled = {{Register::Voltage}, {Register::Warnings}, {Register::Inputs},
                                          {Register::InputVoltage, -1}};

bool AllIn(const std::vector<RegisterRef>& refs, const RegisterValues& v) {
    return std::all_of(refs.begin(), refs.end(), [&](const RegisterRef& ref) { return HasValue(v, ref); });
}

WriteItem ItemFor(const WriteRequest& request, const std::array<bool, 16>& outputs) {
    switch (request.kind) {
    case WriteRequest::Kind::Output: {
        std::vector<bool> flags(outputs.begin(), outputs.end());
        flags[static_cast<std::size_t>(request.output)] = request.on;
        return {{Register::Outputs}, flags};
    }
    case WriteRequest::Kind::Outputs: {
        std::vector<bool> flags(16);
        for (std::size_t k = 0; k < 16; ++k)
            flags[k] = ((request.mask >> k) & 1U) != 0;
        return {{Register::Outputs}, flags};
    }
    case WriteRequest::Kind::Threshold: return {{Register::Threshold}, request.volts};
    case WriteRequest::Kind::Name: return {{Register::Name}, request.name};
    case WriteRequest::Kind::ClearWarnings: break;
    }
    return {{Register::Warnings}, std::monostate{}};
}

std::string Milliseconds(std::chrono::milliseconds ms) { return std::to_string(ms.count()) + " ms"; }

}  // namespace

// The one on-demand exchange in flight, and the page's write it serves, if any.
struct ModuleLink::Exchange {
    enum class Step { None, Write, ReadBack, Refresh };
    Step step = Step::None;
    std::optional<Job> job;
    WriteItem item{};
    bool sent = false;
    std::string sendRefusal;  // the library's reason while the send is refused
    Clock::time_point deadline{};

    bool Active() const { return step != Step::None; }
    void Finish(int status, const std::string& error) {
        if (job)
            job->outcome.set_value({status, error});
        *this = Exchange{};
    }
};

ModuleLink::ModuleLink(const DottedQuad& address, int32_t periodMs, int timeoutMs, LiveState& state)
    : address_(address), periodMs_(periodMs), timeoutMs_(timeoutMs), state_(state) {}

ModuleLink::~ModuleLink() {
    Stop();
    if (thread_.joinable())
        thread_.join();
}

void ModuleLink::Start() { thread_ = std::thread([this] { Run(); }); }

void ModuleLink::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

bool ModuleLink::Stopping() const {
    std::lock_guard lock(mutex_);
    return stop_ || StopRequested();
}

std::string ModuleLink::FatalError() const {
    std::lock_guard lock(mutex_);
    return fatal_;
}

std::chrono::milliseconds ModuleLink::LongestWrite() const {
    // A write waits for the exchange before it, then for its own and for the
    // read-back, each within the time-out.
    return std::chrono::milliseconds(3L * timeoutMs_ + 1000);
}

std::future<WriteOutcome> ModuleLink::Submit(const WriteRequest& request) {
    Job job{request, {}};
    auto future = job.outcome.get_future();
    std::lock_guard lock(mutex_);
    if (stop_) {
        job.outcome.set_value({503, "the tool is stopping"});
    } else if (!connected_) {
        job.outcome.set_value({503, "no connection to the module" +
                                        (disconnectReason_.empty() ? std::string() : ": " + disconnectReason_)});
    } else if (jobs_.size() >= kMostQueuedWrites) {
        job.outcome.set_value({503, "too many writes are waiting for the module; try again"});
    } else {
        jobs_.push_back(std::move(job));
    }
    return future;
}

std::optional<ModuleLink::Job> ModuleLink::TakeJob() {
    std::lock_guard lock(mutex_);
    if (jobs_.empty())
        return std::nullopt;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
}

void ModuleLink::SetConnected(bool connected, const std::string& reason) {
    std::lock_guard lock(mutex_);
    connected_ = connected;
    disconnectReason_ = reason;
}

void ModuleLink::FailQueued(int status, const std::string& reason) {
    std::deque<Job> failed;
    {
        std::lock_guard lock(mutex_);
        failed.swap(jobs_);
    }
    for (Job& job : failed)
        job.outcome.set_value({status, reason});
}

void ModuleLink::WaitBeforeRetry(std::chrono::milliseconds delay) {
    const auto until = Clock::now() + delay;
    std::unique_lock lock(mutex_);
    // The process stop flag is set from a signal handler and wakes nobody: look at
    // it a few times a second.
    while (!stop_ && !StopRequested() && Clock::now() < until)
        wake_.wait_until(lock, std::min(until, Clock::now() + kAnswerPoll));
}

void ModuleLink::Run() {
    const std::string where = DottedText(address_.data());
    state_.SetLink(LinkState::Connecting, "connecting to " + where);
    auto retry = kFirstRetry;
    while (!Stopping()) {
        std::string why;
        bool served = false;
        if (auto session = ModuleSession::Open(address_, ModuleSession::Port::Main, timeoutMs_, why)) {
            why = Serve(*session);
            served = true;
        }  // the connection is closed here
        SetConnected(false, why);
        FailQueued(503, "no connection to the module: " + why);
        if (Stopping() || !FatalError().empty())
            break;
        state_.SetLink(LinkState::Lost, why);
        retry = served ? kFirstRetry : std::min(retry * 2, kLongestRetry);
        WaitBeforeRetry(retry);
    }
    FailQueued(503, "the tool is stopping");
}

std::string ModuleLink::Serve(ModuleSession& session) {
    const ComID com = session.com();
    for (const RegisterRef& ref : kIdentity)
        if (!MarkRead(ref, com))
            return LibraryLastError();
    RegisterValues answer{};
    std::string why;
    if (!session.Exchange([](const RegisterValues& v) { return AllIn(kIdentity, v); }, answer, why))
        return why;
    outputs_ = std::to_array(answer.Outputs);
    state_.Apply(answer, Clock::now());

    for (const RegisterRef& ref : kPolled)
        if (!MarkRepetitive(ref, com))
            return LibraryLastError();
    if (!Qorvi_NETPOD_RepetitiveAskSetTime(periodMs_, com)) {
        // The period comes from the command line: no new connection will take it.
        const std::string refusal = LibraryLastError();
        std::lock_guard lock(mutex_);
        fatal_ = refusal;
        return refusal;
    }
    if (!Qorvi_NETPOD_RepetitiveAskStart(com))
        return LibraryLastError();
    SetConnected(true, {});
    state_.SetLink(LinkState::Connected, {});

    // A module that answers nothing for this long is taken as gone, even while its
    // TCP connection stays open.
    const auto silenceLimit = std::chrono::milliseconds(timeoutMs_ + std::max<int32_t>(periodMs_, 0));
    Exchange exchange;
    auto lastAnswer = Clock::now();
    auto nextRefresh = lastAnswer + kRefreshInterval;
    std::string ended;
    while (ended.empty()) {
        if (Stopping()) {
            ended = "the tool is stopping";
            break;
        }
        if (!exchange.Active()) {
            if (auto job = TakeJob())
                BeginWrite(std::move(*job), com, exchange);
            else if (Clock::now() >= nextRefresh) {
                BeginRefresh(com, exchange);
                nextRefresh = Clock::now() + kRefreshInterval;
            }
        }
        if (exchange.Active() && !exchange.sent) {
            // Refused while an earlier exchange of ours is unanswered; the next answer
            // of the repetitive ask completes that, and the send goes through.
            exchange.sent = Qorvi_NETPOD_SendData_MAINPORT(com);
            if (!exchange.sent)
                exchange.sendRefusal = LibraryLastError();
        }

        RegisterValues next{};
        if (session.NextAnswer(next, kAnswerPoll, why)) {
            lastAnswer = Clock::now();
            state_.Apply(next, lastAnswer);
            if (next.OutputsValid)
                outputs_ = std::to_array(next.Outputs);
            if (exchange.Active() && exchange.sent)
                Advance(next, com, exchange);
        } else if (!session.Connected() || Stopping()) {
            ended = why;
            break;
        }
        const auto now = Clock::now();
        if (exchange.Active() && now >= exchange.deadline) {
            if (exchange.sent)
                exchange.Finish(504, "no answer from the module within " + std::to_string(timeoutMs_) + " ms");
            else
                exchange.Finish(503, exchange.sendRefusal);
        }
        if (now - lastAnswer > silenceLimit)
            ended = "no answer from the module for " +
                    Milliseconds(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastAnswer));
    }
    exchange.Finish(503, "the connection to the module was lost: " + ended);
    return ended;
}

void ModuleLink::BeginWrite(Job job, ComID com, Exchange& exchange) {
    if (!outputs_) {
        job.outcome.set_value({503, "the outputs have not been read yet"});
        return;
    }
    const WriteItem item = ItemFor(job.request, *outputs_);
    if (!MarkWrite(item, com)) {
        // Nothing was marked: the library checks a value before it keeps it.
        job.outcome.set_value({422, LibraryLastError()});
        return;
    }
    exchange.step = Exchange::Step::Write;
    exchange.job = std::move(job);
    exchange.item = item;
    exchange.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
}

void ModuleLink::BeginRefresh(ComID com, Exchange& exchange) {
    for (const RegisterRef& ref : kRefreshed)
        if (!MarkRead(ref, com))
            return;
    exchange.step = Exchange::Step::Refresh;
    exchange.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
}

void ModuleLink::Advance(const RegisterValues& answer, ComID com, Exchange& exchange) {
    switch (exchange.step) {
    case Exchange::Step::Refresh:
        if (AllIn(kRefreshed, answer))
            exchange.Finish(200, {});
        return;
    case Exchange::Step::Write: {
        if (!WrittenIn(exchange.item, answer))
            return;
        // The page shows a value only once the module reads it back.
        const auto readBack = RegistersToReadBack({exchange.item});
        if (readBack.empty()) {
            exchange.Finish(200, {});
            return;
        }
        for (const RegisterRef& ref : readBack) {
            if (!MarkRead(ref, com)) {
                exchange.Finish(500, LibraryLastError());
                return;
            }
        }
        exchange.step = Exchange::Step::ReadBack;
        exchange.sent = false;
        exchange.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
        return;
    }
    case Exchange::Step::ReadBack:
        if (!HasValue(answer, exchange.item.target))
            return;
        if (const auto mismatch = ReadBackMismatch(exchange.item, answer))
            exchange.Finish(502, "the module did not keep the write: " + *mismatch);
        else
            exchange.Finish(200, {});
        return;
    case Exchange::Step::None: return;
    }
}

}  // namespace netpod::tool::serve
