// The emulated reader's own behaviour, seen from raw clients: the requests
// it refuses, malformed frames, its links, IOCTL requests it sends, and the
// schedule engine beside several clients. What a user of the library sees
// of each object family is checked end to end by the families' suites.
#include <future>
#include <optional>

#include "support.h"

namespace {

using namespace ulmot::test;

constexpr uint8_t kReader = UEMU_READER_PROCESSOR_ID;

struct Got {
    Bytes header, body;
};
struct Answer {
    int32_t result = 12345;
    uint8_t instance = 0;
    Bytes body;
};

// Int8 item `id` of a body (0xFF when absent), read by the library's reader.
uint8_t Int8Item(const Bytes &body, uint32_t id) {
    Block b = Own(BlockWith(body));
    uint8_t v = 0xFF;
    ulmot_BufferReadDTPInt8(b.get(), id, &v);
    return v;
}

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
        ASSERT_NE(session, nullptr);
        ulmot_SessionRegisterEventHandler(session, OnEvent, this);
        ulmot_SessionRegisterRequestHandler(session, OnRequest, this);
        ulmot_SessionRegisterTerminationHandler(session, [](void *c) { static_cast<RawClient *>(c)->ended = true; },
                                                this);
    }
    // Destroys the session unless it ended on its own.
    void Close() {
        if (session != nullptr && !ended) ulmot_DestroySession(session);
        session = nullptr;
    }
    // A request from `source` (-1: this client's id).
    Answer Ask(uint8_t to, uint8_t type, uint8_t command, uint8_t instance = 0, const Bytes &body = {},
               int source = -1) {
        Answer a;
        MessageBlock *response = nullptr;
        a.result = ulmot_SendSessionMessage(session, ULMOT_MSG_REQUEST, source < 0 ? id : static_cast<uint8_t>(source),
                                            to, 0, type, command, instance, BlockWith(body), &response, &a.instance);
        if (response != nullptr) a.body = DataOf(response);
        if (response != nullptr) freemsg(response);
        return a;
    }
    int32_t Register(const std::string &name) {
        const Answer a = Ask(0, 14, 1, 0, Concat({List(1, {I8(0, 16), I8(0, 23)}), Array(0, Bytes(name.begin(), name.end()))}), 0);
        if (a.result == 0) id = a.instance;
        return a.result;
    }
    // Enables the event types of `mask` for every instance of `type`.
    int32_t Enable(uint8_t processor, uint8_t type, uint32_t mask) {
        return Ask(processor, type, 5, 0, Concat({I32(0, 0xFFFFFFFF), I32(0, mask)})).result;
    }
    void Reply(const Got &request, const Bytes &body, uint8_t instance = 0) {
        const Bytes &h = request.header;
        EXPECT_EQ(ulmot_SendSessionMessage(session, ULMOT_MSG_RESPONSE, id, h[ULMOT_HEADER_SOURCE],
                                           h[ULMOT_HEADER_TYPE_ID] & 63, h[ULMOT_HEADER_OBJECT_TYPE],
                                           h[ULMOT_HEADER_COMMAND], instance, BlockWith(body), nullptr, nullptr),
                  0);
    }
    Bytes NextHeader() {
        const std::optional<Got> e = Next();
        return e ? e->header : Bytes{};
    }
    std::optional<Got> Next(int ms = 5000) {
        std::unique_lock<std::mutex> l(m_);
        if (!cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return !events_.empty(); })) return std::nullopt;
        Got e = events_.front();
        events_.pop_front();
        return e;
    }
    // The reader sends to a link in the order it produced: a marker event
    // that comes next proves that nothing else was on its way.
    void ExpectNothingElse(uemu_Reader *reader) {
        ASSERT_EQ(uemu_SendEventTo(reader, id, 13, 4, 0xEE, nullptr, 0), UEMU_OK);
        const std::optional<Got> e = Next();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header[ULMOT_HEADER_INSTANCE], 0xEE) << "an event before the marker";
    }

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
        self->events_.push_back({Bytes(header, header + ULMOT_HEADER_SIZE), DataOf(b)});
        freemsg(b);
        self->cv_.notify_all();
        return 0;
    }
    static int32_t OnRequest(void *c, const uint8_t *header, uint16_t, MessageBlock *b) {
        auto *self = static_cast<RawClient *>(c);
        const Got r{Bytes(header, header + ULMOT_HEADER_SIZE), DataOf(b)};
        freemsg(b);
        if (self->onRequest) self->onRequest(*self, r);
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
        if (registered) {
            EXPECT_EQ(clients_.back()->Register(name), 0);
        }
        return *clients_.back();
    }
    Bytes Ids() {
        uemu_ProcessorInfo all[16];
        uint32_t n = 0;
        EXPECT_EQ(uemu_GetProcessors(Reader(), all, 16, &n), UEMU_OK);
        Bytes ids;
        for (uint32_t i = 0; i < n && i < 16; ++i) ids.push_back(all[i].id);
        return ids;
    }
    uint32_t Count(uint8_t type) {
        uint32_t n = 0;
        EXPECT_EQ(uemu_GetInstances(Reader(), type, nullptr, 0, &n), UEMU_OK);
        return n;
    }
    uint32_t EventRegistrations() {
        uint32_t n = 0;
        EXPECT_EQ(uemu_GetEventRegistrations(Reader(), nullptr, 0, &n), UEMU_OK);
        return n;
    }
    bool Logged(const std::string &line) {
        return WaitUntil([&] {
            const auto lines = readerLog_.WaitFor(0, 0);
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        });
    }

    std::vector<std::unique_ptr<RawClient>> clients_;
};

// ---- refusals --------------------------------------------------------------------

TEST_F(Emulator, RefusesWithTheResultCodeOfEachFault) {
    RawClient &a = Client("a");
    RawClient &none = Client("none", false);
    constexpr int kFromA = -1;  // sent by `a`; else by `none`, with this source
    const Bytes masks = Concat({I32(0, 1), I32(0, 1)}), x = Array(0, {'x'});
    struct Row {
        const char *what;
        uint8_t to, type, command, instance;
        Bytes body;
        int16_t result;
        int source = 0;
    };
    const Row rows[] = {
        {"registration without a name", 0, 14, 1, 0, List(1, {I8(0, 16)}), UEMU_RESULT_MALFORMED},
        {"an empty name", 0, 14, 1, 0, Array(0, {}), UEMU_RESULT_MALFORMED},
        {"a name of 255 bytes", 0, 14, 1, 0, Array(0, Bytes(255, 'n')), UEMU_RESULT_MALFORMED},
        {"a name of 254 bytes", 0, 14, 1, 0, Array(0, Bytes(254, 'n')), UEMU_RESULT_OK},
        {"object types not a list", 0, 14, 1, 0, Concat({I8(1, 16), x}), UEMU_RESULT_MALFORMED},
        {"a type that is not an Int8", 0, 14, 1, 0, Concat({List(1, {I16(0, 16)}), x}), UEMU_RESULT_MALFORMED},
        {"a list count above its elements", 0, 14, 1, 0, Concat({{0x15, 0, 3, 2, 0x00, 16}, x}), UEMU_RESULT_MALFORMED},
        {"a name running past the body", 0, 14, 1, 0, {0x04, 0x00, 0x09, 'x'}, UEMU_RESULT_MALFORMED},
        {"delivery command 3", 0, 14, 3, 0, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"delivery command 102", 0, 14, 102, 0, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"object type 5 at the delivery processor", 0, 5, 1, 0, x, UEMU_RESULT_TYPE_NOT_SERVED},
        {"deregistering another link's processor", 0, 14, 2, a.id, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"deregistering the reader's processor", 0, 14, 2, kReader, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"describing processor 9", 0, 14, 4, 9, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"a search by type without one", 0, 14, 101, 0, I8(5, 0), UEMU_RESULT_MALFORMED},
        {"a search by name without one", 0, 14, 100, 0, I8(2, 8), UEMU_RESULT_MALFORMED},
        {"a search type that is not an Int8", 0, 14, 101, 0, I16(2, 8), UEMU_RESULT_MALFORMED},
        {"a find flag that is not an Int8", 0, 14, 101, 0, Concat({I8(2, 8), I16(5, 1)}), UEMU_RESULT_MALFORMED},
        {"a name nobody has", 0, 14, 100, 0, Array(0, {'r', 'e', 'a', 'd'}), UEMU_RESULT_NOT_FOUND},
        {"a name with a type it lacks", 0, 14, 100, 0, Concat({Array(0, {'i', 'o'}), I8(2, 8)}), UEMU_RESULT_NOT_FOUND},
        {"a type nobody provides", 0, 14, 101, 0, I8(2, 20), UEMU_RESULT_NOT_FOUND},
        {"type 199 in a search by type", 0, 14, 101, 0, I8(2, 199), UEMU_RESULT_NOT_FOUND},
        {"a type the reader processor lacks", kReader, 2, 0, 0, {}, UEMU_RESULT_TYPE_NOT_SERVED},
        {"a type the io processor lacks", UEMU_IO_PROCESSOR_ID, 8, 0, 0, {}, UEMU_RESULT_TYPE_NOT_SERVED},
        {"a processor nobody registered", 77, 8, 0, 0, {}, UEMU_RESULT_NO_SUCH_PROCESSOR},
        {"getting instance 5 of 4 antennas", kReader, 8, 4, 5, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"getting instance 0", kReader, 8, 4, 0, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"setting an unknown instance", kReader, 5, 3, 9, I8(2, 1), UEMU_RESULT_UNKNOWN_INSTANCE},
        {"removing an unknown instance", kReader, 5, 2, 9, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"command 7", kReader, 8, 7, 1, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"command 99", kReader, 8, 99, 1, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"command 102", kReader, 8, 102, 1, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"an item running past the body", kReader, 8, 3, 1, {0x04, 0x00, 0x09, 0x01}, UEMU_RESULT_MALFORMED},
        {"an item header without its id", kReader, 8, 3, 1, {0x20, 0x01, 0xF0}, UEMU_RESULT_MALFORMED},
        {"removing a preset antenna", kReader, 8, 2, 1, {}, UEMU_RESULT_REFUSED},
        {"adding an antenna", kReader, 8, 1, 0, I16(0, 300), UEMU_RESULT_REFUSED},
        {"events for an unregistered source", kReader, 5, 5, 0, masks, UEMU_RESULT_NOT_REGISTERED},
        {"events claiming another link's processor", kReader, 5, 5, 0, masks, UEMU_RESULT_NOT_REGISTERED, a.id},
        {"event properties for an unregistered source", kReader, 17, 6, 0, Array(0, {0, 1, 2}),
         UEMU_RESULT_NOT_REGISTERED},
        {"event registration with one mask", kReader, 5, 5, 0, I32(0, 1), UEMU_RESULT_MALFORMED, kFromA},
        {"event registration with Int16 masks", kReader, 5, 5, 0, Concat({I16(0, 1), I16(0, 1)}), UEMU_RESULT_MALFORMED,
         kFromA},
        {"events of an unknown instance", kReader, 5, 5, 9, masks, UEMU_RESULT_UNKNOWN_INSTANCE, kFromA},
        {"event properties without the attach flag", kReader, 5, 6, 0, Array(0, {0}), UEMU_RESULT_MALFORMED, kFromA},
        {"event properties of an unknown instance", kReader, 5, 6, 0, Array(0, {9, 1, 0}), UEMU_RESULT_UNKNOWN_INSTANCE,
         kFromA},
        {"antenna power above its maximum", kReader, 8, 3, 2, I16(0, 320), UEMU_RESULT_OUT_OF_RANGE},
        {"an antenna receiving on antenna 5", kReader, 8, 3, 2, Array(3, {1, 5}), UEMU_RESULT_OUT_OF_RANGE},
        {"GPO state 2", UEMU_IO_PROCESSOR_ID, 1, 3, 2, I8(0, 2), UEMU_RESULT_OUT_OF_RANGE},
        {"writing GPO line 5 of 4", UEMU_IO_PROCESSOR_ID, 1, 100, 0, Array(1, {1, 1, 5, 1}), UEMU_RESULT_UNKNOWN_INSTANCE},
        {"a pair at 31.6 dBm", kReader, 17, 1, 0, Concat({I8(0, 1), I16(2, 316)}), UEMU_RESULT_OUT_OF_RANGE},
        {"a pair at 9.9 dBm", kReader, 17, 1, 0, Concat({I8(0, 1), I16(2, 99)}), UEMU_RESULT_OUT_OF_RANGE},
        {"a pair transmitting on antenna 0", kReader, 17, 1, 0, I8(0, 0), UEMU_RESULT_OUT_OF_RANGE},
        {"a schedule entry of value code 4", kReader, 11, 1, 0, List(0, {I32(0, 0x00040001)}), UEMU_RESULT_OUT_OF_RANGE},
        {"an access operation 2", kReader, 7, 1, 0, Concat({I16(0, 1), I8(4, 2), I8(6, 2)}), UEMU_RESULT_OUT_OF_RANGE},
        {"starting schedule 9", kReader, 11, 100, 9, I8(1, 0), UEMU_RESULT_UNKNOWN_INSTANCE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        RawClient &from = row.source == kFromA ? a : none;
        const Answer got = from.Ask(row.to, row.type, row.command, row.instance, row.body, row.source == kFromA ? -1 : row.source);
        EXPECT_EQ(got.result, row.result);
        EXPECT_EQ(got.body, ResultBody(row.result));
        if (row.result != UEMU_RESULT_OK) {
            EXPECT_EQ(got.instance, row.instance) << "the request's instance";
        }
    }
    // Nothing was changed by a refused request.
    EXPECT_EQ(Ids(), (Bytes{1, 2, a.id, static_cast<uint8_t>(a.id + 1)}));
    EXPECT_EQ(EventRegistrations(), 0u);
    EXPECT_EQ(Count(8), 4u);
    for (uint8_t type : {5, 7, 11, 17}) EXPECT_EQ(Count(type), 0u) << int(type);
    EXPECT_EQ(a.Ask(kReader, 8, 4, 2).body, ResultBody(0, {0x01, 0x01, 0x2C, 0x11, 0x00, 0x64, 0x21, 0x01, 0x3B, 0x34,
                                                            0x00, 0x01, 0x02, 0x40, 0x00}));
    EXPECT_EQ(a.Ask(UEMU_IO_PROCESSOR_ID, 1, 4, 1).body, ResultBody(0, I8(0, 0))) << "checked whole";
}

// ---- malformed input -----------------------------------------------------------

TEST_F(Emulator, MalformedFramesAreLoggedAndDroppedAndTheLinkGoesOn) {
    utr_MemoryPair *pair = QuickPair("raw");
    uemu_Link *link = nullptr;
    ASSERT_EQ(uemu_Attach(Reader(), utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, &link), UEMU_OK);
    Peer peer(utr_MemoryEndpoint(pair, UTR_SIDE_A));
    peer.SendBytes({1, 2, 3, 4, 5, 6, 7});
    peer.Send(Frame{0, 3, 3, 0, 0, 8, 0, {}});              // type 3, with a header and nothing more
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
                                      ResultBody(0, Concat({Ref(0, 8, 1), Ref(0, 8, 2), Ref(0, 8, 3), Ref(0, 8, 4)}))}));
    const auto lines = readerLog_.WaitFor(7);
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7),
              (std::vector<std::string>{"uemu(raw-far): attached", "uemu(raw-far): message of 7 bytes has no header",
                                        "uemu(raw-far): message type 3 dropped",
                                        "uemu(raw-far): event for processor 99 dropped",
                                        "uemu(raw-far): response for processor 99 dropped",
                                        "uemu(raw-far): no request waits for response id 9",
                                        "uemu(raw-far): registered processor 3 \"app\""}));
    EXPECT_EQ(uemu_Detach(Reader(), link), UEMU_OK);
    utr_MemoryPairDestroy(pair);
}

// ---- links -------------------------------------------------------------------------

TEST_F(Emulator, ALostLinkDeregistersItsProcessorsAndTheRestoredLinkServesANewOne) {
    RawClient &a = Client("a");
    RawClient &b = Client("b");
    ASSERT_TRUE(a.Next().has_value());  // b was added
    const Answer second = a.Ask(0, 14, 1, 0, Array(0, {'a', '2'}), 0);
    ASSERT_EQ(second.result, 0);
    ASSERT_EQ(a.Enable(kReader, 12, 1), 0);
    const Bytes gone = {a.id, second.instance};
    EXPECT_EQ(b.NextHeader(), (Bytes{b.id, 0x00, 0x80, 0x01, 0x0E, gone[1], 0x00, 0x06}));

    ASSERT_EQ(uemu_DropLink(Reader(), a.link), UEMU_OK);
    for (uint8_t id : gone) {
        const std::optional<Got> e = b.Next();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header, (Bytes{b.id, 0x00, 0x80, 0x00, 0x0E, id, 0x00, 0x06})) << "removed " << int(id);
    }
    EXPECT_TRUE(WaitUntil([&] { return a.ended.load(); }));
    EXPECT_TRUE(Logged("uemu(a-far): link terminated; deregistered processors: 3 5"));
    EXPECT_EQ(Ids(), (Bytes{1, 2, b.id}));
    EXPECT_EQ(EventRegistrations(), 0u) << "its event registrations went with it";
    EXPECT_EQ(uemu_LinkIsServing(Reader(), a.link), 0);
    EXPECT_EQ(uemu_FindLink(Reader(), a.id), nullptr);

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
    b.ExpectNothingElse(Reader());
    for (auto call : {uemu_LinkIsServing, uemu_DropLink, uemu_RestoreLink, uemu_Detach}) {
        EXPECT_EQ(call(Reader(), a.link), UEMU_ERR_NOT_FOUND);
    }
    // Hooks: none, or one that fails.
    utr_MemoryPair *pair = QuickPair("hooks");
    const uemu_LinkHooks failing{[](void *) { return 1; }, nullptr, nullptr};
    uemu_Link *bare = nullptr, *hooked = nullptr;
    ASSERT_EQ(uemu_Attach(Reader(), utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, &bare), UEMU_OK);
    EXPECT_EQ(uemu_DropLink(Reader(), bare), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_Detach(Reader(), bare), UEMU_OK);
    ASSERT_EQ(uemu_Attach(Reader(), utr_MemoryEndpoint(pair, UTR_SIDE_B), &failing, &hooked), UEMU_OK);
    EXPECT_EQ(uemu_DropLink(Reader(), hooked), UEMU_ERR_FAILED);
    EXPECT_EQ(uemu_RestoreLink(Reader(), hooked), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_Detach(Reader(), hooked), UEMU_OK);
    utr_MemoryPairDestroy(pair);
    Transport incomplete{};
    EXPECT_EQ(uemu_Attach(Reader(), &incomplete, nullptr, nullptr), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_Attach(Reader(), nullptr, nullptr, nullptr), UEMU_ERR_INVALID);
}

TEST_F(Emulator, RequestsAndEventsBetweenClientsPassThroughUnchanged) {
    RawClient &a = Client("a");
    RawClient &b = Client("b");
    std::promise<Got> seen;
    b.onRequest = [&](RawClient &c, const Got &r) {
        seen.set_value(r);
        c.Reply(r, ResultBody(0, r.body), 9);
    };
    const Answer r = a.Ask(b.id, 16, 100, 7, Array(1, {4, 5}));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.instance, 9);
    EXPECT_EQ(r.body, ResultBody(0, Array(1, {4, 5})));
    Got request = seen.get_future().get();
    request.header[ULMOT_HEADER_TYPE_ID] &= 0xC0;  // the session chose the id
    EXPECT_EQ(request.header, (Bytes{b.id, a.id, 0x00, 100, 16, 7, 0x00, 0x05}));
    EXPECT_EQ(request.body, Array(1, {4, 5}));
    ASSERT_EQ(ulmot_SendSessionMessage(a.session, ULMOT_MSG_EVENT, a.id, b.id, 0, 13, 0, 6, BlockWith(TimestampBody(77)),
                                       nullptr, nullptr),
              0);
    const std::optional<Got> e = b.Next();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{b.id, a.id, 0x80, 0x00, 0x0D, 0x06, 0x00, 0x06}));
    EXPECT_EQ(e->body, TimestampBody(77));
}

TEST_F(Emulator, IoctlTimesOutAndALateAnswerIsNotTakenForTheNextRequest) {
    RawClient &a = Client("a");
    std::atomic<int> arrived{0};
    std::mutex m;
    std::vector<Bytes> headers;
    // The request data decides: FF is never answered, FE late, FD without a
    // status; else the data reversed with its first byte as the status.
    a.onRequest = [&](RawClient &c, const Got &r) {
        {
            std::lock_guard<std::mutex> l(m);
            headers.push_back(r.header);
        }
        ++arrived;
        Bytes data(r.body.begin() + 9, r.body.end());
        if (data == Bytes{0xFF}) return;
        if (data == Bytes{0xFE}) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (data == Bytes{0xFD}) return c.Reply(r, Array(2, {1}));
        std::reverse(data.begin(), data.end());
        c.Reply(r, Concat({I8(3, data.empty() ? 0 : data.back()), Array(2, data)}));
    };
    uint8_t out[8];
    uint16_t length = 0;
    uint8_t status = 0;
    auto send = [&](const Bytes &data, uint32_t capacity, uint32_t ms) {
        return uemu_SendIoctl(Reader(), a.id, 100, data.data(), static_cast<uint16_t>(data.size()), out, capacity,
                              &length, &status, ms);
    };
    ASSERT_EQ(send({7, 2, 3}, sizeof out, 5000), UEMU_OK);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{3, 2, 7}));
    EXPECT_EQ(send({5, 6}, 1, 5000), UEMU_ERR_TOO_SMALL);
    EXPECT_EQ(length, 2) << "the size needed";
    EXPECT_EQ(status, 5);
    status = 99;
    EXPECT_EQ(send({0xFD}, sizeof out, 5000), UEMU_ERR_MALFORMED);
    EXPECT_EQ(status, 99);
    EXPECT_EQ(send({0xFF}, sizeof out, 100), UEMU_ERR_TIMEOUT);
    EXPECT_EQ(send({0xFE}, sizeof out, 50), UEMU_ERR_TIMEOUT);
    // The answer to FE (id 5) arrives while this request waits.
    ASSERT_EQ(send({1, 2}, sizeof out, 5000), UEMU_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{2, 1}));
    EXPECT_TRUE(Logged("uemu(a-far): no request waits for response id 5"));
    {
        std::lock_guard<std::mutex> l(m);
        ASSERT_EQ(headers.size(), 6u);
        EXPECT_EQ(headers[0], (Bytes{a.id, kReader, 0x01, 100, 23, 0x00, 0x00, 0x0C}));
        EXPECT_EQ(headers[5], (Bytes{a.id, kReader, 0x06, 100, 23, 0x00, 0x00, 0x0B}));
    }
    EXPECT_EQ(uemu_SendIoctl(Reader(), 99, 100, nullptr, 0, out, 8, &length, &status, 100), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SendIoctl(Reader(), kReader, 100, nullptr, 0, out, 8, &length, &status, 100), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, nullptr, 0, out, 8, nullptr, &status, 100), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, nullptr, 0, out, 8, &length, nullptr, 100), UEMU_ERR_INVALID);
    EXPECT_EQ(send(Bytes(2032, 0), sizeof out, 100), UEMU_ERR_INVALID);
    // A caller waiting when the link goes returns at once.
    auto waiter = std::async(std::launch::async, [&] { return send({0xFF}, sizeof out, 60000); });
    ASSERT_TRUE(WaitUntil([&] { return arrived.load() == 7; }));
    ASSERT_EQ(utr_MemoryLinkDown(a.pair), 0);
    EXPECT_EQ(waiter.get(), UEMU_ERR_LINK_LOST);
    EXPECT_TRUE(WaitUntil([&] { return a.ended.load(); }));
}

// ---- the schedule engine -----------------------------------------------------------

class Engine : public Emulator {
protected:
    void SetUp() override {
        Emulator::SetUp();
        config_.tagCount = 40;
    }
    uint8_t Add(RawClient &c, uint8_t type, const Bytes &body) {
        const Answer a = c.Ask(kReader, type, 1, 0, body);
        EXPECT_EQ(a.result, 0) << "adding type " << int(type);
        return a.instance;
    }
    // An inventory of format 517 and a schedule that repeats it on `antennas`.
    uint8_t Schedule(RawClient &c, uint8_t inventory, std::vector<Bytes> entries = {}) {
        entries.push_back(Ref(0, 5, inventory));
        return Add(c, 11, List(0, entries));
    }
    int32_t Start(RawClient &c, uint8_t schedule) { return c.Ask(kReader, 11, 100, schedule, I8(1, 1)).result; }
};

TEST_F(Engine, StartsStopsAndStoreChangesFromSeveralClientsKeepRunsWholeAndInOrder) {
    config_.tagRate = 1000;  // the listener's inbound queue (127) must not lose reports
    RawClient &listener = Client("listener");
    RawClient &first = Client("first");
    RawClient &second = Client("second");
    RawClient &churn = Client("churn");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(listener.Next().has_value());  // the others were added
    for (RawClient *c : {&listener, &first, &second}) ASSERT_EQ(c->Enable(kReader, 5, 1u << 2), 0);
    ASSERT_EQ(listener.Enable(kReader, 11, 3), 0);
    const uint8_t inventory = Add(first, 5, Concat({I8(2, 0), I16(0, 517)}));
    const uint8_t schedules[] = {Schedule(first, inventory), Schedule(second, inventory, {Ref(0, 8, 2)})};
    std::atomic<int> failures{0};
    std::atomic<int> stopped[2] = {0, 0};
    auto cycle = [&](RawClient &c, int k) {
        for (int i = 0; i < 40; ++i) {
            const int32_t started = Start(c, schedules[k]);
            if (started != 0 && started != UEMU_RESULT_REFUSED) ++failures;
            // A run of ours lasts until it reported a tag.
            for (std::optional<Got> e; started == 0 && (e = c.Next()) &&
                                       (e->header[ULMOT_HEADER_OBJECT_TYPE] != 5 || Int8Item(e->body, 20) != schedules[k]);) {
            }
            const Answer stop = c.Ask(kReader, 11, 101, schedules[k]);
            const uint8_t status = Int8Item(stop.body, 6);
            if (stop.result != 0 || status > 1) ++failures;
            if (status == 0) ++stopped[k];
        }
    };
    std::atomic<bool> done{false};
    std::thread one([&] { cycle(first, 0); });
    std::thread two([&] { cycle(second, 1); });
    std::thread store([&] {
        for (uint8_t i = 0; !done; ++i) {
            const uint8_t selector = Add(churn, 3, List(0, {}));
            const uint8_t access = Add(churn, 7, Concat({I16(0, 1), I8(4, 1), I8(6, 3), I16(8, 2), Array(7, {0, i})}));
            if (churn.Ask(kReader, 5, 3, inventory, List(3, {Ref(0, 3, selector)})).result != 0) ++failures;
            if (churn.Ask(kReader, 3, 2, selector).result != 0 || churn.Ask(kReader, 7, 2, access).result != 0) ++failures;
            uemu_Tag tag{};
            if (uemu_GetTag(Reader(), i % 40u, &tag) != UEMU_OK || uemu_SetAntennaVswr(Reader(), 2, i & 1) != UEMU_OK) {
                ++failures;
            }
        }
    });
    one.join();
    two.join();
    done = true;
    store.join();
    EXPECT_EQ(failures.load(), 0);

    // The listener's view: a start, its schedule's reports, its stop; the
    // stop event of a stopped run left behind the stop's response.
    ASSERT_EQ(uemu_SendEventTo(Reader(), listener.id, 13, 4, 0xEE, nullptr, 0), UEMU_OK);
    int running = -1, starts = 0, stops[2] = {0, 0};
    size_t reports = 0;
    for (;;) {
        const std::optional<Got> e = listener.Next();
        ASSERT_TRUE(e.has_value()) << "the marker must come";
        const uint8_t type = e->header[ULMOT_HEADER_OBJECT_TYPE], instance = e->header[ULMOT_HEADER_INSTANCE];
        if (type == 13) break;
        if (type == 5) {
            ++reports;
            EXPECT_EQ(running, Int8Item(e->body, 20)) << "a report outside its run";
        } else if (e->header[ULMOT_HEADER_COMMAND] == 0) {
            EXPECT_EQ(running, -1) << "a start while schedule " << running << " runs";
            running = instance;
            ++starts;
        } else {
            EXPECT_EQ(running, instance) << "a stop of a schedule that was not running";
            EXPECT_EQ(Int8Item(e->body, 2), 0) << "stopped by request";
            ++stops[instance == schedules[1]];
            running = -1;
        }
    }
    EXPECT_EQ(running, -1);
    EXPECT_EQ(stops[0], stopped[0].load());
    EXPECT_EQ(stops[1], stopped[1].load());
    EXPECT_EQ(starts, stops[0] + stops[1]);
    EXPECT_GT(starts, 0);
    EXPECT_GT(reports, 0u);
}

TEST_F(Engine, DestroyingTheReaderInTheMiddleOfARunEndsItAndReleasesAWaitingCaller) {
    RawClient &c = Client("app");
    std::atomic<bool> asked{false};
    c.onRequest = [&](RawClient &, const Got &) { asked = true; };  // never answered
    ASSERT_EQ(c.Enable(kReader, 5, 1u << 2), 0);
    ASSERT_EQ(c.Enable(kReader, 7, 7), 0);
    const uint8_t inventory = Add(c, 5, Concat({I8(2, 0), I16(0, 517)}));
    Add(c, 7, Concat({I16(0, 1), I8(4, 0), I8(6, 2)}));
    ASSERT_EQ(Start(c, Schedule(c, inventory)), 0);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(c.Next().has_value());
    auto waiter = std::async(std::launch::async, [&, reader = reader_] {
        uint8_t out[4], status = 0;
        uint16_t length = 0;
        return uemu_SendIoctl(reader, c.id, 100, nullptr, 0, out, 4, &length, &status, 60000);
    });
    ASSERT_TRUE(WaitUntil([&] { return asked.load(); }));
    uemu_Destroy(reader_);
    reader_ = nullptr;
    EXPECT_EQ(waiter.get(), UEMU_ERR_LINK_LOST);
    // The fixture checks that every block is back once the pairs are gone.
}

TEST_F(Engine, AClientThatStopsReceivingDoesNotTakeTheLastBlocks) {
    config_.tagRate = 20000;
    RawClient &c = Client("app");
    ASSERT_EQ(c.Enable(kReader, 5, 1u << 2), 0);
    ASSERT_EQ(Start(c, Schedule(c, Add(c, 5, Concat({I8(2, 0), I16(0, 517)})))), 0);
    // The session goes and the processor stays: reports pile up for nobody.
    c.Close();
    Transport *inbound = utr_MemoryEndpoint(c.pair, UTR_SIDE_A);
    ASSERT_TRUE(WaitUntil([&] { return utr_MemoryQueued(inbound) >= 500; }, 20000));
    uint32_t queued = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const uint32_t before = std::exchange(queued, utr_MemoryQueued(inbound));
            return before == queued;
        },
        20000))
        << "the reports hold back once the small blocks are gone";
    Block large = Own(allocb(2048, 1)), middle = Own(allocb(384, 1));
    EXPECT_NE(large, nullptr);
    EXPECT_NE(middle, nullptr);
}

}  // namespace
