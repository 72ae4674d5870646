// The emulated reader's own behaviour, seen from raw clients: the requests
// it refuses, malformed frames, its links, IOCTL requests it sends, and the
// schedule engine beside several clients. What a user of the library sees
// of each object family is checked end to end by the families' suites.
#include <future>
#include <optional>

#include "support.h"

namespace {

using namespace ulmot::test;

constexpr uint8_t kReader = UEMU_READER_PROCESSOR_ID, kIo = UEMU_IO_PROCESSOR_ID;

struct Got { Bytes header, body; };  // a message a client was handed
struct Answer { int32_t result = 12345; uint8_t instance = 0; Bytes body; };  // of a request

// A raw client: a session over a QuickPair whose far end the reader serves
// (the link's hooks take the pair down and up). Events are kept in order;
// requests go to `onRequest`.
class RawClient {
public:
    RawClient(uemu_Reader *reader, const std::string &name) : pair(QuickPair(name)) {
        uemu_LinkHooks hooks{[](void *p) { return utr_MemoryLinkDown(static_cast<utr_MemoryPair *>(p)); },
                             [](void *p) { return utr_MemoryRestore(static_cast<utr_MemoryPair *>(p)); }, pair};
        EXPECT_EQ(uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), &hooks, &link), UEMU_OK);
        Open();
    }
    ~RawClient() {
        Close();
        utr_MemoryPairDestroy(pair);
    }
    void Open() {
        ended = false;
        session = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 5);
        ulmot_SessionRegisterEventHandler(session, OnEvent, this);
        ulmot_SessionRegisterRequestHandler(session, OnRequest, this);
        ulmot_SessionRegisterTerminationHandler(session, OnEnd, this);
    }
    void Close() {  // unless the session ended on its own
        if (session != nullptr && !ended) ulmot_DestroySession(session);
        session = nullptr;
    }
    // A request from `source` (-1: this client's id).
    Answer Ask(uint8_t to, uint8_t type, uint8_t command, uint8_t inst = 0, const Bytes &body = {}, int source = -1) {
        Answer a;
        MessageBlock *response = nullptr;
        a.result = ulmot_SendSessionMessage(session, ULMOT_MSG_REQUEST, source < 0 ? id : static_cast<uint8_t>(source),
                                            to, 0, type, command, inst, BlockWith(body), &response, &a.instance);
        if (response != nullptr) a.body = DataOf(Own(response).get());
        return a;
    }
    int32_t Register(const std::string &name) {
        const Bytes types = List(1, {I8(0, 16), I8(0, 23)});
        const Answer a = Ask(0, 14, 1, 0, Concat({types, Array(0, Bytes(name.begin(), name.end()))}), 0);
        id = a.result == 0 ? a.instance : id;
        return a.result;
    }
    // Enables the event types of `mask` for every instance of `type`.
    int32_t Enable(uint8_t type, uint32_t mask) {
        return Ask(kReader, type, 5, 0, Concat({I32(0, 0xFFFFFFFF), I32(0, mask)})).result;
    }
    void Reply(const Got &request, const Bytes &body, uint8_t instance = 0) {
        const Bytes &h = request.header;
        EXPECT_EQ(ulmot_SendSessionMessage(session, ULMOT_MSG_RESPONSE, id, h[ULMOT_HEADER_SOURCE],
                                           h[ULMOT_HEADER_TYPE_ID] & 63, h[ULMOT_HEADER_OBJECT_TYPE],
                                           h[ULMOT_HEADER_COMMAND], instance, BlockWith(body), nullptr, nullptr),
                  0);
    }
    std::optional<Got> Next(int ms = 5000) {
        std::unique_lock<std::mutex> l(m_);
        const auto waited = std::chrono::milliseconds(Scaled(ms));
        if (!cv_.wait_for(l, waited, [&] { return !events_.empty(); })) return std::nullopt;
        Got e = events_.front();
        events_.pop_front();
        return e;
    }
    Bytes NextHeader() { return Next().value_or(Got{}).header; }

    utr_MemoryPair *pair;
    uemu_Link *link = nullptr;
    Session *session = nullptr;
    std::atomic<bool> ended{false};
    uint8_t id = 0;
    std::function<void(RawClient &, const Got &)> onRequest;

private:
    static int32_t OnEvent(void *c, const uint8_t *header, uint16_t, uint32_t, MessageBlock *b) {
        auto *self = static_cast<RawClient *>(c);
        std::lock_guard<std::mutex> l(self->m_);
        self->events_.push_back({Bytes(header, header + ULMOT_HEADER_SIZE), DataOf(Own(b).get())});
        self->cv_.notify_all();
        return 0;
    }
    static void OnEnd(void *c) { static_cast<RawClient *>(c)->ended = true; }
    static int32_t OnRequest(void *c, const uint8_t *header, uint16_t, MessageBlock *b) {
        auto *self = static_cast<RawClient *>(c);
        if (self->onRequest) self->onRequest(*self, {Bytes(header, header + ULMOT_HEADER_SIZE), DataOf(Own(b).get())});
        return 0;
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Got> events_;
};

// The reader of ReaderTest with raw clients; they close before the reader
// goes, their pairs after it.
class Emulator : public ReaderTest {
protected:
    void TearDown() override {
        for (auto &c : clients_) c->Close();
        uemu_Destroy(reader_);
        reader_ = nullptr;
        clients_.clear();
        ReaderTest::TearDown();
    }
    RawClient &Client(const std::string &name, bool registered = true) {
        clients_.push_back(std::make_unique<RawClient>(Reader(), name));
        EXPECT_TRUE(!registered || clients_.back()->Register(name) == 0) << name;
        return *clients_.back();
    }
    bool Logged(const std::string &line) {  // by the reader, within 5 s
        return WaitUntil([&] { return testing::Matches(testing::Contains(line))(readerLog_.WaitFor(0, 0)); });
    }

    std::vector<std::unique_ptr<RawClient>> clients_;
};

TEST_F(Emulator, RefusesWithTheResultCodeOfEachFault) {
    RawClient &a = Client("a");
    RawClient &none = Client("none", false);
    constexpr int kFromA = -1;  // sent by `a`; else by `none`, with this source
    const Bytes masks = Concat({I32(0, 1), I32(0, 1)}), x = Array(0, {'x'});
    struct Row { const char *what; uint8_t to, type, command, instance; Bytes body; int16_t result; int source = 0; };
    const Row rows[] = {
        {"a name of 255 bytes", 0, 14, 1, 0, Array(0, Bytes(255, 'n')), UEMU_RESULT_MALFORMED},
        {"a name of 254 bytes", 0, 14, 1, 0, Array(0, Bytes(254, 'n')), UEMU_RESULT_OK},
        {"delivery command 3", 0, 14, 3, 0, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"object type 5 at the delivery processor", 0, 5, 1, 0, x, UEMU_RESULT_TYPE_NOT_SERVED},
        {"deregistering another link's processor", 0, 14, 2, a.id, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"a name compared whole", 0, 14, 100, 0, Array(0, {'r', 'e', 'a', 'd'}), UEMU_RESULT_NOT_FOUND},
        {"a processor nobody registered", 77, 8, 0, 0, {}, UEMU_RESULT_NO_SUCH_PROCESSOR},
        {"instance 5 of 4 antennas", kReader, 8, 4, 5, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"an item running past the body", kReader, 8, 3, 1, {0x04, 0x00, 0x09, 0x01}, UEMU_RESULT_MALFORMED},
        {"events for an unregistered source", kReader, 5, 5, 0, masks, UEMU_RESULT_NOT_REGISTERED},
        {"events claiming another link's processor", kReader, 5, 5, 0, masks, UEMU_RESULT_NOT_REGISTERED, a.id},
        {"event properties without the attach flag", kReader, 5, 6, 0, Array(0, {0}), UEMU_RESULT_MALFORMED, kFromA},
        {"antenna power above its maximum", kReader, 8, 3, 2, I16(0, 320), UEMU_RESULT_OUT_OF_RANGE},
        {"writing GPO line 5 of 4", kIo, 1, 100, 0, Array(1, {1, 1, 5, 1}), UEMU_RESULT_UNKNOWN_INSTANCE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const Answer got = (row.source == kFromA ? a : none)
                               .Ask(row.to, row.type, row.command, row.instance, row.body, row.source);
        EXPECT_EQ(got.result, row.result);
        EXPECT_EQ(got.body, ResultBody(row.result));
        EXPECT_EQ(got.instance, row.result != 0 ? row.instance : 4) << "the request's instance, or the new id";
    }
    // Nothing changed but the one registration.
    EXPECT_EQ(a.Ask(0, 14, 0).body, ResultBody(0, {3, 14, 1, 3, 14, 2, 3, 14, 3, 3, 14, 4}));  // references (14, id)
    EXPECT_EQ(a.Ask(kIo, 1, 4, 1).body, ResultBody(0, I8(0, 0))) << "a write of every line is checked whole";
}

// A search by type finds the first registration of the type, or with a
// flag the latest; a search by name only a processor that has the type too
// (199: any type).
TEST_F(Emulator, SearchesByTypeAndByName) {
    RawClient &a = Client("a"), &b = Client("b");
    const auto search = [&](uint8_t command, const Bytes &items) { return a.Ask(0, 14, command, 0, items).body; };
    const Bytes none = ResultBody(UEMU_RESULT_NOT_FOUND);
    EXPECT_EQ(search(101, I8(2, 16)), ResultBody(0, Ref(3, 14, a.id)));
    EXPECT_EQ(search(101, Concat({I8(2, 16), I8(5, 1)})), ResultBody(0, Ref(3, 14, b.id)));
    EXPECT_EQ(search(101, I8(2, 20)), none) << "nobody provides type 20";
    EXPECT_EQ(search(100, Concat({Array(0, {'b'}), I8(2, 23)})), ResultBody(0, Ref(3, 14, b.id)));
    EXPECT_EQ(search(100, Concat({Array(0, {'b'}), I8(2, 2)})), none) << "b lacks type 2";
    EXPECT_EQ(search(100, Concat({Array(0, {'b'}), I8(2, 199)})), ResultBody(0, Ref(3, 14, b.id)));
}

TEST_F(Emulator, MalformedFramesAreLoggedAndDroppedAndTheLinkGoesOn) {
    utr_MemoryPair *pair = QuickPair("raw");
    uemu_Link *link = nullptr;
    ASSERT_EQ(uemu_Attach(Reader(), utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, &link), UEMU_OK);
    Peer peer(utr_MemoryEndpoint(pair, UTR_SIDE_A));
    peer.SendBytes({1, 2, 3, 4, 5, 6, 7});
    peer.Send(Frame{0, 3, 3, 0, 0, 8, 0, {}});  // type 3: a header and nothing more
    peer.Send(Frame{99, 3, ULMOT_MSG_EVENT, 0, 0, 8, 0, TimestampBody(1)});
    peer.Send(Frame{99, 3, ULMOT_MSG_RESPONSE, 4, 0, 8, 0, ResultBody(0)});
    peer.Send(Frame{kReader, 3, ULMOT_MSG_RESPONSE, 9, 100, 23, 0, ResultBody(0)});
    // Junk after a registration's body is cut off: the name is "app".
    peer.Send(Frame{0, 0, ULMOT_MSG_REQUEST, 5, 1, 14, 0, Array(0, {'a', 'p', 'p'}), 3});
    EXPECT_EQ(peer.Receive(), (Bytes{0x00, 0x00, 0x45, 0x01, 0x0E, 0x03, 0x00, 0x04, 0xF1, 0xFF, 0x00, 0x00}))
        << "the first answer is the registration's";
    // A body shorter than its header says is taken as it is.
    Bytes shortBody = Frame{kReader, 3, ULMOT_MSG_REQUEST, 6, 0, 8, 0, {}}.Wire();
    shortBody[7] = 4;
    peer.SendBytes(shortBody);
    EXPECT_EQ(peer.Receive(), Concat({{0x03, 0x01, 0x46, 0x00, 0x08, 0x00, 0x00, 0x10},
                                      ResultBody(0, {3, 8, 1, 3, 8, 2, 3, 8, 3, 3, 8, 4})}));  // the antennas
    const auto lines = readerLog_.WaitFor(7);
    ASSERT_GE(lines.size(), 7u);  // "attached", those of the frames above, "registered processor 3"
    const std::string at = "uemu(raw-far): ";
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 6),
              (std::vector<std::string>{at + "message of 7 bytes has no header", at + "message type 3 dropped",
                                        at + "event for processor 99 dropped", at + "response for processor 99 dropped",
                                        at + "no request waits for response id 9"}));
    EXPECT_EQ(uemu_Detach(Reader(), link), UEMU_OK);
    utr_MemoryPairDestroy(pair);
}

TEST_F(Emulator, ALostLinkDeregistersItsProcessorsAndTheRestoredLinkServesANewOne) {
    RawClient &a = Client("a"), &b = Client("b");
    const uint8_t second = a.Ask(0, 14, 1, 0, Array(0, {'a', '2'}), 0).instance;  // over a's link too
    ASSERT_EQ(a.Enable(12, 1), 0);
    EXPECT_EQ(b.NextHeader(), (Bytes{b.id, 0x00, 0x80, 0x01, 0x0E, second, 0x00, 0x06}));
    ASSERT_EQ(uemu_DropLink(Reader(), a.link), UEMU_OK);
    EXPECT_EQ(b.NextHeader(), (Bytes{b.id, 0x00, 0x80, 0x00, 0x0E, a.id, 0x00, 0x06}));
    EXPECT_EQ(b.NextHeader(), (Bytes{b.id, 0x00, 0x80, 0x00, 0x0E, second, 0x00, 0x06}));
    EXPECT_TRUE(WaitUntil([&] { return a.ended.load(); }));
    EXPECT_TRUE(Logged("uemu(a-far): link terminated; deregistered processors: 3 5"));
    EXPECT_EQ(b.Ask(0, 14, 0).body, ResultBody(0, Concat({Ref(0, 14, 1), Ref(0, 14, 2), Ref(0, 14, b.id)})));
    uint32_t registrations = 9;
    EXPECT_EQ(uemu_GetEventRegistrations(Reader(), nullptr, 0, &registrations), UEMU_OK);
    EXPECT_EQ(registrations, 0u) << "its event registrations went with it";
    EXPECT_EQ(uemu_LinkIsServing(Reader(), a.link), 0);

    ASSERT_EQ(uemu_RestoreLink(Reader(), a.link), UEMU_OK);
    ASSERT_TRUE(WaitUntil([&] { return uemu_LinkIsServing(Reader(), a.link) == 1; }));
    a.Close();
    a.Open();
    ASSERT_EQ(a.Register("a"), 0);
    EXPECT_EQ(a.id, 6) << "a new id; the lost ones are not handed out again";
    EXPECT_EQ(uemu_FindLink(Reader(), a.id), a.link);
    EXPECT_EQ(b.NextHeader(), (Bytes{b.id, 0x00, 0x80, 0x01, 0x0E, 6, 0x00, 0x0A}));
    EXPECT_EQ(a.Ask(kReader, 12, 0).body, ResultBody(0, Ref(0, 12, 1)));

    // A detach deregisters too, and the handle is gone.
    ASSERT_EQ(uemu_Detach(Reader(), a.link), UEMU_OK);
    EXPECT_EQ(b.NextHeader(), (Bytes{b.id, 0x00, 0x80, 0x00, 0x0E, 6, 0x00, 0x06}));
    for (auto call : {uemu_LinkIsServing, uemu_DropLink, uemu_RestoreLink, uemu_Detach}) {
        EXPECT_EQ(call(Reader(), a.link), UEMU_ERR_NOT_FOUND);
    }
}

TEST_F(Emulator, RequestsBetweenClientsPassThroughUnchanged) {
    RawClient &a = Client("a"), &b = Client("b");
    std::promise<Bytes> seen;
    b.onRequest = [&](RawClient &c, Got r) {
        c.Reply(r, ResultBody(0, r.body), 9);
        r.header[ULMOT_HEADER_TYPE_ID] &= 0xC0;  // the session chose the id
        seen.set_value(Concat({r.header, r.body}));
    };
    const Answer r = a.Ask(b.id, 16, 100, 7, Array(1, {4, 5}));
    EXPECT_EQ(Concat({{r.instance}, r.body}), Concat({{9}, ResultBody(0, Array(1, {4, 5}))}));
    EXPECT_EQ(seen.get_future().get(), Concat({{b.id, a.id, 0x00, 100, 16, 7, 0x00, 0x05}, Array(1, {4, 5})}));
}

TEST_F(Emulator, IoctlTimesOutAndALateAnswerIsNotTakenForTheNextRequest) {
    RawClient &a = Client("a");
    std::atomic<int> arrived{0};
    // FF is never answered and FE late; other data comes back reversed, its
    // first byte as the status.
    a.onRequest = [&](RawClient &c, const Got &r) {
        Bytes data(r.body.begin() + 9, r.body.end());  // after item 254 and the head of item 1
        ++arrived;
        if (data == Bytes{0xFF}) return;
        if (data == Bytes{0xFE}) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::reverse(data.begin(), data.end());
        c.Reply(r, Concat({I8(3, data.back()), Array(2, data)}));
    };
    uint8_t out[8], status = 0;
    uint16_t length = 0;
    auto send = [&](const Bytes &data, uint32_t ms) {
        return uemu_SendIoctl(Reader(), a.id, 100, data.data(), static_cast<uint16_t>(data.size()), out, sizeof out,
                              &length, &status, ms);
    };
    EXPECT_EQ(send({0xFF}, 100), UEMU_ERR_TIMEOUT);
    EXPECT_EQ(send({0xFE}, 50), UEMU_ERR_TIMEOUT);
    // The answer to FE (id 2) arrives while this request (id 3) waits.
    ASSERT_EQ(send({1, 2}, 5000), UEMU_OK);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{2, 1}));
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(Logged("uemu(a-far): no request waits for response id 2"));
    // A caller waiting when the link goes returns at once.
    auto waiter = std::async(std::launch::async, [&] { return send({0xFF}, 60000); });
    ASSERT_TRUE(WaitUntil([&] { return arrived == 4; }));
    ASSERT_EQ(utr_MemoryLinkDown(a.pair), 0);
    EXPECT_EQ(waiter.get(), UEMU_ERR_LINK_LOST);
    EXPECT_TRUE(WaitUntil([&] { return a.ended.load(); }));
}

// ---- the schedule engine ---------------------------------------------------------


}  // namespace
