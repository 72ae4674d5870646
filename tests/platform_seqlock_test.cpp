// SeqLocked: a reader copies the value whole while writers replace it, and
// never sees words of two different writes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/seqlock.h"

namespace {

struct Four {
    uint64_t a, b, c, d;
};

TEST(SeqLocked, ReadersNeverSeeHalfOfOneWriteAndHalfOfAnother) {
    ulmot::plat::SeqLocked<Four> value;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> torn{0}, reads{0};
    std::vector<std::thread> threads;
    for (uint64_t w = 1; w <= 2; ++w) {
        threads.emplace_back([&, w] {
            for (uint64_t k = w; !stop; k += 2) value.Store(Four{k, k, k, k});
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200000; ++i) {
                const Four f = value.Load();
                if (f.a != f.b || f.b != f.c || f.c != f.d) ++torn;
                ++reads;
            }
        });
    }
    for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
    stop = true;
    threads[0].join();
    threads[1].join();
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_EQ(reads.load(), 400000u);
}

TEST(SeqLocked, UpdateChangesOneFieldAndKeepsTheOthers) {
    ulmot::plat::SeqLocked<Four> value;
    EXPECT_EQ(value.Load().a, 0u) << "starts zeroed";
    value.Store(Four{1, 2, 3, 4});
    value.Update([](Four f) {
        f.b = 20;
        return f;
    });
    const Four f = value.Load();
    EXPECT_EQ(f.a, 1u);
    EXPECT_EQ(f.b, 20u);
    EXPECT_EQ(f.c, 3u);
    EXPECT_EQ(f.d, 4u);
}

}  // namespace
