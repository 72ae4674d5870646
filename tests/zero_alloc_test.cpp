// The client side of the message path allocates nothing: after a warm-up,
// thousands of requests of several families and thousands of tag report
// events go between a client and the emulated reader over the in-memory
// pair, and no thread of the client side (the application thread making the
// calls, the session's receive and queue threads) calls malloc, calloc,
// realloc or an aligned allocation. The reader's own threads may allocate:
// they are the far end, not the library.
//
// malloc and friends are replaced in this executable and forward to glibc's
// own entry points; operator new reaches them through libstdc++. The
// replacement cannot coexist with a sanitizer's allocator, so this test is
// only built without sanitizers.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "pool_fixture.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);
}

namespace {

// Allocations per thread while counting is on: a fixed table, claimed by
// each thread at its first counted allocation (nothing here may allocate).
struct ThreadCount {
    std::atomic<long> tid{0};
    std::atomic<uint64_t> allocations{0};
};
constexpr size_t kThreads = 256;
ThreadCount g_counts[kThreads];
std::atomic<bool> g_counting{false};
thread_local long t_tid = 0;

void CountAllocation() {
    if (!g_counting.load(std::memory_order_relaxed)) return;
    if (t_tid == 0) t_tid = static_cast<long>(syscall(SYS_gettid));
    for (ThreadCount &c : g_counts) {
        long expected = 0;
        if (c.tid.load() == t_tid || c.tid.compare_exchange_strong(expected, t_tid) || expected == t_tid) {
            c.allocations.fetch_add(1);
            return;
        }
    }
}

}  // namespace

extern "C" {
void *malloc(size_t size) {
    CountAllocation();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    CountAllocation();
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, size_t size) {
    CountAllocation();
    return __libc_realloc(pointer, size);
}
void *memalign(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size) {
    CountAllocation();
    *out = __libc_memalign(alignment, size);
    return *out == nullptr ? ENOMEM : 0;
}
void free(void *pointer) { __libc_free(pointer); }
}

namespace {

std::set<long> ThreadIds() {
    std::set<long> ids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') ids.insert(std::strtol(e->d_name, nullptr, 10));
        }
        closedir(d);
    }
    return ids;
}

std::atomic<uint64_t> g_reports{0};
std::atomic<uint64_t> g_epcBytes{0};
void OnReport(void *, uint32_t, uint8_t, const TagReport *report) {
    uint64_t sum = 0;
    for (uint16_t i = 0; i < report->dataLength; ++i) sum += report->data[i];
    g_epcBytes.fetch_add(sum, std::memory_order_relaxed);
    g_reports.fetch_add(1, std::memory_order_relaxed);
}

class ZeroAllocation : public ulmot::test::PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        uemu_Config config;
        uemu_ConfigInit(&config);
        config.tagCount = 100;
        config.tagRate = 20000;
        reader_ = uemu_Create(&config);
        ASSERT_NE(reader_, nullptr);
        pair_ = utr_MemoryPairCreate("client", "reader", 0);
        utr_MemorySetReceiveSlice(pair_, 10);  // destroys need not wait out an 800 ms receive
        ASSERT_EQ(uemu_Attach(reader_, utr_MemoryEndpoint(pair_, UTR_SIDE_B), nullptr, nullptr), UEMU_OK);
        const std::set<long> before = ThreadIds();
        ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "app", &client_), 0);
        for (long tid : ThreadIds()) {
            if (before.count(tid) == 0) clientThreads_.insert(tid);
        }
        clientThreads_.insert(static_cast<long>(syscall(SYS_gettid)));
        ASSERT_EQ(clientThreads_.size(), 3u) << "the application thread, the receive and the queue thread";
    }
    void TearDown() override {
        g_counting = false;
        ulmot_DestroyClientProcessor(client_);
        uemu_Destroy(reader_);
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    // One request each of several families; every one must succeed.
    void MixedRequests() {
        uint16_t maxPower = 0, minPower = 0, defaultPower = 0, listLength = 0;
        uint8_t receiveList[8] = {};
        uint8_t state = 0, threshold = 0;
        uint32_t first = 0, second = 0;
        uint8_t f[7] = {};
        uint8_t item5 = 0, item9 = 0;
        uint16_t item6 = 0, item7 = 0, item8 = 0, item10 = 0, item11 = 0;
        ASSERT_EQ(ulmot_GetAntennaAttributes(client_, 1, &maxPower, &minPower, &defaultPower, receiveList,
                                            sizeof receiveList, &listLength),
                  0);
        ASSERT_EQ(ulmot_ReadGPI(client_, 1, &state), 0);
        ASSERT_EQ(ulmot_GetGPIThreshold(client_, 2, &threshold), 0);
        ASSERT_EQ(ulmot_WriteGPO(client_, 1, static_cast<uint8_t>(requests_ & 1u)), 0);
        ASSERT_EQ(ulmot_GetTimestamp(client_, &first, &second), 0);
        ASSERT_EQ(ulmot_GetRTC(client_, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]), 0);
        ASSERT_EQ(ulmot_GetInventoryStats(client_, inventory_, &item5, &item6, &item7, &item8, &item9, &item10,
                                          &item11),
                  0);
        requests_ += 7;
    }

    // An inventory that reports every tag in every round, on a repeating
    // schedule.
    void PrepareInventory() {
        for (uint32_t type : {ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_SCHEDULE, ULMOT_OBJ_ANTENNA,
                              ULMOT_OBJ_GPI, ULMOT_OBJ_GPO, ULMOT_OBJ_TIMESTAMP, ULMOT_OBJ_RTC}) {
            ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0), 0);
        }
        uint8_t selector = 0;
        ASSERT_EQ(ulmot_AddTagSelectorSpecification(client_, &selector, nullptr, 0), 0);
        ASSERT_EQ(ulmot_AddInventorySpecification(client_, &inventory_, 517, ULMOT_OBJ_ANTENNA, 1, 0, &selector, 1),
                  0);
        ScheduleEntry entry{0, ULMOT_OBJ_INVENTORY, inventory_};
        ScheduleEntry *entries[] = {&entry};
        ASSERT_EQ(ulmot_AddScheduleSpecification(client_, &schedule_, entries, 1, 0, 0), 0);
        ASSERT_EQ(ulmot_RegisterInventoryEvents(client_, nullptr, nullptr, OnReport, nullptr), 0);
    }

    void WaitForReports(uint64_t count) {
        const auto start = std::chrono::steady_clock::now();
        while (g_reports.load() < count && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    uemu_Reader *reader_ = nullptr;
    utr_MemoryPair *pair_ = nullptr;
    ClientProcessor *client_ = nullptr;
    std::set<long> clientThreads_;
    uint8_t inventory_ = 0, schedule_ = 0;
    uint32_t requests_ = 0;
};

TEST_F(ZeroAllocation, RequestsAndTagReportsAllocateNothingOnTheClientSide) {
    PrepareInventory();
    // Warm-up: the first start looks for the platform library once; the
    // first of each request fills what is filled once.
    ASSERT_EQ(ulmot_StartScheduleSpecification(client_, schedule_, 1), 0);
    for (int i = 0; i < 20; ++i) MixedRequests();
    WaitForReports(500);

    for (ThreadCount &c : g_counts) c.allocations = 0;
    const uint64_t reportsBefore = g_reports.load();
    g_counting = true;
    for (int i = 0; i < 600 && !HasFatalFailure(); ++i) MixedRequests();
    WaitForReports(reportsBefore + 5000);
    ASSERT_EQ(ulmot_StopScheduleSpecification(client_, schedule_, nullptr), 0);
    g_counting = false;

    EXPECT_GE(requests_, 4200u);
    EXPECT_GE(g_reports.load() - reportsBefore, 5000u);
    uint64_t readerSide = 0;
    for (const ThreadCount &c : g_counts) {
        const long tid = c.tid.load();
        if (tid == 0) continue;
        if (clientThreads_.count(tid) != 0) {
            EXPECT_EQ(c.allocations.load(), 0u) << "client-side thread " << tid << " allocated";
        } else {
            readerSide += c.allocations.load();
        }
    }
    // The counter itself works: the reader's threads do allocate.
    EXPECT_GT(readerSide, 0u);
}

}  // namespace
