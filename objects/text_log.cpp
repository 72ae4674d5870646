// The reader's text log (object type 13): each log message arrives as event
// type 0 with the text in byte-array item 0.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kItemText = 0;

}  // namespace



void ClientHandleTextLogMessage(ClientProcessor *c, uint8_t, uint32_t timestamp, MessageBlock *block) {
    const auto slot = c->families.textLog.Get();
    if (slot.callback == nullptr) return;
    // The message as received (at most 128 bytes) and a terminator after it,
    // so that a callback may read it as a string; this call's own buffer.
    char text[ULMOT_TEXT_LOG_MAX + 1];
    uint16_t length = 0;
    if (ulmot_BufferReadDTPByteArray(block, objects::kItemText, 0, text, ULMOT_TEXT_LOG_MAX, &length) != 0) {
        ulmot_Debug("ulmot_ClientHandleTextLogMessage: Failed to find message in event");
        return;
    }
    text[length] = '\0';
    slot.callback(slot.context, timestamp, text);
}

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_RegisterTextLogMessage(ClientProcessor *c, ulmot_TextLogCallback callback, void *context,
                                     uint32_t enable) {
    if (enable != 0) {
        c->families.textLog.Set(callback, context);
    } else {
        c->families.textLog.Set(nullptr, nullptr);
    }
    return RegisterEvents(c, "ulmot_RegisterTextLogMessage", ULMOT_OBJ_TEXT_LOG, 0, kEventType0,
                          EnableMask(enable != 0));
}

}  // extern "C"
