// Item lookup and tag report parsing, each beside a memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>

#include "items/dtp.h"
#include "objects/family.h"
#include "tag_report_sample.h"
#include "ulmot.h"

namespace {

struct Init {
    Init() { streams_buf_init(); }
} g_init;

MessageBlock *BlockOf(const uint8_t *bytes, size_t n) {
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(n) + 8, 8);
    ulmot_BufferAppend(b, bytes, static_cast<uint32_t>(n));
    return b;
}

// Twenty Int16 items with ids 0 to 19; the one sought is the last.
MessageBlock *TwentyItemBody() {
    MessageBlock *b = ulmot_BufferAllocate(128, 8);
    for (uint32_t id = 0; id < 20; ++id) ulmot_BufferWriteDTPInt16(b, id, id * 3);
    return b;
}

void BM_FindLastOfTwentyItems(benchmark::State &state) {
    MessageBlock *b = TwentyItemBody();
    uint16_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ulmot_BufferReadDTPInt16(b, 19, &value));
        benchmark::DoNotOptimize(value);
    }
    freeb(b);
}
BENCHMARK(BM_FindLastOfTwentyItems);

void BM_FindLastOfTwentyItems_Baseline(benchmark::State &state) {
    MessageBlock *b = TwentyItemBody();
    uint8_t copy[128];
    const size_t n = static_cast<size_t>(b->writePtr - b->readPtr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(b->readPtr);
        std::memcpy(copy, b->readPtr, n);
        benchmark::DoNotOptimize(copy);
    }
    freeb(b);
}
BENCHMARK(BM_FindLastOfTwentyItems_Baseline);

void BM_ParseTagReport(benchmark::State &state) {
    MessageBlock *b = BlockOf(kTagReportBody, sizeof kTagReportBody);
    TagReport report;
    for (auto _ : state) {
        ParseTagReportItems(&report, b);
        benchmark::DoNotOptimize(report);
    }
    freeb(b);
}
BENCHMARK(BM_ParseTagReport);

// What the tag report handler does before the callback: the parse, then the
// format-517 split into PC, XPC words, EPC and CRC.
void BM_ReadTagReport(benchmark::State &state) {
    MessageBlock *b = BlockOf(kTagReportBody, sizeof kTagReportBody);
    TagReport report;
    for (auto _ : state) {
        ulmot::objects::ReadTagReport(&report, b);
        benchmark::DoNotOptimize(report);
    }
    freeb(b);
}
BENCHMARK(BM_ReadTagReport);

void BM_ParseTagReport_Baseline(benchmark::State &state) {
    MessageBlock *b = BlockOf(kTagReportBody, sizeof kTagReportBody);
    uint8_t copy[sizeof kTagReportBody];
    for (auto _ : state) {
        benchmark::DoNotOptimize(b->readPtr);
        std::memcpy(copy, b->readPtr, sizeof copy);
        benchmark::DoNotOptimize(copy);
    }
    freeb(b);
}
BENCHMARK(BM_ParseTagReport_Baseline);

// The floor of any parse: walking the item headers of the same bytes.
void BM_ParseTagReport_HeaderWalk(benchmark::State &state) {
    MessageBlock *b = BlockOf(kTagReportBody, sizeof kTagReportBody);
    for (auto _ : state) {
        benchmark::DoNotOptimize(b->readPtr);
        unsigned items = 0;
        for (const uint8_t *p = b->readPtr; p < b->writePtr; ++items) {
            const uint32_t size = DtpItemSize(p, b->writePtr);
            if (size == 0 || size > static_cast<uint32_t>(b->writePtr - p)) break;
            p += size;
        }
        benchmark::DoNotOptimize(items);
    }
    freeb(b);
}
BENCHMARK(BM_ParseTagReport_HeaderWalk);

}  // namespace
