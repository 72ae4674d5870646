// Fuzz target: a whole tag report event (object type 5, event type 2)
// through the session's handling of a queued event, the client's event
// dispatch and the tag report handler, to a callback that reads every byte
// it is given.
//
// Input: the 8 header bytes (message type, object type and event type are
// set to a tag report event; destination, instance and the declared body
// length are the input's: a body longer than declared is cut to it, as the
// receive thread does), then the body. The event runs twice:
//   - in a pool block whose bytes behind writePtr are junk, through
//     HandleQueuedMessage (which reads the time stamp and calls the client's
//     event handler, which releases the block);
//   - with the same body in an exact heap buffer, straight into the tag
//     report handler: AddressSanitizer reports any read at or past writePtr.
// Both reports must agree (pointers compared as offsets into the body), and
// every pointer the callback gets must lie inside the body with the length
// it is given; after the input every pool is full.
#include "fuzz/fuzz_support.h"
#include "objects/family.h"
#include "processors/client.h"
#include "session/session_internal.h"

namespace {

using namespace ulmot::fuzz;

struct Seen {
    int calls = 0;
    uint32_t timestamp = 0;
    uint8_t instance = 0;
    TagReport report{};
    long dataOffset = -1;    // from the body's start; -1 for null
    long item22Offset = -1;  // the same for item 22
    uint32_t sum = 0;
    const uint8_t *bodyStart = nullptr;
    const uint8_t *bodyEnd = nullptr;
};

uint16_t Load16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void OnTagReport(void *context, uint32_t timestamp, uint8_t instance, const TagReport *r) {
    auto *s = static_cast<Seen *>(context);
    ++s->calls;
    s->timestamp = timestamp;
    s->instance = instance;
    s->report = *r;
    if (r->data == nullptr) {
        Check(r->dataLength == 0, "no data but a length");
        Check(r->pcWord == 0 && r->xpcWord1 == 0 && r->xpcWord2 == 0 && r->crc == 0, "no data but PC, XPC or CRC");
    } else {
        Check(Inside(r->data, r->dataLength, s->bodyStart, s->bodyEnd), "tag data outside the body");
        s->dataOffset = r->data - s->bodyStart;
        s->sum += Touch(r->data, r->dataLength);
        if (r->format == 517) {
            // The CRC follows the EPC; PC and XPC words come before it.
            Check(Inside(r->data, r->dataLength + 2u, s->bodyStart, s->bodyEnd), "CRC outside the body");
            Check(r->crc == Load16(r->data + r->dataLength), "CRC is not the word after the EPC");
            const long words = 1 + ((r->pcWord & 0x0200) != 0) + ((r->xpcWord1 & 0x8000) != 0);
            Check(s->dataOffset >= 2 * words, "PC and XPC words do not fit in front of the EPC");
            Check(r->pcWord == Load16(r->data - 2 * words), "PC word is not where the tag bits start");
        } else {
            Check(r->pcWord == 0 && r->xpcWord1 == 0 && r->xpcWord2 == 0 && r->crc == 0,
                  "PC, XPC or CRC outside format 517");
        }
    }
    if (r->item22Data != nullptr) {
        Check(Inside(r->item22Data, r->item22Length, s->bodyStart, s->bodyEnd), "item 22 outside the body");
        s->item22Offset = r->item22Data - s->bodyStart;
        s->sum += Touch(r->item22Data, r->item22Length);
    } else {
        Check(r->item22Length == 0, "no item 22 but a length");
    }
}

// The fields of two reports, pointers as offsets, must agree.
void CheckSame(const Seen &a, const Seen &b) {
    Check(a.calls == 1 && b.calls == 1, "the callback did not run exactly once");
    Check(a.instance == b.instance && a.dataOffset == b.dataOffset && a.item22Offset == b.item22Offset &&
              a.sum == b.sum,
          "bytes behind writePtr changed the report");
    TagReport x = a.report, y = b.report;
    x.data = y.data = nullptr;
    x.item22Data = y.item22Data = nullptr;
    Check(std::memcmp(&x, &y, sizeof x) == 0, "bytes behind writePtr changed the report's fields");
}

ClientProcessor *g_client;
Session *g_session;  // only its handlers are used: no thread runs
Seen g_seen;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    streams_buf_init();
    g_client = new ClientProcessor();
    g_client->families.inventory.Set({nullptr, nullptr, OnTagReport, &g_seen});
    g_session = new Session();
    ulmot_SessionRegisterEventHandler(g_session, ulmot::processors::ClientHandleEvent, g_client);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < ULMOT_HEADER_SIZE) return 0;
    uint8_t header[ULMOT_HEADER_SIZE];
    std::memcpy(header, data, ULMOT_HEADER_SIZE);
    header[ULMOT_HEADER_TYPE_ID] = static_cast<uint8_t>(ULMOT_MSG_EVENT << 6 | (header[ULMOT_HEADER_TYPE_ID] & 63));
    header[ULMOT_HEADER_OBJECT_TYPE] = ULMOT_OBJ_INVENTORY;
    header[ULMOT_HEADER_COMMAND] = 2;
    // The client takes events for processor 0 and for its own id (0 here).
    if (header[ULMOT_HEADER_DESTINATION] != 0) header[ULMOT_HEADER_DESTINATION] = 0;
    const size_t declared = Load16(header + ULMOT_HEADER_LENGTH);
    size_t bodySize = size - ULMOT_HEADER_SIZE;
    if (bodySize > declared) bodySize = declared;
    // A message (header and body) fits one block.
    if (bodySize > ULMOT_MAX_BLOCK_SIZE - ULMOT_HEADER_SIZE) bodySize = ULMOT_MAX_BLOCK_SIZE - ULMOT_HEADER_SIZE;
    const uint8_t *body = data + ULMOT_HEADER_SIZE;

    // Through the session's queued-event path, in a pool block.
    Seen pooled;
    {
        MessageBlock *b = allocb(ULMOT_MAX_BLOCK_SIZE, 0);
        Check(b != nullptr, "no pool block");
        std::memcpy(b->writePtr, header, ULMOT_HEADER_SIZE);
        b->writePtr += ULMOT_HEADER_SIZE;
        if (bodySize != 0) std::memcpy(b->writePtr, body, bodySize);
        b->writePtr += bodySize;
        // Junk behind writePtr: a tag data item whose bits would run on.
        for (uint8_t *q = b->writePtr; q < b->dataBlock->limit; ++q) *q = static_cast<uint8_t>(0x47 + (q - b->writePtr));
        g_seen = Seen{};
        g_seen.bodyStart = b->readPtr + ULMOT_HEADER_SIZE;
        g_seen.bodyEnd = b->writePtr;
        ulmot::session::HandleQueuedMessage(g_session, b);  // the client's handler releases it
        pooled = g_seen;
    }
    CheckPoolsFull("after the event was handled");

    // The same body, exact, straight into the handler.
    {
        ExactBlock b(body, bodySize);
        uint32_t timestamp = 0;
        ulmot_BufferReadDTPInt32(b.get(), ULMOT_ITEM_TIMESTAMP, &timestamp);
        g_seen = Seen{};
        g_seen.bodyStart = b.begin();
        g_seen.bodyEnd = b.end();
        ulmot::objects::ClientHandleTagReport(g_client, header[ULMOT_HEADER_INSTANCE], timestamp, b.get());
        Check(g_seen.timestamp == pooled.timestamp, "the time stamps differ");
        CheckSame(pooled, g_seen);
    }
    return 0;
}
