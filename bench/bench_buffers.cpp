// Blocks and cursors, each beside a memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>

#include "ulmot.h"

namespace {

struct Init {
    Init() { streams_buf_init(); }
} g_init;

void BM_AllocbFreeb(benchmark::State &state) {
    for (auto _ : state) {
        MessageBlock *b = allocb(8, 1);
        benchmark::DoNotOptimize(b);
        freeb(b);
    }
}
BENCHMARK(BM_AllocbFreeb);

// Baseline: copying the descriptor and data block that allocb hands out.
void BM_AllocbFreeb_Baseline(benchmark::State &state) {
    unsigned char from[sizeof(MessageBlock) + sizeof(DataBlock)] = {1};
    unsigned char to[sizeof from];
    for (auto _ : state) {
        benchmark::DoNotOptimize(from);
        std::memcpy(to, from, sizeof from);
        benchmark::DoNotOptimize(to);
    }
}
BENCHMARK(BM_AllocbFreeb_Baseline);

// Ten items of the kinds a request body holds.
void WriteTenItems(MessageBlock *b) {
    static const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    ulmot_BufferWriteDTPInt32(b, 0, 0x00000007);
    ulmot_BufferWriteDTPInt32(b, 0, 0x00000007);
    ulmot_BufferWriteDTPInt8(b, 1, 3);
    ulmot_BufferWriteDTPInt16(b, 2, 1000);
    ulmot_BufferWriteDTPObjectReference(b, 3, 5, 1);
    ulmot_BufferWriteDTPInt8(b, 4, 1);
    ulmot_BufferWriteDTPInt16(b, 15, 0x1234);
    ulmot_BufferWriteDTPByteArray(b, 6, bytes, sizeof bytes);
    ulmot_BufferWriteDTPInt32(b, 7, 0xDEADBEEF);
    ulmot_BufferWriteDTPObjectReference(b, 8, 3, 2);
}

void BM_WriteTenItemBody(benchmark::State &state) {
    MessageBlock *b = ulmot_BufferAllocate(128, 8);
    uint8_t *start = b->writePtr;
    for (auto _ : state) {
        b->writePtr = start;
        WriteTenItems(b);
        benchmark::DoNotOptimize(b->writePtr);
    }
    state.counters["bytes"] = static_cast<double>(b->writePtr - start);
    freeb(b);
}
BENCHMARK(BM_WriteTenItemBody);

void BM_WriteTenItemBody_Baseline(benchmark::State &state) {
    MessageBlock *b = ulmot_BufferAllocate(128, 8);
    WriteTenItems(b);
    uint8_t finished[128];
    const size_t n = static_cast<size_t>(b->writePtr - b->readPtr);
    std::memcpy(finished, b->readPtr, n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(finished);
        std::memcpy(b->readPtr, finished, n);
        benchmark::DoNotOptimize(b->readPtr);
    }
    freeb(b);
}
BENCHMARK(BM_WriteTenItemBody_Baseline);

}  // namespace
