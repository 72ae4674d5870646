// Clients of the library against the emulated reader, end to end:
// registration and attachment against the real delivery processor, the
// processor events and the attached-removed rule, IOCTL requests answered by
// a client and by an IOCTL processor, the generic operations on the object
// store, and a reconnection as the reader sees it.
#include "support.h"

namespace {

using namespace ulmot::test;
using EndToEnd = ReaderTest;
using Lines = std::vector<std::string>;

// Answers with the request reversed; only the low 8 bits of 0x142 travel.
int32_t Reverse(void *, const uint8_t *request, uint16_t length, uint8_t *response, uint32_t, uint16_t *out) {
    for (uint16_t i = 0; i < length; ++i) response[i] = request[length - 1 - i];
    *out = length;
    return 0x142;
}

// uemu_SendIoctl with `request`: "status: data", or the error code.
std::string Ioctl(uemu_Reader *reader, uint8_t to, uint8_t command, const Bytes &request) {
    uint8_t out[8], status = 0;
    uint16_t length = 0;
    const int32_t r = uemu_SendIoctl(reader, to, command, request.data(), static_cast<uint16_t>(request.size()), out,
                                     sizeof out, &length, &status, 5000);
    return r != UEMU_OK ? Format("error %d", r) : Format("%u: ", status) + Hex(out, length);
}

void RecordAdded(void *r, uint32_t, uint8_t id, const uint32_t *types, uint32_t count) {
    std::string line = Format("added %u:", id);
    for (uint32_t i = 0; i < count; ++i) line += Format(" %u", types[i]);
    Of(r).Add(line);
}
void RecordRemoved(void *r, uint32_t, uint8_t id) { Of(r).Add(Format("removed %u", id)); }

Bytes Ids(uemu_Reader *reader) {
    uemu_ProcessorInfo all[8];
    uint32_t n = 0;
    EXPECT_EQ(uemu_GetProcessors(reader, all, 8, &n), UEMU_OK);
    Bytes ids;
    for (uint32_t i = 0; i < n && i < 8; ++i) ids.push_back(all[i].id);
    return ids;
}

TEST_F(EndToEnd, ClientRegistersAndAttachesByTypeAndByName) {
    ClientProcessor *app = Connect("app").client;
    Connect(std::string(40, 'n'));
    ClientProcessor *twin = Connect("twin").client;
    const uint8_t appId = ulmot_GetClientProcessorID(app), twinId = ulmot_GetClientProcessorID(twin);
    EXPECT_EQ(appId, UEMU_FIRST_CLIENT_ID);
    uemu_ProcessorInfo p[8];
    uint32_t n = 0;
    ASSERT_EQ(uemu_GetProcessors(reader_, p, 8, &n), UEMU_OK);
    ASSERT_EQ(n, 5u);
    EXPECT_STREQ(p[2].name, "app");
    EXPECT_EQ(Bytes(p[2].objectTypes, p[2].objectTypes + p[2].objectTypeCount), (Bytes{16, 23}));
    EXPECT_EQ(std::string(p[3].name), std::string(30, 'n')) << "registered under its first 30 characters";
    // Connect attached each type the reader serves by type.
    const std::pair<uint32_t, uint8_t> attached[] = {{0, 1}, {1, 2}, {2, 2}, {8, 1}, {13, 1}, {14, 0}, {24, 1}, {25, 0}};
    for (auto [type, processor] : attached) EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, type), processor) << type;
    // The find flag picks the first or the latest registration of a type.
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(app, ULMOT_OBJ_CLIENT, 0, 1), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_CLIENT), twinId);
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(app, ULMOT_OBJ_CLIENT, 0, 0), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_CLIENT), appId);
    EXPECT_EQ(ulmot_AttachProcessorByName(app, "twin", ULMOT_OBJ_IOCTL, 0), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_IOCTL), twinId);
    LogCapture log;
    EXPECT_EQ(ulmot_AttachProcessorByName(app, "reader", ULMOT_OBJ_GPI, 0), -1) << "the reader lacks type 2";
    EXPECT_EQ(ulmot_AttachProcessorByName(app, "twi", ULMOT_OBJ_IOCTL, 0), -1);
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(app, 20, 0, 0), -1) << "nobody provides type 20";
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(app, 25, 0, 0), -1);
    EXPECT_EQ(ulmot_AttachProcessorByName(app, "io", 25, 0), -1);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_GPI), 2) << "a failed attach changes nothing";
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_IOCTL), twinId);
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_AttachObjectProcessorByName: Failed to determine processor ID with name reader",
                                  "ulmot_AttachObjectProcessorByName: Failed to determine processor ID with name twi",
                                  "ulmot_AttachDefaultObjectProcessor: Invalid object type (25)",
                                  "ulmot_AttachObjectProcessorByName: Invalid object type (25)"}));
}

TEST_F(EndToEnd, ProcessorEventsAndTheAttachedRemovedRule) {
    ClientProcessor *app = Connect("app").client;
    Recorder seen;
    ulmot_RegisterProcessorAddedEvent(app, RecordAdded, &seen, 1);
    ulmot_RegisterProcessorRemovedEvent(app, RecordRemoved, &seen, 1);
    ulmot_RegisterAttachedProcessorRemovedEvent(
        app, [](void *r, uint32_t, uint32_t type, uint8_t id) { Of(r).Add(Format("attached %u %u", type, id)); }, &seen, 1);
    Connection &other = Connect("other");
    const uint8_t id = ulmot_GetClientProcessorID(other.client);
    ASSERT_EQ(seen.WaitFor(1).size(), 1u);
    // Told when type 16 loses its processor; not for type 23, nor for the
    // GPO lines, whose processor stays.
    ASSERT_EQ(ulmot_AttachProcessorByName(app, "other", ULMOT_OBJ_CLIENT, 1), 0);
    ASSERT_EQ(ulmot_AttachProcessorByName(app, "other", ULMOT_OBJ_IOCTL, 0), 0);
    ASSERT_EQ(ulmot_AttachProcessorByName(app, "io", ULMOT_OBJ_GPO, 1), 0);
    other.Close();
    ASSERT_EQ(seen.WaitFor(3).size(), 3u);
    // Without its callback, a removal is not reported; the others stay.
    ulmot_RegisterProcessorRemovedEvent(app, RecordRemoved, &seen, 0);
    Connection &third = Connect("third");
    ASSERT_EQ(ulmot_AttachProcessorByName(app, "third", ULMOT_OBJ_CLIENT, 1), 0);
    third.Close();
    Connect("fourth");
    EXPECT_EQ(seen.WaitFor(6), (Lines{Format("added %u: 16 23", id), Format("removed %u", id),
                                      Format("attached 16 %u", id), Format("added %u: 16 23", id + 1),
                                      Format("attached 16 %u", id + 1), Format("added %u: 16 23", id + 2)}));
}

TEST_F(EndToEnd, IoctlAnsweredByAClientAndByAnIoctlProcessor) {
    ClientProcessor *app = Connect("app").client;
    const uint8_t appId = ulmot_GetClientProcessorID(app);
    LogCapture log;
    EXPECT_EQ(Ioctl(reader_, appId, 100, {1, 2}), "1: ") << "no callback yet";
    ulmot_RegisterIOCTL(app, Reverse, nullptr, 1);
    EXPECT_EQ(Ioctl(reader_, appId, 100, {1, 2, 3, 4}), "66: 04 03 02 01");
    EXPECT_EQ(Ioctl(reader_, appId, 100, {}), "66: ");
    EXPECT_EQ(Ioctl(reader_, appId, 101, {1}), "2: ") << "command 101";
    ulmot_RegisterIOCTL(app, Reverse, nullptr, 0);
    EXPECT_EQ(Ioctl(reader_, appId, 100, {1}), "1: ") << "the callback was cleared";

    utr_MemoryPair *pair = QuickPair("ioctl");
    uemu_Link *link = nullptr;
    ASSERT_EQ(uemu_Attach(reader_, utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, &link), UEMU_OK);
    IoctlProcessor *p = nullptr;
    ASSERT_EQ(ulmot_CreateIOCTLProcessor(utr_MemoryEndpoint(pair, UTR_SIDE_A), "ioctl-processor-name", &p), 0);
    uemu_ProcessorInfo info[4];
    uint32_t n = 0;
    ASSERT_EQ(uemu_GetProcessors(reader_, info, 4, &n), UEMU_OK);
    ASSERT_EQ(n, 4u);
    EXPECT_STREQ(info[3].name, "ioctl-processor-") << "its first 16 characters";
    EXPECT_EQ(Bytes(info[3].objectTypes, info[3].objectTypes + info[3].objectTypeCount), (Bytes{23}));
    const uint8_t id = info[3].id;
    EXPECT_EQ(Ioctl(reader_, id, 100, {1}), "1: ") << "no callback yet";
    ulmot_RegisterIOCTLProcessorCallback(p, Reverse, nullptr);
    EXPECT_EQ(Ioctl(reader_, id, 100, {1, 2, 3}), "66: 03 02 01");
    EXPECT_EQ(Ioctl(reader_, id, 100, {}), "66: ");
    EXPECT_EQ(Ioctl(reader_, id, 101, {1}), "2: ");
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_IOCTLRequestHandler: no request handler defined"}));
    EXPECT_EQ(ulmot_DestroyIOCTLProcessor(p), 0);
    EXPECT_EQ(Ids(reader_), (Bytes{1, 2, appId})) << "deregistered";
    EXPECT_EQ(uemu_Detach(reader_, link), UEMU_OK);
    utr_MemoryPairDestroy(pair);
}

TEST_F(EndToEnd, GenericOperationsOnTheObjectStore) {
    ClientProcessor *app = Connect("app").client;
    Session *s = ulmot_GetClientSession(app);
    const uint8_t id = ulmot_GetClientProcessorID(app), kReader = UEMU_READER_PROCESSOR_ID;
    uint8_t instance = 0, count = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(ulmot_AddInventorySpecification(app, &instance, 517, 8, 1, 0, nullptr, 0), 0);
    LogCapture log;
    EXPECT_EQ(ulmot_GetInstanceCount(s, id, kReader, ULMOT_OBJ_INVENTORY, 1, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(ulmot_RemoveObject(app, ULMOT_OBJ_INVENTORY, 2), 0);
    EXPECT_EQ(ulmot_GetInstanceCount(s, id, kReader, ULMOT_OBJ_INVENTORY, 0, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ulmot_GetInstanceCount(s, id, kReader, ULMOT_OBJ_INVENTORY, 1, &count), -1) << "instances 1 and 3";
    EXPECT_EQ(ulmot_RemoveObject(app, ULMOT_OBJ_INVENTORY, 2), UEMU_RESULT_UNKNOWN_INSTANCE);
    EXPECT_EQ(ulmot_RemoveObject(app, ULMOT_OBJ_ANTENNA, 1), UEMU_RESULT_REFUSED);
    EXPECT_EQ(ulmot_RemoveObject(app, ULMOT_OBJ_INVENTORY, 3), 0);
    EXPECT_EQ(ulmot_GetInstanceCount(s, id, kReader, ULMOT_OBJ_INVENTORY, 1, &count), 0);
    EXPECT_EQ(count, 1);

    // Each descriptor type as the reader stores it (ascending item id).
    const uint8_t i8 = 0x12, text[] = {'r', 'a', 'd'}, list[] = {1, 2};
    const uint16_t i16 = 0x3456;
    const uint32_t i32 = 0x789ABCDE;
    const PropertyObjectReference ref{ULMOT_OBJ_ANTENNA, 2};
    ASSERT_EQ(ulmot_SetObjectProperties(app, ULMOT_OBJ_INVENTORY, 1, ULMOT_PROP_INT8, 40u, &i8, ULMOT_PROP_INT16, 41u,
                                        &i16, ULMOT_PROP_INT32, 42u, &i32, ULMOT_PROP_OBJECT_REF, 43u, &ref,
                                        ULMOT_PROP_BYTE_ARRAY, 44u, text, 3u, ULMOT_PROP_INT8_LIST, 45u, list, 2u,
                                        ULMOT_PROP_END),
              0);
    Bytes stored(256);
    uint32_t length = 0;
    ASSERT_EQ(uemu_GetObjectProperties(reader_, 5, 1, stored.data(), 256, &length), UEMU_OK);
    const Bytes expected = {0xF0, 40, 0x12, 0xF1, 41, 0x34, 0x56, 0xF2, 42, 0x78, 0x9A, 0xBC, 0xDE, 0xF3, 43, 8, 2,
                            0xF4, 44, 0, 3, 'r', 'a', 'd', 0xF5, 45, 0, 5, 2, 0x00, 1, 0x00, 2};
    ASSERT_GE(length, expected.size());
    EXPECT_EQ(Bytes(stored.begin() + length - expected.size(), stored.begin() + length), expected);
    uint8_t got8 = 0;
    uint16_t got16 = 0;
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(ulmot_GetPropertyInt8(app, ULMOT_OBJ_INVENTORY, 1, 40, &got8), 0);
    EXPECT_EQ(got8, 0x12);
    EXPECT_EQ(ulmot_GetPropertyInt16(app, ULMOT_OBJ_INVENTORY, 1, 41, &got16), 0);
    EXPECT_EQ(got16, 0x3456);
    EXPECT_EQ(ulmot_GetPropertyString(app, ULMOT_OBJ_INVENTORY, 1, 44, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "rad");
    EXPECT_EQ(ulmot_GetPropertyInt16(app, ULMOT_OBJ_INVENTORY, 1, 40, &got16), -1) << "item 40 is an Int8";
    EXPECT_EQ(ulmot_GetPropertyInt8(app, ULMOT_OBJ_INVENTORY, 9, 40, &got8), -1) << "no instance 9";
    EXPECT_EQ(ulmot_GetPropertyString(app, ULMOT_OBJ_INVENTORY, 1, 44, buffer, 0), -5);
    EXPECT_EQ(ulmot_SetObjectProperties(app, ULMOT_OBJ_INVENTORY, 1, 6u, 46u, &i8, 1u, ULMOT_PROP_END), -5);

    // Event registration and event properties.
    const uint8_t ids[] = {0, 2};
    EXPECT_EQ(ulmot_EventRegistration(s, id, kReader, ULMOT_OBJ_INVENTORY, 1, 0x6, 0x4), 0);
    EXPECT_EQ(ulmot_RegisterEventProperties(s, 1, id, kReader, ULMOT_OBJ_INVENTORY, 1, ids, 2), 0);
    EXPECT_EQ(ulmot_RegisterEventProperties(s, 0, id, kReader, ULMOT_OBJ_INVENTORY, 1, ids, 1), 0);
    EXPECT_EQ(ulmot_EventRegistration(s, id, kReader, ULMOT_OBJ_INVENTORY, 9, 1, 1), UEMU_RESULT_UNKNOWN_INSTANCE);
    uemu_EventRegistration r[2];
    uint32_t n = 0;
    ASSERT_EQ(uemu_GetEventRegistrations(reader_, r, 2, &n), UEMU_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(Bytes({r[0].processorId, r[0].objectType, r[0].instance}), (Bytes{id, 5, 1}));
    EXPECT_EQ(r[0].selectedMask, 0x6u);
    EXPECT_EQ(r[0].enabledMask, 0x4u);
    EXPECT_EQ(Bytes(r[0].propertyIds, r[0].propertyIds + r[0].propertyCount), (Bytes{2}));
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_GetInstanceCount: ID/count mismatch (count: 2, max ID: 3)",
                                  "ulmot_GetPropertyInt16: Failed to find property in response",
                                  "ulmot_GetObjectProperties: Failed", "ulmot_GetPropertyString: No room in a buffer of size 0",
                                  "ulmot_SetProperties: Unsupported data type", "ulmot_SetProperties: Failed to add message data",
                                  "ulmot_EventRegistration: Request failed (result 2)"}));
}

// A scripted reader cannot show what the reader makes of a reconnection:
// the old id deregistered (others are told), a new one served.
TEST_F(EndToEnd, ReconnectsWithANewIdAndKeepsItsAttachTable) {
    Connection &connection = Connect("app");
    ClientProcessor *app = connection.client;
    Recorder watched, seen;
    ulmot_RegisterProcessorAddedEvent(app, RecordAdded, &seen, 1);
    ulmot_RegisterIOCTL(app, Reverse, nullptr, 1);
    ClientProcessor *watcher = Connect("watcher").client;
    ulmot_RegisterProcessorRemovedEvent(watcher, RecordRemoved, &watched, 1);
    {
        LogCapture log;
        ASSERT_EQ(uemu_DropLink(reader_, connection.link), UEMU_OK);
        EXPECT_EQ(watched.WaitFor(1), (Lines{"removed 3"}));
        ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(app) == nullptr; }));
        ASSERT_EQ(uemu_RestoreLink(reader_, connection.link), UEMU_OK);
        ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(app) != nullptr; }));
    }
    const uint8_t id = ulmot_GetClientProcessorID(app);
    EXPECT_EQ(id, 5) << "a new id";
    EXPECT_EQ(Ids(reader_), (Bytes{1, 2, 4, 5}));
    EXPECT_EQ(uemu_FindLink(reader_, id), connection.link);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_ANTENNA), UEMU_READER_PROCESSOR_ID);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_GPI), UEMU_IO_PROCESSOR_ID);
    uint8_t count = 0;
    EXPECT_EQ(ulmot_GetInstanceCount(ulmot_GetClientSession(app), id, UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 1,
                                     &count),
              0);
    EXPECT_EQ(count, 4);
    // Its callbacks work again.
    EXPECT_EQ(Ioctl(reader_, id, 100, {7, 8}), "66: 08 07");
    Connect("late");
    EXPECT_EQ(seen.WaitFor(2), (Lines{"added 4: 16 23", "added 6: 16 23"})) << "not told of itself (5)";
    ulmot_RegisterProcessorRemovedEvent(watcher, nullptr, nullptr, 0);  // `watched` goes before the clients
}

}  // namespace
