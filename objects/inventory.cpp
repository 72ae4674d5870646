// Inventory specifications (object type 5): creation and settings, their
// statistics, their events and the tag report.
#include "items/dtp.h"
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kInventoryRequestSize = 208;

constexpr uint32_t kItemValue0 = 0;
constexpr uint32_t kItemObject = 1;
constexpr uint32_t kItemValue2 = 2;
constexpr uint32_t kItemSelectors = 3;
constexpr uint32_t kItemAccessGroup = 21;
constexpr uint32_t kItemInventoryType = 23;

constexpr uint16_t kFormatGen2 = 517;
constexpr uint16_t kPcHasXpc = 0x0200;    // PC: XPC word 1 follows
constexpr uint16_t kXpc1HasXpc2 = 0x8000; // XPC word 1: XPC word 2 follows
constexpr uint32_t kWordBytes = 2;

constexpr uint32_t kMaxEventType = 31;  // the masks have 32 bits

// Appends the tag selector list (item 3, object type 3) when both are given.
int32_t WriteSelectors(MessageBlock *b, const uint8_t *selectors, uint8_t count) {
    if (selectors == nullptr || count == 0) return 0;
    return ulmot_BufferWriteDTPObjectReferenceList(b, kItemSelectors, ULMOT_OBJ_TAG_SELECTOR,
                                                   selectors, count);
}

// Splits the tag bits of a format-517 report into PC word, XPC words, EPC and
// CRC. Only the whole bytes of the bit count are used: the parse took the tag
// data item only when they lie inside it, so they are the most we may read.
// When they are fewer than the PC word, the XPC words that the PC (bit 0x0200)
// and XPC word 1 (bit 0x8000) announce and the CRC together need, the report
// carries no data: data null, length 0, PC, XPC words and CRC 0; its header
// byte and word, format and other items stay. A report without tag data is
// such a report. An EPC of 0 bytes keeps its position with length 0.
void SplitGen2Bits(TagReport *r) {
    const uint8_t *p = r->data;
    uint32_t left = r->dataLength / 8;
    r->data = nullptr;
    r->dataLength = 0;
    auto take = [&](uint16_t *word) {
        if (left < kWordBytes) return false;
        *word = DtpLoad16(p);
        p += kWordBytes;
        left -= kWordBytes;
        return true;
    };
    TagReport split = *r;
    bool sound = p != nullptr && take(&split.pcWord);
    if (sound && (split.pcWord & kPcHasXpc) != 0) {
        sound = take(&split.xpcWord1);
        if (sound && (split.xpcWord1 & kXpc1HasXpc2) != 0) sound = take(&split.xpcWord2);
    }
    if (!sound || left < kWordBytes) return;  // no room left for the CRC
    split.data = p;
    split.dataLength = left - kWordBytes;
    split.crc = DtpLoad16(p + split.dataLength);
    *r = split;
}

}  // namespace

void ReadTagReport(TagReport *report, MessageBlock *block) {
    ParseTagReportItems(report, block);
    if (report->format == kFormatGen2) {
        SplitGen2Bits(report);
    } else {
        report->dataLength /= 8;  // whole bytes: the parse holds them inside the item
    }
}

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_AddInventorySpecification(ClientProcessor *client, uint8_t *instance, uint16_t item0,
                                        uint32_t objectType, uint8_t objectInstance, uint8_t item2,
                                        const uint8_t *selectors, uint8_t selectorCount) {
    MessageBlock *b = ulmot_BufferAllocate(kInventoryRequestSize, ULMOT_HEADER_SIZE);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddInventorySpecification: Allocation failed");
        return -7;
    }
    if (ulmot_BufferWriteDTPInt8(b, kItemValue2, item2) != 0 ||
        ulmot_BufferWriteDTPInt16(b, kItemValue0, item0) != 0 ||
        ulmot_BufferWriteDTPObjectReference(b, kItemObject, objectType, objectInstance) != 0 ||
        WriteSelectors(b, selectors, selectorCount) != 0) {
        ulmot_Debug("ulmot_AddInventorySpecification: Failed to build request");
        freeb(b);
        return -1;
    }
    return SendRequest(client, "ulmot_AddInventorySpecification", ULMOT_OBJ_INVENTORY, ULMOT_CMD_ADD,
                       0, b, nullptr, instance);
}

int32_t ulmot_SetInventorySelector(ClientProcessor *client, uint8_t instance,
                                   const uint8_t *selectors, uint8_t count) {
    MessageBlock *b = ulmot_BufferAllocate(kInventoryRequestSize, ULMOT_HEADER_SIZE);
    if (b == nullptr) {
        ulmot_Debug("ulmot_SetInventorySelector: Allocation failed");
        return -7;
    }
    if (WriteSelectors(b, selectors, count) != 0) {
        ulmot_Debug("ulmot_SetInventorySelector: Failed to build request");
        freeb(b);
        return -1;
    }
    return SendRequest(client, "ulmot_SetInventorySelector", ULMOT_OBJ_INVENTORY,
                       ULMOT_CMD_SET_PROPERTIES, instance, b);
}

int32_t ulmot_SetInventoryAccessGroup(ClientProcessor *client, uint8_t instance, uint8_t accessGroup) {
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_INVENTORY, instance, ULMOT_PROP_INT8,
                                     kItemAccessGroup, &accessGroup, ULMOT_PROP_END);
}

int32_t ulmot_SetInventoryType(ClientProcessor *client, uint8_t instance, uint8_t inventoryType) {
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_INVENTORY, instance, ULMOT_PROP_INT8,
                                     kItemInventoryType, &inventoryType, ULMOT_PROP_END);
}

int32_t ulmot_GetInventoryStats(ClientProcessor *client, uint8_t instance, uint8_t *item5,
                                uint16_t *item6, uint16_t *item7, uint16_t *item8,
                                uint8_t *item9Instance, uint16_t *item10, uint16_t *item11) {
    MessageBlock *r = ulmot::processors::GetObjectProperties(client, ULMOT_OBJ_INVENTORY, instance);
    if (r == nullptr) return -1;
    // A missing item zeroes its output (the readers do) and is not an error.
    if (item5) ulmot_BufferReadDTPInt8(r, 5, item5);
    if (item6) ulmot_BufferReadDTPInt16(r, 6, item6);
    if (item7) ulmot_BufferReadDTPInt16(r, 7, item7);
    if (item8) ulmot_BufferReadDTPInt16(r, 8, item8);
    if (item9Instance) ulmot_BufferReadDTPObjectReference(r, 9, 0, item9Instance);
    if (item10) ulmot_BufferReadDTPInt16(r, 10, item10);
    if (item11) ulmot_BufferReadDTPInt16(r, 11, item11);
    freeb(r);
    return 0;
}

int32_t ulmot_RegisterInventoryEvents(ClientProcessor *client, ulmot_InventoryEvent0Callback event0,
                                      ulmot_InventoryEvent1Callback event1,
                                      ulmot_TagReportCallback tagReport, void *context) {
    client->families.inventory.Set({event0, event1, tagReport, context});
    const uint32_t enable = (event0 ? 1u : 0u) | (event1 ? 2u : 0u) | (tagReport ? 4u : 0u);
    return RegisterEvents(client, "ulmot_RegisterInventoryEvents", ULMOT_OBJ_INVENTORY, 0,
                          0xFFFFFFFFu, enable);
}

int32_t ulmot_ManageInventoryEvents(ClientProcessor *client, uint8_t instance, uint32_t eventType,
                                    uint32_t enable) {
    if (eventType > kMaxEventType) {
        ulmot_Debug("ulmot_ManageInventoryEvents: Invalid event type (%u)", eventType);
        return -5;
    }
    const int32_t result = RegisterEvents(client, "ulmot_ManageInventoryEvents", ULMOT_OBJ_INVENTORY,
                                          instance, 1u << eventType, enable ? 0xFFFFFFFFu : 0u);
    if (result != 0) {
        ulmot_Debug("ulmot_ManageInventoryEvents: Failed to %sable event type %u for inventory ID %u "
                    "(result %d)",
                    enable ? "en" : "dis", eventType, instance, result);
    }
    return result;
}

}  // extern "C"

namespace ulmot::objects {

void ClientHandleInventoryEvent0(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                       MessageBlock *) {
    const ulmot::processors::InventoryCallbacks cb = client->families.inventory.Get();
    if (cb.event0) cb.event0(cb.context, timestamp, instance);
}

void ClientHandleInventoryEvent1(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                       MessageBlock *block) {
    const ulmot::processors::InventoryCallbacks cb = client->families.inventory.Get();
    if (cb.event1) cb.event1(cb.context, timestamp, instance, block);
}

void ClientHandleTagReport(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                 MessageBlock *block) {
    const ulmot::processors::InventoryCallbacks cb = client->families.inventory.Get();
    if (!cb.tagReport) return;
    TagReport report;
    ReadTagReport(&report, block);
    cb.tagReport(cb.context, timestamp, instance, &report);
}

}  // namespace ulmot::objects
