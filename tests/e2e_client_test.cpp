// Clients of the library against the emulated reader, end to end:
// registration and attachment against the real delivery processor, the
// processor events and the attached-removed rule, the generic operations on
// the object store, and a reconnection as the reader sees it.
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

// The client processors the reader knows: "id name: types; " each.
std::string Clients(uemu_Reader *reader) {
    uemu_ProcessorInfo all[8];
    uint32_t n = 0;
    EXPECT_EQ(uemu_GetProcessors(reader, all, 8, &n), UEMU_OK);
    std::string s;
    for (uint32_t i = 2; i < n && i < 8; ++i) {  // after "reader" and "io"
        s += Format("%u %s:", all[i].id, all[i].name);
        for (uint8_t k = 0; k < all[i].objectTypeCount; ++k) s += Format(" %u", all[i].objectTypes[k]);
        s += "; ";
    }
    return s;
}

void RecordAdded(void *r, uint32_t, uint8_t id, const uint32_t *types, uint32_t count) {
    std::string line = Format("added %u:", id);
    for (uint32_t i = 0; i < count; ++i) line += Format(" %u", types[i]);
    Of(r).Add(line);
}
void RecordRemoved(void *r, uint32_t, uint8_t id) { Of(r).Add(Format("removed %u", id)); }
void RecordAttached(void *r, uint32_t, uint32_t type, uint8_t id) { Of(r).Add(Format("attached %u %u", type, id)); }

TEST_F(EndToEnd, ClientRegistersAndAttachesByTypeAndByName) {
    ClientProcessor *app = Connect("app").client;
    Connect(std::string(40, 'n'));
    Connect("twin");
    EXPECT_EQ(Clients(reader_), "3 app: 16 23; 4 " + std::string(30, 'n') + ": 16 23; 5 twin: 16 23; ")
        << "a name is registered by its first 30 characters";
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_GPI), UEMU_IO_PROCESSOR_ID) << "attached by type";
    // The find flag picks the latest or the first registration of a type.
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(app, ULMOT_OBJ_CLIENT, 0, 1), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_CLIENT), 5);
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(app, ULMOT_OBJ_CLIENT, 0, 0), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_CLIENT), 3);
    EXPECT_EQ(ulmot_AttachProcessorByName(app, "twin", ULMOT_OBJ_IOCTL, 0), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_IOCTL), 5);
    LogCapture log;
    EXPECT_EQ(ulmot_AttachProcessorByName(app, "reader", ULMOT_OBJ_GPI, 0), -1) << "the reader lacks type 2";
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(app, 20, 0, 0), -1) << "nobody provides type 20";
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_GPI), UEMU_IO_PROCESSOR_ID) << "unchanged";
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_IOCTL), 5);
    EXPECT_EQ(log.Lines(),
              (Lines{"ulmot_AttachObjectProcessorByName: Failed to determine processor ID with name reader"}));
}

TEST_F(EndToEnd, ProcessorEventsAndTheAttachedRemovedRule) {
    ClientProcessor *app = Connect("app").client;
    Recorder seen;
    ulmot_RegisterProcessorAddedEvent(app, RecordAdded, &seen, 1);
    ulmot_RegisterProcessorRemovedEvent(app, RecordRemoved, &seen, 1);
    ulmot_RegisterAttachedProcessorRemovedEvent(app, RecordAttached, &seen, 1);
    // Told when type 16 loses its processor; not for type 23 (no notice
    // asked), nor for the GPO lines, whose processor stays. The second time
    // round, the removed callback is cleared: the others stay.
    for (const char *name : {"other", "third"}) {
        Connection &other = Connect(name);
        ASSERT_EQ(ulmot_AttachProcessorByName(app, name, ULMOT_OBJ_CLIENT, 1), 0);
        ASSERT_EQ(ulmot_AttachProcessorByName(app, name, ULMOT_OBJ_IOCTL, 0), 0);
        ASSERT_EQ(ulmot_AttachProcessorByName(app, "io", ULMOT_OBJ_GPO, 1), 0);
        other.Close();
        ASSERT_EQ(seen.WaitFor(name[0] == 'o' ? 3 : 5).size(), name[0] == 'o' ? 3u : 5u);
        ulmot_RegisterProcessorRemovedEvent(app, RecordRemoved, &seen, 0);
    }
    Connect("fourth");
    EXPECT_EQ(seen.WaitFor(6), (Lines{"added 4: 16 23", "removed 4", "attached 16 4", "added 5: 16 23",
                                      "attached 16 5", "added 6: 16 23"}));
}

TEST_F(EndToEnd, GenericOperationsOnTheObjectStore) {
    ClientProcessor *app = Connect("app").client;
    Session *s = ulmot_GetClientSession(app);
    uint8_t instance = 0, count = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(ulmot_AddInventorySpecification(app, &instance, 517, 8, 1, 0, nullptr, 0), 0);
    LogCapture log;
    EXPECT_EQ(ulmot_RemoveObject(app, ULMOT_OBJ_INVENTORY, 2), 0);
    EXPECT_EQ(ulmot_RemoveObject(app, ULMOT_OBJ_ANTENNA, 1), UEMU_RESULT_REFUSED);
    EXPECT_EQ(ulmot_GetInstanceCount(s, 3, 1, ULMOT_OBJ_INVENTORY, 0, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ulmot_GetInstanceCount(s, 3, 1, ULMOT_OBJ_INVENTORY, 1, &count), -1) << "instances 1 and 3";
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_GetInstanceCount: ID/count mismatch (count: 2, max ID: 3)"}));

    // Each descriptor type as the reader keeps it (ascending item id).
    const uint8_t i8 = 0x12, text[] = {'r', 'a', 'd'}, list[] = {1, 2};
    const uint16_t i16 = 0x3456;
    const uint32_t i32 = 0x789ABCDE;
    const PropertyObjectReference ref{ULMOT_OBJ_ANTENNA, 2};
    ASSERT_EQ(ulmot_SetObjectProperties(app, ULMOT_OBJ_INVENTORY, 3, ULMOT_PROP_INT8, 40u, &i8, ULMOT_PROP_INT16, 41u,
                                        &i16, ULMOT_PROP_INT32, 42u, &i32, ULMOT_PROP_OBJECT_REF, 43u, &ref,
                                        ULMOT_PROP_BYTE_ARRAY, 44u, text, 3u, ULMOT_PROP_INT8_LIST, 45u, list, 2u,
                                        ULMOT_PROP_END),
              0);
    Bytes stored(256);
    uint32_t length = 0;
    ASSERT_EQ(uemu_GetObjectProperties(reader_, 5, 3, stored.data(), 256, &length), UEMU_OK);
    const Bytes items = {0xF0, 40, 0x12, 0xF1, 41, 0x34, 0x56, 0xF2, 42, 0x78, 0x9A, 0xBC, 0xDE, 0xF3, 43, 8, 2,
                         0xF4, 44, 0, 3, 'r', 'a', 'd', 0xF5, 45, 0, 5, 2, 0x00, 1, 0x00, 2};
    ASSERT_GE(length, items.size());
    EXPECT_EQ(Bytes(stored.begin() + length - items.size(), stored.begin() + length), items);

    // What an event registration and event properties leave at the reader.
    const uint8_t ids[] = {0, 2};
    EXPECT_EQ(ulmot_EventRegistration(s, 3, 1, ULMOT_OBJ_INVENTORY, 1, 0x6, 0x4), 0);
    EXPECT_EQ(ulmot_RegisterEventProperties(s, 1, 3, 1, ULMOT_OBJ_INVENTORY, 1, ids, 2), 0);
    EXPECT_EQ(ulmot_RegisterEventProperties(s, 0, 3, 1, ULMOT_OBJ_INVENTORY, 1, ids, 1), 0);
    uemu_EventRegistration r[2];
    uint32_t n = 0;
    ASSERT_EQ(uemu_GetEventRegistrations(reader_, r, 2, &n), UEMU_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(Format("%u %u %u %X %X %u: %u", r[0].processorId, r[0].objectType, r[0].instance, r[0].selectedMask,
                     r[0].enabledMask, r[0].propertyCount, r[0].propertyIds[0]),
              "3 5 1 6 4 1: 2");
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
    LogCapture log;
    ASSERT_EQ(uemu_DropLink(reader_, connection.link), UEMU_OK);
    EXPECT_EQ(watched.WaitFor(1), (Lines{"removed 3"}));
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(app) == nullptr; }));
    ASSERT_EQ(uemu_RestoreLink(reader_, connection.link), UEMU_OK);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(app) != nullptr; }));
    EXPECT_EQ(ulmot_GetClientProcessorID(app), 5) << "a new id";
    EXPECT_EQ(Clients(reader_), "4 watcher: 16 23; 5 app: 16 23; ");
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_GPI), UEMU_IO_PROCESSOR_ID) << "kept";
    uint8_t count = 0;
    EXPECT_EQ(ulmot_GetInstanceCount(ulmot_GetClientSession(app), 5, 1, ULMOT_OBJ_ANTENNA, 1, &count), 0);
    EXPECT_EQ(count, 4);
    // Its callbacks work again.
    EXPECT_EQ(Ioctl(reader_, 5, 100, {7, 8}), "66: 08 07");
    Connect("late");
    EXPECT_EQ(seen.WaitFor(2), (Lines{"added 4: 16 23", "added 6: 16 23"})) << "not told of itself (5)";
    ulmot_RegisterProcessorRemovedEvent(watcher, nullptr, nullptr, 0);  // `watched` goes before the clients
}

}  // namespace
