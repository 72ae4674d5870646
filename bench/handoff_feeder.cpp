// bench/handoff_feeder.cpp - the floor of the Python benchmark: a C thread
// that pushes synthetic tag reports into a hand-off inbox at a steady rate,
// through the same callback the library calls, with no reader, transport or
// session behind it. Python drains it exactly as it drains an inventory.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "uho.h"

namespace {

struct Feeder {
    std::thread thread;
    std::atomic<bool> stop{false};
};

void Feed(uho_Inbox *inbox, uint32_t rate, uint64_t count, Feeder *feeder) {
    uint8_t epc[12] = {0xE2, 0x80, 0x11, 0x60, 0x60, 0, 0, 0, 0, 0, 0, 0};
    TagReport report{};
    report.pcWord = 0x3000;
    report.data = epc;
    report.dataLength = sizeof epc;
    report.crc = 0xBEEF;
    report.item9Instance = 1;
    report.format = 517;
    report.item6 = static_cast<uint16_t>(-612);
    // A burst each millisecond, as a reader's reports arrive.
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t sent = 0; sent < count && !feeder->stop.load(std::memory_order_relaxed);) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const uint64_t due = std::min<uint64_t>(count, static_cast<uint64_t>(elapsed * rate) + 1);
        for (; sent < due; ++sent) {
            report.item18 = static_cast<uint32_t>(sent + 1);
            epc[11] = static_cast<uint8_t>(sent);
            uho_OnTagReport(inbox, static_cast<uint32_t>(elapsed * 1000), 1, &report);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

extern "C" {

// Starts a thread that pushes `count` reports of inventory 1 at `rate` a
// second into `inbox`; uho_bench_Join waits for it (or stops it early).
__attribute__((visibility("default"))) void *uho_bench_Feed(uho_Inbox *inbox, uint32_t rate, uint64_t count) {
    auto *feeder = new Feeder;
    feeder->thread = std::thread(Feed, inbox, rate, count, feeder);
    return feeder;
}

__attribute__((visibility("default"))) void uho_bench_Join(void *handle, int stop) {
    auto *feeder = static_cast<Feeder *>(handle);
    if (stop != 0) feeder->stop = true;
    feeder->thread.join();
    delete feeder;
}
}
