// The session's two paths, each beside a bare baseline built from the same
// platform primitives:
//  - a request round trip: application thread -> transport -> peer thread
//    answering -> receive thread -> waiting caller; baseline: a token passed
//    around three threads with auto-reset events;
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

void BM_RequestRoundTrip(benchmark::State &state) {
    if (state.thread_index() == 0) g_rig = new RoundTripRig();
    std::vector<double> samples;
    samples.reserve(1 << 20);
    int64_t failures = 0;
    const uint64_t allocationsBefore = g_allocations.load();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (OneRequest(g_rig->session) != 0) ++failures;
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    if (state.threads() == 1) {
        state.counters["allocs_per_request"] =
            static_cast<double>(g_allocations.load() - allocationsBefore) / static_cast<double>(state.iterations());
    }
    state.counters["failures"] = static_cast<double>(failures);
    ReportPercentiles(state, samples);
    if (state.thread_index() == 0) {
        // The other threads have left the loop: the framework joins them
        // before this thread's teardown runs after the loop.
        delete g_rig;
        g_rig = nullptr;
    }
}
BENCHMARK(BM_RequestRoundTrip)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));
BENCHMARK(BM_RequestRoundTrip)->Threads(4)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));

// Baseline: the token goes caller -> "transport+peer" -> "receive" -> caller,
// each hop an auto-reset event, as the session's path has.
void BM_RequestRoundTrip_Baseline(benchmark::State &state) {
    Event toPeer, toReceiver, toCaller;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop) {
            if (toPeer.Wait(50) == ulmot::plat::kWaitSignaled) toReceiver.Set();
        }
    });
    std::thread receiver([&] {
        while (!stop) {
            if (toReceiver.Wait(50) == ulmot::plat::kWaitSignaled) toCaller.Set();
        }
    });
    std::vector<double> samples;
    samples.reserve(1 << 20);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        toPeer.Set();
        toCaller.Wait(ulmot::plat::kInfinite);
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    stop = true;
    peer.join();
    receiver.join();
    ReportPercentiles(state, samples);
}
BENCHMARK(BM_RequestRoundTrip_Baseline)->UseRealTime()->MinTime(ulmot::bench::MinSeconds(2.0));

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
