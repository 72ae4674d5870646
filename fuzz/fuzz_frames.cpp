// Fuzz target: arbitrary inbound frames through a client (with a callback
// registered for every family, IOCTL included) and an IOCTL processor, each
// over a fake transport, while application threads wait for responses.
//
// The fake transport plays the reader: its receive hands out the frames of
// the current input, and once they are all out it answers every request the
// library sent that it has not answered yet (result 0, and processor id 7 for
// a registration), so no request ever waits for its time-out and each input
// ends in a bounded number of steps. Between inputs the transports hand out
// nothing and the library is idle.
//
// Input:
//   - a byte n (n % 4 operations), then per operation an opcode and 4
//     argument bytes: client operations that each send a request and read
//     its response, started one after the other on threads of their own;
//     the first request of each is recorded;
//   - an IOCTL response length (2 bytes) for the IOCTL callbacks;
//   - then frames (at most 48): a control byte, a 16-bit length and that many
//     bytes, handed out as one received message. Control bit 0 sends the
//     frame to the IOCTL processor instead of the client; bits 1-2 (1 to 3)
//     turn it into a response to operation 1 to 3 (message type, id and
//     destination of its first request); bit 3 writes the frame's real body
//     length into its header.
// Once every frame is out, every request answered, every operation returned
// and every queued message handled, every pool must be full again.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "processors/client.h"
#include "processors/ioctl.h"
#include "session/session_internal.h"
#include "ulmot/objects.h"

namespace {

using namespace ulmot::fuzz;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAssignedId = 7;  // the processor id every registration gets
constexpr size_t kMaxFrames = 48;   // well under the 127 messages of a session queue
constexpr size_t kMaxOperations = 3;

struct Request {
    uint8_t source, destination, id, command, objectType;
};

// A fake transport (its Transport table first, so the table's address is the
// object's) and the session behind it, whose handlers are wrapped so that
// the harness knows when every queued message has been handled.
struct Endpoint {
    Transport table{};
    std::mutex m;
    std::condition_variable cv;
    std::deque<Bytes> frames;     // this input's frames, not yet handed out
    std::deque<Request> unanswered;  // requests sent, not yet answered by the transport
    std::vector<Request> sent;    // every request of this input, in order
    bool released = true;         // false: receive hands out nothing (setting up an input)
    bool idle = false;            // receive found nothing to do and waits
    bool closing = false;         // process exit: receive never waits

    Session *session = nullptr;
    ulmot_SessionEventHandler eventHandler = nullptr;
    void *eventContext = nullptr;
    ulmot_SessionRequestHandler requestHandler = nullptr;
    void *requestContext = nullptr;
    std::atomic<uint32_t> handled{0};  // queued messages whose handler returned
    uint32_t queueMark = 0;            // the queue's write index when the input began
};

Endpoint *Of(Transport *t) { return reinterpret_cast<Endpoint *>(t); }

MessageBlock *BlockOf(const Bytes &bytes) {
    MessageBlock *b = allocb(static_cast<uint32_t>(bytes.size()), 0);
    Check(b != nullptr, "no block for a frame");
    if (!bytes.empty()) std::memcpy(b->writePtr, bytes.data(), bytes.size());
    b->writePtr += bytes.size();
    return b;
}

// An IOCTL answer carries its data (item 2) within the callback's capacity,
// and only the bytes the callback wrote (0, 1, 2, ...), whatever length it
// claimed.
void CheckIoctlResponse(const Bytes &message) {
    MessageBlock *b = BlockOf(Bytes(message.begin() + ULMOT_HEADER_SIZE, message.end()));
    const uint8_t *data = nullptr;
    uint16_t length = 0;
    if (ulmot_BufferPeekDTPByteArray(b, 2, 0, &data, &length) == 0) {
        Check(length <= 1000, "an IOCTL answer with more data than the callback's capacity");
        for (uint16_t i = 0; i < length; ++i) {
            Check(data[i] == static_cast<uint8_t>(i), "an IOCTL answer with bytes the callback did not write");
        }
    }
    freemsg(b);
}

int32_t Send(Transport *t, MessageBlock *block, uintptr_t) {
    Endpoint *e = Of(t);
    const Bytes bytes(block->readPtr, block->writePtr);
    Check(block->cont == nullptr, "the session sent a chain");
    freemsg(block);
    Check(bytes.size() >= ULMOT_HEADER_SIZE, "the session sent a message without a header");
    Check(bytes.size() - ULMOT_HEADER_SIZE ==
              static_cast<size_t>(bytes[ULMOT_HEADER_LENGTH] << 8 | bytes[ULMOT_HEADER_LENGTH + 1]),
          "a sent header's length is not its body's");
    if ((bytes[ULMOT_HEADER_TYPE_ID] >> 6) == ULMOT_MSG_RESPONSE && bytes[ULMOT_HEADER_OBJECT_TYPE] == ULMOT_OBJ_IOCTL) {
        CheckIoctlResponse(bytes);
    }
    if ((bytes[ULMOT_HEADER_TYPE_ID] >> 6) == ULMOT_MSG_REQUEST) {
        const Request r{bytes[ULMOT_HEADER_SOURCE], bytes[ULMOT_HEADER_DESTINATION],
                        static_cast<uint8_t>(bytes[ULMOT_HEADER_TYPE_ID] & 63), bytes[ULMOT_HEADER_COMMAND],
                        bytes[ULMOT_HEADER_OBJECT_TYPE]};
        std::lock_guard<std::mutex> l(e->m);
        e->unanswered.push_back(r);
        e->sent.push_back(r);
        e->cv.notify_all();
    }
    return 0;
}

Bytes AnswerTo(const Request &r) {
    return {r.source, r.destination, static_cast<uint8_t>(ULMOT_MSG_RESPONSE << 6 | r.id), r.command, r.objectType,
            kAssignedId, 0x00, 0x04, 0xF1, 0xFF, 0x00, 0x00};
}

int32_t Receive(Transport *t, MessageBlock **block, uint32_t timeoutMs) {
    Endpoint *e = Of(t);
    std::unique_lock<std::mutex> l(e->m);
    for (;;) {
        if (e->released && !e->frames.empty()) {
            Bytes f = std::move(e->frames.front());
            e->frames.pop_front();
            e->idle = false;
            l.unlock();
            *block = BlockOf(f);
            return 0;
        }
        if (e->released && !e->unanswered.empty()) {
            const Request r = e->unanswered.front();
            e->unanswered.pop_front();
            e->idle = false;
            l.unlock();
            *block = BlockOf(AnswerTo(r));
            return 0;
        }
        e->idle = true;
        e->cv.notify_all();
        if (e->closing) return ULMOT_TRANSPORT_TIMEOUT;
        if (e->cv.wait_for(l, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout) {
            return ULMOT_TRANSPORT_TIMEOUT;
        }
    }
}

int32_t Probe(Transport *) { return 0; }

void InitEndpoint(Endpoint *e, const char *name) {
    e->table.send = Send;
    e->table.receive = Receive;
    e->table.probe = Probe;
    e->table.name = name;
}

// ---- Handler wrappers: count the handled messages of each session -------------

int32_t CountingEventHandler(void *context, const uint8_t *header, uint16_t bodyLength, uint32_t timestamp,
                             MessageBlock *block) {
    auto *e = static_cast<Endpoint *>(context);
    if (e->eventHandler != nullptr) {
        e->eventHandler(e->eventContext, header, bodyLength, timestamp, block);
    } else {
        freemsg(block);
    }
    e->handled.fetch_add(1);
    return 0;
}

int32_t CountingRequestHandler(void *context, const uint8_t *header, uint16_t bodyLength, MessageBlock *block) {
    auto *e = static_cast<Endpoint *>(context);
    if (e->requestHandler != nullptr) {
        e->requestHandler(e->requestContext, header, bodyLength, block);
    } else {
        freemsg(block);
    }
    e->handled.fetch_add(1);
    return 0;
}

void WrapHandlers(Endpoint *e, Session *s) {
    e->session = s;
    const ulmot::session::EventHandler event = s->eventHandler.Load();
    const ulmot::session::RequestHandler request = s->requestHandler.Load();
    e->eventHandler = event.handler;
    e->eventContext = event.context;
    e->requestHandler = request.handler;
    e->requestContext = request.context;
    ulmot_SessionRegisterEventHandler(s, CountingEventHandler, e);
    ulmot_SessionRegisterRequestHandler(s, CountingRequestHandler, e);
}

// ---- Callbacks of every family: each reads every byte it is given -------------

std::atomic<uint32_t> g_sink{0};
std::atomic<uint16_t> g_ioctlResponseLength{0};

void Sink(uint32_t v) { g_sink.fetch_add(v, std::memory_order_relaxed); }

void OnInventory0(void *, uint32_t t, uint8_t i) { Sink(t + i); }
void OnInventory1(void *, uint32_t t, uint8_t i, MessageBlock *event) {
    uint32_t count = 0;
    Check(event != nullptr, "inventory event 1 without its block");
    Sink(Touch(event->readPtr, static_cast<size_t>(event->writePtr - event->readPtr)));
    Sink(t + i + (ulmot_BufferReadDTPInt32(event, 1, &count) == 0 ? count : 0));
}
void OnTagReport(void *, uint32_t t, uint8_t i, const TagReport *r) {
    Sink(t + i + r->format);
    if (r->data != nullptr) Sink(Touch(r->data, r->dataLength + (r->format == 517 ? 2u : 0u)));
    if (r->item22Data != nullptr) Sink(Touch(r->item22Data, r->item22Length));
}
void OnScheduleStart(void *, uint32_t t, uint32_t id) { Sink(t + id); }
void OnScheduleStop(void *, uint32_t t, uint32_t id, uint8_t reason) { Sink(t + id + reason); }
void OnPairActivation(void *, uint32_t t, uint8_t i, const AntennaPairActivation *a) {
    Sink(t + i + (a ? a->item0 + a->item1 + a->item2 : 0u));
}
void OnVswr(void *, uint32_t t, uint8_t i, uint8_t s) { Sink(t + i + s); }
void OnAccessEvent(void *, uint32_t t, uint8_t i) { Sink(t + i); }
void OnAccessComplete(void *, uint32_t t, uint8_t i, uint8_t s, uint8_t c) { Sink(t + i + s + c); }
void OnAccessDataComplete(void *, uint32_t t, uint8_t i, uint8_t s, uint8_t c, uint16_t length, const uint8_t *data) {
    Check(length == 0 || data != nullptr, "access data: a length without data");
    if (data != nullptr) Sink(Touch(data, length));
    Sink(t + i + s + c);
}
void OnGpi(void *, uint32_t t, uint8_t i, uint8_t s) { Sink(t + i + s); }
void OnGpo(void *, uint32_t t, uint8_t i, uint8_t s) { Sink(t + i + s); }
void OnChannel(void *, uint32_t t, uint8_t c) { Sink(t + c); }
void OnCycle(void *, uint32_t t, uint32_t left) { Sink(t + left); }
void OnRadioState(void *, uint32_t t, uint8_t s) { Sink(t + s); }
void OnTemperature(void *, uint32_t t, uint16_t v, uint8_t s) { Sink(t + v + s); }
void OnResetDone(void *, uint32_t t, uint8_t i) { Sink(t + i); }
void OnSurvey(void *, uint32_t t, uint8_t i) { Sink(t + i); }
void OnMeasurement(void *, uint32_t t, uint8_t i, uint32_t ch, int32_t rssi, int32_t v4, uint16_t v5, uint8_t oi) {
    Sink(t + i + ch + static_cast<uint32_t>(rssi) + static_cast<uint32_t>(v4) + v5 + oi);
}
void OnAlarm(void *, uint32_t t, uint8_t i, uint8_t pair) { Sink(t + i + pair); }
void OnTextLog(void *, uint32_t t, const char *text) {
    Check(text != nullptr, "a log message without text");
    const size_t n = std::strlen(text);
    Check(n <= ULMOT_TEXT_LOG_MAX, "a log message longer than 128 bytes");
    Sink(t + Touch(reinterpret_cast<const uint8_t *>(text), n + 1));
}
void OnProcessorAdded(void *, uint32_t t, uint8_t id, const uint32_t *types, uint32_t count) {
    Check(count >= 1 && count <= ULMOT_ATTACH_ENTRIES, "processor added: a count outside 1 to 25");
    for (uint32_t i = 0; i < count; ++i) Sink(types[i]);
    Sink(t + id);
}
void OnProcessorRemoved(void *, uint32_t t, uint8_t id) { Sink(t + id); }
void OnAttachedRemoved(void *, uint32_t t, uint32_t type, uint8_t id) {
    Check(type < ULMOT_ATTACH_ENTRIES, "attached processor removed: an object type outside the table");
    Sink(t + type + id);
}
int32_t OnIoctl(void *, const uint8_t *request, uint16_t length, uint8_t *response, uint32_t capacity,
                uint16_t *responseLength) {
    Check(length == 0 || request != nullptr, "an IOCTL request length without data");
    Check(*responseLength == 0, "an IOCTL response length not 0 on entry");
    if (request != nullptr) Sink(Touch(request, length));
    // The top bit of the input's length makes this a hostile callback: it
    // writes what fits but claims the whole 15-bit length, up to 32,767
    // bytes; the library must send at most `capacity` bytes.
    const uint16_t wanted = g_ioctlResponseLength.load();
    const uint16_t claimed = static_cast<uint16_t>(wanted & 0x7FFF);
    const auto n = static_cast<uint16_t>((wanted & 0x8000) != 0 ? std::min<uint32_t>(claimed, capacity)
                                                                : wanted % (capacity + 1));
    for (uint16_t i = 0; i < n; ++i) response[i] = static_cast<uint8_t>(i);  // capacity is the buffer's size
    *responseLength = (wanted & 0x8000) != 0 ? claimed : n;
    return length;
}

// ---- The library under test ------------------------------------------------------

Endpoint *g_client_end;
Endpoint *g_ioctl_end;
ClientProcessor *g_client;
IoctlProcessor *g_ioctl;

// The attach table every input starts from: type T at processor 0x20 + T.
void ResetClientState() {
    for (uint32_t t = 0; t < ULMOT_ATTACH_ENTRIES; ++t) {
        auto &e = g_client->attachTable[t];
        e.processorId.store(static_cast<uint8_t>(0x20 + t));
        e.notifyOnRemoval.store(t % 2);
        e.attached.store(1);
    }
    // Values fetched once per client are fetched again by every input.
    auto &r = g_client->families;
    std::destroy_at(&r.gen2ParmSetCount);
    std::construct_at(&r.gen2ParmSetCount);
    for (auto &set : r.gen2ParmSets) {
        std::destroy_at(&set);
        std::construct_at(&set);
    }
    std::destroy_at(&r.versionInfo);
    std::construct_at(&r.versionInfo);
}

void RegisterEverything() {
    ClientProcessor *c = g_client;
    ulmot_RegisterInventoryEvents(c, OnInventory0, OnInventory1, OnTagReport, nullptr);
    ulmot_RegisterScheduleEvents(c, OnScheduleStart, OnScheduleStop, nullptr);
    ulmot_RegisterTxAntennaVSWRStatus(c, OnVswr, nullptr, 1);
    ulmot_RegisterAntennaPairActivation(c, OnPairActivation, nullptr, 1);
    ulmot_EnableAntennaPairEventExtraInfo(c, 1);
    ulmot_RegisterAccessEvents(c, OnAccessEvent, OnAccessComplete, OnAccessDataComplete, OnAccessEvent, OnAccessEvent,
                               nullptr);
    ulmot_RegisterGPIEvent(c, 1, OnGpi, nullptr, 1);
    ulmot_RegisterGPOEvent(c, 1, OnGpo, nullptr, 1);
    ulmot_RegisterRadioEvents(c, OnChannel, OnCycle, OnRadioState, OnTemperature, nullptr);
    ulmot_RegisterResetDone(c, OnResetDone, nullptr, 1);
    ulmot_RegisterRFSurveyEvents(c, OnSurvey, OnSurvey, OnMeasurement, nullptr);
    ulmot_RegisterNxpAlarmEvent(c, OnAlarm, nullptr, 1);
    ulmot_RegisterTextLogMessage(c, OnTextLog, nullptr, 1);
    ulmot_RegisterProcessorAddedEvent(c, OnProcessorAdded, nullptr, 1);
    ulmot_RegisterProcessorRemovedEvent(c, OnProcessorRemoved, nullptr, 1);
    ulmot_RegisterAttachedProcessorRemovedEvent(c, OnAttachedRemoved, nullptr, 1);
    ulmot_RegisterIOCTL(c, OnIoctl, nullptr, 1);
    ulmot_RegisterIOCTLProcessorCallback(g_ioctl, OnIoctl, nullptr);
}

// Client operations that send a request and read its response; `a` holds
// the four argument bytes.
void RunOperation(uint8_t op, const uint8_t a[4]) {
    ClientProcessor *c = g_client;
    const uint8_t instance = a[0];
    const uint32_t item = a[1];
    switch (op % 24) {
        case 0: { uint8_t v; ulmot_GetPropertyInt8(c, a[2] % 30, instance, item, &v); Sink(v); break; }
        case 1: { uint16_t v; ulmot_GetPropertyInt16(c, a[2] % 30, instance, item, &v); Sink(v); break; }
        case 2: {
            char text[64];
            if (ulmot_GetPropertyString(c, a[2] % 30, instance, item, text, static_cast<uint8_t>(a[3] % 65)) == 0) {
                Check(std::strlen(text) < a[3] % 65u, "a property string overran its buffer");
            }
            break;
        }
        case 3: {
            ulmot::processors::ClientSession s(c, "fuzz");
            uint8_t count = 0;
            if (s) ulmot_GetInstanceCount(s.get(), kAssignedId, 0x25, a[2] % 30, a[3] & 1, &count);
            Sink(count);
            break;
        }
        case 4: ulmot_AttachDefaultObjectProcessor(c, a[2] % 30, a[3] & 1, a[3] >> 1 & 1); break;
        case 5: ulmot_AttachProcessorByName(c, "reader", a[2] % 30, a[3] & 1); break;
        case 6: {
            uint8_t i5, i9;
            uint16_t i6, i7, i8, i10, i11;
            ulmot_GetInventoryStats(c, instance, &i5, &i6, &i7, &i8, &i9, &i10, &i11);
            break;
        }
        case 7: { uint8_t n; ulmot_GetAntennaCount(c, &n); break; }
        case 8: {
            uint16_t mx, mn, df, length = 0xEEEE;
            uint8_t list[16];
            if (ulmot_GetAntennaAttributes(c, instance, &mx, &mn, &df, list, a[2] % 17, &length) == 0) {
                Check(length <= a[2] % 17u, "an antenna receive list overran its buffer");
            }
            break;
        }
        case 9: { uint16_t p; ulmot_GetAntennaPower(c, instance, &p); break; }
        case 10: {
            uint8_t v1, v2, v3, v4, v5, v6, v11, v10;
            uint16_t v8, v9, v12;
            ulmot_GetGen2ProtocolSpecification(c, instance, &v1, &v2, &v3, &v4, &v5, &v6, &v11, &v8, &v9, &v10, &v12);
            break;
        }
        case 11: { uint8_t n; ulmot_GetGen2ParmSetCount(c, &n); break; }
        case 12: { Gen2ParmSet set; ulmot_GetGen2ParmSet(c, a[2] % 21, &set); break; }
        case 13: { uint8_t n; ulmot_GetGPICount(c, &n); break; }
        case 14: { uint8_t s; ulmot_ReadGPI(c, instance, &s); ulmot_GetGPIThreshold(c, instance, &s); break; }
        case 15: { RadioProperties p; ulmot_GetRadioProperties(c, &p); Check(p.property13Length <= 100 && p.property9Length <= 100 && p.property8Count <= 100, "radio properties overran a field"); break; }
        case 16: { uint16_t code; char text[80]; ulmot_GetRadioSupportedCountryCode(c, a[2], &code, text); break; }
        case 17: { uint32_t f, s; ulmot_GetTimestamp(c, &f, &s); break; }
        case 18: {
            char text[ULMOT_VERSION_STRING_SIZE];
            const uint32_t length = a[3] % (ULMOT_VERSION_STRING_SIZE + 1);
            if (ulmot_GetVersion(c, a[2] % 11, text, length) == 0) {
                Check(std::memchr(text, 0, length) != nullptr, "a version string is not terminated");
            }
            break;
        }
        case 19: { uint16_t m; ulmot_GetRadioModel(c, &m); break; }
        case 20: { uint8_t f[7]; ulmot_GetRTC(c, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]); break; }
        case 21: {
            uint16_t status, length = static_cast<uint16_t>(a[3] % 33);
            uint8_t response[32];
            const uint16_t capacity = length;
            ulmot_CTIRequest(c, instance, a[2], a, 4, &status, response, &length);
            (void)capacity;
            break;
        }
        case 22: { uint8_t s; ulmot_StopScheduleSpecification(c, instance, &s); break; }
        case 23: { uint8_t id = 0; ulmot_AddAntennaPair(c, &id, a[2], a[3], 100); break; }
    }
}

// Whether the operation reads a value that the client fetches once and
// keeps (Gen2 parameter sets and their count, the version information).
bool FetchesOnce(uint8_t op) {
    const uint8_t o = op % 24;
    return o == 11 || o == 12 || o == 18 || o == 19;
}

// Waits until the endpoint has handed out every frame and answer, its
// receive thread waits for more and every message it queued was handled.
// False while anything is still under way.
bool Quiet(Endpoint *e) {
    uint32_t queued;
    {
        std::lock_guard<std::mutex> l(e->m);
        if (!e->frames.empty() || !e->unanswered.empty() || !e->idle) return false;
        // The receive thread waits in receive, so it has queued all it got.
        const uint32_t write = e->session->queueWrite.load();
        queued = (write + ulmot::session::kQueueEntries - e->queueMark) % ulmot::session::kQueueEntries;
    }
    return e->handled.load() == queued;
}

void Release(Endpoint *e, bool released) {
    std::lock_guard<std::mutex> l(e->m);
    e->released = released;
    e->idle = false;
    e->cv.notify_all();
}

void Shutdown() {
    for (Endpoint *e : {g_client_end, g_ioctl_end}) {
        std::lock_guard<std::mutex> l(e->m);
        e->released = true;
        e->closing = true;
        e->cv.notify_all();
    }
    ulmot_DestroyClientProcessor(g_client);
    ulmot_DestroyIOCTLProcessor(g_ioctl);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    streams_buf_init();
    g_client_end = new Endpoint();
    g_ioctl_end = new Endpoint();
    InitEndpoint(g_client_end, "fuzz-client");
    InitEndpoint(g_ioctl_end, "fuzz-ioctl");
    Check(ulmot_CreateClientProcessor(&g_client_end->table, "fuzz", &g_client) == 0, "no client");
    Check(ulmot_CreateIOCTLProcessor(&g_ioctl_end->table, "fuzz-ioctl", &g_ioctl) == 0, "no IOCTL processor");
    RegisterEverything();
    WrapHandlers(g_client_end, ulmot_GetClientSession(g_client));
    WrapHandlers(g_ioctl_end, g_ioctl->session);
    std::atexit(Shutdown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    Endpoint *ends[2] = {g_client_end, g_ioctl_end};
    for (Endpoint *e : ends) {
        std::lock_guard<std::mutex> l(e->m);
        e->sent.clear();
        e->released = false;
        e->idle = false;
        e->queueMark = e->session->queueWrite.load();
        e->handled.store(0);
    }
    ResetClientState();

    // The operations, one after the other, each until its first request is out.
    struct Operation {
        std::thread thread;
        std::atomic<bool> done{false};
        bool hasRequest = false;
        Request first{};
    };
    const size_t operationCount = in.U8() % (kMaxOperations + 1);
    std::unique_ptr<Operation[]> ops(new Operation[kMaxOperations]);
    bool fetchStarted = false;
    for (size_t k = 0; k < operationCount; ++k) {
        uint8_t op = in.U8();
        // A second use of a value fetched once would wait for the first
        // one's fetch, whose request is not answered until every operation
        // has started: one such operation per input.
        if (FetchesOnce(op)) {
            if (fetchStarted) op = 0;
            fetchStarted = true;
        }
        uint8_t args[4] = {in.U8(), in.U8(), in.U8(), in.U8()};
        Operation &o = ops[k];
        size_t before;
        {
            std::lock_guard<std::mutex> l(g_client_end->m);
            before = g_client_end->sent.size();
        }
        o.thread = std::thread([&o, op, args] {
            RunOperation(op, args);
            o.done = true;
            std::lock_guard<std::mutex> l(g_client_end->m);
            g_client_end->cv.notify_all();
        });
        std::unique_lock<std::mutex> l(g_client_end->m);
        g_client_end->cv.wait(l, [&] { return o.done.load() || g_client_end->sent.size() > before; });
        if (g_client_end->sent.size() > before) {
            o.hasRequest = true;
            o.first = g_client_end->sent[before];
        }
    }
    g_ioctlResponseLength = in.U16();

    // The frames.
    for (size_t n = 0; n < kMaxFrames && in.left() > 0; ++n) {
        const uint8_t control = in.U8();
        size_t length;
        const uint8_t *bytes = in.Take(in.U16() % (ULMOT_MAX_BLOCK_SIZE + 1), &length);
        Bytes f(bytes, bytes + length);
        const size_t target = (control >> 1) & 3;
        if (f.size() >= ULMOT_HEADER_SIZE) {
            if (target != 0 && target <= operationCount && ops[target - 1].hasRequest) {
                const Request &r = ops[target - 1].first;
                f[ULMOT_HEADER_DESTINATION] = r.source;
                f[ULMOT_HEADER_TYPE_ID] = static_cast<uint8_t>(ULMOT_MSG_RESPONSE << 6 | r.id);
            }
            if (control & 8) {
                const size_t body = f.size() - ULMOT_HEADER_SIZE;
                f[ULMOT_HEADER_LENGTH] = static_cast<uint8_t>(body >> 8);
                f[ULMOT_HEADER_LENGTH + 1] = static_cast<uint8_t>(body);
            }
        }
        Endpoint *e = ends[control & 1];
        std::lock_guard<std::mutex> l(e->m);
        e->frames.push_back(std::move(f));
    }

    for (Endpoint *e : ends) Release(e, true);
    for (size_t k = 0; k < operationCount; ++k) ops[k].thread.join();
    // Handlers may still send (IOCTL responses, requests): wait until both
    // sides are quiet at once.
    for (;;) {
        if (Quiet(g_client_end) && Quiet(g_ioctl_end) && Quiet(g_client_end)) break;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    CheckPoolsFull("after the input");
    return 0;
}
