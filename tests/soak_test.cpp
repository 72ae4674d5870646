// The fault-injection soak: a client over the fault-injecting transport talks
// to the emulated reader while a schedule floods tag reports, the reader
// raises GPI, text log and IOCTL traffic, 8 application threads make a
// representative mix of calls (answered with values and with a result only,
// the CTI request, an object added and removed, a start the reader refuses),
// and a fault schedule drops, delays (beyond the response time-out),
// duplicates and reorders messages, fails sends, fails receives in bursts of
// 49 (the session stays) and 50 (it ends), and takes the link down and up in
// three ways.
//
// It checks that every call returns within its time-outs plus a margin (a
// hang detector, not a speed check) with 0, -1 or a code of the reader; that
// values the reader never changes read right whenever a call succeeds; that
// a request succeeds after every fault phase and every loss of the link (from
// a new session with a new processor id after a loss); and that every pool
// element is back after the teardown. A summary goes to stdout.
//
// Duration: ULMOT_SOAK_SECONDS (default 20; 10 under a sanitizer). The
// library's log lines go to ULMOT_SOAK_LOG (default soak.log).
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <random>

#include "support.h"

namespace {

using namespace ulmot::test;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr long long kRequestMs = 5000, kCtiMs = 20000;
const long long kMarginMs = Scaled(kSanitized ? 15000 : 8000);  // beyond its time-outs a call counts as hung
const long long kRecoveryMs = Scaled(30000);

struct Events {
    std::atomic<uint64_t> reports{0}, bytes{0}, gpi{0}, text{0}, ioctls{0};
};

void OnReport(void *c, uint32_t, uint8_t, const TagReport *r) {
    // Every byte a report points at is read: one outside its block shows under ASan.
    uint32_t sum = 0;
    for (uint16_t i = 0; r->data != nullptr && i < r->dataLength; ++i) sum += r->data[i];
    static_cast<Events *>(c)->bytes += sum;
    ++static_cast<Events *>(c)->reports;
}
void OnGpi(void *c, uint32_t, uint8_t, uint8_t) { ++static_cast<Events *>(c)->gpi; }
void OnText(void *c, uint32_t, const char *) { ++static_cast<Events *>(c)->text; }
int32_t OnIoctl(void *c, const uint8_t *request, uint16_t length, uint8_t *response, uint32_t capacity,
                uint16_t *responseLength) {
    *responseLength = static_cast<uint16_t>(std::min<uint32_t>(length, capacity));
    std::reverse_copy(request, request + *responseLength, response);
    ++static_cast<Events *>(c)->ioctls;
    return 0;
}

// One kind of call: how many requests it sends (each may wait one time-out
// for a slot and one for its response), whether they are CTI requests, and
// the call, which may describe a wrong value in `wrong`.
struct Operation {
    const char *name;
    int requests;
    bool cti;
    std::function<int32_t(std::mt19937 &, std::string &wrong)> call;
};

class Soak : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        const int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);  // stderr, to the end
        dup2(fd, 2);
        close(fd);
        uemu_ConfigInit(&config_);
        config_.tagCount = 40;
        config_.tagSeed = 3;
        config_.tagRate = kSanitized ? 1500 : 5000;
        ASSERT_NE(reader_ = uemu_Create(&config_), nullptr);
        ASSERT_NE(pair_ = utr_MemoryPairCreate("soak-client", "soak-reader", 0), nullptr);
        uemu_LinkHooks hooks{[](void *p) { return utr_MemoryLinkDown(static_cast<utr_MemoryPair *>(p)); },
                             [](void *p) { return utr_MemoryRestore(static_cast<utr_MemoryPair *>(p)); }, pair_};
        ASSERT_EQ(uemu_Attach(reader_, utr_MemoryEndpoint(pair_, UTR_SIDE_B), &hooks, &link_), UEMU_OK);
        ASSERT_NE(fault_ = utr_FaultCreate(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "soak"), nullptr);
        ASSERT_EQ(ulmot_CreateClientProcessor(fault_, "soak", &client_), 0);
        for (uint32_t type : {0u, 5u, 8u, 10u, 11u, 13u}) {
            ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0), 0) << type;
        }
        for (uint32_t type : {ULMOT_OBJ_GPI, ULMOT_OBJ_GPO}) {
            ASSERT_EQ(ulmot_AttachProcessorByName(client_, UEMU_IO_PROCESSOR_NAME, type, 0), 0);
        }
        ASSERT_EQ(ulmot_AddCTIObject(client_, &cti_), 0);
        uint8_t flood = 0;
        ASSERT_EQ(ulmot_AddInventorySpecification(client_, &flood, 517, 0, 0, 0, nullptr, 0), 0);
        ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, flood}, *entries[] = {&entry};
        ASSERT_EQ(ulmot_AddScheduleSpecification(client_, &schedule_, entries, 1, 0, 0), 0);
        ASSERT_EQ(ulmot_RegisterIOCTL(client_, OnIoctl, &events_, 1), 0);
        ASSERT_TRUE(RegisterEvents());
        ASSERT_EQ(ulmot_StartScheduleSpecification(client_, schedule_, 1), 0);
        const uint8_t levels[] = {0, 255};
        ASSERT_EQ(uemu_SetGpiPattern(reader_, 1, levels, 2, 40), UEMU_OK);
    }
    void TearDown() override {
        StopThreads();
        if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
        uemu_Destroy(reader_);
        utr_FaultDestroy(fault_);
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }
    // The event registrations of the current processor (a new one after a
    // reconnection has none). Faults are off while this runs.
    bool RegisterEvents() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (ulmot_RegisterInventoryEvents(client_, nullptr, nullptr, OnReport, &events_) == 0 &&
                ulmot_RegisterGPIEvent(client_, 1, OnGpi, &events_, 1) == 0 &&
                ulmot_RegisterTextLogMessage(client_, OnText, &events_, 1) == 0) {
                return true;
            }
        }
        return false;
    }
    void StopThreads() {
        stop_ = true;
        for (auto &t : threads_) t.join();
        threads_.clear();
    }
    // Waits until a request succeeds on a session other than `lost`: the
    // time it took, or -1.
    long long AwaitWorking(Session *lost) {
        const auto start = Clock::now();
        for (uint8_t n = 0; MsSince(start) < kRecoveryMs;) {
            Session *s = ulmot_GetClientSession(client_);
            if (s != nullptr && s != lost && ulmot_GetAntennaCount(client_, &n) == 0 && n == 4) return MsSince(start);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a reconnection is paced by the library
        }
        return -1;
    }
    void Complain(const std::string &what) {
        std::lock_guard<std::mutex> l(mu_);
        if (complaints_.size() < 30) complaints_.push_back(what);
    }
    void ApplicationThread(uint32_t seed);
    void ReaderTraffic();
    void Chaos(std::mt19937 &rng, long long ms);

    const std::string log_ = std::getenv("ULMOT_SOAK_LOG") != nullptr ? std::getenv("ULMOT_SOAK_LOG") : "soak.log";
    uemu_Config config_{};
    uemu_Reader *reader_ = nullptr;
    utr_MemoryPair *pair_ = nullptr;
    uemu_Link *link_ = nullptr;
    Transport *fault_ = nullptr;
    ClientProcessor *client_ = nullptr;
    uint8_t cti_ = 0, schedule_ = 0;
    Events events_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> calls_{0}, succeeded_{0}, failed_{0}, refused_{0}, ioctlSent_{0};
    std::atomic<long long> longestMs_{0};
    const Clock::time_point begin_ = Clock::now();
    std::mutex mu_;  // guards what follows
    std::vector<std::string> complaints_;
    // A response is matched by its slot alone, so a duplicate arriving after
    // its slot was used again answers the newer request, which may then fail
    // an item read (-3, -4, -8) or read another request's values. Such calls
    // are forgiven when a duplicate was applied from 1.5 s before they began
    // to their end.
    std::vector<long long> duplicates_;  // when the wrapper's duplicated counts grew
    // A slot waits for a late response for one more time-out only: a response
    // delayed beyond the time-out and then held up by a receive stall (a burst
    // of 49 failures takes 4.9 s) can come after that and answer the slot's
    // next request. Such calls are forgiven when a delay beyond the time-out
    // was scripted from 12 s before they began to their end.
    std::vector<long long> lateDelays_;  // when a delay beyond the time-out was scripted
    std::vector<std::tuple<long long, long long, std::string>> suspects_;
    std::map<std::string, uint64_t> injected_;
};

void Soak::ApplicationThread(uint32_t seed) {
    ClientProcessor *c = client_;
    const std::vector<Operation> ops = {
        {"GetAntennaCount", 1, false,  // values that never change
         [c](std::mt19937 &, std::string &wrong) {
             uint8_t n = 0;
             const int32_t r = ulmot_GetAntennaCount(c, &n);
             if (r == 0 && n != 4) wrong = "antenna count " + std::to_string(n);
             return r;
         }},
        {"WriteGPO", 1, false,  // a result only
         [c](std::mt19937 &rng, std::string &) { return ulmot_WriteGPO(c, 1 + rng() % 4, rng() % 2); }},
        {"CTIRequest", 1, true,
         [c, this](std::mt19937 &rng, std::string &wrong) {
             uint8_t data[16], response[64];
             for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
             uint16_t status = 0, length = sizeof response;
             const int32_t r = ulmot_CTIRequest(c, cti_, UEMU_CTI_ECHO, data, sizeof data, &status, response, &length);
             if (r == 0 && status == UEMU_CTI_DONE && (length != sizeof data || std::memcmp(response, data, 16) != 0)) {
                 wrong = "CTI echo differs";
             }
             return r;
         }},
        {"AddInventorySpecification+RemoveObject", 2, false,
         [c](std::mt19937 &, std::string &) {
             uint8_t i = 0;
             const int32_t r = ulmot_AddInventorySpecification(c, &i, 517, ULMOT_OBJ_ANTENNA, 1, 0, nullptr, 0);
             return r != 0 ? r : ulmot_RemoveObject(c, ULMOT_OBJ_INVENTORY, i);
         }},
        {"StartScheduleSpecification (running)", 1, false,
         [c, this](std::mt19937 &, std::string &) { return ulmot_StartScheduleSpecification(c, schedule_, 1); }},
    };
    std::mt19937 rng(seed);
    while (!stop_) {
        const Operation &op = ops[rng() % ops.size()];
        std::string wrong;
        const auto start = Clock::now();
        const int32_t r = op.call(rng, wrong);
        const long long took = MsSince(start), to = MsSince(begin_);
        ++calls_;
        for (long long l = longestMs_; took > l && !longestMs_.compare_exchange_weak(l, took);) {
        }
        if (took > op.requests * 2 * (op.cti ? kCtiMs : kRequestMs) + kMarginMs) {
            Complain(std::string(op.name) + " took " + std::to_string(took) + " ms (hang)");
        }
        const bool reader = (r >= 1 && r <= 9) || r == 20;
        const bool itemRead = r == ULMOT_ERR_NOT_FOUND || r == ULMOT_ERR_BEYOND_END || r == ULMOT_ERR_BEFORE_START;
        succeeded_ += r == 0;
        failed_ += r == -1;
        refused_ += reader;
        if (r != 0 && r != -1 && !reader && !itemRead) Complain(std::string(op.name) + " returned " + std::to_string(r));
        if (itemRead || !wrong.empty()) {
            std::lock_guard<std::mutex> l(mu_);
            suspects_.emplace_back(to - took, to, std::string(op.name) + ": " + (wrong.empty() ? std::to_string(r) : wrong));
        }
        if (r == -1 && ulmot_GetClientSession(client_) == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // reconnecting: do not spin
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 4));  // the application's own pace
    }
}

// Text log and IOCTL requests from the reader; notes when the wrapper duplicates.
void Soak::ReaderTraffic() {
    uint32_t duplicated = 0;
    for (uint32_t n = 1; !stop_; ++n) {
        uemu_Log(reader_, "soak: the reader says something");
        if (n % 10 == 0) {
            const uint8_t request[] = {1, 2, 3, 4, 5};
            uint8_t response[16], status = 0;
            uint16_t length = 0;
            ++ioctlSent_;
            uemu_SendIoctl(reader_, ulmot_GetClientProcessorID(client_), 100, request, sizeof request, response,
                           sizeof response, &length, &status, 2000);
        }
        utr_FaultStats out{}, in{};
        utr_FaultGetStats(fault_, UTR_OUTBOUND, &out);
        utr_FaultGetStats(fault_, UTR_INBOUND, &in);
        if (out.duplicated + in.duplicated != std::exchange(duplicated, out.duplicated + in.duplicated)) {
            std::lock_guard<std::mutex> l(mu_);
            duplicates_.push_back(MsSince(begin_));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the reader's pace
    }
}

// Random message faults for `ms`.
void Soak::Chaos(std::mt19937 &rng, long long ms) {
    auto in = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (const auto start = Clock::now(); MsSince(start) < ms;) {
        const uint32_t dir = in(0, 1), match = in(0, 3), kind = in(0, 6);
        const char *kinds[] = {"drop", "delay beyond the time-out", "short delay", "duplicate", "reorder", "failed send",
                               "short receive-failure burst"};
        ++injected_[kinds[kind]];
        if (kind == 0) utr_FaultDrop(fault_, dir, in(1, 3), match);
        // Beyond the response time-out: the request times out, its answer comes late.
        const uint32_t requestOrResponse = in(0, 1) ? UTR_MATCH_RESPONSE : UTR_MATCH_REQUEST;
        if (kind == 1) {
            utr_FaultDelay(fault_, dir, in(1, 2), in(5200, 6500), requestOrResponse);
            std::lock_guard<std::mutex> l(mu_);
            lateDelays_.push_back(MsSince(begin_));
        }
        if (kind == 2) utr_FaultDelay(fault_, dir, in(1, 5), in(10, 300), match);
        if (kind == 3) utr_FaultDuplicate(fault_, dir, in(1, 3), match);
        if (kind == 4) utr_FaultReorder(fault_, dir, in(1, 3), match);
        if (kind == 5) utr_FaultFailSends(fault_, in(1, 2), match);
        if (kind == 6) utr_FaultFailReceives(fault_, in(1, 5), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(in(100, 350)));  // the schedule's pace
    }
    utr_FaultClear(fault_);
}

TEST_F(Soak, FaultInjectionUnderLoad) {
    const char *asked = std::getenv("ULMOT_SOAK_SECONDS");
    const int seconds = asked != nullptr && std::atoi(asked) > 0 ? std::atoi(asked) : kSanitized ? 10 : 20;
    for (uint32_t t = 0; t < 8; ++t) threads_.emplace_back([this, t] { ApplicationThread(1000 + t); });
    threads_.emplace_back([this] { ReaderTraffic(); });
    std::mt19937 rng(7);
    const auto start = Clock::now();
    long long longestRecoveryMs = 0;
    uint64_t reconnections = 0, kept = 0;
    for (uint32_t phase = 0; MsSince(start) < seconds * 1000LL && !HasFailure(); ++phase) {
        Chaos(rng, kSanitized ? 1500 : 2500);
        ASSERT_GE(AwaitWorking(nullptr), 0) << "no request succeeded after message faults (phase " << phase << ")";
        Session *before = ulmot_GetClientSession(client_);
        const uint8_t idBefore = ulmot_GetClientProcessorID(client_);
        const auto down = std::chrono::milliseconds(300 + rng() % 1000);  // how long the link stays down
        const char *kinds[] = {"receive-failure burst of 49", "receive-failure burst of 50", "link dropped by the reader",
                               "link terminated by the transport", "link down and restored"};
        ++injected_[kinds[phase % 5]];
        utr_FaultStats was{}, now{};
        utr_FaultGetStats(fault_, UTR_INBOUND, &was);
        switch (phase % 5) {
        case 0:  // 49 receive failures in a row, then messages: the session stays
            utr_FaultFailReceives(fault_, 49, 0);
            EXPECT_TRUE(WaitUntil([&] {
                return utr_FaultGetStats(fault_, UTR_INBOUND, &now) == 0 && now.failed >= was.failed + 49;
            }, 20000));
            break;
        case 1: utr_FaultFailReceives(fault_, 50, 0); break;  // the 50th in a row ends the session
        case 2:
            ASSERT_EQ(uemu_DropLink(reader_, link_), UEMU_OK);
            std::this_thread::sleep_for(down);
            ASSERT_EQ(uemu_RestoreLink(reader_, link_), UEMU_OK);
            break;
        case 3: utr_FaultTerminate(fault_), std::this_thread::sleep_for(down), utr_FaultRestore(fault_); break;
        default: utr_MemoryLinkDown(pair_), std::this_thread::sleep_for(down), utr_MemoryRestore(pair_); break;
        }
        const bool ends = phase % 5 != 0;
        const long long recovered = AwaitWorking(ends ? before : nullptr);
        ASSERT_GE(recovered, 0) << "the client did not come back (phase " << phase << ")";
        longestRecoveryMs = std::max(longestRecoveryMs, recovered);
        if (ends) {
            EXPECT_NE(ulmot_GetClientProcessorID(client_), idBefore) << "a new registration after the loss";
            ++reconnections;
            ASSERT_TRUE(RegisterEvents()) << "event registrations after reconnection " << reconnections;
        } else {
            EXPECT_EQ(ulmot_GetClientSession(client_), before) << "49 failures in a row keep the session";
            EXPECT_EQ(ulmot_GetClientProcessorID(client_), idBefore);
            ++kept;
        }
    }
    const long long ranMs = MsSince(start);
    StopThreads();
    utr_FaultStats out{}, in{};
    utr_FaultGetStats(fault_, UTR_OUTBOUND, &out);
    utr_FaultGetStats(fault_, UTR_INBOUND, &in);
    uemu_SetGpiPattern(reader_, 1, nullptr, 0, 0);
    const auto destroyStart = Clock::now();
    ulmot_DestroyClientProcessor(std::exchange(client_, nullptr));
    const long long destroyMs = MsSince(destroyStart);
    uemu_Destroy(std::exchange(reader_, nullptr));
    utr_FaultDestroy(std::exchange(fault_, nullptr));
    utr_MemoryPairDestroy(std::exchange(pair_, nullptr));  // it owns what is still queued
    long lost = 0;
    for (int p = 0; p < ulmot::pools::kPoolCount; ++p) {
        lost += long{ulmot::pools::kElementCount[p]} - ulmot::pools::FreeCount(p);
    }
    uint64_t misanswered = 0;
    for (const auto &[from, to, what] : suspects_) {
        const auto within = [f = from, t = to](long long before) {
            return [f, t, before](long long at) { return at >= f - before && at <= t + 200; };
        };
        const bool explained = std::any_of(duplicates_.begin(), duplicates_.end(), within(1500)) ||
                               std::any_of(lateDelays_.begin(), lateDelays_.end(), within(12000));
        explained ? void(++misanswered) : Complain(what + " (" + std::to_string(from) + "-" + std::to_string(to) + " ms)");
    }
    auto lines = [&](const char *needle) {
        std::ifstream log(log_);
        uint64_t n = 0;
        for (std::string line; std::getline(log, line);) n += line.find(needle) != std::string::npos;
        return n;
    };
    std::string scripted;
    for (const auto &[kind, count] : injected_) scripted += " " + kind + " " + std::to_string(count) + ";";
    std::cout << "[soak] duration " << double(ranMs) / 1000 << " s (asked " << seconds << " s)"
              << (kSanitized ? ", under a sanitizer" : "") << "; library log: " << log_ << "\n[soak] calls " << calls_
              << ": succeeded " << succeeded_ << ", -1 " << failed_ << ", reader refusals " << refused_
              << "; longest call " << longestMs_ << " ms\n[soak] response time-outs " << lines("Response timeout")
              << ", late or unmatched responses released " << lines("No request waits")
              << ", calls answered by another request's response (a duplicate or a late one) " << misanswered
              << "\n[soak] reconnections " << reconnections << " (sessions ended unrequested "
              << lines("Session terminated (unrequested") << "), sessions kept through 49 failures " << kept
              << ", longest recovery " << longestRecoveryMs << " ms\n[soak] faults scripted:" << scripted
              << "\n[soak] faults applied: dropped " << out.dropped + in.dropped << ", delayed " << out.delayed + in.delayed
              << ", duplicated " << out.duplicated + in.duplicated << ", reordered " << out.reordered + in.reordered
              << ", sends failed " << out.failed << ", receives failed " << in.failed << ", held messages discarded "
              << out.discarded + in.discarded << "\n[soak] events delivered: tag reports " << events_.reports << ", GPI "
              << events_.gpi << ", text log " << events_.text << "; IOCTL requests answered " << events_.ioctls << " of "
              << ioctlSent_ << "\n[soak] destroy took " << destroyMs << " ms; pool elements lost: " << lost << std::endl;
    for (const std::string &c : complaints_) ADD_FAILURE() << c;
    EXPECT_LT(destroyMs, 9000 + kMarginMs) << "destroy hung";
    EXPECT_GT(succeeded_.load(), 0u);
    EXPECT_GT(events_.reports.load(), 0u) << "the flood reached the application";
    EXPECT_EQ(lost, 0);
}

}  // namespace
