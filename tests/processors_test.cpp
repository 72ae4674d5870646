// Processors against their far end: requests to the delivery processor, the
// client (attach table, processor events, IOCTL requests, reconnection and
// destroy), the IOCTL processor and the generic object operations.
#include <utility>

#include "support.h"

namespace {

using namespace ulmot::test;
using Requests = std::vector<Bytes>;

// A message: the first six header bytes, the body's length, the body.
Bytes Message(Bytes h, const Bytes &body) { return PutBe(h, static_cast<uint32_t>(body.size()), 2), Concat({h, body}); }
// A request to the delivery processor (processor 0, object type 14).
Bytes ToDelivery(uint8_t source, uint8_t id, uint8_t command, uint8_t instance, const Bytes &body) {
    return Message({0x00, source, id, command, ULMOT_OBJ_DELIVERY, instance}, body);
}
Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }
const std::string kTerminated = "ulmot_SessionReceiveThread(client-near): Session terminated (unrequested, rx fail count: 0)";

// One call of an operation: the request the reader must receive from it (id
// masked; empty: none), the reader's reply, the result and the lines.
struct Case { std::function<int32_t()> call; Bytes request; Reply reply; int32_t result; Lines lines; };

class Operations : public ClientTest {
protected:
    void Expect(const std::vector<Case> &cases) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case &c = cases[i];
            const Exchange x = Run(c.call, c.request.empty() ? std::vector<Reply>{} : std::vector<Reply>{c.reply});
            EXPECT_EQ(x.requests, c.request.empty() ? Requests{} : Requests{c.request}) << "case " << i;
            EXPECT_EQ(x.result, c.result) << "case " << i;
            EXPECT_EQ(x.lines, c.lines) << "case " << i;
        }
    }
    uint8_t Assigned(uint32_t type) { return ulmot_GetAssignedProcessorFromObject(client_, type); }
};

using Delivery = Operations;

// Registration takes names of 1 to 254 bytes and at most 255 types; a search
// by name or type reads item 3 and leaves the out untouched on a failure.
TEST_F(Delivery, RegistrationLimitsAndSearchByNameOrType) {
    const std::vector<uint32_t> types(256, 16);
    const auto registration = [&](const std::string &name, uint32_t count) {
        return [=, this] {
            return ulmot_DeliveryProcessorRegistration(ulmot_GetClientSession(client_), name.c_str(), types.data(), count, 0);
        };
    };
    uint8_t id = 0;  // each search gives its result x 1000 + the id found (77 untouched)
    const auto search = [&](const char *named, uint32_t type) {
        return [=, &id, this] {
            id = 77;
            return ulmot_FindProcessorByName(ulmot_GetClientSession(client_), 9, named, type, &id, 1) * 1000 + id;
        };
    };
    const Lines badName = {"ulmot_DeliveryProcessorRegistration: Improper processor name length"};
    const Bytes name = Array(0, Text("rdr")), flag = I8(5, 1), found = Ref(3, 14, 4);
    const Bytes byType = ToDelivery(9, 0, 101, 0, Concat({I8(2, 5), flag}));
    Expect({{registration("", 1), {}, {}, -5, badName},
            {registration(std::string(255, 'n'), 1), {}, {}, -5, badName},
            {registration("n", 256), {}, {}, -1, {"ulmot_DeliveryProcessorRegistration: Failed to build message"}},
            {registration(std::string(254, 'n'), 255), {}, {}, 0, {}},  // answered by the scripted reader
            {search("rdr", 199), ToDelivery(9, 0, 100, 0, Concat({name, flag})), Ok(found), 4, {}},
            {search("rdr", 0x105), ToDelivery(9, 0, 100, 0, Concat({name, I8(2, 5), flag})), Ok(found), 4, {}},
            {search(nullptr, 5), byType, {ResultBody(-3, found)}, -2923, {}},
            {search(nullptr, 5), byType, Ok(), 0, {"ulmot_FindProcessorByName: Failed to find processor ID in response"}}});
    EXPECT_EQ(reader_->registrations(), 2);
}

using Registration = PoolTest;

// The client and the IOCTL processor register their name, cut to 30 and 16
// characters, with the types they provide, and deregister with their id.
TEST_F(Registration, ClientAndIoctlProcessorRegisterTheirNameAndTypes) {
    for (bool client : {true, false}) {
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
        EXPECT_EQ(x.requests, Requests{ToDelivery(0, 8, 1, 0, Concat({types, name}))});
        EXPECT_EQ(x.lines, Lines{});
        EXPECT_EQ(client ? ulmot_GetClientProcessorID(c) : 7, 7);
        x = Answer(reader, [&] { return client ? (ulmot_DestroyClientProcessor(c), 0) : ulmot_DestroyIOCTLProcessor(p); },
                   {Ok()});
        EXPECT_EQ(x.requests, Requests{ToDelivery(7, 8, 2, 7, {})});
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

using Client = Operations;

// The attach table, by target, by default (a search by type) and by name; a
// processor's removal is reported for the entries attached to it with
// notification, and an addition reads at most 25 provided types.
TEST_F(Client, AttachTableAndProcessorEvents) {
    const Bytes byType = ToDelivery(7, 0, 101, 0, Concat({I8(2, 24), I8(5, 2)}));
    const auto byName = [](uint8_t type) {
        return ToDelivery(7, 0, 100, 0, Concat({Array(0, Text("gpio")), I8(2, type), I8(5, 0)}));
    };
    const auto byDefault = [&] { return ulmot_AttachDefaultObjectProcessor(client_, 24, 1, 2); };
    const auto named = [&](uint32_t type, uint8_t notify) {
        return [=, this] { return ulmot_AttachProcessorByName(client_, "gpio", type, notify); };
    };
    const auto target = [&](int32_t type) { return [=, this] { return ulmot_AttachTargetProcessor(client_, type, 9); }; };
    const std::string invalid = ": Invalid object type (";
    Expect({{target(25), {}, {}, -5, {"ulmot_AttachTagProcessor" + invalid + "25)"}},
            {target(-1), {}, {}, -5, {"ulmot_AttachTagProcessor" + invalid + "4294967295)"}},
            {target(0), {}, {}, 0, {}},
            {byDefault, byType, Ok(Ref(3, 14, 3)), 0, {}},
            {byDefault, byType, Ok(Ref(3, 14, 0)), -1, {}},  // found none
            {byDefault, byType, {ResultBody(-2)}, -1, {}},
            {named(2, 0), byName(2), Ok(Ref(3, 14, 0)), -1,
             {"ulmot_AttachObjectProcessorByName: Failed to determine processor ID with name gpio"}},
            {[&] { return ulmot_AttachDefaultObjectProcessor(client_, 25, 0, 0); }, {}, {}, -1,
             {"ulmot_AttachDefaultObjectProcessor" + invalid + "25)"}},
            {[&] { return ulmot_AttachProcessorByName(client_, "gpio", 25, 0); }, {}, {}, -1,
             {"ulmot_AttachObjectProcessorByName" + invalid + "25)"}}});
    EXPECT_EQ(Hex({Assigned(0), Assigned(24), Assigned(25), Assigned(2)}), "09 03 00 22");
    Expect({{named(2, 0), byName(2), Ok(Ref(3, 14, 4)), 0, {}}, {named(3, 1), byName(3), Ok(Ref(3, 14, 4)), 0, {}}});
    EXPECT_EQ(Hex({Assigned(2), Assigned(3)}), "04 04");
    Recorder seen;
    const auto enable = [&](uint32_t added, uint32_t removed, uint32_t attached) {
        EXPECT_EQ(ulmot_RegisterProcessorAddedEvent(client_, Added, &seen, added) |
                      ulmot_RegisterProcessorRemovedEvent(client_, Removed, &seen, removed) |
                      ulmot_RegisterAttachedProcessorRemovedEvent(client_, AttachedRemoved, &seen, attached),
                  0);
    };
    Bytes provided;
    std::string types;
    for (uint8_t t = 0; t <= 25; ++t) Append(provided, I8(2, t)), types += t < 25 ? Format(" %u", t) : "";
    LogCapture log;
    enable(1, 1, 1);
    SendEvent(14, 1, 6, 11, provided);  // at most 25 types are read
    SendEvent(14, 1, 6, 12, I8(3, 5));  // provides nothing: a line, no call
    SendEvent(14, 0, 3, 13, {});        // 3 was attached to type 24 with notification
    SendEvent(14, 0, 4, 14, {});        // 4 to type 2 without, to type 3 with (by name)
    ASSERT_EQ(seen.WaitFor(5).size(), 5u);
    enable(1, 1, 0);
    SendEvent(14, 0, 3, 15, {});
    SendEvent(14, 1, 6, 16, I8(2, 1));  // once it is seen, the event before it is done with
    ASSERT_EQ(seen.WaitFor(7).size(), 7u);
    enable(0, 0, 1);
    SendEvent(14, 1, 6, 17, provided);
    SendEvent(14, 0, 3, 18, {});
    EXPECT_EQ(seen.WaitFor(8),
              (Lines{"added 6 ts11:" + types, "removed 3 ts13", "type 24 of 3 removed ts13", "removed 4 ts14",
                     "type 3 of 4 removed ts14", "removed 3 ts15", "added 6 ts16: 1", "type 24 of 3 removed ts18"}));
    EXPECT_EQ(log.Lines(), Lines{"ulmot_ClientHandleProcessorAdded: processor provides no objects"});
}

TEST_F(Client, EventsForAnotherProcessorReachNoHandler) {
    Recorder seen;
    ulmot_RegisterProcessorRemovedEvent(client_, Removed, &seen, 1);
    for (uint8_t to : {8, 0, 7}) reader_->peer().SendEvent(14, 0, TimestampBody(to), to, to);
    EXPECT_EQ(seen.WaitFor(2), (Lines{"removed 0 ts0", "removed 7 ts7"}));
}

// IOCTL requests of processor 5 (message id 3) to a client or an IOCTL
// processor whose callback answers with the last 8 bytes of the request
// reversed and the status `result_`.
class Ioctl : public ClientTest {
protected:
    // The answer's body; empty: no answer.
    struct Row { bool callback; uint8_t command; Bytes body, answer; Lines lines; uint8_t objectType = ULMOT_OBJ_IOCTL; };
    static int32_t Callback(void *t, const uint8_t *request, uint16_t length, uint8_t *response, uint32_t, uint16_t *n) {
        for (*n = 0; *n < 8 && *n < length; ++*n) response[*n] = request[length - 1 - *n];
        if (static_cast<Ioctl *>(t)->claim_ != 0) *n = static_cast<Ioctl *>(t)->claim_;
        return static_cast<Ioctl *>(t)->result_;
    }
    // Sends each request and checks its whole answer from processor `id`. A
    // request of command 101 (status 2) follows each, so that no answer shows.
    void Expect(uint8_t id, const std::function<void(bool)> &install, const std::vector<Row> &rows) {
        const auto answer = [&](uint8_t command, const Bytes &body) { return Message({5, id, 0x43, command, 23, 0}, body); };
        for (const Row &row : rows) {
            install(row.callback);
            LogCapture log;
            reader_->peer().Send({.source = 5, .type = 0, .id = 3, .command = row.command, .objectType = row.objectType,
                                  .body = row.body});
            reader_->peer().Send({.source = 5, .type = 0, .id = 3, .command = 101, .objectType = 23, .body = {}});
            const Bytes first = reader_->NextRequest(), marker = answer(101, I8(3, 2));
            EXPECT_EQ(first, row.answer.empty() ? marker : answer(row.command, row.answer));
            EXPECT_EQ(row.answer.empty() ? marker : reader_->NextRequest(), marker);
            EXPECT_EQ(log.Lines(), row.lines);
        }
    }
    // A response length the callback stores in place of the one it wrote.
    static Bytes Claimed() { return Concat({{3, 2, 1}, Bytes(997, 0)}); }
    int32_t result_ = 0;
    uint16_t claim_ = 0;
};

class ClientIoctl : public Ioctl {
protected:
    void Expect(const std::vector<Row> &rows) {
        Ioctl::Expect(7, [this](bool on) { ulmot_RegisterIOCTL(client_, Callback, this, on); }, rows);
    }
};

TEST_F(ClientIoctl, StatusesOfItsOwn) {
    Expect({{true, 100, Array(1, {1, 2, 3}), Concat({I8(3, 0), Array(2, {3, 2, 1})}), {}}});
    result_ = 0x1FF;  // its low 8 bits travel
    Expect({{false, 100, Array(1, {1, 2}), I8(3, 1), {}},
            {true, 101, Array(1, {1, 2}), I8(3, 2), {}},
            {true, 100, I8(3, 1), I8(3, 0xFF), {}},
            {true, 100, Array(1, Bytes(1001, 0xAB)), Concat({I8(3, 0xFF), Array(2, Bytes(8, 0xAB))}), {}}});
}

// A callback that claims more than the 1,000 bytes it was given has its
// length cut to them: nothing from behind its buffer goes out.
TEST_F(ClientIoctl, ACallbackClaimingMoreThanItsCapacityIsCutToIt) {
    for (const uint16_t claim : {1000, 1001, 1500, 2040, 65535}) {
        SCOPED_TRACE(claim);
        claim_ = claim;
        const Lines cut = {Format("ulmot_ClientHandleIOCTL: callback response length %u beyond its capacity, cut to 1000", claim)};
        Expect({{true, 100, Array(1, {1, 2, 3}), Concat({I8(3, 0), Array(2, Claimed())}), claim > 1000 ? cut : Lines{}}});
    }
}

TEST_F(ClientIoctl, RequestsOfOtherTypesAreDroppedSilently) { Expect({{true, 100, Array(1, {1}), {}, {}, 16}}); }

// An IOCTL processor in place of the client, over the same pair (id 8).
class IoctlProcessorTest : public Ioctl {
protected:
    void SetUp() override {
        Ioctl::SetUp();
        ulmot_DestroyClientProcessor(std::exchange(client_, nullptr));
        ASSERT_EQ(ulmot_CreateIOCTLProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "ioctl", &p_), 0);
    }
    void TearDown() override {
        ulmot_DestroyIOCTLProcessor(p_);
        Ioctl::TearDown();
    }
    IoctlProcessor *p_ = nullptr;
};

TEST_F(IoctlProcessorTest, StatusesOfItsOwn) {
    const Lines unreadable = {"ulmot_IOCTLRequestHandler: failed to read request data"};
    Expect(8, [this](bool on) { ulmot_RegisterIOCTLProcessorCallback(p_, on ? Callback : nullptr, this); },
           {{true, 100, Array(1, {1, 2, 3}), Concat({Array(2, {3, 2, 1}), I8(3, 0)}), {}},
            {false, 100, Array(1, {1, 2}), I8(3, 1), {"ulmot_IOCTLRequestHandler: no request handler defined"}},
            {true, 101, Array(1, {1, 2}), I8(3, 2), {}},
            {true, 100, Array(1, Bytes(1000, 0xAB)), Concat({Array(2, Bytes(8, 0xAB)), I8(3, 0)}), {}},
            {true, 100, Array(1, Bytes(1001, 0xAB)), I8(3, 3), unreadable},
            {true, 100, I8(3, 1), I8(3, 3), unreadable},
            {true, 100, Array(1, {1}), {}, {"ulmot_IOCTLRequestHandler: invalid object"}, 16}});
}

TEST_F(IoctlProcessorTest, DestroyAfterTheLinkWentIsSafe) {
    LogCapture log;
    utr_MemoryLinkDown(pair_);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // nothing the processor offers shows the end
    ulmot_DestroyIOCTLProcessor(std::exchange(p_, nullptr));
    EXPECT_EQ(log.Lines(), Lines{kTerminated});
}

using Generic = Operations;

TEST_F(Generic, EventRequestsAndInstanceCounts) {
    Session *s = ulmot_GetClientSession(client_);
    uint8_t ids[254];
    for (uint8_t i = 0; i < 254; ++i) ids[i] = i;
    const auto properties = [&](uint32_t attach, uint8_t count) {
        return [=, &ids] { return ulmot_RegisterEventProperties(s, attach, 7, 3, 17, 6, ids, count); };
    };
    const Bytes head = {0x03, 0x07, 0x00, 0x06, 0x11, 0x00};  // the instance travels in the body
    Expect({{[&] { return ulmot_EventRegistration(s, 7, 3, 5, 2, 0xFFFFFFFF, 5); },
             Concat({{0x03, 0x07, 0x00, 0x05, 0x05, 0x02, 0x00, 0x0A}, I32(0, 0xFFFFFFFF), I32(0, 5)}), {ResultBody(-4)}, -4,
             {"ulmot_EventRegistration: Request failed (result -4)"}},
            {properties(9, 3), Concat({head, {0, 8}, Array(0, {6, 1, 0, 1, 2})}), Ok(), 0, {}},
            {properties(0, 253), Concat({head, {1, 2}, Array(0, Concat({{6, 0}, Bytes(ids, ids + 253)}))}), Ok(), 0, {}},
            {properties(1, 254), {}, {}, -5, {"ulmot_RegisterEventProperties: Property count overflow (254)"}}});
    Bytes many;
    for (int i = 0; i < 300; ++i) Append(many, Ref(0, 8, static_cast<uint8_t>(i % 255 + 1)));
    const Bytes one23 = Concat({Ref(0, 8, 1), Ref(0, 8, 2), Ref(0, 8, 3)});
    const Bytes one24 = Concat({Ref(0, 8, 1), Ref(0, 8, 2), Ref(0, 8, 4)});
    const Bytes request = {0x03, 0x07, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};
    uint8_t count = 0;  // each call gives its result x 1000 + the count
    const auto counted = [&](uint8_t check, uint8_t *out) {
        return [=, &count] { return count = 99, ulmot_GetInstanceCount(s, 7, 3, 8, check, out) * 1000 + count; };
    };
    Expect({{counted(1, &count), request, Ok(one23), 3, {}},
            {counted(1, &count), request, Ok(one24), -997,
             {"ulmot_GetInstanceCount: ID/count mismatch (count: 3, max ID: 4)"}},
            {counted(0, &count), request, Ok(one24), 3, {}},
            {counted(1, &count), request, Ok(), 0, {}},
            {counted(0, &count), request, Ok(many), 255, {}},
            {counted(1, &count), request, {ResultBody(12, one23)}, 12099, {}},
            {counted(1, nullptr), request, Ok(one24), 99, {}}});
}

TEST_F(Generic, SetObjectPropertiesEncodesEveryKind) {
    static const uint8_t one = 1, bytes[2037] = {9, 8, 7}, list[] = {5, 6};
    static const uint16_t power = 0x0102;
    static const uint32_t word = 0xA0B0C0D0;
    static const PropertyObjectReference ref{0x11E, 4};
    const auto set = [&](auto... groups) {
        return [=, this] { return ulmot_SetObjectProperties(client_, 8, 1, groups..., ULMOT_PROP_END); };
    };
    const Lines refused = {"ulmot_SetProperties: Unsupported data type", "ulmot_SetProperties: Failed to add message data"};
    Expect({{set(ULMOT_PROP_INT8, 23u, &one, ULMOT_PROP_INT16, 3u, &power, ULMOT_PROP_INT32, 0x104u, &word,
                 ULMOT_PROP_OBJECT_REF, 2u, &ref, ULMOT_PROP_BYTE_ARRAY, 1u, bytes, 3u, ULMOT_PROP_INT8_LIST, 6u, list, 0x102u),
             RequestBytes(8, 3, 1, Concat({I8(23, 1), I16(3, 0x0102), I32(4, 0xA0B0C0D0), Ref(2, 0x1E, 4),
                                           Array(1, {9, 8, 7}), List(6, {I8(0, 5), I8(0, 6)})})),
             Ok(), 0, {}},
            {set(ULMOT_PROP_BYTE_ARRAY, 1u, bytes, 2036u), RequestBytes(8, 3, 1, Array(1, Bytes(bytes, bytes + 2036))), Ok(),
             0, {}},
            {set(ULMOT_PROP_BYTE_ARRAY, 1u, bytes, 2037u), {}, {}, -7,
             {"ulmot_BufferAllocate: Size 2049 exceeds the largest block (2048)",
              "ulmot_SetProperties: Message allocation failed"}},
            {set(ULMOT_PROP_INT8, 1u, &one, 6u, 2u, bytes, 1u), {}, {}, -5, refused},
            {set(ULMOT_PROP_INT8, 1u, &one, 7u, 2u, bytes, 1u), {}, {}, -5, refused}});
}

TEST_F(Generic, GetPropertiesReadTheFirstItemWithTheIdAndRemoveGoesToTheAttachedProcessor) {
    uint8_t v8 = 0;
    uint16_t v16 = 0;
    char text[8] = "";
    ClientProcessor *c = client_;
    const auto int8 = [&](uint32_t item) { return [=, &v8] { return ulmot_GetPropertyInt8(c, 12, 1, item, &v8); }; };
    const auto int16 = [&](uint32_t item) { return [=, &v16] { return ulmot_GetPropertyInt16(c, 12, 1, item, &v16); }; };
    const auto string = [&](uint8_t n) { return [=, &text] { return ulmot_GetPropertyString(c, 12, 1, 2, text, n); }; };
    const auto remove = [&](uint8_t type) { return [=] { return ulmot_RemoveObject(c, type, 4); }; };
    const Bytes get = RequestBytes(12, 4, 1, {});
    const std::string missing = ": Failed to find property in response";
    Expect({{int8(5), get, Ok(I8(4, 0x21)), -1, {"ulmot_GetPropertyInt8" + missing}},
            {int8(4), get, {ResultBody(-9, I8(4, 0x23))}, -1, {"ulmot_GetObjectProperties: Failed"}},
            {int8(4), get, Ok(Concat({I8(4, 0x21), I8(4, 0x22)})), 0, {}},
            {int16(9), get, Ok(I8(9, 1)), -1, {"ulmot_GetPropertyInt16" + missing}},
            {int16(15), get, Ok(I16(15, 0x1234)), 0, {}},
            {string(3), get, Ok(Array(2, Text("xyz"))), -1, {"ulmot_GetPropertyString: Failed to obtain property in response"}},
            {string(8), get, Ok(Array(2, Text("abc"))), 0, {}},
            {string(0), {}, {}, -5, {"ulmot_GetPropertyString: No room in a buffer of size 0"}},
            {remove(24), {0x38, 0x07, 0x00, 0x02, 24, 0x04, 0, 0}, {ResultBody(-6)}, -6, {}},
            {remove(25), {0x00, 0x07, 0x00, 0x02, 25, 0x04, 0, 0}, {ResultBody(-6)}, -6, {}}});
    EXPECT_EQ(Format("%02X %04X %s", v8, v16, text), "21 1234 abc");
}

using Reconnect = Operations;

TEST_F(Reconnect, NewSessionAndIdAfterTheLinkComesBack) {
    Recorder seen;
    ulmot_RegisterProcessorRemovedEvent(client_, Removed, &seen, 1);
    const auto five = [](void *, const uint8_t *, uint16_t, uint8_t *, uint32_t, uint16_t *n) { return *n = 0, 5; };
    ulmot_RegisterIOCTL(client_, five, nullptr, 1);  // answers with status 5
    Session *first = ulmot_GetClientSession(client_);
    const auto start = Clock::now();
    {
        LogCapture log;
        utr_MemoryLinkDown(pair_);
        ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(client_) == nullptr; }));
        EXPECT_EQ(log.Lines(), Lines{kTerminated});
    }
    // While it reconnects, operations fail at once, each with its line.
    static const uint8_t one = 1;
    uint8_t value = 0;
    const std::pair<std::string, std::function<int32_t()>> operations[] = {
        {"ulmot_SetProperties", [&] { return ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT8, 1u, &one, ULMOT_PROP_END); }},
        {"ulmot_GetObjectProperties", [&] { return ulmot_GetPropertyInt8(client_, 8, 1, 1, &value); }},
        {"ulmot_RemoveObject", [&] { return ulmot_RemoveObject(client_, 8, 1); }},
        {"ulmot_AttachDefaultObjectProcessor", [&] { return ulmot_AttachDefaultObjectProcessor(client_, 8, 0, 0); }},
        {"ulmot_AttachObjectProcessorByName", [&] { return ulmot_AttachProcessorByName(client_, "x", 8, 0); }}};
    for (const auto &[name, call] : operations) Expect({{call, {}, {}, -1, {name + ": No session (the client is reconnecting)"}}});
    utr_MemoryRestore(pair_);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(client_) != nullptr; }));
    EXPECT_GE(MsSince(start), 500) << "the link is probed every 500 ms";
    EXPECT_NE(ulmot_GetClientSession(client_), first);
    EXPECT_EQ(ulmot_GetClientProcessorID(client_) * 10 + reader_->registrations(), 82) << "id 8, a second registration";
    // The attach table and the callbacks are kept; the new session hands requests to the client.
    Expect({{[&] { return ulmot_RemoveObject(client_, 8, 2); }, {0x28, 0x08, 0x00, 0x02, 0x08, 0x02, 0, 0}, Ok(), 0, {}}});
    reader_->peer().SendEvent(14, 0, TimestampBody(5), 3);
    EXPECT_EQ(seen.WaitFor(1), Lines{"removed 3 ts5"});
    reader_->peer().Send({.source = 5, .type = 0, .id = 3, .command = 100, .objectType = 23, .body = {}});
    EXPECT_EQ(reader_->NextRequest(), Message({5, 8, 0x43, 100, 23, 0}, I8(3, 5))) << "its IOCTL callback's status";
}

TEST_F(Reconnect, DestroyRacingTheEndOfTheLinkIsSafe) {
    ulmot_DestroyClientProcessor(std::exchange(client_, nullptr));
    LogCapture log;
    for (int round = 0; round < 10; ++round) {
        utr_MemoryRestore(pair_);
        ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "racer", &client_), 0);
        std::thread dropper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(round));  // the link goes at varying moments
            utr_MemoryLinkDown(pair_);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ulmot_DestroyClientProcessor(std::exchange(client_, nullptr));
        dropper.join();
    }
    EXPECT_EQ(reader_->registrations(), 11);
}

TEST_F(Reconnect, DestroyWaitsForARunningCallback) {
    static std::atomic<int> stage{0};
    ulmot_RegisterProcessorRemovedEvent(client_, [](void *, uint32_t, uint8_t) {
        stage = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past the 1000 ms the stop waits
        stage = 2;
    }, nullptr, 1);
    SendEvent(14, 0, 1, 1, {});
    ASSERT_TRUE(WaitUntil([] { return stage == 1; }));
    LogCapture log;
    ulmot_DestroyClientProcessor(std::exchange(client_, nullptr));
    EXPECT_EQ(stage, 2) << "the client outlives its callback";
}

}  // namespace
