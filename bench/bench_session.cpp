// The session's two paths, each beside a bare baseline built from the same
// platform primitives:
//  - a request round trip from 1, 4 and 8 application threads: application
//    thread -> transport -> peer thread answering -> receive thread ->
//    waiting caller; baseline: each caller's token passed the same way
//    through two rings and the caller's auto-reset event;
//  - events: peer -> receive thread -> inbound queue -> queue thread ->
//    handler; baseline: a bare three-stage handoff through bounded rings.
// Heap allocations made while measuring are counted and reported per
// operation: for the round trip on every thread, for the event path on the
// session's own threads only (the benchmark framework allocates now and then
// on the producing thread).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "bench_time.h"
#include "handoff.h"
#include "platform/platform.h"
#include "ulmot.h"
#include "utr.h"

namespace {
std::atomic<uint64_t> g_allocations{0};
thread_local bool t_uncounted = false;
}  // namespace

void *operator new(std::size_t n) {
    if (!t_uncounted) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

using ulmot::plat::Event;

struct Init {
    Init() { streams_buf_init(); }
} g_init;

// The far end: answers every request with a result item, until stopped.
class Responder {
public:
    explicit Responder(Transport *t) : t_(t), thread_([this] { Run(); }) {}
    ~Responder() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run() {
        while (!stop_) {
            MessageBlock *b = nullptr;
            if (t_->receive(t_, &b, 50) != 0) continue;
            uint8_t *h = b->readPtr;
            // Turn the request into its response in place: swap source and
            // destination, set the type, replace the body by the result.
            const uint8_t source = h[1];
            h[1] = h[0];
            h[0] = source;
            h[2] = static_cast<uint8_t>((h[2] & 63u) | (ULMOT_MSG_RESPONSE << 6));
            h[6] = 0;
            h[7] = 4;
            b->writePtr = h + 8;
            ulmot_BufferWriteDTPInt16(b, 255, 0);
            t_->send(t_, b, 0);
        }
    }
    Transport *t_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void ReportPercentiles(benchmark::State &state, std::vector<double> &samples) {
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
}

// Each thread's time inside its requests, so that a thread kept waiting
// shows: every thread makes as many requests as the others, and `fairness`
// is the busiest thread's rate over the quickest's (1: all alike).
struct ThreadTimes {
    static constexpr int kMax = 8;
    std::atomic<double> busy[kMax];
    void Clear() {
        for (auto &b : busy) b.store(0);
    }
    void Report(benchmark::State &state) {
        if (state.threads() == 1 || state.thread_index() != 0) return;
        double least = 1e300, most = 0;
        for (int i = 0; i < state.threads(); ++i) {
            least = std::min(least, busy[i].load());
            most = std::max(most, busy[i].load());
        }
        state.counters["fairness"] = most > 0 ? least / most : 0;
    }
};
ThreadTimes g_times;

// Runs the benchmark's loop: `request` per iteration, timed; then reports
// percentiles, and from thread 0 (after every thread has left its loop) the
// fairness of the threads.
template <typename Request>
void TimedRequests(benchmark::State &state, Request &&request) {
    std::vector<double> samples;
    samples.reserve(1 << 20);
    double busy = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        request();
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        samples.push_back(us);
        busy += us;
        // Stored as it goes: thread 0 reads it right after the loop's end barrier.
        g_times.busy[state.thread_index()].store(busy, std::memory_order_relaxed);
    }
    ReportPercentiles(state, samples);
}

// One session and responder shared by the benchmark's threads.
struct RoundTripRig {
    utr_MemoryPair *pair = utr_MemoryPairCreate(nullptr, nullptr, 0);
    Session *session = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 5);
    Responder responder{utr_MemoryEndpoint(pair, UTR_SIDE_B)};
    ~RoundTripRig() {
        ulmot_DestroySession(session);
    }
};
RoundTripRig *g_rig = nullptr;

int32_t OneRequest(Session *s) {
    MessageBlock *b = ulmot_BufferAllocate(16, 8);
    ulmot_BufferWriteDTPInt8(b, 0, 1);
    return ulmot_SendSessionMessage(s, ULMOT_MSG_REQUEST, 1, 0, 0, 8, 0, 0, b, nullptr, nullptr);
}

// Code before the loop of thread 0 runs before any thread starts its loop,
// and after it once every thread has left its loop: the framework's barriers.
void BM_RequestRoundTrip(benchmark::State &state) {
    if (state.thread_index() == 0) {
        g_rig = new RoundTripRig();
        g_times.Clear();
    }
    int64_t failures = 0;
    const uint64_t allocationsBefore = g_allocations.load();
    TimedRequests(state, [&] {
        if (OneRequest(g_rig->session) != 0) ++failures;
    });
    if (state.threads() == 1) {
        state.counters["allocs_per_request"] =
            static_cast<double>(g_allocations.load() - allocationsBefore) / static_cast<double>(state.iterations());
    }
    state.counters["failures"] = static_cast<double>(failures);
    g_times.Report(state);
    if (state.thread_index() == 0) {
        delete g_rig;
        g_rig = nullptr;
    }
}
BENCHMARK(BM_RequestRoundTrip)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));
BENCHMARK(BM_RequestRoundTrip)->Threads(4)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));
BENCHMARK(BM_RequestRoundTrip)->Threads(8)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));

// Baseline: each caller's token goes caller -> "transport" -> "peer" ->
// "transport" -> "receive" -> caller, through the rings a memory pair has
// (the platform's mutex, an event set on every put) and the caller's own
// auto-reset event, as the session's path has; any number of callers share
// the peer and the receive thread.
struct TokenRig {
    ulmot::bench::Handoff<16, true> toPeer, toReceiver;
    Event toCaller[ThreadTimes::kMax];
    std::atomic<bool> stop{false};
    std::thread peer{[this] {
        uint64_t v;
        while (toPeer.Take(v, stop)) toReceiver.Put(v);
    }};
    std::thread receiver{[this] {
        uint64_t v;
        while (toReceiver.Take(v, stop)) toCaller[v].Set();
    }};
    ~TokenRig() {
        stop = true;
        peer.join();
        receiver.join();
    }
};
TokenRig *g_tokens = nullptr;

void BM_RequestRoundTrip_Baseline(benchmark::State &state) {
    if (state.thread_index() == 0) {
        g_tokens = new TokenRig();
        g_times.Clear();
    }
    const auto self = static_cast<uint64_t>(state.thread_index());
    TimedRequests(state, [&] {
        g_tokens->toPeer.Put(self);
        g_tokens->toCaller[self].Wait(ulmot::plat::kInfinite);
    });
    g_times.Report(state);
    if (state.thread_index() == 0) {
        delete g_tokens;
        g_tokens = nullptr;
    }
}
BENCHMARK(BM_RequestRoundTrip_Baseline)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));
BENCHMARK(BM_RequestRoundTrip_Baseline)->Threads(4)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));
BENCHMARK(BM_RequestRoundTrip_Baseline)->Threads(8)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));

struct EventCounter {
    std::atomic<uint64_t> handled{0};
    static int32_t Handler(void *ctx, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) {
        freemsg(b);
        static_cast<EventCounter *>(ctx)->handled.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
};

MessageBlock *TagEvent() {
    static const uint8_t frame[] = {0, 0, 0x80, 2, 5, 1, 0, 6, 0xF2, 0xFE, 0, 0, 0, 1};
    MessageBlock *b = ulmot_BufferAllocate(sizeof frame, 0);
    ulmot_BufferAppend(b, frame, sizeof frame);
    return b;
}

void BM_EventPath(benchmark::State &state) {
    utr_MemoryPair *pair = utr_MemoryPairCreate(nullptr, nullptr, 0);
    Session *s = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 5);
    EventCounter counter;
    ulmot_SessionRegisterEventHandler(s, EventCounter::Handler, &counter);
    Transport *peer = utr_MemoryEndpoint(pair, UTR_SIDE_B);
    t_uncounted = true;
    const uint64_t allocationsBefore = g_allocations.load();
    uint64_t sent = 0;
    for (auto _ : state) {
        // Keep at most 64 events in flight so that none is lost to a full queue.
        while (sent - counter.handled.load(std::memory_order_relaxed) > 64) std::this_thread::yield();
        peer->send(peer, TagEvent(), 0);
        ++sent;
    }
    while (counter.handled.load() < sent) std::this_thread::yield();
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
    state.counters["allocs_per_event"] =
        static_cast<double>(g_allocations.load() - allocationsBefore) / static_cast<double>(sent);
    t_uncounted = false;
    ulmot_DestroySession(s);
    utr_MemoryPairDestroy(pair);
}
BENCHMARK(BM_EventPath)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));

// Baseline: producer -> stage 2 -> stage 3 through two bounded rings guarded
// by the platform's mutex and events, with the same 64-deep window.
using Ring = ulmot::bench::Handoff<128, true>;

void BM_EventPath_Baseline(benchmark::State &state) {
    Ring first, second;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> handled{0};
    std::thread stage2([&] {
        uint64_t v;
        while (first.Take(v, stop)) second.Put(v);
    });
    std::thread stage3([&] {
        uint64_t v;
        while (second.Take(v, stop)) handled.fetch_add(1, std::memory_order_relaxed);
    });
    uint64_t sent = 0;
    for (auto _ : state) {
        while (sent - handled.load(std::memory_order_relaxed) > 64) std::this_thread::yield();
        first.Put(sent++);
    }
    while (handled.load() < sent) std::this_thread::yield();
    stop = true;
    stage2.join();
    stage3.join();
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EventPath_Baseline)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));

}  // namespace
