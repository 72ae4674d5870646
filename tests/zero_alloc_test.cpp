// The client side of the message path allocates nothing: after a warm-up,
// thousands of requests of several families and thousands of tag reports go
// between a client and the emulated reader, and no thread of the client side
// (the application thread making the calls, the session's receive and queue
// threads) calls malloc, calloc, realloc or an aligned allocation. The
// reader's own threads may allocate: they are the far end, not the library.
//
// malloc and friends are replaced in this executable and forward to glibc's
// own entry points; operator new reaches them through libstdc++. The
// replacement cannot coexist with a sanitizer's allocator, so this test is
// only built without sanitizers.
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "support.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);
}

namespace {

// The client side's threads, known before counting starts; allocations
// while counting on them, and on every other thread.
long g_client[3];
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_clientAllocations{0}, g_otherAllocations{0};

template <typename T>
T Counted(T result) {
    if (g_counting.load(std::memory_order_relaxed)) {
        const long tid = static_cast<long>(syscall(SYS_gettid));
        (std::count(g_client, g_client + 3, tid) != 0 ? g_clientAllocations : g_otherAllocations).fetch_add(1);
    }
    return result;
}

}  // namespace

extern "C" {
void *malloc(size_t size) { return Counted(__libc_malloc(size)); }
void *calloc(size_t count, size_t size) { return Counted(__libc_calloc(count, size)); }
void *realloc(void *pointer, size_t size) { return Counted(__libc_realloc(pointer, size)); }
void *memalign(size_t alignment, size_t size) { return Counted(__libc_memalign(alignment, size)); }
void *aligned_alloc(size_t alignment, size_t size) { return Counted(__libc_memalign(alignment, size)); }
int posix_memalign(void **out, size_t alignment, size_t size) {
    *out = Counted(__libc_memalign(alignment, size));
    return *out == nullptr ? ENOMEM : 0;
}
void free(void *pointer) { __libc_free(pointer); }
}

namespace {

using namespace ulmot::test;

std::set<long> ThreadIds() {
    std::set<long> ids;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(std::stol(task.path().filename()));
    }
    return ids;
}

std::atomic<uint64_t> g_reports{0};
void OnReport(void *, uint32_t, uint8_t, const TagReport *) { g_reports.fetch_add(1); }

// A client of its own over a pair to the emulated reader, so that its
// threads can be told from the link's.
class ZeroAllocation : public ReaderTest {
protected:
    void TearDown() override {
        g_counting = false;
        if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
        ReaderTest::TearDown();
        utr_MemoryPairDestroy(pair_);
    }
    utr_MemoryPair *pair_ = QuickPair("zero");
    ClientProcessor *client_ = nullptr;
};

TEST_F(ZeroAllocation, RequestsAndTagReportsAllocateNothingOnTheClientSide) {
    config_.tagCount = 100;
    config_.tagRate = 20000;
    ASSERT_EQ(uemu_Attach(Reader(), utr_MemoryEndpoint(pair_, UTR_SIDE_B), nullptr, nullptr), UEMU_OK);
    std::set<long> before = ThreadIds(), client = {static_cast<long>(syscall(SYS_gettid))};
    ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "app", &client_), 0);
    for (long tid : ThreadIds()) {
        if (before.count(tid) == 0) client.insert(tid);
    }
    ASSERT_EQ(client.size(), 3u) << "the application thread, the receive and the queue thread";
    std::copy(client.begin(), client.end(), g_client);
    ClientProcessor *c = client_;
    for (uint32_t type : {1u, 5u, 8u, 11u, 24u}) ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(c, type, 0, 0), 0);
    uint8_t inventory = 0, schedule = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 0, nullptr, 0), 0);
    ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory}, *entries[] = {&entry};
    ASSERT_EQ(ulmot_AddScheduleSpecification(c, &schedule, entries, 1, 0, 0), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnReport, nullptr), 0);
    // One request each of several families; every one must succeed.
    auto mixed = [&](int i) {
        uint16_t power[3] = {}, length = 0;
        uint8_t list[8] = {}, f[7] = {};
        ASSERT_EQ(ulmot_GetAntennaAttributes(c, 1, &power[0], &power[1], &power[2], list, 8, &length), 0);
        ASSERT_EQ(ulmot_WriteGPO(c, 1, i & 1), 0);
        ASSERT_EQ(ulmot_GetRTC(c, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]), 0);
        ASSERT_EQ(ulmot_GetInventoryStats(c, inventory, &f[0], &power[0], nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    };
    // Warm-up: the first start looks for the platform library once; the
    // first of each request fills what is filled once.
    ASSERT_EQ(ulmot_StartScheduleSpecification(c, schedule, 1), 0);
    for (int i = 0; i < 20; ++i) mixed(i);
    ASSERT_TRUE(WaitUntil([] { return g_reports.load() >= 500; }, 60000));
    const uint64_t reports = g_reports.load();
    g_counting = true;
    for (int i = 0; i < 500 && !HasFatalFailure(); ++i) mixed(i);
    ASSERT_TRUE(WaitUntil([&] { return g_reports.load() >= reports + 4000; }, 60000));
    ASSERT_EQ(ulmot_StopScheduleSpecification(c, schedule, nullptr), 0);
    g_counting = false;
    EXPECT_EQ(g_clientAllocations.load(), 0u) << "allocations on the client side";
    EXPECT_GT(g_otherAllocations.load(), 0u) << "the counter works: the reader's threads do allocate";
}

}  // namespace
