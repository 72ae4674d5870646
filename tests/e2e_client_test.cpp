// A client of the library against the emulated reader, end to end: a
// reconnection as the reader sees it. The attach rules, processor events and
// generic operations byte by byte are the processors' suite's; how the reader
// searches and tells clients of each other, the emulator's; what it keeps of
// objects, the object families'.
#include "support.h"

namespace {

using namespace ulmot::test;
using EndToEnd = ReaderTest;

void RecordAdded(void *r, uint32_t, uint8_t id, const uint32_t *types, uint32_t count) {
    std::string line = Format("added %u:", id);
    for (uint32_t i = 0; i < count; ++i) line += Format(" %u", types[i]);
    Of(r).Add(line);
}

// A scripted reader cannot show what the reader makes of a reconnection:
// the old id deregistered, a new one served with the same name and types.
// (How the reader tells the other clients is the emulator's suite's.)
TEST_F(EndToEnd, ReconnectsWithANewIdAndKeepsItsAttachTable) {
    Connection &connection = Connect("app");
    ClientProcessor *app = connection.client;
    Recorder seen;
    ulmot_RegisterProcessorAddedEvent(app, RecordAdded, &seen, 1);
    LogCapture log;
    ASSERT_EQ(uemu_DropLink(reader_, connection.link), UEMU_OK);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(app) == nullptr; }));
    ASSERT_EQ(uemu_RestoreLink(reader_, connection.link), UEMU_OK);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(app) != nullptr; }));
    uemu_ProcessorInfo all[4];
    uint32_t n = 0;
    ASSERT_EQ(uemu_GetProcessors(reader_, all, 4, &n), UEMU_OK);
    EXPECT_EQ(Format("%u processors; %u %s: %u types %u %u", n, all[2].id, all[2].name, all[2].objectTypeCount,
                     all[2].objectTypes[0], all[2].objectTypes[1]),
              "3 processors; 4 app: 2 types 16 23")
        << "after the reader and io: a new id, the same name and types";
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(app, ULMOT_OBJ_GPI), UEMU_IO_PROCESSOR_ID) << "kept";
    Connect("late");
    EXPECT_EQ(seen.WaitFor(1), (Lines{"added 5: 16 23"})) << "not told of itself (4)";
}

}  // namespace
