// Building request bodies with the library's builders, each beside a memcpy
// of the finished body into a block of the same pool (the floor: a block
// must be had and the bytes must be written). Both include allocb and freeb.
#include <benchmark/benchmark.h>

#include <cstring>

#include "request_samples.h"

namespace {

struct Init {
    Init() { streams_buf_init(); }
} g_init;

template <MessageBlock *(*Build)()>
void BM_BuildRequestBody(benchmark::State &state) {
    for (auto _ : state) {
        MessageBlock *b = Build();
        benchmark::DoNotOptimize(b->writePtr);
        freeb(b);
    }
    MessageBlock *b = Build();
    state.counters["body_bytes"] = static_cast<double>(b->writePtr - b->readPtr);
    freeb(b);
}

template <MessageBlock *(*Build)()>
void BM_BuildRequestBody_Baseline(benchmark::State &state) {
    MessageBlock *finished = Build();
    const auto n = static_cast<uint32_t>(finished->writePtr - finished->readPtr);
    const auto capacity = static_cast<uint32_t>(finished->dataBlock->limit - finished->dataBlock->base);
    for (auto _ : state) {
        MessageBlock *b = allocb(capacity, 0);
        benchmark::DoNotOptimize(finished->readPtr);
        std::memcpy(b->writePtr, finished->readPtr, n);
        b->writePtr += n;
        benchmark::DoNotOptimize(b->writePtr);
        freeb(b);
    }
    freeb(finished);
}

using ulmot::bench::TypicalAccessAddBody;
using ulmot::bench::TypicalSetPropertiesBody;
BENCHMARK_TEMPLATE(BM_BuildRequestBody, TypicalAccessAddBody)->Name("BM_BuildAccessAdd");
BENCHMARK_TEMPLATE(BM_BuildRequestBody_Baseline, TypicalAccessAddBody)->Name("BM_BuildAccessAdd_Baseline");
BENCHMARK_TEMPLATE(BM_BuildRequestBody, TypicalSetPropertiesBody)->Name("BM_BuildSetProperties");
BENCHMARK_TEMPLATE(BM_BuildRequestBody_Baseline, TypicalSetPropertiesBody)->Name("BM_BuildSetProperties_Baseline");

}  // namespace
