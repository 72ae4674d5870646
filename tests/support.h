// tests/support.h - what the suites share.
//
// Every test that touches blocks derives from PoolTest: a leaked or doubly
// released block fails the test that did it. The far end of a link is
// played at three levels: a Peer sends and receives raw frames under a
// session (SessionTest); a ScriptedReader registers a client and hands the
// test every other request (ClientTest); the emulated reader serves clients
// of the library (ReaderTest). One Recorder keeps what callbacks were given.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "buffers/pools.h"
#include "uemu.h"
#include "ulmot.h"
#include "utr.h"

namespace ulmot::test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using testing::HasSubstr;

inline long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// How much longer than on the build machine a test waits for what must
// come: ULMOT_TEST_TIME_SCALE, a whole number, 1 when unset. `make
// cross-test` sets it for the suites it runs under qemu-user, where the code
// runs several times slower while the library's own time-outs (5,000 ms for
// a response, 20 s for CTI) stay what they are. It stretches the waits of
// this file and the tests' hang bounds, never a bound that is checked
// against one of the library's time-outs.
inline int TimeScale() {
    static const int scale = [] {
        const char *text = std::getenv("ULMOT_TEST_TIME_SCALE");
        const int n = text != nullptr ? std::atoi(text) : 1;
        return n >= 1 ? n : 1;
    }();
    return scale;
}
inline long long Scaled(long long ms) { return ms * TimeScale(); }

// Polls `done` until it holds; false after `ms`, scaled (a generous bound,
// never a pace the test relies on).
inline bool WaitUntil(const std::function<bool()> &done, int ms = 5000) {
    const auto start = Clock::now();
    while (!done()) {
        if (MsSince(start) > Scaled(ms)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- bytes ------------------------------------------------------------------

// Appends byte by byte (vector::insert trips false warnings of GCC 12).
inline void Append(Bytes &to, const Bytes &more) {
    for (uint8_t v : more) to.push_back(v);
}

inline void PutBe(Bytes &out, uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// printf into a std::string.
template <typename... Args>
std::string Format(const char *format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

// "AA BB"; "null" for a null pointer.
inline std::string Hex(const uint8_t *data, size_t length) {
    if (data == nullptr) return "null";
    std::string s;
    for (size_t i = 0; i < length; ++i) s += Format("%s%02X", i ? " " : "", data[i]);
    return s;
}
inline std::string Hex(const Bytes &b) { return Hex(b.data(), b.size()); }

// Items as literal bytes, written here independently of the library's writers.
inline Bytes Head(uint8_t id, uint8_t type) {
    if (id >= 15) return {static_cast<uint8_t>(0xF0 | type), id};
    return {static_cast<uint8_t>(id << 4 | type)};
}
// An item of type 0 to 3: the head, then `width` bytes of `value`.
inline Bytes Fixed(uint8_t id, uint8_t type, uint32_t value, int width) {
    Bytes b = Head(id, type);
    PutBe(b, value, width);
    return b;
}
inline Bytes I8(uint8_t id, uint8_t v) { return Fixed(id, 0, v, 1); }
inline Bytes I16(uint8_t id, uint16_t v) { return Fixed(id, 1, v, 2); }
inline Bytes I32(uint8_t id, uint32_t v) { return Fixed(id, 2, v, 4); }
inline Bytes Ref(uint8_t id, uint8_t type, uint8_t instance) { return Fixed(id, 3, uint32_t{type} << 8 | instance, 2); }
// An item of type 4 and up: the 16-bit length, then the value.
inline Bytes Sized(uint8_t id, uint8_t type, const Bytes &value) {
    Bytes b = Head(id, type);
    PutBe(b, static_cast<uint32_t>(value.size()), 2);
    Append(b, value);
    return b;
}
inline Bytes Array(uint8_t id, const Bytes &value) { return Sized(id, 4, value); }
// A list item: the count byte, then the elements one after the other.
inline Bytes List(uint8_t id, const std::vector<Bytes> &elements) {
    Bytes value = {static_cast<uint8_t>(elements.size())};
    for (const Bytes &e : elements) Append(value, e);
    return Sized(id, 5, value);
}
inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) Append(all, p);
    return all;
}
// The result item (Int16 255) followed by `more`.
inline Bytes ResultBody(int16_t result, const Bytes &more = {}) {
    return Concat({I16(255, static_cast<uint16_t>(result)), more});
}
// The time stamp item (Int32 254) followed by `more`.
inline Bytes TimestampBody(uint32_t value, const Bytes &more = {}) { return Concat({I32(254, value), more}); }

// ---- blocks and pools ------------------------------------------------------

inline std::string PoolCounts() {
    std::string s;
    for (int p = 0; p < pools::kPoolCount; ++p) {
        s += Format("pool %d: %u/%u  ", p, pools::FreeCount(p), pools::kElementCount[p]);
    }
    return s;
}

class PoolTest : public testing::Test {
protected:
    void SetUp() override {
        streams_buf_init();
        ASSERT_TRUE(pools::AllPoolsFull()) << "blocks outstanding before the test: " << PoolCounts();
    }
    void TearDown() override {
        EXPECT_TRUE(pools::AllPoolsFull()) << "blocks leaked by the test: " << PoolCounts();
    }
};

// A pool block released when it goes out of scope, so a failed ASSERT leaks nothing.
using Block = std::unique_ptr<MessageBlock, decltype(&freemsg)>;
inline Block Own(MessageBlock *b) { return Block(b, &freemsg); }

// A block holding exactly `bytes`, with `headRoom` bytes in front.
inline MessageBlock *BlockWith(const Bytes &bytes, uint32_t headRoom = 8) {
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(bytes.size()) + headRoom, headRoom);
    for (uint8_t v : bytes) *b->writePtr++ = v;
    return b;
}

inline Bytes DataOf(const MessageBlock *b) { return Bytes(b->readPtr, b->writePtr); }

// ---- the library's log -----------------------------------------------------

// The message of one captured ulmot_Debug line ("[thread:ms]message\n"),
// after checking its form.
inline std::string DebugMessage(const std::string &line) {
    const std::string bad = "<not one debug line: " + line + ">";
    const size_t colon = line.find(':'), close = line.find(']');
    if (line.empty() || line[0] != '[' || colon == std::string::npos || close == std::string::npos ||
        colon < 2 || close < colon + 2 || line.back() != '\n' || line.find('\n') != line.size() - 1) {
        return bad;
    }
    auto digits = [&](size_t from, size_t to) {
        return std::all_of(line.begin() + static_cast<long>(from), line.begin() + static_cast<long>(to),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(1, colon) || !digits(colon + 1, close)) return bad;
    return line.substr(close + 1, line.size() - close - 2);
}

// Captures what the library writes to stderr from construction to Lines().
class LogCapture {
public:
    LogCapture() { testing::internal::CaptureStderr(); }
    ~LogCapture() {
        if (!taken_) testing::internal::GetCapturedStderr();
    }
    // Every line, message part only, in order.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        const std::string all = Text();
        for (size_t start = 0; start < all.size();) {
            const size_t end = all.find('\n', start);
            const size_t stop = end == std::string::npos ? all.size() : end + 1;
            lines.push_back(DebugMessage(all.substr(start, stop - start)));
            start = stop;
        }
        return lines;
    }
    // The raw text (once).
    std::string Text() {
        if (!taken_) text_ = testing::internal::GetCapturedStderr();
        taken_ = true;
        return text_;
    }

private:
    bool taken_ = false;
    std::string text_;
};

// ---- a recorder of callbacks -------------------------------------------------

// Lines of text, one per callback, across threads, in order.
class Recorder {
public:
    void Add(std::string line) {
        std::lock_guard<std::mutex> l(m_);
        lines_.push_back(std::move(line));
        cv_.notify_all();
    }
    // Waits until at least `count` lines are there (for `ms`, scaled); what
    // is there by then.
    std::vector<std::string> WaitFor(size_t count, int ms = 5000) {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait_for(l, std::chrono::milliseconds(Scaled(ms)), [&] { return lines_.size() >= count; });
        return lines_;
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> l(m_);
        std::vector<std::string> out;
        out.swap(lines_);
        return out;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

inline Recorder &Of(void *context) { return *static_cast<Recorder *>(context); }

// ---- a session's far end, byte by byte -------------------------------------

// A message as the far end builds it: header fields and a literal body.
struct Frame {
    uint8_t destination = 0;
    uint8_t source = 0;
    uint8_t type = ULMOT_MSG_RESPONSE;
    uint8_t id = 0;
    uint8_t command = 0;
    uint8_t objectType = 0;
    uint8_t instance = 0;
    Bytes body;
    int extraBytes = 0;  // bytes after the declared body

    Bytes Wire() const {
        Bytes w = {destination, source, static_cast<uint8_t>(type << 6 | (id & 63)), command, objectType, instance};
        PutBe(w, static_cast<uint32_t>(body.size()), 2);
        Append(w, body);
        for (int i = 0; i < extraBytes; ++i) w.push_back(0xEE);
        return w;
    }
};

// The far end of an in-memory pair.
class Peer {
public:
    // A strict peer fails the test when a send is refused; a lenient one (a
    // reader playing along while a test drops the link) does not.
    explicit Peer(Transport *endpoint, bool strict = true) : t_(endpoint), strict_(strict) {}

    // The next message the other side sent; empty when nothing came within
    // `ms`, scaled (a pair's receive slice may end one receive sooner).
    Bytes Receive(uint32_t ms = 6000) {
        const auto timeoutMs = static_cast<uint32_t>(Scaled(ms));
        const auto start = Clock::now();
        MessageBlock *b = nullptr;
        int32_t r = ULMOT_TRANSPORT_TIMEOUT;
        while (r == ULMOT_TRANSPORT_TIMEOUT && MsSince(start) <= timeoutMs) r = t_->receive(t_, &b, timeoutMs);
        if (r != 0) return {};
        Bytes bytes = DataOf(b);
        freemsg(b);
        return bytes;
    }
    void Send(const Frame &f) { SendBytes(f.Wire()); }
    void SendBytes(const Bytes &w) {
        const int32_t sent = t_->send(t_, BlockWith(w, 0), 0);
        if (strict_) {
            EXPECT_EQ(sent, 0);
        }
    }
    // Answers `request` (bytes as received) with `body`.
    void Respond(const Bytes &request, Bytes body, uint8_t instance = 0) {
        Send({.destination = request[ULMOT_HEADER_SOURCE],
              .source = request[ULMOT_HEADER_DESTINATION],
              .id = static_cast<uint8_t>(request[ULMOT_HEADER_TYPE_ID] & 63),
              .command = request[ULMOT_HEADER_COMMAND],
              .objectType = request[ULMOT_HEADER_OBJECT_TYPE],
              .instance = instance,
              .body = std::move(body)});
    }
    void SendEvent(uint8_t objectType, uint8_t eventType, Bytes body, uint8_t instance = 0, uint8_t destination = 0) {
        Send({.destination = destination,
              .type = ULMOT_MSG_EVENT,
              .command = eventType,
              .objectType = objectType,
              .instance = instance,
              .body = std::move(body)});
    }

private:
    Transport *t_;
    bool strict_;
};

// Sends a request from a thread of its own and keeps its outcome.
struct AsyncRequest {
    std::atomic<int32_t> result{12345};
    std::atomic<bool> done{false};
    MessageBlock *response = nullptr;
    uint8_t instance = 0;
    long long elapsedMs = 0;
    std::thread thread;

    void Start(Session *s, uint8_t source, uint8_t destination, uint32_t objectType, uint8_t command,
               bool wantResponse = false) {
        thread = std::thread([=, this] {
            const auto start = Clock::now();
            MessageBlock *body = ulmot_BufferAllocate(64, ULMOT_HEADER_SIZE);
            ulmot_BufferWriteDTPInt8(body, 1, 0);
            result = ulmot_SendSessionMessage(s, ULMOT_MSG_REQUEST, source, destination, 0, objectType, command, 0,
                                              body, wantResponse ? &response : nullptr, &instance);
            elapsedMs = MsSince(start);
            done = true;
        });
    }
    void Join() {
        if (thread.joinable()) thread.join();
        if (response != nullptr) freemsg(response);
        response = nullptr;
    }
    ~AsyncRequest() { Join(); }
};

// Sends `count` requests at once, then answers them: their message ids (the
// slots they took), sorted; each must succeed.
inline std::vector<int> AllAtOnce(Session *s, Peer &peer, size_t count) {
    std::vector<AsyncRequest> r(count);
    std::vector<int> ids;
    std::vector<Bytes> sent;
    for (auto &one : r) one.Start(s, 1, 0, 8, 0), sent.push_back(peer.Receive());
    for (const Bytes &m : sent) {
        if (!m.empty()) ids.push_back(m[ULMOT_HEADER_TYPE_ID]), peer.Respond(m, ResultBody(0));
    }
    for (auto &one : r) one.Join();
    for (auto &one : r) EXPECT_EQ(one.result.load(), 0);
    std::sort(ids.begin(), ids.end());
    return ids;
}

// A pair whose receives return at least every 10 ms, so destroying the
// session over it does not wait out an 800 ms receive.
inline utr_MemoryPair *QuickPair(const std::string &name) {
    utr_MemoryPair *pair = utr_MemoryPairCreate((name + "-near").c_str(), (name + "-far").c_str(), 0);
    if (pair != nullptr) utr_MemorySetReceiveSlice(pair, 10);
    return pair;
}

// A session over an in-memory pair; the test plays the far end.
class SessionTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = QuickPair("session");
        ASSERT_NE(pair_, nullptr);
        session_ = ulmot_CreateSession(utr_MemoryEndpoint(pair_, UTR_SIDE_A), 5);
        ASSERT_NE(session_, nullptr);
        peer_ = std::make_unique<Peer>(utr_MemoryEndpoint(pair_, UTR_SIDE_B));
    }
    void TearDown() override {
        if (session_ != nullptr) ulmot_DestroySession(session_);
        peer_.reset();
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    utr_MemoryPair *pair_ = nullptr;
    Session *session_ = nullptr;
    std::unique_ptr<Peer> peer_;
};

// ---- a scripted reader under a client ----------------------------------------

// Answers registrations (ids from 7 up) and deregistrations itself and hands
// every other request to the test, which checks its bytes and answers.
class ScriptedReader {
public:
    static constexpr uint8_t kFirstId = 7;

    explicit ScriptedReader(Transport *endpoint) : peer_(endpoint, false), t_(endpoint), thread_([this] { Run(); }) {}
    ~ScriptedReader() {
        stop_ = true;
        thread_.join();
    }

    // The next request that is not a registration or deregistration; empty
    // when none came within `ms`, scaled.
    Bytes NextRequest(int ms = 6000) {
        std::unique_lock<std::mutex> l(m_);
        if (!cv_.wait_for(l, std::chrono::milliseconds(Scaled(ms)), [this] { return !requests_.empty(); })) return {};
        Bytes r = requests_.front();
        requests_.pop_front();
        return r;
    }
    Peer &peer() { return peer_; }
    int registrations() const { return registrations_.load(); }
    int deregistrations() const { return deregistrations_.load(); }

private:
    void Run() {
        while (!stop_) {
            MessageBlock *b = nullptr;
            const int32_t r = t_->receive(t_, &b, 10);
            if (r == ULMOT_TRANSPORT_TERMINATED) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the link is down: do not spin
            }
            if (r != 0) continue;
            const Bytes bytes = DataOf(b);
            freemsg(b);
            Handle(bytes);
        }
    }
    void Handle(const Bytes &req) {
        const uint8_t command = req[ULMOT_HEADER_COMMAND];
        if (req[ULMOT_HEADER_OBJECT_TYPE] == ULMOT_OBJ_DELIVERY && (command == 1 || command == 2)) {
            ++(command == 1 ? registrations_ : deregistrations_);
            peer_.Respond(req, ResultBody(0), command == 1 ? static_cast<uint8_t>(nextId_.fetch_add(1)) : 0);
            return;
        }
        std::lock_guard<std::mutex> l(m_);
        requests_.push_back(req);
        cv_.notify_all();
    }

    Peer peer_;
    Transport *t_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Bytes> requests_;
    std::atomic<int> registrations_{0}, deregistrations_{0};
    std::atomic<int> nextId_{kFirstId};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The answer of the reader to one request.
struct Reply {
    Bytes body;
    uint8_t instance = 0;
};
inline Reply Ok(const Bytes &more = {}, uint8_t instance = 0) { return {ResultBody(0, more), instance}; }

// What one call did: the requests the reader received (message id masked
// out: the session chooses it), its result and the lines it logged.
struct Exchange {
    std::vector<Bytes> requests;
    int32_t result = 12345;
    std::vector<std::string> lines;
};

// A client over an in-memory pair against a ScriptedReader; object type t is
// attached to processor 0x20 + t, so a request sent to the wrong entry shows.
class ClientTest : public PoolTest {
protected:
    static uint8_t AttachedTo(uint8_t objectType) { return static_cast<uint8_t>(0x20 + objectType); }

    void SetUp() override {
        PoolTest::SetUp();
        pair_ = QuickPair("client");
        reader_ = std::make_unique<ScriptedReader>(utr_MemoryEndpoint(pair_, UTR_SIDE_B));
        ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "test-client", &client_), 0);
        for (uint8_t t = 0; t < ULMOT_ATTACH_ENTRIES; ++t) ulmot_AttachTargetProcessor(client_, t, AttachedTo(t));
    }
    void TearDown() override {
        if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
        reader_.reset();
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    // A whole request as the reader must receive it from this client.
    static Bytes RequestBytes(uint8_t objectType, uint8_t command, uint8_t instance, const Bytes &body) {
        Bytes w = {AttachedTo(objectType), ScriptedReader::kFirstId, 0, command, objectType, instance};
        PutBe(w, static_cast<uint32_t>(body.size()), 2);
        Append(w, body);
        return w;
    }

    // Runs `call` on a thread while the reader answers its requests with
    // `replies`, in order; then checks that nothing more was sent.
    Exchange Run(const std::function<int32_t()> &call, const std::vector<Reply> &replies = {}) {
        Exchange x;
        LogCapture log;
        std::thread t([&] { x.result = call(); });
        for (const Reply &r : replies) {
            const Bytes request = reader_->NextRequest();
            if (request.empty()) break;
            x.requests.push_back(Masked(request));
            reader_->peer().Respond(request, r.body, r.instance);
        }
        t.join();
        const Bytes extra = reader_->NextRequest(20);
        if (!extra.empty()) x.requests.push_back(Masked(extra));
        x.lines = log.Lines();
        return x;
    }

    // An event from the reader: the time stamp item, then `items`.
    void SendEvent(uint8_t objectType, uint8_t eventType, uint8_t instance, uint32_t timestamp, const Bytes &items) {
        reader_->peer().SendEvent(objectType, eventType, TimestampBody(timestamp, items), instance);
    }

    utr_MemoryPair *pair_ = nullptr;
    std::unique_ptr<ScriptedReader> reader_;
    ClientProcessor *client_ = nullptr;

private:
    static Bytes Masked(Bytes request) {
        if (request.size() > ULMOT_HEADER_TYPE_ID) request[ULMOT_HEADER_TYPE_ID] &= 0xC0;
        return request;
    }
};

// ---- the emulated reader under clients of the library ------------------------

// One client of the library over its own pair to the emulated reader; the
// link's hooks take the pair down and up (uemu_DropLink, uemu_RestoreLink).
struct Connection {
    utr_MemoryPair *pair = nullptr;
    uemu_Link *link = nullptr;
    ClientProcessor *client = nullptr;

    Connection(uemu_Reader *reader, const std::string &name) : pair(QuickPair(name)) {
        uemu_LinkHooks hooks{[](void *p) { return utr_MemoryLinkDown(static_cast<utr_MemoryPair *>(p)); },
                             [](void *p) { return utr_MemoryRestore(static_cast<utr_MemoryPair *>(p)); }, pair};
        EXPECT_EQ(uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), &hooks, &link), UEMU_OK);
        EXPECT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair, UTR_SIDE_A), name.c_str(), &client), 0);
        for (uint32_t t : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 15u, 17u, 18u, 19u, 22u, 24u}) {
            if (client != nullptr) {
                EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(client, t, 0, 0), 0) << "type " << t;
            }
        }
    }
    // The client goes first, then (once the reader is gone) the pair.
    void Close() {
        if (client != nullptr) ulmot_DestroyClientProcessor(client);
        client = nullptr;
    }
    ~Connection() {
        Close();
        utr_MemoryPairDestroy(pair);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
};

// The emulated reader, configured by config_ until the first Connect(), and
// its clients; at the end the clients go, then the reader, then the pairs.
class ReaderTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        uemu_ConfigInit(&config_);
        config_.log = [](void *ctx, const char *line) { Of(ctx).Add(line); };
        config_.logContext = &readerLog_;
    }
    void TearDown() override {
        for (auto &c : connections_) c->Close();
        uemu_Destroy(reader_);
        reader_ = nullptr;
        connections_.clear();
        PoolTest::TearDown();
    }

    uemu_Reader *Reader() {
        if (reader_ == nullptr) reader_ = uemu_Create(&config_);
        EXPECT_NE(reader_, nullptr);
        return reader_;
    }
    // A client attached, for every object type the reader serves, to its
    // default processor.
    Connection &Connect(const std::string &name = "app") {
        connections_.push_back(std::make_unique<Connection>(Reader(), name));
        return *connections_.back();
    }
    ClientProcessor *Client() {
        if (connections_.empty()) Connect();
        return connections_.front()->client;
    }

    uemu_Config config_{};
    uemu_Reader *reader_ = nullptr;
    Recorder readerLog_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

// ---- session -------------------------------------------------------------------

// Runs `call` on a thread while `peer` answers each message it receives with
// the next reply: the messages as they came, the result and the lines.
inline Exchange Answer(Peer &peer, const std::function<int32_t()> &call, const std::vector<Reply> &replies) {
    Exchange x;
    LogCapture log;
    std::thread t([&] { x.result = call(); });
    for (const Reply &r : replies) {
        x.requests.push_back(peer.Receive());
        if (x.requests.back().empty()) break;
        peer.Respond(x.requests.back(), r.body, r.instance);
    }
    t.join();
    x.lines = log.Lines();
    return x;
}

// A session over the fault wrapper ("faulty") of the in-memory pair, in place
// of SessionTest's. Its termination handler writes the line "ended" through
// ulmot_Debug, so that the thread it ran on shows beside the threads of the
// library's lines, and notes the call in ends_.
class FaultySessionTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        ulmot_DestroySession(session_);
        fault_ = utr_FaultCreate(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "faulty");
        session_ = ulmot_CreateSession(fault_, 8);
        ASSERT_NE(session_, nullptr);
        const auto ended = [](void *ends) { ulmot_Debug("ended"); Of(ends).Add("ended"); };
        ulmot_SessionRegisterTerminationHandler(session_, ended, &ends_);
    }
    void TearDown() override {
        if (ends_.WaitFor(0, 0).empty()) ulmot_DestroySession(session_);
        session_ = nullptr;  // an ended session is released by its receive thread
        utr_FaultDestroy(fault_);
        WaitUntil(pools::AllPoolsFull, 1000);
        SessionTest::TearDown();
    }
    // The thread id of the first captured line (raw text) that holds `what`.
    static std::string ThreadOf(const std::string &log, const std::string &what) {
        const size_t at = log.find(what);
        if (at == std::string::npos) return "none";
        const size_t open = log.rfind('[', at);
        return log.substr(open, log.find(':', open) - open);
    }

    Transport *fault_ = nullptr;
    Recorder ends_;
};

// ---- objects ------------------------------------------------------------------

// One client of the emulated reader for the object families: what the reader
// keeps of an object and registered for the client, and every line the
// library logs (a test takes the lines it expects; any other fails it).
class ObjectsTest : public ReaderTest {
protected:
    void SetUp() override {
        ReaderTest::SetUp();
        log_ = std::make_unique<LogCapture>();
    }
    void TearDown() override {
        EXPECT_EQ(Logged(), std::vector<std::string>{}) << "lines no check expected";
        ReaderTest::TearDown();
        log_.reset();
    }
    // The lines logged since the last call, but the one the first schedule
    // start of a process writes when there is no platform library.
    std::vector<std::string> Logged() {
        std::vector<std::string> lines = log_->Lines();
        std::erase(lines, "ulmot_StartScheduleSpecification - Failed to load library 'vyrplatsupp'");
        log_ = std::make_unique<LogCapture>();
        return lines;
    }
    // A result and the lines logged since the last call: "-5 | line | line".
    std::string Outcome(int32_t result) {
        std::string s = std::to_string(result);
        for (const std::string &line : Logged()) s += " | " + line;
        return s;
    }
    // The items the reader keeps for an object, as they travel.
    std::string Kept(uint8_t type, uint8_t instance) {
        uint8_t items[2048];
        uint32_t length = 0;
        if (uemu_GetObjectProperties(reader_, type, instance, items, sizeof items, &length) != UEMU_OK) return "none";
        return Hex(items, length);
    }
    // The client's event registration for type/instance: the decided and
    // enabled masks, then the attached property ids.
    std::string Registered(uint8_t type, uint8_t instance) {
        std::vector<uemu_EventRegistration> all(32);
        uint32_t count = 0;
        uemu_GetEventRegistrations(reader_, all.data(), 32, &count);
        for (const uemu_EventRegistration &r : all) {
            if (r.processorId == ulmot_GetClientProcessorID(Client()) && r.objectType == type && r.instance == instance) {
                return Format("%08X/%08X", r.selectedMask, r.enabledMask) +
                       (r.propertyCount ? " " + Hex(r.propertyIds, r.propertyCount) : "");
            }
        }
        return "none";
    }
    // An event the reader sends: header fields, the items after item 254,
    // the lines the callbacks write for it and the lines the library logs.
    struct Event {
        uint8_t type, event, instance;
        Bytes body;
        std::vector<std::string> calls, lines;
    };
    // Sends each row's event to the client, then `marker`: the callbacks must
    // write the row's lines to seen_, then the marker's.
    void ExpectEvents(const std::vector<Event> &rows, const Event &marker) {
        for (const Event &row : rows) {
            SCOPED_TRACE(Format("type %u event %u: %s", row.type, row.event, Hex(row.body).c_str()));
            for (const Event *e : {&row, &marker}) {
                EXPECT_EQ(uemu_SendEventTo(reader_, ulmot_GetClientProcessorID(Client()), e->type, e->event,
                                           e->instance, e->body.data(), static_cast<uint16_t>(e->body.size())),
                          UEMU_OK);
            }
            std::vector<std::string> expected = row.calls;
            expected.insert(expected.end(), marker.calls.begin(), marker.calls.end());
            seen_.WaitFor(expected.size());
            EXPECT_EQ(seen_.Take(), expected);
            EXPECT_EQ(Logged(), row.lines);
        }
    }

    std::unique_ptr<LogCapture> log_;
    Recorder seen_;
};

}  // namespace ulmot::test
