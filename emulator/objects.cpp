// The reader's object processors: the generic commands 0 to 6 over the
// object tables, commands 100 and 101 handed to the families, and the event
// registrations that decide who receives which event with which properties.
#include <algorithm>

#include "reader.h"

namespace uemu {

namespace {

constexpr uint8_t kGetInstances = 0;
constexpr uint8_t kAdd = 1;
constexpr uint8_t kRemove = 2;
constexpr uint8_t kSetProperties = 3;
constexpr uint8_t kGetProperties = 4;
constexpr uint8_t kEventRegistration = 5;
constexpr uint8_t kEventProperties = 6;
constexpr uint8_t kObjectSpecific = 100;
constexpr uint8_t kObjectSpecific2 = 101;

constexpr uint8_t kMaxEventType = 31;  // bit n of a mask is event type n

bool Known(uint8_t command) {
    return command <= kEventProperties || command == kObjectSpecific || command == kObjectSpecific2;
}

}  // namespace

void Reader::ObjectRequest(uemu_Link *link, const Header &h, ByteView body, Outbox &out) {
    Reply reply(h.instance);
    const int16_t result = ObjectCommand(link, h, body, reply, out);
    Respond(link, h, result, reply, out);
}

int16_t Reader::ObjectCommand(uemu_Link *link, const Header &h, ByteView body, Reply &reply,
                              Outbox &out) {
    TypeSlot *slot = Slot(h.objectType);
    if (slot == nullptr || slot->owner != h.destination) return UEMU_RESULT_TYPE_NOT_SERVED;
    if (!Known(h.command)) return UEMU_RESULT_UNKNOWN_COMMAND;
    Items items;
    if (!items.Parse(body)) return UEMU_RESULT_MALFORMED;
    ObjectTable &table = slot->table;
    Family &family = *slot->family;
    HookContext context(*this, out);
    const Request request{h.source, h.command, h.objectType, h.instance, items};

    switch (h.command) {
    case kGetInstances:
        for (const auto &[instance, object] : table.objects()) {
            reply.Items().ObjectReference(0, h.objectType, instance);
        }
        return UEMU_RESULT_OK;
    case kAdd: {
        const uint8_t instance = table.LowestFree();
        if (instance == 0) return UEMU_RESULT_EXHAUSTED;
        Object created;
        created.instance = instance;
        const int16_t r = family.Add(context, request, created, reply);
        if (r != UEMU_RESULT_OK) return r;
        table.objects().emplace(instance, std::move(created));
        reply.SetInstance(instance);
        return UEMU_RESULT_OK;
    }
    case kEventRegistration:
        return EventRegistration(link, h, items, table);
    case kEventProperties:
        return EventProperties(link, h, items, table);
    case kObjectSpecific:
    case kObjectSpecific2:
        return family.ObjectCommand(context, request, table, reply);
    default:
        break;
    }

    Object *object = table.Find(h.instance);
    if (object == nullptr) return UEMU_RESULT_UNKNOWN_INSTANCE;
    switch (h.command) {
    case kRemove: {
        const int16_t r = family.Remove(context, request, *object);
        if (r != UEMU_RESULT_OK) return r;
        table.Erase(h.instance);
        DropRegistrations(std::nullopt, h.objectType, h.instance);
        return UEMU_RESULT_OK;
    }
    case kSetProperties:
        return family.SetProperties(context, request, *object);
    default:  // kGetProperties
        return family.GetProperties(context, request, *object, reply);
    }
}

int16_t Reader::EventRegistration(uemu_Link *link, const Header &h, const Items &items,
                                  ObjectTable &table) {
    if (!IsClientOn(h.source, link)) return UEMU_RESULT_NOT_REGISTERED;
    if (h.instance != 0 && table.Find(h.instance) == nullptr) return UEMU_RESULT_UNKNOWN_INSTANCE;
    // Two Int32 items with id 0: the selection mask, then the enable mask.
    const std::optional<uint32_t> selection = items.Int32(0, 0);
    const std::optional<uint32_t> enable = items.Int32(0, 1);
    if (!selection || !enable) return UEMU_RESULT_MALFORMED;
    Registration &r = registrations_[{h.source, h.objectType, h.instance}];
    r.selected |= *selection;
    r.enabled = (r.enabled & ~*selection) | (*enable & *selection);
    return UEMU_RESULT_OK;
}

int16_t Reader::EventProperties(uemu_Link *link, const Header &h, const Items &items,
                                ObjectTable &table) {
    if (!IsClientOn(h.source, link)) return UEMU_RESULT_NOT_REGISTERED;
    // One byte array, item 0: instance, attach flag, property ids.
    const std::optional<ByteView> data = items.ByteArray(0);
    if (!data || data->size() < 2) return UEMU_RESULT_MALFORMED;
    const uint8_t instance = (*data)[0];
    const bool attach = (*data)[1] != 0;
    if (instance != 0 && table.Find(instance) == nullptr) return UEMU_RESULT_UNKNOWN_INSTANCE;
    Registration &r = registrations_[{h.source, h.objectType, instance}];
    for (uint8_t id : data->subspan(2)) {
        auto at = std::find(r.properties.begin(), r.properties.end(), id);
        if (attach && at == r.properties.end()) r.properties.push_back(id);
        if (!attach && at != r.properties.end()) r.properties.erase(at);
    }
    return UEMU_RESULT_OK;
}

void Reader::DropRegistrations(std::optional<uint8_t> processor, std::optional<uint8_t> type,
                               std::optional<uint8_t> instance) {
    std::erase_if(registrations_, [&](const auto &entry) {
        const auto &[p, t, i] = entry.first;
        return (!processor || *processor == p) && (!type || *type == t) &&
               (!instance || *instance == i);
    });
}

bool Reader::Enabled(uint8_t processor, uint8_t type, uint8_t eventType, uint8_t instance) const {
    const uint32_t bit = 1u << eventType;
    // What a processor chose for this instance wins over its choice for the type.
    if (instance != 0) {
        auto own = registrations_.find({processor, type, instance});
        if (own != registrations_.end() && (own->second.selected & bit) != 0) {
            return (own->second.enabled & bit) != 0;
        }
    }
    auto wide = registrations_.find({processor, type, 0});
    return wide != registrations_.end() && (wide->second.enabled & bit) != 0;
}

Bytes Reader::EventBody(uint8_t processor, uint8_t type, uint8_t instance, ByteView body) const {
    Bytes b;
    ItemWriter w(b);
    w.Int32(kTimestampItem, Now());
    w.Raw(body);
    auto slot = slots_.find(type);
    const Object *object = (slot != slots_.end() && instance != 0) ? slot->second->table.Find(instance)
                                                                    : nullptr;
    if (object == nullptr) return b;
    // Properties registered for the type, then for the instance; an id that
    // the body already carries, or that the object does not have, is skipped,
    // and so is one that would overflow the block.
    Items present;
    const bool parsed = present.Parse(body);
    Bytes attached;
    auto attach = [&](const Bytes &ids) {
        for (uint8_t id : ids) {
            if ((parsed && present.Find(id) != nullptr) ||
                std::find(attached.begin(), attached.end(), id) != attached.end()) {
                continue;
            }
            const Bytes *item = object->properties.Get(id);
            if (item == nullptr || b.size() + item->size() > kMaxBody) continue;
            w.Raw(*item);
            attached.push_back(id);
        }
    };
    auto wide = registrations_.find({processor, type, 0});
    if (wide != registrations_.end()) attach(wide->second.properties);
    auto own = registrations_.find({processor, type, instance});
    if (own != registrations_.end()) attach(own->second.properties);
    return b;
}

int Reader::RaiseLocked(uint8_t objectType, uint8_t eventType, uint8_t instance, ByteView body,
                        std::optional<uint8_t> only, Outbox &out) {
    if (eventType > kMaxEventType || body.size() > kMaxBody - kTimestampItemSize) {
        out.lines.push_back(Format("uemu: event %u of object type %u not raised (event type or body size)",
                                   eventType, objectType));
        return 0;
    }
    uint8_t source = UEMU_DELIVERY_PROCESSOR_ID;
    if (objectType != UEMU_DELIVERY_OBJECT_TYPE) {
        if (TypeSlot *slot = Slot(objectType)) source = slot->owner;
    }
    int sent = 0;
    for (const auto &[id, p] : processors_) {
        if (p.link == nullptr) continue;
        if (only) {
            if (id != *only) continue;
        } else if (objectType != UEMU_DELIVERY_OBJECT_TYPE &&
                   !Enabled(id, objectType, eventType, instance)) {
            continue;
        }
        Header h;
        h.destination = id;
        h.source = source;
        h.type = ULMOT_MSG_EVENT;
        h.command = eventType;
        h.objectType = objectType;
        h.instance = instance;
        if (Queue(out, &Outbox::events, p.link, MakeFrame(h, EventBody(id, objectType, instance, body)))) ++sent;
    }
    return sent;
}

}  // namespace uemu
