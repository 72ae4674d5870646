// tests/session_support.h - a session over an in-memory pair, with the far
// end played by the test: it receives what the session sends, as literal
// bytes, and sends responses, events and requests built byte by byte.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pool_fixture.h"
#include "session/session_internal.h"
#include "utr.h"

namespace ulmot::test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Appends `more` byte by byte (vector::insert trips false warnings of GCC 12).
inline void Append(Bytes &to, const Bytes &more) {
    for (uint8_t v : more) to.push_back(v);
}

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
        const auto n = static_cast<uint16_t>(body.size());
        Bytes w = {destination, source, static_cast<uint8_t>(type << 6 | (id & 63)), command,
                   objectType,  instance, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        Append(w, body);
        for (int i = 0; i < extraBytes; ++i) w.push_back(0xEE);
        return w;
    }
};

// The result item (Int16 255) followed by `more`.
inline Bytes ResultBody(int16_t result, Bytes more = {}) {
    Bytes b = {0xF1, 0xFF, static_cast<uint8_t>(static_cast<uint16_t>(result) >> 8),
               static_cast<uint8_t>(result)};
    Append(b, more);
    return b;
}

// The time stamp item (Int32 254) with `value`, followed by `more`.
inline Bytes TimestampBody(uint32_t value, Bytes more = {}) {
    Bytes b = {0xF2, 0xFE, static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
               static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    Append(b, more);
    return b;
}

// The far end of an in-memory pair.
class Peer {
public:
    // A strict peer fails the test when a send is refused; a lenient one (a
    // reader playing along while a test drops the link) does not.
    explicit Peer(Transport *endpoint, bool strict = true) : t_(endpoint), strict_(strict) {}

    // The next message the session sent, as bytes (the block is released);
    // empty when nothing came within `timeoutMs`.
    Bytes Receive(uint32_t timeoutMs = 6000) {
        MessageBlock *b = nullptr;
        if (t_->receive(t_, &b, timeoutMs) != 0) return {};
        Bytes bytes(b->readPtr, b->writePtr);
        freemsg(b);
        return bytes;
    }

    void Send(const Frame &f) {
        const Bytes w = f.Wire();
        MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(w.size()), 0);
        ulmot_BufferAppend(b, w.data(), static_cast<uint32_t>(w.size()));
        const int32_t sent = t_->send(t_, b, 0);
        if (strict_) {
            ASSERT_EQ(sent, 0);
        }
    }

    // Answers the request `request` (bytes as received) with `body`.
    void Respond(const Bytes &request, Bytes body, uint8_t instance = 0) {
        Frame f;
        f.destination = request[ULMOT_HEADER_SOURCE];
        f.source = request[ULMOT_HEADER_DESTINATION];
        f.type = ULMOT_MSG_RESPONSE;
        f.id = request[ULMOT_HEADER_TYPE_ID] & 63;
        f.command = request[ULMOT_HEADER_COMMAND];
        f.objectType = request[ULMOT_HEADER_OBJECT_TYPE];
        f.instance = instance;
        f.body = std::move(body);
        Send(f);
    }

    void SendEvent(uint8_t objectType, uint8_t eventType, Bytes body, uint8_t destination = 0) {
        Frame f;
        f.destination = destination;
        f.type = ULMOT_MSG_EVENT;
        f.command = eventType;
        f.objectType = objectType;
        f.body = std::move(body);
        Send(f);
    }

private:
    Transport *t_;
    bool strict_;
};

// A request body of `n` Int8 items, built in a fresh block with head room.
inline MessageBlock *RequestBody(uint32_t items = 1) {
    MessageBlock *b = ulmot_BufferAllocate(2048, 8);
    for (uint32_t i = 0; i < items; ++i) ulmot_BufferWriteDTPInt8(b, 1, i);
    return b;
}

// Sends a request from a thread of its own and keeps its outcome.
struct AsyncRequest {
    std::atomic<int32_t> result{12345};
    std::atomic<bool> done{false};
    MessageBlock *response = nullptr;
    uint8_t instance = 0;
    long long elapsedMs = 0;
    std::thread thread;

    void Start(Session *s, uint8_t source, uint8_t destination, uint32_t objectType,
               uint8_t command, bool wantResponse = false) {
        thread = std::thread([=, this] {
            const auto start = Clock::now();
            result = ulmot_SendSessionMessage(s, ULMOT_MSG_REQUEST, source, destination, 0,
                                              objectType, command, 0, RequestBody(),
                                              wantResponse ? &response : nullptr, &instance);
            elapsedMs = MsSince(start);
            done = true;
        });
    }
    void Join() {
        if (thread.joinable()) thread.join();
        if (response) freemsg(response);
        response = nullptr;
    }
    ~AsyncRequest() { Join(); }
};

// A session over an in-memory pair, destroyed at the end of the test.
class SessionTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = utr_MemoryPairCreate("session-side", "peer-side", 0);
        utr_MemorySetReceiveSlice(pair_, 10);  // destroys need not wait out an 800 ms receive
        ASSERT_NE(pair_, nullptr);
        session_ = ulmot_CreateSession(utr_MemoryEndpoint(pair_, UTR_SIDE_A), 5);
        ASSERT_NE(session_, nullptr);
        peer_ = std::make_unique<Peer>(utr_MemoryEndpoint(pair_, UTR_SIDE_B));
    }
    void TearDown() override {
        if (session_ != nullptr) ulmot_DestroySession(session_);
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    Transport *SessionSide() { return utr_MemoryEndpoint(pair_, UTR_SIDE_A); }

    utr_MemoryPair *pair_ = nullptr;
    Session *session_ = nullptr;
    std::unique_ptr<Peer> peer_;
};

// Records what an event or request handler was given.
struct Delivery {
    Bytes header;
    uint16_t bodyLength = 0;
    uint32_t timestamp = 0;
    Bytes body;
    unsigned long thread = 0;
};

}  // namespace ulmot::test
