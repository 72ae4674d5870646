// CTI objects (object type 10): a request channel to a reader processor.
// Their requests (command 100) wait up to 20000 ms for the response; the
// session picks that time-out by object type and command.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kRequestOverhead = 28;  // bytes beyond the request data
constexpr uint32_t kHeadRoom = 8;
constexpr uint32_t kItemCode = 0;
constexpr uint32_t kItemRequestData = 1;
constexpr uint32_t kItemStatus = 2;
constexpr uint32_t kItemResponseData = 3;

}  // namespace

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_AddCTIObject(ClientProcessor *c, uint8_t *instance) {
    MessageBlock *b = ulmot_BufferAllocate(8, kHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddCTIObject: Allocation failed");
        return -7;
    }
    const int32_t result = SendRequest(c, "ulmot_AddCTIObject", ULMOT_OBJ_CTI, ULMOT_CMD_ADD, 0, b, nullptr, instance);
    if (result != 0) ulmot_Debug("ulmot_AddCTIObject: Failed (result %d)", result);
    return result;
}

int32_t ulmot_CTIRequest(ClientProcessor *c, uint8_t instance, uint8_t code, const uint8_t *data, uint16_t length,
                         uint16_t *status, uint8_t *response, uint16_t *responseLength) {
    if (responseLength == nullptr || (data == nullptr && length != 0)) {
        ulmot_Debug("ulmot_CTIRequest: Invalid parameter");
        return -5;
    }
    MessageBlock *b = ulmot_BufferAllocate(uint32_t{length} + kRequestOverhead, kHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_CTIRequest: Allocation failed");
        return -7;
    }
    if (ulmot_BufferWriteDTPInt8(b, kItemCode, code) != 0 ||
        ulmot_BufferWriteDTPByteArray(b, kItemRequestData, data, length) != 0) {
        freeb(b);
        ulmot_Debug("ulmot_CTIRequest: Failed to build message");
        return -1;
    }
    MessageBlock *answer = nullptr;
    int32_t result = SendRequest(c, "ulmot_CTIRequest", ULMOT_OBJ_CTI, ULMOT_CMD_OBJECT_SPECIFIC, instance, b,
                                 &answer);
    if (result != 0) {
        ulmot_Debug("ulmot_CTIRequest: Failed (result %d)", result);
    } else {
        // The status first; without it the data is not read. Too long for the
        // buffer: nothing is copied, but its length is handed back.
        result = ulmot_BufferReadDTPInt16(answer, kItemStatus, status);
        if (result == 0) {
            const uint16_t capacity = *responseLength;
            result = ulmot_BufferReadDTPByteArray(answer, kItemResponseData, 0, response, capacity, responseLength);
        }
        if (result != 0) ulmot_Debug("ulmot_CTIRequest: Failed to find data in response");
    }
    if (answer != nullptr) freeb(answer);
    return result;
}

}  // extern "C"
