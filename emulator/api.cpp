// The C interface: argument checks and the wall that keeps every C++
// exception on this side.
#include <memory>
#include <new>

#include "reader.h"
#include "families.h"
#include "tag_field.h"

namespace {

uemu::ByteView View(const uint8_t *bytes, uint32_t length) {
    return length == 0 ? uemu::ByteView{} : uemu::ByteView(bytes, length);
}

}  // namespace

extern "C" {

void uemu_ConfigInit(uemu_Config *config) {
    if (config == nullptr) return;
    *config = uemu_Config{};
    config->presetInstances[0] = 1;   // version information
    config->presetInstances[1] = 4;   // GPO lines
    config->presetInstances[2] = 4;   // GPI lines
    config->presetInstances[8] = 4;   // antennas
    config->presetInstances[12] = 1;  // radio
    config->presetInstances[15] = 1;  // timestamp
    config->presetInstances[24] = 1;  // real-time clock
    uemu::ReaderConfigDefaults(*config);
    uemu::FieldConfigDefaults(*config);
}

uemu_Reader *uemu_Create(const uemu_Config *config) {
    uemu_Config defaults;
    if (config == nullptr) {
        uemu_ConfigInit(&defaults);
        config = &defaults;
    }
    try {
        auto r = std::make_unique<uemu_Reader>(*config);
        r->reader.Start();
        return r.release();
    } catch (...) {
        return nullptr;
    }
}

void uemu_Destroy(uemu_Reader *reader) {
    // The destructor shuts the reader down: families, links, waiting callers.
    delete reader;
}

uint32_t uemu_Now(uemu_Reader *reader) { return reader == nullptr ? 0 : reader->reader.Now(); }

int32_t uemu_Attach(uemu_Reader *reader, Transport *endpoint, const uemu_LinkHooks *hooks,
                    uemu_Link **link) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] { return reader->reader.Attach(endpoint, hooks, link); });
}

int32_t uemu_Detach(uemu_Reader *reader, uemu_Link *link) {
    if (reader == nullptr || link == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] { return reader->reader.Detach(link); });
}

uemu_Link *uemu_FindLink(uemu_Reader *reader, uint8_t processorId) {
    return reader == nullptr ? nullptr : reader->reader.FindLink(processorId);
}

int32_t uemu_DropLink(uemu_Reader *reader, uemu_Link *link) {
    if (reader == nullptr || link == nullptr) return UEMU_ERR_INVALID;
    return reader->reader.CallHook(link, true);
}

int32_t uemu_RestoreLink(uemu_Reader *reader, uemu_Link *link) {
    if (reader == nullptr || link == nullptr) return UEMU_ERR_INVALID;
    return reader->reader.CallHook(link, false);
}

int32_t uemu_LinkIsServing(uemu_Reader *reader, uemu_Link *link) {
    if (reader == nullptr || link == nullptr) return UEMU_ERR_INVALID;
    return reader->reader.LinkIsServing(link);
}

int32_t uemu_SendEvent(uemu_Reader *reader, uint8_t objectType, uint8_t eventType,
                       uint8_t instance, const uint8_t *body, uint16_t length) {
    if (reader == nullptr || (body == nullptr && length > 0)) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] {
        return reader->reader.SendEvent(objectType, eventType, instance, View(body, length));
    });
}

int32_t uemu_SendEventTo(uemu_Reader *reader, uint8_t processorId, uint8_t objectType,
                         uint8_t eventType, uint8_t instance, const uint8_t *body,
                         uint16_t length) {
    if (reader == nullptr || (body == nullptr && length > 0)) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] {
        return reader->reader.SendEventTo(processorId, objectType, eventType, instance,
                                          View(body, length));
    });
}

int32_t uemu_SendIoctl(uemu_Reader *reader, uint8_t processorId, uint8_t command,
                       const uint8_t *request, uint16_t length, uint8_t *response,
                       uint32_t capacity, uint16_t *responseLength, uint8_t *status,
                       uint32_t timeoutMs) {
    if (reader == nullptr || (request == nullptr && length > 0)) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] {
        return reader->reader.SendIoctl(processorId, command, View(request, length), response,
                                        capacity, responseLength, status, timeoutMs);
    });
}

int32_t uemu_GetProcessors(uemu_Reader *reader, uemu_ProcessorInfo *processors,
                           uint32_t capacity, uint32_t *count) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] { return reader->reader.GetProcessors(processors, capacity, count); });
}

int32_t uemu_GetEventRegistrations(uemu_Reader *reader, uemu_EventRegistration *registrations,
                                   uint32_t capacity, uint32_t *count) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall(
        [&] { return reader->reader.GetEventRegistrations(registrations, capacity, count); });
}

int32_t uemu_GetInstances(uemu_Reader *reader, uint8_t objectType, uint8_t *instances,
                          uint32_t capacity, uint32_t *count) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall(
        [&] { return reader->reader.GetInstances(objectType, instances, capacity, count); });
}

int32_t uemu_GetObjectProperties(uemu_Reader *reader, uint8_t objectType, uint8_t instance,
                                 uint8_t *items, uint32_t capacity, uint32_t *length) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] {
        return reader->reader.GetObjectProperties(objectType, instance, items, capacity, length);
    });
}

}  // extern "C"
