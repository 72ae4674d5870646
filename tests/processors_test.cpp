// Processors against their far end: requests to the delivery processor, the
// client (attach table, processor events, IOCTL requests, reconnection and
// destroy), the IOCTL processor and the generic object operations.
#include "support.h"

namespace {

using namespace ulmot::test;
using Lines = std::vector<std::string>;

// Runs `call` on a thread while the far end answers each message it receives
// with the next reply: what came (ids as sent), the result and the lines.
Exchange Answer(Peer &peer, const std::function<int32_t()> &call, const std::vector<Reply> &replies) {
    Exchange x;
    LogCapture log;
    std::thread t([&] { x.result = call(); });
    for (const Reply &r : replies) {
        x.requests.push_back(Await(peer));
        if (x.requests.back().empty()) break;
        peer.Respond(x.requests.back(), r.body, r.instance);
    }
    t.join();
    x.lines = log.Lines();
    return x;
}

// A request to the delivery processor (processor 0, object type 14).
Bytes ToDelivery(uint8_t source, uint8_t id, uint8_t command, uint8_t instance, const Bytes &body) {
    Bytes w = {0x00, source, id, command, ULMOT_OBJ_DELIVERY, instance};
    PutBe(w, static_cast<uint32_t>(body.size()), 2);
    Append(w, body);
    return w;
}

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

using Delivery = SessionTest;

TEST_F(Delivery, RegistrationSendsTheTypesThenTheNameAndTheIdComesBack) {
    const uint32_t types[] = {16, 23, 0x1FF};
    uint8_t id = 0;
    Exchange x = Answer(*peer_, [&] { return ulmot_DeliveryProcessorRegistration(session_, "app", types, 3, &id); },
                        {{ResultBody(-2), 42}});
    EXPECT_EQ(x.requests, std::vector<Bytes>{ToDelivery(0, 8, 1, 0, Concat({List(1, {I8(0, 16), I8(0, 23), I8(0, 255)}),
                                                                               Array(0, Text("app"))}))});
    EXPECT_EQ(x.result, -2);
    EXPECT_EQ(id, 42);
    x = Answer(*peer_, [&] { return ulmot_DeliveryProcessorDeregistration(session_, 0x105); }, {{ResultBody(-3)}});
    EXPECT_EQ(x.requests, std::vector<Bytes>{ToDelivery(5, 8, 2, 5, {})});
    EXPECT_EQ(x.result, -3);
}

TEST_F(Delivery, NamesOf1To254BytesAndAtMost255Types) {
    const std::vector<uint32_t> types(256, 16);
    const Lines badName = {"ulmot_DeliveryProcessorRegistration: Improper processor name length"};
    const struct {
        std::string name;
        uint32_t count;
        int32_t result;
        Lines lines;
    } rows[] = {{"", 1, -5, badName},
                {std::string(255, 'n'), 1, -5, badName},
                {"n", 256, -1, {"ulmot_DeliveryProcessorRegistration: Failed to build message"}},
                {std::string(254, 'n'), 255, 0, {}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name.size());
        Exchange x = Answer(
            *peer_, [&] { return ulmot_DeliveryProcessorRegistration(session_, row.name.c_str(), types.data(), row.count, nullptr); },
            row.result == 0 ? std::vector<Reply>{Ok()} : std::vector<Reply>{});
        EXPECT_EQ(x.result, row.result);
        EXPECT_EQ(x.lines, row.lines);
    }
    EXPECT_TRUE(peer_->Receive(0).empty()) << "refused registrations send nothing";
}

TEST_F(Delivery, SearchByNameOrTypeReadsItem3AndLeavesTheOutOnFailure) {
    const Bytes byName = Array(0, Text("rdr")), flag = I8(5, 1), found = Ref(3, 14, 4);
    const struct {
        const char *name;
        uint32_t objectType;
        Bytes request;
        Reply reply;
        uint8_t id;
        Lines lines;
    } rows[] = {
        {"rdr", 199, ToDelivery(9, 8, 100, 0, Concat({byName, flag})), Ok(found), 4, {}},
        {"rdr", 0x105, ToDelivery(9, 8, 100, 0, Concat({byName, I8(2, 5), flag})), Ok(found), 4, {}},
        {nullptr, 199, ToDelivery(9, 8, 101, 0, Concat({I8(2, 199), flag})), Ok(found), 4, {}},
        {nullptr, 5, ToDelivery(9, 8, 101, 0, Concat({I8(2, 5), flag})), {ResultBody(-3, found)}, 77, {}},
        {nullptr, 5, ToDelivery(9, 8, 101, 0, Concat({I8(2, 5), flag})), Ok(), 0,
         {"ulmot_FindProcessorByName: Failed to find processor ID in response"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(Hex(row.request));
        uint8_t id = 77;
        Exchange x = Answer(*peer_, [&] { return ulmot_FindProcessorByName(session_, 9, row.name, row.objectType, &id, 1); },
                            {row.reply});
        EXPECT_EQ(x.requests, std::vector<Bytes>{row.request});
        EXPECT_EQ(x.result, row.id == 77 ? -3 : 0);
        EXPECT_EQ(id, row.id);
        EXPECT_EQ(x.lines, row.lines);
    }
}

// The client and the IOCTL processor register their name, cut to 30 and 16
// characters, with the types they provide, and deregister with their id.
using Registration = PoolTest;

TEST_F(Registration, ClientAndIoctlProcessorRegisterTheirNameAndTypes) {
    for (bool client : {true, false}) {
        SCOPED_TRACE(client ? "client" : "IOCTL processor");
        utr_MemoryPair *pair = QuickPair("registration");
        Transport *near = utr_MemoryEndpoint(pair, UTR_SIDE_A);
        Peer reader(utr_MemoryEndpoint(pair, UTR_SIDE_B));
        ClientProcessor *c = nullptr;
        IoctlProcessor *p = nullptr;
        Exchange x = Answer(reader, [&] {
            return client ? ulmot_CreateClientProcessor(near, "0123456789abcdefghij0123456789XYZ", &c)
                          : ulmot_CreateIOCTLProcessor(near, "ioctl-0123456789abcdef", &p);
        }, {Ok({}, 7)});
        const Bytes types = client ? List(1, {I8(0, 16), I8(0, 23)}) : List(1, {I8(0, 23)});
        const Bytes name = Array(0, Text(client ? "0123456789abcdefghij0123456789" : "ioctl-0123456789"));
        EXPECT_EQ(x.requests, std::vector<Bytes>{ToDelivery(0, 8, 1, 0, Concat({types, name}))});
        EXPECT_EQ(client ? ulmot_GetClientProcessorID(c) : 7, 7);
        x = Answer(reader, [&] { return client ? (ulmot_DestroyClientProcessor(c), 0) : ulmot_DestroyIOCTLProcessor(p); },
                   {Ok()});
        EXPECT_EQ(x.requests, std::vector<Bytes>{ToDelivery(7, 8, 2, 7, {})});
        utr_MemoryPairDestroy(pair);
    }
}

void Added(void *r, uint32_t timestamp, uint8_t id, const uint32_t *types, uint32_t count) {
    std::string s = Format("added %u ts%u:", id, timestamp);
    for (uint32_t i = 0; i < count; ++i) s += Format(" %u", types[i]);
    Of(r).Add(s);
}
void Removed(void *r, uint32_t timestamp, uint8_t id) { Of(r).Add(Format("removed %u ts%u", id, timestamp)); }
void AttachedRemoved(void *r, uint32_t timestamp, uint32_t type, uint8_t id) {
    Of(r).Add(Format("type %u of %u removed ts%u", type, id, timestamp));
}

using Client = ClientTest;

TEST_F(Client, AttachTargetSetsTheEntriesOf0To24) {
    LogCapture log;
    EXPECT_EQ(ulmot_AttachTargetProcessor(client_, 25, 3), -5);
    EXPECT_EQ(ulmot_AttachTargetProcessor(client_, -1, 3), -5);
    EXPECT_EQ(ulmot_AttachTargetProcessor(client_, 0, 9), 0);
    EXPECT_EQ(ulmot_AttachTargetProcessor(client_, 24, 10), 0);
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_AttachTagProcessor: Invalid object type (25)",
                                  "ulmot_AttachTagProcessor: Invalid object type (4294967295)"}));
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 0), 9);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 24), 10);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 25), 0);
}

TEST_F(Client, AttachDefaultAndByNameSearchTheDeliveryProcessor) {
    const Bytes byType = ToDelivery(7, 0, 101, 0, Concat({I8(2, 5), I8(5, 2)}));
    const Bytes byName = ToDelivery(7, 0, 100, 0, Concat({Array(0, Text("gpio")), I8(2, 2), I8(5, 0)}));
    const std::function<int32_t()> byDefault = [&] { return ulmot_AttachDefaultObjectProcessor(client_, 5, 1, 2); };
    const std::function<int32_t()> named = [&] { return ulmot_AttachProcessorByName(client_, "gpio", 2, 0); };
    const struct {
        std::function<int32_t()> call;
        std::vector<Reply> replies;
        std::vector<Bytes> requests;
        int32_t result;
        uint32_t type;
        uint8_t entry;
        Lines lines;
    } rows[] = {
        {byDefault, {Ok(Ref(3, 14, 3))}, {byType}, 0, 5, 3, {}},
        {byDefault, {Ok(Ref(3, 14, 0))}, {byType}, -1, 5, 3, {}},
        {byDefault, {{ResultBody(-2)}}, {byType}, -1, 5, 3, {}},
        {named, {Ok(Ref(3, 14, 0))}, {byName}, -1, 2, 0x22,
         {"ulmot_AttachObjectProcessorByName: Failed to determine processor ID with name gpio"}},
        {named, {Ok(Ref(3, 14, 4))}, {byName}, 0, 2, 4, {}},
        {[&] { return ulmot_AttachDefaultObjectProcessor(client_, 25, 0, 0); }, {}, {}, -1, 25, 0,
         {"ulmot_AttachDefaultObjectProcessor: Invalid object type (25)"}},
        {[&] { return ulmot_AttachProcessorByName(client_, "gpio", 25, 0); }, {}, {}, -1, 25, 0,
         {"ulmot_AttachObjectProcessorByName: Invalid object type (25)"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.lines.empty() ? Hex(row.replies[0].body) : row.lines[0]);
        Exchange x = Run(row.call, row.replies);
        EXPECT_EQ(x.requests, row.requests);
        EXPECT_EQ(x.result, row.result);
        EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, row.type), row.entry);
        EXPECT_EQ(x.lines, row.lines);
    }
}

TEST_F(Client, ProcessorEventsReachTheirCallbacks) {
    EXPECT_EQ(Run([&] { return ulmot_AttachDefaultObjectProcessor(client_, 24, 1, 0); }, {Ok(Ref(3, 14, 4))}).result, 0);
    EXPECT_EQ(Run([&] { return ulmot_AttachDefaultObjectProcessor(client_, 5, 0, 0); }, {Ok(Ref(3, 14, 4))}).result, 0);
    Recorder seen;
    ulmot_RegisterProcessorAddedEvent(client_, Added, &seen, 1);
    ulmot_RegisterProcessorRemovedEvent(client_, Removed, &seen, 1);
    ulmot_RegisterAttachedProcessorRemovedEvent(client_, AttachedRemoved, &seen, 1);
    Bytes provided;
    std::string types;
    for (uint8_t t = 0; t <= 25; ++t) Append(provided, I8(2, t));
    for (uint8_t t = 0; t < 25; ++t) types += Format(" %u", t);
    LogCapture log;
    SendEvent(14, 1, 6, 11, provided);  // at most 25 types are read
    SendEvent(14, 1, 6, 12, I8(3, 5));  // provides nothing: a line, no call
    SendEvent(14, 0, 4, 13, {});        // 4 was attached to 24 (with notification) and 5
    ASSERT_EQ(seen.WaitFor(3).size(), 3u);
    ulmot_RegisterAttachedProcessorRemovedEvent(client_, AttachedRemoved, &seen, 0);
    SendEvent(14, 0, 4, 14, {});
    SendEvent(14, 1, 6, 15, I8(2, 1));  // once it is seen, the event before it is done with
    ASSERT_EQ(seen.WaitFor(5).size(), 5u);
    ulmot_RegisterProcessorRemovedEvent(client_, Removed, &seen, 0);
    ulmot_RegisterProcessorAddedEvent(client_, Added, &seen, 0);
    ulmot_RegisterAttachedProcessorRemovedEvent(client_, AttachedRemoved, &seen, 1);
    SendEvent(14, 1, 6, 16, provided);
    SendEvent(14, 0, 4, 17, {});
    EXPECT_EQ(seen.WaitFor(6), (Lines{"added 6 ts11:" + types, "removed 4 ts13", "type 24 of 4 removed ts13",
                                      "removed 4 ts14", "added 6 ts15: 1", "type 24 of 4 removed ts17"}));
    EXPECT_EQ(log.Lines(), Lines{"ulmot_ClientHandleProcessorAdded: processor provides no objects"});
}

TEST_F(Client, EventsForAnotherProcessorReachNoHandler) {
    Recorder seen;
    ulmot_RegisterProcessorRemovedEvent(client_, Removed, &seen, 1);
    for (uint8_t destination : {8, 0, 7}) {
        reader_->peer().SendEvent(14, 0, TimestampBody(destination), destination, destination);
    }
    EXPECT_EQ(seen.WaitFor(2), (Lines{"removed 0 ts0", "removed 7 ts7"}));
}

// An IOCTL request of processor 5 with message id 3.
Frame IoctlRequest(uint8_t command, const Bytes &body, uint8_t objectType = ULMOT_OBJ_IOCTL) {
    Frame f;
    f.source = 5;
    f.type = ULMOT_MSG_REQUEST;
    f.id = 3;
    f.command = command;
    f.objectType = objectType;
    f.body = body;
    return f;
}
const Bytes kIoctlResponse = {0x05, 0x07, 0x43, 0x64, 0x17, 0x00};

// Answers with the request reversed (at most 8 bytes) and the status
// `result`, noting the length of each request.
struct Echo {
    int32_t result = 0;
    Recorder lengths;
    static int32_t Callback(void *e, const uint8_t *request, uint16_t length, uint8_t *response, uint32_t,
                            uint16_t *responseLength) {
        uint16_t n = 0;
        for (uint16_t i = length; i > 0 && n < 8; --i) response[n++] = request[i - 1];
        *responseLength = n;
        static_cast<Echo *>(e)->lengths.Add(std::to_string(length));
        return static_cast<Echo *>(e)->result;
    }
};

Bytes Counting(size_t n) {
    Bytes b;
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(i + 1));
    return b;
}

// Sends each request in turn and checks the answer's body, the lengths the
// callback saw and the lines.
struct IoctlRow {
    bool callback;
    Frame request;
    Bytes answer;
    Lines lengths, lines;
};
void ExpectAnswers(ScriptedReader &reader, Echo &echo, const std::function<void(bool)> &install,
                   const std::vector<IoctlRow> &rows) {
    for (const IoctlRow &row : rows) {
        SCOPED_TRACE(Hex(row.request.Wire()).substr(0, 40));
        install(row.callback);
        LogCapture log;
        reader.peer().Send(row.request);
        reader.peer().Send(IoctlRequest(101, {}));  // answered after it: status 2
        const Bytes first = BodyOf(reader.NextRequest());
        EXPECT_EQ(first, row.answer.empty() ? I8(3, 2) : row.answer);
        EXPECT_EQ(row.answer.empty() ? I8(3, 2) : BodyOf(reader.NextRequest()), I8(3, 2));
        EXPECT_EQ(echo.lengths.Take(), row.lengths);
        EXPECT_EQ(log.Lines(), row.lines);
    }
}

using ClientIoctl = ClientTest;

TEST_F(ClientIoctl, AnswersStatusFirstThenTheData) {
    Echo echo;
    ulmot_RegisterIOCTL(client_, Echo::Callback, &echo, 1);
    reader_->peer().Send(IoctlRequest(100, Array(1, {1, 2, 3})));
    EXPECT_EQ(reader_->NextRequest(), Concat({kIoctlResponse, {0x00, 0x08}, I8(3, 0), Array(2, {3, 2, 1})}));
}

TEST_F(ClientIoctl, StatusesOfItsOwn) {
    Echo echo;
    echo.result = 0x1FF;
    ExpectAnswers(*reader_, echo, [&](bool on) { ulmot_RegisterIOCTL(client_, Echo::Callback, &echo, on); },
                  {{false, IoctlRequest(100, Array(1, {1, 2})), I8(3, 1), {}, {}},
                   {true, IoctlRequest(101, Array(1, {1, 2})), I8(3, 2), {}, {}},
                   {true, IoctlRequest(100, I8(3, 1)), I8(3, 0xFF), {"0"}, {}},
                   {true, IoctlRequest(100, Array(1, Counting(1001))), Concat({I8(3, 0xFF), Array(2, {233, 232, 231, 230, 229, 228, 227, 226})}), {"1001"}, {}}});
}

TEST_F(ClientIoctl, RequestsOfOtherTypesAreDroppedSilently) {
    Echo echo;
    ExpectAnswers(*reader_, echo, [&](bool on) { ulmot_RegisterIOCTL(client_, Echo::Callback, &echo, on); },
                  {{true, IoctlRequest(100, Array(1, {1}), 16), {}, {}, {}}});
}

class IoctlProcessorTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = QuickPair("ioctl");
        reader_ = std::make_unique<ScriptedReader>(utr_MemoryEndpoint(pair_, UTR_SIDE_B));
        ASSERT_EQ(ulmot_CreateIOCTLProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "ioctl", &p_), 0);
    }
    void TearDown() override {
        if (p_ != nullptr) ulmot_DestroyIOCTLProcessor(p_);
        reader_.reset();
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }
    std::function<void(bool)> Install(Echo &echo) {
        return [&](bool on) { ulmot_RegisterIOCTLProcessorCallback(p_, on ? Echo::Callback : nullptr, &echo); };
    }

    utr_MemoryPair *pair_ = nullptr;
    std::unique_ptr<ScriptedReader> reader_;
    IoctlProcessor *p_ = nullptr;
};

TEST_F(IoctlProcessorTest, AnswersDataFirstThenTheStatus) {
    Echo echo;
    ExpectAnswers(*reader_, echo, Install(echo),
                  {{true, IoctlRequest(100, Array(1, {1, 2, 3})), Concat({Array(2, {3, 2, 1}), I8(3, 0)}), {"3"}, {}},
                   {true, IoctlRequest(100, Array(1, {})), Concat({Array(2, {}), I8(3, 0)}), {"0"}, {}}});
}

TEST_F(IoctlProcessorTest, StatusesOfItsOwn) {
    Echo echo;
    const Lines unreadable = {"ulmot_IOCTLRequestHandler: failed to read request data"};
    ExpectAnswers(
        *reader_, echo, Install(echo),
        {{false, IoctlRequest(100, Array(1, {1, 2})), I8(3, 1), {}, {"ulmot_IOCTLRequestHandler: no request handler defined"}},
         {true, IoctlRequest(101, Array(1, {1, 2})), I8(3, 2), {}, {}},
         {true, IoctlRequest(100, Array(1, Counting(1000))), Concat({Array(2, {232, 231, 230, 229, 228, 227, 226, 225}), I8(3, 0)}), {"1000"}, {}},
         {true, IoctlRequest(100, Array(1, Counting(1001))), I8(3, 3), {}, unreadable},
         {true, IoctlRequest(100, I8(3, 1)), I8(3, 3), {}, unreadable},
         {true, IoctlRequest(100, Array(1, {1}), 16), {}, {}, {"ulmot_IOCTLRequestHandler: invalid object"}}});
}

TEST_F(IoctlProcessorTest, DestroyWhileItsCallbackRunsWaitsForIt) {
    static std::atomic<int> stage{0};
    ulmot_RegisterIOCTLProcessorCallback(
        p_,
        [](void *, const uint8_t *, uint16_t, uint8_t *, uint32_t, uint16_t *) -> int32_t {
            stage = 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past the 1000 ms the stop waits
            stage = 2;
            return 0;
        },
        nullptr);
    reader_->peer().Send(IoctlRequest(100, Array(1, {1})));
    ASSERT_TRUE(WaitUntil([] { return stage == 1; }));
    LogCapture log;
    ulmot_DestroyIOCTLProcessor(p_);
    p_ = nullptr;
    EXPECT_EQ(stage, 2);
}

TEST_F(IoctlProcessorTest, DestroyAfterTheLinkWentIsSafe) {
    LogCapture log;
    utr_MemoryLinkDown(pair_);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing the processor offers shows the end
    ulmot_DestroyIOCTLProcessor(p_);
    p_ = nullptr;
    EXPECT_EQ(log.Lines(), Lines{"ulmot_SessionReceiveThread(ioctl-near): Session terminated (unrequested, rx fail count: 0)"});
    EXPECT_EQ(reader_->deregistrations(), 0);
}

using Generic = ClientTest;

TEST_F(Generic, EventRegistrationAndEventPropertiesBodies) {
    Session *s = ulmot_GetClientSession(client_);
    uint8_t ids[254];
    for (uint8_t i = 0; i < 254; ++i) ids[i] = i;
    const Bytes head = {0x03, 0x07, 0x00, 0x06, 0x11, 0x00};
    const struct {
        std::function<int32_t()> call;
        std::vector<Bytes> requests;
        int16_t result;
        Lines lines;
    } rows[] = {
        {[&] { return ulmot_EventRegistration(s, 7, 3, 5, 2, 0xFFFFFFFF, 5); },
         {Concat({{0x03, 0x07, 0x00, 0x05, 0x05, 0x02, 0x00, 0x0A}, I32(0, 0xFFFFFFFF), I32(0, 5)})}, -4,
         {"ulmot_EventRegistration: Request failed (result -4)"}},
        {[&] { return ulmot_RegisterEventProperties(s, 9, 7, 3, 17, 6, ids, 3); },
         {Concat({head, {0x00, 0x08}, Array(0, {6, 1, 0, 1, 2})})}, 0, {}},
        {[&] { return ulmot_RegisterEventProperties(s, 0, 7, 3, 17, 4, ids, 253); },
         {Concat({head, {0x01, 0x02}, Array(0, Concat({{4, 0}, Bytes(ids, ids + 253)}))})}, 0, {}},
        {[&] { return ulmot_RegisterEventProperties(s, 1, 7, 3, 17, 4, ids, 254); }, {}, -5,
         {"ulmot_RegisterEventProperties: Property count overflow (254)"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.requests.empty() ? "" : Hex(row.requests[0]).substr(0, 60));
        Exchange x = Run(row.call, row.requests.empty() ? std::vector<Reply>{} : std::vector<Reply>{{ResultBody(row.result)}});
        EXPECT_EQ(x.requests, row.requests);
        EXPECT_EQ(x.result, row.result);
        EXPECT_EQ(x.lines, row.lines);
    }
}

TEST_F(Generic, SetObjectPropertiesEncodesEveryKind) {
    static const uint8_t one = 1, two = 2, bytes[2037] = {9, 8, 7}, list[] = {5, 6};
    static const uint16_t power = 0x0102;
    static const uint32_t word = 0xA0B0C0D0;
    static const PropertyObjectReference ref{0x11E, 4};
    const Lines refused = {"ulmot_SetProperties: Unsupported data type", "ulmot_SetProperties: Failed to add message data"};
    const struct {
        std::function<int32_t()> call;
        int32_t result;
        Bytes body;  // sent when the result is 0
        Lines lines;
    } rows[] = {
        {[&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT8, 23u, &one, ULMOT_PROP_END); }, 0,
         {0xF0, 0x17, 0x01}, {}},
        {[&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT8, 14u, &two, ULMOT_PROP_END); }, 0,
         {0xE0, 0x02}, {}},
        {[&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_END); }, 0, {}, {}},
        {[&] {
             return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT16, 3u, &power, ULMOT_PROP_INT32, 0x104u, &word,
                                              ULMOT_PROP_OBJECT_REF, 2u, &ref, ULMOT_PROP_BYTE_ARRAY, 1u, bytes, 3u,
                                              ULMOT_PROP_INT8_LIST, 6u, list, 0x102u, ULMOT_PROP_END);
         },
         0, Concat({I16(3, 0x0102), I32(4, 0xA0B0C0D0), Ref(2, 0x1E, 4), Array(1, {9, 8, 7}), List(6, {I8(0, 5), I8(0, 6)})}),
         {}},
        {[&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_BYTE_ARRAY, 1u, bytes, 2036u, ULMOT_PROP_END); },
         0, Array(1, Bytes(bytes, bytes + 2036)), {}},
        {[&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_BYTE_ARRAY, 1u, bytes, 2037u, ULMOT_PROP_END); },
         -7, {}, {"ulmot_BufferAllocate: Size 2049 exceeds the largest block (2048)", "ulmot_SetProperties: Message allocation failed"}},
        {[&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT8, 1u, &one, 6u, 2u, bytes, 1u, ULMOT_PROP_END); },
         -5, {}, refused},
        {[&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT8, 1u, &one, 7u, 2u, bytes, 1u, ULMOT_PROP_END); },
         -5, {}, refused},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(Hex(row.body).substr(0, 60));
        const bool sent = row.result == 0;
        Exchange x = Run(row.call, sent ? std::vector<Reply>{Ok()} : std::vector<Reply>{});
        EXPECT_EQ(x.requests, sent ? std::vector<Bytes>{RequestBytes(8, 3, 1, row.body)} : std::vector<Bytes>{});
        EXPECT_EQ(x.result, row.result);
        EXPECT_EQ(x.lines, row.lines);
    }
}

TEST_F(Generic, InstanceCountAndItsCheck) {
    Session *s = ulmot_GetClientSession(client_);
    Bytes many;
    for (int i = 0; i < 300; ++i) Append(many, Ref(0, 8, static_cast<uint8_t>(i % 255 + 1)));
    const Bytes oneTwoThree = Concat({Ref(0, 8, 1), Ref(0, 8, 2), Ref(0, 8, 3)});
    const Bytes oneTwoFour = Concat({Ref(0, 8, 1), Ref(0, 8, 2), Ref(0, 8, 4)});
    const struct {
        Bytes reply;
        uint8_t check;
        int32_t result;
        int count;
        Lines lines;
    } rows[] = {
        {ResultBody(0, oneTwoThree), 1, 0, 3, {}},
        {ResultBody(0, oneTwoFour), 1, -1, 3, {"ulmot_GetInstanceCount: ID/count mismatch (count: 3, max ID: 4)"}},
        {ResultBody(0, oneTwoFour), 0, 0, 3, {}},
        {ResultBody(0), 1, 0, 0, {}},
        {ResultBody(0, many), 0, 0, 255, {}},
        {ResultBody(12, oneTwoThree), 1, 12, 99, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(Hex(row.reply).substr(0, 60));
        uint8_t count = 99;
        Exchange x = Run([&] { return ulmot_GetInstanceCount(s, 7, 3, 8, row.check, &count); }, {{row.reply}});
        EXPECT_EQ(x.requests, (std::vector<Bytes>{{0x03, 0x07, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00}}));
        EXPECT_EQ(x.result, row.result);
        EXPECT_EQ(count, row.count);
        EXPECT_EQ(x.lines, row.lines);
    }
    EXPECT_EQ(Run([&] { return ulmot_GetInstanceCount(s, 7, 3, 8, 1, nullptr); }, {{ResultBody(0, oneTwoFour)}}).result, 0);
}

TEST_F(Generic, GetPropertiesReadTheFirstItemWithTheId) {
    uint8_t v8 = 0;
    uint16_t v16 = 0;
    char text[8] = "";
    const auto int8 = [&](uint32_t item) { return ulmot_GetPropertyInt8(client_, 12, 1, item, &v8); };
    const auto int16 = [&](uint32_t item) { return ulmot_GetPropertyInt16(client_, 12, 1, item, &v16); };
    const auto string = [&](uint8_t size) { return ulmot_GetPropertyString(client_, 12, 1, 2, text, size); };
    const struct {
        std::function<int32_t()> call;
        std::vector<Reply> replies;
        int32_t result;
        Lines lines;
    } rows[] = {
        {[&] { return int8(5); }, {Ok(I8(4, 0x21))}, -1, {"ulmot_GetPropertyInt8: Failed to find property in response"}},
        {[&] { return int8(4); }, {{ResultBody(-9, I8(4, 0x23))}}, -1, {"ulmot_GetObjectProperties: Failed"}},
        {[&] { return int8(4); }, {Ok(Concat({I8(4, 0x21), I8(4, 0x22)}))}, 0, {}},
        {[&] { return int16(9); }, {Ok(I8(9, 1))}, -1, {"ulmot_GetPropertyInt16: Failed to find property in response"}},
        {[&] { return int16(15); }, {Ok(I16(15, 0x1234))}, 0, {}},
        {[&] { return string(3); }, {Ok(Array(2, Text("xyz")))}, -1,
         {"ulmot_GetPropertyString: Failed to obtain property in response"}},
        {[&] { return string(8); }, {Ok(Array(2, Text("abc")))}, 0, {}},
        {[&] { return string(0); }, {}, -5, {"ulmot_GetPropertyString: No room in a buffer of size 0"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.lines.empty() ? Hex(row.replies[0].body) : row.lines[0]);
        Exchange x = Run(row.call, row.replies);
        EXPECT_EQ(x.requests, std::vector<Bytes>(row.replies.size(), RequestBytes(12, 4, 1, {})));
        EXPECT_EQ(x.result, row.result);
        EXPECT_EQ(x.lines, row.lines);
    }
    EXPECT_EQ(v8, 0x21);
    EXPECT_EQ(v16, 0x1234);
    EXPECT_STREQ(text, "abc");
}

TEST_F(Generic, RemoveObjectGoesToTheAttachedProcessorBelowType25) {
    for (uint8_t type : {24, 25}) {
        Exchange x = Run([&] { return ulmot_RemoveObject(client_, type, 4); }, {{ResultBody(-6)}});
        EXPECT_EQ(x.requests, (std::vector<Bytes>{{uint8_t(type == 24 ? 0x38 : 0x00), 0x07, 0x00, 0x02, type, 0x04, 0, 0}}));
        EXPECT_EQ(x.result, -6);
    }
}

using Reconnect = ClientTest;

TEST_F(Reconnect, NewSessionAndIdAfterTheLinkComesBack) {
    Recorder seen;
    ulmot_RegisterProcessorRemovedEvent(client_, Removed, &seen, 1);
    Session *first = ulmot_GetClientSession(client_);
    LogCapture log;
    const auto start = Clock::now();
    utr_MemoryLinkDown(pair_);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(client_) == nullptr; }));
    // While it reconnects, operations fail at once, each with its line.
    static const uint8_t one = 1;
    uint8_t value = 0;
    EXPECT_EQ(ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT8, 1u, &one, ULMOT_PROP_END), -1);
    EXPECT_EQ(ulmot_GetPropertyInt8(client_, 8, 1, 1, &value), -1);
    EXPECT_EQ(ulmot_RemoveObject(client_, 8, 1), -1);
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(client_, 8, 0, 0), -1);
    EXPECT_EQ(ulmot_AttachProcessorByName(client_, "x", 8, 0), -1);
    utr_MemoryRestore(pair_);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(client_) != nullptr; }));
    EXPECT_GE(MsSince(start), 500) << "the link is probed every 500 ms";
    // The ended session stays addressable: its calls fail at once, silently.
    EXPECT_EQ(ulmot_SendSessionMessage(first, ULMOT_MSG_REQUEST, 7, 0, 0, 8, 0, 0, BlockWith(I8(1, 0)), nullptr, nullptr),
              -1);
    const std::string reconnecting = ": No session (the client is reconnecting)";
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_SessionReceiveThread(client-near): Session terminated (unrequested, rx fail count: 0)",
                                  "ulmot_SetProperties" + reconnecting, "ulmot_GetObjectProperties" + reconnecting,
                                  "ulmot_RemoveObject" + reconnecting, "ulmot_AttachDefaultObjectProcessor" + reconnecting,
                                  "ulmot_AttachObjectProcessorByName" + reconnecting}));
    EXPECT_NE(ulmot_GetClientSession(client_), first);
    EXPECT_EQ(ulmot_GetClientProcessorID(client_), 8);
    EXPECT_EQ(reader_->registrations(), 2);
    // The attach table and the callbacks are kept.
    Exchange x = Run([&] { return ulmot_RemoveObject(client_, 8, 2); }, {Ok()});
    EXPECT_EQ(x.requests, (std::vector<Bytes>{{0x28, 0x08, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00}}));
    reader_->peer().SendEvent(14, 0, TimestampBody(5), 3);
    EXPECT_EQ(seen.WaitFor(1), Lines{"removed 3 ts5"});
}

TEST_F(Reconnect, DestroyWhileReconnectingStopsTheLoop) {
    LogCapture log;
    utr_MemoryLinkDown(pair_);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(client_) == nullptr; }));
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    utr_MemoryRestore(pair_);
    EXPECT_EQ(reader_->registrations(), 1);
    EXPECT_EQ(reader_->deregistrations(), 0);
    EXPECT_EQ(log.Lines(), Lines{"ulmot_SessionReceiveThread(client-near): Session terminated (unrequested, rx fail count: 0)"});
}

TEST_F(Reconnect, DestroyRacingTheEndOfTheLinkIsSafe) {
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    LogCapture log;
    for (int round = 0; round < 10; ++round) {
        utr_MemoryRestore(pair_);
        ClientProcessor *c = nullptr;
        ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "racer", &c), 0);
        std::thread dropper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(round));  // the link goes at varying moments
            utr_MemoryLinkDown(pair_);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ulmot_DestroyClientProcessor(c);
        dropper.join();
    }
    EXPECT_EQ(reader_->registrations(), 11);
}

TEST_F(Reconnect, DestroyWaitsForARunningCallback) {
    static std::atomic<int> stage{0};
    ulmot_RegisterProcessorRemovedEvent(
        client_,
        [](void *, uint32_t, uint8_t) {
            stage = 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past the 1000 ms the stop waits
            stage = 2;
        },
        nullptr, 1);
    SendEvent(14, 0, 1, 1, {});
    ASSERT_TRUE(WaitUntil([] { return stage == 1; }));
    LogCapture log;
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    EXPECT_EQ(stage, 2) << "the client outlives its callback";
}

}  // namespace
