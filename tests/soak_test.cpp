// The fault-injection soak: a client over the fault-injecting transport talks
// to the emulated reader while a schedule floods tag reports, the reader
// raises GPI, text log and IOCTL traffic, 8 application threads issue mixed
// requests of every family, and a fault schedule drops, delays (beyond the
// response time-out), duplicates and reorders messages, fails sends, fails
// receives in bursts of 49 (the session stays) and 50 (it ends), and takes
// the link down and up in three ways.
//
// It checks that every call returns within its time-outs plus a generous
// margin (a hang detector, not a speed check) with a result code the
// library documents for it; that values the reader never changes read
// right whenever a call succeeds; that the client reconnects after every
// loss of its session and a request succeeds after every restore; and, at
// the end, that every pool element is back. A summary goes to stdout.
//
// Duration: ULMOT_SOAK_SECONDS (default 20; 10 under a sanitizer). `make
// soak` runs it for 600 s. The library's log lines go to a file
// (ULMOT_SOAK_LOG, default soak.log in the working directory), which the
// summary counts.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>

#include "processors/client.h"
#include "session_support.h"
#include "uemu.h"

namespace {

using namespace ulmot::test;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr long long kRequestTimeoutMs = 5000;
constexpr long long kCtiTimeoutMs = 20000;
// What a call may take beyond its own time-outs before it counts as hung.
constexpr long long kMarginMs = kSanitized ? 15000 : 8000;
// How long the client has to be back and answering after a restore.
constexpr long long kRecoveryMs = 30000;

int SoakSeconds() {
    if (const char *s = std::getenv("ULMOT_SOAK_SECONDS")) {
        const int v = std::atoi(s);
        if (v > 0) return v;
    }
    return kSanitized ? 10 : 20;
}

// Codes the reader puts in item 255 (see uemu.h).
bool IsReaderCode(int32_t r) { return (r >= 1 && r <= 9) || r == 20; }

// ---- What the application's callbacks saw ------------------------------------

struct Events {
    std::atomic<uint64_t> reports{0}, reportBytes{0}, gpi{0}, textLog{0}, schedule{0}, radio{0}, processor{0};
    std::atomic<uint64_t> ioctls{0};
    uint64_t Total() const {
        return reports.load() + gpi.load() + textLog.load() + schedule.load() + radio.load() + processor.load();
    }
};

void OnReport(void *c, uint32_t, uint8_t, const TagReport *r) {
    auto *e = static_cast<Events *>(c);
    // Touch every byte the report points to: a report that points outside
    // its block shows up under AddressSanitizer.
    uint32_t sum = 0;
    for (uint16_t i = 0; r->data != nullptr && i < r->dataLength; ++i) sum += r->data[i];
    e->reportBytes.fetch_add(sum, std::memory_order_relaxed);
    e->reports.fetch_add(1, std::memory_order_relaxed);
}
void OnGpi(void *c, uint32_t, uint8_t, uint8_t) { static_cast<Events *>(c)->gpi.fetch_add(1); }
void OnText(void *c, uint32_t, const char *text) {
    auto *e = static_cast<Events *>(c);
    if (std::strlen(text) <= ULMOT_TEXT_LOG_MAX) e->textLog.fetch_add(1);
}
void OnScheduleStart(void *c, uint32_t, uint32_t) { static_cast<Events *>(c)->schedule.fetch_add(1); }
void OnScheduleStop(void *c, uint32_t, uint32_t, uint8_t) { static_cast<Events *>(c)->schedule.fetch_add(1); }
void OnChannel(void *c, uint32_t, uint8_t) { static_cast<Events *>(c)->radio.fetch_add(1); }
void OnProcessorRemoved(void *c, uint32_t, uint8_t) { static_cast<Events *>(c)->processor.fetch_add(1); }
void OnProcessorAdded(void *c, uint32_t, uint8_t, const uint32_t *, uint32_t) {
    static_cast<Events *>(c)->processor.fetch_add(1);
}
int32_t OnIoctl(void *c, const uint8_t *request, uint16_t length, uint8_t *response, uint32_t capacity,
                uint16_t *responseLength) {
    const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(length, capacity));
    for (uint16_t i = 0; i < n; ++i) response[i] = request[n - 1 - i];
    *responseLength = n;
    static_cast<Events *>(c)->ioctls.fetch_add(1);
    return 0;
}

// ---- The library's log, sent to a file while the soak runs ---------------------

class LogCapture {
public:
    LogCapture() {
        const char *p = std::getenv("ULMOT_SOAK_LOG");
        path_ = p != nullptr ? p : "soak.log";
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 2);
            close(fd);
        }
    }
    ~LogCapture() { Restore(); }
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    // Lines of the log that contain each of `needles`.
    std::map<std::string, uint64_t> Count(const std::vector<std::string> &needles) const {
        std::map<std::string, uint64_t> counts;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            for (const std::string &n : needles) {
                if (line.find(n) != std::string::npos) ++counts[n];
            }
        }
        return counts;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    int saved_ = -1;
};

// ---- The soak -------------------------------------------------------------------

// One kind of application call: its name, how many requests it may send
// (each may wait one time-out for a slot and one for its response), whether
// they are CTI requests (20 s), and the call itself, which returns its result
// and may put a complaint about a value in `wrong`.
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
        uemu_ConfigInit(&config_);
        config_.tagCount = 40;
        config_.tagSeed = 3;
        config_.tagRate = kSanitized ? 1500 : 5000;
        reader_ = uemu_Create(&config_);
        ASSERT_NE(reader_, nullptr);
        pair_ = utr_MemoryPairCreate("soak-client", "soak-reader", 0);
        ASSERT_NE(pair_, nullptr);
        uemu_LinkHooks hooks{[](void *p) { return utr_MemoryLinkDown(static_cast<utr_MemoryPair *>(p)); },
                             [](void *p) { return utr_MemoryRestore(static_cast<utr_MemoryPair *>(p)); }, pair_};
        ASSERT_EQ(uemu_Attach(reader_, utr_MemoryEndpoint(pair_, UTR_SIDE_B), &hooks, &link_), UEMU_OK);
        fault_ = utr_FaultCreate(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "soak");
        ASSERT_NE(fault_, nullptr);
        ASSERT_EQ(ulmot_CreateClientProcessor(fault_, "soak", &client_), 0);
    }
    void TearDown() override {
        StopThreads();
        if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
        uemu_Destroy(reader_);
        if (fault_ != nullptr) utr_FaultDestroy(fault_);
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    // Attaches every object type to its processor, creates the objects the
    // calls use and starts the flood: one inventory of every tag, repeated.
    void Prepare() {
        for (uint32_t type : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 15u, 17u, 18u, 19u, 22u, 24u}) {
            ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0), 0) << type;
        }
        ASSERT_EQ(ulmot_AttachProcessorByName(client_, UEMU_IO_PROCESSOR_NAME, ULMOT_OBJ_GPI, 0), 0);
        ASSERT_EQ(ulmot_AttachProcessorByName(client_, UEMU_IO_PROCESSOR_NAME, ULMOT_OBJ_GPO, 0), 0);
        ASSERT_EQ(ulmot_AddCTIObject(client_, &cti_), 0);
        ASSERT_EQ(ulmot_AddAntennaPair(client_, &antennaPair_, 1, 2, 300), 0);
        ASSERT_EQ(ulmot_AddInventorySpecification(client_, &idleInventory_, 517, 0, 0, 0, nullptr, 0), 0);
        ASSERT_EQ(ulmot_AddInventorySpecification(client_, &floodInventory_, 517, 0, 0, 0, nullptr, 0), 0);
        ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, floodInventory_};
        ScheduleEntry *entries[] = {&entry};
        ASSERT_EQ(ulmot_AddScheduleSpecification(client_, &floodSchedule_, entries, 1, 0, 0), 0);
        ulmot_RegisterIOCTL(client_, OnIoctl, &events_, 1);
        ulmot_RegisterProcessorAddedEvent(client_, OnProcessorAdded, &events_, 1);
        ulmot_RegisterProcessorRemovedEvent(client_, OnProcessorRemoved, &events_, 1);
        ASSERT_TRUE(RegisterEvents());
        ASSERT_EQ(ulmot_StartScheduleSpecification(client_, floodSchedule_, 1), 0);
        const uint8_t levels[] = {0, 255};
        ASSERT_EQ(uemu_SetGpiPattern(reader_, 1, levels, 2, 40), UEMU_OK);
    }

    // The event registrations of the current processor (a new processor
    // after a reconnection has none). Faults are off while this runs.
    bool RegisterEvents() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (ulmot_RegisterInventoryEvents(client_, nullptr, nullptr, OnReport, &events_) == 0 &&
                ulmot_RegisterGPIEvent(client_, 1, OnGpi, &events_, 1) == 0 &&
                ulmot_RegisterTextLogMessage(client_, OnText, &events_, 1) == 0 &&
                ulmot_RegisterScheduleEvents(client_, OnScheduleStart, OnScheduleStop, &events_) == 0 &&
                ulmot_RegisterRadioEvents(client_, OnChannel, nullptr, nullptr, nullptr, &events_) == 0) {
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
    std::vector<Operation> Operations();
    void ApplicationThread(uint32_t seed);
    void EventPump();
    void WatchDroppedCounts();
    // Waits until a request succeeds (faults off) on a session other than
    // `lost` (null: any). The time it took, or -1.
    long long AwaitWorking(Session *lost);
    void Chaos(std::mt19937 &rng, long long ms);
    void Suspect(long long startMs, const std::string &what) {
        std::lock_guard<std::mutex> l(complaintsMu_);
        suspects_.push_back({startMs, MsSince(begin_), what});
    }
    // Complains about the suspects that no duplicate explains.
    void JudgeSuspects() {
        std::vector<long long> times;
        {
            std::lock_guard<std::mutex> l(droppedMu_);
            times = duplicateTimes_;
        }
        std::vector<SuspectCall> suspects;
        {
            std::lock_guard<std::mutex> l(complaintsMu_);
            suspects.swap(suspects_);
        }
        for (const SuspectCall &c : suspects) {
            const bool explained = std::any_of(times.begin(), times.end(), [&](long long t) {
                return t >= c.startMs - 1500 && t <= c.endMs + 200;
            });
            if (explained) {
                ++misanswered_;
            } else {
                Complain(c.what);
            }
        }
    }
    void Complain(const std::string &what) {
        std::lock_guard<std::mutex> l(complaintsMu_);
        if (complaints_.size() < 30) complaints_.push_back(what);
        ++complaintCount_;
    }

    uemu_Config config_{};
    uemu_Reader *reader_ = nullptr;
    utr_MemoryPair *pair_ = nullptr;
    uemu_Link *link_ = nullptr;
    Transport *fault_ = nullptr;
    ClientProcessor *client_ = nullptr;
    uint8_t cti_ = 0, antennaPair_ = 0, idleInventory_ = 0, floodInventory_ = 0, floodSchedule_ = 0;

    Events events_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> calls_{0}, succeeded_{0}, failed_{0}, refused_{0}, noSession_{0};
    std::atomic<long long> longestMs_{0};
    std::atomic<uint64_t> ioctlSent_{0}, ioctlAnswered_{0};
    std::mutex refusalsMu_;
    std::map<std::string, uint64_t> refusals_;  // "call result": count
    std::mutex complaintsMu_;
    std::vector<std::string> complaints_;
    uint64_t complaintCount_ = 0;
    // Events lost to a full inbound queue, per session (the largest count seen).
    std::mutex droppedMu_;
    std::map<std::pair<Session *, uint8_t>, uint32_t> dropped_;
    // Faults the schedule injected, by kind.
    std::map<std::string, uint64_t> injected_;
    uint64_t reconnections_ = 0, keptSessions_ = 0;
    // A response is matched by its message id alone, so a duplicated response
    // (or the second response to a duplicated request) that arrives after its
    // slot was used again answers the newer request: that call may then fail
    // an item read (-3, -4, -8) or read another request's values. Such calls
    // are kept here and forgiven at the end when a duplicate was applied
    // between 1.5 s before the call began and its end.
    struct SuspectCall {
        long long startMs, endMs;
        std::string what;
    };
    const Clock::time_point begin_ = Clock::now();
    std::vector<SuspectCall> suspects_;         // under complaintsMu_
    std::vector<long long> duplicateTimes_;  // under droppedMu_: when the duplicated counts grew
    uint64_t misanswered_ = 0;
};

std::vector<Operation> Soak::Operations() {
    ClientProcessor *c = client_;
    const uint8_t pair = antennaPair_, idle = idleInventory_, flood = floodInventory_, schedule = floodSchedule_,
                  cti = cti_;
    const uemu_Config *config = &config_;
    auto pick = [](std::mt19937 &rng, int lo, int hi) {
        return static_cast<uint8_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
    };
    // Adds an object and removes it again when the add succeeded. The
    // instance is read after the add (by reference: argument order is open).
    auto churn = [c](uint32_t type, int32_t added, const uint8_t &instance) {
        if (added != 0) return added;
        return ulmot_RemoveObject(c, type, instance);
    };
    return {
        // Processors and the generic operations.
        {"AttachDefaultObjectProcessor", 1, false,
         [c](std::mt19937 &, std::string &) { return ulmot_AttachDefaultObjectProcessor(c, ULMOT_OBJ_ANTENNA, 0, 0); }},
        {"AttachProcessorByName", 1, false,
         [c](std::mt19937 &, std::string &) {
             return ulmot_AttachProcessorByName(c, UEMU_IO_PROCESSOR_NAME, ULMOT_OBJ_GPI, 0);
         }},
        {"GetInstanceCount", 1, false,
         [c](std::mt19937 &, std::string &wrong) {
             Session *s = ulmot_GetClientSession(c);
             if (s == nullptr) return -1;
             uint8_t n = 0;
             const int32_t r = ulmot_GetInstanceCount(s, ulmot_GetClientProcessorID(c), UEMU_READER_PROCESSOR_ID,
                                                      ULMOT_OBJ_ANTENNA, 1, &n);
             if (r == 0 && n != 4) wrong = "antenna instances " + std::to_string(n);
             return r;
         }},
        {"EventRegistration", 1, false,
         [c](std::mt19937 &, std::string &) {
             Session *s = ulmot_GetClientSession(c);
             if (s == nullptr) return -1;
             return ulmot_EventRegistration(s, ulmot_GetClientProcessorID(c), UEMU_READER_PROCESSOR_ID,
                                            ULMOT_OBJ_ANTENNA, 0, 1, 1);
         }},
        {"GetPropertyInt16", 1, false,
         [c](std::mt19937 &, std::string &) {
             uint16_t v = 0;
             return ulmot_GetPropertyInt16(c, ULMOT_OBJ_RADIO, 1, 4, &v);
         }},
        // Antennas and pairs.
        {"GetAntennaCount", 1, false,
         [c](std::mt19937 &, std::string &wrong) {
             uint8_t n = 0;
             const int32_t r = ulmot_GetAntennaCount(c, &n);
             if (r == 0 && n != 4) wrong = "antenna count " + std::to_string(n);
             return r;
         }},
        {"GetAntennaAttributes", 1, false,
         [c, pick](std::mt19937 &rng, std::string &wrong) {
             uint16_t maxPower = 0, minPower = 0, defaultPower = 0, length = 0;
             uint8_t list[8];
             const int32_t r = ulmot_GetAntennaAttributes(c, pick(rng, 1, 4), &maxPower, &minPower, &defaultPower,
                                                          list, sizeof list, &length);
             if (r == 0 && (maxPower != 315 || minPower != 100)) wrong = "antenna power limits";
             return r;
         }},
        {"GetAntennaPower", 1, false,
         [c, pair](std::mt19937 &, std::string &) {
             uint16_t power = 0;
             return ulmot_GetAntennaPower(c, pair, &power);
         }},
        {"AddAntennaPair+Remove", 2, false,
         [c, churn](std::mt19937 &, std::string &) {
             uint8_t i = 0;
             return churn(ULMOT_OBJ_ANTENNA_PAIR, ulmot_AddAntennaPair(c, &i, 3, 4, 250), i);
         }},
        // Inventory, selectors, filters, access, schedules.
        {"GetInventoryStats", 1, false,
         [c, flood](std::mt19937 &, std::string &) {
             return ulmot_GetInventoryStats(c, flood, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
         }},
        {"AddInventorySpecification+Remove", 2, false,
         [c, churn](std::mt19937 &, std::string &) {
             uint8_t i = 0;
             return churn(ULMOT_OBJ_INVENTORY,
                          ulmot_AddInventorySpecification(c, &i, 517, ULMOT_OBJ_ANTENNA, 1, 0, nullptr, 0), i);
         }},
        {"AddTagSelectorSpecification+Remove", 2, false,
         [c, churn](std::mt19937 &, std::string &) {
             const uint8_t epc = 0x30;
             TagFilter f{};
             ulmot_SetTagFilterC1G2(&f, 1, 32, 4, 0, 8, &epc, 0);
             TagFilter *filters[] = {&f};
             uint8_t i = 0;
             return churn(ULMOT_OBJ_TAG_SELECTOR, ulmot_AddTagSelectorSpecification(c, &i, filters, 1), i);
         }},
        {"AddTagFilterSpecification+Remove", 2, false,
         [c, churn](std::mt19937 &, std::string &) {
             const uint8_t epc[] = {0x30, 0x08};
             TagFilter f{};
             ulmot_SetTagFilterC1G2(&f, 1, 32, 4, 0, 16, epc, 0);
             const TagFilterElement elements[] = {{ULMOT_FILTER_ELEMENT_INT8, 1},
                                                  {ULMOT_FILTER_ELEMENT_TAG_FILTER, reinterpret_cast<uintptr_t>(&f)}};
             uint8_t i = 0;
             return churn(ULMOT_OBJ_TAG_FILTER, ulmot_AddTagFilterSpecification(c, &i, elements, 2), i);
         }},
        {"AddAccessSpecification+Remove", 2, false,
         [c, churn, idle](std::mt19937 &, std::string &) {
             uint8_t i = 0;
             const uint8_t inventories[] = {idle};
             return churn(ULMOT_OBJ_ACCESS,
                          ulmot_AddAccessSpecification(c, &i, inventories, 1, 1, 0, 0, UEMU_BANK_TID, 0, 0, nullptr,
                                                       0, nullptr, nullptr, 0, 0),
                          i);
         }},
        {"AddScheduleSpecification+Remove", 2, false,
         [c, churn, idle](std::mt19937 &, std::string &) {
             ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, idle};
             ScheduleEntry *entries[] = {&entry};
             uint8_t i = 0;
             return churn(ULMOT_OBJ_SCHEDULE, ulmot_AddScheduleSpecification(c, &i, entries, 1, 0, 0), i);
         }},
        {"SetSchedulePriority", 1, false,
         [c, schedule](std::mt19937 &, std::string &) { return ulmot_SetSchedulePriority(c, schedule, 0); }},
        {"StartScheduleSpecification (running)", 1, false,
         [c, schedule](std::mt19937 &, std::string &) { return ulmot_StartScheduleSpecification(c, schedule, 1); }},
        // Gen2.
        {"GetGen2ParmSetCount", 1, false,
         [c](std::mt19937 &, std::string &wrong) {
             uint8_t n = 0;
             const int32_t r = ulmot_GetGen2ParmSetCount(c, &n);
             if (r == 0 && n != 4) wrong = "parameter sets " + std::to_string(n);
             return r;
         }},
        {"GetGen2ParmSet", 1, false,
         [c, pick](std::mt19937 &rng, std::string &) {
             Gen2ParmSet set{};
             return ulmot_GetGen2ParmSet(c, pick(rng, 0, 3), &set);
         }},
        {"AddGen2ProtocolSpecification+Remove", 2, false,
         [c, churn](std::mt19937 &, std::string &) {
             ProtocolParameter session{1, 2};
             ProtocolParameter *const parameters[] = {&session};
             uint8_t i = 0;
             return churn(ULMOT_OBJ_GEN2_PROTOCOL, ulmot_AddGen2ProtocolSpecification(c, &i, parameters, 1, 1), i);
         }},
        // GPI and GPO.
        {"GetGPICount", 1, false,
         [c](std::mt19937 &, std::string &wrong) {
             uint8_t n = 0;
             const int32_t r = ulmot_GetGPICount(c, &n);
             if (r == 0 && n != 4) wrong = "GPI count " + std::to_string(n);
             return r;
         }},
        {"ReadGPI", 1, false,
         [c, pick](std::mt19937 &rng, std::string &) {
             uint8_t state = 0;
             return ulmot_ReadGPI(c, pick(rng, 1, 4), &state);
         }},
        {"GetGPIThreshold", 1, false,
         [c, pick](std::mt19937 &rng, std::string &) {
             uint8_t threshold = 0;
             return ulmot_GetGPIThreshold(c, pick(rng, 1, 4), &threshold);
         }},
        {"WriteGPO", 1, false,
         [c, pick](std::mt19937 &rng, std::string &) { return ulmot_WriteGPO(c, pick(rng, 1, 4), pick(rng, 0, 1)); }},
        {"ReadGPO", 1, false,
         [c, pick](std::mt19937 &rng, std::string &) {
             uint8_t state = 0;
             return ulmot_ReadGPO(c, pick(rng, 1, 4), &state);
         }},
        // Radio.
        {"GetRadioProperties", 1, false,
         [c](std::mt19937 &, std::string &wrong) {
             RadioProperties p{};
             const int32_t r = ulmot_GetRadioProperties(c, &p);
             if (r == 0 && (p.property9Length > ULMOT_RADIO_BYTES_MAX || p.property13Length > ULMOT_RADIO_BYTES_MAX)) {
                 wrong = "radio byte arrays too long";
             }
             return r;
         }},
        {"GetRadioSupportedCountryCode", 2, false,
         [c](std::mt19937 &, std::string &) {
             uint16_t code = 0;
             char text[UEMU_COUNTRY_TEXT_SIZE];
             return ulmot_GetRadioSupportedCountryCode(c, 0, &code, text);
         }},
        // Clock, versions, timestamp.
        {"GetVersion", 1, false,
         [c, config, pick](std::mt19937 &rng, std::string &wrong) {
             const uint8_t which = pick(rng, 0, 9);
             char text[ULMOT_VERSION_STRING_SIZE];
             const int32_t r = ulmot_GetVersion(c, which, text, sizeof text);
             if (r == 0 && std::strcmp(text, config->versions[which]) != 0) wrong = std::string("version ") + text;
             return r;
         }},
        {"GetRadioModel", 1, false,
         [c, config](std::mt19937 &, std::string &wrong) {
             uint16_t model = 0;
             const int32_t r = ulmot_GetRadioModel(c, &model);
             if (r == 0 && model != config->radioModel) wrong = "radio model " + std::to_string(model);
             return r;
         }},
        {"GetTimestamp", 1, false,
         [c](std::mt19937 &, std::string &) {
             uint32_t a = 0, b = 0;
             return ulmot_GetTimestamp(c, &a, &b);
         }},
        {"GetRTC", 1, false,
         [c](std::mt19937 &, std::string &) {
             uint8_t f[7];
             return ulmot_GetRTC(c, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]);
         }},
        // CTI (20 s time-out).
        {"CTIRequest", 1, true,
         [c, cti](std::mt19937 &rng, std::string &wrong) {
             uint8_t data[16];
             for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
             uint8_t response[64];
             uint16_t status = 0, length = sizeof response;
             const int32_t r = ulmot_CTIRequest(c, cti, UEMU_CTI_ECHO, data, sizeof data, &status, response, &length);
             if (r == 0 && status == UEMU_CTI_DONE &&
                 (length != sizeof data || std::memcmp(response, data, sizeof data) != 0)) {
                 wrong = "CTI echo differs";
             }
             return r;
         }},
        // Alarms, reset and RF survey registrations.
        {"AddNxpAlarmSpecification+Remove", 2, false,
         [c, churn, pair](std::mt19937 &, std::string &) {
             uint8_t i = 0;
             return churn(ULMOT_OBJ_NXP_ALARM, ulmot_AddNxpAlarmSpecification(c, &i, ULMOT_OBJ_ANTENNA_PAIR, pair), i);
         }},
        {"RegisterResetDone", 1, false,
         [c](std::mt19937 &, std::string &) { return ulmot_RegisterResetDone(c, nullptr, nullptr, 0); }},
        {"RegisterRFSurveyEvents", 1, false,
         [c](std::mt19937 &, std::string &) {
             return ulmot_RegisterRFSurveyEvents(c, nullptr, nullptr, nullptr, nullptr);
         }},
    };
}

void Soak::ApplicationThread(uint32_t seed) {
    std::mt19937 rng(seed);
    const std::vector<Operation> ops = Operations();
    std::uniform_int_distribution<size_t> which(0, ops.size() - 1);
    while (!stop_.load()) {
        const Operation &op = ops[which(rng)];
        std::string wrong;
        const auto start = Clock::now();
        const int32_t r = op.call(rng, wrong);
        const long long took = MsSince(start);
        const long long startMs = MsSince(begin_) - took;
        calls_.fetch_add(1);
        long long longest = longestMs_.load();
        while (took > longest && !longestMs_.compare_exchange_weak(longest, took)) {
        }
        const long long bound = op.requests * 2 * (op.cti ? kCtiTimeoutMs : kRequestTimeoutMs) + kMarginMs;
        if (took > bound) Complain(std::string(op.name) + " took " + std::to_string(took) + " ms (hang)");
        if (r == 0) {
            succeeded_.fetch_add(1);
        } else if (r == -1) {
            failed_.fetch_add(1);
        } else if (IsReaderCode(r)) {
            refused_.fetch_add(1);
            std::lock_guard<std::mutex> l(refusalsMu_);
            ++refusals_[std::string(op.name) + " " + std::to_string(r)];
        } else if (r == ULMOT_ERR_NOT_FOUND || r == ULMOT_ERR_BEYOND_END || r == ULMOT_ERR_BEFORE_START) {
            Suspect(startMs, std::string(op.name) + " returned " + std::to_string(r));
        } else {
            Complain(std::string(op.name) + " returned " + std::to_string(r));
        }
        if (!wrong.empty()) Suspect(startMs, std::string(op.name) + ": " + wrong);
        if (r == -1 && ulmot_GetClientSession(client_) == nullptr) {
            noSession_.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // reconnecting: do not spin
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 4));
    }
}

// The reader's side of the traffic besides tag reports and GPI changes:
// text log messages and IOCTL requests to the client.
void Soak::EventPump() {
    uint32_t n = 0;
    while (!stop_.load()) {
        uemu_Log(reader_, "soak: the reader says something");
        if (++n % 10 == 0) {
            const uint8_t request[] = {1, 2, 3, 4, 5};
            uint8_t response[16];
            uint16_t length = 0;
            uint8_t status = 0;
            ioctlSent_.fetch_add(1);
            if (uemu_SendIoctl(reader_, ulmot_GetClientProcessorID(client_), 100, request, sizeof request, response,
                               sizeof response, &length, &status, 2000) == UEMU_OK &&
                status == 0 && length == sizeof request && response[0] == 5) {
                ioctlAnswered_.fetch_add(1);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Samples the inbound queue's lost-message count of the client's session,
// and when the fault wrapper duplicated messages.
void Soak::WatchDroppedCounts() {
    uint32_t duplicated = 0;
    while (!stop_.load()) {
        utr_FaultStats out{}, in{};
        utr_FaultGetStats(fault_, UTR_OUTBOUND, &out);
        utr_FaultGetStats(fault_, UTR_INBOUND, &in);
        if (out.duplicated + in.duplicated != duplicated) {
            duplicated = out.duplicated + in.duplicated;
            std::lock_guard<std::mutex> l(droppedMu_);
            duplicateTimes_.push_back(MsSince(begin_));
        }
        Session *s = nullptr;
        {
            ulmot::plat::Lock l(client_->lock);
            s = client_->session;
            if (s != nullptr) ulmot::session::Retain(s);
        }
        if (s != nullptr) {
            const uint32_t d = ulmot::session::DroppedCount(s);
            {
                std::lock_guard<std::mutex> l(droppedMu_);
                uint32_t &kept = dropped_[{s, ulmot_GetClientProcessorID(client_)}];
                kept = std::max(kept, d);
            }
            ulmot::session::Release(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

long long Soak::AwaitWorking(Session *lost) {
    const auto start = Clock::now();
    while (MsSince(start) < kRecoveryMs) {
        Session *s = ulmot_GetClientSession(client_);
        uint8_t n = 0;
        if (s != nullptr && s != lost && ulmot_GetAntennaCount(client_, &n) == 0 && n == 4) return MsSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

// Scripts random message faults for `ms`.
void Soak::Chaos(std::mt19937 &rng, long long ms) {
    const auto start = Clock::now();
    auto in = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    while (MsSince(start) < ms && !HasFatalFailure()) {
        const uint32_t direction = in(0, 1) == 0 ? UTR_OUTBOUND : UTR_INBOUND;
        const uint32_t match = in(0, 3);
        switch (in(0, 6)) {
            case 0:
                utr_FaultDrop(fault_, direction, in(1, 3), match);
                ++injected_["drop"];
                break;
            case 1:
                // Beyond the response time-out: the request times out and its
                // response (or the request itself) arrives late.
                utr_FaultDelay(fault_, direction, in(1, 2), in(5200, 6500),
                               in(0, 1) == 0 ? UTR_MATCH_RESPONSE : UTR_MATCH_REQUEST);
                ++injected_["delay beyond the time-out"];
                break;
            case 2:
                utr_FaultDelay(fault_, direction, in(1, 5), in(10, 300), match);
                ++injected_["short delay"];
                break;
            case 3:
                utr_FaultDuplicate(fault_, direction, in(1, 3), match);
                ++injected_["duplicate"];
                break;
            case 4:
                utr_FaultReorder(fault_, direction, in(1, 3), match);
                ++injected_["reorder"];
                break;
            case 5:
                utr_FaultFailSends(fault_, in(1, 2), match);
                ++injected_["failed send"];
                break;
            default:
                utr_FaultFailReceives(fault_, in(1, 5), 0);
                ++injected_["short receive-failure burst"];
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(in(100, 350)));
    }
    utr_FaultClear(fault_);
}

TEST_F(Soak, FaultInjectionUnderLoad) {
    LogCapture log;
    std::printf("[soak] library log: %s\n", log.path().c_str());
    Prepare();
    if (HasFatalFailure()) return;
    const int seconds = SoakSeconds();
    for (uint32_t t = 0; t < 8; ++t) threads_.emplace_back([this, t] { ApplicationThread(1000 + t); });
    threads_.emplace_back([this] { EventPump(); });
    threads_.emplace_back([this] { WatchDroppedCounts(); });

    std::mt19937 rng(7);
    const auto start = Clock::now();
    const long long chaosMs = kSanitized ? 1500 : 2500;
    long long longestRecoveryMs = 0;
    for (uint32_t phase = 0; MsSince(start) < seconds * 1000LL && !HasFailure(); ++phase) {
        Chaos(rng, chaosMs);
        ASSERT_GE(AwaitWorking(nullptr), 0) << "no request succeeded after message faults (phase " << phase << ")";
        Session *before = ulmot_GetClientSession(client_);
        const uint8_t idBefore = ulmot_GetClientProcessorID(client_);
        bool ends = true;
        utr_FaultStats inbound{};
        utr_FaultGetStats(fault_, UTR_INBOUND, &inbound);
        switch (phase % 5) {
            case 0: {
                // 49 receive failures in a row, then messages: the session stays.
                utr_FaultFailReceives(fault_, 49, 0);
                ++injected_["receive-failure burst of 49"];
                ends = false;
                const auto burst = Clock::now();
                utr_FaultStats now{};
                do {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    utr_FaultGetStats(fault_, UTR_INBOUND, &now);
                } while (now.failed < inbound.failed + 49 && MsSince(burst) < 20000);
                break;
            }
            case 1:
                utr_FaultFailReceives(fault_, 50, 0);  // the 50th in a row ends the session
                ++injected_["receive-failure burst of 50"];
                break;
            case 2:
                ASSERT_EQ(uemu_DropLink(reader_, link_), UEMU_OK);
                std::this_thread::sleep_for(std::chrono::milliseconds(300 + rng() % 1200));
                ASSERT_EQ(uemu_RestoreLink(reader_, link_), UEMU_OK);
                ++injected_["link dropped by the reader"];
                break;
            case 3:
                utr_FaultTerminate(fault_);
                std::this_thread::sleep_for(std::chrono::milliseconds(300 + rng() % 1000));
                utr_FaultRestore(fault_);
                ++injected_["link terminated by the transport"];
                break;
            default:
                utr_MemoryLinkDown(pair_);
                std::this_thread::sleep_for(std::chrono::milliseconds(300 + rng() % 1000));
                utr_MemoryRestore(pair_);
                ++injected_["link down and restored"];
                break;
        }
        const long long recovered = AwaitWorking(ends ? before : nullptr);
        ASSERT_GE(recovered, 0) << "the client did not come back (phase " << phase << ")";
        longestRecoveryMs = std::max(longestRecoveryMs, recovered);
        if (ends) {
            EXPECT_NE(ulmot_GetClientProcessorID(client_), idBefore) << "a new registration after the loss";
            ++reconnections_;
            ASSERT_TRUE(RegisterEvents()) << "event registrations after reconnection " << reconnections_;
        } else {
            EXPECT_EQ(ulmot_GetClientSession(client_), before) << "49 failures in a row keep the session";
            EXPECT_EQ(ulmot_GetClientProcessorID(client_), idBefore);
            ++keptSessions_;
        }
    }
    const long long ranMs = MsSince(start);
    StopThreads();

    utr_FaultStats out{}, in{};
    utr_FaultGetStats(fault_, UTR_OUTBOUND, &out);
    utr_FaultGetStats(fault_, UTR_INBOUND, &in);
    uemu_SetGpiPattern(reader_, 1, nullptr, 0, 0);
    const auto destroyStart = Clock::now();
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    const long long destroyMs = MsSince(destroyStart);
    EXPECT_LT(destroyMs, 9000 + kMarginMs) << "destroy hung";
    uemu_Destroy(reader_);
    reader_ = nullptr;
    utr_FaultDestroy(fault_);
    fault_ = nullptr;
    // Messages still queued on the link belong to the pair until it goes.
    utr_MemoryPairDestroy(pair_);
    pair_ = nullptr;
    log.Restore();

    uint64_t queueDropped = 0;
    for (const auto &d : dropped_) queueDropped += d.second;
    int lost = 0;
    for (int p = 0; p < ulmot::pools::kPoolCount; ++p) {
        lost += static_cast<int>(ulmot::pools::kElementCount[p]) - static_cast<int>(ulmot::pools::FreeCount(p));
    }
    const auto lines = log.Count({"Response timeout", "Session terminated (unrequested", "receive failure",
                                  "No request waits", "No session (the client is reconnecting)"});
    auto line = [&](const char *k) { return lines.count(k) ? lines.at(k) : 0u; };
    std::printf("[soak] duration %.1f s (asked %d s)%s\n", static_cast<double>(ranMs) / 1000.0, seconds,
                kSanitized ? ", under a sanitizer" : "");
    std::printf("[soak] calls %llu: succeeded %llu, -1 %llu (of which %llu while reconnecting), reader refusals %llu; "
                "longest call %lld ms\n",
                static_cast<unsigned long long>(calls_.load()), static_cast<unsigned long long>(succeeded_.load()),
                static_cast<unsigned long long>(failed_.load()), static_cast<unsigned long long>(noSession_.load()),
                static_cast<unsigned long long>(refused_.load()), longestMs_.load());
    std::string refusals;
    for (const auto &[what, count] : refusals_) refusals += " " + what + ": " + std::to_string(count) + ";";
    std::printf("[soak] reader refusals by call and code:%s\n", refusals.c_str());
    JudgeSuspects();
    std::printf("[soak] response time-outs %llu, late or unmatched responses released %llu, "
                "calls answered by a duplicate of another request's response %llu\n",
                static_cast<unsigned long long>(line("Response timeout")),
                static_cast<unsigned long long>(line("No request waits")),
                static_cast<unsigned long long>(misanswered_));
    std::printf("[soak] reconnections %llu (sessions ended unrequested %llu), sessions kept through 49 failures %llu, "
                "longest recovery %lld ms\n",
                static_cast<unsigned long long>(reconnections_),
                static_cast<unsigned long long>(line("Session terminated (unrequested")),
                static_cast<unsigned long long>(keptSessions_), longestRecoveryMs);
    std::string scripted;
    for (const auto &[kind, count] : injected_) scripted += " " + kind + " " + std::to_string(count) + ";";
    std::printf("[soak] faults scripted:%s\n", scripted.c_str());
    std::printf("[soak] faults applied: dropped %u, delayed %u, duplicated %u, reordered %u, sends failed %u, "
                "receives failed %u, held messages discarded %u\n",
                out.dropped + in.dropped, out.delayed + in.delayed, out.duplicated + in.duplicated,
                out.reordered + in.reordered, out.failed, in.failed, out.discarded + in.discarded);
    std::printf("[soak] events delivered %llu (tag reports %llu, GPI %llu, text log %llu, schedule %llu, radio %llu, "
                "processors %llu); events dropped by a full queue %llu; IOCTL requests answered %llu of %llu\n",
                static_cast<unsigned long long>(events_.Total()), static_cast<unsigned long long>(events_.reports.load()),
                static_cast<unsigned long long>(events_.gpi.load()), static_cast<unsigned long long>(events_.textLog.load()),
                static_cast<unsigned long long>(events_.schedule.load()),
                static_cast<unsigned long long>(events_.radio.load()),
                static_cast<unsigned long long>(events_.processor.load()),
                static_cast<unsigned long long>(queueDropped), static_cast<unsigned long long>(ioctlAnswered_.load()),
                static_cast<unsigned long long>(ioctlSent_.load()));
    std::printf("[soak] destroy took %lld ms; pool elements lost: %d\n", destroyMs, lost);

    {
        std::lock_guard<std::mutex> l(complaintsMu_);
        for (const std::string &c : complaints_) ADD_FAILURE() << c;
        EXPECT_EQ(complaintCount_, 0u);
    }
    EXPECT_GT(succeeded_.load(), 0u);
    EXPECT_GT(events_.reports.load(), 0u) << "the flood reached the application";
    EXPECT_EQ(lost, 0);
}

}  // namespace
