// Three system objects, each instance 1: the reader's timestamp (object type
// 15), the version information with the radio model (object type 0, fetched
// once per client and kept) and the real-time clock (object type 24).
#include <cstring>

#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint8_t kSystemInstance = 1;
constexpr uint32_t kItemRadioModel = 10;
constexpr uint32_t kClockFields = 7;
constexpr uint32_t kSetRtcSize = 78;
constexpr uint32_t kSetRtcHeadRoom = 8;
constexpr const char *kUnknownVersion = "UNKNOWN";

using plat::FetchOnce;
using processors::GetObjectProperties;
using processors::VersionInfo;

// Fetches the version strings and the radio model once; callers that come
// while it runs share its outcome, and a failed fetch is tried again by the
// next call. `read` sees the kept information under the cache's lock.
template <typename Read>
int32_t WithVersionInfo(ClientProcessor *c, Read read) {
    const auto fetch = [c](VersionInfo &info) -> FetchOnce<VersionInfo>::Outcome {
        MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_VERSION, kSystemInstance);
        if (b == nullptr) return {-1, false};
        // A missing string, or one of 100 bytes or more, leaves its field as
        // it was (empty: a kept cache is never fetched again).
        for (uint32_t k = 0; k < ULMOT_VERSION_STRINGS; ++k) {
            ulmot_BufferReadDTPString(b, k, 0, info.versionStrings[k], ULMOT_VERSION_STRING_SIZE);
        }
        ulmot_BufferReadDTPInt16(b, kItemRadioModel, &info.radioModel);
        freeb(b);
        return {0, true};
    };
    return c->families.versionInfo.Get(fetch, read);
}

// A bounded copy that fills the rest of the buffer with zeros and always
// ends in a terminator.
void CopyText(char *to, const char *from, uint32_t length) {
    const size_t n = std::strlen(from);
    const size_t copied = n < length ? n : length;
    std::memcpy(to, from, copied);
    std::memset(to + copied, 0, length - copied);
    to[length - 1] = '\0';
}

}  // namespace

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_GetTimestamp(ClientProcessor *c, uint32_t *first, uint32_t *second) {
    MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_TIMESTAMP, kSystemInstance);
    if (b == nullptr) return -1;
    const int32_t r0 = ulmot_BufferReadDTPInt32(b, 0, first);
    const int32_t r1 = ulmot_BufferReadDTPInt32(b, 1, second);
    freeb(b);
    return r0 == 0 && r1 == 0 ? 0 : -1;
}

int32_t ulmot_GetVersion(ClientProcessor *c, uint32_t which, char *text, uint32_t length) {
    if (text == nullptr || length == 0) {
        ulmot_Debug("ulmot_GetVersion: No room in a buffer of length 0");
        return -5;
    }
    bool known = false;
    const int32_t r = WithVersionInfo(c, [&](const VersionInfo &info) {
        known = which < ULMOT_VERSION_STRINGS;
        CopyText(text, known ? info.versionStrings[which] : kUnknownVersion, length);
    });
    if (r != 0) return r;
    return known ? 0 : -5;
}

int32_t ulmot_GetRadioModel(ClientProcessor *c, uint16_t *model) {
    return WithVersionInfo(c, [model](const VersionInfo &info) {
        if (model != nullptr) *model = info.radioModel;
    });
}

int32_t ulmot_GetRTC(ClientProcessor *c, uint8_t *field0, uint8_t *field1, uint8_t *field2, uint8_t *field3,
                     uint8_t *field4, uint8_t *field5, uint8_t *field6) {
    MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_RTC, kSystemInstance);
    if (b == nullptr) return -1;
    uint8_t *const fields[kClockFields] = {field0, field1, field2, field3, field4, field5, field6};
    for (uint32_t k = 0; k < kClockFields; ++k) {
        if (fields[k] != nullptr) ulmot_BufferReadDTPInt8(b, k, fields[k]);
    }
    freeb(b);
    return 0;
}

int32_t ulmot_SetRTC(ClientProcessor *c, const uint8_t *field0, const uint8_t *field1, const uint8_t *field2,
                     const uint8_t *field3, const uint8_t *field4, const uint8_t *field5, const uint8_t *field6) {
    MessageBlock *b = ulmot_BufferAllocate(kSetRtcSize, kSetRtcHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_SetRTC: Message allocation failed");
        return -7;
    }
    const uint8_t *const fields[kClockFields] = {field0, field1, field2, field3, field4, field5, field6};
    for (uint32_t k = 0; k < kClockFields; ++k) {
        if (fields[k] != nullptr && ulmot_BufferWriteDTPInt8(b, k, *fields[k]) != 0) {
            ulmot_Debug("ulmot_SetRTC: Failed to set property");
            freeb(b);
            return -1;
        }
    }
    const int32_t result = SendRequest(c, "ulmot_SetRTC", ULMOT_OBJ_RTC, ULMOT_CMD_SET_PROPERTIES, kSystemInstance, b);
    if (result != 0) ulmot_Debug("ulmot_SetRTC: Failed (result %d)", result);
    return result;
}

}  // extern "C"
