// The in-memory pair: two endpoints joined by one link, each with an inbound
// ring of block pointers.
//
// One lock per pair guards both rings and the link state; it is never held
// while waiting (the condition variables release it) and nothing called under
// it calls back into the pair. Taking the link down bumps an epoch as well as
// clearing `up`, so a receiver that sleeps through a down-and-restore still
// learns that its link went away.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <type_traits>

#include "capture.h"
#include "ring.h"
#include "utr.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kEndpointMagic = 0x75746d31u;  // "utm1"

// What a Transport pointer handed out by the pair really points at. The
// table comes first, so the table's address is the endpoint's.
struct Endpoint {
    Transport table;
    uint32_t magic;
    uint32_t side;
    utr_MemoryPair *pair;
};
static_assert(std::is_standard_layout_v<Endpoint>);
static_assert(offsetof(Endpoint, table) == 0);

}  // namespace

struct utr_MemoryPair {
    Endpoint ends[2];
    std::string names[2];
    std::mutex lock;
    std::condition_variable arrived[2];                  // inbound of side i changed
    utr::detail::Ring<MessageBlock *> inbound[2];        // what side i will receive
    bool up = true;
    uint64_t epoch = 0;     // times the link went down
    uint32_t sliceMs = 0;   // longest wait of one receive, 0: the caller's time-out
    utr::capture::Tap taps[2];  // what side i sends and receives, when captured
};

namespace {

Endpoint *AsEndpoint(Transport *transport) {
    auto *e = reinterpret_cast<Endpoint *>(transport);
    return (e != nullptr && e->magic == kEndpointMagic) ? e : nullptr;
}

// Releases every queued block; the caller holds the pair's lock.
void ReleaseQueued(utr_MemoryPair *pair) {
    for (auto &ring : pair->inbound) {
        MessageBlock *b = nullptr;
        while (ring.Pop(b)) freemsg(b);
    }
}

void TakeDown(utr_MemoryPair *pair) {
    {
        std::lock_guard<std::mutex> guard(pair->lock);
        if (!pair->up) return;
        pair->up = false;
        ++pair->epoch;
        ReleaseQueued(pair);
    }
    pair->arrived[0].notify_all();
    pair->arrived[1].notify_all();
}

int32_t MemorySend(Transport *transport, MessageBlock *block, uintptr_t /*reserved*/) {
    Endpoint *e = AsEndpoint(transport);
    if (block == nullptr) return ULMOT_ERR_FAILED;
    if (e == nullptr) {
        freemsg(block);
        return ULMOT_ERR_FAILED;
    }
    utr_MemoryPair *pair = e->pair;
    const uint32_t peer = 1u - e->side;
    // Recorded while the block is still the sender's: once queued it is the peer's.
    pair->taps[e->side].Record(block, false);
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(pair->lock);
        queued = pair->up && pair->inbound[peer].Push(block);
    }
    if (!queued) {
        // The transport owns the block whatever send returns.
        freemsg(block);
        return ULMOT_ERR_FAILED;
    }
    pair->arrived[peer].notify_one();
    return ULMOT_OK;
}

int32_t MemoryReceive(Transport *transport, MessageBlock **block, uint32_t timeoutMs) {
    Endpoint *e = AsEndpoint(transport);
    if (e == nullptr || block == nullptr) return ULMOT_ERR_INVALID;
    utr_MemoryPair *pair = e->pair;
    const uint32_t side = e->side;

    std::unique_lock<std::mutex> guard(pair->lock);
    if (!pair->up) return ULMOT_TRANSPORT_TERMINATED;
    // A message already queued is taken without reading the clock.
    if (pair->inbound[side].Empty()) {
        if (pair->sliceMs != 0 && pair->sliceMs < timeoutMs) timeoutMs = pair->sliceMs;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        const uint64_t epoch = pair->epoch;
        auto down = [&] { return !pair->up || pair->epoch != epoch; };
        const bool woken = pair->arrived[side].wait_until(
            guard, deadline, [&] { return down() || !pair->inbound[side].Empty(); });
        if (down()) return ULMOT_TRANSPORT_TERMINATED;
        if (!woken) return ULMOT_TRANSPORT_TIMEOUT;
    }
    MessageBlock *b = nullptr;
    pair->inbound[side].Pop(b);
    guard.unlock();
    pair->taps[side].Record(b, true);
    *block = b;
    return ULMOT_OK;
}

int32_t MemoryProbe(Transport *transport) {
    Endpoint *e = AsEndpoint(transport);
    if (e == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(e->pair->lock);
    return e->pair->up ? ULMOT_OK : ULMOT_ERR_FAILED;
}

}  // namespace

utr::capture::Tap *utr::memory::TapOf(Transport *transport) {
    Endpoint *e = AsEndpoint(transport);
    return e != nullptr ? &e->pair->taps[e->side] : nullptr;
}

extern "C" {

utr_MemoryPair *utr_MemoryPairCreate(const char *nameA, const char *nameB, uint32_t capacity) {
    if (capacity == 0) capacity = UTR_MEMORY_DEFAULT_CAPACITY;
    try {
        auto *pair = new utr_MemoryPair();
        pair->names[0] = nameA != nullptr ? nameA : "memory-a";
        pair->names[1] = nameB != nullptr ? nameB : "memory-b";
        for (uint32_t side = 0; side < 2; ++side) {
            if (!pair->inbound[side].Init(capacity)) {
                delete pair;
                return nullptr;
            }
            Endpoint &e = pair->ends[side];
            e.table = Transport{};
            e.table.send = MemorySend;
            e.table.receive = MemoryReceive;
            e.table.probe = MemoryProbe;
            e.table.name = pair->names[side].c_str();
            e.magic = kEndpointMagic;
            e.side = side;
            e.pair = pair;
        }
        return pair;
    } catch (...) {
        return nullptr;
    }
}

void utr_MemoryPairDestroy(utr_MemoryPair *pair) {
    if (pair == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(pair->lock);
        ReleaseQueued(pair);
    }
    delete pair;
}

Transport *utr_MemoryEndpoint(utr_MemoryPair *pair, uint32_t side) {
    if (pair == nullptr || side > UTR_SIDE_B) return nullptr;
    return &pair->ends[side].table;
}

int32_t utr_MemoryClose(Transport *endpoint) {
    Endpoint *e = AsEndpoint(endpoint);
    if (e == nullptr) return ULMOT_ERR_INVALID;
    TakeDown(e->pair);
    return ULMOT_OK;
}

int32_t utr_MemoryLinkDown(utr_MemoryPair *pair) {
    if (pair == nullptr) return ULMOT_ERR_INVALID;
    TakeDown(pair);
    return ULMOT_OK;
}

int32_t utr_MemoryRestore(utr_MemoryPair *pair) {
    if (pair == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(pair->lock);
    pair->up = true;
    return ULMOT_OK;
}

int32_t utr_MemorySetReceiveSlice(utr_MemoryPair *pair, uint32_t ms) {
    if (pair == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(pair->lock);
    pair->sliceMs = ms;
    return ULMOT_OK;
}

uint32_t utr_MemoryQueued(Transport *endpoint) {
    Endpoint *e = AsEndpoint(endpoint);
    if (e == nullptr) return 0;
    std::lock_guard<std::mutex> guard(e->pair->lock);
    return e->pair->inbound[e->side].Size();
}

}  // extern "C"
