// The delivery processor: processor id 0, object type 14. It registers and
// deregisters processors, finds them by name or by object type, lists and
// describes them, and tells every client processor when another comes or goes.
#include <algorithm>

#include "reader.h"

namespace uemu {

namespace {

// Commands of the delivery processor.
constexpr uint8_t kListProcessors = 0;
constexpr uint8_t kRegister = 1;
constexpr uint8_t kDeregister = 2;
constexpr uint8_t kDescribe = 4;
constexpr uint8_t kFindByName = 100;
constexpr uint8_t kFindByType = 101;

// Event types of object type 14.
constexpr uint8_t kProcessorRemoved = 0;
constexpr uint8_t kProcessorAdded = 1;

// Items of the requests and responses.
constexpr uint8_t kNameItem = 0;
constexpr uint8_t kTypesItem = 1;         // registration: Int8 list
constexpr uint8_t kObjectTypeItem = 2;    // search; and, one Int8 per type, the added event
constexpr uint8_t kFoundItem = 3;         // search response: object reference
constexpr uint8_t kFindFlagItem = 5;

constexpr size_t kMaxNameLength = 254;

}  // namespace

void Reader::AddInternalProcessor(uint8_t id, const char *name, const Bytes &types) {
    Processor &p = processors_[id];
    p.id = id;
    p.name = name;
    p.types = types;
    p.sequence = ++sequence_;
}

uint8_t Reader::NextProcessorId() {
    // Ids go up and wrap after 255, skipping those in use: an id comes back
    // only after every other id has been handed out since.
    for (unsigned tries = UEMU_FIRST_CLIENT_ID; tries <= 255; ++tries) {
        const uint8_t id = nextId_;
        nextId_ = id == 255 ? static_cast<uint8_t>(UEMU_FIRST_CLIENT_ID) : static_cast<uint8_t>(id + 1);
        if (processors_.count(id) == 0) return id;
    }
    return 0;
}

void Reader::DeliveryRequest(uemu_Link *link, const Header &h, ByteView body, Outbox &out) {
    Reply reply(h.instance);
    Items items;
    int16_t result = UEMU_RESULT_OK;
    if (h.objectType != UEMU_DELIVERY_OBJECT_TYPE) {
        result = UEMU_RESULT_TYPE_NOT_SERVED;
    } else if (h.command != kListProcessors && h.command != kRegister && h.command != kDeregister &&
               h.command != kDescribe && h.command != kFindByName && h.command != kFindByType) {
        result = UEMU_RESULT_UNKNOWN_COMMAND;
    } else if (!items.Parse(body)) {
        result = UEMU_RESULT_MALFORMED;
    } else {
        switch (h.command) {
        case kListProcessors:
            for (const auto &[id, p] : processors_) {
                reply.Items().ObjectReference(0, UEMU_DELIVERY_OBJECT_TYPE, id);
            }
            break;
        case kRegister:
            result = Register(link, items, reply, out);
            break;
        case kDeregister:
            result = Deregister(link, h.instance, out);
            break;
        case kDescribe:
            result = DescribeProcessor(h.instance, reply);
            break;
        default:
            result = Search(items, h.command == kFindByName, reply);
            break;
        }
    }
    // The response is queued among the responses, so it leaves before the
    // processor events that the registration queued.
    Respond(link, h, result, reply, out);
}

int16_t Reader::Register(uemu_Link *link, const Items &items, Reply &reply, Outbox &out) {
    const std::optional<ByteView> name = items.ByteArray(kNameItem);
    if (!name || name->empty() || name->size() > kMaxNameLength) return UEMU_RESULT_MALFORMED;
    Bytes types;
    if (const ItemView *list = items.Find(kTypesItem)) {
        std::optional<Bytes> values = ListOfInt8(*list);
        if (!values) return UEMU_RESULT_MALFORMED;
        types = std::move(*values);
    }
    const uint8_t id = NextProcessorId();
    if (id == 0) return UEMU_RESULT_EXHAUSTED;
    Processor &p = processors_[id];
    p.id = id;
    p.name.assign(name->begin(), name->end());
    p.types = std::move(types);
    p.link = link;
    p.sequence = ++sequence_;
    reply.SetInstance(id);
    out.lines.push_back(Format("uemu(%s): registered processor %u \"%s\"", link->name.c_str(), id,
                               p.name.c_str()));
    ProcessorEvent(kProcessorAdded, p, out);
    return UEMU_RESULT_OK;
}

int16_t Reader::Deregister(uemu_Link *link, uint8_t id, Outbox &out) {
    // A processor is deregistered only over its own link.
    if (!IsClientOn(id, link)) return UEMU_RESULT_UNKNOWN_INSTANCE;
    RemoveProcessor(id, out);
    out.lines.push_back(Format("uemu(%s): deregistered processor %u", link->name.c_str(), id));
    return UEMU_RESULT_OK;
}

void Reader::RemoveProcessor(uint8_t id, Outbox &out) {
    auto it = processors_.find(id);
    if (it == processors_.end()) return;
    const Processor gone = std::move(it->second);
    processors_.erase(it);
    DropRegistrations(id, std::nullopt, std::nullopt);
    ProcessorEvent(kProcessorRemoved, gone, out);
}

void Reader::ProcessorEvent(uint8_t eventType, const Processor &subject, Outbox &out) {
    Bytes body;
    ItemWriter w(body);
    w.Int32(kTimestampItem, Now());
    if (eventType == kProcessorAdded) {
        for (uint8_t type : subject.types) w.Int8(kObjectTypeItem, type);
    }
    for (const auto &[id, p] : processors_) {
        if (p.link == nullptr || id == subject.id) continue;
        Header h;
        h.destination = id;
        h.source = UEMU_DELIVERY_PROCESSOR_ID;
        h.type = ULMOT_MSG_EVENT;
        h.command = eventType;
        h.objectType = UEMU_DELIVERY_OBJECT_TYPE;
        h.instance = subject.id;
        Queue(out, &Outbox::events, p.link, MakeFrame(h, body));
    }
}

int16_t Reader::Search(const Items &items, bool byName, Reply &reply) {
    std::optional<ByteView> name;
    if (byName) {
        name = items.ByteArray(kNameItem);
        if (!name || name->empty()) return UEMU_RESULT_MALFORMED;
    }
    bool anyType = true;
    uint8_t type = 0;
    if (const ItemView *t = items.Find(kObjectTypeItem)) {
        if (t->type != kInt8) return UEMU_RESULT_MALFORMED;
        type = t->value[0];
        anyType = byName && type == UEMU_ANY_OBJECT_TYPE;
    } else if (!byName) {
        return UEMU_RESULT_MALFORMED;
    }
    uint8_t flag = UEMU_FIND_FIRST;
    if (const ItemView *f = items.Find(kFindFlagItem)) {
        if (f->type != kInt8) return UEMU_RESULT_MALFORMED;
        flag = f->value[0];
    }
    const Processor *found = nullptr;
    for (const auto &[id, p] : processors_) {
        if (name && !std::equal(p.name.begin(), p.name.end(), name->begin(), name->end())) continue;
        if (!anyType && std::find(p.types.begin(), p.types.end(), type) == p.types.end()) continue;
        const bool better = found == nullptr || (flag == UEMU_FIND_FIRST ? p.sequence < found->sequence
                                                                         : p.sequence > found->sequence);
        if (better) found = &p;
    }
    if (found == nullptr) return UEMU_RESULT_NOT_FOUND;
    reply.Items().ObjectReference(kFoundItem, UEMU_DELIVERY_OBJECT_TYPE, found->id);
    return UEMU_RESULT_OK;
}

int16_t Reader::DescribeProcessor(uint8_t id, Reply &reply) {
    auto it = processors_.find(id);
    if (it == processors_.end()) return UEMU_RESULT_UNKNOWN_INSTANCE;
    const Processor &p = it->second;
    reply.Items().ByteArray(kNameItem,
                            ByteView(reinterpret_cast<const uint8_t *>(p.name.data()), p.name.size()));
    if (!p.types.empty()) reply.Items().Int8List(kTypesItem, p.types);
    return UEMU_RESULT_OK;
}

}  // namespace uemu
