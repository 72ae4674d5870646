// The reader's life, its links and their threads, the routing of every
// received message, the Outbox, and what the C interface asks of the reader
// (events, IOCTL requests, queries).
#include "reader.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace uemu {

using std::chrono::milliseconds;

std::string Format(const char *format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

const Bytes &ReaderProcessorTypes() {
    // Every reader object type but the GPIO lines (the "io" processor's), the
    // delivery processor, the client and IOCTL types (clients provide them)
    // and 20 and 21, which name no object.
    static const Bytes types = {0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 17, 18, 19, 22, 24};
    return types;
}

const Bytes &IoProcessorTypes() {
    static const Bytes types = {1, 2};
    return types;
}

Reader::Reader(const uemu_Config &config) : config_(config) {
    AddInternalProcessor(UEMU_READER_PROCESSOR_ID, UEMU_READER_PROCESSOR_NAME,
                         ReaderProcessorTypes());
    AddInternalProcessor(UEMU_IO_PROCESSOR_ID, UEMU_IO_PROCESSOR_NAME, IoProcessorTypes());
    for (const auto &[id, processor] : processors_) {
        for (uint8_t type : processor.types) {
            auto slot = std::make_unique<TypeSlot>(id, MakeFamily(type), type);
            slot->family->Populate(slot->table, config_.presetInstances[type]);
            slots_[type] = std::move(slot);
        }
    }
}

Reader::~Reader() { Shutdown(); }

void Reader::Start() {
    for (auto &[type, slot] : slots_) slot->family->Start(*this);
}

void Reader::Shutdown() {
    // Families first, so that no family thread raises events while the links go.
    for (auto &[type, slot] : slots_) slot->family->Stop();
    std::vector<uemu_Link *> links;
    {
        std::lock_guard<std::mutex> guard(mu_);
        closing_ = true;
        for (auto &l : links_) links.push_back(l.get());
    }
    for (uemu_Link *l : links) Detach(l);
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [&] { return callers_ == 0; });
}

uint32_t Reader::Now() const {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    return static_cast<uint32_t>(std::chrono::duration_cast<milliseconds>(elapsed).count());
}

void Reader::Log(std::string line) {
    if (config_.log != nullptr) config_.log(config_.logContext, line.c_str());
}

TypeSlot *Reader::Slot(uint8_t objectType) {
    auto it = slots_.find(objectType);
    return it == slots_.end() ? nullptr : it->second.get();
}

bool Reader::IsLink(const uemu_Link *link) const {
    return std::any_of(links_.begin(), links_.end(),
                       [&](const std::unique_ptr<uemu_Link> &l) { return l.get() == link; });
}

bool Reader::IsClientOn(uint8_t processor, const uemu_Link *link) const {
    auto it = processors_.find(processor);
    return it != processors_.end() && it->second.link != nullptr && it->second.link == link;
}

// ---- Outbox -------------------------------------------------------------------

bool Reader::Queue(Outbox &out, std::vector<Outbox::Entry> Outbox::*lane, uemu_Link *link, Bytes frame) {
    if (!link->attached) return false;
    ++link->inflight;
    Stamp(out);
    Outbox::Entry e;
    e.link = link;
    e.frame = std::move(frame);
    (out.*lane).push_back(std::move(e));
    return true;
}

void Reader::Stamp(Outbox &out) {
    out.last = ++stamped_;
    if (out.first == 0) out.first = out.last;
}

int Reader::Flush(Outbox &out) {
    // An Outbox's places are consecutive unless its filler waited (released
    // the lock) between two entries; waiting only for the places before its
    // first keeps such an Outbox from waiting for one that waits for it.
    std::unique_lock<std::mutex> turn(orderMu_, std::defer_lock);
    if (out.last != 0) {
        turn.lock();
        orderTurn_.wait(turn, [&] { return sentUpTo_ + 1 >= out.first; });
    }
    int failed = 0;
    auto send = [&](Outbox::Entry &e) {
        MessageBlock *b = e.block != nullptr ? e.block : ToBlock(e.frame);
        e.block = nullptr;
        if (b == nullptr) {
            ++failed;
            out.lines.push_back(Format("uemu(%s): no block for a %zu-byte frame", e.link->name.c_str(),
                                       e.frame.size()));
            return;
        }
        if (e.link->transport->send(e.link->transport, b, 0) != 0) {
            ++failed;
            out.lines.push_back(Format("uemu(%s): send failed", e.link->name.c_str()));
        }
    };
    for (auto &e : out.responses) send(e);
    for (auto &e : out.events) send(e);
    if (turn.owns_lock()) {
        sentUpTo_ = std::max(sentUpTo_, out.last);
        turn.unlock();
        orderTurn_.notify_all();
    }
    if (!out.responses.empty() || !out.events.empty()) {
        std::lock_guard<std::mutex> guard(mu_);
        for (auto &e : out.responses) --e.link->inflight;
        for (auto &e : out.events) --e.link->inflight;
        changed_.notify_all();
    }
    out.responses.clear();
    out.events.clear();
    out.first = out.last = 0;
    for (auto &line : out.lines) Log(std::move(line));
    out.lines.clear();
    return failed;
}

void Reader::WaitIdle(std::unique_lock<std::mutex> &lock, uemu_Link *link) {
    changed_.wait(lock, [&] { return link->inflight == 0; });
}

// ---- Links --------------------------------------------------------------------

int32_t Reader::Attach(Transport *endpoint, const uemu_LinkHooks *hooks, uemu_Link **out) {
    if (endpoint == nullptr || endpoint->send == nullptr || endpoint->receive == nullptr ||
        endpoint->probe == nullptr) {
        return UEMU_ERR_INVALID;
    }
    auto link = std::make_unique<uemu_Link>();
    link->reader = this;
    link->transport = endpoint;
    if (hooks != nullptr) link->hooks = *hooks;
    link->name = endpoint->name != nullptr ? endpoint->name : "link";
    uemu_Link *raw = link.get();
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (closing_) return UEMU_ERR_INVALID;
        // The thread waits for the lock before it looks at its link.
        try {
            raw->thread = std::thread(&Reader::Serve, this, raw);
        } catch (const std::system_error &) {
            return UEMU_ERR_NO_MEMORY;
        }
        links_.push_back(std::move(link));
    }
    if (out != nullptr) *out = raw;
    Log(Format("uemu(%s): attached", raw->name.c_str()));
    return UEMU_OK;
}

int32_t Reader::Detach(uemu_Link *link) {
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (!IsLink(link) || !link->attached) return UEMU_ERR_NOT_FOUND;
        // The link's own thread would wait for itself.
        if (link->thread.get_id() == std::this_thread::get_id()) return UEMU_ERR_INVALID;
        link->attached = false;
        link->stop = true;
        changed_.notify_all();
    }
    link->thread.join();
    Outbox out;
    std::unique_ptr<uemu_Link> owned;
    {
        std::unique_lock<std::mutex> lock(mu_);
        WaitIdle(lock, link);
        std::vector<uint8_t> ids;
        for (const auto &[id, p] : processors_) {
            if (p.link == link) ids.push_back(id);
        }
        for (uint8_t id : ids) RemoveProcessor(id, out);
        for (auto &[id, pending] : link->pending) pending->state = PendingRequest::State::kLost;
        link->pending.clear();
        changed_.notify_all();
        auto it = std::find_if(links_.begin(), links_.end(),
                               [&](const std::unique_ptr<uemu_Link> &l) { return l.get() == link; });
        owned = std::move(*it);
        links_.erase(it);
    }
    out.lines.push_back(Format("uemu(%s): detached", owned->name.c_str()));
    Flush(out);
    return UEMU_OK;
}

uemu_Link *Reader::FindLink(uint8_t processorId) {
    std::lock_guard<std::mutex> guard(mu_);
    auto it = processors_.find(processorId);
    if (it == processors_.end() || it->second.link == nullptr || !it->second.link->attached) {
        return nullptr;
    }
    return it->second.link;
}

int32_t Reader::CallHook(uemu_Link *link, bool drop) {
    int32_t (*hook)(void *) = nullptr;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (!IsLink(link) || !link->attached) return UEMU_ERR_NOT_FOUND;
        hook = drop ? link->hooks.drop : link->hooks.restore;
        if (hook == nullptr) return UEMU_ERR_INVALID;
        context = link->hooks.context;
        ++link->inflight;
    }
    const int32_t r = hook(context);
    {
        std::lock_guard<std::mutex> guard(mu_);
        --link->inflight;
        changed_.notify_all();
    }
    return r == 0 ? UEMU_OK : UEMU_ERR_FAILED;
}

int32_t Reader::LinkIsServing(uemu_Link *link) {
    std::lock_guard<std::mutex> guard(mu_);
    if (!IsLink(link) || !link->attached) return UEMU_ERR_NOT_FOUND;
    return link->serving ? 1 : 0;
}

void Reader::Serve(uemu_Link *link) {
    Transport *t = link->transport;
    uint32_t failures = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            if (link->stop) return;
            if (!link->serving) {
                changed_.wait_for(lock, milliseconds(kProbeIntervalMs), [&] { return link->stop; });
                if (link->stop) return;
                lock.unlock();
                if (t->probe(t) != 0) continue;
                lock.lock();
                link->serving = true;
                lock.unlock();
                failures = 0;
                Log(Format("uemu(%s): link is back, serving", link->name.c_str()));
                continue;
            }
        }
        MessageBlock *block = nullptr;
        const int32_t r = t->receive(t, &block, kReceiveTimeoutMs);
        if (r == ULMOT_OK) {
            failures = 0;
            Route(link, block);
        } else if (r == ULMOT_TRANSPORT_TIMEOUT) {
            continue;
        } else if (r == ULMOT_TRANSPORT_TERMINATED) {
            LinkLost(link, "terminated");
        } else if (++failures >= kMaxReceiveFailures) {
            failures = 0;
            LinkLost(link, "50 receive failures in a row");
        } else {
            Log(Format("uemu(%s): receive failure (%d)", link->name.c_str(), r));
            std::unique_lock<std::mutex> lock(mu_);
            changed_.wait_for(lock, milliseconds(kFailurePauseMs), [&] { return link->stop; });
        }
    }
}

void Reader::LinkLost(uemu_Link *link, const char *why) {
    Outbox out;
    std::string ids;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (link->stop) return;
        std::vector<uint8_t> gone;
        for (const auto &[id, p] : processors_) {
            if (p.link == link) gone.push_back(id);
        }
        for (uint8_t id : gone) {
            RemoveProcessor(id, out);
            ids += ' ';
            ids += std::to_string(id);
        }
        for (auto &[id, pending] : link->pending) pending->state = PendingRequest::State::kLost;
        link->pending.clear();
        link->serving = false;
        changed_.notify_all();
    }
    out.lines.push_back(Format("uemu(%s): link %s; deregistered processors:%s", link->name.c_str(),
                               why, ids.empty() ? " none" : ids.c_str()));
    Flush(out);
}

// ---- Routing ------------------------------------------------------------------

void Reader::Route(uemu_Link *link, MessageBlock *block) {
    const auto available = static_cast<uint32_t>(block->writePtr - block->readPtr);
    if (available < kHeaderSize) {
        Log(Format("uemu(%s): message of %u bytes has no header", link->name.c_str(), available));
        freemsg(block);
        return;
    }
    const Header h = Header::Decode(block->readPtr);
    // Bytes past the declared body are dropped; a short body is taken as it is.
    if (available - kHeaderSize > h.length) block->writePtr = block->readPtr + kHeaderSize + h.length;
    const ByteView body(block->readPtr + kHeaderSize,
                        static_cast<size_t>(block->writePtr - block->readPtr) - kHeaderSize);
    Outbox out;
    {
        std::lock_guard<std::mutex> guard(mu_);
        switch (h.type) {
        case ULMOT_MSG_REQUEST:
            HandleRequest(link, h, body, block, out);
            break;
        case ULMOT_MSG_RESPONSE:
            HandleResponse(link, h, body, block, out);
            break;
        case ULMOT_MSG_EVENT:
            Forward(h, block, out);
            if (block != nullptr) {
                out.lines.push_back(Format("uemu(%s): event for processor %u dropped",
                                           link->name.c_str(), h.destination));
            }
            break;
        default:
            out.lines.push_back(
                Format("uemu(%s): message type %u dropped", link->name.c_str(), h.type));
            break;
        }
    }
    Flush(out);
    // Views into the block were used until here; a forwarded block is gone.
    if (block != nullptr) freemsg(block);
}

void Reader::HandleRequest(uemu_Link *link, const Header &h, ByteView body, MessageBlock *&block,
                           Outbox &out) {
    if (h.destination == UEMU_DELIVERY_PROCESSOR_ID) {
        DeliveryRequest(link, h, body, out);
        return;
    }
    auto it = processors_.find(h.destination);
    if (it != processors_.end() && it->second.link == nullptr) {
        ObjectRequest(link, h, body, out);
        return;
    }
    // A request for another client (an IOCTL between processors) travels on.
    Forward(h, block, out);
    if (block != nullptr) {
        Reply reply(h.instance);
        Respond(link, h, UEMU_RESULT_NO_SUCH_PROCESSOR, reply, out);
    }
}

void Reader::HandleResponse(uemu_Link *link, const Header &h, ByteView body, MessageBlock *&block,
                            Outbox &out) {
    auto it = processors_.find(h.destination);
    const bool forReader = h.destination == UEMU_DELIVERY_PROCESSOR_ID ||
                           (it != processors_.end() && it->second.link == nullptr);
    if (!forReader) {
        Forward(h, block, out);
        if (block != nullptr) {
            out.lines.push_back(Format("uemu(%s): response for processor %u dropped",
                                       link->name.c_str(), h.destination));
        }
        return;
    }
    auto p = link->pending.find(h.id);
    if (p == link->pending.end()) {
        out.lines.push_back(Format("uemu(%s): no request waits for response id %u",
                                   link->name.c_str(), h.id));
        return;
    }
    p->second->body.assign(body.begin(), body.end());
    p->second->state = PendingRequest::State::kAnswered;
    link->pending.erase(p);
    changed_.notify_all();
}

void Reader::Forward(const Header &h, MessageBlock *&block, Outbox &out) {
    auto it = processors_.find(h.destination);
    if (it == processors_.end() || it->second.link == nullptr || !it->second.link->attached) return;
    uemu_Link *to = it->second.link;
    ++to->inflight;
    Stamp(out);
    Outbox::Entry e;
    e.link = to;
    e.block = block;
    out.responses.push_back(std::move(e));
    block = nullptr;
}

void Reader::Respond(uemu_Link *link, const Header &request, int16_t result, Reply &reply,
                     Outbox &out) {
    Bytes body;
    ItemWriter w(body);
    w.Int16(kResultItem, static_cast<uint16_t>(result));
    w.Raw(reply.body());
    if (body.size() > kMaxBody) {
        out.lines.push_back(Format("uemu(%s): response to command %u of type %u exceeds a block",
                                   link->name.c_str(), request.command, request.objectType));
        body.clear();
        ItemWriter(body).Int16(kResultItem, static_cast<uint16_t>(UEMU_RESULT_EXHAUSTED));
    }
    Header h;
    h.destination = request.source;
    h.source = request.destination;
    h.type = ULMOT_MSG_RESPONSE;
    h.id = request.id;
    h.command = request.command;
    h.objectType = request.objectType;
    h.instance = reply.instance();
    Queue(out, &Outbox::responses, link, MakeFrame(h, body));
}

// ---- Events, IOCTL requests, family services ---------------------------------

int32_t Reader::SendEvent(uint8_t objectType, uint8_t eventType, uint8_t instance, ByteView body) {
    if (eventType > 31 || body.size() > kMaxBody - kTimestampItemSize) return UEMU_ERR_INVALID;
    Outbox out;
    int sent = 0;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (objectType != UEMU_DELIVERY_OBJECT_TYPE && Slot(objectType) == nullptr) {
            return UEMU_ERR_INVALID;
        }
        sent = RaiseLocked(objectType, eventType, instance, body, std::nullopt, out);
    }
    return sent - Flush(out);
}

int32_t Reader::SendEventTo(uint8_t processorId, uint8_t objectType, uint8_t eventType,
                            uint8_t instance, ByteView body) {
    if (eventType > 31 || body.size() > kMaxBody - kTimestampItemSize) return UEMU_ERR_INVALID;
    Outbox out;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (RaiseLocked(objectType, eventType, instance, body, processorId, out) == 0) {
            return UEMU_ERR_NOT_FOUND;
        }
    }
    return Flush(out) == 0 ? UEMU_OK : UEMU_ERR_FAILED;
}

int32_t Reader::RaiseEvent(uint8_t objectType, uint8_t eventType, uint8_t instance,
                           ByteView body) {
    return SendEvent(objectType, eventType, instance, body);
}

std::shared_ptr<void> Reader::Shared(const std::string &key,
                                     const std::function<std::shared_ptr<void>()> &make) {
    std::lock_guard<std::mutex> guard(sharedMu_);
    std::shared_ptr<void> &kept = shared_[key];
    if (!kept) kept = make();
    return kept;
}

void Reader::WithStore(const std::function<void(Context &)> &work) {
    Outbox out;
    {
        std::lock_guard<std::mutex> guard(mu_);
        HookContext context(*this, out);
        work(context);
    }
    Flush(out);
}

int32_t Reader::SendIoctl(uint8_t processorId, uint8_t command, ByteView request,
                          uint8_t *response, uint32_t capacity, uint16_t *responseLength,
                          uint8_t *status, uint32_t timeoutMs) {
    if (responseLength == nullptr || status == nullptr || (capacity > 0 && response == nullptr) ||
        request.size() > kMaxIoctlRequest) {
        return UEMU_ERR_INVALID;
    }
    PendingRequest pending;
    uemu_Link *link = nullptr;
    Outbox out;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (closing_) return UEMU_ERR_LINK_LOST;
        auto it = processors_.find(processorId);
        if (it == processors_.end() || it->second.link == nullptr) return UEMU_ERR_NOT_FOUND;
        link = it->second.link;
        if (!link->attached) return UEMU_ERR_LINK_LOST;
        // Ids go round 1 to 63, so a late answer to a timed-out request is
        // not taken for the answer of the next one.
        for (uint8_t n = 0; n < kMaxRequestId && pending.id == 0; ++n) {
            const uint8_t candidate = link->nextRequestId;
            link->nextRequestId = candidate == kMaxRequestId ? 1 : candidate + 1;
            if (link->pending.count(candidate) == 0) pending.id = candidate;
        }
        if (pending.id == 0) {
            out.lines.push_back(Format("uemu(%s): 63 requests outstanding, IOCTL not sent",
                                       link->name.c_str()));
        } else {
            link->pending[pending.id] = &pending;
            ++callers_;
            Bytes body;
            ItemWriter w(body);
            w.Int32(kTimestampItem, Now());
            w.ByteArray(1, request);
            Header h;
            h.destination = processorId;
            h.source = UEMU_READER_PROCESSOR_ID;
            h.type = ULMOT_MSG_REQUEST;
            h.id = pending.id;
            h.command = command;
            h.objectType = UEMU_IOCTL_OBJECT_TYPE;
            Queue(out, &Outbox::responses, link, MakeFrame(h, body));
        }
    }
    const int failed = Flush(out);
    if (pending.id == 0) return UEMU_ERR_FAILED;

    std::unique_lock<std::mutex> lock(mu_);
    if (failed == 0) {
        changed_.wait_for(lock, milliseconds(timeoutMs),
                          [&] { return pending.state != PendingRequest::State::kWaiting; });
    }
    // Still waiting means the link still holds the request (a detach or a
    // lost link would have marked it), so the link is still there.
    const PendingRequest::State state = pending.state;
    if (state == PendingRequest::State::kWaiting) link->pending.erase(pending.id);
    --callers_;
    changed_.notify_all();
    lock.unlock();

    if (failed != 0 && state == PendingRequest::State::kWaiting) return UEMU_ERR_FAILED;
    if (state == PendingRequest::State::kWaiting) return UEMU_ERR_TIMEOUT;
    if (state == PendingRequest::State::kLost) return UEMU_ERR_LINK_LOST;
    Items items;
    if (!items.Parse(pending.body)) return UEMU_ERR_MALFORMED;
    const std::optional<uint8_t> st = items.Int8(3);
    if (!st) return UEMU_ERR_MALFORMED;
    *status = *st;
    const ByteView data = items.ByteArray(2).value_or(ByteView{});
    *responseLength = static_cast<uint16_t>(data.size());
    if (data.size() > capacity) return UEMU_ERR_TOO_SMALL;
    if (!data.empty()) std::memcpy(response, data.data(), data.size());
    return UEMU_OK;
}

// ---- Queries --------------------------------------------------------------------

int32_t Reader::GetProcessors(uemu_ProcessorInfo *out, uint32_t capacity, uint32_t *count) {
    if (count == nullptr || (capacity > 0 && out == nullptr)) return UEMU_ERR_INVALID;
    std::lock_guard<std::mutex> guard(mu_);
    uint32_t n = 0;
    for (const auto &[id, p] : processors_) {
        if (n < capacity) {
            uemu_ProcessorInfo &info = out[n];
            std::memset(&info, 0, sizeof info);
            info.id = id;
            info.internal = p.link == nullptr ? 1 : 0;
            info.objectTypeCount = static_cast<uint8_t>(p.types.size());
            std::copy(p.types.begin(), p.types.end(), info.objectTypes);
            std::memcpy(info.name, p.name.data(), std::min(p.name.size(), sizeof info.name - 1));
        }
        ++n;
    }
    *count = n;
    return UEMU_OK;
}

int32_t Reader::GetEventRegistrations(uemu_EventRegistration *out, uint32_t capacity,
                                      uint32_t *count) {
    if (count == nullptr || (capacity > 0 && out == nullptr)) return UEMU_ERR_INVALID;
    std::lock_guard<std::mutex> guard(mu_);
    uint32_t n = 0;
    for (const auto &[key, r] : registrations_) {
        if (n < capacity) {
            uemu_EventRegistration &e = out[n];
            std::memset(&e, 0, sizeof e);
            e.processorId = std::get<0>(key);
            e.objectType = std::get<1>(key);
            e.instance = std::get<2>(key);
            e.selectedMask = r.selected;
            e.enabledMask = r.enabled;
            e.propertyCount = static_cast<uint16_t>(r.properties.size());
            std::copy(r.properties.begin(), r.properties.end(), e.propertyIds);
        }
        ++n;
    }
    *count = n;
    return UEMU_OK;
}

int32_t Reader::GetInstances(uint8_t objectType, uint8_t *out, uint32_t capacity,
                             uint32_t *count) {
    if (count == nullptr || (capacity > 0 && out == nullptr)) return UEMU_ERR_INVALID;
    std::lock_guard<std::mutex> guard(mu_);
    TypeSlot *slot = Slot(objectType);
    if (slot == nullptr) return UEMU_ERR_INVALID;
    uint32_t n = 0;
    for (const auto &[instance, object] : slot->table.objects()) {
        if (n < capacity) out[n] = instance;
        ++n;
    }
    *count = n;
    return UEMU_OK;
}

int32_t Reader::GetObjectProperties(uint8_t objectType, uint8_t instance, uint8_t *out,
                                    uint32_t capacity, uint32_t *length) {
    if (length == nullptr || (capacity > 0 && out == nullptr)) return UEMU_ERR_INVALID;
    std::lock_guard<std::mutex> guard(mu_);
    TypeSlot *slot = Slot(objectType);
    if (slot == nullptr) return UEMU_ERR_INVALID;
    const Object *object = slot->table.Find(instance);
    if (object == nullptr) return UEMU_ERR_NOT_FOUND;
    Bytes items;
    object->properties.AppendTo(items);
    *length = static_cast<uint32_t>(items.size());
    if (items.size() > capacity) return UEMU_ERR_TOO_SMALL;
    if (!items.empty()) std::memcpy(out, items.data(), items.size());
    return UEMU_OK;
}

}  // namespace uemu
