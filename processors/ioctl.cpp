// IOCTL requests: the IoctlProcessor (a processor of its own) and the
// client's answer to IOCTL requests. Both answer every request of object
// type 23 with one response carrying a status (item 3) and, from the
// callback, response data (item 2).
#include <cstring>
#include <new>

#include "processors/client.h"
#include "processors/ioctl.h"
#include "session/owner.h"
#include "ulmot/items.h"

namespace ulmot::processors {

namespace session = ulmot::session;

namespace {

constexpr uint32_t kNameMax = 16;
constexpr uint8_t kIoctlCommand = 100;
constexpr uint32_t kResponseCapacity = 1000;
constexpr uint32_t kItemRequest = 1;
constexpr uint32_t kItemResponse = 2;
constexpr uint32_t kItemStatus = 3;
constexpr uint8_t kStatusNoCallback = 1;
constexpr uint8_t kStatusBadCommand = 2;
constexpr uint8_t kStatusUnreadable = 3;
constexpr uint32_t kProvidedTypes[] = {ULMOT_OBJ_IOCTL};

// The response length a callback stored, held to the capacity it was given:
// a callback that claims more would have the bytes behind its buffer sent.
uint16_t HeldResponseLength(const char *operation, uint16_t length) {
    if (length <= kResponseCapacity) return length;
    ulmot_Debug("%s: callback response length %u beyond its capacity, cut to %u", operation, length,
                kResponseCapacity);
    return kResponseCapacity;
}

int32_t SendResponse(Session *s, uint8_t source, uint8_t requester, uint8_t messageId, uint8_t command,
                     MessageBlock *b) {
    return ulmot_SendSessionMessage(s, ULMOT_MSG_RESPONSE, source, requester, messageId, ULMOT_OBJ_IOCTL,
                                    command, 0, b, nullptr, nullptr);
}

int32_t IoctlRequestHandler(void *context, const uint8_t *header, uint16_t, MessageBlock *request) {
    auto *p = static_cast<IoctlProcessor *>(context);
    if (header[ULMOT_HEADER_OBJECT_TYPE] != ULMOT_OBJ_IOCTL) {
        ulmot_Debug("ulmot_IOCTLRequestHandler: invalid object");
        freemsg(request);
        return 0;
    }
    uint8_t requestData[kResponseCapacity] = {};
    uint8_t responseData[kResponseCapacity] = {};
    uint16_t requestLength = 0;
    uint16_t responseLength = 0;
    MessageBlock *response = ulmot_BufferAllocate(kResponseCapacity + 8, 8);
    const uint8_t command = header[ULMOT_HEADER_COMMAND];
    uint8_t status;
    if (command != kIoctlCommand) {
        status = kStatusBadCommand;
    } else if (ulmot_BufferReadDTPByteArray(request, kItemRequest, 0, requestData, kResponseCapacity,
                                            &requestLength) != 0) {
        ulmot_Debug("ulmot_IOCTLRequestHandler: failed to read request data");
        status = kStatusUnreadable;
    } else if (const auto callback = p->ioctl.Get(); callback.callback == nullptr) {
        ulmot_Debug("ulmot_IOCTLRequestHandler: no request handler defined");
        status = kStatusNoCallback;
    } else {
        status = static_cast<uint8_t>(callback.callback(callback.context, requestData, requestLength,
                                                         responseData, kResponseCapacity, &responseLength));
        responseLength = HeldResponseLength("ulmot_IOCTLRequestHandler", responseLength);
        ulmot_BufferWriteDTPByteArray(response, kItemResponse, responseData, responseLength);
    }
    ulmot_BufferWriteDTPInt8(response, kItemStatus, status);
    if (SendResponse(p->session, p->processorId, header[ULMOT_HEADER_SOURCE], header[ULMOT_HEADER_TYPE_ID] & 63u,
                     command, response) != 0) {
        ulmot_Debug("ulmot_IOCTLRequestHandler: failed to send response");
    }
    freemsg(request);
    return 0;
}

int32_t IoctlStartSession(IoctlProcessor *p) {
    p->session = ulmot_CreateSession(p->transport, kClientOutstandingRequests);
    if (p->session == nullptr) {
        ulmot_Debug("ulmot_IOCTLStartSession: Failed to initiate session");
        return -1;
    }
    session::Retain(p->session);  // the processor's reference
    const char *failure = nullptr;
    uint8_t id = 0;
    if (ulmot_SessionRegisterRequestHandler(p->session, IoctlRequestHandler, p) != 0) {
        failure = "ulmot_IOCTLStartSession: Failed to register session request handler";
    } else if (ulmot_DeliveryProcessorRegistration(p->session, p->name, kProvidedTypes, 1, &id) != 0) {
        failure = "ulmot_IOCTLStartSession: Failed to register with the delivery processor";
    }
    if (failure != nullptr) {
        ulmot_Debug("%s", failure);
        ulmot_DestroySession(p->session);
        session::StopHandlers(p->session);
        session::Release(p->session);
        p->session = nullptr;
        return -1;
    }
    p->processorId = id;
    return 0;
}

}  // namespace

void ClientHandleIOCTL(ClientProcessor *c, uint8_t requester, uint8_t messageId, uint8_t command,
                       MessageBlock *request) {
    uint16_t responseLength = 0;
    uint8_t responseData[kResponseCapacity] = {};
    uint8_t status;
    const auto callback = c->ioctl.Get();
    if (command != kIoctlCommand) {
        status = kStatusBadCommand;
    } else if (callback.callback == nullptr) {
        status = kStatusNoCallback;
    } else {
        const uint8_t *data = nullptr;
        uint16_t length = 0;
        if (ulmot_BufferPeekDTPByteArray(request, kItemRequest, 0, &data, &length) != 0) length = 0;
        status = static_cast<uint8_t>(callback.callback(callback.context, data, length, responseData,
                                                         kResponseCapacity, &responseLength));
        responseLength = HeldResponseLength("ulmot_ClientHandleIOCTL", responseLength);
    }
    ClientSession s(c, "ulmot_ClientHandleIOCTL");
    if (!s) return;
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(responseLength) + 18, 8);
    ulmot_BufferWriteDTPInt8(b, kItemStatus, status);
    if (responseLength != 0) ulmot_BufferWriteDTPByteArray(b, kItemResponse, responseData, responseLength);
    if (SendResponse(s.get(), c->processorId.load(), requester, messageId, command, b) != 0) {
        ulmot_Debug("ulmot_ClientHandleIOCTL: failed to send response");
    }
}

}  // namespace ulmot::processors

using namespace ulmot::processors;

extern "C" {

int32_t ulmot_CreateIOCTLProcessor(Transport *transport, const char *name, IoctlProcessor **out) {
    auto *p = new (std::nothrow) IoctlProcessor();
    if (p == nullptr) {
        ulmot_Debug("ulmot_CreateIOCTLProcessor: Failed to allocate context");
        return -7;
    }
    p->transport = transport;
    std::strncpy(p->name, name ? name : "", kNameMax);
    p->name[kNameMax] = '\0';
    if (IoctlStartSession(p) != 0) {
        ulmot_Debug("ulmot_CreateIOCTLProcessor: Failed to start session");
        delete p;
        return -1;
    }
    if (out != nullptr) *out = p;
    return 0;
}

int32_t ulmot_DestroyIOCTLProcessor(IoctlProcessor *p) {
    if (p == nullptr) return 0;
    // The processor's reference keeps the session's memory, also after an
    // unrequested end, until its handlers have stopped: a handler left
    // running past the stop time-out still uses this processor.
    Session *s = p->session;
    ulmot_DeliveryProcessorDeregistration(s, p->processorId);
    ulmot_DestroySession(s);
    ulmot::session::StopHandlers(s);
    ulmot::session::Release(s);
    delete p;
    return 0;
}

int32_t ulmot_RegisterIOCTLProcessorCallback(IoctlProcessor *p, ulmot_IoctlCallback callback, void *context) {
    p->ioctl.Set(callback, context);
    return 0;
}

int32_t ulmot_RegisterIOCTL(ClientProcessor *c, ulmot_IoctlCallback callback, void *context, uint32_t enable) {
    c->ioctl.Set(enable ? callback : nullptr, enable ? context : nullptr);
    return 0;
}

}  // extern "C"
