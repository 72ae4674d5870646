// tests/emulator_support.h - an emulated reader and raw clients: each client
// is a session over an in-memory pair whose other end is attached to the
// reader. Tests build request bodies with the library's item writers, send
// them with ulmot_SendSessionMessage and compare what comes back with
// literal bytes.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "session_support.h"
#include "uemu.h"

namespace ulmot::test {

// Polls `done` until it holds or `ms` have passed (a generous bound).
inline bool WaitUntil(const std::function<bool()> &done, int ms = 5000) {
    const auto start = Clock::now();
    while (!done()) {
        if (MsSince(start) > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Big-endian helpers for expected byte strings.
inline Bytes Be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// A request body written with the library's item writers into a block with
// 8 bytes of head room. The block goes to whoever Take()s it.
class Body {
public:
    explicit Body(uint32_t size = 384) : b_(ulmot_BufferAllocate(size, ULMOT_HEADER_SIZE)) {}
    ~Body() {
        if (b_ != nullptr) freemsg(b_);
    }
    Body(const Body &) = delete;
    Body &operator=(const Body &) = delete;

    Body &Int8(uint32_t id, uint32_t v) { return Check(ulmot_BufferWriteDTPInt8(b_, id, v)); }
    Body &Int16(uint32_t id, uint32_t v) { return Check(ulmot_BufferWriteDTPInt16(b_, id, v)); }
    Body &Int32(uint32_t id, uint32_t v) { return Check(ulmot_BufferWriteDTPInt32(b_, id, v)); }
    Body &Ref(uint32_t id, uint32_t type, uint32_t instance) {
        return Check(ulmot_BufferWriteDTPObjectReference(b_, id, type, instance));
    }
    Body &Array(uint32_t id, const Bytes &bytes) {
        return Check(ulmot_BufferWriteDTPByteArray(b_, id, bytes.data(),
                                                   static_cast<uint32_t>(bytes.size())));
    }
    Body &Text(uint32_t id, const std::string &s) {
        return Check(ulmot_BufferWriteDTPByteArray(b_, id, s.data(), static_cast<uint32_t>(s.size())));
    }
    Body &List(uint32_t id, const Bytes &values) {
        return Check(ulmot_BufferWriteDTPInt8List(b_, id, values.data(),
                                                  static_cast<uint32_t>(values.size())));
    }
    Body &Raw(const Bytes &bytes) {
        return Check(ulmot_BufferAppend(b_, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    MessageBlock *Take() {
        MessageBlock *b = b_;
        b_ = nullptr;
        return b;
    }

private:
    Body &Check(int32_t r) {
        EXPECT_EQ(r, 0) << "building a request body";
        return *this;
    }
    MessageBlock *b_;
};

// The outcome of one request: result code, response instance, body bytes.
struct Answer {
    int32_t result = 12345;
    uint8_t instance = 0;
    Bytes body;
};

// An event or request as a client's handler saw it.
struct Received {
    Bytes header;
    Bytes body;
    uint32_t timestamp = 0;
};

// A client: a raw session over an in-memory pair, the pair's other end
// attached to the reader (drop and restore hooks take the pair down and up).
class Client {
public:
    using RequestHandler = std::function<void(Client &, const Received &)>;

    Client(uemu_Reader *reader, const std::string &name) : reader_(reader) {
        pair_ = utr_MemoryPairCreate((name + "-client").c_str(), (name + "-reader").c_str(), 0);
        utr_MemorySetReceiveSlice(pair_, 10);  // destroys need not wait out an 800 ms receive
        EXPECT_NE(pair_, nullptr);
        uemu_LinkHooks hooks{};
        hooks.drop = [](void *p) { return utr_MemoryLinkDown(static_cast<utr_MemoryPair *>(p)); };
        hooks.restore = [](void *p) { return utr_MemoryRestore(static_cast<utr_MemoryPair *>(p)); };
        hooks.context = pair_;
        EXPECT_EQ(uemu_Attach(reader, ReaderSide(), &hooks, &link_), UEMU_OK);
        OpenSession();
    }
    ~Client() {
        CloseSession();
        // The reader is gone or has detached this link by now.
        utr_MemoryPairDestroy(pair_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // A new session over the client side (after a lost link).
    void OpenSession() {
        terminated_ = false;
        session_ = ulmot_CreateSession(ClientSide(), 5);
        ASSERT_NE(session_, nullptr);
        ulmot_SessionRegisterEventHandler(session_, &Client::OnEvent, this);
        ulmot_SessionRegisterRequestHandler(session_, &Client::OnRequest, this);
        ulmot_SessionRegisterTerminationHandler(session_, &Client::OnTermination, this);
    }
    // Destroys the session unless it ended on its own.
    void CloseSession() {
        if (session_ != nullptr && !terminated_) ulmot_DestroySession(session_);
        session_ = nullptr;
    }
    bool WaitTerminated() {
        const bool ended = WaitUntil([&] { return terminated_.load(); });
        if (ended) session_ = nullptr;
        return ended;
    }

    // Sends a request with the body in `block` (taken) from processor `source`.
    Answer Request(uint8_t destination, uint8_t objectType, uint8_t command, uint8_t instance,
                   MessageBlock *block, std::optional<uint8_t> source = std::nullopt) {
        Answer a;
        MessageBlock *response = nullptr;
        a.result = ulmot_SendSessionMessage(session_, ULMOT_MSG_REQUEST, source.value_or(id), destination,
                                            0, objectType, command, instance, block, &response,
                                            &a.instance);
        if (response != nullptr) {
            a.body = DataOf(response);
            freemsg(response);
        }
        return a;
    }
    Answer Request(uint8_t destination, uint8_t objectType, uint8_t command, uint8_t instance,
                   Body &body, std::optional<uint8_t> source = std::nullopt) {
        return Request(destination, objectType, command, instance, body.Take(), source);
    }
    Answer Request(uint8_t destination, uint8_t objectType, uint8_t command, uint8_t instance = 0) {
        Body empty;
        return Request(destination, objectType, command, instance, empty);
    }

    // Registers `name` with `types` and keeps the id; the result code.
    int32_t Register(const std::string &name, const Bytes &types = {16, 23}) {
        Body b;
        if (!types.empty()) b.List(1, types);
        b.Text(0, name);
        const Answer a = Request(0, 14, 1, 0, b, 0);
        if (a.result == 0) id = a.instance;
        return a.result;
    }
    int32_t Deregister() { return Request(0, 14, 2, id).result; }

    // Event registration (command 5) and event properties (command 6).
    int32_t Enable(uint8_t processor, uint8_t type, uint8_t instance, uint32_t selection,
                   uint32_t enable) {
        Body b;
        b.Int32(0, selection).Int32(0, enable);
        return Request(processor, type, 5, instance, b).result;
    }
    int32_t Properties(uint8_t processor, uint8_t type, uint8_t instance, bool attach,
                       const Bytes &ids) {
        Bytes data = {instance, static_cast<uint8_t>(attach ? 1 : 0)};
        Append(data, ids);
        Body b;
        b.Array(0, data);
        return Request(processor, type, 6, 0, b).result;
    }

    // The next event the session handed over, or nothing within `ms`.
    std::optional<Received> NextEvent(int ms = 5000) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !events_.empty(); })) {
            return std::nullopt;
        }
        Received r = std::move(events_.front());
        events_.pop_front();
        return r;
    }
    // Proves that no event is pending: a round trip over the link (anything
    // the reader sent before its answer is then queued), then a marker event
    // that must be the next one.
    void ExpectNoEvent(const char *why) {
        EXPECT_EQ(Request(0, 14, 0).result, 0);
        const uint8_t mark = ++marks_;
        ASSERT_EQ(uemu_SendEventTo(reader_, id, 13, 4, mark, nullptr, 0), UEMU_OK);
        const std::optional<Received> e = NextEvent();
        ASSERT_TRUE(e.has_value()) << why;
        EXPECT_EQ(e->header[ULMOT_HEADER_OBJECT_TYPE], 13) << why;
        EXPECT_EQ(e->header[ULMOT_HEADER_INSTANCE], mark) << why;
    }

    void SetRequestHandler(RequestHandler handler) {
        std::lock_guard<std::mutex> guard(mu_);
        requestHandler_ = std::move(handler);
    }
    // Answers an IOCTL request with `status` (item 3) and `data` (item 2).
    void AnswerIoctl(const Received &request, uint8_t status, const Bytes &data, bool withStatus = true) {
        MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(data.size()) + 32, 8);
        if (withStatus) ulmot_BufferWriteDTPInt8(b, 3, status);
        if (!data.empty()) ulmot_BufferWriteDTPByteArray(b, 2, data.data(), static_cast<uint32_t>(data.size()));
        const uint8_t *h = request.header.data();
        EXPECT_EQ(ulmot_SendSessionMessage(session_, ULMOT_MSG_RESPONSE, id, h[ULMOT_HEADER_SOURCE],
                                           h[ULMOT_HEADER_TYPE_ID] & 63, h[ULMOT_HEADER_OBJECT_TYPE],
                                           h[ULMOT_HEADER_COMMAND], 0, b, nullptr, nullptr),
                  0);
    }

    Transport *ClientSide() { return utr_MemoryEndpoint(pair_, UTR_SIDE_A); }
    Transport *ReaderSide() { return utr_MemoryEndpoint(pair_, UTR_SIDE_B); }
    utr_MemoryPair *pair() { return pair_; }
    uemu_Link *link() { return link_; }
    Session *session() { return session_; }

    uint8_t id = 0;

private:
    static int32_t OnEvent(void *ctx, const uint8_t *header, uint16_t, uint32_t timestamp,
                           MessageBlock *block) {
        auto *c = static_cast<Client *>(ctx);
        Received r{Bytes(header, header + ULMOT_HEADER_SIZE), DataOf(block), timestamp};
        freemsg(block);
        {
            std::lock_guard<std::mutex> guard(c->mu_);
            c->events_.push_back(std::move(r));
        }
        c->cv_.notify_all();
        return 0;
    }
    static int32_t OnRequest(void *ctx, const uint8_t *header, uint16_t, MessageBlock *block) {
        auto *c = static_cast<Client *>(ctx);
        Received r{Bytes(header, header + ULMOT_HEADER_SIZE), DataOf(block), 0};
        freemsg(block);
        RequestHandler handler;
        {
            std::lock_guard<std::mutex> guard(c->mu_);
            handler = c->requestHandler_;
        }
        if (handler) handler(*c, r);
        return 0;
    }
    static void OnTermination(void *ctx) { static_cast<Client *>(ctx)->terminated_ = true; }

    uemu_Reader *reader_;
    utr_MemoryPair *pair_ = nullptr;
    uemu_Link *link_ = nullptr;
    Session *session_ = nullptr;
    std::atomic<bool> terminated_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Received> events_;
    RequestHandler requestHandler_;
    uint8_t marks_ = 0;
};

// A reader and its clients; at the end the sessions go first, then the
// reader, then the pairs, and every pool must be full again.
class EmulatorTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        uemu_ConfigInit(&config_);
        config_.log = [](void *ctx, const char *line) {
            auto *self = static_cast<EmulatorTest *>(ctx);
            std::lock_guard<std::mutex> guard(self->logMu_);
            self->log_.push_back(line);
        };
        config_.logContext = this;
    }
    void TearDown() override {
        for (auto &c : clients_) c->CloseSession();
        uemu_Destroy(reader_);
        reader_ = nullptr;
        clients_.clear();
        PoolTest::TearDown();
    }

    uemu_Reader *Reader() {
        if (reader_ == nullptr) reader_ = uemu_Create(&config_);
        return reader_;
    }
    // A client attached to the reader; registered under `name` when asked.
    Client &NewClient(const std::string &name, bool registered = true) {
        clients_.push_back(std::make_unique<Client>(Reader(), name));
        Client &c = *clients_.back();
        if (registered) {
            EXPECT_EQ(c.Register(name), 0);
        }
        return c;
    }
    std::vector<uemu_ProcessorInfo> Processors() {
        uint32_t n = 0;
        EXPECT_EQ(uemu_GetProcessors(Reader(), nullptr, 0, &n), UEMU_OK);
        std::vector<uemu_ProcessorInfo> v(n);
        EXPECT_EQ(uemu_GetProcessors(Reader(), v.data(), n, &n), UEMU_OK);
        return v;
    }
    bool IsRegistered(uint8_t id) {
        for (const auto &p : Processors()) {
            if (p.id == id) return true;
        }
        return false;
    }
    std::vector<uemu_EventRegistration> Registrations() {
        uint32_t n = 0;
        EXPECT_EQ(uemu_GetEventRegistrations(Reader(), nullptr, 0, &n), UEMU_OK);
        std::vector<uemu_EventRegistration> v(n);
        EXPECT_EQ(uemu_GetEventRegistrations(Reader(), v.data(), n, &n), UEMU_OK);
        return v;
    }
    std::string Log() {
        std::lock_guard<std::mutex> guard(logMu_);
        std::string all;
        for (const auto &l : log_) all += l + "\n";
        return all;
    }

    uemu_Config config_{};
    uemu_Reader *reader_ = nullptr;
    std::vector<std::unique_ptr<Client>> clients_;
    std::mutex logMu_;
    std::vector<std::string> log_;
};

// The result item alone, and followed by `more`.
inline Bytes Result(int16_t r, const Bytes &more = {}) { return ResultBody(r, more); }

}  // namespace ulmot::test
