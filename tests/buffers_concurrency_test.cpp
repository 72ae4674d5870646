// Several threads taking, duplicating, copying and releasing blocks of every
// pool at once: no element is lost or handed out twice, and every pool is
// full at the end. Clean under ThreadSanitizer.
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "pool_fixture.h"

namespace {

using ulmot::test::PoolTest;

using Concurrency = PoolTest;

// Each thread stamps the blocks it holds with its own id and checks the
// stamps before releasing them: a block handed to two threads at once would
// show another thread's stamp.
void Churn(int id, int rounds, std::atomic<int> &corrupt) {
    std::mt19937 rng(static_cast<unsigned>(id) * 7919u);
    const uint32_t sizes[] = {8, 128, 129, 384, 1000, 2048};
    std::vector<MessageBlock *> held;
    for (int r = 0; r < rounds; ++r) {
        const uint32_t choice = rng() % 10;
        if (choice < 5 || held.empty()) {
            MessageBlock *b = allocb(sizes[rng() % 6], 1);
            if (b == nullptr) continue;
            *b->writePtr++ = static_cast<uint8_t>(id);
            held.push_back(b);
        } else if (choice < 7) {
            MessageBlock *d = dupb(held[rng() % held.size()]);
            if (d) held.push_back(d);
        } else if (choice < 8) {
            MessageBlock *c = copyb(held[rng() % held.size()]);
            if (c) held.push_back(c);
        } else {
            const size_t at = rng() % held.size();
            if (*held[at]->readPtr != id) corrupt.fetch_add(1);
            freeb(held[at]);
            held[at] = held.back();
            held.pop_back();
        }
        if (held.size() > 150) {
            for (MessageBlock *b : held) freeb(b);
            held.clear();
        }
    }
    for (MessageBlock *b : held) {
        if (*b->readPtr != id) corrupt.fetch_add(1);
        freeb(b);
    }
}

TEST_F(Concurrency, ThreadsShareThePoolsWithoutLosingAnElement) {
    std::atomic<int> corrupt{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) threads.emplace_back(Churn, t, 20000, std::ref(corrupt));
    for (auto &th : threads) th.join();
    EXPECT_EQ(corrupt.load(), 0);
}

TEST_F(Concurrency, WaitingAllocatorsAreServedAsBlocksComeBack) {
    // Exhaust pool 2 and let four threads wait in ulmot_BufferAllocate for
    // large blocks while another thread gives them back one by one.
    std::vector<MessageBlock *> hog;
    for (MessageBlock *h; (h = allocb(2048, 1)) != nullptr;) hog.push_back(h);
    std::atomic<int> served{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < 4; ++t) {
        waiters.emplace_back([&] {
            MessageBlock *b = ulmot_BufferAllocate(2048, 8);
            served.fetch_add(1);
            freeb(b);
        });
    }
    for (int i = 0; i < 4; ++i) freeb(hog[static_cast<size_t>(i)]);
    for (auto &th : waiters) th.join();
    EXPECT_EQ(served.load(), 4);
    for (size_t i = 4; i < hog.size(); ++i) freeb(hog[i]);
}

}  // namespace
