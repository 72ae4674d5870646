// The cases whose instructions bench/instructions.sh counts under callgrind.
// `ulmot_instructions CASE N` runs CASE N times; the script runs it twice
// with different N and divides the difference, so that set-up and tear-down
// cancel out. What is counted is chosen by the script (--toggle-collect):
//  - single-thread cases: RunCase (the loop, nothing else);
//  - event-path: the client's receive and queue threads, without the
//    application's callback; the reader's thread that sends is not counted.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "items/dtp.h"
#include "objects/family.h"
#include "request_samples.h"
#include "tag_report_sample.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace {

volatile uint64_t g_sink = 0;

MessageBlock *SampleReportBlock() {
    MessageBlock *b = ulmot_BufferAllocate(sizeof kTagReportBody, 0);
    ulmot_BufferAppend(b, kTagReportBody, sizeof kTagReportBody);
    return b;
}

void HeaderWalk(MessageBlock *b) {
    unsigned items = 0;
    for (const uint8_t *p = b->readPtr; p < b->writePtr; ++items) {
        const uint32_t size = DtpItemSize(p, b->writePtr);
        if (size == 0 || size > static_cast<uint32_t>(b->writePtr - p)) break;
        p += size;
    }
    g_sink = g_sink + items;
}

void ReadReport(MessageBlock *b) {
    TagReport report;
    ulmot::objects::ReadTagReport(&report, b);
    g_sink = g_sink + report.dataLength + report.crc;
}

template <typename F>
__attribute__((noinline)) void RunCase(long n, F &&f) {
    for (long i = 0; i < n; ++i) f();
}

std::atomic<uint64_t> g_delivered{0};
__attribute__((noinline)) void OnReport(void *, uint32_t, uint8_t, const TagReport *) {
    g_delivered.fetch_add(1, std::memory_order_relaxed);
}

// Tag reports sent by the emulated reader straight to a client, at most 32
// on their way at once, so that none is lost to a full queue.
int EventPath(long n) {
    uemu_Reader *reader = uemu_Create(nullptr);
    utr_MemoryPair *pair = utr_MemoryPairCreate("client", "reader", 0);
    uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, nullptr);
    ClientProcessor *client = nullptr;
    if (ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair, UTR_SIDE_A), "count", &client) != 0) return 1;
    ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_INVENTORY, 0, 0);
    ulmot_RegisterInventoryEvents(client, nullptr, nullptr, OnReport, nullptr);
    const uint8_t id = ulmot_GetClientProcessorID(client);
    // The reader puts its own time stamp (item 254) first.
    const uint8_t *body = kTagReportBody + 6;
    const auto length = static_cast<uint16_t>(sizeof kTagReportBody - 6);
    for (long sent = 0; sent < n; ++sent) {
        while (static_cast<uint64_t>(sent) - g_delivered.load() > 32) std::this_thread::yield();
        uemu_SendEventTo(reader, id, ULMOT_OBJ_INVENTORY, 2, 1, body, length);
    }
    while (g_delivered.load() < static_cast<uint64_t>(n)) std::this_thread::yield();
    ulmot_DestroyClientProcessor(client);
    uemu_Destroy(reader);
    utr_MemoryPairDestroy(pair);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: %s header-walk|tag-report|access-add|set-properties|memcpy-access-add|event-path N\n",
                     argv[0]);
        return 2;
    }
    streams_buf_init();
    const char *name = argv[1];
    const long n = std::strtol(argv[2], nullptr, 10);
    if (std::strcmp(name, "event-path") == 0) return EventPath(n);
    MessageBlock *report = SampleReportBlock();
    MessageBlock *finished = ulmot::bench::TypicalAccessAddBody();
    const auto finishedLength = static_cast<uint32_t>(finished->writePtr - finished->readPtr);
    if (std::strcmp(name, "header-walk") == 0) {
        RunCase(n, [&] { HeaderWalk(report); });
    } else if (std::strcmp(name, "tag-report") == 0) {
        RunCase(n, [&] { ReadReport(report); });
    } else if (std::strcmp(name, "access-add") == 0) {
        RunCase(n, [] { freeb(ulmot::bench::TypicalAccessAddBody()); });
    } else if (std::strcmp(name, "set-properties") == 0) {
        RunCase(n, [] { freeb(ulmot::bench::TypicalSetPropertiesBody()); });
    } else if (std::strcmp(name, "memcpy-access-add") == 0) {
        RunCase(n, [&] {
            MessageBlock *b = allocb(520, 0);
            std::memcpy(b->writePtr, finished->readPtr, finishedLength);
            b->writePtr += finishedLength;
            freeb(b);
        });
    } else {
        std::fprintf(stderr, "unknown case %s\n", name);
        return 2;
    }
    freeb(report);
    freeb(finished);
    return 0;
}
