// tools/gateway/feed.cpp - one reader of the gateway (feed.h).
#include "feed.h"

#include <cstdio>
#include <map>
#include <utility>

#include "iso_time.h"
#include "tag_access.h"

namespace gateway {

namespace {
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kTickMs = 10;
constexpr size_t kMaxBatchBytes = 256 * 1024;  // well under what brokers take by default
constexpr size_t kMaxBatchesInFlight = 16;     // more waits in the buffer
constexpr size_t kMaxPendingReads = 100000;    // between the callback and this feed's thread
constexpr uint32_t kStopWaitMs = 5000;
constexpr size_t kGapsKept = 10;
constexpr uint32_t kEmbeddedReceiveSliceMs = 10;

// A whole number of a command from 0 to `max`.
bool InRange(const json &value, int64_t max) {
    return value.is_number_integer() && value.get<int64_t>() >= 0 && value.get<int64_t>() <= max;
}

std::string ReasonText(uint8_t reason) {
    static const char *texts[] = {"stopped by a client", "duration elapsed", "read limit reached", "passes done",
                                  "distinct tag limit reached", "a schedule of higher priority started", "removed"};
    return reason < 7 ? texts[reason] : "reason " + std::to_string(reason);
}

}  // namespace

Feed::Feed(ReaderSpec spec, const Settings &settings, const BrokerOptions &broker)
    : spec_(std::move(spec)),
      settings_(settings),
      broker_(broker, "ulmot-gateway-" + spec_.id, "ulmot/" + spec_.id + "/status",
              json{{"state", "offline"}, {"reason", "the gateway went away"}}.dump()) {}

Feed::~Feed() {
    Stop();
    CloseReader();
}

bool Feed::Open(std::string *error, tools::CaptureFile *capture) {
    if (spec_.address.empty()) {
        uemu_Config config;
        uemu_ConfigInit(&config);
        config.tagCount = spec_.tags;
        config.tagSeed = spec_.seed;
        config.tagRate = spec_.rate;
        emulator_ = uemu_Create(&config);
        pair_ = emulator_ == nullptr ? nullptr : utr_MemoryPairCreate("gateway", "embedded-reader", 0);
        if (pair_ == nullptr) {
            *error = "cannot create the embedded reader";
            return false;
        }
        utr_MemorySetReceiveSlice(pair_, kEmbeddedReceiveSliceMs);
        uemu_Attach(emulator_, utr_MemoryEndpoint(pair_, UTR_SIDE_B), nullptr, nullptr);
        if (capture != nullptr) capture->Attach(utr_MemoryEndpoint(pair_, UTR_SIDE_A), spec_.id);
        if (ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "ulmot-gateway", &client_) != 0) {
            *error = "the embedded reader did not take the client";
            return false;
        }
    } else {
        socket_ = utr_SocketConnect(spec_.address.c_str(), 3000);
        if (socket_ == nullptr) {
            *error = "no reader at " + spec_.address + ": " + utr_SocketLastError();
            return false;
        }
        if (capture != nullptr) capture->Attach(socket_, spec_.id + " " + spec_.address);
        if (const int32_t r = ulmot_CreateClientProcessor(socket_, "ulmot-gateway", &client_); r != 0) {
            *error = "connected to " + spec_.address + ", but no reader answered the registration (" +
                     std::to_string(r) + ")";
            return false;
        }
    }
    for (uint32_t type : {ULMOT_OBJ_GPI, ULMOT_OBJ_GPO, ULMOT_OBJ_RADIO, ULMOT_OBJ_TEXT_LOG, ULMOT_OBJ_VERSION,
                          ULMOT_OBJ_ANTENNA}) {
        ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0);
    }
    ulmot_GetGPICount(client_, &gpi_);
    for (uint8_t n = 1; n <= gpi_; ++n) ulmot_RegisterGPIEvent(client_, n, OnGpi, this, 1);
    ulmot_RegisterTextLogMessage(client_, OnText, this, 1);
    ulmot_RegisterRadioEvents(client_, OnChannel, nullptr, OnRadioState, nullptr, this);

    inventory_ = std::make_unique<tools::KeptInventory>(client_, spec_.plan, kMaxPendingReads);
    inventory_->ObserveSchedule([this](bool stop, uint32_t timestamp, uint8_t reason) {
        json e{{"event", stop ? "schedule stopped" : "schedule started"}, {"timestamp", timestamp}};
        if (stop) e["reason"] = ReasonText(reason);
        Event(std::move(e));
    });
    std::string what;
    if (const int32_t r = inventory_->Start(&what); r != 0) {
        *error = what + ": result " + std::to_string(r);
        return false;
    }
    running_ = true;
    broker_.Subscribe(Topic("cmd"));
    if (!broker_.Start(error)) {
        inventory_->Stop(kStopWaitMs);
        running_ = false;
        return false;
    }
    return true;
}

void Feed::Launch() { thread_ = std::thread([this] { Run(); }); }

void Feed::Run() {
    while (!stop_) {
        Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
}

void Feed::Tick() {
    Watch();
    Intake();
    for (const Message &m : broker_.TakeMessages()) Command(m);
    const bool connected = broker_.Connected();
    if (connected && !wasConnected_) {
        PublishStatus("online");  // on every (re)connection: the Last Will may have said offline
    } else if (connected && (overflowed_ != counted_ ||
                             Clock::now() - lastStatus_ > std::chrono::milliseconds(settings_.statusEveryMs))) {
        PublishStatus("online");
    }
    wasConnected_ = connected;
    PublishEvents();
    PublishReads();
}

void Feed::Watch() {
    if (!running_) return;
    std::string what;
    switch (inventory_->Watch(&what)) {
    case tools::KeptInventory::Change::kLinkLost:
        Event(json{{"event", "reader link lost"}, {"time", tools::IsoTime(inventory_->LastGap().from)}});
        PublishStatus("online");
        break;
    case tools::KeptInventory::Change::kResumed: {
        const tools::Gap gap = inventory_->LastGap();
        json g{{"from", tools::IsoTime(gap.from)}, {"to", tools::IsoTime(gap.to)}, {"lost", inventory_->Lost()}};
        gaps_.push_back(g);
        if (gaps_.size() > kGapsKept) gaps_.erase(gaps_.begin());
        // The events of the reader's own lines are registered again on the new session.
        for (uint8_t n = 1; n <= gpi_; ++n) ulmot_RegisterGPIEvent(client_, n, OnGpi, this, 1);
        ulmot_RegisterTextLogMessage(client_, OnText, this, 1);
        ulmot_RegisterRadioEvents(client_, OnChannel, nullptr, OnRadioState, nullptr, this);
        Event(json{{"event", "reader link resumed"}, {"gap", g}});
        PublishStatus("online");
        break;
    }
    case tools::KeptInventory::Change::kResumeFailed:
        Event(json{{"event", "resume failed"}, {"error", what}});
        break;
    case tools::KeptInventory::Change::kNone: break;
    }
}

void Feed::Intake() {
    if (!inventory_) return;
    for (const tools::TagRead &r : inventory_->Take()) {
        const std::string epc = tools::Hex(r.epc, r.epcLength);
        char pc[8];
        std::snprintf(pc, sizeof pc, "%04X", r.pc);
        json read{{"epc", epc},       {"pc", pc},           {"antenna", r.antenna},
                  {"rssi", r.rssi / 10.0}, {"unit", "dBm"},   {"channel", r.channel},
                  {"phase", r.phase}, {"round", r.round},   {"seq", r.sequence},
                  {"timestamp", r.timestamp}, {"time", tools::IsoTime(r.seenWall)}, {"count", ++counts_[epc]}};
        if (buffer_.size() >= settings_.buffer) {
            // Full while the broker is away: the oldest read goes, counted.
            buffer_.pop_front();
            ++overflowed_;
        }
        buffer_.push_back(read.dump());
    }
}

void Feed::PublishReads() {
    while (broker_.Connected() && !buffer_.empty() && broker_.InFlight() < kMaxBatchesInFlight) {
        std::string payload = "{\"reader\":" + json(spec_.id).dump() + ",\"reads\":[";
        size_t count = 0;
        while (count < buffer_.size() && count < settings_.batch &&
               (count == 0 || payload.size() + buffer_[count].size() + 2 < kMaxBatchBytes)) {
            if (count != 0) payload += ',';
            payload += buffer_[count];
            ++count;
        }
        payload += "]}";
        if (!broker_.Publish(Topic("reads"), payload, settings_.qos, false, count)) return;
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    }
}

void Feed::Event(json event) { events_.Push(std::move(event)); }

void Feed::PublishEvents() {
    if (!broker_.Connected()) return;
    for (json &e : events_.Take()) {
        if (!e.contains("time")) e["time"] = tools::IsoTime(std::chrono::system_clock::now());
        broker_.Publish(Topic("events"), e.dump(), settings_.qos, false);
    }
}

void Feed::PublishStatus(const char *state) {
    lastStatus_ = Clock::now();
    const uint64_t dropped = overflowed_ + (inventory_ ? inventory_->Dropped() : 0);
    json status{{"state", state},
                {"reader", spec_.address.empty() ? "embedded" : spec_.address},
                {"link", inventory_ && inventory_->LinkUp() ? "up" : "down"},
                {"inventory", running_ ? "running" : "stopped"},
                {"published", broker_.Delivered()},
                {"buffered", buffer_.size()},
                {"dropped", dropped},
                {"lost", inventory_ ? inventory_->Lost() : 0},
                {"resumes", inventory_ ? inventory_->Resumes() : 0},
                {"gaps", gaps_},
                {"time", tools::IsoTime(std::chrono::system_clock::now())}};
    if (broker_.Publish(Topic("status"), status.dump(), 1, true)) counted_ = overflowed_;
}

void Feed::Command(const Message &message) {
    json answer;
    json request = json::parse(message.payload, nullptr, false);
    if (request.is_discarded() || !request.is_object()) {
        answer = {{"id", nullptr}, {"result", -5}, {"error", "the command is not a JSON object"}};
    } else if (!request.contains("id")) {
        answer = {{"id", nullptr}, {"result", -5}, {"error", "the command has no \"id\""}};
    } else if (!request.contains("command") || !request["command"].is_string()) {
        answer = {{"id", request["id"]}, {"result", -5}, {"error", "the command has no \"command\" string"}};
    } else {
        const std::string command = request["command"];
        answer = Execute(command, request);
        answer["id"] = request["id"];
        answer["command"] = command;
    }
    broker_.Publish(Topic("resp"), answer.dump(), 1, false);
}

json Feed::Execute(const std::string &command, const json &request) {
    auto refused = [](int32_t result, const std::string &error) { return json{{"result", result}, {"error", error}}; };
    if (command == "start") {
        if (running_) return refused(-5, "the inventory runs already");
        std::string what;
        if (const int32_t r = inventory_->Start(&what); r != 0) return refused(r, what);
        running_ = true;
        return json{{"result", 0}};
    }
    if (command == "stop") {
        if (!running_) return refused(-5, "the inventory is not running");
        inventory_->Stop(kStopWaitMs);
        running_ = false;
        Intake();
        return json{{"result", 0}};
    }
    if (command == "info") return Info();
    if (command == "gpo") {
        const json line = request.value("line", json()), state = request.value("state", json());
        if (!InRange(line, 255) || line.get<int64_t>() < 1 || !InRange(state, 1)) {
            return refused(-5, "gpo needs \"line\" (1 to 255) and \"state\" (0 or 1)");
        }
        const auto n = static_cast<uint8_t>(line.get<int64_t>());
        if (const int32_t r = ulmot_WriteGPO(client_, n, static_cast<uint8_t>(state.get<int64_t>())); r != 0) {
            return refused(r, "writing output " + std::to_string(n));
        }
        uint8_t now = 0;
        const int32_t r = ulmot_ReadGPO(client_, n, &now);
        return json{{"result", r}, {"data", {{"line", n}, {"state", now}}}};
    }
    if (command == "read") return Read(request);
    return refused(-5, "unknown command '" + command + "' (start, stop, info, read, gpo)");
}

// A memory bank of the tags whose EPC starts with "epc". The reader runs one
// schedule at a time: the inventory pauses for the access run.
json Feed::Read(const json &request) {
    const json epc = request.value("epc", json()), bank = request.value("bank", json("tid"));
    const json offset = request.value("offset", json(0)), words = request.value("words", json(0));
    static const std::map<std::string, uint8_t> kBanks = {{"reserved", 0}, {"epc", 1}, {"tid", 2}, {"user", 3}};
    tools::AccessRequest q;
    std::string digits = epc.is_string() ? epc.get<std::string>() : "";
    const bool hex = !digits.empty() && digits.size() <= 124 &&
                     digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!hex || !bank.is_string() || kBanks.count(bank.get<std::string>()) == 0 || !InRange(offset, 0xFFFF) ||
        !InRange(words, 255)) {
        return json{{"result", -5},
                    {"error", "read needs \"epc\" (hex digits), and takes \"bank\" (reserved, epc, tid, user), "
                              "\"offset\" (0 to 65535) and \"words\" (0 to 255)"}};
    }
    for (size_t i = 0; i < digits.size(); ++i) {
        const auto nibble = static_cast<uint8_t>(std::stoi(digits.substr(i, 1), nullptr, 16));
        if (i % 2 == 0) q.epc.push_back(static_cast<uint8_t>(nibble << 4));
        else q.epc.back() = static_cast<uint8_t>(q.epc.back() | nibble);
    }
    q.epcBits = static_cast<uint32_t>(digits.size() * 4);
    q.bank = kBanks.at(bank.get<std::string>());
    q.offset = static_cast<uint32_t>(offset.get<int64_t>());
    q.words = static_cast<uint8_t>(words.get<int64_t>());
    const bool resume = running_;
    if (resume) {
        inventory_->Stop(kStopWaitMs);
        running_ = false;
        Intake();
    }
    std::vector<tools::AccessResult> results;
    std::string what;
    int32_t r = tools::RunAccess(client_, access_, q, &results, &what);
    json answer{{"result", r}};
    if (r != 0) answer["error"] = r == tools::kAccessTimedOut ? "the reader did not end the run in time" : what;
    json tags = json::array();
    for (const tools::AccessResult &t : results) {
        json tag{{"epc", t.epc}, {"antenna", t.antenna}};
        if (t.success) tag["data"] = tools::Hex(t.data.data(), t.data.size());
        else tag.update({{"error", t.code}, {"error_text", tools::TagErrorText(t.code)}});
        tags.push_back(tag);
    }
    answer["data"] = {{"tags", tags}};
    if (resume) {
        std::string why;
        if (inventory_->Start(&why) == 0) running_ = true;
        else Event(json{{"event", "inventory not restarted after the read"}, {"error", why}});
    }
    return answer;
}

json Feed::Info() {
    json versions = json::array();
    for (uint32_t i = 0; i < ULMOT_VERSION_STRINGS; ++i) {
        char text[ULMOT_VERSION_STRING_SIZE] = {};
        if (const int32_t r = ulmot_GetVersion(client_, i, text, sizeof text); r != 0) {
            return json{{"result", r}, {"error", "reading version string " + std::to_string(i)}};
        }
        versions.push_back(text);
    }
    uint8_t antennas = 0, gpo = 0;
    const int32_t r = ulmot_GetAntennaCount(client_, &antennas) | ulmot_GetGPOCount(client_, &gpo);
    return json{{"result", r},
                {"data", {{"versions", versions}, {"antennas", antennas}, {"gpi", gpi_}, {"gpo", gpo}}}};
}

void Feed::OnGpi(void *context, uint32_t timestamp, uint8_t line, uint8_t state) {
    static_cast<Feed *>(context)->Event(
        json{{"event", "gpi"}, {"line", line}, {"state", state}, {"timestamp", timestamp}});
}

void Feed::OnText(void *context, uint32_t timestamp, const char *text) {
    static_cast<Feed *>(context)->Event(json{{"event", "log"}, {"text", text}, {"timestamp", timestamp}});
}

void Feed::OnRadioState(void *context, uint32_t timestamp, uint8_t state) {
    static_cast<Feed *>(context)->Event(json{{"event", "radio state"}, {"state", state}, {"timestamp", timestamp}});
}

void Feed::OnChannel(void *context, uint32_t timestamp, uint8_t channel) {
    static_cast<Feed *>(context)->Event(json{{"event", "radio channel"}, {"channel", channel}, {"timestamp", timestamp}});
}

void Feed::Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    if (running_ && inventory_) inventory_->Stop(kStopWaitMs);
    running_ = false;
    Intake();
    if (client_ != nullptr && LinkUp()) {
        for (uint8_t n = 1; n <= gpi_; ++n) ulmot_RegisterGPIEvent(client_, n, nullptr, nullptr, 0);
        ulmot_RegisterTextLogMessage(client_, nullptr, nullptr, 0);
        ulmot_RegisterRadioEvents(client_, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    // What the broker takes within the flush time, then "offline".
    const auto until = Clock::now() + std::chrono::milliseconds(settings_.flushMs);
    while (broker_.Connected() && (!buffer_.empty() || broker_.InFlight() != 0) && Clock::now() < until) {
        PublishEvents();
        PublishReads();
        std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
    PublishEvents();
    if (broker_.Connected()) PublishStatus("offline");
    const auto left = until > Clock::now() ? std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                                           : std::chrono::milliseconds(200);
    broker_.Close(static_cast<uint32_t>(std::max<int64_t>(left.count(), 200)));
}

void Feed::CloseReader() {
    // The client first: its destruction waits for a callback that still runs.
    if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    inventory_.reset();
    if (emulator_ != nullptr) uemu_Destroy(emulator_);
    emulator_ = nullptr;
    if (pair_ != nullptr) utr_MemoryPairDestroy(pair_);
    pair_ = nullptr;
    if (socket_ != nullptr) utr_SocketDestroy(socket_);
    socket_ = nullptr;
}

}  // namespace gateway
