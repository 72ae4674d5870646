// tools/gateway/feed.h - one reader of the gateway: its client (the embedded
// emulated reader, or a reader at an address), its kept inventory, its MQTT
// connection, the bounded buffer of reads waiting for the broker, and its
// commands. Each feed runs on a thread of its own.
//
// Topics, under ulmot/<id>/: reads (batches of reads), events (link,
// schedule, GPI, radio and log events), status (retained; "offline" is also
// the connection's Last Will), cmd (commands, subscribed) and resp (answers).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "broker.h"
#include "inbox.h"
#include "capture_file.h"
#include "kept_inventory.h"
#include "tag_access.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace gateway {

struct ReaderSpec {
    std::string id;
    std::string address;  // tcp:HOST:PORT or unix:PATH; empty: the embedded emulated reader
    tools::InventoryPlan plan;
    uint32_t tags = 50, seed = 1, rate = 500;  // the embedded reader's tag field
};

struct Settings {
    int qos = 1;
    uint32_t batch = 500;       // reads in one message at most
    uint32_t buffer = 100000;   // reads waiting for the broker at most
    uint32_t flushMs = 5000;    // at the end, for the broker to take what waits
    uint32_t statusEveryMs = 10000;
};

class Feed {
public:
    Feed(ReaderSpec spec, const Settings &settings, const BrokerOptions &broker);
    ~Feed();
    Feed(const Feed &) = delete;
    Feed &operator=(const Feed &) = delete;

    // Connects to the reader and the broker and starts the inventory. False
    // with *error when the reader cannot be reached or refuses the run. With
    // a `capture`, the link to the reader records there as this reader's id.
    bool Open(std::string *error, tools::CaptureFile *capture = nullptr);
    // Runs the feed on its own thread until Stop().
    void Launch();
    // Ends the thread, the inventory (its objects removed), flushes what the
    // broker takes within the flush time, publishes "offline" and closes.
    void Stop();
    // Why the broker refused this feed's connection ("" while it has not).
    std::string Refused() const { return broker_.Refused(); }
    const std::string &id() const { return spec_.id; }

private:
    void Run();
    void Tick();
    void Watch();
    void Intake();
    void PublishReads();
    void PublishEvents();
    void PublishStatus(const char *state);
    void Command(const Message &message);
    nlohmann::json Execute(const std::string &command, const nlohmann::json &request);
    nlohmann::json Info();
    nlohmann::json Read(const nlohmann::json &request);
    void Event(nlohmann::json event);
    std::string Topic(const char *leaf) const { return "ulmot/" + spec_.id + "/" + leaf; }
    bool LinkUp() const { return client_ != nullptr && ulmot_GetClientSession(client_) != nullptr; }
    void CloseReader();
    static void OnGpi(void *context, uint32_t timestamp, uint8_t line, uint8_t state);
    static void OnText(void *context, uint32_t timestamp, const char *text);
    static void OnRadioState(void *context, uint32_t timestamp, uint8_t state);
    static void OnChannel(void *context, uint32_t timestamp, uint8_t channel);

    const ReaderSpec spec_;
    const Settings settings_;
    Broker broker_;
    tools::Inbox<nlohmann::json> events_{10000};  // from the callbacks
    uemu_Reader *emulator_ = nullptr;
    utr_MemoryPair *pair_ = nullptr;
    Transport *socket_ = nullptr;
    ClientProcessor *client_ = nullptr;
    std::unique_ptr<tools::KeptInventory> inventory_;
    tools::AccessShared access_;  // outlives the client with the feed
    bool running_ = false;  // the inventory runs (a stop command ends it)
    uint8_t gpi_ = 0;

    std::map<std::string, uint64_t> counts_;  // reads of each EPC so far
    std::deque<std::string> buffer_;  // reads as JSON, oldest first, waiting for the broker
    uint64_t overflowed_ = 0;         // reads dropped from the buffer's front when it was full
    uint64_t counted_ = 0;            // overflow last published in the status
    bool wasConnected_ = false;
    std::vector<nlohmann::json> gaps_;  // the link's gaps, the last ten
    std::chrono::steady_clock::time_point lastStatus_;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace gateway
