#include "pacing.h"

#include <sys/socket.h>

#include <cerrno>

#include "reactor.h"

namespace netpod::emu {
namespace {

// Writes what the socket takes of the outbox; false when the connection was closed.
bool Flush(Reactor& reactor, std::uint64_t id) {
    Endpoint* e = reactor.find(id);
    if (e == nullptr)
        return false;
    while (!e->outbox.empty()) {
        const ssize_t n = ::send(e->fd.get(), e->outbox.data(), e->outbox.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            reactor.close(id);
            return false;
        }
        e->outbox.erase(e->outbox.begin(), e->outbox.begin() + n);
    }
    reactor.watchWrites(id, *e, !e->outbox.empty());
    return true;
}

void FinishIfFlushed(Reactor& reactor, std::uint64_t id) {
    Endpoint* e = reactor.find(id);
    if (e != nullptr && e->closeWhenFlushed && e->outbox.empty() && e->pending.empty())
        reactor.close(id);
}

}  // namespace

void QueueAnswer(Reactor& reactor, std::uint64_t id, std::vector<std::uint8_t> bytes, Clock::time_point due) {
    Endpoint* e = reactor.find(id);
    if (e == nullptr)
        return;
    e->pending.push_back(Chunk{due, std::move(bytes)});
    if (due > Clock::now())
        reactor.at(due, [&reactor, id] { PumpAnswers(reactor, id); });
    PumpAnswers(reactor, id);
}

// A chunk goes out in a send of its own, and the next one is taken only once the
// socket has taken all of it, so that a split answer really leaves as two pieces.
void PumpAnswers(Reactor& reactor, std::uint64_t id) {
    for (;;) {
        Endpoint* e = reactor.find(id);
        if (e == nullptr)
            return;
        if (!e->outbox.empty()) {
            if (!Flush(reactor, id))
                return;
            if (!e->outbox.empty())
                return;  // the socket is full; EPOLLOUT calls again
        }
        if (e->pending.empty() || e->pending.front().due > Clock::now()) {
            FinishIfFlushed(reactor, id);
            return;  // a timer was set for the chunk when it was queued
        }
        e->outbox = std::move(e->pending.front().bytes);
        e->pending.pop_front();
    }
}

void CloseWhenFlushed(Reactor& reactor, std::uint64_t id) {
    if (Endpoint* e = reactor.find(id)) {
        e->closeWhenFlushed = true;
        FinishIfFlushed(reactor, id);
    }
}

}  // namespace netpod::emu
