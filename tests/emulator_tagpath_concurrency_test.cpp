// The schedule engine against everything else at once: starts, stops and
// removals from several clients, objects changing under a running
// inventory, the tag field read and written at the same time, a client that
// stops receiving, and a reader destroyed in the middle of a run.
#include <atomic>

#include "emulator_tagpath_support.h"

namespace {

using namespace ulmot::test;

using Engine = TagPathTest;

TEST_F(Engine, StartsStopsAndStoreChangesFromSeveralClientsKeepRunsWhole) {
    // Slow enough that the listener's inbound queue (127 messages) does not
    // fill on a loaded machine: a full queue would lose reports first, then
    // urgent events.
    config_.tagRate = 1000;
    Client &listener = NewClient("listener");
    Client &first = NewClient("first");
    Client &second = NewClient("second");
    Client &churn = NewClient("churn");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(listener.NextEvent().has_value());  // the others were added
    ASSERT_EQ(listener.Enable(kReader, kInventoryType, 0, 0xFFFFFFFF, 4), 0);
    ASSERT_EQ(listener.Enable(kReader, kScheduleType, 0, 0xFFFFFFFF, 3), 0);
    const uint8_t inventory = AddInventory(first, 0);
    const uint8_t a = AddSchedule(first, {Ref(0, kInventoryType, inventory)});
    const uint8_t b = AddSchedule(second, {Ref(0, kAntennaType, 2), Ref(0, kInventoryType, inventory)});

    std::atomic<int> failures{0};
    std::atomic<int> stoppedRunning[2] = {0, 0};
    auto cycle = [&](Client &c, uint8_t schedule, int slot) {
        for (int i = 0; i < 40; ++i) {
            const int32_t started = Start(c, schedule, 1);
            if (started != 0 && started != UEMU_RESULT_REFUSED) failures++;
            const int status = Stop(c, schedule);
            if (status == 0) {
                stoppedRunning[slot]++;
            } else if (status != 1) {
                failures++;
            }
        }
    };
    std::atomic<bool> done{false};
    std::thread one([&] { cycle(first, a, 0); });
    std::thread two([&] { cycle(second, b, 1); });
    std::thread changes([&] {
        for (int i = 0; !done; ++i) {
            const uint8_t selector = AddSelector(churn, {Filter(1, 32, 0, 1, {static_cast<uint8_t>(i << 7)})});
            if (Set(churn, kInventoryType, inventory, List(3, {Ref(0, kSelectorType, selector)})) != 0) failures++;
            const uint8_t access = Add(churn, kAccessType,
                                       Cat({I16(0, 1), I8(4, 1), I8(6, 3), I16(8, 2), Array(7, {0, static_cast<uint8_t>(i)})}));
            if (churn.Request(kReader, kSelectorType, 2, selector).result != 0) failures++;
            if (churn.Request(kReader, kAccessType, 2, access).result != 0) failures++;
        }
    });
    std::thread field([&] {
        for (int i = 0; !done; ++i) {
            uemu_Tag t{};
            Bytes user(64);
            uint32_t length = 0;
            if (uemu_GetTag(Reader(), static_cast<uint32_t>(i % 40), &t) != UEMU_OK ||
                uemu_ReadTagMemory(Reader(), static_cast<uint32_t>(i % 40), UEMU_BANK_USER, 0, 0, user.data(), 64,
                                   &length) != UEMU_OK ||
                uemu_SetAntennaVswr(Reader(), 2, static_cast<uint8_t>(i & 1)) != UEMU_OK) {
                failures++;
            }
        }
    });
    one.join();
    two.join();
    done = true;
    changes.join();
    field.join();
    EXPECT_EQ(failures.load(), 0);

    // What the listener saw: each schedule's starts and stops alternate, and
    // every report belongs to the run in progress. A stop event leaves the
    // reader after the stop's response (the engine announces it), so the
    // listener reads until every requested stop has arrived, then proves
    // with a marker that nothing else was pending.
    std::optional<uint8_t> running;
    std::map<uint8_t, int> stopsByRequest;
    const uint8_t marker = 99;
    bool markerSent = false;
    for (;;) {
        if (!markerSent && stopsByRequest[a] == stoppedRunning[0].load() &&
            stopsByRequest[b] == stoppedRunning[1].load() && !running.has_value()) {
            ASSERT_EQ(uemu_SendEventTo(Reader(), listener.id, 13, 4, marker, nullptr, 0), UEMU_OK);
            markerSent = true;
        }
        std::optional<Received> e = listener.NextEvent(markerSent ? 5000 : 10000);
        if (!markerSent && !e.has_value()) break;  // a stop never came: the checks below say which
        ASSERT_TRUE(e.has_value()) << "the marker must arrive";
        const uint8_t type = e->header[ULMOT_HEADER_OBJECT_TYPE];
        const uint8_t instance = e->header[ULMOT_HEADER_INSTANCE];
        if (type == 13 && instance == marker) break;
        if (type == kScheduleType && e->header[ULMOT_HEADER_COMMAND] == 0) {
            EXPECT_FALSE(running.has_value()) << "a start while schedule " << int(*running) << " runs";
            running = instance;
        } else if (type == kScheduleType) {
            EXPECT_EQ(running, std::optional<uint8_t>(instance)) << "a stop of a schedule that was not running";
            const auto items = ItemsById(Bytes(e->body.begin() + 6, e->body.end()));
            if (items.count(2) != 0 && items.at(2).value[0] == 0) stopsByRequest[instance]++;
            running.reset();
        } else if (type == kInventoryType) {
            EXPECT_EQ(running, std::optional<uint8_t>(DecodeReport(*e).schedule)) << "a report outside its run";
        }
    }
    EXPECT_FALSE(running.has_value());
    EXPECT_EQ(stopsByRequest[a], stoppedRunning[0].load());
    EXPECT_EQ(stopsByRequest[b], stoppedRunning[1].load());
    EXPECT_GT(stoppedRunning[0] + stoppedRunning[1], 0);
}

TEST_F(Engine, AClientThatStopsReceivingDoesNotTakeTheLastBlocks) {
    config_.tagRate = 20000;
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReader, kInventoryType, 0, 0xFFFFFFFF, 4), 0);
    const uint8_t inventory = AddInventory(c, 0);
    const uint8_t schedule = AddSchedule(c, {Ref(0, kInventoryType, inventory)});
    ASSERT_EQ(Start(c, schedule, 1), 0);
    // The session goes; the processor stays registered, so reports pile up
    // in the pair for nobody.
    c.CloseSession();
    Transport *inbound = c.ClientSide();
    ASSERT_TRUE(WaitUntil([&] { return utr_MemoryQueued(inbound) >= 500; }, 20000));
    uint32_t queued = utr_MemoryQueued(inbound);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const uint32_t now = utr_MemoryQueued(inbound);
            const bool still = now == queued;
            queued = now;
            return still;
        },
        20000))
        << "the reports hold back once the small blocks are gone";
    MessageBlock *large = allocb(2048, 1);
    MessageBlock *middle = allocb(384, 1);
    EXPECT_NE(large, nullptr);
    EXPECT_NE(middle, nullptr);
    freeb(large);
    freeb(middle);
    const auto start = Clock::now();
    uemu_Destroy(reader_);
    reader_ = nullptr;
    EXPECT_LT(MsSince(start), 10000) << "the engine ends although nobody receives";
}

TEST_F(Engine, DestroyingTheReaderInTheMiddleOfARunEndsIt) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReader, kInventoryType, 0, 0xFFFFFFFF, 4), 0);
    ASSERT_EQ(c.Enable(kReader, kAccessType, 0, 0xFFFFFFFF, 7), 0);
    const uint8_t inventory = AddInventory(c, 0);
    Add(c, kAccessType, Cat({I16(0, 1), I8(4, 0), I8(6, 2)}));
    const uint8_t schedule = AddSchedule(c, {Ref(0, kInventoryType, inventory)});
    ASSERT_EQ(Start(c, schedule, 1), 0);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(c.NextEvent().has_value());
    const auto start = Clock::now();
    uemu_Destroy(reader_);
    reader_ = nullptr;
    EXPECT_LT(MsSince(start), 10000);
    // The fixture checks that every block is back once the pairs are gone.
}

}  // namespace
